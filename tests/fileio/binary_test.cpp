// Binary records through the handle's methods: byte-exact round trips,
// record-length rules, end of file, block-wise buffering, positioning and
// truncation, and offsets above 4 GiB in the 32-bit build.
#include <cstring>

#include "file_fixture.h"

namespace qztest {
namespace {

using BinaryTest = FileTest;

// --- round trips ------------------------------------------------------------

struct RoundTrip {
  size_t size;
  uint32_t buffered;
  size_t write_chunk; // 0: one write of everything
  uint32_t read_chunk;
};

class BinaryRoundTripTest : public FileTest, public ::testing::WithParamInterface<RoundTrip> {};

TEST_P(BinaryRoundTripTest, BytesComeBackExactly) {
  const RoundTrip &p = GetParam();
  const std::string data = Pattern(p.size, static_cast<uint32_t>(p.size));
  const std::string path = Path("data");
  QZIOEFile *out = MustOpen(path, Options(QZIOE_MODE_OUTPUT, p.buffered));
  ASSERT_NE(out, nullptr);
  if (p.write_chunk == 0)
    EXPECT_EQ(out->write(out, data.data(), static_cast<uint32_t>(data.size()), 0, nullptr), QZ_OK);
  else
    EXPECT_EQ(WriteAll(out, data, p.write_chunk), QZ_OK);
  EXPECT_EQ(out->close(out), QZ_OK);
  ASSERT_EQ(FileSize(path), static_cast<int64_t>(data.size()));
  EXPECT_TRUE(ReadWholeFile(path) == data) << "file differs";

  QZIOEFile *in = MustOpen(path, Options(QZIOE_MODE_INPUT, p.buffered, p.read_chunk));
  ASSERT_NE(in, nullptr);
  std::string back;
  EXPECT_EQ(ReadAll(in, p.read_chunk, &back), QZ_OK);
  EXPECT_EQ(back.size(), data.size());
  EXPECT_TRUE(back == data) << "read back differs";
  EXPECT_EQ(in->close(in), QZ_OK);
}

constexpr size_t kTenMiB = size_t(10) << 20;

INSTANTIATE_TEST_SUITE_P(
    Sizes, BinaryRoundTripTest,
    ::testing::Values(RoundTrip{0, 1, 0, 100}, RoundTrip{0, 0, 0, 100}, RoundTrip{1, 1, 0, 1},
                      RoundTrip{1, 0, 0, 8192}, RoundTrip{8191, 1, 0, 8192},
                      RoundTrip{8191, 0, 1000, 8191}, RoundTrip{8192, 1, 0, 8192},
                      RoundTrip{8192, 1, 100, 100}, RoundTrip{8192, 0, 0, 4096},
                      RoundTrip{8193, 1, 0, 8192}, RoundTrip{8193, 0, 8192, 3000},
                      RoundTrip{20000, 1, 0, 20000}, RoundTrip{20000, 1, 7, 333},
                      RoundTrip{20000, 0, 0, 65536}, RoundTrip{kTenMiB, 1, 0, 65536},
                      RoundTrip{kTenMiB, 1, 8192, 8192}, RoundTrip{kTenMiB, 0, 100000, 1 << 20},
                      RoundTrip{kTenMiB, 0, 0, 100000}),
    [](const auto &param_info) {
      const RoundTrip &p = param_info.param;
      return std::to_string(p.size) + (p.buffered ? "_buffered_w" : "_direct_w") +
             std::to_string(p.write_chunk) + "_r" + std::to_string(p.read_chunk);
    });

TEST_F(BinaryTest, DirectAccessAtOffsets) {
  const std::string data = Pattern(20000, 3);
  const std::string path = Path("data");
  QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_UPDATE, 0, 5000));
  ASSERT_NE(file, nullptr);
  // Pieces written back to front land where their offsets say.
  for (size_t at = 20000; at > 0;) {
    const size_t n = std::min<size_t>(at, 3001);
    at -= n;
    int64_t offset = static_cast<int64_t>(at);
    EXPECT_EQ(file->write(file, data.data() + at, static_cast<uint32_t>(n), 0, &offset), QZ_OK);
    EXPECT_EQ(offset, static_cast<int64_t>(at)) << "the caller's offset is not moved";
  }
  int64_t here = -1;
  EXPECT_EQ(file->note(file, &here), QZ_OK);
  EXPECT_EQ(here, 0) << "positioned writes leave the file offset alone";
  EXPECT_TRUE(ReadWholeFile(path) == data);
  std::string back(20000, '\0');
  for (size_t at = 20000; at > 0;) {
    const size_t n = std::min<size_t>(at, 4999);
    at -= n;
    int64_t offset = static_cast<int64_t>(at);
    void *address = nullptr;
    uint32_t length = static_cast<uint32_t>(n);
    ASSERT_EQ(file->read(file, &address, &length, 0, &offset), QZ_OK);
    ASSERT_EQ(length, n);
    std::memcpy(&back[at], address, n);
  }
  EXPECT_TRUE(back == data);
  // Without an offset the current file offset is used and moves.
  void *address = nullptr;
  uint32_t length = 10;
  ASSERT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK);
  EXPECT_EQ(std::string(static_cast<char *>(address), length), data.substr(0, 10));
  EXPECT_EQ(file->write(file, "0123456789", 10, 0, nullptr), QZ_OK);
  EXPECT_EQ(file->note(file, &here), QZ_OK);
  EXPECT_EQ(here, 20);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_EQ(ReadWholeFile(path).substr(10, 10), "0123456789");
}

