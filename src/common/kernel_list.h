// Records handed to a new kernel list, which then owns them: its destroy
// callback releases each record when the list goes.
#pragma once

#include <cstdint>

#include "qzioe/extension.h"

namespace ioe {

// One record as a list takes it: the value and, for keyed lists, its key.
struct ListRecord {
  void *value; // null past the last record
  const QZChar *key = nullptr;
  uint32_t key_bytes = 0;
};

// Makes the list `name` and adds the records `source` yields in order:
// source.next() gives the next record without consuming it, source.taken()
// moves past it once the list holds it, and source.release_rest() releases
// the records no list holds (the one just refused among them). Null with
// QZIOE_BAD_HANDLE when no list can be made, QZIOE_FAILED when an add is
// refused; the records are released then.
template <typename Source>
QZList *records_to_list(Source &source, const QZListOptions &options, const char *name,
                        QZListDestroyCallback destroy, QZStatus *status) {
  QZHandle *kernel = Exported_QZHandle;
  QZList *list = kernel != nullptr && kernel->create_list != nullptr
                     ? kernel->create_list(kernel, &options, 0, name)
                     : nullptr;
  if (list == nullptr) {
    source.release_rest();
    *status = QZIOE_BAD_HANDLE;
    return nullptr;
  }
  list->set_destroy_callback(list, 0, destroy);
  for (ListRecord record = source.next(); record.value != nullptr; record = source.next()) {
    QZListEntry *added = nullptr;
    if (list->add(list, 0, 0, record.value, &added, record.key, record.key_bytes, 0) == 0) {
      // A record the list did not take would be lost with it.
      source.release_rest();
      list->destroy(list);
      *status = QZIOE_FAILED;
      return nullptr;
    }
    source.taken();
  }
  *status = QZ_OK;
  return list;
}

} // namespace ioe
