// The library's four exported entry points: class object, unload test, and registration of
// DrossgateCls under its ProgID in the registry.
#include <dlfcn.h>

#include <filesystem>

#include "CleanupThread.h"
#include "DrossgateCls.h"
#include "system/registry.h"

namespace com = drossgate::platform::com;
namespace reg = drossgate::platform::registry;
using drossgate::sink::DrossgateCls;

namespace {

std::atomic<long> serverLocks{0};

class ClassFactory final : public com::IClassFactory {
 public:
  com::HRESULT QueryInterface(const com::Guid& iid, void** out) override {
    if (!out) return com::E_POINTER;
    if (iid == com::IID_IUnknown || iid == com::IID_IClassFactory) {
      *out = static_cast<com::IClassFactory*>(this);
      return com::S_OK;
    }
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  // One static factory for the life of the library.
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  com::HRESULT CreateInstance(com::IUnknown* outer, const com::Guid& iid, void** out) override {
    if (!out) return com::E_POINTER;
    *out = nullptr;
    if (outer) return com::CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) DrossgateCls();
    if (!object) return com::E_OUTOFMEMORY;
    const com::HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  com::HRESULT LockServer(bool lock) override {
    serverLocks += lock ? 1 : -1;
    return com::S_OK;
  }
};

ClassFactory factory;

std::string LibraryPath() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&LibraryPath), &info) || !info.dli_fname) return {};
  std::error_code ec;
  auto path = std::filesystem::canonical(info.dli_fname, ec);
  return ec ? std::string(info.dli_fname) : path.string();
}

std::string ClsidKey() {
  return "CLSID\\" + com::FormatGuid(drossgate::sink::kClsid);
}

bool SetKeyString(const std::string& path, const std::string& name, const std::string& value) {
  reg::Key key;
  if (reg::CreateKey(reg::Hive::kClassesRoot, path, key) != reg::kSuccess) return false;
  const bool ok = reg::SetString(key, name, value) == reg::kSuccess;
  reg::CloseKey(key);
  return ok;
}

}  // namespace

#define DROSSGATE_EXPORT extern "C" __attribute__((visibility("default")))

DROSSGATE_EXPORT com::HRESULT DllGetClassObject(const com::Guid& clsid, const com::Guid& iid,
                                                void** out) {
  if (!out) return com::E_POINTER;
  *out = nullptr;
  if (!(clsid == drossgate::sink::kClsid)) return com::CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(iid, out);
}

DROSSGATE_EXPORT com::HRESULT DllCanUnloadNow() {
  return DrossgateCls::liveObjects == 0 && serverLocks == 0 && !drossgate::sink::CleanupPending()
             ? com::S_OK
             : com::S_FALSE;
}

DROSSGATE_EXPORT com::HRESULT DllRegisterServer() {
  const std::string progId = drossgate::sink::kProgId;
  const std::string clsid = com::FormatGuid(drossgate::sink::kClsid);
  const std::string path = LibraryPath();
  const bool ok = !path.empty() && SetKeyString(progId, "", "DrossgateCls") &&
                  SetKeyString(progId + "\\CLSID", "", clsid) &&
                  SetKeyString(ClsidKey(), "", "DrossgateCls") &&
                  SetKeyString(ClsidKey() + "\\ProgID", "", progId) &&
                  SetKeyString(ClsidKey() + "\\InprocServer32", "", path) &&
                  SetKeyString(ClsidKey() + "\\InprocServer32", "ThreadingModel", "Apartment");
  return ok ? com::S_OK : com::SELFREG_E_CLASS;
}

DROSSGATE_EXPORT com::HRESULT DllUnregisterServer() {
  reg::DeleteKey(reg::Hive::kClassesRoot, drossgate::sink::kProgId);
  reg::DeleteKey(reg::Hive::kClassesRoot, ClsidKey());
  return com::S_OK;
}