TEST_F(BinaryTest, DirectWriteAtOffsetIntoEmptyFileLeavesAHoleOfZeros) {
  const std::string path = Path("hole");
  QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT, 0));
  ASSERT_NE(file, nullptr);
  int64_t offset = 4096;
  EXPECT_EQ(file->write(file, "tail", 4, 0, &offset), QZ_OK);
  EXPECT_EQ(offset, 4096);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_EQ(ReadWholeFile(path), std::string(4096, '\0') + "tail");
}

// --- record length and end of file ------------------------------------------

TEST_F(BinaryTest, RecordLengthBoundsReadRequests) {
  const std::string path = Path("data");
  const std::string data = Pattern(500);
  WriteWholeFile(path, data);
  for (uint32_t buffered : {0u, 1u}) {
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_INPUT, buffered, 100));
    ASSERT_NE(file, nullptr);
    void *address = nullptr;
    uint32_t length = 101;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_LENGTH_TOO_BIG);
    EXPECT_EQ(length, 101u) << "nothing changed";
    length = 100;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK);
    ASSERT_EQ(length, 100u);
    EXPECT_EQ(std::memcmp(address, data.data(), 100), 0) << "buffered " << buffered;
    EXPECT_EQ(file->close(file), QZ_OK);
  }
  // A caller's buffer has no record-length bound.
  for (uint32_t buffered : {0u, 1u}) {
    QZIOEOpenOptions options = Options(QZIOE_MODE_INPUT, buffered, 100);
    options.options = QZIOE_OPT_USER_BUFFER;
    QZIOEFile *file = MustOpen(path, options);
    ASSERT_NE(file, nullptr);
    char mine[200] = {};
    void *address = mine;
    uint32_t length = 101;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK);
    EXPECT_EQ(address, mine);
    ASSERT_EQ(length, 101u);
    EXPECT_EQ(std::memcmp(mine, data.data(), 101), 0);
    address = nullptr;
    length = 10;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_FAILED) << "no buffer";
    EXPECT_EQ(file->close(file), QZ_OK);
  }
}

