// qzfsx: opening with locks, the status codes of failed opens, and close.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

namespace qztest {
namespace {

class FsxTest : public KernelTest {
protected:
  void SetUp() override {
    KernelTest::SetUp();
    char pattern[] = "/tmp/qzkernel-fsx-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    const std::vector<QZChar> name = Chars("qzfsx");
    fsx_ = kernel_->load_extension(kernel_, name.data(), 5, 0);
    ASSERT_NE(fsx_, nullptr);
  }
  void TearDown() override {
    if (fsx_ != nullptr) {
      EXPECT_EQ(fsx_->release(fsx_), 0u);
    }
    EXPECT_EQ(Stats().descriptors, 0u);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    KernelTest::TearDown();
  }

  // Opens `path` (relative to the test directory unless absolute).
  QZFsxFile *Open(const std::string &path, uint32_t flags, uint32_t lock, QZStatus *status) {
    const std::string full = path.empty() || path[0] == '/' ? path : dir_ + "/" + path;
    const std::vector<QZChar> chars = Chars(full);
    return OpenChars(chars, flags, lock, status);
  }
  QZFsxFile *OpenChars(const std::vector<QZChar> &chars, uint32_t flags, uint32_t lock,
                       QZStatus *status) {
    QZFsxRequest request{};
    request.path = chars.data();
    request.path_length = static_cast<uint32_t>(chars.size());
    request.permissions = 0666;
    request.flags = flags;
    *status = 0x12345678u;
    return fsx_->service.open_file(fsx_, &request, 1, lock, nullptr, status);
  }
  // The status of an open that must fail.
  QZStatus OpenFails(const std::string &path, uint32_t flags, uint32_t lock) {
    QZStatus status = 0;
    QZFsxFile *file = Open(path, flags, lock, &status);
    EXPECT_EQ(file, nullptr) << path;
    if (file != nullptr) Close(file);
    return status;
  }
  // Starts a copy of a program the system runs itself, so the copy is busy
  // for writing (`/proc/self/exe` is not when a user-mode emulator runs these
  // tests), and returns its process once it runs, or -1.
  pid_t RunBusyCopy(const std::string &name) {
    const std::string path = dir_ + "/" + name;
    std::filesystem::copy_file("/bin/sleep", path);
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
      execl(path.c_str(), name.c_str(), "60", static_cast<char *>(nullptr));
      _exit(write(ready[1], "!", 1)); // the exec failed: say so
    }
    close(ready[1]);
    char byte;
    // The exec closes the write end; a failed one writes first.
    const bool started = read(ready[0], &byte, 1) == 0;
    close(ready[0]);
    return started ? child : -1;
  }
  static QZStatus Close(QZFsxFile *file) {
    const QZFsxCloseRecord zeros{};
    return file->methods->close(file, &zeros, nullptr);
  }

