// Opening and closing file handles through the extension's open word: option
// validation, the descriptor, clean-up after every failure, file modes and
// locks, and the handle's small methods.
#include <pwd.h>
#include <sys/wait.h>

#include <cstring>

#include "file_fixture.h"

namespace qztest {
namespace {

using OpenTest = FileTest;

// --- validation -------------------------------------------------------------

struct Invalid {
  const char *name;
  void (*spoil)(QZIOEOpenOptions &);
  QZStatus expected;
};

class OpenValidationTest : public FileTest, public ::testing::WithParamInterface<Invalid> {};

TEST_P(OpenValidationTest, RefusesAndLeavesNothing) {
  QZIOEOpenOptions options = Options(QZIOE_MODE_OUTPUT);
  GetParam().spoil(options);
  QZStatus status = 0;
  EXPECT_EQ(Open(Path("f"), options, &status), nullptr);
  EXPECT_EQ(status, GetParam().expected) << qzk_status_name(status);
  EXPECT_FALSE(Exists(Path("f"))) << "refused before the file was touched";
  ExpectBaseline();
}

INSTANTIATE_TEST_SUITE_P(
    Fields, OpenValidationTest,
    ::testing::Values(
        Invalid{"Mode4", [](QZIOEOpenOptions &o) { o.open_mode = 4; }, QZIOE_BAD_MODE},
        Invalid{"ModeNegative", [](QZIOEOpenOptions &o) { o.open_mode = uint32_t(-1); },
                QZIOE_BAD_MODE},
        Invalid{"Buffered2", [](QZIOEOpenOptions &o) { o.buffered = 2; }, QZIOE_BAD_BUFFERING},
        Invalid{"BufferedNegative", [](QZIOEOpenOptions &o) { o.buffered = uint32_t(-1); },
                QZIOE_BAD_BUFFERING},
        Invalid{"Format5", [](QZIOEOpenOptions &o) { o.record_format = 5; }, QZIOE_BAD_FORMAT},
        Invalid{"FormatNegative", [](QZIOEOpenOptions &o) { o.record_format = uint32_t(-1); },
                QZIOE_BAD_FORMAT},
        Invalid{"AuxSwitch2", [](QZIOEOpenOptions &o) { o.aux_switch = 2; }, QZIOE_BAD_SWITCH},
        Invalid{"LockOption5", [](QZIOEOpenOptions &o) { o.lock_option = 5; },
                QZIOE_BAD_LOCK_OPTION},
        Invalid{"LockOptionNegative", [](QZIOEOpenOptions &o) { o.lock_option = uint32_t(-1); },
                QZIOE_BAD_LOCK_OPTION},
        // The first fault in field order wins.
        Invalid{"ModeBeforeBuffered",
                [](QZIOEOpenOptions &o) {
                  o.open_mode = 9;
                  o.buffered = 9;
                },
                QZIOE_BAD_MODE},
        Invalid{"BufferedBeforeFormat",
                [](QZIOEOpenOptions &o) {
                  o.buffered = 9;
                  o.record_format = 9;
                },
                QZIOE_BAD_BUFFERING},
        Invalid{"FormatBeforeSwitch",
                [](QZIOEOpenOptions &o) {
                  o.record_format = 9;
                  o.aux_switch = 9;
                },
                QZIOE_BAD_FORMAT},
        Invalid{"SwitchBeforeLock",
                [](QZIOEOpenOptions &o) {
                  o.aux_switch = 9;
                  o.lock_option = 9;
                },
                QZIOE_BAD_SWITCH},
        // Format 2 passes validation and is refused by method selection.
        Invalid{"Format2", [](QZIOEOpenOptions &o) { o.record_format = 2; }, QZIOE_BAD_FORMAT},
        // Buffer sizes that would wrap 32 bits are refused.
        Invalid{"HugeRecordLengthBufferedInput",
                [](QZIOEOpenOptions &o) {
                  o.open_mode = QZIOE_MODE_INPUT;
                  o.record_length = 0xffffffffu;
                },
                QZS_NO_MEMORY}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

TEST_F(OpenTest, PathLengthLimit) {
  // Repeated slashes name the same directory and make up the length.
  const std::string tail = "/f";
  std::string path = dir_ + std::string(1024 - dir_.size() - tail.size(), '/') + tail;
  ASSERT_EQ(path.size(), 1024u);
  // The path goes to qzfsx as given: path expansion works in an area of
  // 1024 bytes with its terminator and refuses 1024 characters itself.
  QZIOEOpenOptions options = Options(QZIOE_MODE_OUTPUT);
  options.options = QZIOE_OPT_NO_EXPAND;
  QZIOEFile *file = MustOpen(path, options);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->d_path_length, 1024u);
  EXPECT_EQ(Narrow(file->d_path, 1024), path);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_TRUE(Exists(Path("f")));

  path.insert(0, "/");
  const uint32_t allocations = qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION);
  QZStatus status = 0;
  EXPECT_EQ(Open(path, options, &status), nullptr);
  EXPECT_EQ(status, QZIOE_NAME_TOO_LONG);
  EXPECT_EQ(qzk_operation_count(kernel_, QZK_FAULT_ALLOCATION), allocations) << "no pool made";
  ExpectBaseline();
}

TEST_F(OpenTest, MissingArgumentsGiveNullWithAFailure) {
  const QZIOEOpenOptions options = Options(QZIOE_MODE_OUTPUT);
  const std::vector<QZChar> path = Chars(Path("f"));
  const auto n = static_cast<int32_t>(path.size());
  QZStatus status = 0xdeadbeefu;
  EXPECT_EQ(ext_->open(ext_, nullptr, n, &options, 0, 0, nullptr, &status), nullptr);
  EXPECT_EQ(status, QZIOE_BAD_NAME);
  status = 0xdeadbeefu;
  EXPECT_EQ(ext_->open(ext_, path.data(), 0, &options, 0, 0, nullptr, &status), nullptr);
  EXPECT_EQ(status, QZIOE_BAD_NAME);
  status = 0xdeadbeefu;
  EXPECT_EQ(ext_->open(ext_, path.data(), -5, &options, 0, 0, nullptr, &status), nullptr);
  EXPECT_EQ(status, QZIOE_BAD_NAME);
  status = 0xdeadbeefu;
  EXPECT_EQ(ext_->open(ext_, path.data(), n, nullptr, 0, 0, nullptr, &status), nullptr);
  EXPECT_EQ(status, QZS_BAD_VALUE);
  // Without a status pointer nothing is opened, created or written.
  EXPECT_EQ(ext_->open(ext_, path.data(), n, &options, 0, 0, nullptr, nullptr), nullptr);
  EXPECT_FALSE(Exists(Path("f")));
  ExpectBaseline();
}

// --- the handle as open fills it --------------------------------------------

TEST_F(OpenTest, HeadWordsAndDescriptor) {
  QZIOEOpenOptions options = Options(QZIOE_MODE_OUTPUT, 1, 777);
  options.aux_switch = 1;
  options.lock_option = 2;
  options.aux_word_count = 3;
  options.aux_words[0] = 11;
  options.aux_words[1] = 22;
  options.aux_words[2] = 33;
  options.aux_words[3] = 44;
  // A binary handle ignores the encodings and never has a byte-order mark.
  options.file_encoding = QZ_ENC_UTF8;
  options.record_encoding = QZ_ENC_UTF16LE;
  options.options = QZIOE_OPT_NO_BOM;
  char label[] = "my label";
  QZStatus status = 0;
  QZIOEFile *file = Open(Path("f"), options, &status, label);
  ASSERT_EQ(status, QZ_OK);
  ASSERT_NE(file, nullptr);

  const unsigned char magic[4] = {0x6e, 0x65, 0x76, 0x6f};
  EXPECT_EQ(std::memcmp(file, magic, 4), 0);
  ASSERT_NE(file->label, nullptr);
  EXPECT_NE(file->label, label) << "a copy";
  EXPECT_STREQ(file->label, "my label");
  EXPECT_EQ(reinterpret_cast<const void *>(file->close), Address("qzioeclose"));
  EXPECT_EQ(reinterpret_cast<const void *>(file->flush), Address("skioe_flush"));
  EXPECT_EQ(reinterpret_cast<const void *>(file->read), Address("skioe_read_bin"));
  EXPECT_EQ(reinterpret_cast<const void *>(file->write), Address("skioe_write_bin"));
  EXPECT_EQ(reinterpret_cast<const void *>(file->truncate), Address("bkioetruncate"));
  EXPECT_EQ(reinterpret_cast<const void *>(file->attachjnl), Address("qzioeattachjnl"));
  for (QZWord w : file->reserved_4)
    EXPECT_EQ(w, 0u);
  EXPECT_EQ(file->reserved_15, 0u);
  if (QZ_LAYOUT_32) {
    auto word = [&](const char *name) {
      return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(Address(name)));
    };
    const struct {
      unsigned index;
      const char *name;
    } words[] = {{2, "qzioeclose"},
                 {3, "skioe_flush"},
                 {13, "skioe_read_bin"},
                 {14, "skioe_write_bin"},
                 {16, "bkioe_note"},
                 {17, "bkioe_point"},
                 {18, "qzioeposition2record"},
                 {19, "qzioerecord2position"},
                 {20, "bkioeposition2byte"},
                 {21, "bkioebyte2position"},
                 {22, "bkioetruncate"},
                 {23, "qzioeattachjnl"}};
    for (const auto &w : words)
      EXPECT_EQ(Word(file, w.index), word(w.name)) << w.name;
    EXPECT_EQ(Word(file, 1), static_cast<uint32_t>(reinterpret_cast<uintptr_t>(file->label)));
    for (unsigned w = 4; w <= 12; ++w)
      EXPECT_EQ(Word(file, w), 0u) << "word " << w;
    EXPECT_EQ(Word(file, 15), 0u);
  }

