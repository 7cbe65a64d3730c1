// Carriage-control tables built in a handle's file encoding, on a real
// binary handle whose file encoding is changed before each build.
#include <cstring>

#include "file_fixture.h"

namespace qztest {
namespace {

using SetupFn = QZStatus (*)(QZIOEFile *, uint32_t, uint32_t);

struct Encoding {
  const char *name;
  uint32_t id;
  uint32_t width;  // bytes of one character in the file
  bool big_endian; // where the code unit's low byte goes
};

constexpr Encoding kEncodings[] = {
    {"OS", QZ_ENC_OS, 1, false},          {"UTF8", QZ_ENC_UTF8, 1, false},
    {"UTF16BE", QZ_ENC_UTF16BE, 2, true}, {"UTF16LE", QZ_ENC_UTF16LE, 2, false},
    {"UTF32BE", QZ_ENC_UTF32BE, 4, true}, {"UTF32LE", QZ_ENC_UTF32LE, 4, false},
};

// One character in the file encoding.
std::string Unit(const Encoding &e, char c) {
  std::string unit(e.width, '\0');
  unit[e.big_endian ? e.width - 1 : 0] = c;
  return unit;
}

std::string Bytes(const QZIOECCEntry &entry) {
  return entry.bytes == nullptr
             ? std::string()
             : std::string(reinterpret_cast<const char *>(entry.bytes), entry.length);
}

class CCTableTest : public FileTest, public ::testing::WithParamInterface<Encoding> {
protected:
  void SetUp() override {
    FileTest::SetUp();
    setup_ = Symbol<SetupFn>("setupCCTable");
    ASSERT_NE(setup_, nullptr);
    file_ = MustOpen(Path("f"), Options(QZIOE_MODE_OUTPUT, 0));
    ASSERT_NE(file_, nullptr);
    Private(file_)->file_encoding = GetParam().id;
  }
  void TearDown() override {
    if (file_ != nullptr) {
      EXPECT_EQ(file_->close(file_), QZ_OK);
    }
    FileTest::TearDown();
  }

  SetupFn setup_ = nullptr;
  QZIOEFile *file_ = nullptr;
};

TEST_P(CCTableTest, OutboundAndInboundSequences) {
  const Encoding &e = GetParam();
  const std::string lf = Unit(e, '\n'), cr = Unit(e, '\r'), ff = Unit(e, '\f'), sp = Unit(e, ' ');
  const std::string set1[9] = {lf, lf + lf, lf + lf + lf, lf + ff, cr, cr, "", ff, sp};
  const std::string set2[9] = {
      cr + lf, cr + lf + cr + lf, cr + lf + cr + lf + cr + lf, cr + lf + ff, cr, cr, "", ff, sp};
  for (uint32_t set : {1u, 2u}) {
    ASSERT_EQ(setup_(file_, 1, set), QZ_OK);
    const std::string *expected = set == 1 ? set1 : set2;
    for (int i = 0; i < 9; ++i)
      EXPECT_EQ(Bytes(Private(file_)->outbound_cc[i]), expected[i])
          << "set " << set << " entry " << i;
    EXPECT_EQ(Private(file_)->outbound_cc[6].length, 0u);
    EXPECT_EQ(Private(file_)->cc_max, (set == 1 ? 3 : 6) * e.width) << "set " << set;
  }
  ASSERT_EQ(setup_(file_, 0, 1), QZ_OK);
  EXPECT_EQ(Bytes(Private(file_)->inbound_cc[0]), lf);
  EXPECT_EQ(Bytes(Private(file_)->inbound_cc[1]), ff);
  EXPECT_EQ(Bytes(Private(file_)->inbound_cc[2]), cr);
  EXPECT_EQ(Private(file_)->cc_max, e.width) << "one line feed";
  ASSERT_EQ(setup_(file_, 0, 2), QZ_OK) << "the second inbound set is the same";
  EXPECT_EQ(Bytes(Private(file_)->inbound_cc[2]), cr);

  // Building again replaces the table's blocks instead of adding to them.
  const uint32_t blocks = Stats().blocks;
  ASSERT_EQ(setup_(file_, 1, 1), QZ_OK);
  ASSERT_EQ(setup_(file_, 0, 1), QZ_OK);
  EXPECT_EQ(Stats().blocks, blocks);
  EXPECT_EQ(Stats().transcoders, baseline_.transcoders) << "the build's transcoder is gone";
}

TEST_P(CCTableTest, EachAllocationFailureReleasesWhatItBuilt) {
  // Encoding 27 needs no conversion, so no transcoder is made.
  const bool converts = GetParam().id != QZ_ENC_UTF32LE;
  for (uint32_t direction : {0u, 1u}) {
    const uint32_t blocks = Stats().blocks;
    uint32_t n = 1;
    for (;; ++n) {
      ASSERT_LT(n, 30u);
      qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, n);
      const QZStatus status = setup_(file_, direction, 1);
      if (status == QZ_OK) break;
      EXPECT_EQ(status, converts && n == 1 ? QZIOE_FAILED : QZS_NO_MEMORY) << "allocation " << n;
      EXPECT_EQ(Stats().blocks, blocks) << "allocation " << n;
      EXPECT_EQ(Stats().transcoders, baseline_.transcoders);
      const QZIOECCEntry *table =
          direction == 0 ? Private(file_)->inbound_cc : Private(file_)->outbound_cc;
      for (uint32_t i = 0; i < (direction == 0 ? 3u : 9u); ++i) {
        EXPECT_EQ(table[i].bytes, nullptr);
        EXPECT_EQ(table[i].length, 0u);
      }
    }
    qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 0);
    // Blocks per table (the empty entry has none), plus the transcoder.
    EXPECT_EQ(n, (direction == 0 ? 3u : 8u) + (converts ? 2u : 1u));
  }
}