TEST_F(BinaryTest, ShortLastRecordThenEndOfFile) {
  const std::string path = Path("data");
  const std::string data = Pattern(250);
  WriteWholeFile(path, data);
  for (uint32_t buffered : {1u, 0u}) {
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_INPUT, buffered, 100));
    ASSERT_NE(file, nullptr);
    std::string back;
    for (uint32_t expected : {100u, 100u, 50u}) {
      void *address = nullptr;
      uint32_t length = 100;
      ASSERT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK);
      ASSERT_EQ(length, expected);
      back.append(static_cast<char *>(address), length);
    }
    EXPECT_EQ(back, data);
    for (int again = 0; again < 2; ++again) {
      char sentinel = 0;
      void *address = &sentinel;
      uint32_t length = 100;
      EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_END_OF_FILE);
      EXPECT_EQ(length, 0u);
      if (buffered != 0)
        EXPECT_EQ(address, nullptr);
      else
        EXPECT_EQ(address, &sentinel) << "a direct read leaves the address alone";
    }
    EXPECT_EQ(file->close(file), QZ_OK);
  }
}

TEST_F(BinaryTest, EmptyFileAndEmptyRequests) {
  const std::string path = Path("empty");
  WriteWholeFile(path, "");
  for (uint32_t buffered : {1u, 0u}) {
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_INPUT, buffered, 100));
    ASSERT_NE(file, nullptr);
    void *address = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK) << "nothing asked";
    EXPECT_EQ(length, 0u);
    length = 1;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_END_OF_FILE);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(file->close(file), QZ_OK);
  }
}

// A direct handle with record length 0 asks the kernel for no 0-byte block
// (a kernel may refuse those); its empty reads still work, binary or
// stream. The direct stream reader leaves no length behind on any failure.
TEST_F(BinaryTest, ZeroRecordLengthNeedsNoBuffer) {
  const std::string path = Path("zero");
  WriteWholeFile(path, "ab");
  for (const uint32_t format : {QZIOE_FORMAT_BINARY, QZIOE_FORMAT_STREAM}) {
    SCOPED_TRACE(format);
    const uint32_t left_after_refusal = format == QZIOE_FORMAT_STREAM ? 0 : 2;
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_INPUT, 0, 0, format));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(Private(file)->buffer, nullptr);
    void *address = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK);
    EXPECT_EQ(length, 0u);
    length = 2;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_LENGTH_TOO_BIG);
    EXPECT_EQ(length, left_after_refusal);
    EXPECT_EQ(file->close(file), QZ_OK);
    // The caller's buffer is missing.
    auto options = Options(QZIOE_MODE_INPUT, 0, 8, format);
    options.options = QZIOE_OPT_USER_BUFFER;
    file = MustOpen(path, options);
    ASSERT_NE(file, nullptr);
    address = nullptr;
    length = 2;
    EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_FAILED);
    EXPECT_EQ(length, left_after_refusal);
    EXPECT_EQ(file->close(file), QZ_OK);
  }
}

TEST_F(BinaryTest, DirectReadPastEndOfFile) {
  const std::string path = Path("data");
  WriteWholeFile(path, "0123456789");
  QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_INPUT, 0, 100));
  ASSERT_NE(file, nullptr);
  int64_t offset = 1000;
  void *address = nullptr;
  uint32_t length = 5;
  EXPECT_EQ(file->read(file, &address, &length, 0, &offset), QZIOE_END_OF_FILE);
  EXPECT_EQ(length, 0u);
  offset = 7;
  length = 5;
  EXPECT_EQ(file->read(file, &address, &length, 0, &offset), QZ_OK) << "a short read is fine";
  EXPECT_EQ(std::string(static_cast<char *>(address), length), "789");
  EXPECT_EQ(offset, 7);
  EXPECT_EQ(file->close(file), QZ_OK);
}

// --- buffering ----------------------------------------------------------------

