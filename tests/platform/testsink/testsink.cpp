// DrossgateTestSink.so: a component library for the catalog, object creation and dispatcher
// tests. Two classes for its own path: "drossgatetest.Decoy" ({...01}, sorting first, differing
// from the probe's prefix only in letter case) and "DrossgateTest.Probe" ({...02}).
// Each call appends one JSON line, in one write, to $DROSSGATE_TESTSINK_LOG: event (create,
// construct, save, register, destroy), class, instance, thread, constructor, and for events
// flags, url and the event record's URL. $DROSSGATE_TESTSINK_MODE, read at each call: "fail"
// (OnSyncSave fails), "hide" and "move:<url>" (what the begin phase does to the item), "refuse"
// (Register refuses).
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "com/com.h"
#include "com/inproc_server.h"
#include "store/store.h"

using namespace drossgate::platform;
using namespace drossgate::platform::com;
namespace inproc = drossgate::platform::com::inproc;

namespace {

using ClassInfo = inproc::ClassRegistration;

const ClassInfo kClasses[] = {
    {{0xD5055000, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x01}},
     "drossgatetest.Decoy",
     "drossgatetest.Decoy test class"},
    {{0xD5055000, 0x0000, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x02}},
     "DrossgateTest.Probe",
     "DrossgateTest.Probe test class"},
};

std::atomic<long> serverLocks{0};

std::string Mode() {
  const char* env = std::getenv("DROSSGATE_TESTSINK_MODE");
  return env ? env : "";
}

void Log(nlohmann::json line) {
  const char* file = std::getenv("DROSSGATE_TESTSINK_LOG");
  if (!file || !*file) return;
  std::ostringstream tid;
  tid << std::this_thread::get_id();
  line["thread"] = tid.str();
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, text.data(), text.size());
  (void)ignored;
  close(fd);
}

std::string PointerText(const void* p) {
  std::ostringstream s;
  s << p;
  return s.str();
}

class Probe final : public IObjectConstruct, public IExStoreSyncEvents, public ICreateRegistration {
 public:
  explicit Probe(const ClassInfo& cls) : class_(cls) { Log(Base("create")); }

  HRESULT QueryInterface(const Guid& iid, void** out) override {
    if (!out) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IObjectConstruct)
      *out = static_cast<IObjectConstruct*>(this);
    else if (iid == IID_IExStoreSyncEvents)
      *out = static_cast<IExStoreSyncEvents*>(this);
    else if (iid == IID_ICreateRegistration)
      *out = static_cast<ICreateRegistration*>(this);
    else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t n = --refs_;
    if (n == 0) delete this;
    return n;
  }

  HRESULT Construct(IUnknown* constructionObject) override {
    if (!constructionObject) return E_POINTER;
    IObjectConstructString* text = nullptr;
    if (Failed(constructionObject->QueryInterface(IID_IObjectConstructString,
                                                  reinterpret_cast<void**>(&text))) ||
        !text)
      return E_NOINTERFACE;
    const char* s = nullptr;
    HRESULT hr = text->get_ConstructString(&s);
    text->Release();
    if (Failed(hr)) return hr;
    hasString_ = s != nullptr;
    constructorString_ = s ? s : "";
    Log(Base("construct"));
    return S_OK;
  }

  HRESULT OnSyncSave(IExStoreEventInfo* info, const char* url, int32_t flags) override {
    nlohmann::json line = Event("save", info, url, flags);
    std::shared_ptr<store::Record> record = RecordOf(info);
    if ((flags & EVT_SYNC_BEGIN) && record) {
      try {
        if (Mode() == "hide") {
          record->GetFields().Set("DAV:ishidden", true);
          record->GetFields().Update();
        }
        if (const std::string mode = Mode(); mode.starts_with("move:"))
          line["moved"] = record->MoveRecord("", mode.substr(5), false);
      } catch (const std::exception& e) {
        line["error"] = e.what();
      }
    }
    Log(line);
    return Mode() == "fail" ? E_FAIL : S_OK;
  }

  HRESULT OnSyncDelete(IExStoreEventInfo*, const char*, int32_t) override { return S_OK; }

  HRESULT Register(IExStoreEventInfo* info, const char* url, int32_t flags,
                   int32_t* result) override {
    if (!result) return E_POINTER;
    *result = Mode() == "refuse" ? 1 : 0;
    nlohmann::json line = Event("register", info, url, flags);
    line["result"] = *result;
    Log(line);
    return S_OK;
  }

 private:
  ~Probe() { Log(Base("destroy")); }

  nlohmann::json Base(const char* event) const {
    nlohmann::json j = {{"event", event},
                        {"class", class_.progId},
                        {"instance", PointerText(static_cast<const IObjectConstruct*>(this))}};
    j["constructor"] = hasString_ ? nlohmann::json(constructorString_) : nlohmann::json(nullptr);
    return j;
  }

  static std::shared_ptr<store::Record> RecordOf(IExStoreEventInfo* info) {
    std::shared_ptr<store::Record> record;
    if (info && Failed(info->get_EventRecord(&record))) record.reset();
    return record;
  }

  nlohmann::json Event(const char* event, IExStoreEventInfo* info, const char* url,
                       int32_t flags) const {
    nlohmann::json j = Base(event);
    j["flags"] = flags;
    j["url"] = url ? url : "";
    try {
      if (auto record = RecordOf(info)) j["record"] = record->Url();
    } catch (const std::exception& e) {
      j["record_error"] = e.what();
    }
    return j;
  }

  const ClassInfo& class_;
  std::atomic<uint32_t> refs_{1};
  bool hasString_ = false;
  std::string constructorString_;
};

auto MakeProbe(const ClassInfo& cls) {
  return [&cls] { return new (std::nothrow) Probe(cls); };
}
using Factory = inproc::ClassFactory<decltype(MakeProbe(kClasses[0]))>;
Factory decoyFactory(serverLocks, MakeProbe(kClasses[0]));
Factory probeFactory(serverLocks, MakeProbe(kClasses[1]));

}  // namespace

DROSSGATE_COM_EXPORT HRESULT DllGetClassObject(const Guid& clsid, const Guid& iid, void** out) {
  return inproc::GetClassObject(clsid == kClasses[0].clsid   ? &decoyFactory
                                : clsid == kClasses[1].clsid ? &probeFactory
                                                             : nullptr,
                                iid, out);
}

DROSSGATE_COM_EXPORT HRESULT DllRegisterServer() {
  return inproc::RegisterClasses(inproc::LibraryPathOf(reinterpret_cast<void*>(&PointerText)),
                                 kClasses);
}
