// A kernel name made ready for a system call: expanded, then (with make)
// converted to operating-system bytes at one byte per character with a
// terminating zero. Both forms come from the extension's pool (or the byte
// form from another pool) and are released when the object goes.
#pragma once

#include <cstdint>

#include "common/pool.h"
#include "paths/expand.h"

namespace ioe {

class BytePath {
public:
  explicit BytePath(QZIOEExtension *extension, QZPool *byte_pool = nullptr) noexcept
      : extension_(extension),
        byte_pool_(byte_pool != nullptr ? byte_pool
                                        : (extension != nullptr ? extension->pool : nullptr)) {}
  BytePath(const BytePath &) = delete;
  BytePath &operator=(const BytePath &) = delete;
  ~BytePath() {
    if (bytes_ != nullptr) pool_release(byte_pool_, bytes_);
    if (expanded_ != nullptr) bkioeexpand_path_free(extension_->pool, expanded_);
  }

  // Expands `name` only, for callers that pass characters on (qzfsx).
  // `names_dot` as expand_path.
  QZStatus expand(const QZChar *name, uint32_t length, bool *names_dot = nullptr) noexcept {
    return expand_path(extension_, name, length, &expanded_, &expanded_length_, names_dot);
  }

  // Expands `name` and converts it. Statuses of the expansion; QZS_NO_MEMORY;
  // QZIOE_FAILED when the conversion fails.
  QZStatus make(const QZChar *name, uint32_t length, bool *names_dot = nullptr) noexcept {
    if (const QZStatus status = expand(name, length, names_dot); status != QZ_OK) return status;
    bytes_ = pool_alloc<char>(byte_pool_, expanded_length_ + 1);
    if (bytes_ == nullptr) return QZS_NO_MEMORY;
    QZTranscoder *outbound = extension_->outbound;
    if (expanded_length_ > 0 &&
        outbound->convert(outbound, expanded_, expanded_length_ * sizeof(QZChar), bytes_,
                          expanded_length_, nullptr, 0) != QZ_OK)
      return QZIOE_FAILED;
    bytes_[expanded_length_] = '\0';
    return QZ_OK;
  }

  const char *c_str() const noexcept { return bytes_; }
  uint32_t size() const noexcept { return expanded_length_; }
  const QZChar *expanded() const noexcept { return expanded_; }

private:
  QZIOEExtension *extension_;
  QZPool *byte_pool_;
  QZChar *expanded_ = nullptr;
  uint32_t expanded_length_ = 0;
  char *bytes_ = nullptr;
};

} // namespace ioe
