#include "common/handle_pool.h"

#include <cstring>

#include "common/kernel_calls.h"
#include "common/pool.h"

namespace ioe {

QZHandle *handle_kernel(const QZIOEExtension *extension) noexcept {
  if (extension == nullptr || extension->kernel_2 == nullptr ||
      extension->kernel_2->create_pool == nullptr)
    return nullptr;
  return extension->kernel_2;
}

QZStatus create_handle(QZIOEExtension *extension, QZWord context, const char *pool_name,
                       uint32_t bytes, const char *label, HandleParts *parts) noexcept {
  *parts = {};
  QZHandle *kernel = handle_kernel(extension);
  if (kernel == nullptr) return QZIOE_BAD_HANDLE;
  const QZObjectOptions zeros{};
  QZPool *pool = kernel->create_pool(kernel, &zeros, context, pool_name);
  if (pool == nullptr) return QZS_NO_MEMORY;
  void *record = pool_alloc(pool, bytes, QZ_POOL_ZERO_FILL);
  if (record == nullptr) {
    destroy_pool(pool);
    return QZS_NO_MEMORY;
  }
  char *copy = nullptr;
  if (label != nullptr) {
    const size_t label_bytes = std::strlen(label) + 1;
    if (label_bytes <= UINT32_MAX)
      copy = pool_alloc<char>(pool, static_cast<uint32_t>(label_bytes));
    if (copy == nullptr) {
      release_handle_parts(pool, pool, copy, record);
      return QZS_NO_MEMORY;
    }
    std::memcpy(copy, label, label_bytes);
  }
  *parts = {pool, record, copy};
  return QZ_OK;
}

void release_handle_parts(QZPool *pool, QZPool *alloc_pool, char *&label, void *record) noexcept {
  pool_release(pool, label);
  pool_release(pool, record);
  if (alloc_pool != nullptr && alloc_pool != pool) destroy_pool(alloc_pool);
  destroy_pool(pool);
}

} // namespace ioe
