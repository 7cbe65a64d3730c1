// Message journals: render catalogue texts and caller formats, keep them in
// memory or write them to stderr.
#include <cstdio>
#include <cstring>
#include <new>

#include "internal.h"

namespace qzk {

struct Journal : QZJournal {
  Kernel *kernel = nullptr;
  bool to_stderr = false;
  std::mutex mutex;
  std::string log;
  uint32_t messages = 0;
};

namespace {

// A QZChar text without terminator is read no further than this.
constexpr size_t kMaxTerminatedUnits = size_t{1} << 20;

Journal *FindJournal(QZJournal *journal) {
  return Find<Journal>(journal, Kind::Journal);
}

// The live journal behind `journal`, or null with the misuse counted.
Journal *LiveJournal(QZJournal *journal, const char *operation) {
  Journal *live = FindJournal(journal);
  if (live == nullptr)
    Misuse(nullptr, "%s: %p is not a live journal", operation, static_cast<void *>(journal));
  return live;
}

void AppendUnits(std::u32string &out, const QZChar *text, size_t count) {
  for (size_t i = 0; i < count; ++i)
    out.push_back(static_cast<char32_t>(text[i]));
}

// Fills the placeholders of `format` from `args`. Unknown directives are
// kept as they stand and take no argument.
std::u32string Render(Kernel *kernel, const char *format, va_list *args) {
  std::u32string out;
  if (format == nullptr) return out;
  std::string literal;
  auto flush = [&] {
    out += DecodeOsBytes(kernel, literal.c_str());
    literal.clear();
  };
  for (const char *p = format; *p != '\0'; ++p) {
    if (*p != '%' || p[1] == '\0') {
      literal.push_back(*p);
      continue;
    }
    const char directive = *++p;
    char number[16];
    switch (directive) {
    case '%':
      literal.push_back('%');
      break;
    case 's': {
      const char *text = va_arg(*args, const char *);
      literal += text != nullptr ? text : "(null)";
      break;
    }
    case 'T': {
      const QZChar *text = va_arg(*args, const QZChar *);
      flush();
      if (text == nullptr) {
        out += U"(null)";
        break;
      }
      size_t count = 0;
      while (count < kMaxTerminatedUnits && text[count] != 0)
        ++count;
      AppendUnits(out, text, count);
      break;
    }
    case 'S': {
      const QZChar *text = va_arg(*args, const QZChar *);
      const uint32_t count = va_arg(*args, uint32_t);
      flush();
      if (text == nullptr)
        out += U"(null)";
      else
        AppendUnits(out, text, count);
      break;
    }
    case 'u':
      std::snprintf(number, sizeof number, "%u", va_arg(*args, uint32_t));
      literal += number;
      break;
    case 'd':
      std::snprintf(number, sizeof number, "%d", va_arg(*args, int32_t));
      literal += number;
      break;
    case 'x':
      std::snprintf(number, sizeof number, "%x", va_arg(*args, uint32_t));
      literal += number;
      break;
    default:
      literal.push_back('%');
      literal.push_back(directive);
      break;
    }
  }
  flush();
  return out;
}

std::string StatusName(QZStatus status) {
  if (const char *name = CatalogueName(status)) return name;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08x", status);
  return hex;
}

std::u32string RenderStatus(Kernel *kernel, QZStatus status, va_list *args) {
  const char *text = CatalogueText(status);
  if (text == nullptr) return U"unknown status";
  return Render(kernel, text, args);
}

void WriteLine(Journal *journal, uint32_t severity, const std::string &name,
               const std::u32string &text) {
  std::string line = std::to_string(severity) + " " + name + ": " + ToUtf8(text);
  // One message, one line.
  for (char &c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line.push_back('\n');
  std::lock_guard guard(journal->mutex);
  ++journal->messages;
  if (journal->to_stderr)
    std::fputs(line.c_str(), stderr);
  else
    journal->log += line;
}

// Stores the rendered text whole or not at all; a terminator follows when
// there is room for it.
QZStatus ToBuffer(const std::u32string &text, QZChar *buffer, uint32_t capacity, uint32_t *length) {
  if (static_cast<uint64_t>(text.size()) >= UINT32_MAX) return QZK_BUFFER_TOO_SMALL;
  const uint32_t needed = static_cast<uint32_t>(text.size());
  if (length != nullptr) *length = needed;
  if (needed > capacity) return QZK_BUFFER_TOO_SMALL;
  for (uint32_t i = 0; i < needed; ++i)
    buffer[i] = text[i];
  if (needed < capacity) buffer[needed] = 0;
  return QZ_OK;
}

bool BufferArgumentsOk(Journal *journal, QZChar *buffer, uint32_t capacity, const char *what) {
  if (buffer == nullptr && capacity != 0) {
    Misuse(journal->kernel, "journal %s: null buffer of capacity %u", what, capacity);
    return false;
  }
  return true;
}

// Renders from a copy of `args`, leaving the caller's list untouched.
template <typename Renderer, typename Source>
std::u32string RenderCopy(Renderer render, Kernel *kernel, Source source, va_list args) {
  va_list copy;
  va_copy(copy, args);
  std::u32string text = render(kernel, source, &copy);
  va_end(copy);
  return text;
}

QZStatus MessageToBuf(QZJournal *public_journal, QZChar *buffer, uint32_t capacity,
                      uint32_t *length, uint32_t severity, const char *format, va_list args) {
  (void)severity;
  Journal *journal = LiveJournal(public_journal, "message_to_buf");
  if (journal == nullptr) return QZK_BAD_ARGUMENT;
  if (!BufferArgumentsOk(journal, buffer, capacity, "message_to_buf")) return QZK_BAD_ARGUMENT;
  const std::u32string text = RenderCopy(Render, journal->kernel, format, args);
  return ToBuffer(text, buffer, capacity, length);
}

QZStatus MessageToJnl(QZJournal *public_journal, uint32_t severity, const char *component,
                      const char *format, va_list args) {
  Journal *journal = LiveJournal(public_journal, "message_to_jnl");
  if (journal == nullptr) return QZK_BAD_ARGUMENT;
  const std::u32string text = RenderCopy(Render, journal->kernel, format, args);
  WriteLine(journal, severity, component != nullptr ? component : "MESSAGE", text);
  return QZ_OK;
}

QZStatus StatusToBuf(QZJournal *public_journal, QZChar *buffer, uint32_t capacity, uint32_t *length,
                     QZStatus status, va_list args) {
  Journal *journal = LiveJournal(public_journal, "status_to_buf");
  if (journal == nullptr) return QZK_BAD_ARGUMENT;
  if (!BufferArgumentsOk(journal, buffer, capacity, "status_to_buf")) return QZK_BAD_ARGUMENT;
  const std::u32string text = RenderCopy(RenderStatus, journal->kernel, status, args);
  return ToBuffer(text, buffer, capacity, length);
}

QZStatus StatusToJnl(QZJournal *public_journal, uint32_t severity, QZStatus status, va_list args) {
  Journal *journal = LiveJournal(public_journal, "status_to_jnl");
  if (journal == nullptr) return QZK_BAD_ARGUMENT;
  const std::u32string text = RenderCopy(RenderStatus, journal->kernel, status, args);
  WriteLine(journal, severity, StatusName(status), text);
  return QZ_OK;
}

} // namespace

std::string ToUtf8(const std::u32string &text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) c = 0xfffd;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xc0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xe0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    } else {
      out.push_back(static_cast<char>(0xf0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
    }
  }
  return out;
}

void JournalLine(QZJournal *public_journal, uint32_t severity, const char *name,
                 const std::u32string &text) {
  if (public_journal == nullptr) return;
  Journal *journal = LiveJournal(public_journal, "journal");
  if (journal == nullptr) return;
  WriteLine(journal, severity, name, text);
}

void DestroyJournalNow(Journal *journal) {
  Take(static_cast<QZJournal *>(journal), Kind::Journal);
  journal->magic = 0;
  delete journal;
}

} // namespace qzk

