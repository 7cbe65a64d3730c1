// The NLS object and its transcoders.
#include <iconv.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

namespace qztest {
namespace {

using Bytes = std::vector<unsigned char>;

void Put16(Bytes &out, uint32_t unit, bool big) {
  out.push_back(static_cast<unsigned char>(big ? unit >> 8 : unit));
  out.push_back(static_cast<unsigned char>(big ? unit : unit >> 8));
}

void Put32(Bytes &out, uint32_t c, bool big) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<unsigned char>(c >> (8 * (big ? 3 - i : i))));
}

// The text in one of the Unicode encodings, by hand.
Bytes Encode(const std::u32string &text, uint32_t encoding) {
  Bytes out;
  for (char32_t c : text) {
    switch (encoding) {
    case QZ_ENC_UTF8:
      if (c < 0x80) {
        out.push_back(static_cast<unsigned char>(c));
      } else if (c < 0x800) {
        out.push_back(static_cast<unsigned char>(0xc0 | (c >> 6)));
        out.push_back(static_cast<unsigned char>(0x80 | (c & 0x3f)));
      } else if (c < 0x10000) {
        out.push_back(static_cast<unsigned char>(0xe0 | (c >> 12)));
        out.push_back(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<unsigned char>(0x80 | (c & 0x3f)));
      } else {
        out.push_back(static_cast<unsigned char>(0xf0 | (c >> 18)));
        out.push_back(static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3f)));
        out.push_back(static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f)));
        out.push_back(static_cast<unsigned char>(0x80 | (c & 0x3f)));
      }
      break;
    case QZ_ENC_UTF16BE:
    case QZ_ENC_UTF16LE: {
      const bool big = encoding == QZ_ENC_UTF16BE;
      if (c < 0x10000) {
        Put16(out, c, big);
      } else {
        Put16(out, 0xd800 + ((c - 0x10000) >> 10), big);
        Put16(out, 0xdc00 + ((c - 0x10000) & 0x3ff), big);
      }
      break;
    }
    case QZ_ENC_UTF32BE:
      Put32(out, c, true);
      break;
    case QZ_ENC_UTF32LE:
      Put32(out, c, false);
      break;
    case QZ_ENC_OS: // ISO-8859-1
      out.push_back(static_cast<unsigned char>(c));
      break;
    }
  }
  return out;
}

// The transcoder on `input`, held in a buffer of exactly its size (a read
// past it trips AddressSanitizer), into `capacity` bytes with guard bytes
// after them, against iconv called directly: the same status and, when it
// converts, the same bytes; nothing past the capacity touched.
testing::AssertionResult AsIconv(QZTranscoder *transcoder, iconv_t cd, const Bytes &input,
                                 uint32_t capacity) {
  const auto size = static_cast<uint32_t>(input.size());
  const std::unique_ptr<unsigned char[]> exact(new unsigned char[size]);
  std::copy(input.begin(), input.end(), exact.get());
  Bytes mine(capacity + 64, 0xee);
  uint32_t produced = 0;
  const QZStatus status =
      transcoder->convert(transcoder, exact.get(), size, mine.data(), capacity, &produced, 0);

  Bytes theirs(capacity + 1);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char *in = reinterpret_cast<char *>(exact.get());
  size_t in_left = size;
  char *out = reinterpret_cast<char *>(theirs.data());
  size_t out_left = capacity;
  const size_t rc = iconv(cd, &in, &in_left, &out, &out_left);
  const QZStatus expected = rc != static_cast<size_t>(-1) ? QZ_OK
                            : errno == E2BIG              ? QZK_BUFFER_TOO_SMALL
                                                          : QZK_BAD_SEQUENCE;
  if (status != expected)
    return testing::AssertionFailure() << "status " << status << ", iconv " << expected;
  if (!std::all_of(mine.begin() + capacity, mine.end(), [](unsigned char b) { return b == 0xee; }))
    return testing::AssertionFailure() << "wrote past the capacity " << capacity;
  if (status != QZ_OK) return testing::AssertionSuccess();
  if (produced != capacity - out_left)
    return testing::AssertionFailure()
           << "produced " << produced << ", iconv " << capacity - out_left;
  if (!std::equal(mine.begin(), mine.begin() + produced, theirs.begin()))
    return testing::AssertionFailure() << "other bytes than iconv's";
  return testing::AssertionSuccess();
}

