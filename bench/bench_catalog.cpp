// The catalog and registry lookups a delivery makes: the generation check before every sink
// creation, a component lookup by ProgID, and the pickup-share read of a forward.
#include <benchmark/benchmark.h>

#include "complus/catalog.h"
#include "system/registry.h"
#include "system/system.h"
#include "testsupport.h"

namespace {

using namespace drossgate::platform;

struct Root {
  drossgate::testing::TempDir dir;
  Root() {
    WriteMachineInfo(dir.path(), {"MAIL1", "example.com", "administrator", "EXAMPLE", {}, {}});
    complus::CreateCatalogFile(dir.path().string());
    SetPlatformRoot(dir.path());
    auto apps = complus::OpenCatalog()->GetCollection("Applications");
    apps->Populate();
    for (int i = 0; i < 20; ++i) {
      complus::CatalogObject& app = apps->Add();
      app.SetValue("Name", "App" + std::to_string(i));
      apps->SaveChanges();
      auto comps = apps->GetCollection("Components", app.Key());
      comps->Add().SetValue("Name", "App" + std::to_string(i) + ".Class");
      comps->SaveChanges();
    }
    registry::Key key = 0;
    registry::CreateKey(registry::Hive::kLocalMachine,
                        "SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares", key);
    registry::SetMultiString(key, "PickUp", {"CSCFlags=0", "Path=/srv/pickup", "Permissions=0"});
    registry::CloseKey(key);
  }
};

Root& TheRoot() {
  static Root root;
  return root;
}

void BM_CatalogGeneration(benchmark::State& state) {
  TheRoot();
  for (auto _ : state) benchmark::DoNotOptimize(complus::CatalogGeneration());
}
BENCHMARK(BM_CatalogGeneration)->Threads(1)->Threads(2);

void BM_FindComponent(benchmark::State& state) {
  TheRoot();
  for (auto _ : state) benchmark::DoNotOptimize(complus::FindComponent("app19.class"));
}
BENCHMARK(BM_FindComponent);

void BM_PickupShareRead(benchmark::State& state) {
  TheRoot();
  for (auto _ : state) {
    registry::Key key = 0;
    registry::OpenKey(registry::Hive::kLocalMachine,
                      "SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares", key);
    std::string name, data;
    registry::ValueType type{};
    benchmark::DoNotOptimize(registry::EnumValue(key, 0, 1024, 500, name, type, data));
    registry::CloseKey(key);
  }
}
BENCHMARK(BM_PickupShareRead);

}  // namespace
