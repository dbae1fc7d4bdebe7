#include "store/dispatcher.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "com/com.h"
#include "complus/catalog.h"
#include "error.h"
#include "store/access.h"
#include "store/criteria.h"
#include "store/items.h"
#include "store/names.h"
#include "text.h"

namespace drossgate::platform::store::dispatcher {

namespace {

using com::ComPtr;

enum class Scope { kShallow, kDeep, kAny };

struct Registration {
  int64_t id = 0;
  int64_t folder = 0;
  int64_t store = 0;  // for ANY: the store whose mailboxes it covers
  Scope scope = Scope::kShallow;
  std::string sinkClass;
  std::string sinkKey;  // lower case, to tell sink classes apart
  int64_t priority = 65535;
  criteria::Criteria criteria;
};

struct RegistrationSet {
  int64_t generation = -1;
  std::vector<Registration> regs;
  std::unordered_map<int64_t, int64_t> storeOfMailbox;
};

std::string EventProperty(const std::vector<StoredProperty>& props, const char* name) {
  const std::string key = std::string(names::kEventsPrefix) + name;
  for (const StoredProperty& p : props)
    if (p.key == key) return ValueText(p.value);
  return {};
}

bool Enabled(const std::vector<StoredProperty>& props) {
  const std::string key = std::string(names::kEventsPrefix) + "enabled";
  for (const StoredProperty& p : props) {
    if (p.key != key) continue;
    if (auto b = std::get_if<bool>(&p.value)) return *b;
    if (auto i = std::get_if<int32_t>(&p.value)) return *i != 0;
    if (auto t = std::get_if<std::string>(&p.value)) {
      std::string v = text::Trim(*t);
      return !(text::EqualsNoCase(v, "false") || v == "0");
    }
    return true;
  }
  return true;
}

int64_t Priority(const std::string& text) {
  std::string t = text::Trim(text);
  if (t.empty() || t.size() > 9) return 65535;
  for (char c : t)
    if (c < '0' || c > '9') return 65535;
  return std::strtoll(t.c_str(), nullptr, 10);
}

bool HandlesSave(const std::string& methods) {
  for (const std::string& m : text::Split(methods, ';'))
    if (text::EqualsNoCase(text::Trim(m), "onsyncsave")) return true;
  return false;
}

// The store whose system mailbox holds folder as StoreEvents/GlobalEvents; 0 if none.
int64_t GlobalEventsStore(Session& s, int64_t folder) {
  auto f = GetItem(s, folder);
  if (!f || !text::EqualsNoCase(f->name, "GlobalEvents")) return 0;
  auto p = GetItem(s, f->parent);
  if (!p || !text::EqualsNoCase(p->name, "StoreEvents")) return 0;
  Stmt q(s, "SELECT store FROM mailboxes WHERE root = ?1 AND is_system = 1");
  q.Bind(1, p->parent);
  return q.Step() ? q.Int(0) : 0;
}

std::shared_ptr<const RegistrationSet> Load(Session& s, int64_t generation) {
  auto set = std::make_shared<RegistrationSet>();
  set->generation = generation;
  {
    Stmt q(s, "SELECT root, store FROM mailboxes");
    while (q.Step()) set->storeOfMailbox[q.Int(0)] = q.Int(1);
  }
  std::vector<std::pair<int64_t, int64_t>> found;
  {
    Stmt q(s, "SELECT id, parent FROM items WHERE is_reg = 1 AND reg_refused = 0 ORDER BY id");
    while (q.Step()) found.emplace_back(q.Int(0), q.Int(1));
  }
  for (const auto& [id, folder] : found) {
    auto props = LoadProperties(s, id);
    if (!Enabled(props) || !HandlesSave(EventProperty(props, "eventmethod"))) continue;
    Registration r;
    r.id = id;
    r.folder = folder;
    r.sinkClass = text::Trim(EventProperty(props, "sinkclass"));
    r.sinkKey = text::ToLower(r.sinkClass);
    if (r.sinkClass.empty()) continue;
    std::string scope = text::Trim(EventProperty(props, "matchscope"));
    if (scope.empty() || text::EqualsNoCase(scope, "SHALLOW")) {
      r.scope = Scope::kShallow;
    } else if (text::EqualsNoCase(scope, "DEEP")) {
      r.scope = Scope::kDeep;
    } else if (text::EqualsNoCase(scope, "ANY")) {
      r.scope = Scope::kAny;
      r.store = GlobalEventsStore(s, folder);
      if (!r.store) continue;
    } else {
      continue;
    }
    auto crit = criteria::Parse(EventProperty(props, "criteria"));
    if (!crit) continue;
    r.criteria = *crit;
    r.priority = Priority(EventProperty(props, "priority"));
    set->regs.push_back(std::move(r));
  }
  return set;
}

// Each process caches the registrations of each store and re-reads them only when the
// store's registration generation moved.
std::shared_ptr<const RegistrationSet> Registrations(Session& s) {
  static std::mutex mutex;
  static std::map<Engine*, std::shared_ptr<const RegistrationSet>> cache;
  const int64_t generation = RegistrationGeneration(s);
  std::lock_guard lock(mutex);
  auto& slot = cache[&s.engine()];
  if (!slot || slot->generation != generation) slot = Load(s, generation);
  return slot;
}

// The event information handed to sinks. The record is opened on the item by id at each
// request, so it follows the item wherever it is now; on the saving thread during the begin
// phase it works inside the save's transaction.
class EventInfo final : public com::IExStoreEventInfo {
 public:
  EventInfo(Engine& engine, int64_t item) : engine_(engine), item_(item) {}

