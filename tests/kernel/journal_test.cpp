// Journals and the message catalogue.
#include <cstdarg>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace qztest {
namespace {

// Through the caller's copy of the table, which may outlive the journal.
QZStatus StatusToJnlVia(const QZJournal &table, QZJournal *journal, uint32_t severity,
                        QZStatus status, ...) {
  va_list args;
  va_start(args, status);
  const QZStatus result = table.status_to_jnl(journal, severity, status, args);
  va_end(args);
  return result;
}

QZStatus StatusToJnl(QZJournal *journal, uint32_t severity, QZStatus status, ...) {
  va_list args;
  va_start(args, status);
  const QZStatus result = journal->status_to_jnl(journal, severity, status, args);
  va_end(args);
  return result;
}

QZStatus StatusToBuf(QZJournal *journal, QZChar *buffer, uint32_t capacity, uint32_t *length,
                     QZStatus status, ...) {
  va_list args;
  va_start(args, status);
  const QZStatus result = journal->status_to_buf(journal, buffer, capacity, length, status, args);
  va_end(args);
  return result;
}

QZStatus MessageToJnl(QZJournal *journal, uint32_t severity, const char *component,
                      const char *format, ...) {
  va_list args;
  va_start(args, format);
  const QZStatus result = journal->message_to_jnl(journal, severity, component, format, args);
  va_end(args);
  return result;
}

QZStatus MessageToBuf(QZJournal *journal, QZChar *buffer, uint32_t capacity, uint32_t *length,
                      uint32_t severity, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const QZStatus result =
      journal->message_to_buf(journal, buffer, capacity, length, severity, format, args);
  va_end(args);
  return result;
}

class JournalTest : public KernelTest {
protected:
  void SetUp() override {
    KernelTest::SetUp();
    journal_ = qzk_journal_create(kernel_, 0);
    ASSERT_NE(journal_, nullptr);
  }
  void TearDown() override {
    qzk_journal_destroy(journal_);
    KernelTest::TearDown();
  }
  QZJournal *journal_ = nullptr;
};

TEST_F(JournalTest, IoErrorRendersItsQZCharArgumentAsUtf8) {
  const QZChar text[] = {'N', 'o', ' ', 0xe9, 0x20ac, 0x1f600, 0};
  ASSERT_EQ(StatusToJnl(journal_, QZ_SEVERITY_ERROR, QZIOE_IO_ERROR, text), 0u);
  EXPECT_STREQ(qzk_journal_text(journal_),
               "4 QZIOE_IO_ERROR: system error: No \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\n");
  ASSERT_EQ(StatusToJnl(journal_, 2, QZIOE_NOT_FOUND), 0u);
  ASSERT_EQ(StatusToJnl(journal_, 1, 0x80001234u), 0u);
  EXPECT_EQ(qzk_journal_messages(journal_), 3u);
  const std::string log = qzk_journal_text(journal_);
  EXPECT_NE(log.find("\n2 QZIOE_NOT_FOUND: the file or directory does not exist\n"),
            std::string::npos);
  EXPECT_NE(log.find("\n1 0x80001234: unknown status\n"), std::string::npos);
  qzk_journal_clear(journal_);
  EXPECT_STREQ(qzk_journal_text(journal_), "");
  EXPECT_EQ(qzk_journal_messages(journal_), 0u);
}

TEST_F(JournalTest, MessagesFillEveryPlaceholder) {
  const QZChar counted[] = {'a', 'b', 'c', 'd'};
  ASSERT_EQ(MessageToJnl(journal_, 3, "qzioe", "%s|%S|%u|%d|%x|%%|%q|%s", "caf\xe9", counted, 3u,
                         4000000000u, -42, 0xbeefu, static_cast<const char *>(nullptr)),
            0u);
  EXPECT_STREQ(qzk_journal_text(journal_),
               "3 qzioe: caf\xc3\xa9|abc|4000000000|-42|beef|%|%q|(null)\n");

  // A message is one line, whatever its arguments hold.
  qzk_journal_clear(journal_);
  ASSERT_EQ(MessageToJnl(journal_, 1, nullptr, "two\nlines"), 0u);
  EXPECT_EQ(std::string(qzk_journal_text(journal_)).find('\n'),
            std::strlen("1 MESSAGE: two lines"));
}

TEST_F(JournalTest, BufferRenderingChecksCapacityExactly) {
  const QZChar arg[] = {'x', 'y', 0};
  const std::string expected = "system error: xy";
  const uint32_t size = static_cast<uint32_t>(expected.size());
  std::vector<QZChar> buffer(size + 2, 0xeeee);
  uint32_t length = 0;

  ASSERT_EQ(StatusToBuf(journal_, buffer.data(), size, &length, QZIOE_IO_ERROR, arg), 0u);
  EXPECT_EQ(length, size);
  EXPECT_EQ(Narrow(buffer.data(), size), expected);
  EXPECT_EQ(buffer[size], 0xeeeeu); // no room for a terminator: none written

  std::fill(buffer.begin(), buffer.end(), 0xeeee);
  length = 0;
  EXPECT_EQ(StatusToBuf(journal_, buffer.data(), size - 1, &length, QZIOE_IO_ERROR, arg),
            QZK_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, size);
  EXPECT_EQ(buffer[0], 0xeeeeu);

  ASSERT_EQ(MessageToBuf(journal_, buffer.data(), size + 2, &length, 4, "%u-%T", 7u, arg), 0u);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(Narrow(buffer.data(), 4), "7-xy");
  EXPECT_EQ(buffer[4], 0u);
  EXPECT_EQ(MessageToBuf(journal_, nullptr, 0, &length, 4, "abc"), QZK_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(qzk_journal_messages(journal_), 0u);
}

TEST_F(JournalTest, BadJournalsAreRefused) {
  QZJournal copy = *journal_;
  EXPECT_NE(StatusToJnl(&copy, 4, QZIOE_FAILED), 0u); // not the journal itself
  EXPECT_NE(MessageToBuf(journal_, nullptr, 4, nullptr, 4, "x"), 0u);
  qzk_journal_destroy(journal_);
  EXPECT_NE(StatusToJnlVia(copy, journal_, 4, QZIOE_FAILED), 0u);
  EXPECT_NE(StatusToJnlVia(copy, nullptr, 4, QZIOE_FAILED), 0u);
  journal_ = nullptr;
  EXPECT_EQ(TakeMisuses(), 4u);
}

TEST_F(JournalTest, ConcurrentMessagesStayWhole) {
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        MessageToJnl(journal_, 2, "worker", "thread %d item %d", t, i);
    });
  for (std::thread &thread : threads)
    thread.join();
  EXPECT_EQ(qzk_journal_messages(journal_), static_cast<uint32_t>(kThreads * kEach));
  std::istringstream lines(qzk_journal_text(journal_));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.rfind("2 worker: thread ", 0), 0u) << line;
  }
  EXPECT_EQ(count, kThreads * kEach);
}

TEST(Catalogue, EveryStatusHasItsNameAndAText) {
  const struct {
    QZStatus status;
    const char *name;
  } codes[] = {
#define CODE(name, code, text) {name, #name},
      QZ_STATUS_CODES(CODE) QZK_STATUS_CODES(CODE)
#undef CODE
  };
  for (const auto &code : codes) {
    EXPECT_STREQ(qzk_status_name(code.status), code.name);
    EXPECT_STRNE(qzk_status_text(code.status), "unknown status") << code.name;
    EXPECT_EQ(std::strchr(qzk_status_text(code.status), '\n'), nullptr) << code.name;
    // Success is the only code without the failure bit.
    EXPECT_EQ(QZ_FAILED(code.status), code.status != QZ_OK) << code.name;
  }
  // Two names for one code would make the catalogue answer with the first.
  for (const auto &a : codes) {
    for (const auto &b : codes) {
      if (&a != &b) {
        EXPECT_NE(a.status, b.status) << a.name << " and " << b.name;
      }
    }
  }
  EXPECT_STREQ(qzk_status_name(0x80001234u), "unknown status");
  EXPECT_STREQ(qzk_status_text(0x80001234u), "unknown status");
}

} // namespace
} // namespace qztest
