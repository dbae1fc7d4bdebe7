#include "com/com.h"

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

#include "complus/catalog.h"
#include "error.h"
#include "system/registry.h"

namespace drossgate::platform::com {

const Guid IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const Guid IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const Guid IID_IObjectConstruct{
    0x41C4F8B3, 0x7439, 0x11D2, {0x98, 0xCB, 0x00, 0xC0, 0x4F, 0x8E, 0xE1, 0xC4}};
const Guid IID_IObjectConstructString{
    0x41C4F8B2, 0x7439, 0x11D2, {0x98, 0xCB, 0x00, 0xC0, 0x4F, 0x8E, 0xE1, 0xC4}};
const Guid IID_IExStoreEventInfo{
    0x9DA0E110, 0x86CE, 0x11D1, {0x86, 0x99, 0x00, 0xC0, 0x4F, 0xB9, 0x80, 0x36}};
const Guid IID_IExStoreSyncEvents{
    0x9DA0E0F3, 0x86CE, 0x11D1, {0x86, 0x99, 0x00, 0xC0, 0x4F, 0xB9, 0x80, 0x36}};
const Guid IID_ICreateRegistration{
    0x9DA0E0F9, 0x86CE, 0x11D1, {0x86, 0x99, 0x00, 0xC0, 0x4F, 0xB9, 0x80, 0x36}};

std::string FormatGuid(const Guid& g) {
  char buf[39];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.data1,
                g.data2, g.data3, g.data4[0], g.data4[1], g.data4[2], g.data4[3], g.data4[4],
                g.data4[5], g.data4[6], g.data4[7]);
  return buf;
}

std::optional<Guid> ParseGuid(std::string_view t) {
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-')
    return std::nullopt;
  uint8_t bytes[16];
  size_t k = 0;
  for (size_t i = 0; i < t.size();) {
    if (t[i] == '-') {
      ++i;
      continue;
    }
    auto hex = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    int hi = hex(t[i]), lo = i + 1 < t.size() ? hex(t[i + 1]) : -1;
    if (hi < 0 || lo < 0 || k >= 16) return std::nullopt;
    bytes[k++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  if (k != 16) return std::nullopt;
  Guid g;
  g.data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
            bytes[3];
  g.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.data4[i] = bytes[8 + i];
  return g;
}

struct LibraryAccess {
  static void Resolve(Library& lib, void* handle) {
    lib.handle_ = handle;
    lib.getClassObject_ = reinterpret_cast<DllGetClassObjectFn>(dlsym(handle, "DllGetClassObject"));
    lib.registerServer_ = reinterpret_cast<DllRegisterServerFn>(dlsym(handle, "DllRegisterServer"));
  }
  static void SetPath(Library& lib, const std::string& path) { lib.path_ = path; }
  static bool HasClassObject(const Library& lib) { return lib.getClassObject_ != nullptr; }
};

Library& Library::Load(const std::string& path) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<Library>> loaded;
  std::lock_guard lock(mutex);
  if (auto it = loaded.find(path); it != loaded.end()) return *it->second;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    Fail(errors::kClassNotRegistered,
         "Cannot load component library " + path + ": " + (why ? why : "unknown error"));
  }
  auto lib = std::make_unique<Library>();
  LibraryAccess::SetPath(*lib, path);
  LibraryAccess::Resolve(*lib, handle);
  if (!LibraryAccess::HasClassObject(*lib)) {
    dlclose(handle);
    Fail(errors::kClassNotRegistered,
         "Component library " + path + " exports no DllGetClassObject");
  }
  return *loaded.emplace(path, std::move(lib)).first->second;
}

HRESULT Library::GetClassObject(const Guid& clsid, const Guid& iid, void** out) const {
  return getClassObject_(clsid, iid, out);
}
HRESULT Library::RegisterServer() const {
  return registerServer_ ? registerServer_() : E_NOTIMPL;
}

namespace {

// The construction object COM+ hands to IObjectConstruct::Construct.
class ConstructionObject final : public IObjectConstructString {
 public:
  explicit ConstructionObject(std::optional<std::string> text) : text_(std::move(text)) {}
  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IObjectConstructString) {
      *out = static_cast<IObjectConstructString*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  HRESULT get_ConstructString(const char** text) override {
    if (!text) return E_POINTER;
    *text = text_ ? text_->c_str() : nullptr;
    return S_OK;
  }

 private:
  ~ConstructionObject() = default;
  std::optional<std::string> text_;
  std::atomic<uint32_t> refs_{1};
};

struct ClassLocation {
  std::string dll;
  Guid clsid;
  bool constructionEnabled = false;
  std::optional<std::string> constructorString;
};

// The catalog first (it carries the construction settings), then plain registration.
std::optional<ClassLocation> Locate(const std::string& progId) {
  if (auto comp = complus::FindComponent(progId)) {
    if (auto clsid = ParseGuid(comp->clsid))
      return ClassLocation{comp->dll, *clsid, comp->constructionEnabled, comp->constructorString};
  }
  using namespace registry;
  Key key;
  if (OpenKey(Hive::kClassesRoot, progId + "\\CLSID", key) != kSuccess) return std::nullopt;
  std::string clsidText;
  Status st = QueryString(key, "", clsidText);
  CloseKey(key);
  auto clsid = ParseGuid(clsidText);
  if (st != kSuccess || !clsid) return std::nullopt;
  if (OpenKey(Hive::kClassesRoot, "CLSID\\" + FormatGuid(*clsid) + "\\InprocServer32", key) !=
      kSuccess)
    return std::nullopt;
  std::string dll;
  st = QueryString(key, "", dll);
  CloseKey(key);
  if (st != kSuccess) return std::nullopt;
  return ClassLocation{dll, *clsid, false, std::nullopt};
}

}  // namespace

HRESULT CreateObjectByProgId(const std::string& progId, const Guid& iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    auto where = Locate(progId);
    if (!where) return REGDB_E_CLASSNOTREG;
    Library& lib = Library::Load(where->dll);
    ComPtr<IClassFactory> factory;
    HRESULT hr = lib.GetClassObject(where->clsid, IID_IClassFactory, factory.put());
    if (Failed(hr) || !factory) return Failed(hr) ? hr : E_FAIL;
    ComPtr<IUnknown> object;
    hr = factory->CreateInstance(nullptr, IID_IUnknown, object.put());
    if (Failed(hr) || !object) return Failed(hr) ? hr : E_FAIL;
    if (where->constructionEnabled) {
      if (auto construct = object.As<IObjectConstruct>(IID_IObjectConstruct)) {
        ComPtr<ConstructionObject> ctx(new ConstructionObject(where->constructorString));
        construct->Construct(ctx.get());
      }
    }
    return object->QueryInterface(iid, out);
  } catch (const PlatformError& e) {
    return e.number() < 0 ? e.number() : E_FAIL;
  } catch (const std::exception&) {
    return E_FAIL;
  }
}

}  // namespace drossgate::platform::com
