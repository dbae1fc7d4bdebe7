#pragma once
// The sink's COM class (ProgID "Drossgate.DrossgateCls"): object construction hands it the
// rules, the store calls its synchronous save and delete events and its registration
// callback. Every method returns success; nothing is shown or logged.

#include <atomic>
#include <string>
#include <vector>

#include "com/com.h"

namespace drossgate::sink {

inline constexpr const char* kProgId = "Drossgate.DrossgateCls";
// {6F1D2C3A-8B4E-4F1A-9C2D-3E5F7A9B1C0D}
inline constexpr platform::com::Guid kClsid{
    0x6F1D2C3A, 0x8B4E, 0x4F1A, {0x9C, 0x2D, 0x3E, 0x5F, 0x7A, 0x9B, 0x1C, 0x0D}};

class DrossgateCls final : public platform::com::IObjectConstruct,
                           public platform::com::ICreateRegistration,
                           public platform::com::IExStoreSyncEvents {
 public:
  DrossgateCls();

  platform::com::HRESULT QueryInterface(const platform::com::Guid& iid, void** out) override;
  uint32_t AddRef() override;
  uint32_t Release() override;

  platform::com::HRESULT Construct(platform::com::IUnknown* constructionObject) override;
  platform::com::HRESULT Register(platform::com::IExStoreEventInfo* info, const char* url,
                                  int32_t flags, int32_t* result) override;
  platform::com::HRESULT OnSyncSave(platform::com::IExStoreEventInfo* info, const char* url,
                                    int32_t flags) override;
  platform::com::HRESULT OnSyncDelete(platform::com::IExStoreEventInfo* info, const char* url,
                                      int32_t flags) override;

  // Objects and server locks alive in this library (for DllCanUnloadNow).
  static std::atomic<long> liveObjects;

 private:
  ~DrossgateCls();
  std::atomic<uint32_t> refs_{1};
  // Items this instance parked in a begin phase whose committed phase is still to come: only
  // they have work left then, and the others are passed over without reading the store.
  struct Parked {
    std::string url;
    std::string action;
  };
  std::vector<Parked> parked_;
};

}  // namespace drossgate::sink
