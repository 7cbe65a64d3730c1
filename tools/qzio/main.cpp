// qzio: drives the qzioe extension the way the kernel does.
#include "commands.h"
#include "output.h"

int main(int argc, char **argv) {
  CLI::App app{"qzio: load the qzioe file extension into a kernel stand-in and use it"};
  app.require_subcommand(1);
  qzio::Shared shared;
  app.add_option("--library", shared.options.library,
                 "Path of the extension library (default: $QZIOE_LIBRARY, else ../lib beside "
                 "qzio)");
  app.add_option("--os-encoding", shared.options.os_encoding,
                 "The operating system's encoding (number 62) as an iconv name, e.g. UTF-8 "
                 "(default: ISO-8859-1)");
  qzio::add_version_command(app, shared);
  qzio::add_demo_command(app, shared);
  qzio::add_expand_command(app, shared);
  qzio::add_bytes_commands(app, shared);
  qzio::add_text_commands(app, shared);
  qzio::add_fs_commands(app, shared);
  qzio::add_path_commands(app, shared);
  qzio::add_printf_command(app, shared);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &error) {
    // --help and --version end here with status 0; a usage error is 2, as
    // for ls, grep and diff, so that 1 always means a failed operation.
    return qzio::finish_output(app.exit(error) == 0 ? 0 : 2);
  }
  return qzio::finish_output(shared.exit_status);
}
