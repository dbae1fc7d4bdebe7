#pragma once
// A platform root with the real sink installed, for whole-system tests: made and configured by
// drossgate-platform as an administrator would, then inspected through the tool or in-process
// through the store's admin calls. Any failing tool run fails the test that asked for it.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "store/store.h"
#include "system/system.h"
#include "testsupport.h"

namespace drossgate::testing {

inline const std::string kMbxUrl = "file://./backofficestorage/example.com/MBX/";
// The envelope of a forward to the spam desk of a message from offers@bulk.example.net.
inline const std::string kEnvelope =
    "x-receiver: Desk <spamdesk@example.com>\r\nx-sender: offers@bulk.example.net\r\n";

// Rules as a constructor string: one for each row with an action, matching "header: name".
template <typename Row, size_t N>
std::string RulesByHeader(const Row (&rows)[N], const std::string& header) {
  std::string actions, conditions;
  for (const Row& r : rows) {
    if (!r.action) continue;
    actions += std::string(r.action) + "\t";
    conditions += header + ": " + r.name + "\t";
  }
  return actions + "\r" + conditions + "\r1";
}

// The JSON objects a tool wrote, one a line; a last line cut short (by a kill) is left out.
inline std::vector<nlohmann::json> JsonLines(const std::string& out) {
  std::vector<nlohmann::json> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line) && !in.eof();)
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

// Where a message of mailboxUrl lies: "Inbox", "Folder" (folderPath below the mailbox, where the
// rule moves it), "DeleteItem" or "Parked" (the sink's parked delete and forward; a parked
// forward is hidden unless its parking could not be saved), else its URL; "Hidden " before a
// place where it should show.
inline std::string PlaceOf(const platform::store::admin::ItemInfo& item,
                           const std::string& mailboxUrl, const std::string& folderPath) {
  const std::string parent = item.url.substr(0, item.url.rfind('/'));
  std::string place = item.url;
  if (parent == mailboxUrl + "/Inbox") place = "Inbox";
  if (parent == mailboxUrl + "/" + folderPath) place = "Folder";
  if (parent == mailboxUrl && item.name == "~~deleteit.eml") place = "DeleteItem";
  if (parent == mailboxUrl && item.name.ends_with("~~redirect.eml"))
    return item.hidden ? "Parked" : "VisibleParked";
  return item.hidden ? "Hidden " + place : place;
}

class SinkRoot {
 public:
  explicit SinkRoot(const std::filesystem::path& root, const std::string& computer = "MAIL1")
      : root_(root) {
    Tool({"init", "--domain", "example.com", "--computer", computer});
    platform::SetPlatformRoot(root_);
  }
  ~SinkRoot() { platform::SetPlatformRoot({}); }

  ProcessResult Run(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& env = {}) const {
    return RunPlatformTool(root_, args, env);
  }
  // The tool's output.
  std::string Tool(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {}) const {
    ProcessResult r = Run(args, env);
    EXPECT_EQ(r.exitCode, 0) << "drossgate-platform " << args[0] << ": " << r.err;
    return r.out;
  }
  nlohmann::json Json(const std::vector<std::string>& args) const {
    return nlohmann::json::parse(Tool(args));
  }

  void AddMailbox(const std::string& alias, const std::string& address = "",
                  const std::string& inbox = "") const {
    std::vector<std::string> args{"mailbox", "add", alias, "--address",
                                  address.empty() ? alias + "@example.com" : address};
    if (!inbox.empty()) args.insert(args.end(), {"--inbox-name", inbox});
    Tool(args);
  }

  // Installs the sink library with the given rules as its constructor string.
  void Install(const std::string& constructorString) const {
    const std::filesystem::path file = root_ / "constructor.txt";
    WriteFile(file, constructorString);
    Tool({"catalog", "install", "--app", "Drossgate", "--dll",
          (BinaryDir() / "sink" / "Drossgate.so").string(), "--constructor-string-file",
          file.string()});
  }

  // A registration of the sink for deliveries into folderUrl, as the setup tool writes it.
  void Register(const std::string& folderUrl, const std::string& scope) const {
    const std::string ev = "http://schemas.microsoft.com/exchange/events/";
    Tool({"set", folderUrl + "/Drossgate.reg", "--create", "item", "--prop",
          "DAV:contentclass=urn:content-class:storeeventreg", "--prop",
          ev + "EventMethod=onsyncsave", "--prop", ev + "SinkClass=Drossgate.DrossgateCls",
          "--prop", ev + "MatchScope=" + scope, "--prop",
          ev + "criteria= WHERE \"DAV:ishidden\" = FALSE", "--prop", ev + "priority=65535",
          "--prop", "DAV:ishidden:bool=true"});
  }

  void RegisterInbox(const std::string& alias, const std::string& inbox = "Inbox") const {
    Register(kMbxUrl + alias + "/" + inbox, "SHALLOW");
  }

  // The store-wide registration in the system mailbox, covering every mailbox.
  void RegisterStoreWide() const {
    for (const auto& m : platform::store::admin::ListMailboxes())
      if (m.isSystem) Register(m.url + "/StoreEvents/GlobalEvents", "ANY");
  }

  // Delivers source to a mailbox with deliver; returns its line of output.
  nlohmann::json Deliver(const std::string& mailbox, const std::string& source,
                         std::optional<int> scl = std::nullopt,
                         const std::map<std::string, std::string>& env = {}) {
    const std::filesystem::path file = root_ / ("message-" + std::to_string(++count_) + ".eml");
    WriteFile(file, source);
    std::vector<std::string> args{"deliver", "--to", mailbox};
    if (scl) args.insert(args.end(), {"--scl", std::to_string(*scl)});
    args.push_back(file.string());
    return nlohmann::json::parse(Tool(args, env));
  }

  // The .eml files in the pickup folder.
  std::vector<std::filesystem::path> PickupFiles() const {
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(pickup()))
      if (e.is_regular_file() && e.path().extension() == ".eml") files.push_back(e.path());
    return files;
  }

  const std::filesystem::path& path() const { return root_; }
  std::filesystem::path pickup() const { return root_ / "pickup"; }

 private:
  std::filesystem::path root_;
  int count_ = 0;
};

}  // namespace drossgate::testing
