// An independent statement of how a buffered reader cuts UTF-8 (or other
// one-byte) text into line records of at most `limit` bytes: the records
// joined with "|" ("~|" after a piece of a longer line), then "EOF". A mark
// at the start of a record is skipped when `marks` is set. Shared by the
// tests and the record-reader fuzz target.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace qzmodel {

inline std::string BufferedLineRecords(const std::string &bytes, uint32_t limit, bool marks) {
  static const std::string mark = "\xef\xbb\xbf";
  std::string out;
  size_t at = 0;
  while (at < bytes.size()) {
    if (marks && bytes.compare(at, mark.size(), mark) == 0) at += mark.size();
    const size_t left = bytes.size() - at;
    const size_t scanned = std::min<size_t>(left, limit);
    size_t lf = bytes.find('\n', at);
    lf = lf == std::string::npos || lf - at >= scanned ? std::string::npos : lf - at;
    if (lf == std::string::npos && scanned == limit && left > limit && bytes[at + limit] == '\n')
      lf = limit;
    else if (lf == std::string::npos && scanned == limit && left > limit + 1 &&
             bytes[at + limit] == '\r' && bytes[at + limit + 1] == '\n')
      lf = limit + 1;
    if (lf != std::string::npos) {
      const size_t record = lf > 0 && bytes[at + lf - 1] == '\r' ? lf - 1 : lf;
      out += bytes.substr(at, record) + "|";
      at += lf + 1;
    } else {
      out += bytes.substr(at, scanned) + (scanned == left ? "|" : "~|");
      at += scanned;
    }
  }
  return out + "EOF";
}

} // namespace qzmodel
