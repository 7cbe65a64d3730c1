// A tour of the extension's services, each step checked; the tour fails
// (exit status 1) at the first step that does not give what it should.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "handle.h"
#include "qzioe/format.h"

namespace qzio {
namespace {

bool step(const char *title) {
  std::printf("\n== %s\n", title);
  return true;
}

bool tour_object(const Session &session) {
  step("extension object");
  QZIOEExtension *ext = session.extension();
  if (ext->magic != QZ_OBJECT_MAGIC) {
    std::fprintf(stderr, "qzio: bad object magic 0x%08x\n", ext->magic);
    return false;
  }
  std::printf("magic 0x%08x, file services %s, extension pool %p\n", ext->magic,
              ext->fsx != nullptr ? "available" : "unavailable", static_cast<void *>(ext->pool));
  QZKStats s{};
  qzk_stats(session.kernel(), &s);
  std::printf("kernel holds for it: %u pool, %u block (%llu bytes), %u transcoders, %u "
              "sibling extensions\n",
              s.pools, s.blocks, static_cast<unsigned long long>(s.bytes), s.transcoders,
              s.extensions);
  return true;
}

// The embedded sample: every byte value, line ends, a UTF-8 byte-order mark
// and text, so that nothing in a binary file is taken for control data.
std::string sample() {
  std::string bytes = "QZIOE sample\r\n\xef\xbb\xbf";
  for (int i = 0; i < 256; ++i)
    bytes += static_cast<char>(i);
  // Repeat it past two 8192-byte blocks so the buffered path writes whole
  // blocks and keeps a pending tail.
  std::string out;
  while (out.size() < 20000)
    out += bytes;
  return out;
}

// A temporary directory that is removed with everything in it.
struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/qzio-demo-XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
  }
};

bool tour_binary(const Session &session) {
  step("binary round trip");
  TempDir dir;
  if (dir.path.empty()) {
    std::perror("qzio: mkdtemp");
    return false;
  }
  // The handles open a kernel name; the extension expands the reference.
  setenv("QZIO_DEMO", dir.path.c_str(), 1);
  const std::string path = "$QZIO_DEMO/sample.bin";
  std::printf("kernel name %s stands for ", path.c_str());
  if (!expand(session, path)) return false;
  const std::string bytes = sample();
  FileHandle out;
  if (!out.open_binary(session, path, QZIOE_MODE_OUTPUT, true, QZIOE_BLOCK_SIZE) ||
      !out.write_all(bytes, nullptr) || !out.close())
    return false;
  std::printf("wrote %zu bytes through a buffered output handle\n", bytes.size());

  for (const bool buffered : {true, false}) {
    FileHandle in;
    std::string back;
    if (!in.open_binary(session, path, QZIOE_MODE_INPUT, buffered, 1000) ||
        !in.read_all(1000, back) || !in.close())
      return false;
    if (back != bytes) {
      std::fprintf(stderr, "qzio: %s read gave %zu bytes that differ from the %zu written\n",
                   buffered ? "buffered" : "direct", back.size(), bytes.size());
      return false;
    }
    std::printf("read back %zu bytes in records of 1000 through a %s handle: identical\n",
                back.size(), buffered ? "buffered" : "direct");
  }

  FileHandle update;
  int64_t offset = 16;
  if (!update.open_binary(session, path, QZIOE_MODE_UPDATE, false, 64) ||
      !update.write_all("REWRITTEN", &offset))
    return false;
  void *address = nullptr;
  uint32_t length = 48;
  offset = 0;
  QZIOEFile *file = update.get();
  if (const QZStatus s = file->read(file, &address, &length, 0, &offset); s != QZ_OK)
    return update.fail("read at offset 0 of", s);
  std::printf("after a direct write at offset 16, the first %u bytes:\n", length);
  print_hex(std::string(static_cast<const char *>(address), length));
  return update.close();
}

bool tour_text(const Session &session) {
  step("text lines in UTF-16");
  TempDir dir;
  if (dir.path.empty()) {
    std::perror("qzio: mkdtemp");
    return false;
  }
  return show_utf16_round_trip(session, dir.path + "/lines.txt");
}

