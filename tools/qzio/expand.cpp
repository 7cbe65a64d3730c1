// qzio expand NAME: the complete path the extension makes of a name.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "qzioe/paths.h"

namespace qzio {
namespace {

// UTF-8 to QZChar; false on a malformed, overlong or surrogate sequence.
bool from_utf8(const std::string &text, std::vector<QZChar> &out) {
  static constexpr QZChar kLeast[] = {0, 0x80, 0x800, 0x10000};
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t extra = 0;
    if (lead >= 0xf0)
      extra = 3;
    else if (lead >= 0xe0)
      extra = 2;
    else if (lead >= 0xc0)
      extra = 1;
    else if (lead >= 0x80)
      return false;
    if (extra > text.size() - i - 1) return false;
    QZChar c = extra == 0 ? lead : lead & (0x3fu >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      c = (c << 6) | (next & 0x3fu);
    }
    if (c < kLeast[extra] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return false;
    out.push_back(c);
    i += extra + 1;
  }
  return true;
}

bool expand(const Session &session, const std::string &name) {
  const auto expand_path =
      reinterpret_cast<decltype(&bkioeexpand_path)>(session.symbol("bkioeexpand_path"));
  const auto release =
      reinterpret_cast<decltype(&bkioeexpand_path_free)>(session.symbol("bkioeexpand_path_free"));
  if (expand_path == nullptr || release == nullptr) {
    std::fprintf(stderr, "qzio: %s does not export the path expansion\n", session.library_path());
    return false;
  }
  std::vector<QZChar> chars;
  if (!from_utf8(name, chars)) {
    std::fprintf(stderr, "qzio: the name is not valid UTF-8\n");
    return false;
  }
  QZIOEExtension *ext = session.extension();
  QZChar *result = nullptr;
  uint32_t length = 0;
  const QZStatus status =
      expand_path(ext, chars.data(), static_cast<uint32_t>(chars.size()), &result, &length);
  if (status == QZ_OK) std::printf("%s\n", to_utf8(result, length).c_str());
  // The result may exist on failure too.
  if (result != nullptr) release(ext->pool, result);
  return status == QZ_OK || fail("expand " + name, status);
}

} // namespace

void add_expand_command(CLI::App &app, Shared &shared) {
  CLI::App *cmd = app.add_subcommand(
      "expand", "Expand a name into a complete path ($VARIABLES, ~, ~user, leading . and .., "
                "the working directory)");
  auto name = std::make_shared<std::string>();
  cmd->add_option("NAME", *name, "The name to expand")->required();
  cmd->callback([&shared, name] {
    Session session;
    bool ok = session.open(shared.options) && expand(session, *name);
    ok = session.close() && ok;
    shared.exit_status = ok ? 0 : 1;
  });
}

} // namespace qzio
