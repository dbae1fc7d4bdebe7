#pragma once
// A fresh platform root for in-process platform tests: machine.json, an empty registry and an
// empty catalog, made with the platform's own calls, and selected as this process's root.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "complus/catalog.h"
#include "error.h"
#include "fault.h"
#include "system/system.h"
#include "testsupport.h"

namespace drossgate::platform::test {

// Arms the named fault points (DROSSGATE_FAULTS) for its lifetime.
class ArmedFaults {
 public:
  explicit ArmedFaults(const char* points) {
    setenv("DROSSGATE_FAULTS", points, 1);
    ReloadFaults();
  }
  ~ArmedFaults() {
    unsetenv("DROSSGATE_FAULTS");
    ReloadFaults();
  }
  ArmedFaults(const ArmedFaults&) = delete;
  ArmedFaults& operator=(const ArmedFaults&) = delete;
};

inline void MakeRoot(const std::filesystem::path& root) {
  WriteMachineInfo(root, {"MAIL1", "example.com", "administrator", "EXAMPLE", {}, {}});
  testing::WriteFile(root / "registry.json", "{}\n");
  complus::CreateCatalogFile(root.string());
}

class PlatformRootTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeRoot(dir_.path());
    SetPlatformRoot(dir_.path());
  }
  void TearDown() override { SetPlatformRoot({}); }
  const std::filesystem::path& root() const { return dir_.path(); }

 private:
  testing::TempDir dir_;
};

// The platform error f raises; number 0 when it raises none.
inline PlatformError Raised(const std::function<void()>& f) {
  try {
    f();
  } catch (const PlatformError& e) {
    return e;
  }
  return PlatformError(0, "no error");
}
inline int32_t ErrorOf(const std::function<void()>& f) {
  return Raised(f).number();
}
// Expects f to raise the error numbered number, whose text holds part.
inline void ExpectError(const std::function<void()>& f, int32_t number, const std::string& part) {
  PlatformError e = Raised(f);
  EXPECT_EQ(e.number(), number) << e.what();
  EXPECT_NE(std::string(e.what()).find(part), std::string::npos) << e.what();
}

// Points the test component library's log at file for its lifetime, with no mode set.
class TestSinkLog {
 public:
  explicit TestSinkLog(std::filesystem::path file) : file_(std::move(file)) {
    setenv("DROSSGATE_TESTSINK_LOG", file_.c_str(), 1);
    unsetenv("DROSSGATE_TESTSINK_MODE");
  }
  ~TestSinkLog() {
    unsetenv("DROSSGATE_TESTSINK_LOG");
    unsetenv("DROSSGATE_TESTSINK_MODE");
  }
  TestSinkLog(const TestSinkLog&) = delete;
  TestSinkLog& operator=(const TestSinkLog&) = delete;

  // The lines of one event, in the order the library wrote them.
  std::vector<nlohmann::json> Lines(const std::string& event) const {
    std::vector<nlohmann::json> lines;
    std::ifstream in(file_);
    for (std::string line; std::getline(in, line);) {
      if (line.empty()) continue;
      nlohmann::json j = nlohmann::json::parse(line);
      if (j["event"] == event) lines.push_back(std::move(j));
    }
    return lines;
  }
  void Clear() const { std::filesystem::remove(file_); }

 private:
  std::filesystem::path file_;
};

// A new application "DrossgateTest" with the component library installed; its ID.
inline std::string InstallTestSink(const std::string& library) {
  auto catalog = complus::OpenCatalog();
  auto apps = catalog->GetCollection("Applications");
  apps->Populate();
  complus::CatalogObject& app = apps->Add();
  app.SetValue("Name", "DrossgateTest");
  apps->SaveChanges();
  catalog->InstallComponent("DrossgateTest", library, "", "");
  return app.Key();
}

}  // namespace drossgate::platform::test
