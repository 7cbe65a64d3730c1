// The file layers under failing system calls: short transfers, EINTR,
// full disks and I/O errors. Faults are armed for the handle's descriptor
// only, through the interposing fault library.
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>

#include "file_fixture.h"
#include "syscall_faults.h"

namespace qztest {
namespace {

using qzfault::Call;
using qzfault::Fault;

constexpr int64_t kZeroOffset = 0;

class FaultTest : public FileTest {
protected:
  void SetUp() override {
    FileTest::SetUp();
    journal_ = qzk_journal_create(kernel_, 0);
  }
  void TearDown() override {
    qzfault::disarm_all();
    qzk_journal_destroy(journal_);
    FileTest::TearDown();
  }

  QZIOEFile *OpenWithJournal(const std::string &path, QZIOEOpenOptions options) {
    options.journal = journal_;
    return MustOpen(path, options);
  }

  static void Arm(Call call, const QZIOEFile *file, int error, uint32_t times = 1,
                  size_t short_count = 0, uint32_t nth = 1) {
    Fault fault;
    fault.call = call;
    fault.fd = Descriptor(file);
    fault.nth = nth;
    fault.times = times;
    fault.error = error;
    fault.short_count = short_count;
    qzfault::arm(fault);
  }

  std::string JournalText() const { return qzk_journal_text(journal_); }

  QZJournal *journal_ = nullptr;
  qzfault::ScopedFaults faults_;
};

// --- short transfers and interruptions ------------------------------------------

TEST_F(FaultTest, ShortWritesLoseNothing) {
  const std::string data = Pattern(50000, 1);
  for (uint32_t buffered : {1u, 0u}) {
    const std::string path = Path("short" + std::to_string(buffered));
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT, buffered));
    ASSERT_NE(file, nullptr);
    Arm(buffered ? Call::write : Call::pwrite, file, 0, 1000000, 100);
    if (buffered != 0) {
      EXPECT_EQ(WriteAll(file, data, 30000), QZ_OK);
    } else {
      for (size_t at = 0; at < data.size(); at += 25000) {
        int64_t offset = static_cast<int64_t>(at);
        EXPECT_EQ(file->write(file, data.data() + at, 25000, 0, &offset), QZ_OK);
      }
    }
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_GE(qzfault::calls(buffered ? Call::write : Call::pwrite), 500u) << "really short";
    qzfault::disarm_all();
    EXPECT_TRUE(ReadWholeFile(path) == data) << "buffered " << buffered;
  }
}

TEST_F(FaultTest, ShortReadsAreNotErrors) {
  const std::string path = Path("data");
  const std::string data = Pattern(30000, 2);
  WriteWholeFile(path, data);
  QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_INPUT, 1, 5000));
  ASSERT_NE(file, nullptr);
  Arm(Call::read, file, 0, 1000000, 333);
  std::string back;
  EXPECT_EQ(ReadAll(file, 5000, &back), QZ_OK);
  EXPECT_TRUE(back == data);
  EXPECT_EQ(file->close(file), QZ_OK);
}

TEST_F(FaultTest, InterruptedCallsAreRetried) {
  const std::string path = Path("data");
  const std::string data = Pattern(20000, 3);
  QZIOEFile *out = MustOpen(path, Options(QZIOE_MODE_OUTPUT));
  ASSERT_NE(out, nullptr);
  Arm(Call::write, out, EINTR, 3);
  EXPECT_EQ(out->write(out, data.data(), 20000, 0, nullptr), QZ_OK);
  Arm(Call::fsync, out, EINTR, 2);
  EXPECT_EQ(out->flush(out), QZ_OK);
  EXPECT_EQ(qzfault::calls(Call::fsync), 3u);
  EXPECT_EQ(out->close(out), QZ_OK);
  EXPECT_TRUE(ReadWholeFile(path) == data);

  QZIOEFile *in = MustOpen(path, Options(QZIOE_MODE_INPUT, 1, 20000));
  ASSERT_NE(in, nullptr);
  Arm(Call::read, in, EINTR, 2);
  std::string back;
  EXPECT_EQ(ReadAll(in, 20000, &back), QZ_OK);
  EXPECT_TRUE(back == data);
  EXPECT_EQ(in->close(in), QZ_OK);

  QZIOEFile *direct = MustOpen(path, Options(QZIOE_MODE_UPDATE, 0, 100));
  ASSERT_NE(direct, nullptr);
  Arm(Call::pread, direct, EINTR, 2);
  int64_t offset = 1000;
  void *address = nullptr;
  uint32_t length = 100;
  EXPECT_EQ(direct->read(direct, &address, &length, 0, &offset), QZ_OK);
  ASSERT_EQ(length, 100u);
  EXPECT_EQ(std::memcmp(address, data.data() + 1000, 100), 0);
  Arm(Call::pwrite, direct, EINTR, 2);
  EXPECT_EQ(direct->write(direct, "abc", 3, 0, &offset), QZ_OK);
  EXPECT_EQ(direct->close(direct), QZ_OK);
  EXPECT_EQ(ReadWholeFile(path).substr(1000, 3), "abc");
}