class NlsTest : public KernelTest {
protected:
  QZNls *nls() { return kernel_->nls; }
  QZTranscoder *Create(uint32_t from, uint32_t to) {
    QZTranscoder *transcoder = nls()->create_transcoder(nls(), from, to, 0, 0);
    EXPECT_NE(transcoder, nullptr) << from << " to " << to;
    return transcoder;
  }
  static QZStatus Destroy(QZTranscoder *transcoder) {
    return transcoder->methods->destroy(transcoder);
  }
};

// Transcoders made under each limit take that level's conversion (where
// the processor has it).
const QZKVectors kVectorLimits[] = {QZK_VECTORS_NONE, QZK_VECTORS_SSE2, QZK_VECTORS_SSSE3};

const uint32_t kUnicode[] = {QZ_ENC_UTF32LE, QZ_ENC_UTF8, QZ_ENC_UTF16BE, QZ_ENC_UTF16LE,
                             QZ_ENC_UTF32BE};

TEST_F(NlsTest, ConvertsEveryPairExactlyAndMeasuresIt) {
  const std::u32string text = U"Az\u00e9\u00ff\u0100\u20ac\uffff\U0001f600\U0010ffff";
  const std::u32string latin = U"Az\u00e9\u00ff";
  struct Pair {
    uint32_t from, to;
    const std::u32string *text;
  };
  std::vector<Pair> pairs;
  for (uint32_t from : kUnicode)
    for (uint32_t to : kUnicode)
      pairs.push_back({from, to, &text});
  for (uint32_t other : kUnicode) {
    pairs.push_back({QZ_ENC_OS, other, &latin});
    pairs.push_back({other, QZ_ENC_OS, &latin});
  }
  for (const Pair &pair : pairs) {
    SCOPED_TRACE(testing::Message() << pair.from << " to " << pair.to);
    const Bytes source = Encode(*pair.text, pair.from);
    const Bytes expected = Encode(*pair.text, pair.to);
    QZTranscoder *transcoder = Create(pair.from, pair.to);
    ASSERT_NE(transcoder, nullptr);
    EXPECT_EQ(transcoder->from, pair.from);
    EXPECT_EQ(transcoder->to, pair.to);
    const uint32_t source_size = static_cast<uint32_t>(source.size());
    const uint32_t size = static_cast<uint32_t>(expected.size());

    // Fits exactly; the byte after the capacity is never touched.
    Bytes target(size + 1, 0x5a);
    uint32_t produced = 0;
    ASSERT_EQ(transcoder->convert(transcoder, source.data(), source_size, target.data(), size,
                                  &produced, 0),
              0u);
    EXPECT_EQ(produced, size);
    EXPECT_EQ(Bytes(target.begin(), target.begin() + size), expected);
    EXPECT_EQ(target[size], 0x5a);

    // One byte short.
    Bytes short_target(size, 0x5a);
    produced = 77;
    EXPECT_EQ(transcoder->convert(transcoder, source.data(), source_size, short_target.data(),
                                  size - 1, &produced, 0),
              QZK_BUFFER_TOO_SMALL);
    EXPECT_EQ(short_target[size - 1], 0x5a);
    EXPECT_EQ(produced, 77u);

    uint32_t measured = 0;
    EXPECT_EQ(nls()->text_length(nls(), pair.from, source.data(), source_size, pair.to, &measured),
              0u);
    EXPECT_EQ(measured, size);
    EXPECT_EQ(Destroy(transcoder), 0u);
  }
  ExpectNothingAlive();
}

