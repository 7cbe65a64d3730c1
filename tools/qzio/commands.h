// The qzio commands. Each registers itself on the application and runs
// through a Session; a command's callback sets the exit status.
#pragma once

#include <CLI/CLI.hpp>

#include "session.h"

namespace qzio {

struct Shared {
  Options options;
  int exit_status = 0;
};

void add_version_command(CLI::App &app, Shared &shared);
void add_demo_command(CLI::App &app, Shared &shared);
void add_expand_command(CLI::App &app, Shared &shared);
void add_bytes_commands(CLI::App &app, Shared &shared);

// Prints the versions, host name and library path of an open session.
bool print_identity(const Session &session);

} // namespace qzio