  const std::string path = Path("f");
  EXPECT_EQ(file->d_path_length, path.size());
  EXPECT_EQ(Narrow(file->d_path, file->d_path_length), path);
  EXPECT_EQ(file->d_open_mode, QZIOE_MODE_OUTPUT);
  EXPECT_EQ(file->d_buffered, 1u);
  EXPECT_EQ(file->d_record_length, 777u);
  EXPECT_EQ(file->d_zero, 0u);
  EXPECT_EQ(file->d_record_format, QZIOE_FORMAT_BINARY);
  EXPECT_EQ(file->d_aux_switch, 1u);
  EXPECT_EQ(file->d_lock_option, 2u);
  EXPECT_EQ(file->d_aux_word_count, 3u);
  EXPECT_EQ(file->d_aux_words[0], 11u);
  EXPECT_EQ(file->d_aux_words[2], 33u);
  EXPECT_EQ(file->d_aux_words[3], 0u) << "only the counted words";

  EXPECT_EQ(Private(file)->file_encoding, 0u);
  EXPECT_EQ(Private(file)->record_encoding, 0u);
  EXPECT_EQ(Private(file)->in_transcoder, nullptr);
  EXPECT_EQ(Private(file)->out_transcoder, nullptr);
  EXPECT_EQ(Private(file)->xcode_buf, nullptr);
  EXPECT_EQ(Private(file)->bom_len, 0u);
  EXPECT_EQ(Private(file)->options & QZIOE_OPT_NO_BOM, 0u) << "cleared: no mark to suppress";
  EXPECT_EQ(Private(file)->cc_max, 0u);
  EXPECT_EQ(Private(file)->block_size, 8192u);
  EXPECT_EQ(Private(file)->buffer_size, 8192u);
  EXPECT_EQ(file->close(file), QZ_OK);
}

TEST_F(OpenTest, AuxWordCountIsClamped) {
  const struct {
    int32_t given;
    uint32_t kept;
  } cases[] = {{40, 32}, {32, 32}, {0, 0}, {-1, 0}, {INT32_MIN, 0}};
  for (const auto &c : cases) {
    QZIOEOpenOptions options = Options(QZIOE_MODE_OUTPUT);
    for (uint32_t i = 0; i < 32; ++i)
      options.aux_words[i] = 100 + i;
    options.aux_word_count = c.given;
    QZIOEFile *file = MustOpen(Path("f"), options);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->d_aux_word_count, c.kept) << c.given;
    EXPECT_EQ(Private(file)->aux_word_count, static_cast<int32_t>(c.kept));
    for (uint32_t i = 0; i < 32; ++i)
      EXPECT_EQ(file->d_aux_words[i], i < c.kept ? 100 + i : 0u) << c.given << " word " << i;
    EXPECT_EQ(file->close(file), QZ_OK);
  }
}

