// The kernel handle's words, lists and named values.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "harness.h"

namespace qztest {
namespace {

const QZListOptions kListOptions{{0, 0, 1, 0x20000000u, 0, 0}};

// Values in the order the destroy callback saw their entries.
std::vector<void *> destroyed;

QZStatus RecordDestroy(QZListEntry *entry) {
  destroyed.push_back(entry->value);
  return 0;
}

class ObjectsTest : public KernelTest {};

TEST_F(ObjectsTest, HandleWordsAreFilledAndReservedWordsZero) {
  EXPECT_EQ(kernel_->magic, QZ_OBJECT_MAGIC);
  EXPECT_NE(kernel_->nls, nullptr);
  ASSERT_NE(kernel_->byte_transcoders, nullptr);
  ASSERT_NE(kernel_->timezone_west, nullptr);
  if (QZ_LAYOUT_32) {
    const std::vector<unsigned> named = {0, 3, 6, 8, 9, 14, 27, 46, 56};
    for (unsigned word = 0; word <= 56; ++word) {
      const bool is_named = std::find(named.begin(), named.end(), word) != named.end();
      if (is_named)
        EXPECT_NE(Word(kernel_, word), 0u) << "word " << word;
      else
        EXPECT_EQ(Word(kernel_, word), 0u) << "word " << word;
    }
  }
  // Word 46: the kernel's bytes (ISO-8859-1 by default) to QZChar.
  QZTranscoder *bytes = kernel_->byte_transcoders->to_qzchar;
  ASSERT_NE(bytes, nullptr);
  const char text[] = "A\xe9\xff";
  QZChar out[3] = {};
  uint32_t produced = 0;
  ASSERT_EQ(bytes->convert(bytes, text, 3, out, sizeof out, &produced, 0), 0u);
  EXPECT_EQ(produced, 12u);
  EXPECT_EQ(out[0], 0x41u);
  EXPECT_EQ(out[1], 0xe9u);
  EXPECT_EQ(out[2], 0xffu);
  // It belongs to the kernel and is neither counted nor destroyable.
  EXPECT_EQ(Stats().transcoders, 0u);
  EXPECT_NE(bytes->methods->destroy(bytes), 0u);
  EXPECT_EQ(TakeMisuses(), 1u);

  qzk_set_timezone(kernel_, -3600);
  EXPECT_EQ(*kernel_->timezone_west, -3600);
}

TEST_F(ObjectsTest, ListKeepsOrderCopiesKeysAndCallsBackPerEntry) {
  QZList *list = kernel_->create_list(kernel_, &kListOptions, 0, "QZIOE Info");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(Stats().lists, 1u);
  int values[3] = {};
  std::vector<QZChar> key = Chars("alpha");
  QZListEntry *first = nullptr;
  ASSERT_NE(list->add(list, 0, 0, &values[0], &first, key.data(), 20, 0), 0u);
  key[0] = 'X'; // the list keeps its own copy
  ASSERT_NE(list->add(list, 0, 0, &values[1], nullptr, nullptr, 0, 0), 0u);
  const std::vector<QZChar> beta = Chars("beta");
  QZListEntry *third = nullptr;
  ASSERT_NE(list->add(list, 0, 0, &values[2], &third, beta.data(), 16, 0), 0u);

  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->value, &values[0]);
  if (QZ_LAYOUT_32) {
    EXPECT_EQ(Word(first, 2), reinterpret_cast<uintptr_t>(&values[0]));
  }
  EXPECT_EQ(Narrow(first->key, first->key_bytes / 4), "alpha");
  EXPECT_EQ(list->count(list), 3u);
  EXPECT_EQ(list->entry_at(list, 0), first);
  EXPECT_EQ(list->entry_at(list, 1)->value, &values[1]);
  EXPECT_EQ(list->entry_at(list, 1)->key, nullptr);
  EXPECT_EQ(list->entry_at(list, 2), third);
  EXPECT_EQ(list->entry_at(list, 3), nullptr);
  EXPECT_EQ(first->next, list->entry_at(list, 1));

  const std::vector<QZChar> alpha = Chars("alpha");
  EXPECT_EQ(list->find(list, alpha.data(), 20), first);
  EXPECT_EQ(list->find(list, beta.data(), 16), third);
  EXPECT_EQ(list->find(list, alpha.data(), 16), nullptr); // a prefix is another key
  EXPECT_EQ(list->find(list, key.data(), 20), nullptr);

