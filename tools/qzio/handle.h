// A file handle opened through the extension object's open word and closed
// through its own close word.
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
  ~FileHandle() { close(); }

  // Opens `path` (bytes of the OS encoding) as a binary file. Prints the
  // status on failure.
  bool open_binary(const Session &session, const std::string &path, uint32_t mode, bool buffered,
                   uint32_t record_length);
  QZIOEFile *get() const { return file_; }
  // Closes the handle; the status of the close word (0 when none is open).
  QZStatus close();

private:
  QZIOEFile *file_ = nullptr;
};

// Bytes of the OS encoding as QZChar, one per byte.
std::vector<QZChar> to_qzchars(const std::string &bytes);

// QZChar units below 256 as bytes of the OS encoding ('?' for others).
std::string to_bytes(const QZChar *chars, size_t count);

// Expands a name through the extension's path expansion and prints the path.
bool expand(const Session &session, const std::string &name);

// Writes all bytes through the handle's write word; false with a message.
bool write_all(QZIOEFile *file, const std::string &bytes, int64_t *offset);
// Reads the whole file through the handle's read word in records of
// `record` bytes (or one direct read at *offset when given).
bool read_all(QZIOEFile *file, uint32_t record, std::string &out);
// Canonical hex dump lines: offset, 16 bytes in hex, printable text.
std::string hex_dump(const std::string &bytes, uint64_t base);

} // namespace qzio