TEST_F(OpenTest, UpdateModeIsAlwaysUnbuffered) {
  QZIOEFile *file = MustOpen(Path("f"), Options(QZIOE_MODE_UPDATE, 1, 64));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(Private(file)->buffered, 0u);
  EXPECT_EQ(file->d_buffered, 0u);
  EXPECT_EQ(reinterpret_cast<const void *>(file->read), Address("skioe_read_rbin"));
  EXPECT_EQ(reinterpret_cast<const void *>(file->flush), Address("bkioe_flush"));
  EXPECT_EQ(Private(file)->buffer_size, 64u) << "record_length for a direct handle";
  EXPECT_EQ(file->close(file), QZ_OK);
}

TEST_F(OpenTest, MethodSelection) {
  WriteWholeFile(Path("f"), "x");
  const struct {
    uint32_t mode, buffered, options;
    const char *read, *write, *flush;
    uint32_t buffer_size;
  } cases[] = {
      {QZIOE_MODE_INPUT, 1, 0, "skioe_read_bin", "skioe_write_bin", "skioe_flush", 8192 + 100},
      {QZIOE_MODE_INPUT, 0, 0, "skioe_read_rbin", "skioe_write_rbin", "bkioe_flush", 100},
      {QZIOE_MODE_INPUT, 1, QZIOE_OPT_USER_BUFFER, "skioe_read_rbin", "skioe_write_rbin",
       "skioe_flush", 0},
      {QZIOE_MODE_APPEND, 1, 0, "skioe_read_bin", "skioe_write_bin", "skioe_flush", 8192},
      {QZIOE_MODE_OUTPUT, 0, QZIOE_OPT_USER_BUFFER, "skioe_read_rbin", "skioe_write_rbin",
       "bkioe_flush", 0},
  };
  for (const auto &c : cases) {
    QZIOEOpenOptions options = Options(c.mode, c.buffered, 100);
    options.options = c.options;
    QZIOEFile *file = MustOpen(Path("f"), options);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(reinterpret_cast<const void *>(file->read), Address(c.read)) << c.mode;
    EXPECT_EQ(reinterpret_cast<const void *>(file->write), Address(c.write)) << c.mode;
    EXPECT_EQ(reinterpret_cast<const void *>(file->flush), Address(c.flush)) << c.mode;
    EXPECT_EQ(Private(file)->sk_read, file->read);
    EXPECT_EQ(Private(file)->sk_write, file->write);
    EXPECT_EQ(Private(file)->sk_flush, file->flush);
    EXPECT_EQ(Private(file)->buffer_size, c.buffer_size);
    EXPECT_EQ(Private(file)->buffer == nullptr, c.buffer_size == 0);
    EXPECT_EQ(file->close(file), QZ_OK);
  }
}

