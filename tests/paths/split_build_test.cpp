// Path split and build through extension words 12 to 15.
#include "path_services.h"

namespace qztest {
namespace {

struct Parts {
  QZStatus status = QZ_OK;
  // Null pointer: the part is absent.
  std::optional<std::string> directory, name, base, extension;
};

class SplitBuildTest : public PathServicesTest {
protected:
  Parts Split(std::string_view path) {
    const std::vector<QZChar> chars = Chars(path);
    QZChar *part[4] = {};
    uint32_t length[4] = {};
    Parts out;
    out.status = ext_->splitpath(ext_, chars.data(), Size(chars), &part[0], &length[0], &part[1],
                                 &length[1], &part[2], &length[2], &part[3], &length[3]);
    if (out.status != QZ_OK) {
      ExpectNoBlockLeft();
      return out;
    }
    std::optional<std::string> *fields[4] = {&out.directory, &out.name, &out.base, &out.extension};
    for (int i = 0; i < 4; ++i) {
      if (part[i] != nullptr) *fields[i] = Narrow(part[i], length[i]);
      EXPECT_TRUE(part[i] != nullptr || length[i] == 0);
    }
    // One copy: the name and base share their start, the extension follows
    // the base's dot.
    EXPECT_EQ(part[1], part[2]);
    if (part[3] != nullptr) {
      EXPECT_EQ(part[3], part[2] + length[2] + 1);
    }
    EXPECT_EQ(ext_->splitpathdestroy(ext_, part[0], part[1], part[2], part[3]), QZ_OK);
    ExpectNoBlockLeft();
    return out;
  }
};

TEST_F(SplitBuildTest, EdgeCases) {
  const std::nullopt_t none = std::nullopt;
  const struct SplitCase {
    const char *path;
    std::optional<std::string> directory, name, base, extension;
  } splits[] = {
      {"/usr/lib/x.tar.gz", "/usr/lib", "x.tar.gz", "x.tar", "gz"},
      {"/x", "/", "x", "x", none},
      {"/", "/", none, none, none},
      {"a/b/", "a/b", none, none, none},
      {"file", none, "file", "file", none},
      {".profile", none, ".profile", ".profile", none},
      {"d/.profile", "d", ".profile", ".profile", none},
      {".a.b", none, ".a.b", ".a", "b"},
      {"a.", none, "a.", "a.", none},
      {"a..b", none, "a..b", "a.", "b"},
      {"dir.x/file", "dir.x", "file", "file", none},
      {"..", none, "..", "..", none},
      {"a//b", "a/", "b", "b", none},
      {"//x.c", "/", "x.c", "x", "c"},
      {"x/.", "x", ".", ".", none},
  };
  for (const SplitCase &c : splits) {
    SCOPED_TRACE(c.path);
    const Parts got = Split(c.path);
    ASSERT_EQ(got.status, QZ_OK);
    EXPECT_EQ(got.directory, c.directory);
    EXPECT_EQ(got.name, c.name);
    EXPECT_EQ(got.base, c.base);
    EXPECT_EQ(got.extension, c.extension);
  }

  const struct BuildCase {
    const char *directory, *name, *extension; // null: absent
    const char *expected;                     // "@" is the root of the working directory @/w
  } builds[] = {
      {"/data", "f", "txt", "/data/f.txt"},
      {"/data/", "f", nullptr, "/data/f"},
      {nullptr, "f", nullptr, "@/w/f"},
      {nullptr, nullptr, nullptr, "@/w"},
      {"/data", "", "cfg", "/data/.cfg"},
      {"/data  ", "f ", nullptr, "/data/f"},
      {nullptr, "../f", nullptr, "@/w/../f"},
      {nullptr, "/etc/x", nullptr, "@/w//etc/x"},
      {"", "f", "", "@/w/f"},
      {"/data", "a b  ", "t x ", "/data/a b.t x"},
      {"/data", nullptr, "cfg", "/data/.cfg"},
      {"   ", "f", nullptr, "/f"},
      {"..", "f", nullptr, "@/f"},
      {"/", nullptr, nullptr, "/"},
  };
  for (const BuildCase &c : builds) {
    SCOPED_TRACE(std::string(c.directory ? c.directory : "(none)") + " | " +
                 (c.name ? c.name : "(none)") + " | " + (c.extension ? c.extension : "(none)"));
    const Result got = Build(c.directory, c.name, c.extension);
    EXPECT_EQ(got.status, QZ_OK);
    EXPECT_EQ(got.path, Fill(c.expected));
  }
}

TEST_F(SplitBuildTest, BuildLimits) {
  auto s = [](size_t n, char c = 'd') { return std::string(n, c); };
  const struct Limit {
    const char *what;
    std::string directory, name, extension; // empty: absent
    QZStatus expected;
  } limits[] = {
      {"directory of 1023", "/" + s(1022), "", "", QZ_OK},
      {"directory of 1024: no room for the terminator", "/" + s(1023), "", "", QZIOE_NAME_TOO_LONG},
      {"directory of 1025", "/" + s(1024), "", "", QZIOE_PATH_REFUSED},
      {"trailing blanks do not count", "/" + s(1000) + s(1500, ' '), "f", "", QZ_OK},
      {"no room for the slash", "/" + s(1022), "f", "", QZIOE_NAME_TOO_LONG},
      {"name to 1023", "/d", s(1020), "", QZ_OK},
      {"name to 1024", "/d", s(1021), "", QZIOE_NAME_TOO_LONG},
      {"extension to 1023", "/d", "f", s(1018), QZ_OK},
      {"extension to 1024", "/d", "f", s(1019), QZIOE_NAME_TOO_LONG},
      {"blanks only", "   ", "", "", QZIOE_BAD_NAME},
  };
  for (const Limit &c : limits) {
    SCOPED_TRACE(c.what);
    auto part = [](const std::string &p) { return p.empty() ? nullptr : p.c_str(); };
    EXPECT_EQ(Build(part(c.directory), part(c.name), part(c.extension)).status, c.expected);
  }
}

TEST_F(SplitBuildTest, Faults) {
  // 1: the working directory's conversion; 1 with a directory: the name's
  // outbound conversion; 3: the inbound conversion of the expanded result.
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 1);
  EXPECT_EQ(Build(nullptr, "f", nullptr).status, QZIOE_PATH_REFUSED);
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 1);
  EXPECT_EQ(Build("/d", "f", nullptr).status, QZIOE_FAILED);
  qzk_fail_nth(kernel_, QZK_FAULT_CONVERT, 3);
  EXPECT_EQ(Build(nullptr, "f", nullptr).status, QZIOE_FAILED);
  // Characters the system encoding lacks fail in the expansion.
  const std::vector<QZChar> snowman = {'/', 0x2603};
  QZChar *built = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(ext_->buildpath(ext_, snowman.data(), 2, nullptr, 0, nullptr, 0, &built, &length),
            QZIOE_FAILED);

