// One fault sweep over every service of the extension object and every
// record method. Each scenario is a host's complete use of one service (or
// of one record method, from open to close). It runs once clean, counting
// what it does; then once per allocation, per other kernel operation that
// can fail, and per system call, with exactly that one failing. Every run
// must end with a status (never a crash), a clean run must succeed, and
// afterwards the stand-in's counters and the descriptor table must be back
// where they were.
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "file_fixture.h"
#include "qzioe/fileio.h"
#include "qzioe/fsops.h"
#include "qzioe/paths.h"
#include "syscall_faults.h"

namespace qztest {
namespace {

using qzfault::Call;

constexpr QZKFault kKernelFaults[] = {
    QZK_FAULT_ALLOCATION, QZK_FAULT_LOCK_ACQUIRE,  QZK_FAULT_NAMED_VALUE, QZK_FAULT_CONVERT,
    QZK_FAULT_LIST_ADD,   QZK_FAULT_ENCODING_INFO, QZK_FAULT_TEXT_LENGTH, QZK_FAULT_LOCK_RELEASE};

int OpenDescriptors() {
  int count = 0;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr)
      ++count;
    closedir(d);
  }
  return count;
}

class SweepTest : public FileTest {
protected:
  // The directory as every run finds it: a text file in UTF-16LE with its
  // mark, a UTF-8 file, a binary file and a small tree.
  void Prepare() {
    Clear();
    Write("utf16", std::string("\xff\xfe", 2) + std::string("h\0i\0\n\0\xe9\0\n\0", 10));
    Write("utf8", "first line\r\nsecond \xc3\xa9\nlast");
    Write("bin", std::string(20000, 'b'));
    ::mkdir(Path("tree").c_str(), 0700);
    Write("tree/a", "alpha");
    ::mkdir(Path("tree/sub").c_str(), 0700);
    Write("tree/sub/b", "beta");
  }
  void Clear() {
    nftw(
        dir_.c_str(),
        [](const char *path, const struct stat *, int, struct FTW *at) {
          return at->level == 0 ? 0 : ::remove(path);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }
  void Write(const std::string &name, const std::string &bytes) {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string Read(const std::string &name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<QZChar> Name(const std::string &name) const { return Chars(Path(name)); }

  // --- what a host does ------------------------------------------------------

  // Opens, runs `use` on the handle, closes; the first failing status.
  QZStatus WithFile(const std::string &name, QZIOEOpenOptions options,
                    const std::function<QZStatus(QZIOEFile *)> &use) {
    const auto path = Name(name);
    QZStatus status = 0xdeadbeefu;
    QZIOEFile *file = ext_->open(ext_, path.data(), static_cast<int32_t>(path.size()), &options, 0,
                                 0, "sweep", &status);
    if (file == nullptr) return status == QZ_OK ? QZS_BAD_VALUE : status;
    const QZStatus used = use(file);
    const QZStatus closed = file->close(file);
    return used != QZ_OK ? used : closed;
  }
  static QZStatus ReadAll(QZIOEFile *file, uint32_t request = 0) {
    for (int guard = 0; guard < 100000; ++guard) {
      void *address = nullptr;
      uint32_t length = request;
      const QZStatus status = file->read(file, &address, &length, 0, nullptr);
      if (status == QZIOE_END_OF_FILE) return QZ_OK;
      if (status != QZ_OK && status != QZIOE_RECORD_SPLIT) return status;
    }
    return QZS_BAD_VALUE;
  }
  static QZStatus WriteLines(QZIOEFile *file, const std::u32string &text, int times) {
    for (int i = 0; i < times; ++i)
      if (const QZStatus status =
              file->write(file, text.data(), static_cast<uint32_t>(text.size() * 4), 0, nullptr);
          status != QZ_OK)
        return status;
    return QZ_OK;
  }
  static QZIOEOpenOptions Options(uint32_t mode, uint32_t buffered, uint32_t length,
                                  uint32_t format, uint32_t file_encoding = 0,
                                  uint32_t record_encoding = 0, uint32_t flags = 0) {
    QZIOEOpenOptions options{};
    options.open_mode = mode;
    options.buffered = buffered;
    options.record_length = length;
    options.record_format = format;
    options.file_encoding = file_encoding;
    options.record_encoding = record_encoding;
    options.options = flags;
    return options;
  }
  // A list is the success; the status word only tells why there is none.
  // It is taken by reference, so it is read after the call that sets it.
  static QZStatus Listed(QZList *list, const QZStatus &status) {
    if (list == nullptr) return status == QZ_OK ? QZS_BAD_VALUE : status;
    list->destroy(list);
    return QZ_OK;
  }

  struct Scenario {
    const char *name;
    std::function<QZStatus()> run;
    // What a successful run must have done, checked with no fault armed.
    std::function<void()> verify = [] {};
  };

  std::vector<Scenario> Scenarios() {
    const std::u32string line = U"caf\u00e9 \U0001f600 line";
    const QZIOEOpenOptions binary_out = Options(QZIOE_MODE_OUTPUT, 1, 8192, QZIOE_FORMAT_BINARY);
    return {
        {"lines, buffered, read UTF-16LE as 32-bit characters",
         [=, this] {
           return WithFile("utf16",
                           Options(QZIOE_MODE_INPUT, 1, 80, QZIOE_FORMAT_VARIABLE, QZ_ENC_UTF16LE),
                           [](QZIOEFile *f) { return ReadAll(f); });
         }},
        {"lines, buffered, written as UTF-16LE with a mark",
         [=, this] {
           return WithFile("new",
                           Options(QZIOE_MODE_OUTPUT, 1, 80, QZIOE_FORMAT_VARIABLE, QZ_ENC_UTF16LE),
                           [&](QZIOEFile *f) { return WriteLines(f, line, 3); });
         }},
        {"lines, direct, read and written in update mode",
         [=, this] {
           return WithFile("utf8",
                           Options(QZIOE_MODE_UPDATE, 0, 80, QZIOE_FORMAT_VARIABLE, QZ_ENC_UTF8),
                           [&](QZIOEFile *f) {
                             if (const QZStatus s = ReadAll(f); s != QZ_OK) return s;
                             return WriteLines(f, line, 2);
                           });
         }},
        {"lines, direct, appended",
         [=, this] {
           return WithFile("utf8",
                           Options(QZIOE_MODE_APPEND, 0, 80, QZIOE_FORMAT_VARIABLE, QZ_ENC_UTF8),
                           [&](QZIOEFile *f) { return WriteLines(f, line, 2); });
         }},
        {"stream, buffered, read and written",
         [=, this] {
           const QZStatus read = WithFile("utf16",
                                          Options(QZIOE_MODE_INPUT, 1, 16, QZIOE_FORMAT_STREAM,
                                                  QZ_ENC_UTF16LE, QZ_ENC_UTF32LE),
                                          [](QZIOEFile *f) { return ReadAll(f, 8); });
           if (read != QZ_OK) return read;
           return WithFile("new",
                           Options(QZIOE_MODE_OUTPUT, 1, 64, QZIOE_FORMAT_STREAM, QZ_ENC_UTF16BE,
                                   QZ_ENC_UTF32LE),
                           [&](QZIOEFile *f) { return WriteLines(f, line, 3); });
         }},
        {"stream, direct, read into the caller's buffer and written",
         [=, this] {
           const QZStatus read = WithFile("utf8",
                                          Options(QZIOE_MODE_INPUT, 0, 16, QZIOE_FORMAT_STREAM,
                                                  QZ_ENC_UTF8, QZ_ENC_UTF8, QZIOE_OPT_USER_BUFFER),
                                          [](QZIOEFile *f) {
                                            char buffer[16];
                                            for (;;) {
                                              void *address = buffer;
                                              uint32_t length = sizeof buffer;
                                              const QZStatus s =
                                                  f->read(f, &address, &length, 0, nullptr);
                                              if (s == QZIOE_END_OF_FILE) return QZ_OK;
                                              if (s != QZ_OK) return s;
                                            }
                                          });
           if (read != QZ_OK) return read;
           return WithFile(
               "new",
               Options(QZIOE_MODE_OUTPUT, 0, 64, QZIOE_FORMAT_STREAM, QZ_ENC_UTF8, QZ_ENC_UTF32LE),
               [&](QZIOEFile *f) { return WriteLines(f, line, 2); });
         }},
        {"binary: buffered writes and flush; direct write, note, point, truncate, positions",
         [=, this] {
           const QZStatus written = WithFile("new", binary_out, [](QZIOEFile *f) {
             const std::string block(9000, 'x');
             for (int i = 0; i < 3; ++i)
               if (const QZStatus s = f->write(f, block.data(), 9000, 0, nullptr); s != QZ_OK)
                 return s;
             return f->flush(f);
           });
           if (written != QZ_OK) return written;
           return WithFile("new", Options(QZIOE_MODE_UPDATE, 0, 8192, QZIOE_FORMAT_BINARY),
                           [](QZIOEFile *f) {
                             if (const QZStatus s = f->write(f, "abc", 3, 0, nullptr); s != QZ_OK)
                               return s;
                             int64_t at = 0, other = 0;
                             if (const QZStatus s = f->note(f, &at); s != QZ_OK) return s;
                             at = 100;
                             if (const QZStatus s = f->point(f, &at, 0); s != QZ_OK) return s;
                             const int64_t length = 5000;
                             if (const QZStatus s = f->truncate(f, &length); s != QZ_OK) return s;
                             // The conversion words answer for themselves (some
                             // refuse); only that they leave nothing behind counts.
                             f->position2record(f, 0, 0);
                             f->record2position(f, 0, 0);
                             f->position2byte(f, &at, &other);
                             f->byte2position(f, &other, &at);
                             return f->flush(f);
                           });
         }},
        {"binary, buffered and direct reads",
         [=, this] {
           const QZStatus buffered =
               WithFile("bin", Options(QZIOE_MODE_INPUT, 1, 5000, QZIOE_FORMAT_BINARY),
                        [](QZIOEFile *f) { return ReadAll(f, 3000); });
           if (buffered != QZ_OK) return buffered;
           return WithFile("bin", Options(QZIOE_MODE_INPUT, 0, 5000, QZIOE_FORMAT_BINARY),
                           [](QZIOEFile *f) { return ReadAll(f, 4096); });
         }},
        {"journal attached to a handle",
         [=, this] {
           return WithFile("new", binary_out, [&](QZIOEFile *f) {
             QZJournal *journal = qzk_journal_create(kernel_, 0);
             const QZStatus s = f->attachjnl(f, journal);
             f->attachjnl(f, nullptr);
             qzk_journal_destroy(journal);
             return s;
           });
         }},
        {"versions",
         [this] {
           int32_t major = 0, minor = 0, patch = 0;
           const QZStatus s = ext_->getversion(ext_, &major, &minor, &patch);
           return s != QZ_OK ? s : ext_->getreqversion(ext_, &major, &minor, &patch);
         }},
        {"build path",
         [this] {
           const auto dir = Chars(dir_), name = Chars("file"), extension = Chars("txt");
           QZChar *path = nullptr;
           uint32_t length = 0;
           const QZStatus s = ext_->buildpath(ext_, dir.data(), static_cast<uint32_t>(dir.size()),
                                              name.data(), 4, extension.data(), 3, &path, &length);
           if (path != nullptr) ext_->buildpathdestroy(ext_, path);
           return s;
         }},
        {"split path",
         [this] {
           const auto path = Chars("/a/b/name.ext");
           QZChar *d = nullptr, *n = nullptr, *b = nullptr, *e = nullptr;
           uint32_t dl = 0, nl = 0, bl = 0, el = 0;
           const QZStatus s = ext_->splitpath(ext_, path.data(), static_cast<uint32_t>(path.size()),
                                              &d, &dl, &n, &nl, &b, &bl, &e, &el);
           if (s == QZ_OK) ext_->splitpathdestroy(ext_, d, n, b, e);
           return s;
         }},
        {"unique name",
         [this] {
           const auto dir = Chars(dir_), prefix = Chars("tmp"), extension = Chars("dat");
           const QZIOENameRequest request{prefix.data(), 3, extension.data(), 3,
                                          QZIOE_NAME_WITH_EXTENSION};
           QZChar *path = nullptr;
           uint32_t length = 0;
           const QZStatus s = ext_->createname(ext_, dir.data(), static_cast<uint32_t>(dir.size()),
                                               &request, &path, &length);
           if (path != nullptr) ext_->createnamedestroy(ext_, path);
           return s;
         }},
        {"exist",
         [this] {
           const auto n = Name("utf8");
           return ext_->exist(ext_, n.data(), static_cast<uint32_t>(n.size()));
         }},
        {"make directory",
         [this] {
           const auto n = Name("made");
           return ext_->makedirectory(ext_, n.data(), static_cast<uint32_t>(n.size()));
         }},
        {"remove a file",
         [this] {
           const auto n = Name("bin");
           return ext_->remove(ext_, n.data(), static_cast<uint32_t>(n.size()), 0);
         }},
        {"remove a tree",
         [this] {
           const auto n = Name("tree");
           return ext_->remove(ext_, n.data(), static_cast<uint32_t>(n.size()), QZIOE_REMOVE_TREE);
         }},
        {"rename",
         [this] {
           const auto a = Name("utf8"), b = Name("renamed");
           return ext_->rename(ext_, a.data(), static_cast<uint32_t>(a.size()), b.data(),
                               static_cast<uint32_t>(b.size()));
         }},
        {"copy a file and a tree",
         [this] {
           const auto a = Name("bin"), b = Name("bin2"), t = Name("tree"), u = Name("tree2");
           const QZStatus s = ext_->copy(ext_, a.data(), static_cast<uint32_t>(a.size()), b.data(),
                                         static_cast<uint32_t>(b.size()));
           if (s != QZ_OK) return s;
           const QZStatus tree = ext_->copy(ext_, t.data(), static_cast<uint32_t>(t.size()),
                                            u.data(), static_cast<uint32_t>(u.size()));
           return tree;
         },
         // A copy that succeeds is whole, whatever failed on the way.
         [this] {
           EXPECT_EQ(Read("bin2"), std::string(20000, 'b'));
           EXPECT_EQ(Read("tree2/a"), "alpha");
           EXPECT_EQ(Read("tree2/sub/b"), "beta");
         }},
        {"file information",
         [this] {
           const auto n = Name("bin");
           QZStatus s = 0xdeadbeefu;
           return Listed(
               ext_->info(ext_, ext_->pool, n.data(), static_cast<uint32_t>(n.size()), &s), s);
         }},
        {"file-system information",
         [this] {
           const auto n = Name("bin");
           QZStatus s = 0xdeadbeefu;
           return Listed(ext_->fsinfo(ext_, n.data(), static_cast<uint32_t>(n.size()), &s), s);
         }},
        {"directory handle: member test, member list, reads",
         [this] {
           const auto n = Name("tree");
           QZStatus s = 0xdeadbeefu;
           QZIOEDirectory *d = ext_->directoryopen(ext_, n.data(), static_cast<int32_t>(n.size()),
                                                   QZIOE_DIR_HIDDEN, 0, 0, "sweep", &s);
           if (d == nullptr) return s == QZ_OK ? QZS_BAD_VALUE : s;
           const auto member = Chars("a");
           QZStatus first = d->member_exist(d, member.data(), 1);
           int64_t count = 0;
           QZStatus listed = 0xdeadbeefu;
           listed = Listed(d->member_list(d, ext_->pool, QZIOE_LIST_INFO, &count, &listed), listed);
           if (first == QZ_OK) first = listed;
           for (int i = 0; i < 8 && first == QZ_OK; ++i) {
             QZChar buffer[256];
             uint32_t length = 256;
             const QZStatus r = d->read(d, buffer, &length, 0);
             if (r == QZIOE_END_OF_FILE) break;
             first = r;
           }
           const QZStatus closed = d->close(d);
           return first != QZ_OK ? first : closed;
         }},
        {"directory list",
         [this] {
           const auto n = Chars(dir_);
           int64_t count = 0;
           QZStatus s = 0xdeadbeefu;
           return Listed(ext_->directorylist(ext_, n.data(), static_cast<uint32_t>(n.size()),
                                             QZIOE_LIST_NAMED,
                                             QZIOE_LIST_FULL_PATHS | QZIOE_LIST_INFO, &count, &s),
                         s);
         }},
    };
  }
};

struct Tally {
  uint32_t runs = 0, kernel = 0, system = 0, failed = 0, absorbed = 0;
};

TEST_F(SweepTest, EveryServiceAndRecordMethodFailsCleanlyAtEveryStep) {
  Tally tally;
  for (const Scenario &scenario : Scenarios()) {
    SCOPED_TRACE(scenario.name);
    Prepare();
    const QZKStats baseline = Stats();
    const int descriptors = OpenDescriptors();
    // Everything a run leaves must be what it was before it.
    auto expect_clean = [&](const std::string &after) {
      const QZKStats now = Stats();
      EXPECT_EQ(now.blocks, baseline.blocks) << after;
      EXPECT_EQ(now.bytes, baseline.bytes) << after;
      EXPECT_EQ(now.pools, baseline.pools) << after;
      EXPECT_EQ(now.locks, baseline.locks) << after;
      EXPECT_EQ(now.lists, baseline.lists) << after;
      EXPECT_EQ(now.transcoders, baseline.transcoders) << after;
      EXPECT_EQ(now.descriptors, baseline.descriptors) << after;
      EXPECT_EQ(now.misuses, baseline.misuses) << after;
      EXPECT_EQ(OpenDescriptors(), descriptors) << after;
    };
    auto outcome = [&](QZStatus status, const std::string &after) {
      ++tally.runs;
      if (status == QZ_OK)
        ++tally.absorbed;
      else
        ++tally.failed;
      EXPECT_STRNE(qzk_status_name(status), "unknown status") << std::hex << status << " " << after;
    };

    // The clean run, counted.
    uint32_t kernel_before[std::size(kKernelFaults)];
    for (size_t k = 0; k < std::size(kKernelFaults); ++k)
      kernel_before[k] = qzk_operation_count(kernel_, kKernelFaults[k]);
    qzfault::disarm_all();
    const QZStatus clean = scenario.run();
    uint32_t system_calls[static_cast<size_t>(Call::count_)];
    for (size_t c = 0; c < static_cast<size_t>(Call::count_); ++c)
      system_calls[c] = qzfault::calls(static_cast<Call>(c));
    uint32_t kernel_operations[std::size(kKernelFaults)];
    for (size_t k = 0; k < std::size(kKernelFaults); ++k)
      kernel_operations[k] = qzk_operation_count(kernel_, kKernelFaults[k]) - kernel_before[k];
    ASSERT_EQ(clean, QZ_OK) << qzk_status_name(clean);
    scenario.verify();
    ++tally.runs;
    expect_clean("the clean run");

    for (size_t k = 0; k < std::size(kKernelFaults); ++k) {
      for (uint32_t n = 1; n <= kernel_operations[k]; ++n) {
        Prepare();
        qzk_fail_nth(kernel_, kKernelFaults[k], n);
        const QZStatus status = scenario.run();
        qzk_fail_nth(kernel_, kKernelFaults[k], 0);
        if (status == QZ_OK) scenario.verify();
        ++tally.kernel;
        const std::string after =
            "kernel fault " + std::to_string(kKernelFaults[k]) + " at " + std::to_string(n);
        outcome(status, after);
        expect_clean(after);
      }
    }
    for (size_t c = 0; c < static_cast<size_t>(Call::count_); ++c) {
      for (uint32_t n = 1; n <= system_calls[c]; ++n) {
        Prepare();
        qzfault::ScopedFaults faults;
        qzfault::Fault fault;
        fault.call = static_cast<Call>(c);
        fault.nth = n;
        fault.error = EIO;
        qzfault::arm(fault);
        const QZStatus status = scenario.run();
        qzfault::disarm_all();
        if (status == QZ_OK) scenario.verify();
        ++tally.system;
        const std::string after =
            "system call " + std::to_string(c) + " failing at " + std::to_string(n);
        outcome(status, after);
        expect_clean(after);
      }
    }
  }
  std::printf("sweep: %zu scenarios, %u runs, %u failures injected (%u kernel operations, %u "
              "system calls): %u ended with a failing status, %u were absorbed\n",
              Scenarios().size(), tally.runs, tally.kernel + tally.system, tally.kernel,
              tally.system, tally.failed, tally.absorbed);
  EXPECT_GT(tally.kernel, 100u);
  EXPECT_GT(tally.system, 100u);
}

} // namespace
} // namespace qztest
