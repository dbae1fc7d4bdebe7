// Chooses the LDAP backend and loads it on demand (see ldap_backend.h).
#include <dlfcn.h>

#include <mutex>

#include "directory/ldap_backend.h"

namespace drossgate::platform::directory {

namespace {

using EntryPoint = void (*)(const DirectoryConfig*, const std::filesystem::path*,
                            std::shared_ptr<Backend>*);

// The library sits beside this one, in the build tree as where it is installed.
std::filesystem::path LdapLibrary() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&LdapBackendFor), &info) && info.dli_fname)
    return std::filesystem::path(info.dli_fname).parent_path() / "libdrossgate_ldap.so";
  return "libdrossgate_ldap.so";
}

}  // namespace

bool NamesLdapServer(const DirectoryConfig& config) {
  return config.isObject && (config.Has("ldap") || config.Has("gc"));
}

std::shared_ptr<Backend> LdapBackendFor(const DirectoryConfig& config,
                                        const std::filesystem::path& root) {
  static std::mutex mutex;
  static EntryPoint entry = nullptr;
  static std::string why;
  {
    std::lock_guard lock(mutex);
    if (!entry && why.empty()) {
      const std::filesystem::path file = LdapLibrary();
      // Kept loaded for the process: its backends and connections live as long.
      void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
      void* symbol = handle ? dlsym(handle, "drossgate_ldap_backend") : nullptr;
      if (symbol)
        entry = reinterpret_cast<EntryPoint>(symbol);
      else
        why = "machine.json names an LDAP server, but " + file.string() +
              " cannot be loaded: " + (dlerror() ? dlerror() : "no entry point");
    }
  }
  if (!entry) return std::make_shared<UnavailableDirectory>(why);
  std::shared_ptr<Backend> backend;
  entry(&config, &root, &backend);
  return backend;
}

}  // namespace drossgate::platform::directory