TEST_F(NlsTest, RejectsInvalidAndIncompleteInputAndRecovers) {
  QZTranscoder *from_utf8 = Create(QZ_ENC_UTF8, QZ_ENC_UTF32LE);
  QZTranscoder *from_utf32 = Create(QZ_ENC_UTF32LE, QZ_ENC_UTF8);
  QZTranscoder *to_os = Create(QZ_ENC_UTF32LE, QZ_ENC_OS);
  ASSERT_TRUE(from_utf8 && from_utf32 && to_os);
  QZChar out[16];
  uint32_t produced = 0;
  const char bad[] = "a\xc3\x28";
  const char truncated[] = "a\xe2\x82";
  const char overlong[] = "\xc0\xaf";
  for (const char *input : {bad, truncated, overlong})
    EXPECT_EQ(from_utf8->convert(from_utf8, input, static_cast<uint32_t>(std::strlen(input)), out,
                                 sizeof out, &produced, 0),
              QZK_BAD_SEQUENCE)
        << input;
  // The failure leaves no state behind: a clean call succeeds.
  ASSERT_EQ(from_utf8->convert(from_utf8, "ok", 2, out, sizeof out, &produced, 0), 0u);
  EXPECT_EQ(produced, 8u);

  const QZChar surrogate[] = {0xd800};
  const QZChar too_big[] = {0x110000};
  char bytes[16];
  EXPECT_EQ(from_utf32->convert(from_utf32, surrogate, 4, bytes, sizeof bytes, nullptr, 0),
            QZK_BAD_SEQUENCE);
  EXPECT_EQ(from_utf32->convert(from_utf32, too_big, 4, bytes, sizeof bytes, nullptr, 0),
            QZK_BAD_SEQUENCE);
  EXPECT_EQ(from_utf32->convert(from_utf32, "abc", 3, bytes, sizeof bytes, nullptr, 0),
            QZK_BAD_SEQUENCE); // not a whole unit
  const QZChar euro[] = {'x', 0x20ac};
  EXPECT_EQ(to_os->convert(to_os, euro, 8, bytes, sizeof bytes, nullptr, 0), QZK_BAD_SEQUENCE);

  // Nothing to convert: nothing produced, no target needed.
  produced = 9;
  EXPECT_EQ(to_os->convert(to_os, nullptr, 0, nullptr, 0, &produced, 0), 0u);
  EXPECT_EQ(produced, 0u);
  EXPECT_EQ(to_os->convert(to_os, euro, 4, nullptr, 0, nullptr, 0), QZK_BUFFER_TOO_SMALL);

  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 1);
  EXPECT_EQ(to_os->convert(to_os, euro, 4, bytes, sizeof bytes, nullptr, 0), QZK_INJECTED);
  EXPECT_EQ(to_os->convert(to_os, euro, 4, bytes, sizeof bytes, nullptr, 0), 0u);

  uint32_t size = 123;
  EXPECT_EQ(nls()->text_length(nls(), QZ_ENC_UTF8, bad, 3, QZ_ENC_UTF32LE, &size),
            QZK_BAD_SEQUENCE);
  EXPECT_EQ(nls()->text_length(nls(), 99, "a", 1, QZ_ENC_UTF32LE, &size), QZK_UNKNOWN_ENCODING);
  EXPECT_EQ(size, 123u);
  for (QZTranscoder *transcoder : {from_utf8, from_utf32, to_os})
    EXPECT_EQ(Destroy(transcoder), 0u);
}

TEST_F(NlsTest, TextLengthHasNoSizeLimit) {
  const std::u32string text(100000, U'\u20ac');
  const Bytes source = Encode(text, QZ_ENC_UTF32LE);
  uint32_t size = 0;
  ASSERT_EQ(nls()->text_length(nls(), QZ_ENC_UTF32LE, source.data(),
                               static_cast<uint32_t>(source.size()), QZ_ENC_UTF8, &size),
            0u);
  EXPECT_EQ(size, 300000u);
  ASSERT_EQ(nls()->text_length(nls(), QZ_ENC_UTF32LE, source.data(), 0, QZ_ENC_UTF8, &size), 0u);
  EXPECT_EQ(size, 0u);
}

