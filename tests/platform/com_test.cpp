#include "com/com.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "complus/catalog.h"
#include "platform_fixture.h"
#include "system/registry.h"

namespace drossgate::platform::com {
namespace {

using test::PlatformRootTest;

const std::string kSink = DROSSGATE_TESTSINK;

TEST(Guid, FormatAndParse) {
  const Guid g{0x41C4F8B2, 0x7439, 0x11D2, {0x98, 0xCB, 0x00, 0xC0, 0x4F, 0x8E, 0xE1, 0xC4}};
  EXPECT_EQ(FormatGuid(g), "{41C4F8B2-7439-11D2-98CB-00C04F8EE1C4}");
  EXPECT_EQ(ParseGuid(FormatGuid(g)), g);
  EXPECT_EQ(ParseGuid("{41c4f8b2-7439-11d2-98cb-00c04f8ee1c4}"), g) << "lower case";
  for (const char* bad :
       {"{41C4F8B27-439-11D2-98CB-00C04F8EE1C4}", "{41C4F8B2-7439-11D2-98CB-00C04F8EE1CG}",
        "41C4F8B2743911D298CB00C04F8EE1C4"})
    EXPECT_FALSE(ParseGuid(bad)) << bad;
}

class CreateObjectTest : public PlatformRootTest {
 protected:
  // The test library installed, construction set on the probe.
  static void Install(bool construction, const std::optional<std::string>& constructorString) {
    auto apps = complus::OpenCatalog()->GetCollection("Applications");
    auto comps = apps->GetCollection("Components", test::InstallTestSink(kSink));
    comps->Populate();
    for (int32_t i = 0; i < comps->Count(); ++i) {
      if (comps->Item(i).Name() != "DrossgateTest.Probe") continue;
      comps->Item(i).SetValue("ConstructionEnabled", construction);
      if (constructorString) comps->Item(i).SetValue("ConstructorString", *constructorString);
    }
    comps->SaveChanges();
  }

  test::TestSinkLog log_{root() / "sink.log"};
};

TEST_F(CreateObjectTest, ConstructorStringReachesTheInstance) {
  struct Case {
    const char* name;
    bool construction;
    std::optional<std::string> constructorString;
    nlohmann::json seen;  // by the constructed instance
  } cases[] = {
      {"enabled with text", true, "Spam\t\rX-Spam-Flag: YES\t\r65535",
       "Spam\t\rX-Spam-Flag: YES\t\r65535"},
      {"enabled, null string", true, std::nullopt, nullptr},
      {"disabled", false, "ignored", nullptr},
  };
  for (const Case& c : cases) {
    testing::TempDir dir;
    test::MakeRoot(dir.path());
    SetPlatformRoot(dir.path());
    test::TestSinkLog log(dir.path() / "sink.log");
    Install(c.construction, c.constructorString);
    ComPtr<IExStoreSyncEvents> sink;
    ASSERT_EQ(CreateObjectByProgId("drossgatetest.probe", IID_IExStoreSyncEvents, sink.put()), S_OK)
        << c.name;
    ASSERT_TRUE(sink) << c.name;
    auto constructs = log.Lines("construct");
    ASSERT_EQ(constructs.size(), c.construction ? 1u : 0u) << c.name;
    if (c.construction) {
      EXPECT_EQ(constructs[0]["constructor"], c.seen) << c.name;
      EXPECT_EQ(constructs[0]["instance"], log.Lines("create").at(0)["instance"]) << c.name;
    }
    sink = {};
    EXPECT_EQ(log.Lines("destroy").size(), 1u) << c.name << ": released exactly once";
  }
}

TEST_F(CreateObjectTest, RegistryAloneFindsTheClassWithoutConstruction) {
  auto& lib = Library::Load(std::filesystem::canonical(kSink).string());
  ASSERT_EQ(lib.RegisterServer(), S_OK);
  ComPtr<IUnknown> object;
  ASSERT_EQ(CreateObjectByProgId("DrossgateTest.Probe", IID_IUnknown, object.put()), S_OK);
  EXPECT_TRUE(object);
  EXPECT_TRUE(log_.Lines("construct").empty());
  EXPECT_EQ(lib.CanUnloadNow(), S_FALSE) << "an object is alive";
  object = {};
  EXPECT_EQ(lib.CanUnloadNow(), S_OK);

  ASSERT_EQ(lib.UnregisterServer(), S_OK);
  EXPECT_EQ(CreateObjectByProgId("DrossgateTest.Probe", IID_IUnknown, object.put()),
            REGDB_E_CLASSNOTREG);
}

TEST_F(CreateObjectTest, FailuresComeBackAsResults) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CreateObjectByProgId("No.Such.Class", IID_IUnknown, &out), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(CreateObjectByProgId("No.Such.Class", IID_IUnknown, nullptr), E_POINTER);

  Install(false, std::nullopt);
  ComPtr<IClassFactory> wrong;
  EXPECT_EQ(CreateObjectByProgId("DrossgateTest.Probe", IID_IClassFactory, wrong.put()),
            E_NOINTERFACE);

  for (const char* f : {"catalog.db", "catalog.db-wal", "catalog.db-shm"})
    std::filesystem::remove(root() / f);
  testing::WriteFile(root() / "catalog.db", "not a database, not at all, no sqlite header");
  ComPtr<IUnknown> object;
  EXPECT_LT(CreateObjectByProgId("DrossgateTest.Probe", IID_IUnknown, object.put()), 0);
}

}  // namespace
}  // namespace drossgate::platform::com