  com::HRESULT QueryInterface(const com::Guid& iid, void** out) override {
    if (!out) return com::E_POINTER;
    if (iid == com::IID_IUnknown || iid == com::IID_IExStoreEventInfo) {
      *out = static_cast<com::IExStoreEventInfo*>(this);
      AddRef();
      return com::S_OK;
    }
    *out = nullptr;
    return com::E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs_; }
  uint32_t Release() override {
    uint32_t n = --refs_;
    if (n == 0) delete this;
    return n;
  }
  com::HRESULT get_EventRecord(std::shared_ptr<Record>* record) override {
    if (!record) return com::E_POINTER;
    try {
      *record = OpenRecordById(engine_, item_);
      return com::S_OK;
    } catch (const PlatformError& e) {
      *record = nullptr;
      return e.number() < 0 ? e.number() : com::E_FAIL;
    } catch (...) {
      *record = nullptr;
      return com::E_FAIL;
    }
  }

 private:
  ~EventInfo() = default;
  Engine& engine_;
  int64_t item_;
  std::atomic<uint32_t> refs_{1};
};

// Sink instances of this thread by ProgID, dropped when the catalog changes so that a new
// constructor string reaches new instances.
struct ThreadSinks {
  const Engine* engine = nullptr;  // the store (and so the platform root) they were made for
  uint64_t generation = 0;
  std::unordered_map<std::string, ComPtr<com::IExStoreSyncEvents>> sinks;
};
thread_local ThreadSinks tSinks;

ComPtr<com::IExStoreSyncEvents> SinkFor(Session& s, const Registration& r, uint64_t generation) {
  if (tSinks.engine != &s.engine() || tSinks.generation != generation) {
    tSinks.sinks.clear();
    tSinks.engine = &s.engine();
    tSinks.generation = generation;
  }
  auto it = tSinks.sinks.find(r.sinkKey);
  if (it != tSinks.sinks.end()) return it->second;
  ComPtr<com::IExStoreSyncEvents> sink;
  com::HRESULT hr = com::CreateObjectByProgId(r.sinkClass, com::IID_IExStoreSyncEvents, sink.put());
  if (com::Failed(hr)) sink = ComPtr<com::IExStoreSyncEvents>();
  // A class that cannot be created is not tried again until the catalog changes.
  tSinks.sinks.emplace(r.sinkKey, sink);
  return sink;
}

struct RunningMark {
  RunningMark(Session& s, int64_t item) : s_(s), it_(s.running.insert(item)) { ++s_.dispatchDepth; }
  ~RunningMark() {
    s_.running.erase(it_);
    --s_.dispatchDepth;
  }
  Session& s_;
  std::multiset<int64_t>::iterator it_;
};

void CallSink(Session& s, com::IExStoreSyncEvents* sink, int64_t item, const std::string& url,
              int32_t flags) noexcept {
  EventInfo* info = nullptr;
  try {
    info = new EventInfo(s.engine(), item);
    RunningMark mark(s, item);
    sink->OnSyncSave(info, url.c_str(), flags);
  } catch (...) {
    // The sink's failure is its own; the save goes on.
  }
  if (info) info->Release();
}

}  // namespace

bool IsRunning(Session& s, int64_t item) {
  return s.running.count(item) != 0;
}

bool OnSave(Session& s, int64_t itemId, int32_t flags) {
  if (s.dispatchDepth >= kMaxNesting) return false;
  auto set = Registrations(s);
  if (set->regs.empty()) return false;
  auto item = GetItem(s, itemId);
  if (!item || item->isReg || !item->InMailbox()) return false;
  if (item->IsFolder()) flags |= com::EVT_IS_COLLECTION;

  std::optional<std::vector<int64_t>> chain;
  auto storeIt = set->storeOfMailbox.find(item->mailbox);
  const int64_t store = storeIt == set->storeOfMailbox.end() ? 0 : storeIt->second;
  std::vector<const Registration*> covering;
  for (const Registration& r : set->regs) {
    if (r.id == item->id) continue;
    bool covers = false;
    switch (r.scope) {
      case Scope::kShallow:
        covers = r.folder == item->parent;
        break;
      case Scope::kDeep:
        if (!chain) chain = Ancestors(s, item->id);
        covers = std::find(chain->begin(), chain->end(), r.folder) != chain->end();
        break;
      case Scope::kAny:
        covers = store != 0 && r.store == store;
        break;
    }
    if (covers) covering.push_back(&r);
  }
  if (covering.empty()) return false;

  // Criteria see the item as saved, computed properties included; only the properties a
  // criterion names are read (a stored one wins over a computed one of that name).
  std::unordered_map<std::string, std::optional<Value>> props;
  auto lookup = [&](const std::string& key) -> std::optional<Value> {
    auto it = props.find(key);
    if (it != props.end()) return it->second;
    std::optional<Value> v = LoadProperty(s, item->id, key);
    if (!v) v = ComputedProperty(s, *item, key);
    return props.emplace(key, std::move(v)).first->second;
  };
  std::vector<const Registration*> chosen;
  for (const Registration* r : covering)
    if (r->criteria.Matches(lookup)) chosen.push_back(r);
  std::stable_sort(chosen.begin(), chosen.end(), [](const Registration* a, const Registration* b) {
    return a->priority != b->priority ? a->priority < b->priority : a->id < b->id;
  });
  // One call per sink class, for its best registration.
  std::vector<const Registration*> calls;
  for (const Registration* r : chosen) {
    bool seen = false;
    for (const Registration* c : calls) seen = seen || c->sinkKey == r->sinkKey;
    if (!seen) calls.push_back(r);
  }
  if (calls.empty()) return false;

  // Without the catalog nobody can tell what the sinks would do: the save fails (a delivery
  // then waits with its sender) rather than pass unfiltered.
  const uint64_t generation = complus::CatalogGeneration();
  const std::string url = ItemUrl(s, item->id);
  // The sinks whose begin phase ran get the committed or aborted phase, in the order of the
  // begin phases: the hook is added before they run, so that it comes before the hooks of any
  // save a begin phase makes.
  auto called = std::make_shared<std::vector<ComPtr<com::IExStoreSyncEvents>>>();
  s.OnEnd([&s, called, itemId = item->id, url, flags](bool committed) {
    // What a sink does after the save is clean-up of what the save already made durable: a
    // crash that loses it leaves the save's own state (a parked message, say), never less. Its
    // commits therefore wait for no sync of their own; the next full commit carries them.
    const bool lazy = s.lazyDurability;
    s.lazyDurability = true;
    const int32_t phase = committed ? com::EVT_SYNC_COMMITTED : com::EVT_SYNC_ABORTED;
    // Saves made from this phase dispatch too; CallSink counts them towards the nesting limit.
    for (auto& sink : *called) CallSink(s, sink.get(), itemId, url, phase | flags);
    s.lazyDurability = lazy;
  });
  for (const Registration* r : calls) {
    ComPtr<com::IExStoreSyncEvents> sink;
    try {
      sink = SinkFor(s, *r, generation);
    } catch (...) {
    }
    if (!sink) continue;
    CallSink(s, sink.get(), item->id, url, com::EVT_SYNC_BEGIN | flags);
    called->push_back(sink);
  }
  return !called->empty();
}

void RegisterItem(Session& s, int64_t item) {
  bool refused = true;
  try {
    auto props = LoadProperties(s, item);
    const std::string sinkClass = text::Trim(EventProperty(props, "sinkclass"));
    if (!sinkClass.empty()) {
      ComPtr<com::ICreateRegistration> reg;
      com::HRESULT hr =
          com::CreateObjectByProgId(sinkClass, com::IID_ICreateRegistration, reg.put());
      if (hr == com::E_NOINTERFACE) {
        refused = false;  // the class has no registration hook: nothing to refuse with
      } else if (com::Succeeded(hr) && reg) {
        EventInfo* info = new EventInfo(s.engine(), item);
        int32_t result = 0;
        const std::string url = ItemUrl(s, item);
        try {
          RunningMark mark(s, item);
          hr = reg->Register(info, url.c_str(), 0, &result);
        } catch (...) {
          hr = com::E_FAIL;
        }
        info->Release();
        refused = com::Failed(hr) || result != 0;
      }
    }
  } catch (const PlatformError&) {
    refused = true;
  }
  SetRegistrationRefused(s, item, refused);
}

}  // namespace drossgate::platform::store::dispatcher
