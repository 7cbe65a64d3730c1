// What the file-handle fuzz targets share: one kernel with the extension
// loaded, a scratch file, a file writer and a checker that aborts with a
// message (a finding for libFuzzer).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qzioe/fileio.h"
#include "qzkernel/standin.h"

namespace qzfuzz {

struct Target {
  QZHandle *kernel = nullptr;
  QZIOEExtension *extension = nullptr;
  QZKLoaded *loaded = nullptr;
  std::string path;
};

inline Target &Setup(const char *name) {
  static Target target = [name] {
    Target t;
    char dir[] = "/tmp/qzioe-fuzz-XXXXXX";
    if (mkdtemp(dir) == nullptr) std::abort();
    t.path = std::string(dir) + "/records.bin";
    t.kernel = qzk_kernel_create(nullptr);
    if (t.kernel == nullptr) std::abort();
    char error[512] = "";
    t.extension = qzk_load(t.kernel, QZIOE_LIBRARY_PATH, 0, &t.loaded, error, sizeof error);
    if (t.extension == nullptr) {
      std::fprintf(stderr, "%s: cannot load the extension: %s\n", name, error);
      std::abort();
    }
    return t;
  }();
  return target;
}

inline void Check(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz: %s\n", what);
    std::abort();
  }
}

inline void WriteFile(const std::string &path, const std::string &contents) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  Check(fd >= 0, "cannot create the file");
  Check(write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size()),
        "cannot write the file");
  close(fd);
}

inline QZIOEFile *OpenFile(Target &t, const QZIOEOpenOptions &options) {
  std::vector<QZChar> name(t.path.begin(), t.path.end());
  QZStatus status = QZ_OK;
  QZIOEFile *file = t.extension->open(t.extension, name.data(), static_cast<int32_t>(name.size()),
                                      &options, 0, 0, nullptr, &status);
  Check(file != nullptr && status == QZ_OK, "open failed");
  return file;
}

inline void CheckNothingLeft(Target &t, const QZKStats &before) {
  QZKStats after{};
  qzk_stats(t.kernel, &after);
  Check(after.blocks == before.blocks && after.pools == before.pools &&
            after.descriptors == before.descriptors && after.transcoders == before.transcoders,
        "the handle left something alive");
}

} // namespace qzfuzz