// --- block counts -------------------------------------------------------------

TEST_F(FaultTest, BufferedWritesCallTheSystemPerBlock) {
  const struct {
    size_t size;
    uint32_t writes;
  } cases[] = {{8191, 0}, {8192, 1}, {20000, 2}, {100000, 12}};
  for (const auto &c : cases) {
    const std::string path = Path("b" + std::to_string(c.size));
    const std::string data = Pattern(c.size);
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT));
    ASSERT_NE(file, nullptr);
    qzfault::disarm_all();
    EXPECT_EQ(file->write(file, data.data(), static_cast<uint32_t>(c.size), 0, nullptr), QZ_OK);
    EXPECT_EQ(qzfault::calls(Call::write), c.writes) << c.size;
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(qzfault::calls(Call::write), c.writes + (c.size % 8192 != 0 ? 1 : 0));
    EXPECT_TRUE(ReadWholeFile(path) == data);
  }
}

TEST_F(FaultTest, ClosingAnInputHandleNeverFlushes) {
  const std::string path = Path("data");
  WriteWholeFile(path, "abc");
  for (uint32_t buffered : {0u, 1u}) {
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_INPUT, buffered));
    ASSERT_NE(file, nullptr);
    qzfault::disarm_all();
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(qzfault::calls(Call::fsync), 0u);
  }
}

// --- full disks -----------------------------------------------------------------

TEST_F(FaultTest, FailedBlockWriteKeepsEarlierBytesAndDropsItsOwn) {
  // Through the direct block path (nothing pending) and through the buffer.
  for (size_t lead : {size_t(0), size_t(100)}) {
    const std::string path = Path("full" + std::to_string(lead));
    const std::string data = Pattern(8192 + 500, static_cast<uint32_t>(lead));
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT));
    ASSERT_NE(file, nullptr);
    if (lead > 0) {
      EXPECT_EQ(file->write(file, data.data(), static_cast<uint32_t>(lead), 0, nullptr), QZ_OK);
    }
    Arm(Call::write, file, ENOSPC);
    EXPECT_EQ(file->write(file, data.data() + lead, 8192, 0, nullptr), QZIOE_NO_SPACE);
    EXPECT_EQ(DescriptorSize(file), 0);
    EXPECT_EQ(Private(file)->buf_pos, lead)
        << "the earlier call's bytes stay pending, the failed one's not";
    EXPECT_EQ(Private(file)->buf_pos + Private(file)->buf_left, 8192u);
    EXPECT_EQ(Private(file)->position, static_cast<int64_t>(lead));
    // Nothing of the failed record was taken, so writing it again is exact.
    const size_t rest = data.size() - lead;
    EXPECT_EQ(file->write(file, data.data() + lead, static_cast<uint32_t>(rest), 0, nullptr),
              QZ_OK);
    EXPECT_EQ(DescriptorSize(file), 8192);
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_TRUE(ReadWholeFile(path) == data) << "lead " << lead;
  }
}

TEST_F(FaultTest, FailedFlushKeepsPendingBytesForTheNextFlush) {
  const std::string path = Path("data");
  const std::string data = Pattern(5000);
  QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->write(file, data.data(), 5000, 0, nullptr), QZ_OK);
  for (const auto &[error, status] :
       {std::pair{ENOSPC, QZIOE_NO_SPACE}, std::pair{EDQUOT, QZIOE_NO_SPACE},
        std::pair{EFBIG, QZIOE_NO_SPACE}, std::pair{EIO, QZIOE_IO_ERROR}}) {
    Arm(Call::write, file, error);
    EXPECT_EQ(file->flush(file), status) << error;
    EXPECT_EQ(Private(file)->buf_pos, 5000u);
    EXPECT_EQ(DescriptorSize(file), 0);
  }
  qzfault::disarm_all();
  EXPECT_EQ(file->flush(file), QZ_OK);
  EXPECT_EQ(Private(file)->buf_pos, 0u);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_TRUE(ReadWholeFile(path) == data);
}

