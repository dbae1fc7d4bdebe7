#include "DrossgateCls.h"

#include <algorithm>

#include "DrossgateModule.h"
#include "SinkSettings.h"

namespace drossgate::sink {

namespace com = platform::com;

namespace {

// The one place where errors stop: nothing may cross back into the store or COM+.
template <typename Body>
void AtComBoundary(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace

std::atomic<long> DrossgateCls::liveObjects{0};

DrossgateCls::DrossgateCls() {
  ++liveObjects;
  // Instances are made on the thread that uses them. One made without object construction
  // (from a bare class registration) must not inherit the rules an earlier one left here.
  ThreadSettings() = SinkSettings{};
}
DrossgateCls::~DrossgateCls() {
  --liveObjects;
}

com::HRESULT DrossgateCls::QueryInterface(const com::Guid& iid, void** out) {
  if (!out) return com::E_POINTER;
  if (iid == com::IID_IUnknown || iid == com::IID_IObjectConstruct) {
    *out = static_cast<com::IObjectConstruct*>(this);
  } else if (iid == com::IID_ICreateRegistration) {
    *out = static_cast<com::ICreateRegistration*>(this);
  } else if (iid == com::IID_IExStoreSyncEvents) {
    *out = static_cast<com::IExStoreSyncEvents*>(this);
  } else {
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  AddRef();
  return com::S_OK;
}

uint32_t DrossgateCls::AddRef() {
  return ++refs_;
}

uint32_t DrossgateCls::Release() {
  const uint32_t n = --refs_;
  if (n == 0) delete this;
  return n;
}

com::HRESULT DrossgateCls::Construct(com::IUnknown* constructionObject) {
  // A construction that cannot read its text still replaces this thread's settings.
  AtComBoundary([&] {
    const char* text = nullptr;
    com::ComPtr<com::IObjectConstructString> cs;
    if (constructionObject &&
        com::Succeeded(
            constructionObject->QueryInterface(com::IID_IObjectConstructString, cs.put())) &&
        cs)
      cs->get_ConstructString(&text);
    ThreadSettings() = ParseConstructorString(text);
  });
  return com::S_OK;
}

com::HRESULT DrossgateCls::Register(com::IExStoreEventInfo*, const char*, int32_t,
                                    int32_t* result) {
  if (result) *result = 0;
  return com::S_OK;
}

com::HRESULT DrossgateCls::OnSyncSave(com::IExStoreEventInfo* info, const char* url,
                                      int32_t flags) {
  AtComBoundary([&] {
    const std::string itemUrl = url ? url : "";
    if (flags & com::EVT_SYNC_BEGIN) {
      if (HandleBeginSave(info, itemUrl, flags))
        parked_.push_back({itemUrl, ThreadSettings().currentAction});
      return;
    }
    // The committed or aborted phase of an event: the same instance, in the order of the
    // begin phases.
    const auto it = std::find_if(parked_.begin(), parked_.end(),
                                 [&](const Parked& p) { return p.url == itemUrl; });
    if (it == parked_.end()) return;
    const Parked parked = std::move(*it);
    parked_.erase(it);
    if (flags & com::EVT_SYNC_COMMITTED) HandleCommittedSave(info, itemUrl, flags, parked.action);
  });
  return com::S_OK;
}

com::HRESULT DrossgateCls::OnSyncDelete(com::IExStoreEventInfo*, const char*, int32_t) {
  return com::S_OK;
}

}  // namespace drossgate::sink
