// Operating-system error reports and the journal stubs.
#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "harness.h"

namespace qztest {
namespace {

using ErrorFn = QZStatus (*)(QZIOEExtension *, int, QZJournal *);

// The system's own text for an error number, as the library must report it.
std::string SystemText(int error) {
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

class ErrorReportTest : public ExtensionTest {
protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    report_ = reinterpret_cast<ErrorFn>(qzk_loaded_symbol(loaded_, "bkioeerror"));
    ASSERT_NE(report_, nullptr);
    journal_ = qzk_journal_create(kernel_, 0);
    ASSERT_NE(journal_, nullptr);
  }
  void TearDown() override {
    qzk_journal_destroy(journal_);
    ExtensionTest::TearDown();
  }
  ErrorFn report_ = nullptr;
  QZJournal *journal_ = nullptr;
};

TEST_F(ErrorReportTest, SendsTheSystemTextAsIoErrorAtSeverityFour) {
  EXPECT_EQ(report_(ext_, EACCES, journal_), 0u);
  ASSERT_EQ(qzk_journal_messages(journal_), 1u);
  const std::string line = qzk_journal_text(journal_);
  EXPECT_EQ(line.rfind("4 QZIOE_IO_ERROR: ", 0), 0u) << line;
  EXPECT_NE(line.find(SystemText(EACCES)), std::string::npos) << line;
  // Exactly the converted text: nothing after it but the end of the line.
  const std::string tail = SystemText(EACCES) + "\n";
  EXPECT_EQ(line.compare(line.size() - tail.size(), tail.size(), tail), 0) << line;
}

TEST_F(ErrorReportTest, NullJournalAndUnknownNumbersReportNothing) {
  EXPECT_EQ(report_(ext_, EIO, nullptr), 0u);
  EXPECT_EQ(report_(ext_, 123456, journal_), 0u);
  EXPECT_EQ(report_(ext_, -1, journal_), 0u);
  EXPECT_EQ(qzk_journal_messages(journal_), 0u);
}

TEST_F(ErrorReportTest, FailingConversionReportsNothing) {
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 1);
  EXPECT_EQ(report_(ext_, ENOSPC, journal_), 0u);
  EXPECT_EQ(qzk_journal_messages(journal_), 0u);
  EXPECT_EQ(report_(ext_, ENOSPC, journal_), 0u);
  EXPECT_EQ(qzk_journal_messages(journal_), 1u);
}

TEST_F(ErrorReportTest, ConcurrentReportsStayWhole) {
  constexpr int kThreads = 4, kEach = 200;
  const int errors[kThreads] = {EACCES, ENOENT, EIO, ENOSPC};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        report_(ext_, errors[t], journal_);
    });
  for (auto &thread : threads)
    thread.join();
  ASSERT_EQ(qzk_journal_messages(journal_), unsigned(kThreads * kEach));
  // Every line is one whole report: the catalogue's message ending with
  // exactly one system text.
  std::istringstream log(qzk_journal_text(journal_));
  std::map<std::string, int> per_text;
  for (std::string line; std::getline(log, line);) {
    ASSERT_EQ(line.rfind("4 QZIOE_IO_ERROR: ", 0), 0u) << line;
    for (int error : errors) {
      const std::string text = SystemText(error);
      if (line.size() >= text.size() &&
          line.compare(line.size() - text.size(), text.size(), text) == 0)
        ++per_text[text];
    }
  }
  for (int error : errors)
    EXPECT_EQ(per_text[SystemText(error)], kEach);
}

// A journal of the test's own that records what each slot received.
struct RecordingJournal {
  QZJournal journal{};
  int slot = -1;
  QZWord fixed[5] = {};
  int further[2] = {};
};

RecordingJournal *Recorder(QZJournal *j) {
  return reinterpret_cast<RecordingJournal *>(j);
}

