// A tour of the extension's services, each step checked; the tour fails
// (exit status 1) at the first step that does not give what it should.
#include <cstdio>
#include <cstring>

#include "commands.h"

namespace qzio {
namespace {

bool step(const char *title) {
  std::printf("\n== %s\n", title);
  return true;
}

bool tour_object(const Session &session) {
  step("extension object");
  QZIOEExtension *ext = session.extension();
  if (ext->magic != QZ_OBJECT_MAGIC) {
    std::fprintf(stderr, "qzio: bad object magic 0x%08x\n", ext->magic);
    return false;
  }
  std::printf("magic 0x%08x, file services %s, extension pool %p\n", ext->magic,
              ext->fsx != nullptr ? "available" : "unavailable", static_cast<void *>(ext->pool));
  QZKStats s{};
  qzk_stats(session.kernel(), &s);
  std::printf("kernel holds for it: %u pool, %u block (%llu bytes), %u transcoders, %u "
              "sibling extensions\n",
              s.pools, s.blocks, static_cast<unsigned long long>(s.bytes), s.transcoders,
              s.extensions);
  return true;
}

bool tour_teardown(Session &session) {
  step("teardown");
  if (!session.close()) return false;
  std::printf("everything released: no pool, block, lock, list, transcoder, extension or "
              "descriptor left\n");
  return true;
}

} // namespace

void add_demo_command(CLI::App &app, Shared &shared) {
  CLI::App *cmd = app.add_subcommand("demo", "Load the extension and tour its services");
  cmd->callback([&shared] {
    Session session;
    bool ok = session.open(shared.options) && step("identity") && print_identity(session) &&
              tour_object(session) && tour_teardown(session);
    if (!ok) session.close();
    std::printf("\n%s\n", ok ? "demo complete" : "demo FAILED");
    shared.exit_status = ok ? 0 : 1;
  });
}

} // namespace qzio
