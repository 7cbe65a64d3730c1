// The message catalogue: a name and a one-line text for every status the
// extension and this kernel produce, generated from the status lists.
#include "internal.h"

namespace qzk {

namespace {

struct Message {
  QZStatus status;
  const char *name;
  const char *text;
};

#define QZK_CATALOGUE_ENTRY_(name, code, text) {name, #name, text},
constexpr Message kCatalogue[] = {QZ_STATUS_CODES(QZK_CATALOGUE_ENTRY_)
                                      QZK_STATUS_CODES(QZK_CATALOGUE_ENTRY_)};
#undef QZK_CATALOGUE_ENTRY_

const Message *Lookup(QZStatus status) {
  for (const Message &message : kCatalogue)
    if (message.status == status) return &message;
  return nullptr;
}

} // namespace

const char *CatalogueName(QZStatus status) {
  const Message *message = Lookup(status);
  return message != nullptr ? message->name : nullptr;
}

const char *CatalogueText(QZStatus status) {
  const Message *message = Lookup(status);
  return message != nullptr ? message->text : nullptr;
}

} // namespace qzk

extern "C" {

QZ_EXPORT const char *qzk_status_name(QZStatus status) {
  const char *name = qzk::CatalogueName(status);
  return name != nullptr ? name : "unknown status";
}

QZ_EXPORT const char *qzk_status_text(QZStatus status) {
  const char *text = qzk::CatalogueText(status);
  return text != nullptr ? text : "unknown status";
}

} // extern "C"
