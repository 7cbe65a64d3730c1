#include "handle.h"

#include <cstdio>

namespace qzio {

std::vector<QZChar> to_qzchars(const std::string &bytes) {
  std::vector<QZChar> out;
  out.reserve(bytes.size());
  for (unsigned char c : bytes)
    out.push_back(c);
  return out;
}

std::string to_bytes(const QZChar *chars, size_t count) {
  std::string out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i)
    out += chars[i] < 0x100 ? static_cast<char>(chars[i]) : '?';
  return out;
}

FileHandle::~FileHandle() {
  if (file_ != nullptr) file_->close(file_);
  file_ = nullptr;
  release();
}

void FileHandle::release() {
  if (journal_ != nullptr) qzk_journal_destroy(journal_);
  journal_ = nullptr;
}

bool FileHandle::open(const Session &session, const std::string &path, QZIOEOpenOptions options) {
  if (file_ != nullptr) close();
  release();
  path_ = path;
  journal_ = qzk_journal_create(session.kernel(), 0);
  options.journal = journal_;
  QZIOEExtension *ext = session.extension();
  const std::vector<QZChar> name = to_qzchars(path);
  QZStatus status = QZ_OK;
  file_ = ext->open(ext, name.data(), static_cast<int32_t>(name.size()), &options, 0, 0, "qzio",
                    &status);
  return file_ != nullptr || fail("open", status);
}

QZIOEOpenOptions open_options(uint32_t mode, uint32_t format, bool buffered, uint32_t length,
                              uint32_t file_encoding, uint32_t record_encoding) {
  QZIOEOpenOptions options{};
  options.open_mode = mode;
  options.buffered = buffered ? 1 : 0;
  options.record_length = length;
  options.record_format = format;
  options.file_encoding = file_encoding;
  options.record_encoding = record_encoding;
  return options;
}

bool FileHandle::open_binary(const Session &session, const std::string &path, uint32_t mode,
                             bool buffered, uint32_t record_length) {
  return open(session, path, open_options(mode, QZIOE_FORMAT_BINARY, buffered, record_length));
}

bool FileHandle::fail(const char *verb, QZStatus status) const {
  return qzio::fail(std::string("cannot ") + verb + " '" + path_ + "'", status, journal_);
}

bool FileHandle::close() {
  if (file_ == nullptr) return true;
  QZIOEFile *file = file_;
  file_ = nullptr;
  const QZStatus status = file->close(file);
  return status == QZ_OK || fail("close", status);
}

bool FileHandle::write_all(const std::string &bytes, int64_t *offset) {
  const QZStatus status =
      file_->write(file_, bytes.data(), static_cast<uint32_t>(bytes.size()), 0, offset);
  return status == QZ_OK || fail("write", status);
}

bool FileHandle::read_all(uint32_t record, std::string &out) {
  for (;;) {
    void *address = nullptr;
    uint32_t length = record;
    const QZStatus status = file_->read(file_, &address, &length, 0, nullptr);
    if (status == QZIOE_END_OF_FILE) return true;
    if (status != QZ_OK) return fail("read", status);
    out.append(static_cast<const char *>(address), length);
  }
}

std::string hex_dump(const std::string &bytes, uint64_t base) {
  std::string out;
  char line[96];
  for (size_t at = 0; at < bytes.size(); at += 16) {
    int n = std::snprintf(line, sizeof line, "%08llx ", static_cast<unsigned long long>(base + at));
    std::string text;
    for (size_t i = 0; i < 16; ++i) {
      if (at + i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[at + i]);
        n += std::snprintf(line + n, sizeof line - n, "%s%02x", i == 8 ? "  " : " ", c);
        text += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '.';
      } else {
        n += std::snprintf(line + n, sizeof line - n, "%s   ", i == 8 ? "  " : "");
      }
    }
    out += line;
    out += "  |" + text + "|\n";
  }
  return out;
}

} // namespace qzio
