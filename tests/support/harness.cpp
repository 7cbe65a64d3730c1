#include "harness.h"

namespace qztest {

std::vector<QZChar> Chars(std::string_view text) {
  std::vector<QZChar> out;
  out.reserve(text.size());
  for (unsigned char c : text)
    out.push_back(c);
  return out;
}

std::string Narrow(const QZChar *text, size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i)
    out.push_back(static_cast<char>(text[i]));
  return out;
}

void KernelTest::SetUp() {
  kernel_ = qzk_kernel_create(nullptr);
  ASSERT_NE(kernel_, nullptr);
}

void KernelTest::TearDown() {
  if (kernel_ == nullptr) return;
  EXPECT_EQ(Stats().misuses, accepted_misuses_) << "the stand-in refused a bad call";
  qzk_kernel_destroy(kernel_);
  kernel_ = nullptr;
}

QZKStats KernelTest::Stats() const {
  QZKStats stats{};
  qzk_stats(kernel_, &stats);
  return stats;
}

uint32_t KernelTest::TakeMisuses() {
  const uint32_t total = Stats().misuses;
  const uint32_t taken = total - accepted_misuses_;
  accepted_misuses_ = total;
  return taken;
}

void KernelTest::ExpectNothingAlive() const {
  const QZKStats s = Stats();
  EXPECT_EQ(s.pools, 0u);
  EXPECT_EQ(s.blocks, 0u);
  EXPECT_EQ(s.bytes, 0u);
  EXPECT_EQ(s.locks, 0u);
  EXPECT_EQ(s.lists, 0u);
  EXPECT_EQ(s.transcoders, 0u);
  EXPECT_EQ(s.extensions, 0u);
  EXPECT_EQ(s.descriptors, 0u);
}

QZIOEExtension *ExtensionTest::Load(QZWord context) {
  char error[512] = "";
  QZIOEExtension *ext =
      qzk_load(kernel_, QZIOE_LIBRARY_PATH, context, &loaded_, error, sizeof error);
  if (ext == nullptr) ADD_FAILURE() << "load failed: " << error;
  return ext;
}

void ExtensionTest::Unload() {
  if (ext_ != nullptr) {
    EXPECT_EQ(ext_->destroy(ext_), 0u);
    ext_ = nullptr;
  }
  if (loaded_ != nullptr) {
    qzk_unload(loaded_);
    loaded_ = nullptr;
  }
}

void ExtensionTest::RestartKernel(const QZKOptions &options) {
  Unload();
  ExpectNothingAlive();
  EXPECT_EQ(Stats().misuses, accepted_misuses_) << "the stand-in refused a bad call";
  qzk_kernel_destroy(kernel_);
  accepted_misuses_ = 0;
  kernel_ = qzk_kernel_create(&options);
  ASSERT_NE(kernel_, nullptr);
  ext_ = Load();
  ASSERT_NE(ext_, nullptr);
}

void ExtensionTest::SetUp() {
  KernelTest::SetUp();
  ext_ = Load();
  ASSERT_NE(ext_, nullptr);
}

void ExtensionTest::TearDown() {
  Unload();
  if (kernel_ != nullptr) ExpectNothingAlive();
  KernelTest::TearDown();
}

} // namespace qztest