// A file-size limit makes the kernel take part of a write and refuse the
// rest with EFBIG: a real partial write followed by a failure.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() { Lift(); }
  void Lift() {
    if (lifted_) return;
    lifted_ = true;
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }
  bool ok() const { return ok_; }

private:
  rlimit saved_{};
  sighandler_t old_handler_ = SIG_DFL;
  bool ok_ = false, lifted_ = false;
};

TEST_F(FaultTest, PartialWriteThenFullCountsOnlyWhatTheFileTook) {
  // No earlier bytes (the direct block path), earlier bytes all inside the
  // 3000 the file takes, and earlier bytes past them.
  for (size_t lead : {size_t(0), size_t(100), size_t(5000)}) {
    const std::string path = Path("partial" + std::to_string(lead));
    const std::string data = Pattern(8192 + lead, 9);
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT));
    ASSERT_NE(file, nullptr);
    if (lead > 0) {
      EXPECT_EQ(file->write(file, data.data(), static_cast<uint32_t>(lead), 0, nullptr), QZ_OK);
    }
    {
      FileSizeLimit limit(3000);
      if (!limit.ok()) GTEST_SKIP() << "cannot set a file-size limit";
      EXPECT_EQ(file->write(file, data.data() + lead, 8192, 0, nullptr), QZIOE_NO_SPACE);
      limit.Lift();
    }
    EXPECT_EQ(DescriptorSize(file), 3000);
    const size_t kept = lead > 3000 ? lead - 3000 : 0;
    EXPECT_EQ(Private(file)->buf_pos, kept)
        << "only earlier bytes the file did not take stay pending";
    EXPECT_EQ(Private(file)->buf_pos + Private(file)->buf_left, 8192u);
    EXPECT_EQ(Private(file)->position, static_cast<int64_t>(3000 + kept));
    EXPECT_EQ(file->flush(file), QZ_OK);
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_TRUE(ReadWholeFile(path) == data.substr(0, 3000 + kept)) << "lead " << lead;
  }
}

TEST_F(FaultTest, DirectWriteErrors) {
  QZIOEFile *file = MustOpen(Path("d"), Options(QZIOE_MODE_OUTPUT, 0));
  ASSERT_NE(file, nullptr);
  const struct {
    Call call;
    int error;
    QZStatus status;
  } cases[] = {{Call::write, ENOSPC, QZIOE_NO_SPACE},
               {Call::write, EIO, QZIOE_IO_ERROR},
               {Call::pwrite, EDQUOT, QZIOE_NO_SPACE},
               {Call::pwrite, EBADF, QZIOE_IO_ERROR}};
  for (const auto &c : cases) {
    Arm(c.call, file, c.error);
    int64_t offset = 0;
    EXPECT_EQ(file->write(file, "abc", 3, 0, c.call == Call::pwrite ? &offset : nullptr), c.status);
  }
  EXPECT_EQ(qzk_journal_messages(journal_), 0u) << "write failures are not reported";
  EXPECT_EQ(file->close(file), QZ_OK);
}

// --- read errors ----------------------------------------------------------------

TEST_F(FaultTest, ReadErrors) {
  const std::string path = Path("data");
  WriteWholeFile(path, Pattern(1000));
  for (uint32_t buffered : {1u, 0u}) {
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_INPUT, buffered, 100));
    ASSERT_NE(file, nullptr);
    Arm(Call::read, file, EIO);
    char sentinel = 0;
    void *address = &sentinel;
    uint32_t length = 100;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_IO_ERROR);
    EXPECT_EQ(length, 0u);
    if (buffered != 0) {
      EXPECT_EQ(address, nullptr);
    }
    // The failure is not sticky.
    length = 100;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK);
    EXPECT_EQ(length, 100u);
    EXPECT_EQ(file->close(file), QZ_OK);
  }
}

// --- flush ----------------------------------------------------------------------