TEST_F(BinaryTest, BufferedWritesGoOutInWholeBlocks) {
  const struct {
    size_t size;
    int64_t on_disk;
    uint32_t pending;
  } cases[] = {{8191, 0, 8191}, {8192, 8192, 0}, {8193, 8192, 1}, {20000, 16384, 3616}};
  for (const auto &c : cases) {
    const std::string path = Path("b" + std::to_string(c.size));
    const std::string data = Pattern(c.size);
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->write(file, data.data(), static_cast<uint32_t>(c.size), 0, nullptr), QZ_OK);
    EXPECT_EQ(DescriptorSize(file), c.on_disk) << c.size;
    EXPECT_EQ(Private(file)->buf_pos, c.pending) << c.size;
    EXPECT_EQ(Private(file)->buf_pos + Private(file)->buf_left, 8192u);
    EXPECT_EQ(Private(file)->position, static_cast<int64_t>(c.size));
    EXPECT_EQ(file->flush(file), QZ_OK);
    EXPECT_EQ(DescriptorSize(file), static_cast<int64_t>(c.size)) << "flush writes the rest";
    EXPECT_EQ(Private(file)->buf_pos, 0u);
    EXPECT_EQ(Private(file)->buf_left, 8192u);
    EXPECT_EQ(file->flush(file), QZ_OK) << "nothing pending";
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_TRUE(ReadWholeFile(path) == data) << c.size;
  }
}

TEST_F(BinaryTest, SmallBufferedWritesFillABlockBeforeItIsWritten) {
  const std::string path = Path("small");
  const std::string data = Pattern(8192);
  QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->write(file, data.data(), 8191, 0, nullptr), QZ_OK);
  EXPECT_EQ(DescriptorSize(file), 0);
  EXPECT_EQ(file->write(file, data.data() + 8191, 1, 0, nullptr), QZ_OK);
  EXPECT_EQ(DescriptorSize(file), 8192) << "the block is written as soon as it is full";
  EXPECT_EQ(Private(file)->buf_pos, 0u);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_TRUE(ReadWholeFile(path) == data);
}

TEST_F(BinaryTest, ReadsAndWritesRefuseTheOtherDirection) {
  const std::string path = Path("data");
  WriteWholeFile(path, "contents");
  for (uint32_t buffered : {0u, 1u}) {
    for (uint32_t mode : {QZIOE_MODE_APPEND, QZIOE_MODE_OUTPUT}) {
      WriteWholeFile(path, "contents");
      QZIOEFile *file = MustOpen(path, Options(mode, buffered, 100));
      ASSERT_NE(file, nullptr);
      void *address = nullptr;
      uint32_t length = 4;
      int64_t offset = 0;
      EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_NOT_SUPPORTED);
      EXPECT_EQ(file->read(file, &address, &length, 0, &offset), QZIOE_NOT_SUPPORTED);
      EXPECT_EQ(file->close(file), QZ_OK);
    }
    WriteWholeFile(path, "contents");
    QZIOEOpenOptions options = Options(QZIOE_MODE_INPUT, buffered, 100);
    options.lock_option = 3; // a read-write descriptor: the refusal is the handle's own
    QZIOEFile *file = MustOpen(path, options);
    ASSERT_NE(file, nullptr);
    int64_t offset = 0;
    EXPECT_EQ(file->write(file, "XXXX", 4, 0, nullptr), QZIOE_READ_ONLY);
    EXPECT_EQ(file->write(file, "XXXX", 4, 0, &offset), QZIOE_READ_ONLY);
    EXPECT_EQ(
        Symbol<QZStatus (*)(QZIOEFile *, const void *, uint32_t)>("sk_buf_write")(file, "XXXX", 4),
        QZIOE_READ_ONLY);
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(ReadWholeFile(path), "contents");
  }
}

