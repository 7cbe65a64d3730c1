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
  // Prints "qzio: <what>: <status>" with the extension journal's latest
  // report (else `seen`), then forgets the reports; returns false.
  bool fail(const std::string &what, QZStatus status, const std::string &seen = {}) const;
  // Forgets the reports of earlier calls, so that a failure is told with
  // what its own call reported.
  void forget_reports() const;
  // Whether a call since then reported a system text.
  bool has_report() const;

private:
  QZHandle *kernel_ = nullptr;
  QZIOEExtension *extension_ = nullptr;
  QZKLoaded *loaded_ = nullptr;
  QZJournal *journal_ = nullptr;
};

// "QZIOE_NOT_FOUND (0x80bfe801): <text>". The text is the journal's latest
// report, whatever status it was made for (the system's own words), else
// `seen` (what the tool could see for itself), else the catalogue's.
std::string describe(QZStatus status, QZJournal *journal = nullptr, const std::string &seen = {});
// Prints "qzio: <what>: <status description>" to stderr and forgets the
// journal's reports; returns false.
bool fail(const std::string &what, QZStatus status, QZJournal *journal = nullptr,
          const std::string &seen = {});
// The default library path: $QZIOE_LIBRARY, else ../lib beside the executable.
std::string default_library();
// QZChar units as UTF-8.
std::string to_utf8(const QZChar *text, size_t count);

} // namespace qzio
