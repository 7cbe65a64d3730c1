// Start-up, teardown and version queries of the extension object, seen the
// way the kernel sees them: through the loader and by word position.
#include <unistd.h>

#include <cstring>

#include "harness.h"

namespace qztest {
namespace {

using EntryTest = ExtensionTest;

template <typename Fn> Fn Symbol(QZKLoaded *loaded, const char *name) {
  return reinterpret_cast<Fn>(qzk_loaded_symbol(loaded, name));
}

TEST_F(EntryTest, ObjectWordsByPosition) {
  if (!QZ_LAYOUT_32) GTEST_SKIP() << "word positions are those of the 32-bit build";
  const unsigned char magic[4] = {0x6e, 0x65, 0x76, 0x6f};
  EXPECT_EQ(std::memcmp(ext_, magic, 4), 0);
  for (unsigned w : {1u, 2u, 7u, 8u, 11u, 29u, 32u})
    EXPECT_EQ(Word(ext_, w), 0u) << "word " << w;
  auto address = [&](const char *name) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(qzk_loaded_symbol(loaded_, name)));
  };
  EXPECT_EQ(Word(ext_, 3), address("qzioegetreqversion"));
  EXPECT_EQ(Word(ext_, 4), address("qzioegetversion"));
  EXPECT_EQ(Word(ext_, 6), address("qzioedestroy"));
  EXPECT_EQ(Word(ext_, 10), address("qzioeopen"));
  const auto kernel_word = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kernel_));
  EXPECT_EQ(Word(ext_, 5), kernel_word);
  EXPECT_EQ(Word(ext_, 26), kernel_word);
  EXPECT_NE(Word(ext_, 27), 0u);
  EXPECT_EQ(Word(ext_, 28), Word(ext_, 27));
  EXPECT_EQ(Word(ext_, 30), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(kernel_->nls)));
  EXPECT_NE(Word(ext_, 31), 0u) << "qzfsx";
  EXPECT_NE(Word(ext_, 33), 0u) << "qzwarden";
  EXPECT_NE(Word(ext_, 65), 0u);
  EXPECT_NE(Word(ext_, 66), 0u);
  EXPECT_NE(Word(ext_, 65), Word(ext_, 66));
}

TEST_F(EntryTest, HoldsExactlyItsPoolObjectTranscodersAndTwoSiblings) {
  const QZKStats s = Stats();
  EXPECT_EQ(s.pools, 1u);
  EXPECT_EQ(s.blocks, 1u);
  EXPECT_EQ(s.bytes, sizeof(QZIOEExtension)) << "268 bytes in the 32-bit build";
  EXPECT_EQ(s.transcoders, 2u);
  EXPECT_EQ(s.extensions, 2u) << "qzfsx and qzwarden held, qzhost released";
  EXPECT_EQ(s.descriptors, 0u);
}

TEST_F(EntryTest, TranscodersConvertBetweenOsBytesAndQZChar) {
  const char bytes[] = "caf\xe9";
  QZChar wide[4] = {};
  uint32_t produced = 0;
  ASSERT_EQ(ext_->inbound->convert(ext_->inbound, bytes, 4, wide, sizeof wide, &produced, 0), 0u);
  EXPECT_EQ(produced, 16u);
  EXPECT_EQ(wide[3], 0xe9u);
  char back[4] = {};
  ASSERT_EQ(ext_->outbound->convert(ext_->outbound, wide, 16, back, 4, &produced, 0), 0u);
  EXPECT_EQ(std::memcmp(back, bytes, 4), 0);
}

TEST_F(EntryTest, VersionQueriesThroughWordsThreeAndFour) {
  int32_t v[3] = {-1, -1, -1};
  EXPECT_EQ(ext_->getreqversion(ext_, &v[0], &v[1], &v[2]), 0u);
  EXPECT_EQ(v[0], 3);
  EXPECT_EQ(v[1], 1);
  EXPECT_EQ(v[2], 1);
  EXPECT_EQ(ext_->getversion(ext_, &v[0], &v[1], &v[2]), 0u);
  EXPECT_EQ(v[0], 3);
  EXPECT_EQ(v[1], 2);
  EXPECT_EQ(v[2], 1);
  EXPECT_EQ(ext_->getversion(ext_, nullptr, nullptr, nullptr), 0u) << "null pointers are skipped";
}

TEST_F(EntryTest, HostNameFromQzhost) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  const std::string expected = std::string(name).substr(0, QZIOE_HOST_NAME_MAX);
  EXPECT_EQ(ext_->host_name_length, expected.size());
  EXPECT_EQ(Narrow(ext_->host_name, ext_->host_name_length), expected);
}

TEST_F(EntryTest, LongHostNameKeepsThirtyCharacters) {
  Unload();
  const std::string long_name(45, 'h');
  qzk_set_host_name(kernel_, (long_name.substr(0, 29) + "XYZ" + long_name).c_str());
  ext_ = Load();
  ASSERT_NE(ext_, nullptr);
  EXPECT_EQ(ext_->host_name_length, 30u);
  EXPECT_EQ(Narrow(ext_->host_name, 30), long_name.substr(0, 29) + "X");
}

