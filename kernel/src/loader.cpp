// Brings the extension up as the kernel does: load the library, hand it the
// kernel handle, then call its entry.
#include <cstdio>
#include <new>
#include <string>

#include <dlfcn.h>
#include <link.h>

#include "internal.h"

struct QZKLoaded {
  void *library = nullptr;
  std::string path;
};

namespace {

using ExtentFn = QZHandle *(*)(QZHandle *);
using EntryFn = QZIOEExtension *(*)(QZHandle *, QZWord);

void SetError(char *error, size_t error_size, const std::string &message) {
  if (error != nullptr && error_size != 0) std::snprintf(error, error_size, "%s", message.c_str());
}

} // namespace

extern "C" {

QZ_EXPORT QZIOEExtension *qzk_load(QZHandle *kernel, const char *library_path, QZWord context,
                                   QZKLoaded **loaded, char *error, size_t error_size) {
  if (loaded != nullptr) *loaded = nullptr;
  if (qzk::Owner(kernel, qzk::Kind::Kernel) == nullptr || library_path == nullptr ||
      loaded == nullptr) {
    SetError(error, error_size, "qzk_load needs a live kernel, a library path and a result");
    return nullptr;
  }
  void *library = dlopen(library_path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char *why = dlerror();
    SetError(error, error_size, std::string("dlopen: ") + (why != nullptr ? why : library_path));
    return nullptr;
  }
  auto fail = [&](const std::string &message) -> QZIOEExtension * {
    dlclose(library);
    SetError(error, error_size, message);
    return nullptr;
  };
  auto extent = reinterpret_cast<ExtentFn>(dlsym(library, "qzextent"));
  auto entry = reinterpret_cast<EntryFn>(dlsym(library, "qzioe"));
  if (extent == nullptr || entry == nullptr)
    return fail(std::string(library_path) + ": qzextent or qzioe is not exported");
  if (extent(kernel) != kernel) return fail("qzextent did not return the kernel handle");
  QZIOEExtension *extension = entry(kernel, context);
  if (extension == nullptr) return fail("qzioe returned null");

  QZKLoaded *result = new (std::nothrow) QZKLoaded;
  if (result == nullptr) {
    // The extension is up; it must go before its code does.
    if (extension->destroy != nullptr) extension->destroy(extension);
    return fail("out of memory");
  }
  result->library = library;
  link_map *map = nullptr;
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr &&
      map->l_name[0] != '\0')
    result->path = map->l_name;
  else
    result->path = library_path;
  *loaded = result;
  return extension;
}

QZ_EXPORT const char *qzk_loaded_path(const QZKLoaded *loaded) {
  return loaded != nullptr ? loaded->path.c_str() : nullptr;
}

QZ_EXPORT void *qzk_loaded_symbol(const QZKLoaded *loaded, const char *name) {
  if (loaded == nullptr || name == nullptr) return nullptr;
  return dlsym(loaded->library, name);
}

QZ_EXPORT void qzk_unload(QZKLoaded *loaded) {
  if (loaded == nullptr) return;
  dlclose(loaded->library);
  delete loaded;
}

} // extern "C"
