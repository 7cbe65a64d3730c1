// qzio expand NAME: the complete path the extension makes of a name.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "handle.h"
#include "qzioe/paths.h"

namespace qzio {

bool expand(const Session &session, const std::string &name) {
  const auto expand_path =
      reinterpret_cast<decltype(&bkioeexpand_path)>(session.symbol("bkioeexpand_path"));
  const auto release =
      reinterpret_cast<decltype(&bkioeexpand_path_free)>(session.symbol("bkioeexpand_path_free"));
  if (expand_path == nullptr || release == nullptr) {
    std::fprintf(stderr, "qzio: %s does not export the path expansion\n", session.library_path());
    return false;
  }
  // Arguments are bytes of the operating system's encoding, one character
  // each, exactly as the extension converts paths.
  const std::vector<QZChar> chars = to_qzchars(name);
  QZIOEExtension *ext = session.extension();
  QZChar *result = nullptr;
  uint32_t length = 0;
  const QZStatus status =
      expand_path(ext, chars.data(), static_cast<uint32_t>(chars.size()), &result, &length);
  if (status == QZ_OK) std::printf("%s\n", to_bytes(result, length).c_str());
  // The result may exist on failure too.
  if (result != nullptr) release(ext->pool, result);
  return status == QZ_OK || fail("cannot expand '" + name + "'", status);
}

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
