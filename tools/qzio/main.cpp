// qzio: drives the qzioe extension the way the kernel does.
#include "commands.h"

int main(int argc, char **argv) {
  CLI::App app{"qzio: load the qzioe file extension into a kernel stand-in and use it"};
  app.require_subcommand(1);
  qzio::Shared shared;
  app.add_option("--library", shared.options.library,
                 "Path of the extension library (default: $QZIOE_LIBRARY, else ../lib beside "
                 "qzio)");
  qzio::add_version_command(app, shared);
  qzio::add_demo_command(app, shared);
  qzio::add_expand_command(app, shared);
  qzio::add_bytes_commands(app, shared);
  CLI11_PARSE(app, argc, argv);
  return shared.exit_status;
}