TEST_F(BinaryTest, NullHandles) {
  void *address = nullptr;
  uint32_t length = 1;
  for (const char *reader : {"skioe_read_bin", "skioe_read_rbin"})
    EXPECT_EQ(Symbol<QZIOEReadFn>(reader)(nullptr, &address, &length, 0, nullptr),
              QZIOE_BAD_HANDLE);
  for (const char *writer : {"skioe_write_bin", "skioe_write_rbin"})
    EXPECT_EQ(Symbol<QZIOEWriteFn>(writer)(nullptr, "x", 1, 0, nullptr), QZIOE_BAD_HANDLE);
  for (const char *method : {"skioe_open", "skioe_close", "skioe_flush", "bkioe_flush"})
    EXPECT_EQ(Symbol<QZIOEHandleFn>(method)(nullptr), QZIOE_BAD_HANDLE) << method;
  int64_t position = 0;
  EXPECT_EQ(Symbol<QZIOENoteFn>("bkioe_note")(nullptr, &position), QZIOE_BAD_HANDLE);
  EXPECT_EQ(Symbol<QZIOEPointFn>("bkioe_point")(nullptr, &position, 0), QZIOE_BAD_HANDLE);
  EXPECT_EQ(Symbol<QZIOETruncateFn>("bkioetruncate")(nullptr, &position), QZIOE_BAD_HANDLE);
}

TEST_F(BinaryTest, BufferedMethodsRefuseDirectHandles) {
  // Called through their exports on a handle whose buffer is one record.
  WriteWholeFile(Path("f"), Pattern(20000));
  QZIOEFile *file = MustOpen(Path("f"), Options(QZIOE_MODE_UPDATE, 0, 10));
  ASSERT_NE(file, nullptr);
  void *address = nullptr;
  uint32_t length = 10;
  EXPECT_EQ(Symbol<QZIOEReadFn>("skioe_read_bin")(file, &address, &length, 0, nullptr),
            QZIOE_NOT_SUPPORTED);
  const std::string data = Pattern(9000);
  EXPECT_EQ(Symbol<QZIOEWriteFn>("skioe_write_bin")(file, data.data(), 9000, 0, nullptr),
            QZIOE_NOT_SUPPORTED);
  EXPECT_EQ(Symbol<QZStatus (*)(QZIOEFile *, const void *, uint32_t)>("sk_buf_write")(
                file, data.data(), 9000),
            QZIOE_NOT_SUPPORTED);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_TRUE(ReadWholeFile(Path("f")) == Pattern(20000));
}

// --- positioning --------------------------------------------------------------

TEST_F(BinaryTest, NoteAndPointRefuseBufferedHandles) {
  QZIOEFile *file = MustOpen(Path("f"), Options(QZIOE_MODE_OUTPUT, 1));
  ASSERT_NE(file, nullptr);
  int64_t position = 5;
  EXPECT_EQ(file->note(file, &position), QZIOE_NOT_SUPPORTED);
  EXPECT_EQ(file->point(file, &position, 0), QZIOE_NOT_SUPPORTED);
  EXPECT_EQ(position, 5);
  EXPECT_EQ(file->close(file), QZ_OK);
}

TEST_F(BinaryTest, PointSeekModes) {
  const std::string path = Path("data");
  WriteWholeFile(path, Pattern(1000));
  const struct {
    uint32_t mode;
    int64_t given, expected;
  } cases[] = {
      {0, 123, 123},  {0, 2000, 2000},              // absolute, also past the end
      {1, 500, 0},    {2, 500, 1000},  {3, 500, 0}, // bit 0 wins over bit 1
      {6, 500, 1000},                               // bit 1 wins over bit 2
      {5, 500, 0},                                  // bit 0 wins over bit 2
      {4, 50, 350},   {4, -100, 200},               // relative to 300
      {8, 42, 42},                                  // no known bit: absolute
  };
  QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_UPDATE));
  ASSERT_NE(file, nullptr);
  for (const auto &c : cases) {
    int64_t start = 300;
    ASSERT_EQ(file->point(file, &start, 0), QZ_OK);
    int64_t position = c.given;
    EXPECT_EQ(file->point(file, &position, c.mode), QZ_OK) << "mode " << c.mode;
    EXPECT_EQ(position, c.expected) << "mode " << c.mode;
    EXPECT_EQ(Private(file)->position, c.expected) << "mode " << c.mode;
    int64_t noted = -1;
    EXPECT_EQ(file->note(file, &noted), QZ_OK);
    EXPECT_EQ(noted, c.expected) << "mode " << c.mode;
  }
  // A seek before the start fails and leaves -1 behind.
  int64_t position = -5;
  EXPECT_EQ(file->point(file, &position, 0), QZIOE_FAILED);
  EXPECT_EQ(position, -1);
  EXPECT_EQ(Private(file)->position, -1);
  EXPECT_EQ(file->close(file), QZ_OK);
}

