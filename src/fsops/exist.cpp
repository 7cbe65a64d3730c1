// Whether a name exists, and whether it is a directory.
#include "fsops/internal.h"
#include "paths/byte_path.h"

using namespace ioe;

extern "C" QZStatus bkioeexist(QZIOEExtension *extension, const QZChar *name,
                               uint32_t length) noexcept {
  if (const QZStatus status = check_name(name, length); status != QZ_OK) return status;
  BytePath path(extension);
  if (const QZStatus status = path.make(name, length); status != QZ_OK) return status;
  QZStatus why = QZ_OK;
  return examine(extension, path.c_str(), kStatErrors, &why) == FileKind::missing ? why : QZ_OK;
}

// 0 for a directory, 1 for another file, else the status.
extern "C" QZStatus bkioeisdir(QZIOEExtension *extension, const QZChar *name,
                               uint32_t length) noexcept {
  if (const QZStatus status = check_name(name, length); status != QZ_OK) return status;
  BytePath path(extension);
  if (const QZStatus status = path.make(name, length); status != QZ_OK) return status;
  QZStatus why = QZ_OK;
  switch (examine(extension, path.c_str(), kIsDirErrors, &why)) {
  case FileKind::directory:
    return 0;
  case FileKind::other:
    return 1;
  case FileKind::missing:
    break;
  }
  return why;
}
