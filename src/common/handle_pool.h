// What file and directory handles share: a pool of their own, made through
// the extension's kernel (word 26), holding the handle's record and a copy
// of the caller's label.
#pragma once

#include <cstdint>

#include "qzioe/extension.h"

namespace ioe {

// The kernel that makes a handle's pool and lock; null when the extension
// has none that creates pools.
QZHandle *handle_kernel(const QZIOEExtension *extension) noexcept;

struct HandleParts {
  QZPool *pool = nullptr;
  void *record = nullptr; // zeroed
  char *label = nullptr;  // copy of the caller's label, or null
};

// Creates the pool `pool_name`, a record of `bytes` in it and the label's
// copy. QZIOE_BAD_HANDLE without a kernel that makes pools; QZS_NO_MEMORY,
// and nothing is left behind.
QZStatus create_handle(QZIOEExtension *extension, QZWord context, const char *pool_name,
                       uint32_t bytes, const char *label, HandleParts *parts) noexcept;

// Frees the label and the record, then destroys `alloc_pool` (when it is
// another pool) and `pool`. The caller has freed what else the pools hold.
void release_handle_parts(QZPool *pool, QZPool *alloc_pool, char *&label, void *record) noexcept;

} // namespace ioe