// --- failures of the kernel's services --------------------------------------

class OpenAllocationTest : public FileTest {
protected:
  // Fails each allocation of the open in turn until it succeeds.
  void FailEachAllocation(const QZIOEOpenOptions &options, const char *label) {
    uint32_t n = 1, lock_failures = 0;
    for (;; ++n) {
      ASSERT_LT(n, 100u) << "the open never succeeded";
      qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, n);
      QZStatus status = 0xdeadbeefu;
      QZIOEFile *file = Open(Path("f"), options, &status, label);
      if (file != nullptr) {
        EXPECT_EQ(status, QZ_OK);
        EXPECT_EQ(file->close(file), QZ_OK);
        break;
      }
      if (status == QZIOE_FAILED) ++lock_failures;
      EXPECT_TRUE(status == QZS_NO_MEMORY || status == QZIOE_FAILED)
          << "allocation " << n << ": " << qzk_status_name(status);
      ExpectBaseline();
    }
    qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 0);
    EXPECT_GE(n, 5u) << "pool, handle, path, lock and buffer at least";
    EXPECT_EQ(lock_failures, 1u) << "only the lock's creation gives QZIOE_FAILED";
  }
};

TEST_F(OpenAllocationTest, EachFailureLeavesNothing) {
  FailEachAllocation(Options(QZIOE_MODE_OUTPUT), "label");
  FailEachAllocation(Options(QZIOE_MODE_INPUT, 0, 50), nullptr);
  FailEachAllocation(Options(QZIOE_MODE_UPDATE), nullptr);
  FailEachAllocation(Options(QZIOE_MODE_INPUT, 1, 100), "l");
}

TEST_F(OpenTest, LockCreationFailure) {
  // Pool, handle, path copy, lock: the fourth allocation without a label.
  qzk_fail_nth(kernel_, QZK_FAULT_ALLOCATION, 4);
  QZStatus status = 0;
  EXPECT_EQ(Open(Path("f"), Options(QZIOE_MODE_OUTPUT), &status, nullptr), nullptr);
  EXPECT_EQ(status, QZIOE_FAILED);
  EXPECT_FALSE(Exists(Path("f")));
  ExpectBaseline();
}

TEST_F(OpenTest, WithoutQzfsxNothingOpens) {
  Unload();
  qzk_set_sibling_available(kernel_, "qzfsx", 0);
  ext_ = Load();
  ASSERT_NE(ext_, nullptr);
  ASSERT_EQ(ext_->fsx, nullptr);
  baseline_ = Stats();
  QZStatus status = 0;
  EXPECT_EQ(Open(Path("f"), Options(QZIOE_MODE_OUTPUT), &status), nullptr);
  EXPECT_EQ(status, QZIOE_BAD_HANDLE);
  EXPECT_FALSE(Exists(Path("f")));
  ExpectBaseline();
}

TEST_F(OpenTest, OperatingSystemRefusals) {
  QZStatus status = 0;
  EXPECT_EQ(Open(Path("missing"), Options(QZIOE_MODE_INPUT), &status), nullptr);
  EXPECT_EQ(status, QZIOE_NOT_FOUND);
  EXPECT_EQ(Open(Path("no/such/dir"), Options(QZIOE_MODE_OUTPUT), &status), nullptr);
  EXPECT_EQ(status, QZIOE_PATH_NOT_FOUND);
  ExpectBaseline();
}

