// The library's four exported entry points: class object, unload test, and registration of
// DrossgateCls under its ProgID in the registry.
#include <array>

#include "CleanupThread.h"
#include "DrossgateCls.h"
#include "com/inproc_server.h"

namespace com = drossgate::platform::com;
namespace inproc = drossgate::platform::com::inproc;
using drossgate::sink::DrossgateCls;

namespace {

std::atomic<long> serverLocks{0};

inproc::ClassFactory factory(serverLocks, [] { return new (std::nothrow) DrossgateCls(); });

const std::array<inproc::ClassRegistration, 1> kClasses{
    {{drossgate::sink::kClsid, drossgate::sink::kProgId, "DrossgateCls"}}};

}  // namespace

DROSSGATE_COM_EXPORT com::HRESULT DllGetClassObject(const com::Guid& clsid, const com::Guid& iid,
                                                    void** out) {
  return inproc::GetClassObject(clsid == drossgate::sink::kClsid ? &factory : nullptr, iid, out);
}

DROSSGATE_COM_EXPORT com::HRESULT DllCanUnloadNow() {
  return DrossgateCls::liveObjects == 0 && serverLocks == 0 && !drossgate::sink::CleanupPending()
             ? com::S_OK
             : com::S_FALSE;
}

DROSSGATE_COM_EXPORT com::HRESULT DllRegisterServer() {
  return inproc::RegisterClasses(inproc::LibraryPathOf(reinterpret_cast<void*>(&DllRegisterServer)),
                                 kClasses);
}

DROSSGATE_COM_EXPORT com::HRESULT DllUnregisterServer() {
  return inproc::UnregisterClasses(kClasses);
}