  SweepAllocations("split", [&] { return Split("/a/b.c").status; });
  SweepAllocations("build in the working directory",
                   [&] { return Build(nullptr, "f", "txt").status; });
  SweepAllocations("build in a directory", [&] { return Build("/d", "f", nullptr).status; });

  // A working directory that is gone is needed only without a directory.
  const std::string gone = root_ + "/w/gone";
  ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
  ASSERT_EQ(chdir(gone.c_str()), 0);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  EXPECT_EQ(Build(nullptr, "f", nullptr).status, QZIOE_FAILED);
  EXPECT_EQ(Build("/d", "f", nullptr).path, "/d/f");
}

TEST_F(SplitBuildTest, BadArguments) {
  const std::vector<QZChar> path = Chars("/a/b");
  QZChar *p[4] = {reinterpret_cast<QZChar *>(8), nullptr, nullptr, nullptr};
  uint32_t n[4] = {7, 0, 0, 0};
  auto split = [&](QZIOEExtension *e, const QZChar *text, uint32_t length) {
    return ext_->splitpath(e, text, length, &p[0], &n[0], &p[1], &n[1], &p[2], &n[2], &p[3], &n[3]);
  };
  EXPECT_EQ(split(ext_, nullptr, 4), QZIOE_PATH_REFUSED);
  EXPECT_EQ(split(ext_, path.data(), 0), QZIOE_PATH_REFUSED);
  EXPECT_EQ(split(nullptr, path.data(), 4), QZIOE_BAD_HANDLE);
  EXPECT_EQ(split(ext_, path.data(), 0x40000000u), QZIOE_NAME_TOO_LONG);
  EXPECT_EQ(ext_->splitpath(ext_, path.data(), 4, &p[0], &n[0], &p[1], &n[1], &p[2], &n[2], &p[3],
                            nullptr),
            QZS_BAD_VALUE);
  EXPECT_EQ(p[0], reinterpret_cast<QZChar *>(8)) << "written on failure";
  EXPECT_EQ(n[0], 7u);
  EXPECT_EQ(ext_->splitpathdestroy(ext_, nullptr, nullptr, nullptr, nullptr), QZ_OK);

  QZChar *built = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(ext_->buildpath(nullptr, path.data(), 4, nullptr, 0, nullptr, 0, &built, &length),
            QZIOE_BAD_HANDLE);
  EXPECT_EQ(ext_->buildpath(ext_, path.data(), 4, nullptr, 0, nullptr, 0, nullptr, &length),
            QZS_BAD_VALUE);
  // Null parts with a length are absent parts.
  ASSERT_EQ(ext_->buildpath(ext_, path.data(), 4, nullptr, 5, nullptr, 3, &built, &length), QZ_OK);
  EXPECT_EQ(Narrow(built, length), "/a/b");
  EXPECT_EQ(ext_->buildpathdestroy(nullptr, built), QZIOE_BAD_HANDLE);
  EXPECT_EQ(ext_->buildpathdestroy(ext_, built), QZ_OK);
  EXPECT_EQ(ext_->buildpathdestroy(ext_, nullptr), QZ_OK);
}

TEST_F(SplitBuildTest, ServiceWords) {
  auto symbol = [&](const char *name) { return qzk_loaded_symbol(loaded_, name); };
  EXPECT_EQ(reinterpret_cast<void *>(ext_->buildpath), symbol("bkioebuildpath"));
  EXPECT_EQ(reinterpret_cast<void *>(ext_->buildpathdestroy), symbol("bkioebuildpathdestroy"));
  EXPECT_EQ(reinterpret_cast<void *>(ext_->splitpath), symbol("bkioesplitpath"));
  EXPECT_EQ(reinterpret_cast<void *>(ext_->splitpathdestroy), symbol("bkioesplitpathdestroy"));
  EXPECT_EQ(reinterpret_cast<void *>(ext_->createname), symbol("qzioecreatename"));
  EXPECT_EQ(reinterpret_cast<void *>(ext_->createnamedestroy), symbol("bkioebuildpathdestroy"));
}

} // namespace
} // namespace qztest
