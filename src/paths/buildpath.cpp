// Path building: directory (or the working directory), name and extension
// joined and expanded.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/syscalls.h"
#include "qzioe/paths.h"

namespace {

// The joined text and, as the expansion area does, room for a terminator.
constexpr uint32_t kAreaChars = QZIOE_PATH_AREA;

uint32_t without_trailing_blanks(const QZChar *text, uint32_t length) {
  while (length > 0 && text[length - 1] == ' ')
    --length;
  return length;
}

class Joined {
public:
  const QZChar *text() const { return text_; }
  uint32_t length() const { return length_; }
  bool ends_in_slash() const { return length_ != 0 && text_[length_ - 1] == '/'; }

  // False, appending nothing, when the text would leave no room for the
  // terminator.
  bool append(const QZChar *chars, uint32_t count) {
    if (count > kAreaChars - 1 - length_) return false;
    std::copy_n(chars, count, text_ + length_);
    length_ += count;
    return true;
  }
  bool append(QZChar unit) { return append(&unit, 1); }

  // The working directory through the inbound transcoder.
  QZStatus append_working_directory(QZTranscoder *inbound) {
    char cwd[QZIOE_PATH_AREA];
    if (ioe::sys::getcwd(cwd, sizeof cwd) == nullptr) return QZIOE_FAILED;
    uint32_t produced = 0;
    const QZStatus converted =
        inbound->convert(inbound, cwd, static_cast<uint32_t>(std::strlen(cwd)), text_,
                         static_cast<uint32_t>(sizeof text_), &produced, 0);
    if (converted != QZ_OK) return QZIOE_PATH_REFUSED;
    length_ = produced / sizeof(QZChar);
    return length_ < kAreaChars ? QZ_OK : QZIOE_NAME_TOO_LONG;
  }

private:
  QZChar text_[kAreaChars];
  uint32_t length_ = 0;
};

QZStatus join(QZIOEExtension *extension, const QZChar *directory, uint32_t directory_length,
              const QZChar *name, uint32_t name_length, const QZChar *extension_part,
              uint32_t extension_length, Joined &joined) {
  if (directory != nullptr && directory_length != 0) {
    directory_length = without_trailing_blanks(directory, directory_length);
    if (directory_length > kAreaChars) return QZIOE_PATH_REFUSED;
    if (!joined.append(directory, directory_length)) return QZIOE_NAME_TOO_LONG;
  } else if (const QZStatus status = joined.append_working_directory(extension->inbound);
             status != QZ_OK) {
    return status;
  }

  // A directory of blanks only ends in no slash: the rest starts at the root.
  if ((name_length != 0 || extension_length != 0) && !joined.ends_in_slash() && !joined.append('/'))
    return QZIOE_NAME_TOO_LONG;
  if (!joined.append(name, without_trailing_blanks(name, name_length))) return QZIOE_NAME_TOO_LONG;
  if (extension_length != 0 &&
      !(joined.append('.') &&
        joined.append(extension_part, without_trailing_blanks(extension_part, extension_length))))
    return QZIOE_NAME_TOO_LONG;
  return joined.length() == 0 ? QZIOE_BAD_NAME : QZ_OK;
}

} // namespace

extern "C" QZStatus bkioebuildpath(QZIOEExtension *extension, const QZChar *directory,
                                   uint32_t directory_length, const QZChar *name,
                                   uint32_t name_length, const QZChar *extension_part,
                                   uint32_t extension_length, QZChar **result,
                                   uint32_t *result_length) noexcept {
  if (result == nullptr || result_length == nullptr) return QZS_BAD_VALUE;
  *result = nullptr;
  *result_length = 0;
  if (extension == nullptr || extension->pool == nullptr || extension->inbound == nullptr ||
      extension->outbound == nullptr)
    return QZIOE_BAD_HANDLE;
  if (name == nullptr) name_length = 0;
  if (extension_part == nullptr) extension_length = 0;

  Joined joined;
  if (const QZStatus status = join(extension, directory, directory_length, name, name_length,
                                   extension_part, extension_length, joined);
      status != QZ_OK)
    return status;

  // The expanded path comes from the extension pool, as a built path must:
  // it is handed on as it is.
  QZChar *expanded = nullptr;
  uint32_t expanded_length = 0;
  const QZStatus status =
      bkioeexpand_path(extension, joined.text(), joined.length(), &expanded, &expanded_length);
  if (status != QZ_OK) {
    bkioeexpand_path_free(extension->pool, expanded);
    return status;
  }
  *result = expanded;
  *result_length = expanded_length;
  return QZ_OK;
}

extern "C" QZStatus bkioebuildpathdestroy(QZIOEExtension *extension, QZChar *path) noexcept {
  if (path == nullptr) return QZ_OK;
  if (extension == nullptr) return QZIOE_BAD_HANDLE;
  return bkioeexpand_path_free(extension->pool, path);
}