// Every errno row of the primitives, and errors that no row names, through
// the handle's words on an unbuffered update handle: the status, and
// whether the system's text reached the handle's journal.
TEST_F(FaultTest, ErrnoRowsOfThePrimitives) {
  enum class Op { read, pread, write, pwrite, flush, note, point, truncate };
  const struct Row {
    Op op;
    Call call;
    int error;
    QZStatus status;
    bool reported;
  } rows[] = {
      {Op::read, Call::read, EIO, QZIOE_IO_ERROR, false},
      {Op::read, Call::read, EISDIR, QZIOE_IO_ERROR, false},
      {Op::pread, Call::pread, EIO, QZIOE_IO_ERROR, false},
      {Op::write, Call::write, EFBIG, QZIOE_NO_SPACE, false},
      {Op::write, Call::write, ENOSPC, QZIOE_NO_SPACE, false},
      {Op::write, Call::write, EDQUOT, QZIOE_NO_SPACE, false},
      {Op::write, Call::write, EIO, QZIOE_IO_ERROR, false},
      {Op::pwrite, Call::pwrite, ENOSPC, QZIOE_NO_SPACE, false},
      {Op::pwrite, Call::pwrite, EPIPE, QZIOE_IO_ERROR, false},
      {Op::flush, Call::fsync, EBADF, QZIOE_BAD_HANDLE, false},
      {Op::flush, Call::fsync, EIO, QZIOE_IO_ERROR, false},
      {Op::flush, Call::fsync, ENOSPC, QZIOE_NO_SPACE, false},
      // Nothing to synchronise on a pipe, a terminal or /dev/null.
      {Op::flush, Call::fsync, EINVAL, QZ_OK, false},
      {Op::flush, Call::fsync, EROFS, QZ_OK, false},
      {Op::flush, Call::fsync, EDQUOT, QZIOE_FAILED, true},
      {Op::note, Call::lseek, EIO, QZIOE_FAILED, true},
      {Op::point, Call::lseek, EINVAL, QZIOE_FAILED, true},
      {Op::truncate, Call::ftruncate, EPERM, QZIOE_IO_ERROR, true},
  };
  WriteWholeFile(Path("e"), "0123456789");
  for (const Row &row : rows) {
    SCOPED_TRACE(std::string("errno ") + std::strerror(row.error) + ", op " +
                 std::to_string(static_cast<int>(row.op)));
    QZIOEFile *file = OpenWithJournal(Path("e"), Options(QZIOE_MODE_UPDATE, 0, 4));
    ASSERT_NE(file, nullptr);
    qzk_journal_clear(journal_);
    qzfault::disarm_all();
    Arm(row.call, file, row.error);
    void *address = nullptr;
    uint32_t length = 4;
    int64_t offset = 2;
    QZStatus status = QZ_OK;
    switch (row.op) {
    case Op::read:
      status = file->read(file, &address, &length, 0, nullptr);
      break;
    case Op::pread:
      status = file->read(file, &address, &length, 0, &offset);
      break;
    case Op::write:
      status = file->write(file, "abcd", 4, 0, nullptr);
      break;
    case Op::pwrite:
      status = file->write(file, "abcd", 4, 0, &offset);
      break;
    case Op::flush:
      status = file->flush(file);
      break;
    case Op::note:
      status = file->note(file, &offset);
      break;
    case Op::point:
      status = file->point(file, &offset, 0);
      break;
    case Op::truncate:
      status = file->truncate(file, &offset);
      break;
    }
    EXPECT_EQ(status, row.status) << qzk_status_name(status);
    EXPECT_EQ(qzfault::calls(row.call), 1u) << "the fault was not reached";
    EXPECT_EQ(qzk_journal_messages(journal_), row.reported ? 1u : 0u) << JournalText();
    if (row.reported) {
      EXPECT_NE(JournalText().find("QZIOE_IO_ERROR"), std::string::npos) << JournalText();
      EXPECT_NE(JournalText().find(std::strerror(row.error)), std::string::npos) << JournalText();
    }
    qzfault::disarm_all();
    EXPECT_EQ(file->close(file), QZ_OK);
  }
  EXPECT_EQ(ReadWholeFile(Path("e")), "0123456789") << "no failed call changed the file";
}

