// stat, df, mkdir, rm, mv and cp: file-system services through the
// extension object's words.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "handle.h"
#include "output.h"
#include "qzioe/fsops.h"
#include "qzioe/runtime.h"

namespace qzio {
namespace {

// Seconds since 1960 in local time, as the library gives them, as a local
// date and time.
std::string local_time(double seconds_1960) {
  const double since_1970 = seconds_1960 - QZ_EPOCH_1960_TO_1970;
  const auto whole = static_cast<time_t>(since_1970);
  tm parts{};
  gmtime_r(&whole, &parts); // the value is local time already
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
  return text;
}

// Runs `call` once for every name; prints "cannot VERB 'NAME'" for each
// failure.
template <typename Call>
void each_name(Shared &shared, const std::vector<std::string> &names, const char *verb, Call call) {
  for_each_name(shared, names, [&](Session &session, const std::string &name, size_t) {
    const QZStatus status = call(session, to_qzchars(name));
    return status == QZ_OK ||
           session.fail(std::string("cannot ") + verb + " '" + name + "'", status);
  });
}

uint32_t size_of(const std::vector<QZChar> &chars) {
  return static_cast<uint32_t>(chars.size());
}

// Prints the items of an information list, one "NAME value" line each.
void print_items(QZList *list) {
  for (uint32_t i = 0; i < list->count(list); ++i) {
    const auto *item = static_cast<const QZIOEInfoItem *>(list->entry_at(list, i)->value);
    const std::string name = to_bytes(item->name, item->name_length);
    int64_t signed_value = 0;
    uint64_t unsigned_value = 0;
    uint32_t word = 0;
    double real = 0;
    std::memcpy(&signed_value, item->value, 8);
    std::memcpy(&unsigned_value, item->value, 8);
    std::memcpy(&word, item->value, 4);
    std::memcpy(&real, item->value, 8);
    switch (item->type) {
    case QZIOE_ITEM_INT64:
      std::printf("%-10s %" PRId64 "\n", name.c_str(), signed_value);
      break;
    case QZIOE_ITEM_DOUBLE:
      std::printf("%-10s %.6f (%s local)\n", name.c_str(), real, local_time(real).c_str());
      break;
    case QZIOE_ITEM_UINT64:
      std::printf("%-10s %" PRIu64 "\n", name.c_str(), unsigned_value);
      break;
    default:
      std::printf("%-10s %" PRIu32 "\n", name.c_str(), word);
      break;
    }
  }
}

CLI::App *names_command(CLI::App &app, const char *name, const char *about,
                        std::vector<std::string> &names) {
  CLI::App *cmd = app.add_subcommand(name, about);
  cmd->add_option("NAME", names, "Kernel names ($VARS, ~ and relative names are expanded)")
      ->required();
  return cmd;
}

struct Row {
  std::string name;
  int64_t size = -1;
  double modified = -1;
  bool directory = false;
  bool known = true; // false: size, time and kind could not be had
};

void print_rows(const std::vector<Row> &rows, bool long_form) {
  for (const Row &row : rows) {
    const std::string name = row.name + (row.directory ? "/" : "");
    if (!long_form) {
      std::printf("%s\n", name.c_str());
    } else if (!row.known) {
      std::printf("%12s  %-19s  %s\n", "?", "?", name.c_str());
    } else {
      const std::string when = row.modified < 0 ? std::string(19, '?') : local_time(row.modified);
      std::printf("%12" PRId64 "  %s  %s\n", row.size, when.c_str(), name.c_str());
    }
  }
}

// Size, time and kind of one name through the information service.
QZStatus member_info(const Session &session, const std::string &path, Row &row) {
  QZIOEExtension *ext = session.extension();
  const std::vector<QZChar> name = to_qzchars(path);
  QZStatus status = QZ_OK;
  QZList *info = ext->info(ext, ext->pool, name.data(), size_of(name), &status);
  if (info == nullptr) return status;
  for (uint32_t k = 0; k < info->count(info); ++k) {
    const auto *item = static_cast<const QZIOEInfoItem *>(info->entry_at(info, k)->value);
    if (item->number == 1) std::memcpy(&row.size, item->value, 8);
    if (item->number == 2) std::memcpy(&row.modified, item->value, 8);
    if (item->number == 3) row.directory = (item->value[0] & 1) != 0;
  }
  info->destroy(info);
  return QZ_OK;
}

// The same, telling a failure on standard error and leaving the row
// unknown.
bool examine(const Session &session, const std::string &path, Row &row) {
  session.forget_reports();
  const QZStatus status = member_info(session, path, row);
  if (status == QZ_OK) return true;
  row.known = false;
  return session.fail("cannot access '" + path + "'", status);
}

// A name that a kernel name cannot give back as it is: expansion would
// replace its `$` references or drop its trailing blanks, and units beyond
// one byte have no byte of their own here.
bool unaddressable(const QZChar *name, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i)
    if (name[i] == '$' || name[i] > 0xff) return true;
  return length > 0 && name[length - 1] == ' ';
}

// The directory a listing of `kind` shows, as the listing names it.
bool directory_of_kind(const Session &session, const std::string &path, uint32_t kind,
                       std::string &directory) {
  if (kind == QZIOE_LIST_NAMED) {
    directory = path;
    return true;
  }
  QZIOEExtension *ext = session.extension();
  const std::vector<QZChar> name = to_qzchars(path);
  QZStatus status = QZ_OK;
  int64_t count = 0;
  QZList *list = ext->directorylist(ext, name.data(), size_of(name), kind, 0, &count, &status);
  if (list == nullptr) return session.fail("cannot list '" + path + "'", status);
  const auto *own = static_cast<const QZIOEDirEntry *>(list->entry_at(list, 0)->value);
  const bool refused = unaddressable(own->name, own->name_length);
  directory = to_bytes(own->name, own->name_length);
  list->destroy(list);
  if (refused)
    std::fprintf(stderr, "qzio: cannot list '%s': its name cannot be given as a kernel name\n",
                 directory.c_str());
  return !refused;
}

// The members the directory list describes, by name: their size, time and
// kind come from one listing that examines each by its literal name.
std::map<std::string, Row> listed_members(const Session &session, const std::string &directory) {
  std::map<std::string, Row> rows;
  QZIOEExtension *ext = session.extension();
  const std::vector<QZChar> name = to_qzchars(directory);
  QZStatus status = QZ_OK;
  int64_t count = 0;
  QZList *list = ext->directorylist(ext, name.data(), size_of(name), QZIOE_LIST_NAMED,
                                    QZIOE_LIST_INFO, &count, &status);
  for (uint32_t i = 1; list != nullptr && i < list->count(list); ++i) {
    const auto *e = static_cast<const QZIOEDirEntry *>(list->entry_at(list, i)->value);
    if (unaddressable(e->name, e->name_length)) continue; // told apart by units, not bytes
    Row row{to_bytes(e->name, e->name_length), e->size, e->modified, e->directory != 0};
    row.known = e->size >= 0;
    rows.emplace(row.name, row);
  }
  if (list != nullptr) list->destroy(list);
  session.forget_reports();
  return rows;
}

// Lists one directory: its names read one by one through a directory
// handle (with -a also those that begin with a dot), each with what the
// directory list found for it. A member that cannot be named or examined
// is told on standard error, shown with ? where it is unknown, and makes
// the listing fail; the rest is listed.
bool list_directory(const Session &session, const std::string &path, uint32_t kind, bool all,
                    bool long_form) {
  std::string directory;
  if (!directory_of_kind(session, path, kind, directory)) return false;
  QZIOEExtension *ext = session.extension();
  const std::vector<QZChar> name = to_qzchars(directory);
  QZStatus status = QZ_OK;
  QZIOEDirectory *dir = ext->directoryopen(ext, name.data(), static_cast<int32_t>(name.size()),
                                           all ? QZIOE_DIR_HIDDEN : 0, 0, 0, "qzio ls", &status);
  if (dir == nullptr)
    return session.fail("cannot list '" + directory + "'", status,
                        session.has_report() ? std::string() : kind_seen(session, directory, true));
  const std::map<std::string, Row> listed = listed_members(session, directory);
  bool ok = true;
  std::vector<Row> rows;
  for (;;) {
    QZChar buffer[QZIOE_PATH_MAX];
    uint32_t length = QZIOE_PATH_MAX;
    const QZStatus read = dir->read(dir, buffer, &length, QZIOE_DIR_HIDDEN);
    if (read == QZIOE_END_OF_FILE) break;
    if (read != QZ_OK) {
      // The entry is passed over; a failing directory read ends the listing.
      ok = session.fail("cannot read a name in '" + directory + "'", read);
      if (read == QZIOE_IO_ERROR || read == QZIOE_BAD_HANDLE) break;
      continue;
    }
    Row row{to_bytes(buffer, length)};
    const std::string member = directory + "/" + row.name;
    const bool by_name = !unaddressable(buffer, length);
    const auto found = by_name ? listed.find(row.name) : listed.end();
    if (found != listed.end() && found->second.known) {
      row = found->second;
    } else if (!by_name) {
      // As a kernel name it would stand for another file.
      row.known = false;
      std::fprintf(stderr, "qzio: cannot access '%s': its name cannot be given as a kernel name\n",
                   member.c_str());
      ok = false;
    } else {
      ok = examine(session, member, row) && ok;
    }
    rows.push_back(row);
  }
  dir->close(dir);
  std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.name < b.name; });
  print_rows(rows, long_form);
  return ok;
}

} // namespace

