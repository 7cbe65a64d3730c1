// Test fixtures shared by every suite: a fresh stand-in kernel per test and
// the extension loaded through the stand-in's loader, as the kernel does.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "qzioe/extension.h"
#include "qzkernel/standin.h"

namespace qztest {

// A QZChar string from ASCII or Latin-1 bytes, one unit per byte.
std::vector<QZChar> Chars(std::string_view text);
// Bytes from QZChar units below 256.
std::string Narrow(const QZChar *text, size_t count);

// Word `n` of a kernel-visible record, read by position. Only meaningful in
// the 32-bit build, where every word is 4 bytes.
inline uint32_t Word(const void *record, unsigned n) {
  return static_cast<const uint32_t *>(record)[n];
}

// Asserts at tear-down that the stand-in counted no misuse and nothing is
// left alive that the test did not keep on purpose.
class KernelTest : public ::testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;
  QZKStats Stats() const;
  // Expects no live pool, block, lock, list, transcoder, extension or
  // descriptor.
  void ExpectNothingAlive() const;
  // Misuses counted since the last call (or SetUp), which tear-down then
  // accepts: for tests that provoke refused calls on purpose.
  uint32_t TakeMisuses();

  QZHandle *kernel_ = nullptr;
  uint32_t accepted_misuses_ = 0;
};

// Loads the built extension in SetUp and destroys it in TearDown, then
// expects everything released.
class ExtensionTest : public KernelTest {
protected:
  void SetUp() override;
  void TearDown() override;
  // Loads a fresh extension; null with the loader's message as a failure.
  QZIOEExtension *Load(QZWord context = 0);
  void Unload();
  // Replaces the kernel by one made with `options` and loads the extension
  // into it; fails the test when it cannot.
  void RestartKernel(const QZKOptions &options);

  QZIOEExtension *ext_ = nullptr;
  QZKLoaded *loaded_ = nullptr;
};

} // namespace qztest
