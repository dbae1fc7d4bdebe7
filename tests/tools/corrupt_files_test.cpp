// A damaged catalog.db or registry.json: the tool commands that read or write it say so and
// exit 1, never crash. Without the catalog a delivery into a registered inbox waits (exit 75,
// try again later) instead of passing unfiltered; without the registry it still lands.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "sink_root.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;
namespace admin = platform::store::admin;

struct Damage {
  const char* name;
  std::string (*apply)(const std::string& good);
};

const Damage kDamages[] = {
    {"GarbageBytes", [](const std::string&) { return std::string(4096, '\x5a') + "\xff\x00"; }},
    {"Truncated", [](const std::string& good) { return good.substr(0, good.size() / 3); }},
    {"Empty", [](const std::string&) { return std::string(); }},
};

struct FileCase {
  const char* file;
  std::vector<std::vector<std::string>> commands;  // tool commands that read or write the file
  const char* message;                             // what its error names
  // Where a message matching the forward rule ends up: without the catalog nowhere yet (it
  // waits with its sender); without the registry the pickup folder is found in the directory.
  const char* delivery;
};

const FileCase kFiles[] = {
    {"catalog.db",
     {{"catalog", "ls"},
      {"catalog", "install", "--app", "X", "--dll",
       (BinaryDir() / "sink" / "Drossgate.so").string()},
      {"catalog", "uninstall", "--app", "X"}},
     "catalog",
     "Waiting"},
    {"registry.json",
     {{"registry", "get", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\LanmanServer\\Shares"}},
     "registry.json is unreadable",
     "Pickup"},
};

TEST(CorruptFiles, ToolsRefuseWithAMessageAndDeliveriesWaitOrLand) {
  for (const FileCase& f : kFiles) {
    for (const Damage& d : kDamages) {
      SCOPED_TRACE(std::string(f.file) + ", " + d.name);
      TempDir dir;
      SinkRoot root(dir.path() / "root");
      root.AddMailbox("alice");
      root.AddMailbox("desk");
      root.Install("Desk <desk@example.com>\t\rX-Spam-Flag: YES\t\r1");
      root.RegisterInbox("alice");
      // Side files would let SQLite recover what the damage took.
      for (const char* side : {"-wal", "-shm", "-journal"})
        fs::remove(root.path() / (std::string(f.file) + side));
      const fs::path file = root.path() / f.file;
      WriteFile(file, d.apply(ReadFile(file)));

      for (const std::vector<std::string>& command : f.commands) {
        ProcessResult tool = root.Run(command);
        EXPECT_EQ(tool.signal, 0);
        EXPECT_EQ(tool.exitCode, 1) << command[1];
        EXPECT_NE(tool.err.find(f.message), std::string::npos) << tool.err;
      }

      const std::string source =
          "From: a@example.net\r\nSubject: damaged\r\nX-Spam-Flag: YES\r\n\r\nbody\r\n";
      WriteFile(dir.path() / "m.eml", source);
      ProcessResult deliver =
          root.Run({"deliver", "--to", "alice", (dir.path() / "m.eml").string()});
      EXPECT_EQ(deliver.signal, 0);
      if (std::string_view(f.delivery) == "Waiting") {
        EXPECT_EQ(deliver.exitCode, 75) << deliver.err;
        EXPECT_NE(deliver.err.find("component catalog"), std::string::npos) << deliver.err;
        EXPECT_TRUE(admin::List(kMbxUrl + "alice/Inbox", false).size() == 1u);  // the .reg only
        continue;
      }
      ASSERT_EQ(deliver.exitCode, 0) << deliver.err;
      const auto line = nlohmann::json::parse(deliver.out);
      std::string place = "Gone";
      if (line["now"].is_string()) {
        EXPECT_EQ(admin::Source(line["now"]), source);
        place = line["now"] == line["delivered"] ? "Inbox" : "Moved to " + line["now"].dump();
      }
      for (const auto& e : fs::directory_iterator(root.pickup()))
        if (ReadFile(e.path()).find(source) != std::string::npos) place = "Pickup";
      EXPECT_EQ(place, f.delivery);
    }
  }
}

}  // namespace
}  // namespace drossgate::testing