QZStatus RecordMessageToBuf(QZJournal *j, QZChar *buffer, uint32_t capacity, uint32_t *length,
                            uint32_t severity, const char *format, va_list args) {
  auto *r = Recorder(j);
  r->slot = 4;
  r->fixed[0] = reinterpret_cast<QZWord>(buffer);
  r->fixed[1] = capacity;
  r->fixed[2] = reinterpret_cast<QZWord>(length);
  r->fixed[3] = severity;
  r->fixed[4] = reinterpret_cast<QZWord>(format);
  r->further[0] = va_arg(args, int);
  r->further[1] = va_arg(args, int);
  return 0x11;
}
QZStatus RecordMessageToJnl(QZJournal *j, uint32_t severity, const char *component,
                            const char *format, va_list args) {
  auto *r = Recorder(j);
  r->slot = 5;
  r->fixed[0] = severity;
  r->fixed[1] = reinterpret_cast<QZWord>(component);
  r->fixed[2] = reinterpret_cast<QZWord>(format);
  r->further[0] = va_arg(args, int);
  return 0x22;
}
QZStatus RecordStatusToBuf(QZJournal *j, QZChar *buffer, uint32_t capacity, uint32_t *length,
                           QZStatus status, va_list args) {
  auto *r = Recorder(j);
  r->slot = 6;
  r->fixed[0] = reinterpret_cast<QZWord>(buffer);
  r->fixed[1] = capacity;
  r->fixed[2] = reinterpret_cast<QZWord>(length);
  r->fixed[3] = status;
  r->further[0] = va_arg(args, int);
  return 0x33;
}
QZStatus RecordStatusToJnl(QZJournal *j, uint32_t severity, QZStatus status, va_list args) {
  auto *r = Recorder(j);
  r->slot = 7;
  r->fixed[0] = severity;
  r->fixed[1] = status;
  r->further[0] = va_arg(args, int);
  r->further[1] = va_arg(args, int);
  return 0x44;
}

class StubTest : public ExtensionTest {
protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    rec_.journal.message_to_buf = RecordMessageToBuf;
    rec_.journal.message_to_jnl = RecordMessageToJnl;
    rec_.journal.status_to_buf = RecordStatusToBuf;
    rec_.journal.status_to_jnl = RecordStatusToJnl;
  }
  template <typename Fn> Fn Stub(const char *name) {
    auto fn = reinterpret_cast<Fn>(qzk_loaded_symbol(loaded_, name));
    EXPECT_NE(fn, nullptr) << name;
    return fn;
  }
  RecordingJournal rec_;
};

TEST_F(StubTest, EachStubCallsItsSlotWithArgumentsUnchanged) {
  QZChar buffer[4];
  uint32_t length = 0;
  const char *format = "fmt";

  auto to_buf =
      Stub<QZStatus (*)(QZJournal *, QZChar *, uint32_t, uint32_t *, uint32_t, const char *, ...)>(
          "qzlMessageToBuf");
  EXPECT_EQ(to_buf(&rec_.journal, buffer, 4, &length, 3, format, 7, 8), 0x11u);
  EXPECT_EQ(rec_.slot, 4);
  EXPECT_EQ(rec_.fixed[0], reinterpret_cast<QZWord>(buffer));
  EXPECT_EQ(rec_.fixed[1], 4u);
  EXPECT_EQ(rec_.fixed[2], reinterpret_cast<QZWord>(&length));
  EXPECT_EQ(rec_.fixed[3], 3u);
  EXPECT_EQ(rec_.fixed[4], reinterpret_cast<QZWord>(format));
  EXPECT_EQ(rec_.further[0], 7);
  EXPECT_EQ(rec_.further[1], 8);

  auto to_jnl =
      Stub<QZStatus (*)(QZJournal *, uint32_t, const char *, const char *, ...)>("qzlMessageToJnl");
  EXPECT_EQ(to_jnl(&rec_.journal, 2, "comp", format, 9), 0x22u);
  EXPECT_EQ(rec_.slot, 5);
  EXPECT_EQ(rec_.fixed[0], 2u);
  EXPECT_EQ(rec_.fixed[2], reinterpret_cast<QZWord>(format));
  EXPECT_EQ(rec_.further[0], 9);

  auto status_buf = Stub<QZStatus (*)(QZJournal *, QZChar *, uint32_t, uint32_t *, QZStatus, ...)>(
      "qzlStatusToBuf");
  EXPECT_EQ(status_buf(&rec_.journal, buffer, 4, &length, QZIOE_EXISTS, 10), 0x33u);
  EXPECT_EQ(rec_.slot, 6);
  EXPECT_EQ(rec_.fixed[3], QZIOE_EXISTS);
  EXPECT_EQ(rec_.further[0], 10);

  auto status_jnl = Stub<QZStatus (*)(QZJournal *, uint32_t, QZStatus, ...)>("qzlStatusToJnl");
  EXPECT_EQ(status_jnl(&rec_.journal, 4, QZIOE_IO_ERROR, 11, 12), 0x44u);
  EXPECT_EQ(rec_.slot, 7);
  EXPECT_EQ(rec_.fixed[0], 4u);
  EXPECT_EQ(rec_.fixed[1], QZIOE_IO_ERROR);
  EXPECT_EQ(rec_.further[0], 11);
  EXPECT_EQ(rec_.further[1], 12);
}

TEST_F(StubTest, NullJournalIsABadHandle) {
  auto status_jnl = Stub<QZStatus (*)(QZJournal *, uint32_t, QZStatus, ...)>("qzlStatusToJnl");
  EXPECT_EQ(status_jnl(nullptr, 4, QZIOE_IO_ERROR, 0), QZIOE_BAD_HANDLE);
}

} // namespace
} // namespace qztest