TEST_F(NlsTest, PairCheckAndEncodingInfo) {
  EXPECT_EQ(nls()->pair_check(nls(), QZ_ENC_UTF8, QZ_ENC_UTF8) & 0xff, 0u);
  EXPECT_EQ(nls()->pair_check(nls(), QZ_ENC_OS, QZ_ENC_OS) & 0xff, 0u);
  EXPECT_NE(nls()->pair_check(nls(), QZ_ENC_UTF8, QZ_ENC_UTF32LE) & 0xff, 0u);
  // 0 is the caller's default, which the kernel cannot know.
  EXPECT_NE(nls()->pair_check(nls(), 0, QZ_ENC_UTF32LE) & 0xff, 0u);
  EXPECT_NE(nls()->pair_check(nls(), QZ_ENC_UTF8, 0) & 0xff, 0u);
  EXPECT_NE(nls()->pair_check(nls(), 0, 0) & 0xff, 0u);

  const struct {
    uint32_t encoding;
    int max_bytes;
    uint32_t unit_bytes;
  } expected[] = {{QZ_ENC_OS, 1, 1},      {QZ_ENC_UTF8, 4, 1},    {QZ_ENC_UTF16BE, 4, 2},
                  {QZ_ENC_UTF16LE, 4, 2}, {QZ_ENC_UTF32BE, 4, 4}, {QZ_ENC_UTF32LE, 4, 4}};
  for (const auto &e : expected) {
    const QZEncodingInfo *info = nullptr;
    ASSERT_EQ(nls()->encoding_info(nls(), e.encoding, &info), 0u) << e.encoding;
    EXPECT_EQ(info->id, e.encoding);
    EXPECT_EQ(reinterpret_cast<const int8_t *>(info)[20], e.max_bytes) << e.encoding;
    EXPECT_EQ(info->unit_bytes, e.unit_bytes);
    EXPECT_EQ(info->min_bytes, e.unit_bytes);
    EXPECT_NE(info->name, nullptr);
  }
  const QZEncodingInfo *info = nullptr;
  EXPECT_EQ(nls()->encoding_info(nls(), 0, &info), QZK_UNKNOWN_ENCODING);
  EXPECT_EQ(nls()->encoding_info(nls(), 63, &info), QZK_UNKNOWN_ENCODING);
  EXPECT_EQ(info, nullptr);
}

