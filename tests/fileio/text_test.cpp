// Variable-length and stream records: the edge cases of both formats for
// the buffered and the direct methods, a round trip through every encoding
// checked against iconv's reading of the bytes on disk, split characters,
// and failures.
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "file_fixture.h"
#include "line_model.h"
#include "syscall_faults.h"

namespace qztest {
namespace {

using qzfault::Call;

// Byte order marks as the library writes them.
const std::string kUtf8Mark = "\xef\xbb\xbf";

QZIOEOpenOptions TextOptions(uint32_t mode, uint32_t buffered, uint32_t length, uint32_t format,
                             uint32_t file_encoding, uint32_t record_encoding) {
  QZIOEOpenOptions options = Options(mode, buffered, length, format);
  options.file_encoding = file_encoding;
  options.record_encoding = record_encoding;
  return options;
}

// "data|status" per read until end of file, with "~" for QZIOE_RECORD_SPLIT.
std::string Records(QZIOEFile *file, uint32_t request = 0) {
  std::string out;
  for (int guard = 0; guard < 1000; ++guard) {
    void *address = nullptr;
    uint32_t length = request;
    const QZStatus status = file->read(file, &address, &length, 0, nullptr);
    if (status == QZIOE_END_OF_FILE) return out + "EOF";
    if (status != QZ_OK && status != QZIOE_RECORD_SPLIT) return out + qzk_status_name(status);
    out += std::string(static_cast<const char *>(address), length);
    out += status == QZ_OK ? "|" : "~|";
  }
  return out + "no end";
}

std::string ToUtf32(const std::u32string &text) {
  return std::string(reinterpret_cast<const char *>(text.data()), text.size() * 4);
}

// iconv's reading of bytes: the independent view of what is on disk.
std::u32string Decode(const std::string &bytes, const char *encoding) {
  iconv_t cd = iconv_open("UTF-32LE", encoding);
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string out(bytes.size() * 4 + 4, '\0');
  char *in = const_cast<char *>(bytes.data());
  size_t in_left = bytes.size();
  char *to = out.data();
  size_t out_left = out.size();
  EXPECT_NE(iconv(cd, &in, &in_left, &to, &out_left), static_cast<size_t>(-1)) << encoding;
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return std::u32string(reinterpret_cast<const char32_t *>(out.data()), out.size() / 4);
}

class TextTest : public FileTest {
protected:
  QZIOEFile *OpenText(const std::string &path, const QZIOEOpenOptions &options) {
    return MustOpen(path, options);
  }
};

// --- edge cases of both formats, buffered and direct ----------------------------

TEST_F(TextTest, LineEdgeCases) {
  const struct {
    const char *bytes;
    uint32_t length;
    uint32_t encoding; // file and record encoding alike: no conversion
    const char *buffered;
    const char *direct; // null: as buffered
  } cases[] = {
      {"abc\ndef\n", 80, QZ_ENC_OS, "abc|def|EOF", nullptr},
      {"abc\r\ndef", 80, QZ_ENC_OS, "abc|def|EOF", "abc|def~|EOF"},
      {"a\rb\x0c"
       "c\n",
       80, QZ_ENC_OS,
       "a\rb\x0c"
       "c|EOF",
       nullptr},
      {"\n\n", 80, QZ_ENC_OS, "||EOF", nullptr},
      {"abcdefg\n", 4, QZ_ENC_OS, "abcd~|efg|EOF", "abcde~|fg|EOF"},
      {"abcd\n", 4, QZ_ENC_OS, "abcd|EOF", nullptr},
      {"abcd\r\n", 4, QZ_ENC_OS, "abcd|EOF", "abcd\r~||EOF"},
      {"\xef\xbb\xbf"
       "abc\n\xef\xbb\xbf"
       "def\n",
       80, QZ_ENC_UTF8, "abc|def|EOF", nullptr},
      {"", 80, QZ_ENC_OS, "EOF", nullptr},
      {"last", 80, QZ_ENC_OS, "last|EOF", "last~|EOF"},
  };
  for (const auto &c : cases) {
    WriteWholeFile(Path("v"), c.bytes);
    for (uint32_t buffered : {1u, 0u}) {
      QZIOEFile *file =
          OpenText(Path("v"), TextOptions(QZIOE_MODE_INPUT, buffered, c.length,
                                          QZIOE_FORMAT_VARIABLE, c.encoding, c.encoding));
      ASSERT_NE(file, nullptr);
      const char *expected = buffered == 0 && c.direct != nullptr ? c.direct : c.buffered;
      EXPECT_EQ(Records(file), expected) << "buffered " << buffered << " bytes " << c.bytes;
      EXPECT_EQ(file->close(file), QZ_OK);
    }
  }
}

// Files of some 40 KiB cross several 8192-byte refills, with lines of every
// length around the limit, carriage returns, marks and mark-like bytes at
// record starts, and no final line feed at times: read as UTF-8 as they
// are, and as ISO-8859-1 (one character a byte, no mark) converted to
// 32-bit characters.
TEST_F(TextTest, BufferedLinesAgreeWithTheReadersRulesAcrossRefills) {
  std::mt19937 random(7131);
  const char *pieces[] = {"\n", "\r\n", "\r", "\xef\xbb\xbf", "\xef", "\xc3\xa9", "x"};
  for (const bool converted : {false, true}) {
    for (uint32_t limit : {1u, 2u, 5u, 80u, 8191u, 8192u, 8193u, 9000u}) {
      for (int round = 0; round < 6; ++round) {
        std::string bytes;
        while (bytes.size() < 40000) {
          const uint32_t span = random() % 4 == 0 ? limit + random() % 3 : random() % 120;
          bytes.append(span > 1 ? span - 1 : 0, static_cast<char>('a' + random() % 26));
          bytes += pieces[random() % 7];
        }
        if (round % 2 == 1) bytes.pop_back();
        WriteWholeFile(Path("refills"), bytes);
        const QZIOEOpenOptions options =
            converted ? TextOptions(QZIOE_MODE_INPUT, 1, limit, QZIOE_FORMAT_VARIABLE, QZ_ENC_OS,
                                    QZ_ENC_UTF32LE)
                      : TextOptions(QZIOE_MODE_INPUT, 1, limit, QZIOE_FORMAT_VARIABLE, QZ_ENC_UTF8,
                                    QZ_ENC_UTF8);
        QZIOEFile *file = OpenText(Path("refills"), options);
        ASSERT_NE(file, nullptr);
        std::string got;
        for (;;) {
          void *address = nullptr;
          uint32_t length = 0;
          const QZStatus status = file->read(file, &address, &length, 0, nullptr);
          if (status == QZIOE_END_OF_FILE) break;
          ASSERT_TRUE(status == QZ_OK || status == QZIOE_RECORD_SPLIT) << qzk_status_name(status);
          if (converted) {
            // Back to the bytes: each 32-bit character is one byte's value.
            ASSERT_EQ(length % 4, 0u);
            const auto *units = static_cast<const uint32_t *>(address);
            for (uint32_t i = 0; i < length / 4; ++i) {
              ASSERT_LT(units[i], 256u);
              got += static_cast<char>(units[i]);
            }
          } else {
            got.append(static_cast<const char *>(address), length);
          }
          got += status == QZ_OK ? "|" : "~|";
        }
        // Where they part, with a little context: the records are long.
        const std::string want = qzmodel::BufferedLineRecords(bytes, limit, !converted);
        got += "EOF";
        const size_t differs =
            std::mismatch(got.begin(), got.end(), want.begin(), want.end()).first - got.begin();
        EXPECT_EQ(differs, got.size())
            << "limit " << limit << " round " << round << " converted " << converted << ": got \""
            << got.substr(differs > 20 ? differs - 20 : 0, 40) << "\" want \""
            << want.substr(differs > 20 ? differs - 20 : 0, 40) << "\"";
        EXPECT_EQ(got.size(), want.size());
        EXPECT_EQ(Private(file)->position, static_cast<int64_t>(bytes.size()));
        EXPECT_EQ(file->close(file), QZ_OK);
      }
    }
  }
}

TEST_F(TextTest, StreamEdgeCases) {
  const struct {
    const char *bytes;
    uint32_t encoding;
    uint32_t request;
    const char *records;
  } cases[] = {
      {"0123456789", QZ_ENC_OS, 4, "0123|4567|89|EOF"},
      {"\xef\xbb\xbf"
       "abc",
       QZ_ENC_UTF8, 8, "abc|EOF"},
      {"\xef\xbb\xbf", QZ_ENC_UTF8, 8, "|EOF"},
      // A chunk that begins with the mark at a read boundary loses it too.
      {"abcd\xef\xbb\xbf"
       "ef",
       QZ_ENC_UTF8, 4, "abcd|ef|EOF"},
  };
  for (const auto &c : cases) {
    WriteWholeFile(Path("s"), c.bytes);
    for (uint32_t buffered : {1u, 0u}) {
      QZIOEFile *file =
          OpenText(Path("s"), TextOptions(QZIOE_MODE_INPUT, buffered, 8, QZIOE_FORMAT_STREAM,
                                          c.encoding, c.encoding));
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(Records(file, c.request), c.records) << "buffered " << buffered;
      void *address = nullptr;
      uint32_t length = 9;
      EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_LENGTH_TOO_BIG);
      EXPECT_EQ(file->close(file), QZ_OK);
    }
  }
}

TEST_F(TextTest, WritersPlaceMarksAndDelimiters) {
  // Lines: abc then an empty record, after the mark.
  for (uint32_t buffered : {1u, 0u}) {
    QZIOEFile *file =
        OpenText(Path("w"), TextOptions(QZIOE_MODE_OUTPUT, buffered, 80, QZIOE_FORMAT_VARIABLE,
                                        QZ_ENC_UTF8, QZ_ENC_UTF8));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->write(file, "abc", 3, 0, nullptr), QZ_OK);
    EXPECT_EQ(file->write(file, "", 0, 0, nullptr), QZ_OK);
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(ReadWholeFile(Path("w")), kUtf8Mark + "abc\n\n") << buffered;
  }
  // Streams: nothing between chunks; opt_no_bom writes no mark.
  for (uint32_t no_bom : {0u, QZIOE_OPT_NO_BOM}) {
    QZIOEOpenOptions options =
        TextOptions(QZIOE_MODE_OUTPUT, 1, 80, QZIOE_FORMAT_STREAM, QZ_ENC_UTF8, QZ_ENC_UTF8);
    options.options = no_bom;
    QZIOEFile *file = OpenText(Path("s"), options);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->write(file, "ab", 2, 0, nullptr), QZ_OK);
    EXPECT_EQ(file->write(file, "cd", 2, 0, nullptr), QZ_OK);
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(ReadWholeFile(Path("s")), (no_bom != 0 ? "" : kUtf8Mark) + "abcd");
  }
  // Direct stream writes: offset 0 gets the mark and the offset moves past
  // it; offset 100 gets none. Appending adds a mark where writing began.
  QZIOEFile *file = OpenText(Path("d"), TextOptions(QZIOE_MODE_UPDATE, 0, 80, QZIOE_FORMAT_STREAM,
                                                    QZ_ENC_UTF8, QZ_ENC_UTF8));
  ASSERT_NE(file, nullptr);
  int64_t offset = 0;
  EXPECT_EQ(file->write(file, "xy", 2, 0, &offset), QZ_OK);
  EXPECT_EQ(offset, 3);
  offset = 100;
  EXPECT_EQ(file->write(file, "z", 1, 0, &offset), QZ_OK);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_EQ(ReadWholeFile(Path("d")), kUtf8Mark + "xy" + std::string(95, '\0') + "z");
  file = OpenText(Path("w"), TextOptions(QZIOE_MODE_APPEND, 1, 80, QZIOE_FORMAT_VARIABLE,
                                         QZ_ENC_UTF8, QZ_ENC_UTF8));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->write(file, "more", 4, 0, nullptr), QZ_OK);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_EQ(ReadWholeFile(Path("w")), kUtf8Mark + "abc\n\n" + kUtf8Mark + "more\n");
  file = OpenText(Path("w"), TextOptions(QZIOE_MODE_INPUT, 1, 80, QZIOE_FORMAT_VARIABLE,
                                         QZ_ENC_UTF8, QZ_ENC_UTF8));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(Records(file), "abc||more|EOF") << "every mark is skipped";
  EXPECT_EQ(file->close(file), QZ_OK);
}

