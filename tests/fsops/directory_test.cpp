// Directory handles and listings against readdir(3) and stat(2).
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "harness.h"
#include "qzioe/fsops.h"

namespace qztest {
namespace {

class DirectoryTest : public ExtensionTest {
protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    char pattern[] = "/tmp/qzioe-dir-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    nftw(
        dir_.c_str(), [](const char *p, const struct stat *, int, FTW *) { return ::remove(p); },
        16, FTW_DEPTH | FTW_PHYS);
    ExtensionTest::TearDown();
  }
  std::string P(const std::string &name) const { return dir_ + "/" + name; }
  void Touch(const std::string &name, const std::string &bytes = "") {
    std::ofstream(P(name), std::ios::binary) << bytes;
  }

  QZIOEDirectory *Open(const std::string &path, uint32_t options, QZStatus *status) {
    const auto c = Chars(path);
    return ext_->directoryopen(ext_, c.data(), static_cast<int32_t>(c.size()), options, 0, 0,
                               "test", status);
  }
  // Names (or full paths) of a list's records.
  static std::set<std::string> Names(QZList *list, bool skip_first = false) {
    std::set<std::string> out;
    for (uint32_t i = skip_first ? 1 : 0; i < list->count(list); ++i) {
      const auto *e = static_cast<const QZIOEDirEntry *>(list->entry_at(list, i)->value);
      out.insert(Narrow(e->name, e->name_length));
    }
    return out;
  }
  // What readdir says, without the dot names.
  std::set<std::string> SystemNames(const std::string &path, bool with_hidden) const {
    std::set<std::string> out;
    DIR *d = opendir(path.c_str());
    while (dirent *e = readdir(d))
      if (with_hidden || e->d_name[0] != '.') out.insert(e->d_name);
    closedir(d);
    return out;
  }

  std::string dir_;
};

