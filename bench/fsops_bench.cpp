// Listings, copies and tree removals through the extension object against
// their plain peers in the same run: an opendir/readdir64/fstatat loop,
// cp(1) and rm -r.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qzioe/fsops.h"
#include "qzkernel/standin.h"

namespace {

constexpr int kFiles = 10000;

struct Setting {
  QZHandle *kernel = qzk_kernel_create(nullptr);
  QZKLoaded *loaded = nullptr;
  QZIOEExtension *ext = nullptr;
  std::string dir;

  Setting() {
    char error[256] = "";
    ext = qzk_load(kernel, QZIOE_LIBRARY_PATH, 0, &loaded, error, sizeof error);
    if (ext == nullptr) {
      std::fprintf(stderr, "cannot load the extension: %s\n", error);
      std::exit(1);
    }
    char pattern[] = "/tmp/qzioe-fsbench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::exit(1);
    dir = pattern;
    MakeTree(dir + "/list");
    const std::string big = dir + "/big";
    const int fd = ::open(big.c_str(), O_WRONLY | O_CREAT, 0600);
    std::vector<char> block(1 << 20, 'x');
    const char *mb = std::getenv("QZIOE_BENCH_MB");
    for (int i = 0; i < (mb != nullptr ? std::atoi(mb) : 256); ++i)
      if (::write(fd, block.data(), block.size()) < 0) std::exit(1);
    ::close(fd);
  }
  ~Setting() {
    Shell("rm -rf " + dir);
    ext->destroy(ext);
    qzk_unload(loaded);
    qzk_kernel_destroy(kernel);
  }
  static void Shell(const std::string &command) {
    if (std::system(command.c_str()) != 0) std::exit(1);
  }
  static void MakeTree(const std::string &root) {
    mkdir(root.c_str(), 0700);
    for (int i = 0; i < kFiles; ++i) {
      const std::string path = root + "/file" + std::to_string(i);
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
      if (fd < 0 || ::write(fd, "x", 1) != 1) std::exit(1);
      ::close(fd);
    }
  }
  std::vector<QZChar> Name(const std::string &path) const {
    return std::vector<QZChar>(path.begin(), path.end());
  }
};

Setting &S() {
  static Setting setting;
  return setting;
}

void ListWithInfo(benchmark::State &state) {
  Setting &s = S();
  const auto name = s.Name(s.dir + "/list");
  for (auto _ : state) {
    int64_t count = 0;
    QZStatus status = 0;
    QZList *list = s.ext->directorylist(s.ext, name.data(), static_cast<uint32_t>(name.size()), 0,
                                        QZIOE_LIST_INFO, &count, &status);
    if (list == nullptr) state.SkipWithError("listing failed");
    benchmark::DoNotOptimize(count);
    list->destroy(list);
  }
}

void ReaddirFstatat(benchmark::State &state) {
  Setting &s = S();
  const std::string path = s.dir + "/list";
  for (auto _ : state) {
    DIR *d = opendir(path.c_str());
    int64_t sum = 0;
    while (dirent64 *e = readdir64(d)) {
      if (e->d_name[0] == '.') continue;
      struct stat64 st;
      if (fstatat64(dirfd(d), e->d_name, &st, 0) == 0) sum += st.st_size;
    }
    closedir(d);
    benchmark::DoNotOptimize(sum);
  }
}

void CopyFile(benchmark::State &state) {
  Setting &s = S();
  const auto from = s.Name(s.dir + "/big"), to = s.Name(s.dir + "/big.copy");
  for (auto _ : state) {
    if (s.ext->copy(s.ext, from.data(), static_cast<uint32_t>(from.size()), to.data(),
                    static_cast<uint32_t>(to.size())) != QZ_OK)
      state.SkipWithError("copy failed");
    state.PauseTiming();
    ::unlink((s.dir + "/big.copy").c_str());
    state.ResumeTiming();
  }
}

void CpFile(benchmark::State &state) {
  Setting &s = S();
  for (auto _ : state) {
    Setting::Shell("cp " + s.dir + "/big " + s.dir + "/big.cp");
    state.PauseTiming();
    ::unlink((s.dir + "/big.cp").c_str());
    state.ResumeTiming();
  }
}

void RemoveTree(benchmark::State &state) {
  Setting &s = S();
  const std::string root = s.dir + "/doomed";
  const auto name = s.Name(root);
  for (auto _ : state) {
    state.PauseTiming();
    Setting::MakeTree(root);
    state.ResumeTiming();
    if (s.ext->remove(s.ext, name.data(), static_cast<uint32_t>(name.size()), QZIOE_REMOVE_TREE) !=
        QZ_OK)
      state.SkipWithError("removal failed");
  }
}

void RmTree(benchmark::State &state) {
  Setting &s = S();
  const std::string root = s.dir + "/doomed";
  for (auto _ : state) {
    state.PauseTiming();
    Setting::MakeTree(root);
    state.ResumeTiming();
    Setting::Shell("rm -r " + root);
  }
}

BENCHMARK(ReaddirFstatat)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ListWithInfo)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(CpFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(CopyFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(RmTree)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(RemoveTree)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
