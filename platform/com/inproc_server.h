#pragma once
// What every in-process component library needs behind its four entry points: a class factory
// per class, the class object lookup, and its classes' registration under their ProgIDs in
// HKCR. Compiled into the component library itself (header only); nothing here lets an
// exception out, since none may cross the dlopen boundary.

#include <dlfcn.h>

#include <atomic>
#include <filesystem>
#include <new>
#include <string>

#include "com/com.h"
#include "system/registry.h"

// An entry point of a component library (the libraries are built with hidden visibility).
#define DROSSGATE_COM_EXPORT extern "C" __attribute__((visibility("default")))

namespace drossgate::platform::com::inproc {

// A factory that lives as long as the library (a static), so references are not counted.
// create() returns a new object holding one reference, or null when memory runs out.
template <class Create>
class ClassFactory final : public IClassFactory {
 public:
  ClassFactory(std::atomic<long>& serverLocks, Create create)
      : serverLocks_(serverLocks), create_(create) {}

  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    try {
      auto* object = create_();
      if (!object) return E_OUTOFMEMORY;
      const HRESULT hr = object->QueryInterface(iid, out);
      object->Release();
      return hr;
    } catch (...) {
      return E_FAIL;
    }
  }
  HRESULT LockServer(bool lock) override {
    serverLocks_ += lock ? 1 : -1;
    return S_OK;
  }

 private:
  std::atomic<long>& serverLocks_;
  Create create_;
};

// DllGetClassObject's answer for the factory of the class asked for (null: not this library's).
inline HRESULT GetClassObject(IClassFactory* factory, const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(iid, out);
}

struct ClassRegistration {
  Guid clsid;
  std::string progId;
  std::string name;  // the default value of the ProgID's and the CLSID's keys
};

// The canonical path of the library that holds address; empty when it cannot be told.
inline std::string LibraryPathOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return {};
  std::error_code ec;
  auto path = std::filesystem::canonical(info.dli_fname, ec);
  return ec ? std::string(info.dli_fname) : path.string();
}

// DllRegisterServer: each class under its ProgID and CLSID, served by the library at
// libraryPath in the apartment threading model.
template <class Classes>
HRESULT RegisterClasses(const std::string& libraryPath, const Classes& classes) noexcept {
  namespace reg = registry;
  auto set = [](const std::string& path, const char* name, const std::string& value) {
    reg::Key key = 0;
    if (reg::CreateKey(reg::Hive::kClassesRoot, path, key) != reg::kSuccess) return false;
    const bool ok = reg::SetString(key, name, value) == reg::kSuccess;
    reg::CloseKey(key);
    return ok;
  };
  try {
    if (libraryPath.empty()) return SELFREG_E_CLASS;
    for (const ClassRegistration& c : classes) {
      const std::string clsid = FormatGuid(c.clsid);
      const std::string key = "CLSID\\" + clsid;
      if (!set(c.progId, "", c.name) || !set(c.progId + "\\CLSID", "", clsid) ||
          !set(key, "", c.name) || !set(key + "\\ProgID", "", c.progId) ||
          !set(key + "\\InprocServer32", "", libraryPath) ||
          !set(key + "\\InprocServer32", "ThreadingModel", "Apartment"))
        return SELFREG_E_CLASS;
    }
    return S_OK;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

// DllUnregisterServer: the keys RegisterClasses wrote.
template <class Classes>
HRESULT UnregisterClasses(const Classes& classes) noexcept {
  try {
    for (const ClassRegistration& c : classes) {
      registry::DeleteKey(registry::Hive::kClassesRoot, c.progId);
      registry::DeleteKey(registry::Hive::kClassesRoot, "CLSID\\" + FormatGuid(c.clsid));
    }
  } catch (...) {
  }
  return S_OK;
}

}  // namespace drossgate::platform::com::inproc
