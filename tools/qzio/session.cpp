#include "session.h"

#include "commands.h"
#include "output.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qzio {

std::string default_library() {
  if (const char *env = std::getenv("QZIOE_LIBRARY"); env != nullptr && *env != '\0') return env;
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return QZIOE_LIBRARY_NAME;
  std::string dir(self, static_cast<size_t>(n));
  dir.erase(dir.find_last_of('/'));
#ifdef QZIOE_INSTALL_LIBDIR
  // Installed: <prefix>/bin/qzio beside <prefix>/lib/<multiarch>/.
  const std::string installed = dir + "/../" QZIOE_INSTALL_LIBDIR "/" + QZIOE_LIBRARY_NAME;
  if (access(installed.c_str(), F_OK) == 0) return installed;
#endif
  return dir + "/../lib/" + QZIOE_LIBRARY_NAME;
}

namespace {

// The rendered text of the journal's latest report, or empty. Journal lines
// read "<severity> <STATUS_NAME>: <text>".
std::string latest_report(QZJournal *journal) {
  if (journal == nullptr || qzk_journal_messages(journal) == 0) return {};
  std::string log = qzk_journal_text(journal);
  while (!log.empty() && log.back() == '\n')
    log.pop_back();
  const size_t start = log.rfind('\n') + 1; // npos + 1 is 0
  const size_t text = log.find(": ", start);
  if (text == std::string::npos) return {};
  std::string report = log.substr(text + 2);
  // The extension reports the system's text inside the kernel's message for
  // QZIOE_IO_ERROR; the text alone is what is wanted.
  std::string message = qzk_status_text(QZIOE_IO_ERROR);
  message.erase(std::min(message.find('%'), message.size()));
  if (!message.empty() && report.compare(0, message.size(), message) == 0)
    report.erase(0, message.size());
  return report;
}

} // namespace

std::string describe(QZStatus status, QZJournal *journal, const std::string &seen) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", status);
  std::string text = latest_report(journal);
  if (text.empty()) text = seen;
  if (text.empty()) {
    // Without a report there is nothing to fill a placeholder with: the
    // text ends before it ("system error: %T" reads "system error").
    text = qzk_status_text(status);
    text.erase(std::min(text.find('%'), text.size()));
    while (!text.empty() && (text.back() == ' ' || text.back() == ':'))
      text.pop_back();
  }
  return std::string(qzk_status_name(status)) + " (" + code + "): " + text;
}

bool fail(const std::string &what, QZStatus status, QZJournal *journal, const std::string &seen) {
  std::fprintf(stderr, "qzio: %s: %s\n", what.c_str(), describe(status, journal, seen).c_str());
  if (journal != nullptr) qzk_journal_clear(journal);
  return false;
}

std::string to_utf8(const QZChar *text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) {
    const QZChar c = text[i];
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xc0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xe0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else if (c < 0x110000) {
      out += static_cast<char>(0xf0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      out += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      out += "\xef\xbf\xbd";
    }
  }
  return out;
}

bool Session::open(const Options &options) {
  QZKOptions kernel_options{};
  if (!options.os_encoding.empty()) kernel_options.os_encoding = options.os_encoding.c_str();
  kernel_ = qzk_kernel_create(&kernel_options);
  if (kernel_ == nullptr) {
    std::fprintf(stderr, "qzio: the kernel could not be created%s\n",
                 options.os_encoding.empty()
                     ? ""
                     : (" (is '" + options.os_encoding + "' an encoding iconv knows?)").c_str());
    return false;
  }
  const std::string path = options.library.empty() ? default_library() : options.library;
  char error[1024] = "";
  extension_ = qzk_load(kernel_, path.c_str(), 0, &loaded_, error, sizeof error);
  if (extension_ == nullptr) {
    std::fprintf(stderr, "qzio: cannot start the extension %s: %s\n", path.c_str(),
                 *error != '\0' ? error : "the entry returned null");
    return false;
  }
  // The kernel's journal for extension-wide services (word 29), so that
  // failures can be told with the system's own text.
  journal_ = qzk_journal_create(kernel_, 0);
  extension_->journal = journal_;
  return true;
}

bool Session::fail(const std::string &what, QZStatus status, const std::string &seen) const {
  return qzio::fail(what, status, journal_, seen);
}

void Session::forget_reports() const {
  if (journal_ != nullptr) qzk_journal_clear(journal_);
}

bool Session::has_report() const {
  return journal_ != nullptr && qzk_journal_messages(journal_) > 0;
}

bool Session::close() {
  if (extension_ != nullptr) {
    extension_->journal = nullptr;
    extension_->destroy(extension_);
    extension_ = nullptr;
  }
  if (journal_ != nullptr) {
    qzk_journal_destroy(journal_);
    journal_ = nullptr;
  }
  bool clean = true;
  if (kernel_ != nullptr) {
    QZKStats s{};
    qzk_stats(kernel_, &s);
    clean = s.pools == 0 && s.blocks == 0 && s.locks == 0 && s.lists == 0 && s.transcoders == 0 &&
            s.extensions == 0 && s.descriptors == 0 && s.misuses == 0;
    if (!clean)
      std::fprintf(stderr,
                   "qzio: the extension left behind %u pools, %u blocks, %u locks, %u lists, "
                   "%u transcoders, %u extensions, %u descriptors (%u misuses)\n",
                   s.pools, s.blocks, s.locks, s.lists, s.transcoders, s.extensions, s.descriptors,
                   s.misuses);
  }
  if (loaded_ != nullptr) {
    qzk_unload(loaded_);
    loaded_ = nullptr;
  }
  if (kernel_ != nullptr) {
    qzk_kernel_destroy(kernel_);
    kernel_ = nullptr;
  }
  return clean;
}

Session::~Session() {
  close();
}

void for_each_name(Shared &shared, const std::vector<std::string> &names,
                   const std::function<bool(Session &, const std::string &, size_t)> &each) {
  Session session;
  const bool opened = session.open(shared.options);
  bool ok = opened;
  for (size_t i = 0; opened && i < names.size() && output_ok(); ++i) {
    session.forget_reports();
    ok = each(session, names[i], i) && ok;
  }
  ok = session.close() && ok && output_ok();
  shared.exit_status = ok ? 0 : 1;
}

} // namespace qzio
