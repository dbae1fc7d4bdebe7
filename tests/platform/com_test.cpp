#include "com/com.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "complus/catalog.h"
#include "platform_fixture.h"

namespace drossgate::platform::com {
namespace {

using test::PlatformRootTest;

const std::string kSink = DROSSGATE_TESTSINK;

using CreateObjectTest = PlatformRootTest;

// Creation by ProgID as the dispatcher does it: the constructor string reaches the instance,
// which is released once; every failure comes back as a result, never as a crash.
TEST_F(CreateObjectTest, ConstructsOnceAndFailsAsResults) {
  // Each constructor string and what the instance is given.
  const std::pair<std::optional<std::string>, nlohmann::json> cases[] = {
      {"Spam\t\rX-Spam-Flag: YES\t\r65535", "Spam\t\rX-Spam-Flag: YES\t\r65535"},
      {std::nullopt, nullptr},
  };
  for (const auto& [constructorString, seen] : cases) {
    SCOPED_TRACE(seen.dump());
    testing::TempDir dir;
    test::MakeRoot(dir.path());
    SetPlatformRoot(dir.path());
    test::TestSinkLog log(dir.path() / "sink.log");
    // The test library installed, construction enabled on the probe.
    auto apps = complus::OpenCatalog()->GetCollection("Applications");
    auto comps = apps->GetCollection("Components", test::InstallTestSink(kSink));
    comps->Populate();
    for (int32_t i = 0; i < comps->Count(); ++i) {
      if (comps->Item(i).Name() != "DrossgateTest.Probe") continue;
      comps->Item(i).SetValue("ConstructionEnabled", true);
      if (constructorString) comps->Item(i).SetValue("ConstructorString", *constructorString);
    }
    comps->SaveChanges();
    ComPtr<IExStoreSyncEvents> sink;
    ASSERT_EQ(CreateObjectByProgId("drossgatetest.probe", IID_IExStoreSyncEvents, sink.put()),
              S_OK);
    auto constructs = log.Lines("construct");
    ASSERT_EQ(constructs.size(), 1u);
    EXPECT_EQ(constructs[0]["constructor"], seen);
    EXPECT_EQ(constructs[0]["instance"], log.Lines("create").at(0)["instance"]);
    ComPtr<IClassFactory> wrong;
    EXPECT_EQ(CreateObjectByProgId("DrossgateTest.Probe", IID_IClassFactory, wrong.put()),
              E_NOINTERFACE);
    sink = {};
    EXPECT_EQ(log.Lines("destroy").size(), 2u) << "each instance released exactly once";
  }
  // A damaged catalog is the damaged-files test's.
  SetPlatformRoot(root());
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateObjectByProgId("No.Such.Class", IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
}

}  // namespace
}  // namespace drossgate::platform::com