TEST_F(NlsTest, OsTranscodersCountAndRefusal) {
  QZTranscoder *in = nls()->os_inbound(nls(), QZ_ENC_OS, 0, 0);
  QZTranscoder *out = nls()->os_outbound(nls(), QZ_ENC_OS, 0, 0);
  ASSERT_NE(in, nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(in->from, QZ_ENC_OS);
  EXPECT_EQ(in->to, QZ_ENC_UTF32LE);
  EXPECT_EQ(out->from, QZ_ENC_UTF32LE);
  EXPECT_EQ(out->to, QZ_ENC_OS);
  EXPECT_EQ(Stats().transcoders, 2u);
  const QZTranscoderMethods *methods = out->methods;
  EXPECT_EQ(Destroy(in), 0u);
  EXPECT_EQ(Destroy(out), 0u);
  EXPECT_EQ(Stats().transcoders, 0u);

  EXPECT_EQ(nls()->os_inbound(nls(), QZ_ENC_UTF8, 0, 0), nullptr);
  EXPECT_NE(methods->destroy(out), 0u);
  EXPECT_EQ(TakeMisuses(), 2u);

  qzk_set_transcoder_refused(kernel_, QZ_ENC_UTF32LE, QZ_ENC_OS, 1);
  EXPECT_EQ(nls()->os_outbound(nls(), QZ_ENC_OS, 0, 0), nullptr);
  EXPECT_EQ(nls()->create_transcoder(nls(), QZ_ENC_UTF32LE, QZ_ENC_OS, 0, 0), nullptr);
  in = nls()->os_inbound(nls(), QZ_ENC_OS, 0, 0);
  ASSERT_NE(in, nullptr);
  qzk_set_transcoder_refused(kernel_, QZ_ENC_UTF32LE, QZ_ENC_OS, 0);
  out = nls()->os_outbound(nls(), QZ_ENC_OS, 0, 0);
  ASSERT_NE(out, nullptr);
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 1);
  EXPECT_EQ(nls()->create_transcoder(nls(), QZ_ENC_UTF8, QZ_ENC_UTF32LE, 0, 0), nullptr);
  EXPECT_EQ(nls()->create_transcoder(nls(), QZ_ENC_UTF8, 99, 0, 0), nullptr);
  EXPECT_EQ(Stats().transcoders, 2u);
  EXPECT_EQ(Destroy(in), 0u);
  EXPECT_EQ(Destroy(out), 0u);

  qzk_set_nls_available(kernel_, 0);
  EXPECT_EQ(kernel_->nls, nullptr);
  qzk_set_nls_available(kernel_, 1);
  EXPECT_NE(kernel_->nls, nullptr);
}

TEST_F(NlsTest, OneTranscoderServesSeveralThreads) {
  QZTranscoder *transcoder = Create(QZ_ENC_UTF8, QZ_ENC_UTF32LE);
  ASSERT_NE(transcoder, nullptr);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      const std::string text = t % 2 == 0 ? "h\xc3\xa9llo" : "w\xe2\x82\xac rld";
      const std::u32string expected = t % 2 == 0 ? U"h\u00e9llo" : U"w\u20ac rld";
      for (int i = 0; i < 2000; ++i) {
        QZChar out[16];
        uint32_t produced = 0;
        if (transcoder->convert(transcoder, text.data(), static_cast<uint32_t>(text.size()), out,
                                sizeof out, &produced, 0) != 0 ||
            std::u32string(out, out + produced / 4) != expected)
          ++wrong;
        // Interleave failing calls: they must not disturb the others.
        if (transcoder->convert(transcoder, "\xc3", 1, out, sizeof out, nullptr, 0) == 0) ++wrong;
      }
    });
  for (std::thread &thread : threads)
    thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(Destroy(transcoder), 0u);
}