TEST_F(BinaryTest, PointToZeroMarksTheByteOrderMarkDue) {
  WriteWholeFile(Path("f"), "0123456789");
  for (uint32_t option : {0u, QZIOE_OPT_NO_BOM}) {
    QZIOEOpenOptions options = Options(QZIOE_MODE_UPDATE);
    options.options = option;
    QZIOEFile *file = MustOpen(Path("f"), options);
    ASSERT_NE(file, nullptr);
    int64_t position = 5;
    EXPECT_EQ(file->point(file, &position, 0), QZ_OK);
    EXPECT_EQ(Private(file)->bom_pending, 0);
    position = 0;
    EXPECT_EQ(file->point(file, &position, 0), QZ_OK);
    // Open clears opt_no_bom for a file encoding without a mark, so the flag
    // is set; binary methods never write a mark.
    EXPECT_EQ(Private(file)->bom_pending, 1);
    position = 99;
    EXPECT_EQ(file->point(file, &position, QZIOE_SEEK_REWIND), QZ_OK);
    EXPECT_EQ(Private(file)->bom_pending, 1);
    // A handle whose file encoding has a mark keeps opt_no_bom; then the
    // mark never falls due again.
    Private(file)->options |= QZIOE_OPT_NO_BOM;
    EXPECT_EQ(file->point(file, &position, QZIOE_SEEK_REWIND), QZ_OK);
    EXPECT_EQ(Private(file)->bom_pending, 0);
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(ReadWholeFile(Path("f")), "0123456789");
  }
}

// --- truncation ---------------------------------------------------------------

TEST_F(BinaryTest, Truncate) {
  const std::string path = Path("data");
  WriteWholeFile(path, Pattern(5000));
  QZIOEFile *in = MustOpen(path, Options(QZIOE_MODE_INPUT));
  ASSERT_NE(in, nullptr);
  const int64_t zero = 0;
  EXPECT_EQ(in->truncate(in, &zero), QZIOE_READ_ONLY);
  EXPECT_EQ(in->close(in), QZ_OK);
  EXPECT_EQ(FileSize(path), 5000);

  QZIOEFile *up = MustOpen(path, Options(QZIOE_MODE_UPDATE));
  ASSERT_NE(up, nullptr);
  const int64_t shorter = 1234, longer = 9000;
  EXPECT_EQ(up->truncate(up, &shorter), QZ_OK);
  EXPECT_EQ(FileSize(path), 1234);
  EXPECT_EQ(up->truncate(up, &longer), QZ_OK);
  EXPECT_EQ(FileSize(path), 9000);
  EXPECT_EQ(ReadWholeFile(path), Pattern(5000).substr(0, 1234) + std::string(9000 - 1234, '\0'));
  EXPECT_EQ(up->close(up), QZ_OK);

  QZIOEFile *out = MustOpen(path, Options(QZIOE_MODE_OUTPUT, 0));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->write(out, "abc", 3, 0, nullptr), QZ_OK);
  EXPECT_EQ(out->truncate(out, &zero), QZ_OK);
  EXPECT_EQ(out->close(out), QZ_OK);
  EXPECT_EQ(FileSize(path), 0);
}

