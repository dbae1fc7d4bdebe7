#include "complus/catalog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <tuple>

#include "error.h"
#include "platform_fixture.h"
#include "text.h"

namespace drossgate::platform::complus {
namespace {

using test::ErrorOf;
using test::PlatformRootTest;

const std::string kSink = DROSSGATE_TESTSINK;
const std::string kProbeClsid = "{D5055000-0000-4000-8000-000000000002}";

class CatalogTest : public PlatformRootTest {
 protected:
  // A saved application; returns its ID.
  std::string AddApplication(const std::string& name) {
    auto catalog = OpenCatalog();
    auto apps = catalog->GetCollection("Applications");
    apps->Populate();
    CatalogObject& app = apps->Add();
    app.SetValue("Name", name);
    std::string id = std::get<std::string>(app.Value("ID"));
    EXPECT_EQ(apps->SaveChanges(), 1);
    return id;
  }

  std::unique_ptr<CatalogCollection> Components(const std::string& appId) {
    auto apps = OpenCatalog()->GetCollection("Applications");
    auto comps = apps->GetCollection("Components", appId);
    comps->Populate();
    return comps;
  }

  void RemoveCatalog() const {
    for (const char* f : {"catalog.db", "catalog.db-wal", "catalog.db-shm"})
      std::filesystem::remove(root() / f);
  }
};

TEST_F(CatalogTest, InstallComponentAddsEveryClassTheLibraryRegisters) {
  const std::string id = AddApplication("DrossgateTest");
  auto catalog = OpenCatalog();
  catalog->InstallComponent("drossgatetest", kSink, "", "");  // by name, any case
  auto comps = Components(id);
  ASSERT_EQ(comps->Count(), 2);
  EXPECT_EQ(comps->Item(0).Name(), "drossgatetest.Decoy");
  EXPECT_EQ(comps->Item(1).Name(), "DrossgateTest.Probe");
  EXPECT_EQ(comps->Item(1).Key(), kProbeClsid);
  catalog->InstallComponent(text::ToLower(id), kSink, "", "");  // by ID: nothing doubles
  EXPECT_EQ(Components(id)->Count(), 2);

  const std::tuple<const char*, std::string, std::string, int32_t> cases[] = {
      {"unknown application", "Nobody", kSink, errors::kNotFound},
      {"missing library", "DrossgateTest", kSink + ".missing", errors::kNotFound},
      {"not a component library", "DrossgateTest", (root() / "catalog.db").string(),
       errors::kClassNotRegistered},
  };
  for (const auto& [name, app, dll, error] : cases)
    EXPECT_EQ(ErrorOf([&] { catalog->InstallComponent(app, dll, "", ""); }), error) << name;
}

// A ProgID, in any case, finds the first application's component; removing an application
// removes its components, and the next one's is found. Every save moves the generation that
// tells the dispatcher its cached components are stale.
TEST_F(CatalogTest, FindComponentTakesTheFirstApplicationAndEverySaveMovesTheGeneration) {
  const uint64_t start = CatalogGeneration();
  const std::string first = AddApplication("First");
  const std::string second = AddApplication("Second");
  for (const std::string& id : {second, first}) {
    auto comps = Components(id);
    CatalogObject& c = comps->Add();
    c.SetValue("Name", "Test.Class");
    c.SetValue("DLL", "/lib/" + id);
    c.SetValue("ConstructorString", "from " + id);
    comps->SaveChanges();
  }
  auto found = FindComponent("TEST.CLASS");
  ASSERT_TRUE(found);
  EXPECT_EQ(found->appName, "First");
  EXPECT_EQ(found->dll, "/lib/" + first);
  EXPECT_EQ(found->constructorString, "from " + first);
  EXPECT_FALSE(FindComponent("Test.Clas"));

  const uint64_t saved = CatalogGeneration();
  EXPECT_NE(saved, start);
  auto apps = OpenCatalog()->GetCollection("Applications");
  apps->Populate();
  apps->Remove(0);
  EXPECT_EQ(apps->SaveChanges(), 1);
  EXPECT_NE(CatalogGeneration(), saved) << "every save moves the generation";
  EXPECT_EQ(Components(first)->Count(), 0);
  EXPECT_EQ(FindComponent("test.class")->appName, "Second");

  // A catalog made anew does not repeat an old generation.
  const uint64_t old = CatalogGeneration();
  RemoveCatalog();
  CreateCatalogFile(root().string());
  EXPECT_NE(CatalogGeneration(), old);
}

TEST_F(CatalogTest, FilesAreReadableByTheOwnerOnly) {
  AddApplication("Secret");
  auto apps = OpenCatalog()->GetCollection("Applications");
  apps->Populate();  // keeps the database open, so its side files exist
  for (const char* name : {"catalog.db", "catalog.db-wal", "catalog.db-shm"}) {
    struct stat st {};
    if (stat((root() / name).c_str(), &st) != 0) continue;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
}

TEST_F(CatalogTest, MissingOrBrokenCatalog) {
  RemoveCatalog();
  EXPECT_EQ(ErrorOf([] { OpenCatalog(); }), errors::kNotFound);
  EXPECT_FALSE(FindComponent("Any.Thing")) << "no catalog, no component";
  // What a missing catalog would say is unknown: nothing may act as if it said nothing.
  EXPECT_EQ(ErrorOf([] { CatalogGeneration(); }), errors::kNotFound);

  testing::WriteFile(root() / "catalog.db", std::string(4096, '\x5a'));
  EXPECT_EQ(ErrorOf([] { OpenCatalog(); }), errors::kCorrupt);
  EXPECT_EQ(ErrorOf([] { FindComponent("Any.Thing"); }), errors::kCorrupt);
  EXPECT_EQ(ErrorOf([] { CatalogGeneration(); }), errors::kCorrupt);

  SetPlatformRoot(root() / "absent");
  EXPECT_FALSE(FindComponent("Any.Thing"));
}

TEST_F(CatalogTest, ASecondApplicationOfTheSameNameIsRefused) {
  // Both read the catalog before either saved, as two installers at once would.
  auto first = OpenCatalog()->GetCollection("Applications");
  auto second = OpenCatalog()->GetCollection("Applications");
  first->Populate();
  second->Populate();
  first->Add().SetValue("Name", "Drossgate");
  second->Add().SetValue("Name", "DROSSGATE");
  first->SaveChanges();
  EXPECT_EQ(ErrorOf([&] { second->SaveChanges(); }), errors::kAlreadyExists);
  second->Populate();
  EXPECT_EQ(second->Count(), 1);
}

TEST_F(CatalogTest, ConcurrentWritersBothSurvive) {
  constexpr int kThreads = 3, kEach = 10;
  auto write = [](int t) {
    auto apps = OpenCatalog()->GetCollection("Applications");
    for (int i = 0; i < kEach; ++i) {
      apps->Populate();
      apps->Add().SetValue("Name", "T" + std::to_string(t) + "-" + std::to_string(i));
      apps->SaveChanges();
    }
  };
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] { failures += ErrorOf([&] { write(t); }) != 0; });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  auto apps = OpenCatalog()->GetCollection("Applications");
  apps->Populate();
  EXPECT_EQ(apps->Count(), kThreads * kEach);
}

}  // namespace
}  // namespace drossgate::platform::complus
