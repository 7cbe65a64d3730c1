// Unique names through extension words 23 and 24.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

#include "path_services.h"

namespace qztest {
namespace {

// A request whose texts live as long as it does.
struct Request {
  uint32_t flags = 0;
  std::vector<QZChar> prefix, extension;

  Request(uint32_t bits, std::string_view prefix_text = {}, std::string_view extension_text = {})
      : flags(bits), prefix(Chars(prefix_text)), extension(Chars(extension_text)) {}
  QZIOENameRequest get() const {
    return {prefix.data(), static_cast<uint32_t>(prefix.size()), extension.data(),
            static_cast<uint32_t>(extension.size()), flags};
  }
};

std::string Hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

class CreateNameTest : public PathServicesTest {
protected:
  // Reloads the extension with that host name (null: without qzhost).
  void LoadWithHost(const char *host) {
    Unload();
    host != nullptr ? qzk_set_host_name(kernel_, host)
                    : qzk_set_sibling_available(kernel_, "qzhost", 0);
    ext_ = Load();
    ASSERT_NE(ext_, nullptr);
    blocks_ = Stats().blocks;
  }
  Result Create(const char *directory, const Request &request) {
    return CreateName(directory, request.get());
  }

  const uint32_t pid_ = static_cast<uint32_t>(getpid());
  const std::string short_pid_ = Hex(pid_ & 0xffff, 4);
};

TEST_F(CreateNameTest, NamesInOrder) {
  LoadWithHost("node7");
  const std::string utility = "QOR_util%" + Hex(pid_, 8) + "_node7";
  const struct Case {
    Request request;
    const char *directory;
    std::string expected; // "%": the counter's digits; empty: `status`
    QZStatus status = QZ_OK;
  } cases[] = {
      {{QZIOE_NAME_UTILITY}, "/var/tmp", "/var/tmp/" + utility},
      {{QZIOE_NAME_WITHOUT_EXTENSION, "tmp"}, "/var/tmp", "/var/tmp/tmp" + short_pid_ + "00%"},
      {{QZIOE_NAME_WITH_EXTENSION | QZIOE_NAME_WITHOUT_EXTENSION, "tmp", "dat"},
       "/var/tmp",
       "/var/tmp/tmp" + short_pid_ + "00%.dat"},
      {{0, "tmp", "dat"}, "/var/tmp", "", QZIOE_BAD_OPTIONS}, // spends a value all the same
      {{QZIOE_NAME_WITH_EXTENSION, "tmp", "dat"}, nullptr, "@/w/tmp" + short_pid_ + "00%.dat"},
      {{QZIOE_NAME_WITHOUT_EXTENSION, "tmp  "}, "/v", "/v/tmp" + short_pid_ + "00%"},
      {{QZIOE_NAME_UTILITY | QZIOE_NAME_WITHOUT_EXTENSION, "unused"}, "/v", "/v/" + utility},
      {{QZIOE_NAME_UTILITY | QZIOE_NAME_WITH_EXTENSION, "unused", "log  "},
       "/v",
       "/v/" + utility + ".log"},
  };
  uint32_t counter = 0;
  for (const Case &c : cases) {
    ++counter;
    SCOPED_TRACE(counter);
    const Result got = Create(c.directory, c.request);
    EXPECT_EQ(got.status, c.status);
    if (c.status != QZ_OK) continue;
    std::string expected = Fill(c.expected);
    expected.replace(expected.find('%'), 1, Hex(counter, 4));
    EXPECT_EQ(got.path, expected);
  }
}

TEST_F(CreateNameTest, CounterWrapsToZeroAfterFFFE) {
  ext_->name_counter = QZIOE_NAME_COUNTER_LAST - 1;
  for (const char *expected : {"FFFE", "0000", "0001"}) {
    const Result got = Create("/v", {QZIOE_NAME_UTILITY});
    EXPECT_EQ(got.path.substr(0, 15), std::string("/v/QOR_util") + expected);
  }
}

TEST_F(CreateNameTest, WithoutHostNameTheUtilityNameEndsInTheUnderscore) {
  LoadWithHost(nullptr);
  EXPECT_EQ(Create("/v", {QZIOE_NAME_UTILITY}).path, "/v/QOR_util0001" + Hex(pid_, 8) + "_");
}

TEST_F(CreateNameTest, Refusals) {
  const struct Case {
    const char *what;
    Request request;
    QZStatus expected;
  } cases[] = {
      {"prefix of 1024",
       {QZIOE_NAME_WITHOUT_EXTENSION, std::string(1024, 'p')},
       QZIOE_NAME_TOO_LONG},
      {"name over 1024",
       {QZIOE_NAME_WITHOUT_EXTENSION, std::string(1023, 'p')},
       QZS_BUFFER_TOO_SMALL},
      {"path of 1025", {QZIOE_NAME_WITHOUT_EXTENSION, std::string(1014, 'p')}, QZIOE_NAME_TOO_LONG},
      {"path of 1023", {QZIOE_NAME_WITHOUT_EXTENSION, std::string(1012, 'p')}, QZ_OK},
      {"zero in the prefix", {QZIOE_NAME_WITHOUT_EXTENSION, std::string("a\0b", 3)}, QZIOE_FAILED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Create("/", c.request).status, c.expected);
  }

  QZIOENameRequest request = Request(QZIOE_NAME_WITHOUT_EXTENSION).get();
  request.prefix_length = 3; // and no prefix
  EXPECT_EQ(CreateName("/", request).status, QZIOE_BAD_NAME);
  qzk_fail_nth(kernel_, QZK_FAULT_NAMED_VALUE, 1);
  EXPECT_EQ(Create("/", {QZIOE_NAME_UTILITY}).status, QZK_INJECTED);

  QZChar *path = nullptr;
  uint32_t length = 0;
  request.prefix_length = 0;
  EXPECT_EQ(ext_->createname(nullptr, nullptr, 0, &request, &path, &length), QZIOE_BAD_HANDLE);
  EXPECT_EQ(ext_->createname(ext_, nullptr, 0, nullptr, &path, &length), QZIOE_FAILED);
  EXPECT_EQ(ext_->createname(ext_, nullptr, 0, &request, nullptr, &length), QZS_BAD_VALUE);
  EXPECT_EQ(path, nullptr);

  SweepAllocations("prefixed name", [&] {
    return Create(nullptr, {QZIOE_NAME_WITH_EXTENSION, "tmp", "dat"}).status;
  });
  SweepAllocations("utility name", [&] { return Create("/v", {QZIOE_NAME_UTILITY}).status; });
}

TEST_F(CreateNameTest, OverlappingCallsNeverShareAValue) {
  const int threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 2, 4);
  struct Round {
    int32_t start; // the counter before the round
    int each;      // names per thread
  };
  // One long round, then many short ones that pass the wrap while every
  // thread is in the middle of its calls. Rounds are cheap (spinning, no
  // sleeping), so that enough of them run for two calls to meet at the wrap.
  std::vector<Round> rounds = {{0, 3000}};
  for (int i = 0; i < 5000; ++i)
    rounds.push_back({static_cast<int32_t>(QZIOE_NAME_COUNTER_LAST - threads), 4});