std::string kind_seen(const Session &session, const std::string &path, bool want_directory) {
  Row row;
  if (member_info(session, path, row) != QZ_OK) return {};
  if (row.directory && !want_directory) return std::strerror(EISDIR);
  if (!row.directory && want_directory) return std::strerror(ENOTDIR);
  return {};
}

bool file_size(const Session &session, const std::string &path, uint64_t &size) {
  Row row;
  if (member_info(session, path, row) != QZ_OK || row.size < 0) return false;
  size = static_cast<uint64_t>(row.size);
  return true;
}

bool show_fs_tour(Session &session, const std::string &root) {
  QZIOEExtension *ext = session.extension();
  auto name = [](const std::string &text) { return to_qzchars(text); };
  auto check = [&](const std::string &what, QZStatus status) {
    return status == QZ_OK || session.fail("cannot " + what, status);
  };
  const auto tree = name(root + "/tree"), sub = name(root + "/tree/sub"),
             copy = name(root + "/copy"), moved = name(root + "/moved");
  if (!check("create the tree", ext->makedirectory(ext, tree.data(), size_of(tree))) ||
      !check("create tree/sub", ext->makedirectory(ext, sub.data(), size_of(sub))))
    return false;
  FileHandle file;
  if (!file.open_binary(session, root + "/tree/sub/data", QZIOE_MODE_OUTPUT, true, 64) ||
      !file.write_all("twelve bytes", nullptr) || !file.close())
    return false;
  std::printf("made tree/sub/data; its information:\n");
  QZStatus status = QZ_OK;
  const auto data = name(root + "/tree/sub/data");
  QZList *info = ext->info(ext, ext->pool, data.data(), size_of(data), &status);
  if (info == nullptr) return check("examine tree/sub/data", status);
  print_items(info);
  info->destroy(info);
  if (!check("copy the tree",
             ext->copy(ext, tree.data(), size_of(tree), copy.data(), size_of(copy))) ||
      !check("move the copy",
             ext->rename(ext, copy.data(), size_of(copy), moved.data(), size_of(moved))))
    return false;
  std::printf("copied the tree and moved the copy; the scratch directory holds:\n");
  if (!list_directory(session, root, 0, false, true)) return false;
  const QZStatus not_empty = ext->remove(ext, tree.data(), size_of(tree), 0);
  std::printf("removing the tree without -r: %s\n", describe(not_empty).c_str());
  return check("remove the tree",
               ext->remove(ext, tree.data(), size_of(tree), QZIOE_REMOVE_TREE)) &&
         check("remove the moved copy",
               ext->remove(ext, moved.data(), size_of(moved), QZIOE_REMOVE_TREE)) &&
         std::printf("removed both trees\n") > 0;
}

