// Path expansion through the exported functions, as other modules call it.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "harness.h"
#include "qzioe/paths.h"

namespace qztest {
namespace {

using ExpandFn = decltype(&bkioeexpand_path);
using FreeFn = decltype(&bkioeexpand_path_free);

constexpr const char *kNoUser = "qzioe_no_such_user";

// Sets environment variables for one test and puts back what was there.
class Environment {
public:
  ~Environment() {
    for (const auto &[name, value] : saved_)
      value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
  void Set(const std::string &name, const std::string &value) {
    Save(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void Unset(const std::string &name) {
    Save(name);
    unsetenv(name.c_str());
  }

private:
  void Save(const std::string &name) {
    if (saved_.count(name) != 0) return;
    const char *value = std::getenv(name.c_str());
    saved_[name] = value != nullptr ? std::optional<std::string>(value) : std::nullopt;
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

struct Expanded {
  QZStatus status = QZ_OK;
  std::string path;        // when the status is 0
  bool result_set = false; // the result out-parameter was written
};

// The working directory /w/a/b of the edge cases, built under a temporary
// root T; HOME=/home/u, A=x$B/y, B=bee, UNDEF unset.
class ExpandPathTest : public ExtensionTest {
protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    expand_ = reinterpret_cast<ExpandFn>(qzk_loaded_symbol(loaded_, "bkioeexpand_path"));
    free_ = reinterpret_cast<FreeFn>(qzk_loaded_symbol(loaded_, "bkioeexpand_path_free"));
    ASSERT_NE(expand_, nullptr);
    ASSERT_NE(free_, nullptr);
    char saved[PATH_MAX];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    saved_cwd_ = saved;
    char dir[] = "/tmp/qzioe_paths_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir, real), nullptr); // as getcwd will report it
    root_ = real;
    for (const char *sub : {"/w", "/w/a", "/w/a/b"})
      ASSERT_EQ(mkdir((root_ + sub).c_str(), 0700), 0);
    ChangeDirectory(root_ + "/w/a/b");
    env_.Set("HOME", "/home/u");
    env_.Set("A", "x$B/y");
    env_.Set("B", "bee");
    env_.Unset("UNDEF");
    const passwd *me = getpwuid(getuid());
    ASSERT_NE(me, nullptr);
    user_ = me->pw_name;
    user_home_ = me->pw_dir;
    while (user_home_.size() > 1 && user_home_.back() == '/')
      user_home_.pop_back();
    ASSERT_EQ(getpwnam(kNoUser), nullptr);
    blocks_ = Stats().blocks;
  }

  void TearDown() override {
    EXPECT_EQ(chdir(saved_cwd_.c_str()), 0);
    for (const char *sub : {"/w/a/b", "/w/a", "/w", ""})
      rmdir((root_ + sub).c_str());
    ExtensionTest::TearDown();
  }

  void ChangeDirectory(const std::string &dir) { ASSERT_EQ(chdir(dir.c_str()), 0) << dir; }

  // Expands, checks the result contract, releases the result.
  Expanded ExpandChars(const std::vector<QZChar> &name) {
    Expanded out;
    QZChar *result = nullptr;
    uint32_t length = 0;
    out.status = expand_(ext_, name.data(), static_cast<uint32_t>(name.size()), &result, &length);
    out.result_set = result != nullptr;
    if (out.status == QZ_OK && out.result_set) out.path = Narrow(result, length);
    if (out.status == QZ_OK) {
      EXPECT_TRUE(out.result_set);
    }
    if (result != nullptr) {
      EXPECT_EQ(free_(ext_->pool, result), QZ_OK);
    }
    EXPECT_EQ(Stats().blocks, blocks_) << "a block outlived the call";
    return out;
  }
  Expanded Expand(std::string_view name) { return ExpandChars(Chars(name)); }

  // "@" stands for the root T, "%" for the caller's home, "&" for the
  // caller's user name.
  std::string Fill(std::string_view pattern) const {
    std::string out;
    for (char c : pattern) {
      if (c == '@')
        out += root_;
      else if (c == '%')
        out += user_home_;
      else if (c == '&')
        out += user_;
      else
        out += c;
    }
    return out;
  }

  void ExpectPath(std::string_view name, const std::string &expected) {
    const Expanded got = Expand(name);
    EXPECT_EQ(got.status, QZ_OK) << "name " << name;
    EXPECT_EQ(got.path, expected) << "name " << name;
  }
  void ExpectStatus(std::string_view name, QZStatus expected) {
    const Expanded got = Expand(name);
    EXPECT_EQ(got.status, expected) << "name " << name;
    EXPECT_FALSE(got.result_set) << "name " << name << ": result written before it was made";
  }

  ExpandFn expand_ = nullptr;
  FreeFn free_ = nullptr;
  Environment env_;
  std::string saved_cwd_, root_, user_, user_home_;
  uint32_t blocks_ = 0;
};

struct Case {
  const char *name;
  const char *expected; // with the placeholders of Fill
};

TEST_F(ExpandPathTest, EdgeCases) {
  const bool bee_is_user = getpwnam("bee") != nullptr;
  const Case cases[] = {
      {"/", "/"},
      {"//", "/"},
      {"/a/b/", "/a/b"},
      {"/a//b", "/a//b"},
      {"", "@/w/a/b"},
      {"x", "@/w/a/b/x"},
      {"x/", "@/w/a/b/x"},
      {".", "@/w/a/b"},
      {"./", "@/w/a/b"},
      {"./x", "@/w/a/b/x"},
      {".//x", "@/w/a/b/x"},
      {"..", "@/w/a"},
      {"../", "@/w/a"},
      {"../../x", "@/w/x"},
      {"./../../x", "@/w/x"},
      {".x", "@/w/a/b/.x"},
      {"..x", "@/w/a/b/..x"},
      {"...", "@/w/a/b/..."},
      {"./.x", "@/w/a/b/.x"},
      {"a/../b", "@/w/a/b/a/../b"},
      {"x/./y", "@/w/a/b/x/./y"},
      {"~", "/home/u"},
      {"~/", "/home/u"},
      {"~/x", "/home/u/x"},
      {"~/../x", "/home/u/../x"},
      {"~&/x", "%/x"},
      {"~&", "%"},
      {"~qzioe_no_such_user/x", "~qzioe_no_such_user/x"},
      {"~qzioe_no_such_user/x/", "~qzioe_no_such_user/x"},
      {"$HOME/x", "/home/u/x"},
      {"$A/z", "@/w/a/b/xbee/y/z"},
      {"$A.c", "@/w/a/b/xbee/y.c"},
      {"/p$B", "/pbee"},
      {"$UNDEF/x", "@/w/a/b/$UNDEF/x"},
      {"$", "@/w/a/b/$"},
      {"a$", "@/w/a/b/a$"},
      {"$/x", "@/w/a/b/$/x"},
      {"$$HOME", "@/w/a/b/$/home/u"},
      {"~$B", bee_is_user ? nullptr : "~bee"},
  };
  for (const Case &c : cases) {
    if (c.expected == nullptr) continue;
    ExpectPath(Fill(c.name), Fill(c.expected));
  }
}

TEST_F(ExpandPathTest, DotDotStopsAtTheRoot) {
  // As many levels up as the working directory is deep reaches the root.
  const std::string cwd = root_ + "/w/a/b";
  std::string up;
  for (char c : cwd)
    if (c == '/') up += "../";
  ExpectPath(up + "x", "//x");
  ExpectPath(up, "/");
  ExpectStatus("../" + up + "x", QZIOE_FAILED);
  ExpectStatus("./" + up + "../x", QZIOE_FAILED);

  ChangeDirectory("/");
  ExpectPath("x", "//x");
  ExpectPath(".", "/");
  ExpectPath("./x", "//x");
  ExpectPath("/x", "/x");
  ExpectStatus("..", QZIOE_FAILED);
  ExpectStatus("../x", QZIOE_FAILED);
}

TEST_F(ExpandPathTest, HomeDirectory) {
  struct HomeCase {
    const char *home; // null: unset
    const char *name;
    const char *expected;
  };
  const HomeCase cases[] = {
      {nullptr, "~/x", "%/x"},
      {nullptr, "~", "%"},
      {"", "~/x", "/x"},
      {"", "~//x", "//x"},
      {"", "~", ""},
      {"/", "~/x", "//x"},
      {"/", "~", "/"},
      {"/home/u//", "~/x", "/home/u/x"},
      {"/home/u//", "~", "/home/u"},
      {"a//", "~/x", "a///x"},
  };
  for (const HomeCase &c : cases) {
    SCOPED_TRACE(c.home != nullptr ? std::string("HOME=") + c.home : "HOME unset");
    c.home != nullptr ? env_.Set("HOME", c.home) : env_.Unset("HOME");
    ExpectPath(c.name, Fill(c.expected));
  }
}

TEST_F(ExpandPathTest, RefusesWhatDoesNotFitItsArea) {
  const std::string cwd = root_ + "/w/a/b";
  const std::string name123(123, 'N'), name124(124, 'N');
  env_.Unset(name123);
  env_.Unset(name124);
  env_.Set("E", "");
  env_.Set("LONG", std::string(2000, 'v'));
  env_.Set("REST", "$B/" + std::string(1100, 'r'));
  env_.Set("SELF", "$SELF");
  env_.Set("P", "x$Q");
  env_.Set("Q", "y$P");
  for (int i = 1; i < 32; ++i)
    env_.Set("V" + std::to_string(i), "$V" + std::to_string(i + 1));
  env_.Set("V32", "end");

  struct TooLong {
    const char *what;
    std::string name;
    std::string expected; // empty: NAME_TOO_LONG
  };
  const std::string a1022(1022, 'a');
  const TooLong cases[] = {
      {"1023 bytes", "/" + a1022, "/" + a1022},
      {"1024 bytes", "/" + a1022 + "a", ""},
      {"1023 bytes and an empty value", "/" + a1022 + "$E", "/" + a1022},
      {"only through the working directory, fits", std::string(1022 - cwd.size(), 'r'),
       cwd + "/" + std::string(1022 - cwd.size(), 'r')},
      {"only through the working directory", std::string(1023 - cwd.size(), 'r'), ""},
      {"undefined reference kept", "/" + std::string(990, 'a') + "/$UNDEF",
       "/" + std::string(990, 'a') + "/$UNDEF"},
      {"undefined reference past the area", "/" + std::string(1000, 'a') + "/$" + name123, ""},
      {"variable name of 123 bytes", "/$" + name123, "/$" + name123},
      {"variable name of 124 bytes", "/$" + name124, ""},
      {"value past the area", "/$LONG", ""},
      {"text after a value past the area", "/" + std::string(1018, 'a') + "$B/x", ""},
      {"value remainder over 1023 bytes", "/$REST", ""},
      {"variable refers to itself", "/$SELF", ""},
      {"variables refer to each other", "/$P", ""},
      {"32 levels of references", "/$V1", "/end"},
      {"33 levels of references", "/$V0", ""},
  };
  env_.Set("V0", "$V1");
  for (const TooLong &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.expected.empty())
      ExpectStatus(c.name, QZIOE_NAME_TOO_LONG);
    else
      ExpectPath(c.name, c.expected);
  }
}

TEST_F(ExpandPathTest, WithoutWorkingDirectory) {
  const std::string gone = root_ + "/gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
  ChangeDirectory(gone);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  char probe[PATH_MAX];
  ASSERT_EQ(getcwd(probe, sizeof probe), nullptr);

  for (const char *name : {"x", "", ".", "./x", "..", "$UNDEF", "$B"})
    ExpectStatus(name, QZIOE_FAILED);
  ExpectPath("/a/b/", "/a/b");
  ExpectPath("$HOME/x", "/home/u/x");
  ExpectPath("~/x", "/home/u/x");
  ExpectPath(Fill("~&/x"), Fill("%/x"));
  ExpectPath("~qzioe_no_such_user/x", "~qzioe_no_such_user/x");
}

TEST_F(ExpandPathTest, AllocationFailures) {
  // 1: the byte form of the name, 2: the result.
  for (uint32_t nth : {1u, 2u}) {
    SCOPED_TRACE(nth);
    qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, nth);
    ExpectStatus("x", QZS_NO_MEMORY);
  }
  ExpectPath("x", root_ + "/w/a/b/x");
}

TEST_F(ExpandPathTest, ConversionFailures) {
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 1);
  ExpectStatus("x", QZIOE_FAILED);

  // The result exists when the last conversion fails and is released.
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 2);
  const Expanded got = Expand("x");
  EXPECT_EQ(got.status, QZIOE_FAILED);
  EXPECT_TRUE(got.result_set);
}

TEST_F(ExpandPathTest, CharactersThatAreNotOneByte) {
  // Not in the system's encoding (ISO-8859-1 in the stand-in).
  EXPECT_EQ(ExpandChars({'/', 'a', 0x2603}).status, QZIOE_FAILED);
  EXPECT_EQ(ExpandChars({'/', 'a', 0x100}).status, QZIOE_FAILED);
  // A zero character would cut the path short.
  EXPECT_EQ(ExpandChars({'/', 'a', 0, 'b'}).status, QZIOE_FAILED);
  EXPECT_EQ(ExpandChars({0}).status, QZIOE_FAILED);
  // One byte each way, outside ASCII too.
  const Expanded latin = ExpandChars({'/', 'c', 'a', 'f', 0xe9, '/'});
  EXPECT_EQ(latin.status, QZ_OK);
  EXPECT_EQ(latin.path, "/caf\xe9");
}

TEST_F(ExpandPathTest, BadArguments) {
  const std::vector<QZChar> name = Chars("/x");
  QZChar *result = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(expand_(nullptr, name.data(), 2, &result, &length), QZIOE_BAD_HANDLE);
  QZIOEExtension copy = *ext_;
  copy.outbound = nullptr;
  EXPECT_EQ(expand_(&copy, name.data(), 2, &result, &length), QZIOE_BAD_HANDLE);
  copy = *ext_;
  copy.pool = nullptr;
  EXPECT_EQ(expand_(&copy, name.data(), 2, &result, &length), QZIOE_BAD_HANDLE);
  EXPECT_EQ(expand_(ext_, nullptr, 2, &result, &length), QZIOE_BAD_NAME);
  EXPECT_EQ(expand_(ext_, name.data(), 2, nullptr, &length), QZS_BAD_VALUE);
  EXPECT_EQ(expand_(ext_, name.data(), 2, &result, nullptr), QZS_BAD_VALUE);
  // A length whose byte count does not fit 32 bits is never read.
  EXPECT_EQ(expand_(ext_, name.data(), 0x40000000u, &result, &length), QZIOE_NAME_TOO_LONG);
  EXPECT_EQ(expand_(ext_, name.data(), UINT32_MAX, &result, &length), QZIOE_NAME_TOO_LONG);
  EXPECT_EQ(result, nullptr);

  // No name at all is the empty name: the working directory.
  ASSERT_EQ(expand_(ext_, nullptr, 0, &result, &length), QZ_OK);
  EXPECT_EQ(Narrow(result, length), root_ + "/w/a/b");
  EXPECT_EQ(free_(nullptr, result), QZIOE_BAD_HANDLE);
  EXPECT_EQ(free_(ext_->pool, result), QZ_OK);
  EXPECT_EQ(free_(ext_->pool, nullptr), QZ_OK);
  EXPECT_EQ(free_(nullptr, nullptr), QZ_OK);
}

TEST_F(ExpandPathTest, ConcurrentCallsAgree) {
  const std::string cwd = root_ + "/w/a/b";
  const std::pair<std::string, std::string> work[] = {
      {"../x", root_ + "/w/a/x"},
      {"$A.c", cwd + "/xbee/y.c"},
      {"~/q/", "/home/u/q"},
      {Fill("~&/r"), Fill("%/r")},
  };
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (const auto &[name, expected] : work)
    threads.emplace_back([&, name = name, expected = expected] {
      const std::vector<QZChar> chars = Chars(name);
      for (int i = 0; i < 300; ++i) {
        QZChar *result = nullptr;
        uint32_t length = 0;
        const QZStatus s =
            expand_(ext_, chars.data(), static_cast<uint32_t>(chars.size()), &result, &length);
        if (s != QZ_OK || Narrow(result, length) != expected) ++wrong;
        if (result != nullptr && free_(ext_->pool, result) != QZ_OK) ++wrong;
      }
    });
  for (auto &thread : threads)
    thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(Stats().blocks, blocks_);
}

} // namespace
} // namespace qztest