TEST_F(OpenTest, PermissionDenied) {
  const std::string path = Path("secret");
  WriteWholeFile(path, "x");
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    QZStatus status = 0;
    EXPECT_EQ(Open(path, Options(QZIOE_MODE_INPUT), &status), nullptr);
    EXPECT_EQ(status, QZIOE_NO_ACCESS);
    ExpectBaseline();
    return;
  }
  const passwd *nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "running as root and there is no user nobody";
  const uid_t uid = nobody->pw_uid;
  const gid_t gid = nobody->pw_gid;
  // Root passes every permission check: the open runs in a child that has
  // given up its privileges; it reports the status through its exit code.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
    QZStatus status = 0;
    QZIOEFile *file = Open(path, Options(QZIOE_MODE_INPUT), &status);
    QZStatus status_out = 0;
    QZIOEFile *out = Open(path, Options(QZIOE_MODE_OUTPUT), &status_out);
    _exit(file == nullptr && status == QZIOE_NO_ACCESS && out == nullptr &&
                  status_out == QZIOE_NO_ACCESS
              ? 0
              : 1);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  ASSERT_TRUE(WIFEXITED(wstatus));
  if (WEXITSTATUS(wstatus) == 2) GTEST_SKIP() << "could not drop privileges to nobody";
  EXPECT_EQ(WEXITSTATUS(wstatus), 0) << "the child did not see QZIOE_NO_ACCESS";
  EXPECT_EQ(ReadWholeFile(path), "x");
}

// --- open modes -------------------------------------------------------------

TEST_F(OpenTest, ModesCreateTruncateAndKeep) {
  const struct {
    uint32_t mode;
    bool existing;
    const char *expected;
  } cases[] = {
      {QZIOE_MODE_APPEND, false, "NEW"}, {QZIOE_MODE_APPEND, true, "abcdefNEW"},
      {QZIOE_MODE_OUTPUT, false, "NEW"}, {QZIOE_MODE_OUTPUT, true, "NEW"},
      {QZIOE_MODE_UPDATE, false, "NEW"}, {QZIOE_MODE_UPDATE, true, "NEWdef"},
  };
  int i = 0;
  for (const auto &c : cases) {
    const std::string path = Path("m" + std::to_string(i++));
    if (c.existing) WriteWholeFile(path, "abcdef");
    for (uint32_t buffered : {0u, 1u}) {
      if (c.existing)
        WriteWholeFile(path, "abcdef");
      else
        ::remove(path.c_str());
      QZIOEFile *file = MustOpen(path, Options(c.mode, buffered));
      ASSERT_NE(file, nullptr);
      EXPECT_EQ(file->write(file, "NEW", 3, 0, nullptr), QZ_OK);
      EXPECT_EQ(file->close(file), QZ_OK);
      EXPECT_EQ(ReadWholeFile(path), c.expected) << "mode " << c.mode << " buffered " << buffered;
    }
  }
  // An update handle opened on a missing file creates it, empty.
  QZIOEFile *file = MustOpen(Path("empty"), Options(QZIOE_MODE_UPDATE));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_EQ(FileSize(Path("empty")), 0);
}

// --- locks ------------------------------------------------------------------

// The lock another descriptor of the file would run into: F_UNLCK, F_RDLCK
// or F_WRLCK.
int LockHeld(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) return -1;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  const int rc = fcntl(fd, F_OFD_GETLK, &probe);
  close(fd);
  return rc == 0 ? probe.l_type : -1;
}

TEST_F(OpenTest, LockOptionsChooseLockAndAccess) {
  const std::string path = Path("locked");
  const struct {
    uint32_t mode, lock_option;
    int access, lock;
  } cases[] = {
      {QZIOE_MODE_INPUT, 0, O_RDONLY, F_RDLCK},  {QZIOE_MODE_INPUT, 1, O_RDONLY, F_UNLCK},
      {QZIOE_MODE_INPUT, 2, O_RDONLY, F_RDLCK},  {QZIOE_MODE_INPUT, 3, O_RDWR, F_WRLCK},
      {QZIOE_MODE_INPUT, 4, O_RDONLY, F_RDLCK},  {QZIOE_MODE_APPEND, 0, O_WRONLY, F_WRLCK},
      {QZIOE_MODE_APPEND, 2, O_RDWR, F_RDLCK},   {QZIOE_MODE_OUTPUT, 0, O_WRONLY, F_WRLCK},
      {QZIOE_MODE_OUTPUT, 1, O_WRONLY, F_UNLCK}, {QZIOE_MODE_OUTPUT, 2, O_RDWR, F_RDLCK},
      {QZIOE_MODE_OUTPUT, 3, O_WRONLY, F_WRLCK}, {QZIOE_MODE_OUTPUT, 4, O_WRONLY, F_WRLCK},
      {QZIOE_MODE_UPDATE, 0, O_RDWR, F_WRLCK},   {QZIOE_MODE_UPDATE, 2, O_RDWR, F_RDLCK},
  };
  for (const auto &c : cases) {
    WriteWholeFile(path, "data");
    QZIOEOpenOptions options = Options(c.mode);
    options.lock_option = c.lock_option;
    QZIOEFile *file = MustOpen(path, options);
    ASSERT_NE(file, nullptr) << "mode " << c.mode << " lock option " << c.lock_option;
    EXPECT_EQ(fcntl(Descriptor(file), F_GETFL) & O_ACCMODE, c.access)
        << "mode " << c.mode << " lock option " << c.lock_option;
    EXPECT_EQ(LockHeld(path), c.lock) << "mode " << c.mode << " lock option " << c.lock_option;
    EXPECT_EQ(file->close(file), QZ_OK);
    EXPECT_EQ(LockHeld(path), F_UNLCK) << "close releases the lock";
  }
}

