// Path split: directory, file name, base name and extension as pointers
// into one copy of the path.
#include <algorithm>
#include <cstdint>

#include "common/pool.h"
#include "qzioe/paths.h"

namespace {

struct Part {
  QZChar *start = nullptr;
  uint32_t length = 0;

  void store(QZChar **start_out, uint32_t *length_out) const {
    *start_out = start;
    *length_out = length;
  }
};

struct Parts {
  Part directory, name, base, extension;
};

// `path` holds `length` characters, at least one.
Parts split(QZChar *path, uint32_t length) {
  Parts parts;
  // Start of the last component: just behind the last slash, or 0.
  uint32_t start = length;
  while (start > 0 && path[start - 1] != '/')
    --start;
  // The slash before the last component goes, unless it is the root.
  if (start != 0) parts.directory = {path, start == 1 ? 1 : start - 1};
  if (start == length) return parts;

  parts.name = {path + start, length - start};
  parts.base = parts.name;
  uint32_t dot = length;
  while (dot > start && path[dot - 1] != '.')
    --dot;
  // Only the last dot counts; one that ends the path or starts the
  // component (a hidden name such as .profile) makes no extension.
  if (dot > start + 1 && dot != length) {
    parts.extension = {path + dot, length - dot};
    parts.base.length = dot - 1 - start;
  }
  return parts;
}

} // namespace

extern "C" QZStatus bkioesplitpath(QZIOEExtension *extension, const QZChar *path, uint32_t length,
                                   QZChar **directory, uint32_t *directory_length, QZChar **name,
                                   uint32_t *name_length, QZChar **base, uint32_t *base_length,
                                   QZChar **extension_part, uint32_t *extension_length) noexcept {
  if (extension == nullptr || extension->pool == nullptr) return QZIOE_BAD_HANDLE;
  if (directory == nullptr || directory_length == nullptr || name == nullptr ||
      name_length == nullptr || base == nullptr || base_length == nullptr ||
      extension_part == nullptr || extension_length == nullptr)
    return QZS_BAD_VALUE;
  if (path == nullptr || length == 0) return QZIOE_PATH_REFUSED;
  if (length > UINT32_MAX / sizeof(QZChar)) return QZIOE_NAME_TOO_LONG;

  auto *copy =
      ioe::pool_alloc<QZChar>(extension->pool, static_cast<uint32_t>(length * sizeof(QZChar)));
  if (copy == nullptr) return QZS_NO_MEMORY;
  std::copy_n(path, length, copy);
  const Parts parts = split(copy, length);
  parts.directory.store(directory, directory_length);
  parts.name.store(name, name_length);
  parts.base.store(base, base_length);
  parts.extension.store(extension_part, extension_length);
  return QZ_OK;
}

extern "C" QZStatus bkioesplitpathdestroy(QZIOEExtension *extension, QZChar *directory,
                                          QZChar *name, QZChar *base,
                                          QZChar *extension_part) noexcept {
  QZChar *copy = directory != nullptr ? directory
                 : name != nullptr    ? name
                 : base != nullptr    ? base
                                      : extension_part;
  if (copy == nullptr) return QZ_OK;
  if (extension == nullptr || extension->pool == nullptr) return QZIOE_BAD_HANDLE;
  return extension->pool->free_block(extension->pool, copy);
}
