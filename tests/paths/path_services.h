// Split, build and unique names called through the extension object's
// words, in a fresh working directory @/w (@ a temporary root).
#pragma once

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "harness.h"
#include "qzioe/paths.h"

namespace qztest {

struct Result {
  QZStatus status = QZ_OK;
  std::string path; // when the status is 0
};

class PathServicesTest : public ExtensionTest {
protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    saved_cwd_ = saved;
    char dir[] = "/tmp/qzioe_paths_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir, real), nullptr);
    root_ = real;
    ASSERT_EQ(mkdir((root_ + "/w").c_str(), 0700), 0);
    ASSERT_EQ(chdir((root_ + "/w").c_str()), 0);
    blocks_ = Stats().blocks;
  }
  void TearDown() override {
    EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
    rmdir((root_ + "/w").c_str());
    rmdir(root_.c_str());
    ExtensionTest::TearDown();
  }

  // "@" stands for the temporary root.
  std::string Fill(std::string_view pattern) const {
    std::string out;
    for (char c : pattern)
      c == '@' ? out += root_ : out += c;
    return out;
  }

  // Null stands for an absent part (null pointer, length 0).
  Result Build(const char *directory, const char *name, const char *extension) {
    const std::vector<QZChar> d = Chars(directory ? directory : ""), n = Chars(name ? name : ""),
                              e = Chars(extension ? extension : "");
    QZChar *built = reinterpret_cast<QZChar *>(1);
    uint32_t length = 99;
    Result out;
    out.status =
        ext_->buildpath(ext_, directory ? d.data() : nullptr, Size(d), name ? n.data() : nullptr,
                        Size(n), extension ? e.data() : nullptr, Size(e), &built, &length);
    if (out.status == QZ_OK) {
      out.path = Narrow(built, length);
      EXPECT_EQ(ext_->buildpathdestroy(ext_, built), QZ_OK);
    } else {
      EXPECT_EQ(built, nullptr);
    }
    ExpectNoBlockLeft();
    return out;
  }

  Result CreateName(const char *directory, QZIOENameRequest request) {
    const std::vector<QZChar> d = Chars(directory ? directory : "");
    QZChar *made = nullptr;
    uint32_t length = 0;
    Result out;
    out.status =
        ext_->createname(ext_, directory ? d.data() : nullptr, Size(d), &request, &made, &length);
    if (out.status == QZ_OK) {
      out.path = Narrow(made, length);
      EXPECT_EQ(ext_->createnamedestroy(ext_, made), QZ_OK);
    } else {
      EXPECT_EQ(made, nullptr) << "written on failure";
    }
    ExpectNoBlockLeft();
    return out;
  }

  // Fails the 1st, 2nd, ... allocation of `call` until it succeeds; every
  // failure must be QZS_NO_MEMORY (the call's own helper checks that it
  // left nothing behind).
  template <typename Call> void SweepAllocations(const char *what, Call call) {
    SCOPED_TRACE(what);
    uint32_t nth = 1;
    for (; nth < 20; ++nth) {
      qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, nth);
      const QZStatus status = call();
      if (status == QZ_OK) break;
      EXPECT_EQ(status, QZS_NO_MEMORY) << "allocation " << nth;
    }
    qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 0);
    EXPECT_GT(nth, 1u) << "no allocation failed";
    EXPECT_LT(nth, 20u) << "never succeeded";
  }

  void ExpectNoBlockLeft() { EXPECT_EQ(Stats().blocks, blocks_) << "a block outlived the call"; }
  static uint32_t Size(const std::vector<QZChar> &v) { return static_cast<uint32_t>(v.size()); }

  std::string saved_cwd_, root_;
  uint32_t blocks_ = 0;
};

} // namespace qztest
