// hexdump and write-bytes: binary files through a handle.
#include <cstdio>
#include <iostream>
#include <iterator>

#include "commands.h"
#include "handle.h"

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

} // namespace

void add_bytes_commands(CLI::App &app, Shared &shared) {
  struct DumpArgs {
    std::string path;
    bool direct = false;
  };
  auto dump = std::make_shared<DumpArgs>();
  CLI::App *hexdump = app.add_subcommand("hexdump", "Print a file's bytes, read through a binary "
                                                    "handle");
  hexdump
      ->add_option("FILE", dump->path,
                   "The file (a kernel name: $VARS, ~ and relative names "
                   "are expanded)")
      ->required();
  hexdump->add_flag("--direct", dump->direct, "Use an unbuffered handle (direct reads)");
  hexdump->callback([&shared, dump] {
    Session session;
    std::string bytes;
    bool ok = session.open(shared.options);
    if (ok) {
      FileHandle file;
      ok = file.open_binary(session, dump->path, QZIOE_MODE_INPUT, !dump->direct,
                            QZIOE_BLOCK_SIZE) &&
           file.read_all(QZIOE_BLOCK_SIZE, bytes);
      ok = file.close() && ok;
    }
    if (ok) std::fputs(hex_dump(bytes, 0).c_str(), stdout);
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
