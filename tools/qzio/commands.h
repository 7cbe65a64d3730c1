// The qzio commands. Each registers itself on the application and runs
// through a Session; a command's callback sets the exit status.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace qzio {

struct Shared {
  Options options;
  int exit_status = 0;
};

// Opens a session and runs `each` on every name (its index too), whatever
// became of the ones before, while output still reaches standard output;
// the exit status is 0 only when every one succeeded and the session
// closed clean. Each name starts with no reports left from the last.
void for_each_name(Shared &shared, const std::vector<std::string> &names,
                   const std::function<bool(Session &, const std::string &, size_t)> &each);

void add_version_command(CLI::App &app, Shared &shared);
void add_demo_command(CLI::App &app, Shared &shared);
void add_expand_command(CLI::App &app, Shared &shared);
void add_bytes_commands(CLI::App &app, Shared &shared);
void add_text_commands(CLI::App &app, Shared &shared);
void add_fs_commands(CLI::App &app, Shared &shared);
// Makes, examines, copies, moves, lists and removes a tree below `root`.
bool show_fs_tour(Session &session, const std::string &root);
void add_path_commands(CLI::App &app, Shared &shared);
void add_printf_command(CLI::App &app, Shared &shared);

// An encoding by name (utf-8, utf-16le, ...) or number; false with a message.
bool parse_encoding(const std::string &text, uint32_t &id);
// Writes a UTF-16 file with a mark through a line handle, shows its bytes
// and reads it back as UTF-8 lines.
bool show_utf16_round_trip(const Session &session, const std::string &path);

// The parts of a split path; an absent part is empty.
struct SplitParts {
  std::optional<std::string> directory, name, base, extension;
};
// Splits a path through extension words 14 and 15; false with a message.
bool split_path(const Session &session, const std::string &path, SplitParts &parts);
// One "label: value" line per part.
void print_parts(const SplitParts &parts);
// Builds DIR/NAME.EXT through words 12 and 13 (empty texts: absent parts).
bool build_path(const Session &session, const std::string &directory, const std::string &name,
                const std::string &extension, std::string &path);

struct NameArgs {
  std::string directory; // empty: the working directory
  std::string prefix = "tmp";
  std::string extension; // empty: none
  bool utility = false;
};
// Makes a unique name through words 23 and 24.
bool create_name(const Session &session, const NameArgs &args, std::string &path);

// What the tool can see for itself when the library gave no text: the
// system's words for "Is a directory" when `path` is a directory and a file
// was wanted, for "Not a directory" when it is something else and a
// directory was wanted; else empty.
std::string kind_seen(const Session &session, const std::string &path, bool want_directory);
// The size of a file through the information service; false when it cannot
// be had.
bool file_size(const Session &session, const std::string &path, uint64_t &size);

// Prints the versions, host name and library path of an open session.
bool print_identity(const Session &session);

} // namespace qzio
