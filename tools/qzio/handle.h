// A file handle opened through the extension object's open word and closed
// through its own close word. Each handle has a journal of its own, so that
// a failure is told with the system's text the library reported.
#pragma once

#include <cstdint>
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

  // Prints "qzio: cannot VERB 'PATH': STATUS" with the journal's rendered
  // report of that status when there is one; returns false.
  bool fail(const char *verb, QZStatus status) const;

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

// Canonical hex dump lines: offset, 16 bytes in hex, printable text.
std::string hex_dump(const std::string &bytes, uint64_t base);

} // namespace qzio