// --- round trip through every encoding, against iconv -------------------------

struct Encoding {
  uint32_t id;
  const char *iconv_name;
  std::string mark;
  uint32_t width;
};
const Encoding kEncodings[] = {
    {QZ_ENC_UTF8, "UTF-8", "\xef\xbb\xbf", 1},
    {QZ_ENC_UTF16BE, "UTF-16BE", "\xfe\xff", 2},
    {QZ_ENC_UTF16LE, "UTF-16LE", "\xff\xfe", 2},
    {QZ_ENC_UTF32BE, "UTF-32BE", std::string("\0\0\xfe\xff", 4), 4},
    {QZ_ENC_UTF32LE, "UTF-32LE", std::string("\xff\xfe\0\0", 4), 4},
    {QZ_ENC_OS, "ISO-8859-1", "", 1},
};

// Random lines: characters outside the BMP, empty lines, lone CR, form feeds,
// and lines of exactly L, L-1 and L+1 bytes in the file encoding.
std::vector<std::u32string> RandomLines(std::mt19937 &random, const Encoding &e, uint32_t limit) {
  const bool latin1 = e.id == QZ_ENC_OS;
  const char32_t pool[] = {U'a', U'Z', U' ', U'\r', U'\f', U'\t', 0xe9, 0xff};
  const char32_t wide[] = {0x20ac, 0x4e2d, 0x1f600, 0x10348, 0xfffd};
  std::vector<std::u32string> lines;
  for (int n = 0; n < 60; ++n) {
    std::u32string line;
    const uint32_t kind = random() % 8;
    if (kind < 3) {
      const uint32_t chars = (limit + kind - 1) / e.width; // L-1, L, L+1 bytes for ASCII
      line.assign(chars, U'x');
    } else if (kind < 7) {
      const uint32_t chars = random() % (limit + 20);
      for (uint32_t i = 0; i < chars; ++i)
        line += !latin1 && random() % 3 == 0 ? wide[random() % 5] : pool[random() % 8];
    }
    // A CR at the end would be taken for part of a CR LF.
    while (!line.empty() && line.back() == U'\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

TEST_F(TextTest, RoundTripThroughEveryEncodingMatchesIconv) {
  std::mt19937 random(20261209);
  constexpr uint32_t kLimit = 16;
  for (const Encoding &e : kEncodings) {
    const std::vector<std::u32string> lines = RandomLines(random, e, kLimit);
    for (uint32_t write_buffered : {1u, 0u}) {
      SCOPED_TRACE(std::string(e.iconv_name) + (write_buffered ? " buffered" : " direct"));
      // Direct writes need the record to fit the record area: L large.
      QZIOEFile *out =
          OpenText(Path("rt"), TextOptions(QZIOE_MODE_OUTPUT, write_buffered, 4096,
                                           QZIOE_FORMAT_VARIABLE, e.id, QZ_ENC_UTF32LE));
      ASSERT_NE(out, nullptr);
      std::u32string expected;
      for (const std::u32string &line : lines) {
        const std::string bytes = ToUtf32(line);
        ASSERT_EQ(out->write(out, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, nullptr),
                  QZ_OK);
        expected += line + U'\n';
      }
      ASSERT_EQ(out->close(out), QZ_OK);
      std::string disk = ReadWholeFile(Path("rt"));
      const std::string &mark = e.mark;
      ASSERT_EQ(disk.compare(0, mark.size(), mark), 0) << "the mark leads";
      EXPECT_EQ(Decode(disk.substr(mark.size()), e.iconv_name), expected);

      for (const uint32_t record : {QZ_ENC_UTF32LE, QZ_ENC_UTF8}) {
        for (uint32_t read_buffered : {1u, 0u}) {
          QZIOEFile *in = OpenText(Path("rt"), TextOptions(QZIOE_MODE_INPUT, read_buffered, kLimit,
                                                           QZIOE_FORMAT_VARIABLE, e.id, record));
          ASSERT_NE(in, nullptr);
          // Pieces are joined as bytes: without conversion a piece may end
          // inside a character.
          std::u32string back;
          std::string pending;
          const char *record_name = record == QZ_ENC_UTF32LE ? "UTF-32LE" : "UTF-8";
          for (;;) {
            void *address = nullptr;
            uint32_t length = 0;
            const QZStatus status = in->read(in, &address, &length, 0, nullptr);
            if (status == QZIOE_END_OF_FILE) break;
            ASSERT_TRUE(status == QZ_OK || status == QZIOE_RECORD_SPLIT)
                << qzk_status_name(status) << " record encoding " << record << " buffered "
                << read_buffered << " after " << back.size();
            pending.append(static_cast<const char *>(address), length);
            if (status == QZ_OK) {
              back += Decode(pending, record_name) + U'\n';
              pending.clear();
            }
          }
          back += Decode(pending, record_name); // the direct reader's last piece
          EXPECT_EQ(back, expected) << "record " << record << " buffered " << read_buffered;
          EXPECT_EQ(in->close(in), QZ_OK);
        }
      }
    }
  }
}

// --- split characters ----------------------------------------------------------

TEST_F(TextTest, CharactersCutAtTheLimitStartTheNextPiece) {
  const struct {
    uint32_t encoding;
    std::string bytes; // one long line, no line feed inside the limit
    uint32_t limit;
    std::u32string first, second;
  } cases[] = {
      // "ab" then U+20AC (3 bytes) cut after its first byte, then after two.
      {QZ_ENC_UTF8, "ab\xe2\x82\xac\n", 3, U"ab", U"\u20ac"},
      {QZ_ENC_UTF8, "abc\xe2\x82\xac\n", 5, U"abc", U"\u20ac"},
      // U+1F600 as a surrogate pair, cut between its halves.
      {QZ_ENC_UTF16LE, std::string("a\0\x3d\xd8\x00\xde\n\0", 8), 4, U"a", U"\U0001f600"},
      {QZ_ENC_UTF16BE, std::string("\0a\xd8\x3d\xde\x00\0\n", 8), 4, U"a", U"\U0001f600"},
  };
  for (const auto &c : cases) {
    WriteWholeFile(Path("x"), c.bytes);
    for (uint32_t buffered : {1u, 0u}) {
      for (uint32_t format : {QZIOE_FORMAT_VARIABLE, QZIOE_FORMAT_STREAM}) {
        if (format == QZIOE_FORMAT_STREAM && buffered == 0) continue; // chunks as asked
        QZIOEOpenOptions options =
            TextOptions(QZIOE_MODE_INPUT, buffered, c.limit, format, c.encoding, QZ_ENC_UTF32LE);
        options.options = QZIOE_OPT_NO_BOM;
        QZIOEFile *file = OpenText(Path("x"), options);
        ASSERT_NE(file, nullptr);
        std::u32string got[2];
        for (auto &piece : got) {
          void *address = nullptr;
          uint32_t length = c.limit;
          const QZStatus status = file->read(file, &address, &length, 0, nullptr);
          ASSERT_TRUE(status == QZ_OK || status == QZIOE_RECORD_SPLIT) << qzk_status_name(status);
          piece = Decode(std::string(static_cast<const char *>(address), length), "UTF-32LE");
        }
        // The direct line reader looks one delimiter further than the
        // limit, so its first piece may hold the whole character.
        if (buffered == 1) {
          EXPECT_EQ(got[0], c.first) << "format " << format;
        }
        EXPECT_EQ((got[0] + got[1]).substr(0, c.first.size() + c.second.size()), c.first + c.second)
            << "buffered " << buffered << " format " << format;
        EXPECT_EQ(file->close(file), QZ_OK);
      }
    }
  }
}

// --- mended faults -------------------------------------------------------------

TEST_F(TextTest, DirectWriterRefusesWhatDoesNotFitBeforeWriting) {
  for (const uint32_t record : {QZ_ENC_OS, QZ_ENC_UTF32LE}) {
    QZIOEFile *file = OpenText(
        Path("r"), TextOptions(QZIOE_MODE_UPDATE, 0, 8, QZIOE_FORMAT_VARIABLE, QZ_ENC_OS, record));
    ASSERT_NE(file, nullptr);
    const std::string fits = record == QZ_ENC_OS ? "12345678" : ToUtf32(U"12345678");
    const std::string too_long =
        record == QZ_ENC_OS ? std::string(200, 'x') : ToUtf32(std::u32string(200, U'x'));
    EXPECT_EQ(
        file->write(file, too_long.data(), static_cast<uint32_t>(too_long.size()), 0, nullptr),
        QZIOE_LENGTH_TOO_BIG);
    EXPECT_EQ(file->write(file, fits.data(), static_cast<uint32_t>(fits.size()), 0, nullptr),
              QZ_OK);
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(ReadWholeFile(Path("r")), "12345678\n") << "nothing of the refused record";
  }
}

TEST_F(TextTest, DirectLineReaderLosesOnlyTheLineThatFailsToConvert) {
  // The middle line is no UTF-8.
  WriteWholeFile(Path("bad"), "one\n\xff\xfe\ntwo\n");
  QZIOEFile *file =
      OpenText(Path("bad"), TextOptions(QZIOE_MODE_UPDATE, 0, 80, QZIOE_FORMAT_VARIABLE,
                                        QZ_ENC_UTF8, QZ_ENC_UTF32LE));
  ASSERT_NE(file, nullptr);
  std::string seen;
  for (int i = 0; i < 4; ++i) {
    void *address = nullptr;
    uint32_t length = 0;
    const QZStatus status = file->read(file, &address, &length, 0, nullptr);
    seen += status == QZ_OK ? std::string(1, static_cast<const char *>(address)[0]) : "!";
  }
  EXPECT_EQ(seen, "o!t!") << "one, the bad line, two, end of file";
  EXPECT_EQ(file->close(file), QZ_OK);
}

TEST_F(TextTest, PositionedStreamReadTopsUpAfterTheBytesItRead) {
  WriteWholeFile(Path("m"), kUtf8Mark + "abcdefgh");
  QZIOEFile *file = OpenText(Path("m"), TextOptions(QZIOE_MODE_INPUT, 0, 8, QZIOE_FORMAT_STREAM,
                                                    QZ_ENC_UTF8, QZ_ENC_UTF8));
  ASSERT_NE(file, nullptr);
  // Move the descriptor's offset elsewhere: the top-up must not read there.
  void *address = nullptr;
  uint32_t length = 6;
  ASSERT_EQ(file->read(file, &address, &length, 0, nullptr), QZ_OK);
  int64_t offset = 0;
  length = 6;
  ASSERT_EQ(file->read(file, &address, &length, 0, &offset), QZ_OK);
  EXPECT_EQ(std::string(static_cast<const char *>(address), length), "abcdef");
  EXPECT_EQ(offset, 0) << "the caller's offset stays";
  EXPECT_EQ(file->close(file), QZ_OK);
}

// --- failures ------------------------------------------------------------------

TEST_F(TextTest, EachAllocationFailureOfATranscodingHandleLeavesNothing) {
  WriteWholeFile(Path("a"), "line one\nline two\n");
  // A buffered writer and a direct reader-writer, both converting.
  for (const uint32_t mode : {QZIOE_MODE_OUTPUT, QZIOE_MODE_UPDATE}) {
    uint32_t n = 1;
    for (;; ++n) {
      ASSERT_LT(n, 200u);
      const uint32_t before = qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION);
      qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, n);
      QZStatus status = 0;
      QZIOEFile *file = Open(
          Path("a"),
          TextOptions(mode, 1, 80, QZIOE_FORMAT_VARIABLE, QZ_ENC_UTF16LE, QZ_ENC_UTF32LE), &status);
      if (file == nullptr) {
        EXPECT_TRUE(status == QZS_NO_MEMORY || status == QZIOE_FAILED) << qzk_status_name(status);
      } else {
        const std::string record = ToUtf32(U"x\U0001f600");
        EXPECT_EQ(
            file->write(file, record.data(), static_cast<uint32_t>(record.size()), 0, nullptr),
            QZ_OK);
        if (mode == QZIOE_MODE_UPDATE) {
          void *address = nullptr;
          uint32_t length = 0;
          EXPECT_EQ(file->read(file, &address, &length, 0, nullptr), QZIOE_END_OF_FILE);
        }
        EXPECT_EQ(file->close(file), QZ_OK);
      }
      ExpectBaseline();
      // Once the nth allocation never comes, each one has failed in turn.
      if (qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION) - before < n) break;
    }
    qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 0);
    EXPECT_GT(n, 6u) << "pool, handle, path, lock, tables, buffer, transcoders";
  }
}

