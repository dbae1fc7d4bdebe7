// Store and file errors injected into the steps of the sink's two phases, one fault point at a
// time, in the delivering process: the delivery still commits, and the message ends in one of
// the places its action allows (never hidden where nobody looks), or, for a delete, nowhere.
#include <gtest/gtest.h>

#include <set>

#include <nlohmann/json.hpp>

#include "error.h"
#include "sink_root.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;
namespace admin = platform::store::admin;

const std::string kAlice = kMbxUrl + "alice";

enum class Action { kMove, kDelete, kForward, kSetScl };

struct ActionRule {
  const char* rule;                  // the rule's action text
  std::set<std::string> acceptable;  // outcomes a failing step may leave
  const char* healthy;               // the outcome when nothing fails
};

const std::map<Action, ActionRule> kRules = {
    {Action::kMove, {"inbox/Junk", {"Inbox", "Folder"}, "Folder"}},
    {Action::kDelete, {"[Null]", {"Deleted", "DeleteItem", "Inbox"}, "Deleted"}},
    // A forward's parked message stays with its pickup file until the pickup service runs.
    {Action::kForward,
     {"Desk <spamdesk@example.com>", {"Parked", "Parked+Pickup", "Inbox"}, "Parked+Pickup"}},
    {Action::kSetScl, {"+7", {"Inbox"}, "Inbox"}},
};

struct FaultCase {
  const char* name;
  Action action;
  const char* point;
  // What is left when every hit of the point fails; nullptr: not tried, since that would
  // fail the delivery's own step or repeat another test.
  const char* everyHitFails;
  int firstSweptHit = 1;  // 2 for the store's commit: its first is the delivery's own
};

// Failing hits 1..kSweep one at a time reaches every step of either phase.
constexpr int kSweep = 5;

class SinkFault : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    root_.AddMailbox("alice");
    root_.AddMailbox("desk", "spamdesk@example.com");
    root_.Install(std::string(kRules.at(GetParam().action).rule) + "\t\rX-Spam-Flag: YES\t\r1");
    root_.RegisterInbox("alice");
  }

  // Delivers a new message with the faults armed; returns where its source is now.
  std::string DeliverWith(const std::string& faults) {
    const std::string source = "From: offers@bulk.example.net\r\nSubject: offer " +
                               std::to_string(++count_) + "\r\nX-Spam-Flag: YES\r\n\r\nBuy now, " +
                               faults + ".\r\n";
    const fs::path file = dir_.path() / ("m" + std::to_string(count_) + ".eml");
    WriteFile(file, source);
    ProcessResult r =
        root_.Run({"deliver", "--to", "alice", file.string()}, {{"DROSSGATE_FAULTS", faults}});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    if (r.exitCode != 0) return "NotDelivered";
    const auto line = nlohmann::json::parse(r.out);
    if (!line["now"].is_string()) return Locate(source);
    std::string reported;
    const bool there = platform::SkipOnError([&] { reported = admin::Source(line["now"]); });
    const std::string outcome = Locate(source);
    // A forward whose file cannot be written goes back to the inbox after the delivery has
    // reported its parked place; nothing else moves afterwards.
    EXPECT_EQ(there ? reported : outcome, there ? source : "Inbox") << line["now"];
    return outcome;
  }

  // Every place holding the source, by kind, joined with "+"; "Deleted" when none does.
  // Leaves the mailbox and the pickup folder as they were before the delivery.
  std::string Locate(const std::string& source) {
    std::set<std::string> places;
    for (const auto& item : admin::List(kAlice, true)) {
      if (item.folder || admin::Source(item.url) != source) continue;
      places.insert(PlaceOf(item, kAlice, "Inbox/Junk"));
      admin::Remove(item.url);
    }
    for (const auto& e : fs::directory_iterator(root_.pickup())) {
      const bool whole = e.path().extension() == ".eml" && ReadFile(e.path()) == kEnvelope + source;
      places.insert(whole ? "Pickup" : "PickupLeftover(" + e.path().filename().string() + ")");
      fs::remove(e.path());
    }
    for (const auto& item : admin::List(kAlice + "/Inbox", false))
      if (item.folder) admin::Remove(item.url);
    if (places.empty()) return "Deleted";
    std::string joined;
    for (const std::string& p : places) joined += (joined.empty() ? "" : "+") + p;
    return joined;
  }

  TempDir dir_;
  SinkRoot root_{dir_.path() / "root"};
  int count_ = 0;
};