TEST_F(DirectoryTest, ListingsMatchReaddirAndStat) {
  Touch("a", "12345");
  Touch("$HOME", "literal");
  Touch("b ", "blank");
  Touch(".hidden");
  ASSERT_EQ(mkdir(P("sub").c_str(), 0700), 0);
  ASSERT_EQ(symlink("nowhere", P("dangling").c_str()), 0);
  ASSERT_EQ(symlink("loop", P("loop").c_str()), 0);
  // A member whose information fails for a reason without a status of its
  // own is reported (the dangling link is simply not there).
  QZJournal *journal = qzk_journal_create(kernel_, 0);
  ext_->journal = journal;
  for (const uint32_t options :
       {0u, QZIOE_LIST_FULL_PATHS, QZIOE_LIST_INFO, QZIOE_LIST_FULL_PATHS | QZIOE_LIST_INFO}) {
    const auto c = Chars(dir_);
    int64_t count = 0;
    QZStatus status = 0;
    QZList *list = ext_->directorylist(ext_, c.data(), static_cast<uint32_t>(c.size()), 0, options,
                                       &count, &status);
    ASSERT_NE(list, nullptr) << qzk_status_name(status);
    EXPECT_EQ(count, int64_t(list->count(list)));
    const auto *own = static_cast<const QZIOEDirEntry *>(list->entry_at(list, 0)->value);
    EXPECT_EQ(Narrow(own->name, own->name_length), dir_) << "the directory's own record first";
    EXPECT_EQ(own->directory, 1u);
    std::set<std::string> expected;
    for (const std::string &name : SystemNames(dir_, false))
      expected.insert((options & QZIOE_LIST_FULL_PATHS) != 0 ? P(name) : name);
    EXPECT_EQ(Names(list, true), expected) << "options " << options;
    for (uint32_t i = 1; i < list->count(list); ++i) {
      const auto *e = static_cast<const QZIOEDirEntry *>(list->entry_at(list, i)->value);
      std::string name = Narrow(e->name, e->name_length);
      if ((options & QZIOE_LIST_FULL_PATHS) == 0) name = P(name);
      struct stat64 st {};
      const bool known = stat64(name.c_str(), &st) == 0;
      if ((options & QZIOE_LIST_INFO) != 0 && known) {
        EXPECT_EQ(e->size, st.st_size) << name;
        EXPECT_EQ(e->modified, double(st.st_mtime) + 315619200.0 - *kernel_->timezone_west) << name;
        EXPECT_EQ(e->directory, S_ISDIR(st.st_mode) ? 1u : 0u) << name;
      } else {
        EXPECT_EQ(e->size, -1) << name << " (unknown or not asked)";
        EXPECT_EQ(e->modified, -1.0) << name;
      }
      EXPECT_EQ(e->second_time, -1.0);
    }
    list->destroy(list);
    const std::string reported = qzk_journal_text(journal);
    EXPECT_EQ(qzk_journal_messages(journal), (options & QZIOE_LIST_INFO) != 0 ? 1u : 0u)
        << reported;
    EXPECT_TRUE(reported.empty() || reported.find(std::strerror(ELOOP)) != std::string::npos)
        << reported;
    qzk_journal_clear(journal);
  }
  ext_->journal = nullptr;
  qzk_journal_destroy(journal);
  // Kinds: the containing directory, the root, home, and no such kind.
  const auto file = Chars(P("a"));
  int64_t count = 0;
  QZStatus status = 0;
  QZList *list = ext_->directorylist(ext_, file.data(), static_cast<uint32_t>(file.size()), 1, 0,
                                     &count, &status);
  ASSERT_NE(list, nullptr) << qzk_status_name(status);
  EXPECT_EQ(Names(list, true), SystemNames(dir_, false));
  list->destroy(list);
  list = ext_->directorylist(ext_, nullptr, 0, 2, 0, &count, &status);
  ASSERT_NE(list, nullptr) << qzk_status_name(status);
  EXPECT_EQ(Names(list, true), SystemNames("/", false));
  list->destroy(list);
  EXPECT_EQ(ext_->directorylist(ext_, nullptr, 0, 4, 0, &count, &status), nullptr);
  EXPECT_EQ(status, QZS_BAD_VALUE);
  const auto slash = Chars(dir_ + "/");
  EXPECT_EQ(ext_->directorylist(ext_, slash.data(), static_cast<uint32_t>(slash.size()), 1, 0,
                                &count, &status),
            nullptr);
  EXPECT_EQ(status, QZIOE_NO_MEMBER);
  // An empty name is the working directory: kind 1 lists its parent.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(P("sub").c_str()), 0);
  list = ext_->directorylist(ext_, nullptr, 0, 1, 0, &count, &status);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_NE(list, nullptr) << qzk_status_name(status);
  EXPECT_EQ(Names(list, true), SystemNames(dir_, false));
  list->destroy(list);
  // A failed listing leaves the caller's count alone.
  const auto missing = Chars(P("missing"));
  count = 77;
  EXPECT_EQ(ext_->directorylist(ext_, missing.data(), static_cast<uint32_t>(missing.size()), 0, 0,
                                &count, &status),
            nullptr);
  EXPECT_EQ(status, QZIOE_NOT_FOUND);
  EXPECT_EQ(count, 77);
}