// The transcoders convert the Unicode forms and ISO-8859-1 without iconv;
// iconv, called here directly, is the judge: for random byte strings (mostly
// nearly valid text, often broken) and random capacities, status and bytes
// must be the same.
TEST_F(NlsTest, DirectConversionsAgreeWithIconv) {
  const struct {
    uint32_t id;
    const char *name;
  } encodings[] = {{QZ_ENC_UTF8, "UTF-8"},       {QZ_ENC_UTF16LE, "UTF-16LE"},
                   {QZ_ENC_UTF16BE, "UTF-16BE"}, {QZ_ENC_UTF32LE, "UTF-32LE"},
                   {QZ_ENC_UTF32BE, "UTF-32BE"}, {QZ_ENC_OS, "ISO-8859-1"}};
  std::mt19937 random(42);
  // Runs of ASCII are common enough to fill whole four-byte words.
  const char32_t samples[] = {U'a',   U'b',   U'c',    U' ',    U'\n',    0x7f,   0x80,
                              0xe9,   0xff,   0x100,   0x7ff,   0x800,    0xd7ff, 0xe000,
                              0xfffd, 0xffff, 0x10000, 0x1f600, 0x10ffff, U'd',   U'e'};
  uint32_t cases = 0;
  for (const QZKVectors limit : kVectorLimits) {
    qzk_set_vector_limit(kernel_, limit);
    for (const auto &from : encodings) {
      for (const auto &to : encodings) {
        QZTranscoder *transcoder = Create(from.id, to.id);
        ASSERT_NE(transcoder, nullptr);
        iconv_t cd = iconv_open(to.name, from.name);
        for (int round = 0; round < 400; ++round, ++cases) {
          std::u32string text;
          for (int n = random() % 20; n > 0; --n)
            text += samples[random() % std::size(samples)];
          Bytes bytes = Encode(text, from.id);
          // Break it now and then: a flipped, dropped or extra byte.
          if (!bytes.empty() && random() % 3 == 0) {
            const size_t at = random() % bytes.size();
            switch (random() % 3) {
            case 0:
              bytes[at] ^= static_cast<unsigned char>(1u << (random() % 8));
              break;
            case 1:
              bytes.erase(bytes.begin() + at);
              break;
            default:
              bytes.insert(bytes.begin() + at, static_cast<unsigned char>(random()));
            }
          }
          if (bytes.empty()) continue;
          // Room for the worst case (four bytes a source byte) takes the
          // fastest paths; 64 often does, small capacities never.
          const uint32_t choice = random() % 3;
          const uint32_t capacity = choice == 0   ? static_cast<uint32_t>(4 * bytes.size())
                                    : choice == 1 ? 64
                                                  : random() % 24;
          ASSERT_TRUE(AsIconv(transcoder, cd, bytes, capacity))
              << from.name << " to " << to.name << " round " << round << " vectors " << limit;
        }
        iconv_close(cd);
        EXPECT_EQ(Destroy(transcoder), QZ_OK);
      }
    }
  }
  EXPECT_GT(cases, 30000u);
}

// UTF-8 and ISO-8859-1 to 32-bit characters go sixteen bytes at a time and
// then take the last fewer at once: one sequence in ASCII at every offset
// of inputs up to three blocks long, cut where the input ends (so at every
// byte), valid ones of each length as well as bad, overlong, surrogate and
// too large ones, with room for the worst case, for more and for less.
TEST_F(NlsTest, WideningAgreesWithIconvAtEveryOffsetAndCut) {
  const Bytes sequences[] = {{0xc3, 0xa9},
                             {0xc2, 0x80},
                             {0xdf, 0xbf},
                             {0xe2, 0x82, 0xac},
                             {0xe0, 0xa0, 0x80},
                             {0xef, 0xbf, 0xbf},
                             {0xf0, 0x9f, 0x98, 0x80},
                             {0xf4, 0x8f, 0xbf, 0xbf},
                             {0x80},
                             {0xbf},
                             {0xc0, 0x80},
                             {0xc1, 0xbf},
                             {0xc3, 0x41},
                             {0xc3, 0xc3},
                             {0xe0, 0x80, 0x80},
                             {0xed, 0xa0, 0x80},
                             {0xf4, 0x90, 0x80, 0x80},
                             {0xf5, 0x80, 0x80, 0x80},
                             {0xff},
                             {0x7f}};
  const struct {
    uint32_t id;
    const char *name;
  } sources[] = {{QZ_ENC_UTF8, "UTF-8"}, {QZ_ENC_OS, "ISO-8859-1"}};
  for (const QZKVectors limit : kVectorLimits) {
    qzk_set_vector_limit(kernel_, limit);
    for (const auto &source : sources) {
      QZTranscoder *transcoder = Create(source.id, QZ_ENC_UTF32LE);
      ASSERT_NE(transcoder, nullptr);
      iconv_t cd = iconv_open("UTF-32LE", source.name);
      for (size_t length = 1; length <= 48; ++length)
        for (size_t at = 0; at < length; ++at)
          for (const Bytes &sequence : sequences) {
            Bytes input(length);
            for (size_t i = 0; i < length; ++i)
              input[i] = i >= at && i - at < sequence.size() ? sequence[i - at] : 'a' + i % 26;
            const auto worst = static_cast<uint32_t>(4 * length);
            for (const uint32_t capacity : {worst, worst + 64, worst / 2})
              ASSERT_TRUE(AsIconv(transcoder, cd, input, capacity))
                  << source.name << " vectors " << limit << " length " << length << " at " << at
                  << " sequence " << std::hex << int(sequence[0]) << " capacity " << std::dec
                  << capacity;
          }
      iconv_close(cd);
      EXPECT_EQ(Destroy(transcoder), QZ_OK);
    }
  }
}