  const Request request(QZIOE_NAME_WITHOUT_EXTENSION, "t");
  std::vector<std::vector<std::string>> names(threads);
  std::atomic<int> failures{0};
  auto make_names = [&](std::vector<std::string> &out, int count) {
    const QZIOENameRequest r = request.get();
    const QZChar dir[] = {'/'};
    for (int n = 0; n < count; ++n) {
      QZChar *path = nullptr;
      uint32_t length = 0;
      if (ext_->createname(ext_, dir, 1, &r, &path, &length) != QZ_OK) {
        ++failures;
        continue;
      }
      out.push_back(Narrow(path, length));
      ext_->createnamedestroy(ext_, path);
    }
  };
  // This thread starts each round and takes part in it.
  std::atomic<int> started{-1}, finished{0};
  std::vector<std::thread> helpers;
  for (int t = 1; t < threads; ++t)
    helpers.emplace_back([&, t] {
      for (int i = 0; i < static_cast<int>(rounds.size()); ++i) {
        while (started.load(std::memory_order_acquire) != i)
          std::this_thread::yield();
        make_names(names[t], rounds[i].each);
        finished.fetch_add(1, std::memory_order_acq_rel);
      }
    });
  int shared = 0;
  for (int i = 0; i < static_cast<int>(rounds.size()); ++i) {
    ext_->name_counter = rounds[i].start;
    finished.store(0, std::memory_order_relaxed);
    started.store(i, std::memory_order_release);
    make_names(names[0], rounds[i].each);
    while (finished.load(std::memory_order_acquire) != threads - 1)
      std::this_thread::yield();
    std::set<std::string> distinct;
    for (auto &list : names) {
      distinct.insert(list.begin(), list.end());
      list.clear();
    }
    if (distinct.size() != static_cast<size_t>(threads * rounds[i].each)) ++shared;
  }
  for (auto &helper : helpers)
    helper.join();
  EXPECT_EQ(shared, 0) << "rounds in which two calls took the same value";
  EXPECT_EQ(failures.load(), 0);
  ExpectNoBlockLeft();
}

} // namespace
} // namespace qztest
