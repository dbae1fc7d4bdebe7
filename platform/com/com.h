#pragma once
// The COM-style binary interface between the platform and component libraries: GUIDs,
// HRESULT results, IUnknown, class factories, object construction, the store's event
// interfaces, library loading with dlopen and object creation by ProgID. Interface methods
// never throw; results are HRESULTs. Interface destructors are protected: objects are released
// through Release(), by whichever side of the dlopen boundary holds them.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace drossgate::platform::store {
class Record;
}

namespace drossgate::platform::com {

using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
inline constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
inline constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);
inline bool Succeeded(HRESULT hr) {
  return hr >= 0;
}
inline bool Failed(HRESULT hr) {
  return hr < 0;
}

struct Guid {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  uint8_t data4[8] = {};
  friend bool operator==(const Guid&, const Guid&) = default;
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (upper case); braces optional when parsing.
std::string FormatGuid(const Guid& g);
std::optional<Guid> ParseGuid(std::string_view text);

struct IUnknown {
  virtual HRESULT QueryInterface(const Guid& iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) = 0;
  virtual HRESULT LockServer(bool lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// Handed to IObjectConstruct::Construct; the constructor string may be null.
struct IObjectConstructString : IUnknown {
  virtual HRESULT get_ConstructString(const char** text) = 0;

 protected:
  ~IObjectConstructString() = default;
};

struct IObjectConstruct : IUnknown {
  virtual HRESULT Construct(IUnknown* constructionObject) = 0;

 protected:
  ~IObjectConstruct() = default;
};

// The store's event information: EventRecord is the item the event concerns, as a record
// bound to the event's transaction (during the begin phase) and following the item wherever
// the begin phase moved it.
struct IExStoreEventInfo : IUnknown {
  virtual HRESULT get_EventRecord(std::shared_ptr<store::Record>* record) = 0;

 protected:
  ~IExStoreEventInfo() = default;
};

struct IExStoreSyncEvents : IUnknown {
  virtual HRESULT OnSyncSave(IExStoreEventInfo* info, const char* url, int32_t flags) = 0;
  virtual HRESULT OnSyncDelete(IExStoreEventInfo* info, const char* url, int32_t flags) = 0;

 protected:
  ~IExStoreSyncEvents() = default;
};

// Called when a registration item naming the class is saved; *result != 0 refuses it.
struct ICreateRegistration : IUnknown {
  virtual HRESULT Register(IExStoreEventInfo* info, const char* url, int32_t flags,
                           int32_t* result) = 0;

 protected:
  ~ICreateRegistration() = default;
};

// Interface identifiers.
extern const Guid IID_IUnknown;
extern const Guid IID_IClassFactory;
extern const Guid IID_IObjectConstruct;
extern const Guid IID_IObjectConstructString;  // {41C4F8B2-7439-11D2-98CB-00C04F8EE1C4}
extern const Guid IID_IExStoreEventInfo;       // {9DA0E110-86CE-11D1-8699-00C04FB98036}
extern const Guid IID_IExStoreSyncEvents;
extern const Guid IID_ICreateRegistration;

// Store event flags.
inline constexpr int32_t EVT_IS_COLLECTION = 0x00000002;
inline constexpr int32_t EVT_IS_DELIVERED = 0x00000008;
inline constexpr int32_t EVT_SYNC_BEGIN = 0x01000000;
inline constexpr int32_t EVT_SYNC_COMMITTED = 0x02000000;
inline constexpr int32_t EVT_SYNC_ABORTED = 0x04000000;

// The entry points of a component library that the platform calls (extern "C", default
// visibility); the library also exports DllCanUnloadNow and DllUnregisterServer.
using DllGetClassObjectFn = HRESULT (*)(const Guid& clsid, const Guid& iid, void** out);
using DllRegisterServerFn = HRESULT (*)();

// A component library loaded with dlopen. Libraries stay loaded for the life of the process,
// since objects they made may still be alive anywhere.
class Library {
 public:
  // Loads (or finds already loaded) the library at path; raises PlatformError with dlerror's
  // text when it cannot be loaded or lacks DllGetClassObject.
  static Library& Load(const std::string& path);
  const std::string& path() const { return path_; }
  HRESULT GetClassObject(const Guid& clsid, const Guid& iid, void** out) const;
  HRESULT RegisterServer() const;  // E_NOTIMPL when not exported

 private:
  std::string path_;
  void* handle_ = nullptr;
  DllGetClassObjectFn getClassObject_ = nullptr;
  DllRegisterServerFn registerServer_ = nullptr;
  friend struct LibraryAccess;
};

// Creates an instance of the class registered under progId: the catalog's component of that
// name gives the library and CLSID (else the registry's HKCR\progId\CLSID and InprocServer32);
// when the component has construction enabled, the new object is constructed with its
// constructor string through IObjectConstruct. On success *out holds the requested interface.
HRESULT CreateObjectByProgId(const std::string& progId, const Guid& iid, void** out);

// Smart pointer for interfaces: releases on destruction.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  explicit ComPtr(T* p) : p_(p) {}
  ComPtr(const ComPtr& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  ComPtr& operator=(ComPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~ComPtr() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // For out-parameters: releases what is held and gives the slot.
  void** put() {
    if (p_) p_->Release();
    p_ = nullptr;
    return reinterpret_cast<void**>(&p_);
  }
  template <typename U>
  ComPtr<U> As(const Guid& iid) const {
    ComPtr<U> out;
    if (p_) p_->QueryInterface(iid, out.put());
    return out;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace drossgate::platform::com