// Text dense with two-byte sequences (which stay in the vector registers),
// now and then a longer one (which leaves them), converted whole and cut
// after every byte.
TEST_F(NlsTest, WideningMixedTextAgreesWithIconvCutAnywhere) {
  const Bytes pieces[] = {
      {'a'},        {'Z'},        {' '},        {0xc3, 0xa9},       {0xc3, 0xbf},
      {0xc4, 0x80}, {0xd0, 0xaf}, {0xdf, 0xbf}, {0xe2, 0x82, 0xac}, {0xf0, 0x9f, 0x98, 0x80}};
  // Mostly ASCII and two-byte sequences; the longer ones rarer.
  const int weights[] = {6, 2, 2, 5, 2, 2, 4, 1, 1, 1};
  std::discrete_distribution<int> pick(std::begin(weights), std::end(weights));
  std::mt19937 random(7);
  for (const QZKVectors limit : kVectorLimits) {
    qzk_set_vector_limit(kernel_, limit);
    QZTranscoder *transcoder = Create(QZ_ENC_UTF8, QZ_ENC_UTF32LE);
    ASSERT_NE(transcoder, nullptr);
    iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
    for (int text = 0; text < 200; ++text) {
      Bytes whole;
      for (size_t target = 1 + random() % 90; whole.size() < target;) {
        const Bytes &piece = pieces[pick(random)];
        whole.insert(whole.end(), piece.begin(), piece.end());
      }
      for (size_t length = 1; length <= whole.size(); ++length) {
        const Bytes input(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(length));
        const auto worst = static_cast<uint32_t>(4 * length);
        for (const uint32_t capacity : {worst, worst + 64})
          ASSERT_TRUE(AsIconv(transcoder, cd, input, capacity))
              << "vectors " << limit << " text " << text << " cut at " << length;
      }
    }
    iconv_close(cd);
    EXPECT_EQ(Destroy(transcoder), QZ_OK);
  }
}

TEST_F(NlsTest, VectorLimitRefusesUnknownLevels) {
  qzk_set_vector_limit(kernel_, static_cast<QZKVectors>(3));
  qzk_set_vector_limit(kernel_, static_cast<QZKVectors>(-1));
  qzk_set_vector_limit(nullptr, QZK_VECTORS_SSE2);
  EXPECT_EQ(TakeMisuses(), 3u);
}

