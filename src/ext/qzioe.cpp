// The entry function, the extension object's start-up and teardown, and the
// version queries.
#include <algorithm>
#include <iterator>

#include "common/kernel_calls.h"
#include "common/pool.h"
#include "qzioe/extension.h"
#include "qzioe/fileio.h"
#include "qzioe/fsops.h"
#include "qzioe/paths.h"

using ioe::QZLiteral;

namespace {

constexpr int32_t kRequiredVersion[3] = {3, 1, 1};
constexpr int32_t kOwnVersion[3] = {3, 2, 1};

QZStatus write_version(const int32_t (&version)[3], int32_t *major, int32_t *minor,
                       int32_t *patch) {
  if (major != nullptr) *major = version[0];
  if (minor != nullptr) *minor = version[1];
  if (patch != nullptr) *patch = version[2];
  return QZ_OK;
}

// Releases, in this order, whatever start-up has built (all of it at
// destroy, part of it after a failure). The object dies with the pool.
void release_all(QZPool *pool, QZIOEExtension *extension) {
  if (extension != nullptr) {
    bkioedestroy(extension);
    ioe::destroy_transcoder(extension->inbound);
    extension->inbound = nullptr;
    ioe::destroy_transcoder(extension->outbound);
    extension->outbound = nullptr;
    __atomic_store_n(&extension->name_counter, 0, __ATOMIC_SEQ_CST);
    if (extension->alloc_pool != nullptr && extension->alloc_pool != pool)
      ioe::destroy_pool(extension->alloc_pool);
    // Null until start-up has loaded it.
    ioe::release_sibling(extension->warden);
  }
  ioe::destroy_pool(pool);
}

// Asks qzhost once for the host name. A failing or missing qzhost leaves an
// empty name; a count the sibling reports beyond the 30 slots is clamped so
// that no reader of the name runs past it.
void take_host_name(QZHandle *kernel, QZIOEExtension *extension, QZWord context) {
  static constexpr QZLiteral kHost("qzhost");
  std::fill(std::begin(extension->host_name), std::end(extension->host_name), QZChar{0});
  extension->host_name_length = 0;
  QZExtension *host = ioe::load_sibling(kernel, kHost, context);
  if (host == nullptr) return;
  if (host->service.host_name != nullptr) {
    uint32_t count = QZIOE_HOST_NAME_MAX;
    const QZStatus status =
        host->service.host_name(host, extension->host_name, &count, QZHOST_NAME_SELECTOR);
    extension->host_name_length =
        status == QZ_OK ? std::min<uint32_t>(count, QZIOE_HOST_NAME_MAX) : 0;
    if (extension->host_name_length == 0) extension->host_name[0] = 0;
  }
  ioe::release_sibling(host);
}

void fill_services(QZIOEExtension *extension, QZHandle *kernel, QZPool *pool) {
  extension->magic = QZ_OBJECT_MAGIC;
  extension->getreqversion = qzioegetreqversion;
  extension->getversion = qzioegetversion;
  extension->destroy = qzioedestroy;
  extension->open = qzioeopen;
  extension->directoryopen = qzioedirectoryopen;
  extension->directorylist = qzioedirectorylist;
  extension->copy = bkioecopy;
  extension->exist = bkioeexist;
  extension->makedirectory = bkioemakedirectory;
  extension->remove = bkioeremove;
  extension->rename = bkioerename;
  extension->info = qzioeinfo;
  extension->fsinfo = qzioefsinfo;
  extension->buildpath = bkioebuildpath;
  extension->buildpathdestroy = bkioebuildpathdestroy;
  extension->splitpath = bkioesplitpath;
  extension->splitpathdestroy = bkioesplitpathdestroy;
  extension->createname = qzioecreatename;
  extension->createnamedestroy = bkioebuildpathdestroy;
  extension->kernel = kernel;
  extension->kernel_2 = kernel;
  extension->pool = pool;
  extension->alloc_pool = pool;
  extension->name_counter = 0;
  extension->fsx = nullptr;
}

} // namespace

extern "C" QZIOEExtension *qzioe(QZHandle *kernel, QZWord context) noexcept {
  if (kernel == nullptr || kernel->create_pool == nullptr) return nullptr;

  const QZObjectOptions zeros{};
  QZPool *pool = kernel->create_pool(kernel, &zeros, context, "qzioe pool");
  if (pool == nullptr) return nullptr;

  auto *extension =
      ioe::pool_alloc<QZIOEExtension>(pool, sizeof(QZIOEExtension), QZ_POOL_ZERO_FILL);
  if (extension == nullptr) {
    release_all(pool, nullptr);
    return nullptr;
  }

  QZNls *nls = kernel->nls;
  extension->nls = nls;
  if (nls == nullptr) {
    release_all(pool, extension);
    return nullptr;
  }

  extension->inbound = nls->os_inbound(nls, QZ_ENC_OS, 0, 0);
  if (extension->inbound != nullptr) extension->outbound = nls->os_outbound(nls, QZ_ENC_OS, 0, 0);
  if (extension->inbound == nullptr || extension->outbound == nullptr) {
    release_all(pool, extension);
    return nullptr;
  }

  fill_services(extension, kernel, pool);
  bkioe(extension);

  static constexpr QZLiteral kWarden("qzwarden");
  extension->warden = ioe::load_sibling(kernel, kWarden, context);
  if (extension->warden == nullptr) {
    release_all(pool, extension);
    return nullptr;
  }

  take_host_name(kernel, extension, context);
  return extension;
}

extern "C" QZStatus qzioedestroy(QZIOEExtension *extension) noexcept {
  if (extension != nullptr) release_all(extension->pool, extension);
  return QZ_OK;
}

extern "C" QZStatus qzioegetreqversion(QZIOEExtension *, int32_t *major, int32_t *minor,
                                       int32_t *patch) noexcept {
  return write_version(kRequiredVersion, major, minor, patch);
}

extern "C" QZStatus qzioegetversion(QZIOEExtension *, int32_t *major, int32_t *minor,
                                    int32_t *patch) noexcept {
  return write_version(kOwnVersion, major, minor, patch);
}