TEST_F(TextTest, ShortWritesAndInterruptionsLoseNoLine) {
  qzfault::ScopedFaults faults;
  for (const uint32_t format : {QZIOE_FORMAT_VARIABLE, QZIOE_FORMAT_STREAM}) {
    for (const uint32_t buffered : {1u, 0u}) {
      QZIOEFile *file = OpenText(Path("f"), TextOptions(QZIOE_MODE_OUTPUT, buffered, 4096, format,
                                                        QZ_ENC_UTF8, QZ_ENC_UTF32LE));
      ASSERT_NE(file, nullptr);
      qzfault::Fault fault;
      fault.call = Call::write;
      fault.fd = Descriptor(file);
      fault.times = 1000;
      fault.short_count = 3;
      qzfault::arm(fault);
      std::u32string expected;
      for (int i = 0; i < 300; ++i) {
        const std::u32string line = U"line \u20ac " + std::u32string(i % 40, U'z');
        const std::string bytes = ToUtf32(line);
        ASSERT_EQ(file->write(file, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, nullptr),
                  QZ_OK);
        expected += line + (format == QZIOE_FORMAT_VARIABLE ? U"\n" : U"");
        if (i == 150) {
          fault.short_count = 0;
          fault.error = EINTR;
          fault.times = 5;
          qzfault::arm(fault);
        }
      }
      EXPECT_EQ(file->close(file), QZ_OK);
      qzfault::disarm_all();
      const std::string disk = ReadWholeFile(Path("f"));
      ASSERT_EQ(disk.compare(0, 3, kUtf8Mark), 0);
      EXPECT_EQ(Decode(disk.substr(3), "UTF-8"), expected) << format << " " << buffered;
    }
  }
}

} // namespace
} // namespace qztest