// Both listings with information take the kernel's zone as a single name's
// MODTIME does, whatever the zone.
TEST_F(DirectoryTest, ListingTimesFollowTheKernelsZone) {
  for (int i = 0; i < 40; ++i)
    Touch("m" + std::to_string(i), std::string(size_t(i), 'x'));
  const auto c = Chars(dir_);
  for (const int32_t west : {-3600, 0, 19800}) {
    qzk_set_timezone(kernel_, west);
    auto expected = [&](const std::string &path) {
      struct stat64 st {};
      EXPECT_EQ(stat64(path.c_str(), &st), 0) << path;
      return double(st.st_mtime) + 315619200.0 - west;
    };
    int64_t count = 0;
    QZStatus status = 0;
    QZList *list = ext_->directorylist(ext_, c.data(), static_cast<uint32_t>(c.size()),
                                       QZIOE_LIST_NAMED, QZIOE_LIST_INFO, &count, &status);
    ASSERT_NE(list, nullptr) << qzk_status_name(status);
    ASSERT_EQ(count, 41);
    for (uint32_t i = 1; i < list->count(list); ++i) {
      const auto *e = static_cast<const QZIOEDirEntry *>(list->entry_at(list, i)->value);
      EXPECT_EQ(e->modified, expected(P(Narrow(e->name, e->name_length)))) << west;
    }
    list->destroy(list);

    QZIOEDirectory *d = Open(dir_, 0, &status);
    ASSERT_NE(d, nullptr) << qzk_status_name(status);
    list = d->member_list(d, ext_->pool, QZIOE_LIST_INFO, &count, &status);
    ASSERT_NE(list, nullptr) << qzk_status_name(status);
    for (uint32_t i = 0; i < list->count(list); ++i) {
      const auto *e = static_cast<const QZIOEDirEntry *>(list->entry_at(list, i)->value);
      const std::vector<QZChar> key = Chars("MODTIME");
      QZListEntry *item = e->info->find(e->info, key.data(), uint32_t(key.size() * 4));
      ASSERT_NE(item, nullptr);
      double time = 0;
      std::memcpy(&time, static_cast<const QZIOEInfoItem *>(item->value)->value, sizeof time);
      EXPECT_EQ(time, expected(Narrow(e->name, e->name_length))) << west; // a full path
    }
    list->destroy(list);
    EXPECT_EQ(d->close(d), QZ_OK);
  }
}

TEST_F(DirectoryTest, HandlesReadTestAndListMembers) {
  Touch("abcd");
  Touch("$HOME");
  Touch("x");
  Touch(".h");
  QZStatus status = 0;
  QZIOEDirectory *d = Open(dir_, 0, &status);
  ASSERT_NE(d, nullptr) << qzk_status_name(status);
  EXPECT_EQ(Word(d, 0), QZ_OBJECT_MAGIC);
  EXPECT_STREQ(d->label, "test");
  // A caller's member name is built as any name is: trailing blanks go and
  // references are expanded.
  setenv("QZIOE_TEST_MEMBER", "abcd", 1);
  for (const auto &[member, expected] :
       std::map<std::string, QZStatus>{{"abcd", QZ_OK},
                                       {"abcd   ", QZ_OK},
                                       {"$QZIOE_TEST_MEMBER", QZ_OK},
                                       {"nope", QZIOE_NOT_FOUND},
                                       {"$QZIOE_TEST_UNSET", QZIOE_NOT_FOUND}}) {
    const auto c = Chars(member);
    EXPECT_EQ(d->member_exist(d, c.data(), static_cast<int32_t>(c.size())), expected) << member;
  }
  unsetenv("QZIOE_TEST_MEMBER");
  EXPECT_EQ(d->member_exist(d, Chars("x").data(), 0), QZIOE_BAD_MEMBER_NAME);
  // A name that does not fit is consumed; the next read gives the next.
  std::set<std::string> seen;
  QZChar buffer[64];
  uint32_t length = 3;
  int too_small = 0;
  for (;;) {
    const QZStatus read = d->read(d, buffer, &length, 4);
    if (read == QZIOE_END_OF_FILE) break;
    if (read == QZIOE_NAME_BUFFER_TOO_SMALL) {
      ++too_small;
    } else {
      ASSERT_EQ(read, QZ_OK);
      seen.insert(Narrow(buffer, length));
    }
    length = seen.size() == 0 ? 3 : 64;
    if (seen.size() == 1) break; // leave the rest to the member list
  }
  EXPECT_EQ(seen.count(".h"), 0u) << "hidden names are passed over";
  int64_t count = 0;
  QZList *list =
      d->member_list(d, ext_->pool, QZIOE_LIST_FULL_PATHS | QZIOE_LIST_INFO, &count, &status);
  std::set<std::string> rest;
  if (list != nullptr) {
    for (uint32_t i = 0; i < list->count(list); ++i) {
      const auto *e = static_cast<const QZIOEDirEntry *>(list->entry_at(list, i)->value);
      rest.insert(Narrow(e->name, e->name_length).substr(dir_.size() + 1));
      EXPECT_NE(e->info, nullptr) << "an information list per member";
    }
    list->destroy(list);
  }
  EXPECT_EQ(status, QZ_OK);
  EXPECT_EQ(count, int64_t(rest.size()));
  std::set<std::string> all = seen;
  all.insert(rest.begin(), rest.end());
  std::set<std::string> expected = SystemNames(dir_, false);
  // The members cut by the small buffer are gone from both.
  EXPECT_EQ(all.size() + too_small, expected.size());
  for (const std::string &name : all)
    EXPECT_EQ(expected.count(name), 1u) << name;
  EXPECT_EQ(d->close(d), QZ_OK);

  // A directory of hidden names only: no list, status 0; with option 4 the
  // dot names are delivered too.
  ASSERT_EQ(mkdir(P("only").c_str(), 0700), 0);
  Touch("only/.x");
  for (const uint32_t options : {0u, QZIOE_DIR_HIDDEN}) {
    d = Open(P("only"), options, &status);
    ASSERT_NE(d, nullptr);
    list = d->member_list(d, ext_->pool, 0, &count, &status);
    EXPECT_EQ(status, QZ_OK);
    EXPECT_EQ(count, options == 0 ? 0 : 3);
    if (list != nullptr) {
      EXPECT_EQ(Names(list), (std::set<std::string>{".", "..", ".x"}));
      list->destroy(list);
    }
    EXPECT_EQ(d->close(d), QZ_OK);
  }
  EXPECT_EQ(Open(P("missing"), 0, &status), nullptr);
  EXPECT_EQ(status, QZIOE_NOT_FOUND);
}