// Every convert call counts once, from whichever thread: the first thread to
// count owns a counter of its own, the others share one. So the nth call
// from now is the one that fails, among racing threads too.
TEST_F(NlsTest, ConvertCountsEveryCallAndFailsTheArmedOne) {
  QZTranscoder *transcoder = Create(QZ_ENC_UTF8, QZ_ENC_UTF32LE);
  ASSERT_NE(transcoder, nullptr);
  QZChar out[8];
  auto convert = [transcoder, &out](const char *text) {
    return transcoder->convert(transcoder, text, static_cast<uint32_t>(std::strlen(text)), out,
                               sizeof out, nullptr, 0);
  };
  uint32_t before = qzk_operation_count(kernel_, QZK_FAULT_CONVERT);
  EXPECT_EQ(convert("ab"), 0u);
  EXPECT_EQ(convert(""), 0u); // nothing to convert, still an operation
  EXPECT_EQ(convert("\xc3"), QZK_BAD_SEQUENCE);
  EXPECT_EQ(qzk_operation_count(kernel_, QZK_FAULT_CONVERT), before + 3);
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 3);
  EXPECT_EQ(convert("a"), 0u);
  EXPECT_EQ(convert("a"), 0u);
  EXPECT_EQ(convert("a"), QZK_INJECTED);
  EXPECT_EQ(convert("a"), 0u);

  constexpr int kThreads = 4, kCalls = 2000;
  auto race = [&](std::atomic<int> &injected) {
    std::vector<std::thread> threads;
    auto calls = [&] {
      QZChar mine[8];
      for (int i = 0; i < kCalls; ++i)
        if (transcoder->convert(transcoder, "xy", 2, mine, sizeof mine, nullptr, 0) == QZK_INJECTED)
          ++injected;
    };
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back(calls);
    calls(); // this thread too, the owner of its counter
    for (std::thread &thread : threads)
      thread.join();
  };
  constexpr uint32_t kTotal = (kThreads + 1) * kCalls;
  std::atomic<int> injected{0};
  before = qzk_operation_count(kernel_, QZK_FAULT_CONVERT);
  race(injected);
  EXPECT_EQ(qzk_operation_count(kernel_, QZK_FAULT_CONVERT), before + kTotal);
  EXPECT_EQ(injected.load(), 0);
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, kTotal / 2);
  race(injected);
  EXPECT_EQ(injected.load(), 1);
  EXPECT_EQ(Destroy(transcoder), 0u);
}

// The registry's shortcut for each thread's last lookup never lets a
// destroyed transcoder through, even one asked for just before, nor another
// kind of object at the address it remembers.
TEST_F(NlsTest, DestroyedTranscoderIsRefusedRightAfterUse) {
  QZTranscoder *transcoder = Create(QZ_ENC_UTF8, QZ_ENC_UTF32LE);
  ASSERT_NE(transcoder, nullptr);
  const auto convert = transcoder->convert; // the record itself goes with it
  QZChar out[4];
  ASSERT_EQ(convert(transcoder, "a", 1, out, sizeof out, nullptr, 0), 0u);
  ASSERT_EQ(Destroy(transcoder), 0u);
  EXPECT_EQ(convert(transcoder, "a", 1, out, sizeof out, nullptr, 0), QZK_BAD_ARGUMENT);
  nls()->pair_check(nls(), QZ_ENC_UTF8, QZ_ENC_UTF32LE); // the NLS object looked up last
  EXPECT_EQ(convert(reinterpret_cast<QZTranscoder *>(nls()), "a", 1, out, sizeof out, nullptr, 0),
            QZK_BAD_ARGUMENT);
  QZTranscoder *next = Create(QZ_ENC_UTF8, QZ_ENC_UTF32LE); // often at the same address
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->convert(next, "a", 1, out, sizeof out, nullptr, 0), 0u);
  EXPECT_EQ(Destroy(next), 0u);
  EXPECT_EQ(TakeMisuses(), 2u);
}

TEST(NlsOptions, OsEncodingComesFromTheOptions) {
  const QZKOptions options{"CP1252"};
  QZHandle *kernel = qzk_kernel_create(&options);
  ASSERT_NE(kernel, nullptr);
  QZTranscoder *in = kernel->nls->os_inbound(kernel->nls, QZ_ENC_OS, 0, 0);
  ASSERT_NE(in, nullptr);
  QZChar out[2] = {};
  ASSERT_EQ(in->convert(in, "\x80", 1, out, sizeof out, nullptr, 0), 0u);
  EXPECT_EQ(out[0], 0x20acu);
  QZTranscoder *bytes = kernel->byte_transcoders->to_qzchar;
  ASSERT_EQ(bytes->convert(bytes, "\x80", 1, out, sizeof out, nullptr, 0), 0u);
  EXPECT_EQ(out[0], 0x20acu);
  EXPECT_EQ(in->methods->destroy(in), 0u);
  qzk_kernel_destroy(kernel);

  const QZKOptions unknown{"NO-SUCH-ENCODING-42"};
  EXPECT_EQ(qzk_kernel_create(&unknown), nullptr);
}

} // namespace
} // namespace qztest