TEST_P(CCTableTest, ConversionFailureReleasesWhatItBuilt) {
  const uint32_t blocks = Stats().blocks;
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 3);
  if (GetParam().id == QZ_ENC_UTF32LE) {
    EXPECT_EQ(setup_(file_, 1, 1), QZ_OK) << "copied, never converted";
  } else {
    EXPECT_EQ(setup_(file_, 1, 1), QZK_INJECTED);
    EXPECT_EQ(Stats().blocks, blocks);
  }
  EXPECT_EQ(Stats().transcoders, baseline_.transcoders);
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 0);
}

TEST_P(CCTableTest, FailingTextLengthReleasesTheTranscoder) {
  const uint32_t blocks = Stats().blocks;
  qzk_fail_nth(kernel_, QZK_FAULT_TEXT_LENGTH, 1);
  const QZStatus status = setup_(file_, 1, 1);
  qzk_fail_nth(kernel_, QZK_FAULT_TEXT_LENGTH, 0);
  // Encoding 27 needs no transcoder and asks no length.
  EXPECT_EQ(status, GetParam().id == QZ_ENC_UTF32LE ? QZ_OK : QZK_INJECTED);
  EXPECT_EQ(Stats().blocks, status == QZ_OK ? Stats().blocks : blocks);
  EXPECT_EQ(Stats().transcoders, baseline_.transcoders);
}

TEST_P(CCTableTest, UnknownDirectionFails) {
  const uint32_t allocations = qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION);
  EXPECT_EQ(setup_(file_, 2, 1), QZIOE_FAILED);
  EXPECT_EQ(setup_(file_, uint32_t(-1), 1), QZIOE_FAILED);
  EXPECT_EQ(qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION), allocations);
}

INSTANTIATE_TEST_SUITE_P(Encodings, CCTableTest, ::testing::ValuesIn(kEncodings),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

TEST(CCTextTest, StaticTables) {
  // The exported texts are UTF-32LE with the lengths of their entries.
  QZKLoaded *loaded = nullptr;
  QZHandle *kernel = qzk_kernel_create(nullptr);
  ASSERT_NE(kernel, nullptr);
  char error[256] = "";
  QZIOEExtension *ext = qzk_load(kernel, QZIOE_LIBRARY_PATH, 0, &loaded, error, sizeof error);
  ASSERT_NE(ext, nullptr) << error;
  const auto *out = static_cast<const QZIOECCText *>(qzk_loaded_symbol(loaded, "sk_outbound_cc"));
  const auto *in = static_cast<const QZIOECCText *>(qzk_loaded_symbol(loaded, "sk_inbound_cc"));
  ASSERT_NE(out, nullptr);
  ASSERT_NE(in, nullptr);
  const uint32_t lengths[18] = {4, 8, 12, 8, 4, 4, 0, 4, 4, 8, 16, 24, 12, 4, 4, 0, 4, 4};
  for (int i = 0; i < 18; ++i)
    EXPECT_EQ(out[i].bytes, lengths[i]) << i;
  EXPECT_EQ(out[9].text[0], 0x0du);
  EXPECT_EQ(out[9].text[1], 0x0au);
  EXPECT_EQ(out[8].text[0], 0x20u);
  const QZChar inbound[3] = {0x0a, 0x0c, 0x0d};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(in[i].bytes, 4u);
    EXPECT_EQ(in[i].text[0], inbound[i % 3]);
  }
  ext->destroy(ext);
  qzk_unload(loaded);
  qzk_kernel_destroy(kernel);
}

} // namespace
} // namespace qztest