TEST_F(OpenTest, LockConflicts) {
  const std::string path = Path("shared");
  WriteWholeFile(path, "data");
  auto with_lock = [](uint32_t mode, uint32_t lock_option) {
    QZIOEOpenOptions options = Options(mode);
    options.lock_option = lock_option;
    return options;
  };
  const struct {
    uint32_t first_mode, first_lock, second_mode, second_lock;
    bool conflict;
  } cases[] = {
      {QZIOE_MODE_INPUT, 0, QZIOE_MODE_INPUT, 0, false},  // shared + shared
      {QZIOE_MODE_UPDATE, 0, QZIOE_MODE_UPDATE, 0, true}, // exclusive + exclusive
      {QZIOE_MODE_UPDATE, 0, QZIOE_MODE_INPUT, 0, true},  // exclusive + shared
      {QZIOE_MODE_INPUT, 0, QZIOE_MODE_APPEND, 0, true},  // shared + exclusive
      {QZIOE_MODE_INPUT, 3, QZIOE_MODE_INPUT, 0, true},   // input made exclusive
      {QZIOE_MODE_APPEND, 2, QZIOE_MODE_INPUT, 0, false}, // append made shared
      {QZIOE_MODE_UPDATE, 0, QZIOE_MODE_INPUT, 1, false}, // no lock asked
  };
  for (const auto &c : cases) {
    QZIOEFile *first = MustOpen(path, with_lock(c.first_mode, c.first_lock));
    ASSERT_NE(first, nullptr);
    QZStatus status = 0xdeadbeefu;
    QZIOEFile *second = Open(path, with_lock(c.second_mode, c.second_lock), &status);
    if (c.conflict) {
      EXPECT_EQ(second, nullptr);
      EXPECT_EQ(status, QZIOE_IN_USE) << qzk_status_name(status);
    } else {
      EXPECT_EQ(status, QZ_OK) << qzk_status_name(status);
      ASSERT_NE(second, nullptr);
      EXPECT_EQ(second->close(second), QZ_OK);
    }
    EXPECT_EQ(first->close(first), QZ_OK);
    EXPECT_EQ(ReadWholeFile(path), "data") << "a refused open leaves the file alone";
  }
  ExpectBaseline();
}

// --- close ------------------------------------------------------------------

int g_flush_calls = 0;
QZStatus g_flush_result = QZ_OK;
QZStatus CountingFlush(QZIOEFile *) {
  ++g_flush_calls;
  return g_flush_result;
}

TEST_F(OpenTest, CloseFlushesWritingModesOnly) {
  WriteWholeFile(Path("f"), "abc");
  for (uint32_t mode :
       {QZIOE_MODE_APPEND, QZIOE_MODE_INPUT, QZIOE_MODE_OUTPUT, QZIOE_MODE_UPDATE}) {
    QZIOEFile *file = MustOpen(Path("f"), Options(mode));
    ASSERT_NE(file, nullptr);
    g_flush_calls = 0;
    g_flush_result = QZIOE_IO_ERROR;
    Private(file)->sk_flush = CountingFlush;
    const QZStatus status = file->close(file);
    EXPECT_EQ(g_flush_calls, mode == QZIOE_MODE_INPUT ? 0 : 1) << "mode " << mode;
    EXPECT_EQ(status, mode == QZIOE_MODE_INPUT ? QZ_OK : QZIOE_IO_ERROR) << "mode " << mode;
    ExpectBaseline();
  }
  EXPECT_EQ(Symbol<QZIOEHandleFn>("qzioeclose")(nullptr), QZIOE_BAD_HANDLE);
}

// --- small methods ----------------------------------------------------------

