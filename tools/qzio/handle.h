// A file handle opened through the extension object's open word and closed
// through its own close word. Each handle has a journal of its own, so that
// a failure is told with the system's text the library reported.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "qzioe/fileio.h"
#include "session.h"

namespace qzio {

class FileHandle {
public:
  FileHandle() = default;
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;
  ~FileHandle();

  // Opens `path` (bytes of the OS encoding) with `options`; prints
  // "qzio: cannot open 'PATH': ..." on failure.
  bool open(const Session &session, const std::string &path, QZIOEOpenOptions options);
  bool open_binary(const Session &session, const std::string &path, uint32_t mode, bool buffered,
                   uint32_t record_length);
  QZIOEFile *get() const { return file_; }
  const std::string &path() const { return path_; }

  // Prints "qzio: cannot VERB 'PATH': STATUS" with the journal's latest
  // report, else `seen`; returns false.
  bool fail(const char *verb, QZStatus status, const std::string &seen = {}) const;

  // Writes all bytes through the write word.
  bool write_all(const std::string &bytes, int64_t *offset);
  // Reads the whole file through the read word in records of `record` bytes.
  bool read_all(uint32_t record, std::string &out);
  // Closes the handle; false with a message when the close word fails.
  bool close();

private:
  void release();

  QZIOEFile *file_ = nullptr;
  QZJournal *journal_ = nullptr;
  std::string path_;
};

// An open-options record; encodings 0 take the open's defaults.
QZIOEOpenOptions open_options(uint32_t mode, uint32_t format, bool buffered, uint32_t length,
                              uint32_t file_encoding = 0, uint32_t record_encoding = 0);

// Bytes of the OS encoding as QZChar, one per byte.
std::vector<QZChar> to_qzchars(const std::string &bytes);

// QZChar units below 256 as bytes of the OS encoding ('?' for others).
std::string to_bytes(const QZChar *chars, size_t count);

// Expands a name through the extension's path expansion and prints the path.
bool expand(const Session &session, const std::string &name);

// Canonical hex dump lines (those of hexdump -C), printed as the bytes come:
// the offset, 16 bytes in hex and their printable text. A line the same as
// the one before is left out, a run of them shown as one "*", unless every
// line is wanted. Needs no more memory than one line, whatever the length.
class HexLines {
public:
  HexLines(std::FILE *out, uint64_t offset, bool every_line)
      : out_(out), offset_(offset), every_line_(every_line) {}
  void add(const void *bytes, size_t count);
  // The last, partial line and the offset after the last byte; nothing
  // when no byte came.
  void finish();
  bool any() const { return any_; }

private:
  void print(const uint8_t *bytes, size_t count);

  std::FILE *out_;
  uint64_t offset_; // of the line being gathered
  bool every_line_;
  uint8_t line_[16];
  size_t gathered_ = 0;
  uint8_t previous_[16];
  bool have_previous_ = false;
  bool starred_ = false;
  bool any_ = false;
};

// The dump of `bytes` from offset 0 on standard output.
void print_hex(const std::string &bytes);

} // namespace qzio
