// hexdump and write-bytes: binary files through a handle.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>

#include "commands.h"
#include "handle.h"
#include "output.h"

namespace qzio {
namespace {

bool parse_hex(const std::string &hex, std::string &out) {
  std::string digits;
  for (char c : hex)
    if (std::isxdigit(static_cast<unsigned char>(c)))
      digits += c;
    else if (c != ' ' && c != ':' && c != '\n' && c != '\t')
      return false;
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2)
    out += static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16));
  return true;
}

// A byte count or offset: decimal, 0x hex or 0 octal, then k, m or g for
// 1024, 1024^2 or 1024^3; below 2^63, as file offsets are.
bool parse_count(const std::string &text, uint64_t &value) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char *end = nullptr;
  uint64_t number = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0) return false;
  const std::string suffix = end;
  const int shift = suffix.empty()                   ? 0
                    : suffix == "k" || suffix == "K" ? 10
                    : suffix == "m" || suffix == "M" ? 20
                    : suffix == "g" || suffix == "G" ? 30
                                                     : -1;
  if (shift < 0 || number > (uint64_t{INT64_MAX} >> shift)) return false;
  value = number << shift;
  return true;
}

// Prints `limit` bytes (or to the end) from `skip` on, block by block, as
// they are read: memory stays one block, whatever the file's size. A
// positioned read reaches any offset at once; a buffered handle reads from
// the start.
bool dump_file(const Session &session, const std::string &path, bool direct, uint64_t skip,
               uint64_t limit, bool every_line) {
  const bool positioned = direct || skip > 0;
  const uint64_t asked = limit;
  FileHandle file;
  if (!file.open_binary(session, path, QZIOE_MODE_INPUT, !positioned, QZIOE_BLOCK_SIZE))
    return false;
  QZIOEFile *handle = file.get();
  HexLines lines(stdout, skip, every_line);
  auto at = static_cast<int64_t>(skip);
  bool ok = true;
  while (limit > 0 && output_ok()) {
    void *address = nullptr;
    uint32_t length = limit < QZIOE_BLOCK_SIZE ? static_cast<uint32_t>(limit) : QZIOE_BLOCK_SIZE;
    const QZStatus status = handle->read(handle, &address, &length, 0, positioned ? &at : nullptr);
    if (status == QZIOE_END_OF_FILE) break;
    if (status != QZ_OK) {
      ok = file.fail("read", status, kind_seen(session, path, false));
      break;
    }
    if (length == 0) break;
    lines.add(address, length);
    at += length;
    limit -= length;
  }
  lines.finish();
  // A skip past the data ends, as hexdump -C ends it, at the end of a file
  // that has any.
  uint64_t size = 0;
  if (ok && !lines.any() && skip > 0 && asked > 0 && file_size(session, path, size) && size > 0)
    std::printf("%08llx\n", static_cast<unsigned long long>(std::min(skip, size)));
  return file.close() && ok && output_ok();
}

} // namespace

void add_bytes_commands(CLI::App &app, Shared &shared) {
  struct DumpArgs {
    std::string path, skip, length;
    bool direct = false, every_line = false;
  };
  auto dump = std::make_shared<DumpArgs>();
  CLI::App *hexdump = app.add_subcommand("hexdump", "Print a file's bytes as hexdump -C does, "
                                                    "read block by block through a binary handle");
  hexdump
      ->add_option("FILE", dump->path,
                   "The file (a kernel name: $VARS, ~ and relative names "
                   "are expanded)")
      ->required();
  hexdump->add_option("-s,--skip", dump->skip,
                      "Start OFFSET bytes into the file (decimal, 0x hex or 0 octal, times 1024 "
                      "with k, m or g); read at that offset through an unbuffered handle");
  hexdump->add_option("-n,--length", dump->length, "Print at most COUNT bytes (as for --skip)");
  hexdump->add_flag("-v", dump->every_line,
                    "Print every line (a run of lines like the one before is otherwise one *)");
  hexdump->add_flag("--direct", dump->direct, "Use an unbuffered handle (direct reads)");
  hexdump->callback([&shared, dump] {
    uint64_t skip = 0, limit = UINT64_MAX;
    if ((!dump->skip.empty() && !parse_count(dump->skip, skip)) ||
        (!dump->length.empty() && !parse_count(dump->length, limit))) {
      std::fprintf(stderr, "qzio: an offset or count is a number below 2^63, e.g. 4096, 0x1000 or "
                           "4k\n");
      shared.exit_status = 2;
      return;
    }
    Session session;
    bool ok = session.open(shared.options) &&
              dump_file(session, dump->path, dump->direct, skip, limit, dump->every_line);
    ok = session.close() && ok;
    shared.exit_status = ok ? 0 : 1;
  });

  struct WriteArgs {
    std::string path, hex, text;
    bool append = false;
  };
  auto put = std::make_shared<WriteArgs>();
  CLI::App *write = app.add_subcommand("write-bytes", "Write bytes to a file through a binary "
                                                      "handle (standard input by default)");
  write->add_option("FILE", put->path, "The file to create or replace")->required();
  write->add_option("--hex", put->hex, "The bytes as hex digits, e.g. \"de ad be ef\"");
  write->add_option("--text", put->text, "The bytes of this text");
  write->add_flag("--append", put->append, "Append instead of replacing");
  write->callback([&shared, put] {
    std::string bytes;
    if (!put->hex.empty()) {
      if (!parse_hex(put->hex, bytes)) {
        std::fprintf(stderr, "qzio: --hex takes pairs of hex digits\n");
        shared.exit_status = 2;
        return;
      }
    } else if (!put->text.empty()) {
      bytes = put->text;
    } else {
      bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    }
    Session session;
    bool ok = session.open(shared.options);
    if (ok) {
      FileHandle file;
      ok = file.open_binary(session, put->path, put->append ? QZIOE_MODE_APPEND : QZIOE_MODE_OUTPUT,
                            true, QZIOE_BLOCK_SIZE) &&
           file.write_all(bytes, nullptr);
      ok = file.close() && ok;
    }
    if (ok) std::printf("%zu bytes written to %s\n", bytes.size(), put->path.c_str());
    ok = session.close() && ok;
    shared.exit_status = ok ? 0 : 1;
  });
}

} // namespace qzio