TEST_F(EntryTest, WithoutQzhostTheNameIsEmpty) {
  Unload();
  qzk_set_sibling_available(kernel_, "qzhost", 0);
  ext_ = Load();
  ASSERT_NE(ext_, nullptr);
  EXPECT_EQ(ext_->host_name_length, 0u);
  EXPECT_EQ(ext_->host_name[0], 0u);
}

TEST_F(EntryTest, WithoutQzfsxStartUpSucceedsWithWordThirtyOneZero) {
  Unload();
  qzk_set_sibling_available(kernel_, "qzfsx", 0);
  ext_ = Load();
  ASSERT_NE(ext_, nullptr);
  EXPECT_EQ(ext_->fsx, nullptr);
  EXPECT_EQ(Stats().extensions, 1u);
}

TEST_F(EntryTest, DestroyReleasesEverything) {
  Unload();
  ExpectNothingAlive();
}

// Each way the start-up can fail returns null and leaves nothing behind.
struct StartUpFailure {
  const char *name;
  void (*arrange)(QZHandle *kernel);
};

class EntryFailureTest : public KernelTest, public ::testing::WithParamInterface<StartUpFailure> {};

TEST_P(EntryFailureTest, ReturnsNullAndLeavesNothing) {
  GetParam().arrange(kernel_);
  QZKLoaded *loaded = nullptr;
  char error[256] = "";
  EXPECT_EQ(qzk_load(kernel_, QZIOE_LIBRARY_PATH, 0, &loaded, error, sizeof error), nullptr);
  EXPECT_EQ(loaded, nullptr);
  ExpectNothingAlive();
}

INSTANTIATE_TEST_SUITE_P(
    Causes, EntryFailureTest,
    ::testing::Values(
        StartUpFailure{"NoWarden",
                       [](QZHandle *k) { qzk_set_sibling_available(k, "qzwarden", 0); }},
        StartUpFailure{"NoNls", [](QZHandle *k) { qzk_set_nls_available(k, 0); }},
        StartUpFailure{
            "NoInboundTranscoder",
            [](QZHandle *k) { qzk_set_transcoder_refused(k, QZ_ENC_OS, QZ_ENC_UTF32LE, 1); }},
        StartUpFailure{
            "NoOutboundTranscoder",
            [](QZHandle *k) { qzk_set_transcoder_refused(k, QZ_ENC_UTF32LE, QZ_ENC_OS, 1); }},
        StartUpFailure{"NoPool", [](QZHandle *k) { qzk_fail_nth(k, QZK_FAULT_ALLOCATION, 1); }},
        StartUpFailure{"NoObject", [](QZHandle *k) { qzk_fail_nth(k, QZK_FAULT_ALLOCATION, 2); }}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// Every allocation of the start-up fails in turn; each failure unwinds
// completely, and once N passes the last allocation the start-up succeeds.
TEST_F(KernelTest, EveryAllocationFailureUnwinds) {
  unsigned failures = 0;
  for (uint32_t n = 1; n < 64; ++n) {
    qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, n);
    QZKLoaded *loaded = nullptr;
    QZIOEExtension *ext = qzk_load(kernel_, QZIOE_LIBRARY_PATH, 0, &loaded, nullptr, 0);
    if (ext != nullptr) {
      qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 0);
      EXPECT_GT(failures, 0u);
      EXPECT_EQ(ext->destroy(ext), 0u);
      qzk_unload(loaded);
      ExpectNothingAlive();
      return;
    }
    ++failures;
    SCOPED_TRACE(n);
    ExpectNothingAlive();
  }
  FAIL() << "start-up never succeeded";
}

// Unload one extension and load another on the same kernel: nothing of the
// first survives into the second.
TEST_F(EntryTest, ReloadStartsClean) {
  Unload();
  for (int i = 0; i < 3; ++i) {
    ext_ = Load();
    ASSERT_NE(ext_, nullptr);
    EXPECT_EQ(Stats().pools, 1u);
    Unload();
    ExpectNothingAlive();
  }
}

TEST_F(EntryTest, QzextentStoresAndReturnsTheHandle) {
  auto qzextent_fn = Symbol<QZHandle *(*)(QZHandle *)>(loaded_, "qzextent");
  auto *global = static_cast<QZHandle **>(qzk_loaded_symbol(loaded_, "Exported_QZHandle"));
  ASSERT_NE(qzextent_fn, nullptr);
  ASSERT_NE(global, nullptr);
  EXPECT_EQ(*global, kernel_);
  EXPECT_EQ(qzextent_fn(kernel_), kernel_);
  EXPECT_EQ(*global, kernel_);
}

} // namespace
} // namespace qztest
