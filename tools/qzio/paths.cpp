// qzio split, build and tempname: path split, path building and unique names
// through the extension object's words 12 to 15, 23 and 24.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "handle.h"
#include "qzioe/paths.h"

namespace qzio {
namespace {

// The bare 1 has no catalogue entry; say what it stands for.
bool fail_path(const std::string &what, QZStatus status, const char *refused) {
  if (status != QZIOE_PATH_REFUSED) return fail(what, status);
  std::fprintf(stderr, "qzio: %s: QZIOE_PATH_REFUSED (0x00000001): %s\n", what.c_str(), refused);
  return false;
}

// Empty text: an absent part (null, length 0).
const QZChar *chars_or_null(const std::vector<QZChar> &chars) {
  return chars.empty() ? nullptr : chars.data();
}

uint32_t size_of(const std::vector<QZChar> &chars) {
  return static_cast<uint32_t>(chars.size());
}

} // namespace

bool split_path(const Session &session, const std::string &path, SplitParts &parts) {
  QZIOEExtension *ext = session.extension();
  const std::vector<QZChar> chars = to_qzchars(path);
  QZChar *part[4] = {};
  uint32_t length[4] = {};
  const QZStatus status =
      ext->splitpath(ext, chars.data(), size_of(chars), &part[0], &length[0], &part[1], &length[1],
                     &part[2], &length[2], &part[3], &length[3]);
  if (status != QZ_OK) return fail_path("cannot split '" + path + "'", status, "the path is empty");
  std::optional<std::string> *fields[4] = {&parts.directory, &parts.name, &parts.base,
                                           &parts.extension};
  for (int i = 0; i < 4; ++i) {
    fields[i]->reset();
    if (part[i] != nullptr) *fields[i] = to_bytes(part[i], length[i]);
  }
  ext->splitpathdestroy(ext, part[0], part[1], part[2], part[3]);
  return true;
}

void print_parts(const SplitParts &parts) {
  const std::pair<const char *, const std::optional<std::string> *> lines[] = {
      {"directory:", &parts.directory},
      {"name:", &parts.name},
      {"base:", &parts.base},
      {"extension:", &parts.extension}};
  for (const auto &[label, value] : lines) {
    if (value->has_value())
      std::printf("%-10s %s\n", label, (*value)->c_str());
    else
      std::printf("%s\n", label);
  }
}

bool build_path(const Session &session, const std::string &directory, const std::string &name,
                const std::string &extension, std::string &path) {
  QZIOEExtension *ext = session.extension();
  const std::vector<QZChar> d = to_qzchars(directory), n = to_qzchars(name),
                            e = to_qzchars(extension);
  QZChar *built = nullptr;
  uint32_t length = 0;
  const QZStatus status = ext->buildpath(ext, chars_or_null(d), size_of(d), chars_or_null(n),
                                         size_of(n), chars_or_null(e), size_of(e), &built, &length);
  if (status != QZ_OK)
    return fail_path(
        "cannot build a path of '" + directory + "', '" + name + "', '" + extension + "'", status,
        "the directory is longer than 1024 characters, or the working directory "
        "does not convert");
  path = to_bytes(built, length);
  ext->buildpathdestroy(ext, built);
  return true;
}

bool create_name(const Session &session, const NameArgs &args, std::string &path) {
  QZIOEExtension *ext = session.extension();
  const std::vector<QZChar> d = to_qzchars(args.directory), p = to_qzchars(args.prefix),
                            e = to_qzchars(args.extension);
  QZIOENameRequest request{};
  request.prefix = p.data();
  request.prefix_length = size_of(p);
  request.extension = e.data();
  request.extension_length = size_of(e);
  request.flags = args.utility ? QZIOE_NAME_UTILITY : QZIOE_NAME_WITHOUT_EXTENSION;
  if (!args.extension.empty()) request.flags |= QZIOE_NAME_WITH_EXTENSION;
  QZChar *made = nullptr;
  uint32_t length = 0;
  const QZStatus status =
      ext->createname(ext, chars_or_null(d), size_of(d), &request, &made, &length);
  if (status != QZ_OK) return fail("cannot make a name", status);
  path = to_bytes(made, length);
  ext->createnamedestroy(ext, made);
  return true;
}

void add_path_commands(CLI::App &app, Shared &shared) {
  // Runs `body` in a session; the exit status is 1 when either fails.
  auto in_session = [&shared](auto body) {
    Session session;
    bool ok = session.open(shared.options) && body(session);
    ok = session.close() && ok;
    shared.exit_status = ok ? 0 : 1;
  };

  auto split_arg = std::make_shared<std::string>();
  CLI::App *split = app.add_subcommand(
      "split", "Split a path into its directory, file name, base name and extension (an absent "
               "part prints empty)");
  split->add_option("PATH", *split_arg, "The path; nothing is expanded")->required();
  split->callback([in_session, split_arg] {
    in_session([&](const Session &session) {
      SplitParts parts;
      if (!split_path(session, *split_arg, parts)) return false;
      print_parts(parts);
      return true;
    });
  });

  struct BuildArgs {
    std::string directory, name, extension;
  };
  auto build_args = std::make_shared<BuildArgs>();
  CLI::App *build = app.add_subcommand(
      "build", "Join DIR/NAME.EXT and expand it into a complete path (trailing blanks of each "
               "part are dropped)");
  build->add_option("DIR", build_args->directory, "The directory; \"\" for the working directory")
      ->required();
  build->add_option("NAME", build_args->name, "The file name; \"\" for none")->required();
  build->add_option("EXT", build_args->extension, "The extension, without its dot");
  build->callback([in_session, build_args] {
    in_session([&](const Session &session) {
      std::string path;
      if (!build_path(session, build_args->directory, build_args->name, build_args->extension,
                      path))
        return false;
      std::printf("%s\n", path.c_str());
      return true;
    });
  });

  auto name_args = std::make_shared<NameArgs>();
  CLI::App *tempname = app.add_subcommand(
      "tempname", "Print a unique name for a new file (the file is not created)");
  tempname->add_option("--prefix", name_args->prefix, "Start of the name")
      ->default_val(name_args->prefix);
  tempname->add_option("--ext", name_args->extension, "Extension, without its dot");
  tempname->add_flag("--utility", name_args->utility,
                     "A utility-file name: QOR_util, counter, process id and host name; no "
                     "prefix");
  tempname->add_option("DIR", name_args->directory, "The directory (default: the working one)");
  tempname->callback([in_session, name_args] {
    in_session([&](const Session &session) {
      std::string path;
      if (!create_name(session, *name_args, path)) return false;
      std::printf("%s\n", path.c_str());
      return true;
    });
  });
}

} // namespace qzio