  std::string dir_;
  QZExtension *fsx_ = nullptr;
};

TEST_F(FsxTest, OpenGivesDescriptorAndCloseReleasesIt) {
  QZStatus status = 1;
  QZFsxFile *file = Open("data", O_RDWR | O_CREAT, QZFSX_LOCK_EXCLUSIVE, &status);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(status, 0u);
  const int fd = *file->descriptor;
  ASSERT_GE(fd, 0);
  if (QZ_LAYOUT_32) {
    EXPECT_EQ(Word(file, 3), reinterpret_cast<uintptr_t>(file->descriptor));
  }
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(write(fd, "hello", 5), 5);
  EXPECT_EQ(Stats().descriptors, 1u);

  struct stat info;
  ASSERT_EQ(stat((dir_ + "/data").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 5);
  EXPECT_EQ(
      info.st_mode & 0777, 0666u & ~[] {
        const mode_t mask = umask(0);
        umask(mask);
        return mask;
      }());

  const QZFsxFileMethods *methods = file->methods;
  EXPECT_EQ(Close(file), 0u);
  EXPECT_EQ(Stats().descriptors, 0u);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  const QZFsxCloseRecord zeros{};
  EXPECT_NE(methods->close(file, &zeros, nullptr), 0u); // twice: refused
  EXPECT_EQ(TakeMisuses(), 1u);
}

TEST_F(FsxTest, LocksConflictAsBetweenProcesses) {
  QZStatus status = 1;
  QZFsxFile *first = Open("locked", O_RDWR | O_CREAT, QZFSX_LOCK_EXCLUSIVE, &status);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(OpenFails("locked", O_RDWR, QZFSX_LOCK_EXCLUSIVE), QZFSX_IN_USE);
  EXPECT_EQ(OpenFails("locked", O_RDONLY, QZFSX_LOCK_SHARED), QZFSX_IN_USE);
  EXPECT_EQ(Stats().descriptors, 1u); // the refused opens closed theirs
  QZFsxFile *unlocked = Open("locked", O_RDONLY, QZFSX_LOCK_NONE, &status);
  ASSERT_NE(unlocked, nullptr);
  EXPECT_EQ(Close(unlocked), 0u);
  EXPECT_EQ(Close(first), 0u);

  QZFsxFile *reader1 = Open("locked", O_RDONLY, QZFSX_LOCK_SHARED, &status);
  QZFsxFile *reader2 = Open("locked", O_RDONLY, QZFSX_LOCK_SHARED, &status);
  ASSERT_NE(reader1, nullptr);
  ASSERT_NE(reader2, nullptr);
  EXPECT_EQ(OpenFails("locked", O_RDWR, QZFSX_LOCK_EXCLUSIVE), QZFSX_IN_USE);
  EXPECT_EQ(Close(reader1), 0u);
  EXPECT_EQ(Close(reader2), 0u);
  QZFsxFile *writer = Open("locked", O_RDWR, QZFSX_LOCK_EXCLUSIVE, &status);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(Close(writer), 0u);
}

TEST_F(FsxTest, RefusedTruncatingOpenLeavesLockedFileIntact) {
  QZStatus status = 1;
  QZFsxFile *owner = Open("keep", O_RDWR | O_CREAT, QZFSX_LOCK_EXCLUSIVE, &status);
  ASSERT_NE(owner, nullptr);
  ASSERT_EQ(write(*owner->descriptor, "precious", 8), 8);
  EXPECT_EQ(OpenFails("keep", O_WRONLY | O_CREAT | O_TRUNC, QZFSX_LOCK_EXCLUSIVE), QZFSX_IN_USE);
  struct stat info;
  ASSERT_EQ(stat((dir_ + "/keep").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 8);
  EXPECT_EQ(Close(owner), 0u);

  // Once the lock is free, the truncating open does truncate.
  QZFsxFile *output = Open("keep", O_WRONLY | O_CREAT | O_TRUNC, QZFSX_LOCK_EXCLUSIVE, &status);
  ASSERT_NE(output, nullptr);
  ASSERT_EQ(stat((dir_ + "/keep").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
  EXPECT_EQ(Close(output), 0u);
}

TEST_F(FsxTest, WaitFlagBlocksUntilTheLockGoes) {
  QZStatus status = 1;
  QZFsxFile *owner = Open("wait", O_RDWR | O_CREAT, QZFSX_LOCK_EXCLUSIVE, &status);
  ASSERT_NE(owner, nullptr);
  std::atomic<bool> opened{false};
  QZStatus waiter_status = 1;
  QZFsxFile *waiter = nullptr;
  std::thread thread([&] {
    waiter = Open("wait", O_RDWR, QZFSX_LOCK_EXCLUSIVE | QZFSX_LOCK_FLAG_WAIT, &waiter_status);
    opened = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(opened.load());
  EXPECT_EQ(Close(owner), 0u);
  thread.join();
  ASSERT_NE(waiter, nullptr);
  EXPECT_EQ(waiter_status, 0u);
  EXPECT_EQ(Close(waiter), 0u);
}

TEST_F(FsxTest, FailedOpensGiveTheirCodes) {
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
  QZStatus status = 1;
  QZFsxFile *plain = Open("plain", O_RDWR | O_CREAT, 0, &status);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(Close(plain), 0u);

  EXPECT_EQ(OpenFails("missing", O_RDONLY, 0), QZFSX_NOT_FOUND);
  EXPECT_EQ(OpenFails("sub/missing", O_RDONLY, 1), QZFSX_NOT_FOUND);
  EXPECT_EQ(OpenFails("nodir/missing", O_RDONLY, 0), QZFSX_PATH_NOT_FOUND);
  EXPECT_EQ(OpenFails("nodir/new", O_RDWR | O_CREAT, 2), QZFSX_PATH_NOT_FOUND);
  EXPECT_EQ(OpenFails("plain/below", O_RDONLY, 0), QZFSX_PATH_NOT_FOUND);       // ENOTDIR
  EXPECT_EQ(OpenFails("sub", O_RDWR, 0), QZFSX_REFUSED);                        // EISDIR
  EXPECT_EQ(OpenFails("plain", O_RDONLY, QZFSX_LOCK_EXCLUSIVE), QZFSX_REFUSED); // EBADF
  EXPECT_EQ(OpenFails("plain", O_WRONLY, QZFSX_LOCK_SHARED), QZFSX_REFUSED);
  EXPECT_EQ(OpenFails("plain", O_RDONLY | O_CREAT | O_EXCL, 0), QZFSX_FAILED);
  const pid_t busy = RunBusyCopy("busy");
  ASSERT_GT(busy, 0);
  EXPECT_EQ(OpenFails("busy", O_WRONLY, 0), QZFSX_BUSY);
  kill(busy, SIGKILL);
  waitpid(busy, nullptr, 0);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod((dir_ + "/plain").c_str(), 0), 0);
    EXPECT_EQ(OpenFails("plain", O_RDONLY, 0), QZFSX_NO_ACCESS);
  } else if (access("/sys/kernel/notes", F_OK) == 0) {
    EXPECT_EQ(OpenFails("/sys/kernel/notes", O_WRONLY, 0), QZFSX_NO_ACCESS);
  }

  // Characters a byte path cannot carry, including a zero that would cut
  // the path short and name another file.
  std::vector<QZChar> wide = Chars(dir_ + "/plainX");
  wide.back() = 0x100;
  EXPECT_EQ(OpenChars(wide, O_RDONLY, 0, &status), nullptr);
  EXPECT_EQ(status, QZFSX_REFUSED);
  wide.back() = 0;
  EXPECT_EQ(OpenChars(wide, O_RDONLY, 0, &status), nullptr);
  EXPECT_EQ(status, QZFSX_REFUSED);
  EXPECT_EQ(Stats().descriptors, 0u);
  EXPECT_EQ(TakeMisuses(), 0u);
}

TEST_F(FsxTest, BadCallsAreRefusedWithoutCrashing) {
  QZStatus status = 0;
  EXPECT_EQ(fsx_->service.open_file(fsx_, nullptr, 1, 0, nullptr, &status), nullptr);
  EXPECT_NE(status, 0u);
  QZFsxRequest request{};
  request.path_length = 4;
  status = 0;
  EXPECT_EQ(fsx_->service.open_file(fsx_, &request, 1, 0, nullptr, &status), nullptr);
  EXPECT_NE(status, 0u);
  const std::vector<QZChar> path = Chars(dir_ + "/x");
  request.path = path.data();
  request.path_length = static_cast<uint32_t>(path.size());
  request.flags = O_RDWR | O_CREAT;
  EXPECT_EQ(fsx_->service.open_file(fsx_, &request, 1, 0, nullptr, nullptr), nullptr);
  status = 0;
  EXPECT_EQ(fsx_->service.open_file(fsx_, &request, 1, 3, nullptr, &status), nullptr);
  EXPECT_NE(status, 0u);
  EXPECT_NE(access((dir_ + "/x").c_str(), F_OK), 0) << "a refused request created the file";
  EXPECT_EQ(TakeMisuses(), 4u);
  EXPECT_EQ(Stats().descriptors, 0u);
}

} // namespace
} // namespace qztest