  qzk_fail_nth(kernel_, QZK_FAULT_LIST_ADD, 1);
  EXPECT_EQ(list->add(list, 0, 0, &values[0], nullptr, nullptr, 0, 0), 0u);
  EXPECT_EQ(list->count(list), 3u);

  destroyed.clear();
  EXPECT_EQ(list->set_destroy_callback(list, 0, RecordDestroy), 0u);
  const auto destroy = list->destroy; // the caller's copy outlives the list
  EXPECT_EQ(destroy(list), 0u);
  ASSERT_EQ(destroyed.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(destroyed[i], &values[i]);
  ExpectNothingAlive();

  EXPECT_NE(destroy(list), 0u);
  EXPECT_EQ(TakeMisuses(), 1u);
}

// Past the first few entries a list still keeps order, links, keys and one
// callback per entry.
TEST_F(ObjectsTest, LongListKeepsEveryEntry) {
  QZList *list = kernel_->create_list(kernel_, &kListOptions, 0, "long");
  ASSERT_NE(list, nullptr);
  constexpr uint32_t kEntries = 3000;
  std::vector<int> values(kEntries);
  std::vector<QZListEntry *> added(kEntries);
  for (uint32_t i = 0; i < kEntries; ++i) {
    const std::vector<QZChar> key = Chars("k" + std::to_string(i));
    ASSERT_NE(list->add(list, 0, 0, &values[i], &added[i], key.data(),
                        uint32_t(key.size() * sizeof(QZChar)), 0),
              0u);
  }
  EXPECT_EQ(list->count(list), kEntries);
  for (uint32_t i = 0; i < kEntries; ++i) {
    ASSERT_EQ(list->entry_at(list, i), added[i]);
    EXPECT_EQ(added[i]->value, &values[i]);
    EXPECT_EQ(added[i]->next, i + 1 < kEntries ? added[i + 1] : nullptr);
  }
  const std::vector<QZChar> key = Chars("k2999");
  EXPECT_EQ(list->find(list, key.data(), uint32_t(key.size() * sizeof(QZChar))), added[2999]);
  destroyed.clear();
  EXPECT_EQ(list->set_destroy_callback(list, 0, RecordDestroy), 0u);
  EXPECT_EQ(list->destroy(list), 0u);
  ASSERT_EQ(destroyed.size(), size_t(kEntries));
  for (uint32_t i = 0; i < kEntries; ++i)
    EXPECT_EQ(destroyed[i], &values[i]);
  ExpectNothingAlive();
}

TEST_F(ObjectsTest, NamedValueGivesProcessIdOnly) {
  const std::vector<QZChar> name = Chars("host.process_id");
  int32_t value = -1;
  uint32_t size = 4;
  ASSERT_EQ(kernel_->named_value(kernel_, name.data(), 15, QZ_VALUE_INT32, &value, &size), 0u);
  EXPECT_EQ(value, static_cast<int32_t>(getpid()));

  value = -1;
  const std::vector<QZChar> other = Chars("host.process_ix");
  EXPECT_EQ(kernel_->named_value(kernel_, other.data(), 15, QZ_VALUE_INT32, &value, &size),
            QZK_NO_SUCH_VALUE);
  EXPECT_EQ(kernel_->named_value(kernel_, name.data(), 14, QZ_VALUE_INT32, &value, &size),
            QZK_NO_SUCH_VALUE);
  EXPECT_EQ(TakeMisuses(), 0u);
  size = 8;
  EXPECT_EQ(kernel_->named_value(kernel_, name.data(), 15, QZ_VALUE_INT32, &value, &size),
            QZK_BAD_ARGUMENT);
  size = 4;
  EXPECT_EQ(kernel_->named_value(kernel_, name.data(), 15, 2, &value, &size), QZK_BAD_ARGUMENT);
  EXPECT_EQ(kernel_->named_value(kernel_, name.data(), 15, QZ_VALUE_INT32, nullptr, &size),
            QZK_BAD_ARGUMENT);
  EXPECT_EQ(kernel_->named_value(kernel_, name.data(), 15, QZ_VALUE_INT32, &value, nullptr),
            QZK_BAD_ARGUMENT);
  EXPECT_EQ(TakeMisuses(), 4u);
  EXPECT_EQ(value, -1);
  EXPECT_EQ(size, 4u);

  qzk_fail_nth(kernel_, QZK_FAULT_NAMED_VALUE, 1);
  EXPECT_EQ(kernel_->named_value(kernel_, name.data(), 15, QZ_VALUE_INT32, &value, &size),
            QZK_INJECTED);
  EXPECT_EQ(value, -1);
}

TEST_F(ObjectsTest, SiblingsLoadFreshAndReleaseOnce) {
  const std::vector<QZChar> fsx_name = Chars("qzfsx");
  const std::vector<QZChar> host_name = Chars("qzhost");
  const std::vector<QZChar> warden_name = Chars("qzwarden");
  QZExtension *fsx = kernel_->load_extension(kernel_, fsx_name.data(), 5, 0);
  QZExtension *fsx2 = kernel_->load_extension(kernel_, fsx_name.data(), 5, 0);
  QZExtension *warden = kernel_->load_extension(kernel_, warden_name.data(), 8, 7);
  ASSERT_NE(fsx, nullptr);
  ASSERT_NE(fsx2, nullptr);
  ASSERT_NE(warden, nullptr);
  EXPECT_NE(fsx, fsx2);
  EXPECT_NE(fsx->service.open_file, nullptr);
  EXPECT_EQ(warden->service.none, 0u);
  EXPECT_EQ(Stats().extensions, 3u);
  EXPECT_EQ(kernel_->load_extension(kernel_, fsx_name.data(), 4, 0), nullptr);
  EXPECT_EQ(kernel_->load_extension(kernel_, host_name.data(), 5, 0), nullptr);

  qzk_set_sibling_available(kernel_, "qzhost", 0);
  EXPECT_EQ(kernel_->load_extension(kernel_, host_name.data(), 6, 0), nullptr);
  qzk_set_sibling_available(kernel_, "qzhost", 1);
  QZExtension *host = kernel_->load_extension(kernel_, host_name.data(), 6, 0);
  ASSERT_NE(host, nullptr);

  const auto release = fsx->release;
  for (QZExtension *extension : {fsx, fsx2, warden, host})
    EXPECT_EQ(extension->release(extension), 0u);
  ExpectNothingAlive();
  EXPECT_NE(release(fsx), 0u);
  EXPECT_EQ(TakeMisuses(), 1u);
}

TEST_F(ObjectsTest, HostNameHonoursCapacityAndSelector) {
  const std::vector<QZChar> name = Chars("qzhost");
  QZExtension *host = kernel_->load_extension(kernel_, name.data(), 6, 0);
  ASSERT_NE(host, nullptr);
  QZChar buffer[64];
  std::fill(std::begin(buffer), std::end(buffer), 0xeeeeu);

  qzk_set_host_name(kernel_, "build-host.example");
  uint32_t count = 5;
  ASSERT_EQ(host->service.host_name(host, buffer, &count, QZHOST_NAME_SELECTOR), 0u);
  EXPECT_EQ(count, 5u);
  EXPECT_EQ(Narrow(buffer, 5), "build");
  EXPECT_EQ(buffer[5], 0xeeeeu);
  count = 64;
  ASSERT_EQ(host->service.host_name(host, buffer, &count, QZHOST_NAME_SELECTOR), 0u);
  EXPECT_EQ(Narrow(buffer, count), "build-host.example");
  count = 0;
  ASSERT_EQ(host->service.host_name(host, buffer, &count, QZHOST_NAME_SELECTOR), 0u);
  EXPECT_EQ(count, 0u);

  qzk_set_host_name(kernel_, nullptr);
  char system_name[256] = {};
  ASSERT_EQ(gethostname(system_name, sizeof system_name - 1), 0);
  count = 64;
  ASSERT_EQ(host->service.host_name(host, buffer, &count, QZHOST_NAME_SELECTOR), 0u);
  EXPECT_EQ(Narrow(buffer, count), std::string(system_name).substr(0, 64));

  count = 30;
  EXPECT_NE(host->service.host_name(host, buffer, &count, 1), 0u);
  EXPECT_NE(host->service.host_name(host, nullptr, &count, QZHOST_NAME_SELECTOR), 0u);
  EXPECT_EQ(count, 30u);
  EXPECT_EQ(TakeMisuses(), 2u);
  EXPECT_EQ(host->release(host), 0u);
}

} // namespace
} // namespace qztest
