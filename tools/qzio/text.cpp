// cat and convert: text files through line handles, in any encoding.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "handle.h"
#include "output.h"

namespace qzio {
namespace {

struct EncodingName {
  const char *name;
  uint32_t id;
};
constexpr EncodingName kEncodingNames[] = {
    {"utf-8", QZ_ENC_UTF8},       {"utf-16le", QZ_ENC_UTF16LE}, {"utf-16be", QZ_ENC_UTF16BE},
    {"utf-32le", QZ_ENC_UTF32LE}, {"utf-32be", QZ_ENC_UTF32BE}, {"latin-1", QZ_ENC_OS},
};

std::string encoding_help() {
  std::string names;
  for (const EncodingName &e : kEncodingNames)
    names += std::string(names.empty() ? "" : ", ") + e.name + " (" + std::to_string(e.id) + ")";
  return "utf-8 and the others by name or number: " + names;
}

// Prints the records of one file as UTF-8 lines; a record that came in
// pieces is joined and counted.
bool cat_file(const Session &session, const std::string &path, uint32_t encoding, uint32_t length,
              bool buffered, uint32_t &pieced) {
  FileHandle file;
  if (!file.open(session, path,
                 open_options(QZIOE_MODE_INPUT, QZIOE_FORMAT_VARIABLE, buffered, length, encoding,
                              QZ_ENC_UTF8)))
    return false;
  QZIOEFile *handle = file.get();
  bool in_piece = false;
  // Output that fails ends the reading too: the file may have no end.
  while (output_ok()) {
    void *address = nullptr;
    uint32_t got = 0;
    const QZStatus status = handle->read(handle, &address, &got, 0, nullptr);
    if (status == QZIOE_END_OF_FILE) break;
    if (status != QZ_OK && status != QZIOE_RECORD_SPLIT) {
      file.fail("read", status);
      file.close();
      return false;
    }
    if (got > 0) std::fwrite(address, 1, got, stdout);
    if (status == QZ_OK) std::fputc('\n', stdout);
    if (status == QZIOE_RECORD_SPLIT && !in_piece) ++pieced;
    in_piece = status == QZIOE_RECORD_SPLIT;
  }
  return file.close() && output_ok();
}

// Copies every record of `in` to `out` with its line feed, pieces as they
// come: the stream writer adds nothing between them and writes the mark once.
bool convert_file(FileHandle &in, FileHandle &out) {
  static const QZChar kLineFeed = U'\n';
  QZIOEFile *reader = in.get();
  QZIOEFile *writer = out.get();
  for (;;) {
    void *address = nullptr;
    uint32_t got = 0;
    const QZStatus status = reader->read(reader, &address, &got, 0, nullptr);
    if (status == QZIOE_END_OF_FILE) return true;
    if (status != QZ_OK && status != QZIOE_RECORD_SPLIT) return in.fail("read", status);
    if (got > 0) {
      if (const QZStatus put = writer->write(writer, address, got, 0, nullptr); put != QZ_OK)
        return out.fail("write", put);
    }
    if (status == QZ_OK) {
      if (const QZStatus put = writer->write(writer, &kLineFeed, sizeof kLineFeed, 0, nullptr);
          put != QZ_OK)
        return out.fail("write", put);
    }
  }
}

} // namespace

bool parse_encoding(const std::string &text, uint32_t &id) {
  for (const EncodingName &e : kEncodingNames)
    if (strcasecmp(text.c_str(), e.name) == 0) {
      id = e.id;
      return true;
    }
  char *end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 10);
  for (const EncodingName &e : kEncodingNames)
    if (!text.empty() && *end == '\0' && number == e.id) {
      id = e.id;
      return true;
    }
  std::fprintf(stderr, "qzio: unknown encoding '%s' (%s)\n", text.c_str(), encoding_help().c_str());
  return false;
}

