// Unique names for new files: process id, a counter of the extension object,
// and a prefix or the host name, built into a full path.
#include <algorithm>
#include <cstdint>

#include "common/kernel_calls.h"
#include "qzioe/format.h"
#include "qzioe/paths.h"
#include "qzioe/runtime.h"

using ioe::QZLiteral;

namespace {

// The formatter reads the prefix or host name as terminated text.
constexpr uint32_t kAreaChars = 1024;

constexpr QZLiteral kProcessId("host.process_id");
constexpr QZLiteral kUtilityName("QOR_util%04X%08X_%*s");
constexpr QZLiteral kPrefixedName("%*s%04X%06X");

// 1, 2, ..., QZIOE_NAME_COUNTER_LAST, 0, 1, ...: the increment and the wrap
// in one compare-and-set, so no two overlapping calls take the same value.
uint32_t next_counter(volatile int32_t *counter) {
  for (;;) {
    const int32_t old = __atomic_load_n(counter, __ATOMIC_RELAXED);
    const int32_t next =
        static_cast<uint32_t>(old) >= QZIOE_NAME_COUNTER_LAST ? 0 : static_cast<int32_t>(old + 1);
    if (qzAtomicSet(counter, old, next) != 0) return static_cast<uint32_t>(next);
  }
}

// The name, formatted into `name` (kAreaChars units).
QZStatus format_name(const QZIOEExtension *extension, const QZIOENameRequest *request,
                     uint32_t counter, uint32_t process_id, QZChar *name, uint32_t *name_length) {
  QZChar text[kAreaChars];
  if ((request->flags & QZIOE_NAME_UTILITY) != 0) {
    const uint32_t host_length =
        std::min<uint32_t>(extension->host_name_length, QZIOE_HOST_NAME_MAX);
    std::copy_n(extension->host_name, host_length, text);
    text[host_length] = 0;
    return qzzFormatBuff(nullptr, kUtilityName.chars, kUtilityName.size(), name, kAreaChars,
                         name_length, counter, process_id, static_cast<int32_t>(host_length), text);
  }
  uint32_t prefix_length = request->prefix_length;
  if (prefix_length > kAreaChars - 1) return QZIOE_NAME_TOO_LONG;
  if (request->prefix == nullptr && prefix_length != 0) return QZIOE_BAD_NAME;
  // Blanks that pad a prefix field are not part of the name.
  while (prefix_length > 0 && request->prefix[prefix_length - 1] == ' ')
    --prefix_length;
  const QZChar *prefix_end = request->prefix + prefix_length;
  // The formatter would stop at a zero and pad the field with blanks.
  if (std::find(request->prefix, prefix_end, QZChar{0}) != prefix_end) return QZIOE_FAILED;
  std::copy(request->prefix, prefix_end, text);
  text[prefix_length] = 0;
  return qzzFormatBuff(nullptr, kPrefixedName.chars, kPrefixedName.size(), name, kAreaChars,
                       name_length, static_cast<int32_t>(prefix_length), text, process_id & 0xffffu,
                       counter);
}

} // namespace

extern "C" QZStatus qzioecreatename(QZIOEExtension *extension, const QZChar *directory,
                                    uint32_t directory_length, const QZIOENameRequest *request,
                                    QZChar **path, uint32_t *path_length) noexcept {
  if (extension == nullptr || extension->kernel == nullptr ||
      extension->kernel->named_value == nullptr || extension->buildpath == nullptr)
    return QZIOE_BAD_HANDLE;
  if (request == nullptr) return QZIOE_FAILED;
  if (path == nullptr || path_length == nullptr) return QZS_BAD_VALUE;

  const uint32_t counter = next_counter(&extension->name_counter);

  QZHandle *kernel = extension->kernel;
  uint32_t process_id = 0;
  uint32_t size = sizeof process_id;
  if (const QZStatus status = kernel->named_value(kernel, kProcessId.chars, kProcessId.size(),
                                                  QZ_VALUE_INT32, &process_id, &size);
      status != QZ_OK)
    return status;

  const uint32_t flags = request->flags;
  uint32_t extension_length = 0;
  if ((flags & QZIOE_NAME_WITH_EXTENSION) != 0)
    extension_length = request->extension_length;
  else if ((flags & (QZIOE_NAME_WITHOUT_EXTENSION | QZIOE_NAME_UTILITY)) == 0)
    return QZIOE_BAD_OPTIONS;

  QZChar name[kAreaChars];
  uint32_t name_length = 0;
  if (const QZStatus status =
          format_name(extension, request, counter, process_id, name, &name_length);
      status != QZ_OK)
    return status;

  QZChar *built = nullptr;
  uint32_t built_length = 0;
  if (const QZStatus status =
          extension->buildpath(extension, directory, directory_length, name, name_length,
                               request->extension, extension_length, &built, &built_length);
      status != QZ_OK)
    return status;
  *path = built;
  *path_length = built_length;
  return QZ_OK;
}
