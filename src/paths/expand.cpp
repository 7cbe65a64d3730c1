// Path expansion: kernel names to complete operating-system paths.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "common/pool.h"
#include "common/syscalls.h"
#include "paths/expand.h"

namespace {

// Every work area of a call: at most 1023 bytes of path plus the terminator.
constexpr std::size_t kAreaBytes = QZIOE_PATH_AREA;
// A variable name with its terminator.
constexpr std::size_t kNameBytes = 124;
// References nested at most this deep; values that refer back to themselves
// would otherwise recurse without end.
constexpr unsigned kMaxLevels = 32;
// The outbound conversion is told length * 4 source bytes in 32 bits.
constexpr uint32_t kMaxNameChars = UINT32_MAX / sizeof(QZChar) - 1;

// What expand_env cannot say through its byte count.
struct EnvExpansion {
  unsigned depth = 0;   // recursion level of the running call, 0 at the top
  bool refused = false; // the expansion would not fit one of its areas
};

// Expands the zero-terminated `text` into `destination`, never writing past
// `last` (inclusive); returns the bytes written, no terminator. Instead of
// handing back a cut path, sets state.refused and returns 0.
std::size_t expand_env(const char *text, char *destination, const char *last,
                       EnvExpansion &state) noexcept {
  char *out = destination;
  auto fits = [&](std::size_t bytes) { return bytes <= static_cast<std::size_t>(last + 1 - out); };
  auto refuse = [&]() -> std::size_t {
    state.refused = true;
    return 0;
  };
  const char *p = text;
  while (*p != '\0') {
    if (*p != '$') {
      const std::size_t run = std::strcspn(p, "$");
      if (!fits(run)) return refuse();
      std::memcpy(out, p, run);
      out += run;
      p += run;
      continue;
    }
    const char *name = ++p;
    const std::size_t name_length = std::strcspn(name, "/.$");
    p = name + name_length;
    if (name_length >= kNameBytes) return refuse();
    char name_area[kNameBytes];
    std::memcpy(name_area, name, name_length);
    name_area[name_length] = '\0';
    const char *value = name_length == 0 ? nullptr : std::getenv(name_area);
    if (value == nullptr) {
      // Undefined: the reference stays as written.
      if (!fits(1 + name_length)) return refuse();
      *out++ = '$';
      std::memcpy(out, name, name_length);
      out += name_length;
      continue;
    }
    const std::size_t head = std::strcspn(value, "$");
    if (!fits(head)) return refuse();
    std::memcpy(out, value, head);
    out += head;
    if (value[head] == '$') {
      const std::size_t rest_length = std::strlen(value + head);
      if (rest_length >= kAreaBytes || state.depth + 1 >= kMaxLevels) return refuse();
      char remainder[kAreaBytes];
      std::memcpy(remainder, value + head, rest_length + 1);
      ++state.depth;
      out += expand_env(remainder, out, last, state);
      --state.depth;
      if (state.refused) return 0;
    }
  }
  return static_cast<std::size_t>(out - destination);
}

// Copies a password entry's home directory into a kAreaBytes destination.
int copy_home(const passwd *entry, char *destination) noexcept {
  if (entry == nullptr || entry->pw_dir == nullptr) return 1;
  const std::size_t length = std::strlen(entry->pw_dir);
  if (length >= kAreaBytes) return 1;
  std::memcpy(destination, entry->pw_dir, length + 1);
  return 0;
}

// Home directory of a user by name into a kAreaBytes destination; 0 when
// found, 1 otherwise.
int vvzgthm(const char *user, char *destination) noexcept {
  passwd record;
  passwd *entry = nullptr;
  char strings[kAreaBytes];
  if (getpwnam_r(user, &record, strings, sizeof strings, &entry) != 0 || entry == nullptr) return 1;
  return copy_home(entry, destination);
}

// The same by user id.
int vvzgthmu(uid_t user, char *destination) noexcept {
  passwd record;
  passwd *entry = nullptr;
  char strings[kAreaBytes];
  if (getpwuid_r(user, &record, strings, sizeof strings, &entry) != 0 || entry == nullptr) return 1;
  return copy_home(entry, destination);
}

// Applies the leading `.` and `..` components of `text` (which starts with a
// dot) to the working directory. On return `rest` is where the rest of the
// text starts and `kept` how many bytes of `cwd` make the prefix. False when
// `..` would climb above the root.
bool resolve_dots(const char *text, const char *cwd, std::size_t &rest,
                  std::size_t &kept) noexcept {
  std::ptrdiff_t cut = static_cast<std::ptrdiff_t>(kept) - 1;
  std::size_t i = 0;
  for (;;) {
    ++i; // past the dot that starts this component
    if (text[i] == '\0') break;
    if (text[i] == '.' && (text[i + 1] == '/' || text[i + 1] == '\0')) {
      while (cut >= 0 && cwd[cut] == '/')
        --cut;
      while (cut >= 0 && cwd[cut] != '/')
        --cut;
      if (cut < 0) return false;
      ++i;
      if (text[i] == '\0') break;
    } else if (text[i] != '/') {
      --i; // a name such as .profile or ..x
      break;
    }
    while (text[i] == '/')
      ++i;
    if (text[i] != '.') break;
  }
  rest = i;
  kept = static_cast<std::size_t>(cut + 1);
  return true;
}

// True when the `n` bytes of `text` are none, or their last component,
// trailing slashes aside, is "." or "..". The root alone is a name.
bool names_dot_component(const char *text, std::size_t n) noexcept {
  if (n == 0) return true;
  while (n > 0 && text[n - 1] == '/')
    --n;
  std::size_t start = n;
  while (start > 0 && text[start - 1] != '/')
    --start;
  const std::size_t component = n - start;
  return (component == 1 || component == 2) && text[start] == '.' &&
         text[start + component - 1] == '.';
}

// Everything after the byte form is allocated; `bytes` has length + 1 bytes.
QZStatus expand(QZIOEExtension *extension, const QZChar *path, uint32_t length, char *bytes,
                QZChar **result, uint32_t *result_length, bool *names_dot) noexcept {
  // Cleared first, so a conversion that fell short shows as a zero byte.
  std::memset(bytes, 0, length);
  QZTranscoder *outbound = extension->outbound;
  if (outbound->convert(outbound, path, static_cast<uint32_t>(length * sizeof(QZChar)), bytes,
                        length, nullptr, 0) != QZ_OK)
    return QZIOE_FAILED;
  bytes[length] = '\0';
  // The system would see the name cut at the first zero byte: another file.
  if (std::memchr(bytes, '\0', length) != nullptr) return QZIOE_FAILED;

  char cwd[kAreaBytes];
  const bool have_cwd = ioe::sys::getcwd(cwd, sizeof cwd) != nullptr;

  // The text before the first `$` is taken as it is.
  char text[kAreaBytes];
  std::size_t n = std::strcspn(bytes, "$");
  if (n >= kAreaBytes) return QZIOE_NAME_TOO_LONG;
  std::memcpy(text, bytes, n);
  if (bytes[n] == '$') {
    EnvExpansion state;
    n += expand_env(bytes + n, text + n, text + kAreaBytes - 2, state);
    if (state.refused) return QZIOE_NAME_TOO_LONG;
  }
  text[n] = '\0';
  // Judged whether asked or not: a cheap scan, and one path for every call.
  bool dot = names_dot_component(text, n);

  const char *prefix = "";
  std::size_t prefix_length = 0;
  std::size_t rest = 0;
  char home[kAreaBytes];
  if (text[0] == '/') {
    // absolute: taken as it is
  } else if (text[0] == '~') {
    // A home directory with nothing but slashes after it is named by its
    // own last component.
    auto judge_home = [&] {
      if (text[rest + std::strspn(text + rest, "/")] == '\0')
        dot = names_dot_component(prefix, prefix_length);
    };
    if (text[1] == '\0' || text[1] == '/') {
      const char *value = std::getenv("HOME");
      if (value == nullptr && vvzgthmu(getuid(), home) == 0) value = home;
      if (value != nullptr) {
        prefix = value;
        prefix_length = std::strlen(value);
        rest = 1;
        judge_home();
      }
    } else {
      const std::size_t end = 1 + std::strcspn(text + 1, "/");
      const char saved = text[end];
      text[end] = '\0';
      const bool found = vvzgthm(text + 1, home) == 0;
      text[end] = saved;
      // An unknown user leaves the name as it is, `~` included.
      if (found) {
        prefix = home;
        prefix_length = std::strlen(home);
        rest = end;
        judge_home();
      }
    }
  } else {
    if (!have_cwd) return QZIOE_FAILED;
    prefix = cwd;
    prefix_length = std::strlen(cwd);
    if (text[0] == '.' && !resolve_dots(text, cwd, rest, prefix_length)) return QZIOE_FAILED;
  }

  if (prefix_length != 0) {
    // Trailing slashes of the prefix go, unless nothing but its first byte
    // would remain: / stays /.
    std::ptrdiff_t e = static_cast<std::ptrdiff_t>(prefix_length) - 1;
    while (e >= 0 && prefix[e] == '/')
      --e;
    if (e >= 1) prefix_length = static_cast<std::size_t>(e) + 1;
    while (text[rest] == '/')
      ++rest;
    const std::size_t rest_length = n - rest;
    if (rest_length + prefix_length + 2 > kAreaBytes) return QZIOE_NAME_TOO_LONG;
    std::memmove(text + prefix_length + 1, text + rest, rest_length);
    std::memcpy(text, prefix, prefix_length);
    text[prefix_length] = '/';
    n = prefix_length + 1 + rest_length;
  } else if (rest != 0) {
    // An empty home directory: the slashes after `~` stay.
    std::memmove(text, text + rest, n - rest);
    n -= rest;
  }
  while (n > 1 && text[n - 1] == '/')
    --n;
  if (names_dot != nullptr) *names_dot = dot;

  // At least one unit, so an empty result is not mistaken for no memory.
  QZPool *pool = extension->pool;
  const auto bytes_needed = static_cast<uint32_t>(std::max<std::size_t>(n, 1) * sizeof(QZChar));
  auto *chars = ioe::pool_alloc<QZChar>(pool, bytes_needed);
  if (chars == nullptr) return QZS_NO_MEMORY;
  *result = chars;
  QZTranscoder *inbound = extension->inbound;
  uint32_t produced = 0;
  const QZStatus converted =
      inbound->convert(inbound, text, static_cast<uint32_t>(n), chars,
                       static_cast<uint32_t>(n * sizeof(QZChar)), &produced, 0);
  // What the transcoder produced, so a byte encoding with multi-byte
  // characters cannot leave unwritten units in the result.
  *result_length = converted == QZ_OK ? produced / sizeof(QZChar) : 0;
  return converted == QZ_OK ? QZ_OK : QZIOE_FAILED;
}

} // namespace