// A write that fails at once still tells how much reached the file.
TEST_F(FaultTest, FailedFirstWriteCountsNothingWritten) {
  QZIOEFile *file = OpenWithJournal(Path("w"), Options(QZIOE_MODE_OUTPUT, 0));
  ASSERT_NE(file, nullptr);
  using PrimWrite = QZStatus (*)(QZIOEFile *, const void *, uint32_t, uint32_t *, const int64_t *);
  const auto write = Symbol<PrimWrite>("bkioe_write");
  for (const int64_t *offset : {static_cast<const int64_t *>(nullptr), &kZeroOffset}) {
    Arm(offset == nullptr ? Call::write : Call::pwrite, file, ENOSPC);
    uint32_t count = 0xdeadbeefu;
    EXPECT_EQ(write(file, "abc", 3, &count, offset), QZIOE_NO_SPACE);
    EXPECT_EQ(count, 0u);
  }
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_EQ(FileSize(Path("w")), 0);
}

TEST_F(FaultTest, CloseReturnsTheFlushStatus) {
  const struct {
    Call call;
    int error;
    QZStatus status;
  } cases[] = {{Call::fsync, EIO, QZIOE_IO_ERROR}, {Call::write, ENOSPC, QZIOE_NO_SPACE}};
  for (const auto &c : cases) {
    QZIOEFile *file = OpenWithJournal(Path("c"), Options(QZIOE_MODE_OUTPUT));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->write(file, "pending", 7, 0, nullptr), QZ_OK);
    Arm(c.call, file, c.error);
    EXPECT_EQ(file->close(file), c.status);
    ExpectBaseline();
  }
}

// --- positioning and truncation -------------------------------------------------

TEST_F(FaultTest, SeekFailuresAreReported) {
  WriteWholeFile(Path("p"), "0123456789");
  QZIOEFile *file = OpenWithJournal(Path("p"), Options(QZIOE_MODE_UPDATE));
  ASSERT_NE(file, nullptr);
  Arm(Call::lseek, file, EIO);
  int64_t position = 77;
  EXPECT_EQ(file->note(file, &position), QZIOE_FAILED);
  EXPECT_EQ(position, 77) << "not written on failure";
  EXPECT_EQ(qzk_journal_messages(journal_), 1u);
  EXPECT_NE(JournalText().find(std::strerror(EIO)), std::string::npos) << JournalText();

  qzk_journal_clear(journal_);
  Arm(Call::lseek, file, EIO);
  position = 5;
  EXPECT_EQ(file->point(file, &position, 0), QZIOE_FAILED);
  EXPECT_EQ(position, -1);
  EXPECT_EQ(Private(file)->position, -1);
  EXPECT_EQ(Private(file)->bom_pending, 0);
  EXPECT_EQ(qzk_journal_messages(journal_), 1u);
  EXPECT_EQ(file->close(file), QZ_OK);
}

TEST_F(FaultTest, TruncateFailureIsReported) {
  WriteWholeFile(Path("t"), "0123456789");
  QZIOEFile *file = OpenWithJournal(Path("t"), Options(QZIOE_MODE_UPDATE));
  ASSERT_NE(file, nullptr);
  Arm(Call::ftruncate, file, EPERM);
  const int64_t length = 3;
  EXPECT_EQ(file->truncate(file, &length), QZIOE_IO_ERROR);
  EXPECT_EQ(qzk_journal_messages(journal_), 1u);
  EXPECT_NE(JournalText().find(std::strerror(EPERM)), std::string::npos) << JournalText();
  EXPECT_EQ(FileSize(Path("t")), 10);
  EXPECT_EQ(file->close(file), QZ_OK);
}

TEST_F(FaultTest, BufferedTruncateStopsWhenPendingOutputCannotBeWritten) {
  QZIOEFile *file = OpenWithJournal(Path("t"), Options(QZIOE_MODE_OUTPUT));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->write(file, "0123456789", 10, 0, nullptr), QZ_OK);
  qzfault::disarm_all(); // qzfsx truncated the file at open
  Arm(Call::write, file, ENOSPC);
  const int64_t length = 4;
  EXPECT_EQ(file->truncate(file, &length), QZIOE_NO_SPACE);
  EXPECT_EQ(qzfault::calls(Call::ftruncate), 0u);
  EXPECT_EQ(Private(file)->buf_pos, 10u);
  EXPECT_EQ(file->truncate(file, &length), QZ_OK);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_EQ(ReadWholeFile(Path("t")), "0123");
}

} // namespace
} // namespace qztest