void add_fs_commands(CLI::App &app, Shared &shared) {
  struct ListArgs {
    std::vector<std::string> paths;
    bool all = false, long_form = false;
    uint32_t kind = 0;
  };
  auto ls = std::make_shared<ListArgs>();
  CLI::App *ls_cmd = app.add_subcommand("ls", "List directories through the extension's "
                                              "directory handles and listings");
  ls_cmd->add_option("DIR", ls->paths, "The directories (kernel names; default .)");
  ls_cmd->add_flag("-a,--all", ls->all, "Include names that begin with a dot");
  ls_cmd->add_flag("-l", ls->long_form,
                   "Size, modification time (local) and a / after "
                   "directories; ? where they could not be had");
  ls_cmd
      ->add_option("--kind", ls->kind,
                   "0 the directory named, 1 the one containing it, 2 the root, 3 home")
      ->check(CLI::Range(0u, 3u));
  ls_cmd->callback([&shared, ls] {
    const std::vector<std::string> paths =
        ls->paths.empty() ? std::vector<std::string>{"."} : ls->paths;
    for_each_name(shared, paths, [&](Session &session, const std::string &path, size_t i) {
      if (paths.size() > 1) std::printf("%s%s:\n", i > 0 ? "\n" : "", path.c_str());
      return list_directory(session, path, ls->kind, ls->all, ls->long_form);
    });
  });

  auto stat_names = std::make_shared<std::vector<std::string>>();
  names_command(app, "stat", "Size, modification time and directory flag of each file", *stat_names)
      ->callback([&shared, stat_names] {
        each_name(shared, *stat_names, "stat", [](Session &s, const std::vector<QZChar> &c) {
          QZIOEExtension *ext = s.extension();
          QZStatus status = QZ_OK;
          QZList *list = ext->info(ext, ext->pool, c.data(), size_of(c), &status);
          if (list == nullptr) return status;
          print_items(list);
          list->destroy(list);
          return QZ_OK;
        });
      });

  auto df_names = std::make_shared<std::vector<std::string>>();
  names_command(app, "df", "Free space and identifier of the file system of each path", *df_names)
      ->callback([&shared, df_names] {
        each_name(shared, *df_names, "examine", [](Session &s, const std::vector<QZChar> &c) {
          QZIOEExtension *ext = s.extension();
          QZStatus status = QZ_OK;
          QZList *list = ext->fsinfo(ext, c.data(), size_of(c), &status);
          if (list == nullptr) return status;
          print_items(list);
          list->destroy(list);
          return QZ_OK;
        });
      });

  auto mkdir_names = std::make_shared<std::vector<std::string>>();
  names_command(app, "mkdir",
                "Create directories (the parent must exist; an existing "
                "directory is fine)",
                *mkdir_names)
      ->callback([&shared, mkdir_names] {
        each_name(shared, *mkdir_names, "create directory",
                  [](Session &s, const std::vector<QZChar> &c) {
                    QZIOEExtension *ext = s.extension();
                    return ext->makedirectory(ext, c.data(), size_of(c));
                  });
      });

  struct RemoveArgs {
    std::vector<std::string> names;
    bool recursive = false;
  };
  auto rm = std::make_shared<RemoveArgs>();
  CLI::App *rm_cmd =
      names_command(app, "rm",
                    "Remove files and empty directories (-r: whole trees). A NAME that is a "
                    "link to a file loses the link, not the file; a link to a directory, or a "
                    "link that leads nowhere, is reported as not existing and kept; names "
                    "ending in . or .. are refused",
                    rm->names);
  rm_cmd->add_flag("-r,--recursive", rm->recursive,
                   "Remove directories with everything below them; links inside them are "
                   "removed, never followed");
  rm_cmd->callback([&shared, rm] {
    each_name(shared, rm->names, "remove", [rm](Session &s, const std::vector<QZChar> &c) {
      QZIOEExtension *ext = s.extension();
      return ext->remove(ext, c.data(), size_of(c), rm->recursive ? QZIOE_REMOVE_TREE : 0);
    });
  });

  struct PairArgs {
    std::string from, to;
  };
  auto add_pair = [&app, &shared](const char *name, const char *about, const char *verb,
                                  bool progress, QZIOENamePairFn QZIOEExtension::*word) {
    auto args = std::make_shared<PairArgs>();
    CLI::App *cmd = app.add_subcommand(name, about);
    cmd->add_option("SOURCE", args->from, "The existing name")->required();
    cmd->add_option("DEST", args->to, "The new name")->required();
    cmd->callback([&shared, args, verb, progress, word] {
      Session session;
      bool ok = session.open(shared.options);
      if (ok) {
        const bool show = progress && isatty(STDERR_FILENO);
        if (show)
          std::fprintf(stderr, "qzio: copying '%s' to '%s'...", args->from.c_str(),
                       args->to.c_str());
        QZIOEExtension *ext = session.extension();
        const std::vector<QZChar> a = to_qzchars(args->from), b = to_qzchars(args->to);
        const QZStatus status = (ext->*word)(ext, a.data(), size_of(a), b.data(), size_of(b));
        if (show) std::fprintf(stderr, " %s\n", status == QZ_OK ? "done" : "failed");
        if (status != QZ_OK)
          ok = session.fail(std::string("cannot ") + verb + " '" + args->from + "' to '" +
                                args->to + "'",
                            status);
      }
      ok = session.close() && ok;
      shared.exit_status = ok ? 0 : 1;
    });
  };
  add_pair("mv", "Rename or move a file or directory (within one file system)", "move", false,
           &QZIOEExtension::rename);
  add_pair("cp",
           "Copy a file, or a directory with everything below it, to a new name that must not "
           "exist; links are followed (a link is copied as what it leads to, and one that "
           "leads nowhere is refused), and FIFOs, sockets, devices and copies into the "
           "source's own tree are refused, all before anything is created",
           "copy", true, &QZIOEExtension::copy);
}

} // namespace qzio