QZStatus ioe::expand_path(QZIOEExtension *extension, const QZChar *path, uint32_t length,
                          QZChar **result, uint32_t *result_length, bool *names_dot) noexcept {
  if (extension == nullptr || extension->pool == nullptr || extension->outbound == nullptr ||
      extension->inbound == nullptr)
    return QZIOE_BAD_HANDLE;
  if (result == nullptr || result_length == nullptr) return QZS_BAD_VALUE;
  if (path == nullptr && length != 0) return QZIOE_BAD_NAME;
  if (length > kMaxNameChars) return QZIOE_NAME_TOO_LONG;
  static constexpr QZChar kNoChars[1] = {};
  if (path == nullptr) path = kNoChars;

  QZPool *pool = extension->pool;
  const ioe::PoolBlock<char> bytes(pool, length + 1);
  if (!bytes) return QZS_NO_MEMORY;
  return expand(extension, path, length, bytes.get(), result, result_length, names_dot);
}

extern "C" QZStatus bkioeexpand_path(QZIOEExtension *extension, const QZChar *path, uint32_t length,
                                     QZChar **result, uint32_t *result_length) noexcept {
  return ioe::expand_path(extension, path, length, result, result_length, nullptr);
}

extern "C" QZStatus bkioeexpand_path_free(QZPool *pool, QZChar *result) noexcept {
  if (result == nullptr) return QZ_OK;
  if (pool == nullptr || pool->free_block == nullptr) return QZIOE_BAD_HANDLE;
  return pool->free_block(pool, result);
}