// Every qzfsx open status the POSIX layer translates, and ones it does not.
TEST_F(OpenTest, QzfsxStatusesTranslateRowByRow) {
  const struct {
    QZStatus fsx, result;
  } rows[] = {
      {QZFSX_NO_MEMORY, QZS_NO_MEMORY},
      {QZFSX_NOT_FOUND, QZIOE_NOT_FOUND},
      {QZFSX_PATH_NOT_FOUND, QZIOE_PATH_NOT_FOUND},
      {QZFSX_NO_ACCESS, QZIOE_NO_ACCESS},
      {QZFSX_REFUSED, QZIOE_OPEN_REFUSED},
      {0x80ffe00fu, QZIOE_IN_USE},
      {0x80ffe010u, QZIOE_IN_USE},
      {0x80ffe011u, QZIOE_IN_USE},
      {0x80ffe012u, QZIOE_IN_USE},
      {0x80ffe013u, QZIOE_IN_USE},
      {QZFSX_BUSY, QZIOE_IN_USE},
      {0x80ffe00eu - 1, QZIOE_IO_ERROR},
      {0x80ffe014u, QZIOE_IO_ERROR},
      {QZFSX_FAILED, QZIOE_IO_ERROR},
      {QZK_INJECTED, QZIOE_IO_ERROR},
  };
  for (const auto &row : rows) {
    qzk_set_fsx_open_status(kernel_, row.fsx);
    QZStatus status = 0;
    EXPECT_EQ(Open(Path("f"), Options(QZIOE_MODE_OUTPUT), &status), nullptr);
    EXPECT_EQ(status, row.result) << std::hex << row.fsx << " gave " << qzk_status_name(status);
    ExpectBaseline();
  }
  qzk_set_fsx_open_status(kernel_, QZ_OK);
  EXPECT_FALSE(Exists(Path("f"))) << "no translated failure touched the file system";
}

// The kernel's answers that fail an open with transcoding: each leaves
// nothing behind.
TEST_F(OpenTest, FailingKernelAnswersLeaveNothing) {
  QZIOEOpenOptions options = Options(QZIOE_MODE_UPDATE, 0, 80, QZIOE_FORMAT_STREAM);
  options.file_encoding = QZ_ENC_UTF8;
  options.record_encoding = QZ_ENC_UTF32LE;
  QZStatus status = 0;
  qzk_fail_nth(kernel_, QZK_FAULT_ENCODING_INFO, 1);
  EXPECT_EQ(Open(Path("f"), options, &status), nullptr);
  EXPECT_EQ(status, QZK_INJECTED);
  ExpectBaseline();
  // Update mode needs both directions; refusing the outbound one alone
  // fails the open after the inbound one was made.
  qzk_set_transcoder_refused(kernel_, QZ_ENC_UTF32LE, QZ_ENC_UTF8, 1);
  EXPECT_EQ(Open(Path("f"), options, &status), nullptr);
  EXPECT_EQ(status, QZIOE_FAILED);
  ExpectBaseline();
  qzk_set_transcoder_refused(kernel_, QZ_ENC_UTF32LE, QZ_ENC_UTF8, 0);
}

// Pool, lock and transcoders get the caller's context and their names.
TEST_F(OpenTest, KernelObjectsGetTheContextAndTheirNames) {
  QZIOEOpenOptions options = Options(QZIOE_MODE_INPUT, 1, 80, QZIOE_FORMAT_STREAM);
  options.file_encoding = QZ_ENC_UTF16LE;
  options.record_encoding = QZ_ENC_UTF32LE;
  WriteWholeFile(Path("f"), "");
  qzk_clear_creations(kernel_);
  const std::vector<QZChar> name = Chars(Path("f"));
  QZStatus status = 0;
  QZIOEFile *file = ext_->open(ext_, name.data(), static_cast<int32_t>(name.size()), &options, 0,
                               77, nullptr, &status);
  ASSERT_NE(file, nullptr) << qzk_status_name(status);
  QZKCreation made[8] = {};
  ASSERT_EQ(qzk_creations(kernel_, made, 8), 3u);
  EXPECT_EQ(made[0].kind, QZK_OBJECT_POOL);
  EXPECT_STREQ(made[0].name, "qzioe%d");
  EXPECT_EQ(made[0].context, 77u);
  EXPECT_EQ(made[1].kind, QZK_OBJECT_LOCK);
  EXPECT_STREQ(made[1].name, "QZIOE Open lock");
  EXPECT_EQ(made[2].kind, QZK_OBJECT_TRANSCODER);
  EXPECT_EQ(made[2].from, QZ_ENC_UTF16LE);
  EXPECT_EQ(made[2].to, QZ_ENC_UTF32LE);
  EXPECT_EQ(made[2].context, 77u);
  EXPECT_EQ(file->close(file), QZ_OK);
}