bool tour_paths(const Session &session) {
  step("path split, build and unique names");
  const std::string path = "/usr/lib/x.tar.gz";
  SplitParts parts;
  if (!split_path(session, path, parts)) return false;
  std::printf("%s splits into\n", path.c_str());
  print_parts(parts);
  std::string rebuilt;
  if (!build_path(session, parts.directory.value_or(""), parts.base.value_or(""),
                  parts.extension.value_or(""), rebuilt))
    return false;
  std::printf("directory, base and extension build %s again\n", rebuilt.c_str());
  if (rebuilt != path) {
    std::fprintf(stderr, "qzio: the parts of %s build %s\n", path.c_str(), rebuilt.c_str());
    return false;
  }
  NameArgs args;
  args.directory = "/var/tmp";
  args.extension = "dat";
  std::string first, second, utility;
  if (!create_name(session, args, first) || !create_name(session, args, second)) return false;
  args.utility = true;
  args.extension.clear();
  if (!create_name(session, args, utility)) return false;
  std::printf("unique names (no file is created):\n%s\n%s\n%s\n", first.c_str(), second.c_str(),
              utility.c_str());
  if (first == second) {
    std::fprintf(stderr, "qzio: two calls made the same name %s\n", first.c_str());
    return false;
  }
  return true;
}

// The formatter through its export, on directives of every family; the
// result is compared with what it must be.
bool tour_format(const Session &session) {
  step("formatter");
  const auto format = reinterpret_cast<decltype(&qzzFormatBuff)>(session.symbol("qzzFormatBuff"));
  if (format == nullptr) {
    std::fprintf(stderr, "qzio: %s does not export the formatter\n", session.library_path());
    return false;
  }
  static const char kFormat[] = "%2$-6s|%1$+05d|%3$#x|%4$.3e|%4$g|%5$.2f";
  static const QZChar kName[] = {'q', 'z', 'i', 'o', 0};
  std::vector<QZChar> units(kFormat, kFormat + sizeof kFormat - 1);
  QZChar out[96];
  uint32_t length = 0;
  const QZStatus status = format(nullptr, units.data(), static_cast<uint32_t>(units.size()), out,
                                 96, &length, 42, kName, 255u, 0.000123456, 2.675);
  if (status != QZ_OK) return fail("cannot format", status);
  const std::string text = to_utf8(out, length);
  std::printf("%s\n  gives %s\n", kFormat, text.c_str());
  // 2.675 is 2.67499999999999982236431605997495353221893310546875: exact
  // digits round it down.
  if (text != "qzio  |+0042|0xff|1.235e-04|0.000123456|2.67") {
    std::fprintf(stderr, "qzio: the formatter gave an unexpected text\n");
    return false;
  }
  return true;
}

bool tour_fs(Session &session) {
  step("file-system services on a scratch tree");
  TempDir dir;
  if (dir.path.empty()) {
    std::perror("qzio: mkdtemp");
    return false;
  }
  return show_fs_tour(session, dir.path);
}

bool tour_teardown(Session &session) {
  step("teardown");
  if (!session.close()) return false;
  std::printf("everything released: no pool, block, lock, list, transcoder, extension or "
              "descriptor left\n");
  return true;
}

} // namespace

void add_demo_command(CLI::App &app, Shared &shared) {
  CLI::App *cmd = app.add_subcommand("demo", "Load the extension and tour its services");
  cmd->callback([&shared] {
    Session session;
    bool ok = session.open(shared.options) && step("identity") && print_identity(session) &&
              tour_object(session) && tour_binary(session) && tour_text(session) &&
              tour_fs(session) && tour_paths(session) && tour_format(session) &&
              tour_teardown(session);
    if (!ok) session.close();
    std::printf("\n%s\n", ok ? "demo complete" : "demo FAILED");
    shared.exit_status = ok ? 0 : 1;
  });
}

} // namespace qzio
