#include "handle.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

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

bool FileHandle::fail(const char *verb, QZStatus status, const std::string &seen) const {
  return qzio::fail(std::string("cannot ") + verb + " '" + path_ + "'", status, journal_, seen);
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

void HexLines::add(const void *bytes, size_t count) {
  const auto *at = static_cast<const uint8_t *>(bytes);
  any_ = any_ || count > 0;
  while (count > 0) {
    const size_t take = std::min(count, sizeof line_ - gathered_);
    std::memcpy(line_ + gathered_, at, take);
    gathered_ += take;
    at += take;
    count -= take;
    if (gathered_ == sizeof line_) {
      print(line_, sizeof line_);
      offset_ += sizeof line_;
      gathered_ = 0;
    }
  }
}

void HexLines::finish() {
  if (gathered_ > 0) print(line_, gathered_);
  offset_ += gathered_;
  gathered_ = 0;
  if (any_) std::fprintf(out_, "%08llx\n", static_cast<unsigned long long>(offset_));
}

void HexLines::print(const uint8_t *bytes, size_t count) {
  const bool whole = count == sizeof line_;
  if (whole && !every_line_ && have_previous_ && std::memcmp(bytes, previous_, count) == 0) {
    if (!starred_) std::fputs("*\n", out_);
    starred_ = true;
    return;
  }
  starred_ = false;
  have_previous_ = whole;
  if (whole) std::memcpy(previous_, bytes, count);
  static constexpr char kDigits[] = "0123456789abcdef";
  char text[96];
  int n = std::snprintf(text, sizeof text, "%08llx ", static_cast<unsigned long long>(offset_));
  for (size_t i = 0; i < sizeof line_; ++i) {
    if (i == 8) text[n++] = ' ';
    text[n++] = ' ';
    text[n++] = i < count ? kDigits[bytes[i] >> 4] : ' ';
    text[n++] = i < count ? kDigits[bytes[i] & 15] : ' ';
  }
  text[n++] = ' ';
  text[n++] = ' ';
  text[n++] = '|';
  for (size_t i = 0; i < count; ++i)
    text[n++] = bytes[i] >= 0x20 && bytes[i] < 0x7f ? static_cast<char>(bytes[i]) : '.';
  text[n++] = '|';
  text[n++] = '\n';
  std::fwrite(text, 1, static_cast<size_t>(n), out_);
}

void print_hex(const std::string &bytes) {
  HexLines lines(stdout, 0, false);
  lines.add(bytes.data(), bytes.size());
  lines.finish();
}

} // namespace qzio
