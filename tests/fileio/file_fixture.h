// Fixture of the file-handle suites: the extension loaded as the kernel
// loads it, a private temporary directory per test, and helpers that open
// handles through the extension object's open word.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "fileio/handle.h"
#include "harness.h"
#include "qzioe/fileio.h"

namespace qztest {

// Every byte value occurs, line feeds, carriage returns and a UTF-8 mark
// among them; `seed` shifts the pattern so neighbouring pieces differ.
inline std::string Pattern(size_t size, uint32_t seed = 0) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<char>((x >> 16) ^ i);
  }
  if (size >= 5) bytes.replace(0, 5, "\xef\xbb\xbf\r\n");
  return bytes;
}

inline std::string ReadWholeFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline int64_t FileSize(const std::string &path) {
  struct stat64 st {};
  return stat64(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

inline bool Exists(const std::string &path) {
  return access(path.c_str(), F_OK) == 0;
}

// The extension's private view of a handle, for white-box checks.
inline ioe::File *Private(QZIOEFile *file) {
  return ioe::file_of(file);
}
inline const ioe::File *Private(const QZIOEFile *file) {
  return static_cast<const ioe::File *>(file);
}

// The handle's operating-system descriptor (word 0 of its system file record).
inline int Descriptor(const QZIOEFile *file) {
  return static_cast<const int *>(Private(file)->sysfile)[0];
}

inline int64_t DescriptorSize(const QZIOEFile *file) {
  struct stat64 st {};
  return fstat64(Descriptor(file), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

inline QZIOEOpenOptions Options(uint32_t mode, uint32_t buffered = 1, uint32_t record_length = 8192,
                                uint32_t format = QZIOE_FORMAT_BINARY) {
  QZIOEOpenOptions options{};
  options.open_mode = mode;
  options.buffered = buffered;
  options.record_length = record_length;
  options.record_format = format;
  return options;
}

class FileTest : public ExtensionTest {
protected:
  void SetUp() override {
    ExtensionTest::SetUp();
    const char *base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qzioe-fileio-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    baseline_ = Stats();
  }

  void TearDown() override {
    if (!dir_.empty()) {
      chmod(dir_.c_str(), 0700);
      nftw(
          dir_.c_str(),
          [](const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); },
          16, FTW_DEPTH | FTW_PHYS);
    }
    ExtensionTest::TearDown();
  }

  std::string Path(const std::string &name) const { return dir_ + "/" + name; }

  QZIOEFile *Open(const std::string &path, const QZIOEOpenOptions &options, QZStatus *status,
                  const char *label = "test") {
    const std::vector<QZChar> chars = Chars(path);
    return ext_->open(ext_, chars.data(), static_cast<int32_t>(chars.size()), &options, 0, 0, label,
                      status);
  }

  // Opens or fails the test (the caller checks for null).
  QZIOEFile *MustOpen(const std::string &path, const QZIOEOpenOptions &options) {
    QZStatus status = 0xdeadbeefu;
    QZIOEFile *file = Open(path, options, &status);
    EXPECT_EQ(status, QZ_OK) << qzk_status_name(status) << " opening " << path;
    EXPECT_NE(file, nullptr);
    return file;
  }

  // Expects the kernel objects to be back where they were after SetUp.
  void ExpectBaseline() const {
    const QZKStats s = Stats();
    EXPECT_EQ(s.pools, baseline_.pools);
    EXPECT_EQ(s.blocks, baseline_.blocks);
    EXPECT_EQ(s.bytes, baseline_.bytes);
    EXPECT_EQ(s.locks, baseline_.locks);
    EXPECT_EQ(s.transcoders, baseline_.transcoders);
    EXPECT_EQ(s.descriptors, baseline_.descriptors);
  }

  template <typename Fn> Fn Symbol(const char *name) const {
    return reinterpret_cast<Fn>(qzk_loaded_symbol(loaded_, name));
  }
  const void *Address(const char *name) const { return qzk_loaded_symbol(loaded_, name); }

  std::string dir_;
  QZKStats baseline_{};
};

// Reads records through a handle until end of file, in requests of `chunk`.
inline QZStatus ReadAll(QZIOEFile *file, uint32_t chunk, std::string *out) {
  for (;;) {
    void *address = nullptr;
    uint32_t length = chunk;
    const QZStatus status = file->read(file, &address, &length, 0, nullptr);
    if (status == QZIOE_END_OF_FILE) return QZ_OK;
    if (status != QZ_OK) return status;
    if (length == 0) return QZIOE_FAILED; // a successful read that moves nothing
    out->append(static_cast<const char *>(address), length);
  }
}

// Writes `bytes` through a handle in pieces of at most `chunk`.
inline QZStatus WriteAll(QZIOEFile *file, const std::string &bytes, size_t chunk) {
  for (size_t at = 0; at < bytes.size(); at += chunk) {
    const size_t n = std::min(chunk, bytes.size() - at);
    if (const QZStatus status =
            file->write(file, bytes.data() + at, static_cast<uint32_t>(n), 0, nullptr);
        status != QZ_OK)
      return status;
  }
  return QZ_OK;
}

} // namespace qztest
