// Path expansion for the library's own callers: bkioeexpand_path, also
// telling what the name stood for before it became an absolute path.
#pragma once

#include <cstdint>

#include "qzioe/paths.h"

namespace ioe {

// As bkioeexpand_path. When `names_dot` is given it is set to true for a
// name that, once its `$` and `~` references are replaced and before its
// leading dot components are resolved against the working directory, is
// empty or ends in a "." or ".." component (trailing slashes aside): a
// name that points at the working directory or above it instead of naming
// something.
QZStatus expand_path(QZIOEExtension *extension, const QZChar *path, uint32_t length,
                     QZChar **result, uint32_t *result_length, bool *names_dot) noexcept;

} // namespace ioe