using namespace qzk;

extern "C" {

QZ_EXPORT QZJournal *qzk_journal_create(QZHandle *handle, int to_stderr) {
  Kernel *kernel = Find<Kernel>(handle, Kind::Kernel);
  if (kernel == nullptr) {
    Misuse(nullptr, "journal create: %p is not a kernel handle", static_cast<void *>(handle));
    return nullptr;
  }
  Journal *journal = new (std::nothrow) Journal;
  if (journal == nullptr) return nullptr;
  QZJournal &head = *journal;
  std::memset(&head, 0, sizeof head);
  head.magic = QZ_OBJECT_MAGIC;
  head.message_to_buf = MessageToBuf;
  head.message_to_jnl = MessageToJnl;
  head.status_to_buf = StatusToBuf;
  head.status_to_jnl = StatusToJnl;
  journal->kernel = kernel;
  journal->to_stderr = to_stderr != 0;
  {
    std::lock_guard guard(kernel->objects_mutex);
    kernel->live_journals.insert(journal);
  }
  Register(&head, Kind::Journal, kernel);
  return &head;
}

QZ_EXPORT void qzk_journal_destroy(QZJournal *public_journal) {
  if (public_journal == nullptr) return;
  Journal *journal = FindJournal(public_journal);
  if (journal == nullptr || !Take(public_journal, Kind::Journal)) {
    Misuse(nullptr, "journal destroy: %p is not a live journal",
           static_cast<void *>(public_journal));
    return;
  }
  {
    std::lock_guard guard(journal->kernel->objects_mutex);
    journal->kernel->live_journals.erase(journal);
  }
  DestroyJournalNow(journal);
}

QZ_EXPORT const char *qzk_journal_text(QZJournal *public_journal) {
  Journal *journal = LiveJournal(public_journal, "journal text");
  if (journal == nullptr) return "";
  std::lock_guard guard(journal->mutex);
  return journal->log.c_str();
}

QZ_EXPORT uint32_t qzk_journal_messages(QZJournal *public_journal) {
  Journal *journal = LiveJournal(public_journal, "journal messages");
  if (journal == nullptr) return 0;
  std::lock_guard guard(journal->mutex);
  return journal->messages;
}

QZ_EXPORT void qzk_journal_clear(QZJournal *public_journal) {
  Journal *journal = LiveJournal(public_journal, "journal clear");
  if (journal == nullptr) return;
  std::lock_guard guard(journal->mutex);
  journal->log.clear();
  journal->messages = 0;
}

} // extern "C"