TEST_F(DirectoryTest, EachAllocationFailureLeavesNothing) {
  Touch("a", "1");
  Touch("b", "22");
  const QZKStats baseline = Stats();
  for (const bool handle : {true, false}) {
    for (uint32_t n = 1;; ++n) {
      ASSERT_LT(n, 200u);
      const uint32_t before = qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION);
      qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, n);
      QZStatus status = 0;
      int64_t count = 77;
      bool complete = false;
      if (handle) {
        QZIOEDirectory *d = Open(dir_, 0, &status);
        if (d != nullptr) {
          QZList *list = d->member_list(d, ext_->pool, QZIOE_LIST_INFO, &count, &status);
          complete = list != nullptr && count == 2;
          if (list != nullptr) list->destroy(list);
          d->close(d);
        }
      } else {
        const auto c = Chars(dir_);
        QZList *list =
            ext_->directorylist(ext_, c.data(), static_cast<uint32_t>(c.size()), 0,
                                QZIOE_LIST_FULL_PATHS | QZIOE_LIST_INFO, &count, &status);
        complete = list != nullptr && count == 3;
        if (list != nullptr) list->destroy(list);
      }
      const bool failed_here = qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION) - before >= n;
      qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 0);
      EXPECT_EQ(Stats().blocks, baseline.blocks) << n;
      EXPECT_EQ(Stats().lists, baseline.lists) << n;
      EXPECT_EQ(Stats().pools, baseline.pools) << n;
      if (!failed_here) {
        EXPECT_TRUE(complete);
        break;
      }
      EXPECT_FALSE(complete && status != QZ_OK) << n;
      if (status != QZ_OK) {
        EXPECT_EQ(count, 77) << "a failed listing keeps the caller's count (" << n << ")";
      }
    }
  }
}

} // namespace
} // namespace qztest
