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
void add_text_commands(CLI::App &app, Shared &shared);
void add_printf_command(CLI::App &app, Shared &shared);

// An encoding by name (utf-8, utf-16le, ...) or number; false with a message.
bool parse_encoding(const std::string &text, uint32_t &id);
// Writes a UTF-16 file with a mark through a line handle, shows its bytes
// and reads it back as UTF-8 lines.
bool show_utf16_round_trip(const Session &session, const std::string &path);

// Prints the versions, host name and library path of an open session.
bool print_identity(const Session &session);

} // namespace qzio