bool show_utf16_round_trip(const Session &session, const std::string &path) {
  const std::u32string lines[] = {U"gr\u00fc\u00dfe", U"", U"\U0001f600 outside the BMP"};
  {
    FileHandle out;
    if (!out.open(session, path,
                  open_options(QZIOE_MODE_OUTPUT, QZIOE_FORMAT_VARIABLE, true, 256, QZ_ENC_UTF16LE,
                               QZ_ENC_UTF32LE)))
      return false;
    for (const std::u32string &line : lines) {
      QZIOEFile *file = out.get();
      if (const QZStatus s =
              file->write(file, line.data(), static_cast<uint32_t>(line.size() * 4), 0, nullptr);
          s != QZ_OK)
        return out.fail("write", s);
    }
    if (!out.close()) return false;
  }
  FileHandle raw;
  std::string bytes;
  if (!raw.open_binary(session, path, QZIOE_MODE_INPUT, true, QZIOE_BLOCK_SIZE) ||
      !raw.read_all(QZIOE_BLOCK_SIZE, bytes) || !raw.close())
    return false;
  std::printf("wrote 3 lines as UTF-16LE (the mark ff fe leads):\n");
  print_hex(bytes);
  std::printf("read back as UTF-8 records:\n");
  uint32_t pieced = 0;
  return cat_file(session, path, QZ_ENC_UTF16LE, 256, true, pieced);
}

void add_text_commands(CLI::App &app, Shared &shared) {
  struct CatArgs {
    std::vector<std::string> paths;
    std::string encoding = "latin-1";
    uint32_t length = QZIOE_BLOCK_SIZE;
    bool unbuffered = false;
  };
  auto cat = std::make_shared<CatArgs>();
  CLI::App *cmd = app.add_subcommand("cat", "Print text files as UTF-8 lines, read through line "
                                            "handles");
  cmd->add_option("FILE", cat->paths, "The files (kernel names)")->required();
  cmd->add_option("--encoding", cat->encoding,
                  "The files' encoding (default latin-1); " + encoding_help());
  cmd->add_option("--record-length", cat->length,
                  "Longest record in bytes of the file (default 8192); longer lines come in "
                  "pieces, joined here")
      ->check(CLI::Range(1u, 1u << 24));
  cmd->add_flag("--unbuffered", cat->unbuffered, "Use the direct (unbuffered) line reader");
  cmd->callback([&shared, cat] {
    uint32_t encoding = 0;
    if (!parse_encoding(cat->encoding, encoding)) {
      shared.exit_status = 2;
      return;
    }
    uint32_t pieced = 0;
    for_each_name(shared, cat->paths, [&](Session &session, const std::string &path, size_t) {
      return cat_file(session, path, encoding, cat->length, !cat->unbuffered, pieced);
    });
    // The lines first, then what is said about them.
    if (!flush_output()) shared.exit_status = 1;
    if (pieced > 0)
      std::fprintf(stderr, "qzio: %u lines were longer than %u bytes and came in pieces\n", pieced,
                   cat->length);
  });

  struct ConvertArgs {
    std::string from, to, in, out;
    bool no_bom = false;
  };
  auto conv = std::make_shared<ConvertArgs>();
  CLI::App *convert = app.add_subcommand(
      "convert", "Rewrite a text file in another encoding, through a reading and a writing handle");
  convert->add_option("--from", conv->from, "Encoding of IN; " + encoding_help())->required();
  convert->add_option("--to", conv->to, "Encoding of OUT")->required();
  convert->add_flag("--no-bom", conv->no_bom, "Write no byte-order mark");
  convert->add_option("IN", conv->in, "The file to read")->required();
  convert->add_option("OUT", conv->out, "The file to create or replace")->required();
  convert->callback([&shared, conv] {
    uint32_t from = 0, to = 0;
    if (!parse_encoding(conv->from, from) || !parse_encoding(conv->to, to)) {
      shared.exit_status = 2;
      return;
    }
    Session session;
    bool ok = session.open(shared.options);
    if (ok) {
      FileHandle in, out;
      QZIOEOpenOptions writing = open_options(QZIOE_MODE_OUTPUT, QZIOE_FORMAT_STREAM, true,
                                              4 * QZIOE_BLOCK_SIZE, to, QZ_ENC_UTF32LE);
      writing.options = conv->no_bom ? QZIOE_OPT_NO_BOM : 0;
      ok = in.open(session, conv->in,
                   open_options(QZIOE_MODE_INPUT, QZIOE_FORMAT_VARIABLE, true, QZIOE_BLOCK_SIZE,
                                from, QZ_ENC_UTF32LE)) &&
           out.open(session, conv->out, writing) && convert_file(in, out);
      ok = in.close() && ok;
      ok = out.close() && ok;
    }
    ok = session.close() && ok;
    shared.exit_status = ok ? 0 : 1;
  });
}

} // namespace qzio
