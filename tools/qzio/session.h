// One run of qzio: a stand-in kernel and the extension loaded into it the
// way the kernel loads it. Everything is released on every exit path.
#pragma once

#include <string>

#include "qzioe/extension.h"
#include "qzkernel/standin.h"

namespace qzio {

struct Options {
  std::string library;     // empty: next to the executable, or $QZIOE_LIBRARY
  std::string os_encoding; // iconv name of encoding 62; empty: ISO-8859-1
};

class Session {
public:
  Session() = default;
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  ~Session();

  // Creates the kernel and loads the extension; prints why on failure.
  bool open(const Options &options);
  QZHandle *kernel() const { return kernel_; }
  QZIOEExtension *extension() const { return extension_; }
  const char *library_path() const { return qzk_loaded_path(loaded_); }
  // An exported symbol of the loaded library, or null.
  void *symbol(const char *name) const { return qzk_loaded_symbol(loaded_, name); }
  // Destroys the extension and reports anything it left alive.
  bool close();
  // Prints "qzio: <what>: <status>" with the extension journal's report of
  // that status when there is one; returns false.
  bool fail(const std::string &what, QZStatus status) const;

private:
  QZHandle *kernel_ = nullptr;
  QZIOEExtension *extension_ = nullptr;
  QZKLoaded *loaded_ = nullptr;
  QZJournal *journal_ = nullptr;
};

// "QZIOE_NOT_FOUND (0x80bfe801): <text>". The text is the journal's rendered
// report of that status when it has one (the system's own words), else the
// catalogue's.
std::string describe(QZStatus status, QZJournal *journal = nullptr);
// Prints "qzio: <what>: <status description>" to stderr; returns false.
bool fail(const std::string &what, QZStatus status, QZJournal *journal = nullptr);
// The default library path: $QZIOE_LIBRARY, else ../lib beside the executable.
std::string default_library();
// QZChar units as UTF-8.
std::string to_utf8(const QZChar *text, size_t count);

} // namespace qzio