TEST_P(SinkFault, DeliveryCommitsAndMessageIsKept) {
  const FaultCase& c = GetParam();
  const std::set<std::string>& acceptable = kRules.at(c.action).acceptable;
  if (c.everyHitFails) {
    SCOPED_TRACE(c.point);
    EXPECT_EQ(DeliverWith(c.point), c.everyHitFails);
  }
  for (int n = c.firstSweptHit; n <= kSweep; ++n) {
    const std::string faults = std::string(c.point) + "@" + std::to_string(n);
    SCOPED_TRACE(faults);
    const std::string outcome = DeliverWith(faults);
    EXPECT_TRUE(acceptable.count(outcome)) << outcome;
  }
  // With nothing failing, the action is carried out in full.
  EXPECT_EQ(DeliverWith(""), kRules.at(c.action).healthy);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SinkFault,
    ::testing::Values(
        // Move: resolving the inbox name, creating the folders, the move itself.
        FaultCase{"MoveRecordOpen", Action::kMove, "store.record.open", "Inbox"},
        FaultCase{"MoveFieldsUpdate", Action::kMove, "store.fields.update", "Folder"},
        FaultCase{"MoveRecordMove", Action::kMove, "store.record.move", "Inbox"},
        FaultCase{"MoveGuidCreate", Action::kMove, "guid.create", "Inbox"},
        // Delete: the marker, the parking move, then the committed phase's delete.
        FaultCase{"DeleteFieldsUpdate", Action::kDelete, "store.fields.update", "DeleteItem"},
        FaultCase{"DeleteRecordMove", Action::kDelete, "store.record.move", "Inbox"},
        FaultCase{"DeleteRecordOpen", Action::kDelete, "store.record.open", "Deleted"},
        FaultCase{"DeleteRecordDelete", Action::kDelete, "store.record.delete", "DeleteItem"},
        FaultCase{"DeleteCommit", Action::kDelete, "store.commit", nullptr, 2},
        // Forward: the recipient lookup, parking, then reading and writing the pickup file.
        // The clean-up thread cannot open the parked message: the pickup side makes its file.
        FaultCase{"ForwardRecordOpen", Action::kForward, "store.record.open", "Parked"},
        // Found by this test: the message was parked visible and without its marker.
        FaultCase{"ForwardFieldsUpdate", Action::kForward, "store.fields.update", "Inbox"},
        FaultCase{"ForwardRecordMove", Action::kForward, "store.record.move", "Inbox"},
        FaultCase{"ForwardGuidCreate", Action::kForward, "guid.create", "Inbox"},
        // Found by these tests: a forward that could not be finished stayed hidden for good.
        FaultCase{"ForwardMessageOpen", Action::kForward, "store.message.open", "Inbox"},
        FaultCase{"ForwardRecordDelete", Action::kForward, "store.record.delete", "Parked+Pickup"},
        FaultCase{"ForwardCommit", Action::kForward, "store.commit", nullptr, 2},
        // Every try of the pickup file failing is the Parked end-to-end case; here only
        // single failed tries, which a retry must make up for.
        FaultCase{"ForwardStreamSave", Action::kForward, "store.stream.save", nullptr},
        FaultCase{"PickupDirectoryReadOnly", Action::kForward, "store.stream.create", "Inbox"},
        FaultCase{"PickupDirectoryFull", Action::kForward, "store.stream.write", "Inbox"},
        // Set SCL: the one field update.
        FaultCase{"SetSclFieldsUpdate", Action::kSetScl, "store.fields.update", "Inbox"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drossgate::testing
