#include <cstdio>

#include "commands.h"

namespace qzio {

bool print_identity(const Session &session) {
  QZIOEExtension *ext = session.extension();
  int32_t req[3] = {}, own[3] = {};
  if (QZStatus s = ext->getreqversion(ext, &req[0], &req[1], &req[2]); s != QZ_OK)
    return fail("required version", s);
  if (QZStatus s = ext->getversion(ext, &own[0], &own[1], &own[2]); s != QZ_OK)
    return fail("version", s);
  std::printf("qzioe %d.%d.%d (requires kernel %d.%d.%d)\n", own[0], own[1], own[2], req[0], req[1],
              req[2]);
  std::printf("host name: %s\n", to_utf8(ext->host_name, ext->host_name_length).c_str());
  std::printf("library: %s\n", session.library_path());
  return true;
}

void add_version_command(CLI::App &app, Shared &shared) {
  CLI::App *cmd = app.add_subcommand("version", "Show the required and own versions, the host "
                                                "name and where the library was loaded from");
  cmd->callback([&shared] {
    Session session;
    bool ok = session.open(shared.options) && print_identity(session);
    ok = session.close() && ok;
    shared.exit_status = ok ? 0 : 1;
  });
}

} // namespace qzio