TEST_F(BinaryTest, BufferedTruncateWritesPendingOutputFirst) {
  const std::string data = Pattern(3000);
  const struct {
    int64_t length;
    std::string expected;
  } cases[] = {
      {1000, data.substr(0, 1000)}, {3000, data}, {5000, data + std::string(2000, '\0')}, {0, ""}};
  for (const auto &c : cases) {
    const std::string path = Path("t" + std::to_string(c.length));
    QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_OUTPUT));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->write(file, data.data(), 3000, 0, nullptr), QZ_OK);
    EXPECT_EQ(Private(file)->buf_pos, 3000u) << "pending before the truncate";
    EXPECT_EQ(file->truncate(file, &c.length), QZ_OK);
    EXPECT_EQ(Private(file)->buf_pos, 0u);
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(FileSize(path), c.length) << "no pending bytes land past the end";
    EXPECT_TRUE(ReadWholeFile(path) == c.expected) << c.length;
  }
}

// --- large files --------------------------------------------------------------

TEST_F(BinaryTest, OffsetsAboveFourGiB) {
  const std::string path = Path("big");
  const int64_t four_gib = int64_t(1) << 32;
  const int64_t five_gib = int64_t(5) << 30;
  QZIOEFile *file = MustOpen(path, Options(QZIOE_MODE_UPDATE, 0, 8192));
  ASSERT_NE(file, nullptr);
  // Sparse: only the blocks written below take space.
  const QZStatus grown = file->truncate(file, &five_gib);
  if (grown != QZ_OK) {
    EXPECT_EQ(file->close(file), QZ_OK);
    GTEST_SKIP() << "the temporary file system cannot hold a 5 GiB file";
  }
  EXPECT_EQ(FileSize(path), five_gib);

  int64_t position = four_gib + 100;
  ASSERT_EQ(file->point(file, &position, 0), QZ_OK);
  EXPECT_EQ(position, four_gib + 100);
  EXPECT_EQ(file->write(file, "hello", 5, 0, nullptr), QZ_OK);
  int64_t noted = 0;
  EXPECT_EQ(file->note(file, &noted), QZ_OK);
  EXPECT_EQ(noted, four_gib + 105);

  int64_t offset = five_gib - 5;
  EXPECT_EQ(file->write(file, "tail!", 5, 0, &offset), QZ_OK);
  EXPECT_EQ(offset, five_gib - 5);
  EXPECT_EQ(FileSize(path), five_gib);

  offset = four_gib + 100;
  void *address = nullptr;
  uint32_t length = 5;
  ASSERT_EQ(file->read(file, &address, &length, 0, &offset), QZ_OK);
  EXPECT_EQ(std::string(static_cast<char *>(address), length), "hello");
  offset = five_gib - 5;
  length = 100;
  ASSERT_EQ(file->read(file, &address, &length, 0, &offset), QZ_OK);
  EXPECT_EQ(std::string(static_cast<char *>(address), length), "tail!");

  position = 0;
  ASSERT_EQ(file->point(file, &position, QZIOE_SEEK_END), QZ_OK);
  EXPECT_EQ(position, five_gib);
  position = -(five_gib - four_gib) + 100;
  ASSERT_EQ(file->point(file, &position, QZIOE_SEEK_CURRENT), QZ_OK);
  EXPECT_EQ(position, four_gib + 100);
  length = 5;
  ASSERT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK);
  EXPECT_EQ(std::string(static_cast<char *>(address), length), "hello");

  const int64_t cut = four_gib + 103;
  EXPECT_EQ(file->truncate(file, &cut), QZ_OK);
  EXPECT_EQ(FileSize(path), cut);
  offset = four_gib + 100;
  length = 5;
  ASSERT_EQ(file->read(file, &address, &length, 0, &offset), QZ_OK);
  EXPECT_EQ(std::string(static_cast<char *>(address), length), "hel");
  EXPECT_EQ(file->close(file), QZ_OK);

  // A buffered handle appends past 4 GiB as well.
  QZIOEFile *append = MustOpen(path, Options(QZIOE_MODE_APPEND));
  ASSERT_NE(append, nullptr);
  EXPECT_EQ(append->write(append, "++", 2, 0, nullptr), QZ_OK);
  EXPECT_EQ(append->close(append), QZ_OK);
  EXPECT_EQ(FileSize(path), cut + 2);
}

} // namespace
} // namespace qztest