// With UTF-8 as the system's encoding, names still go to the system one
// byte per character: ASCII names work; a name with a character that needs
// more bytes is refused before anything is created.
TEST_F(OpenTest, Utf8AsTheSystemEncoding) {
  QZKOptions options{};
  options.os_encoding = "UTF-8";
  RestartKernel(options);
  baseline_ = Stats();
  using ExpandFn = QZStatus (*)(QZIOEExtension *, const QZChar *, uint32_t, QZChar **, uint32_t *);
  const auto expand = Symbol<ExpandFn>("bkioeexpand_path");
  const std::vector<QZChar> ascii = Chars(Path("plain.bin"));
  QZChar *expanded = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(expand(ext_, ascii.data(), static_cast<uint32_t>(ascii.size()), &expanded, &length),
            QZ_OK);
  EXPECT_EQ(Narrow(expanded, length), Path("plain.bin"));
  EXPECT_EQ(Symbol<QZStatus (*)(QZPool *, QZChar *)>("bkioeexpand_path_free")(ext_->pool, expanded),
            QZ_OK);

  QZIOEFile *file = MustOpen(Path("plain.bin"), Options(QZIOE_MODE_OUTPUT));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->write(file, "abc", 3, 0, nullptr), QZ_OK);
  EXPECT_EQ(file->close(file), QZ_OK);
  EXPECT_EQ(ReadWholeFile(Path("plain.bin")), "abc");

  std::vector<QZChar> wide = Chars(Path("caf"));
  wide.push_back(0xe9); // é: two bytes in UTF-8
  expanded = nullptr;
  EXPECT_EQ(expand(ext_, wide.data(), static_cast<uint32_t>(wide.size()), &expanded, &length),
            QZIOE_FAILED);
  EXPECT_EQ(expanded, nullptr);
  QZStatus status = 0;
  const QZIOEOpenOptions output = Options(QZIOE_MODE_OUTPUT);
  EXPECT_EQ(ext_->open(ext_, wide.data(), static_cast<int32_t>(wide.size()), &output, 0, 0, nullptr,
                       &status),
            nullptr);
  EXPECT_EQ(status, QZIOE_FAILED);
  EXPECT_FALSE(Exists(Path("caf"))) << "no cut name was created";
  EXPECT_FALSE(Exists(Path("caf\xc3\xa9")));
  EXPECT_EQ(ReadWholeFile(Path("plain.bin")), "abc");
  ExpectBaseline();
}

TEST_F(OpenTest, AttachJournal) {
  QZJournal *first = qzk_journal_create(kernel_, 0);
  QZJournal *second = qzk_journal_create(kernel_, 0);
  QZIOEOpenOptions options = Options(QZIOE_MODE_OUTPUT);
  options.journal = first;
  QZIOEFile *file = MustOpen(Path("f"), options);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(Private(file)->journal, first);
  EXPECT_EQ(file->attachjnl(file, second), QZ_OK);
  EXPECT_EQ(Private(file)->journal, second);

  qzk_fail_nth(kernel_, QZK_FAULT_LOCK_ACQUIRE, 1);
  EXPECT_EQ(file->attachjnl(file, first), QZK_LOCK_FAILED);
  EXPECT_EQ(Private(file)->journal, second) << "the old journal stays";
  qzk_fail_nth(kernel_, QZK_FAULT_LOCK_RELEASE, 1);
  EXPECT_EQ(file->attachjnl(file, first), QZK_LOCK_FAILED) << "the release's status";
  EXPECT_EQ(Private(file)->journal, first);
  EXPECT_EQ(file->attachjnl(file, nullptr), QZ_OK);
  EXPECT_EQ(Private(file)->journal, nullptr);
  EXPECT_EQ(file->attachjnl(nullptr, first), QZIOE_BAD_HANDLE);
  EXPECT_EQ(file->close(file), QZ_OK);
  qzk_journal_destroy(first);
  qzk_journal_destroy(second);
}

TEST_F(OpenTest, RecordNumbersAndPositionConversions) {
  QZIOEFile *file = MustOpen(Path("f"), Options(QZIOE_MODE_UPDATE));
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->position2record(file, 0, 0), QZIOE_NOT_SUPPORTED);
  EXPECT_EQ(file->record2position(file, 1, 2), QZIOE_NOT_SUPPORTED);
  EXPECT_EQ(file->position2record(nullptr, 0, 0), QZIOE_NOT_SUPPORTED);
  const int64_t big = (int64_t(5) << 32) + 7;
  int64_t out = 0;
  EXPECT_EQ(file->position2byte(file, &big, &out), QZ_OK);
  EXPECT_EQ(out, big);
  out = 0;
  EXPECT_EQ(file->byte2position(file, &big, &out), QZ_OK);
  EXPECT_EQ(out, big);
  EXPECT_EQ(file->close(file), QZ_OK);
}

} // namespace
} // namespace qztest
