#pragma once
// A fresh platform root for in-process platform tests: machine.json, an empty registry and an
// empty catalog, made with the platform's own calls, and selected as this process's root.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
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

// The number of the platform error f raises; 0 when it raises none.
inline int32_t ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const PlatformError& e) {
    return e.number();
  }
  return 0;
}

// The JSON lines the test component library wrote.
inline std::vector<nlohmann::json> ReadLog(const std::filesystem::path& file) {
  std::vector<nlohmann::json> lines;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

}  // namespace drossgate::platform::test
