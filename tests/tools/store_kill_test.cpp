// A delivering process killed at any moment leaves a store that opens, every message whole or
// absent, every reported delivery there; with the sink, every message where its rule puts it or
// parked, and no pickup file half written; the delivery log says where each message is, and
// nothing of a delivery that was undone.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "sink_root.h"
#include "store/history.h"
#include "store/store.h"

namespace drossgate::platform::test {
namespace {

const std::string kMailbox = "file://./backofficestorage/example.com/MBX/alice";
const std::string kInbox = kMailbox + "/Inbox";

// What a message's X-Route header makes the sink do, and where the message may then be.
struct Route {
  const char* name;
  const char* action;  // the rule's action; nullptr: no rule matches
  const char* place;   // "Inbox", "Folder", "DeleteItem" or "Parked"
};

const Route kRoutes[] = {
    {"stay", nullptr, "Inbox"},
    {"move", "Routed", "Folder"},
    {"scl", "+7", "Inbox"},
    {"delete", "[Null]", "DeleteItem"},
    {"forward", "Desk <desk@example.com>", "Parked"},
};

struct KillCase {
  const char* name;
  bool sink;  // the sink registered on the inbox with one rule per route
};

class StoreKillTest : public ::testing::TestWithParam<KillCase> {};

// The item a URL names, as the delivery log numbers it: its permanent URL's hex id.
int64_t ItemId(const std::string& url) {
  for (const auto& [name, v] : store::admin::Properties(url))
    if (name == "http://schemas.microsoft.com/exchange/permanenturl") {
      const std::string permanent = store::ValueText(v);
      return std::stoll(permanent.substr(permanent.rfind('/') + 1), nullptr, 16);
    }
  return 0;
}

// Where the log's events leave each item: a folder's path, "parked delete|forward" or "gone".
std::map<int64_t, std::string> LoggedPlaces() {
  namespace history = store::history;
  std::map<int64_t, std::string> places;
  for (const history::Event& e : history::Read({})) {
    std::string& place = places[e.item];
    if (e.event == history::kDelivered) {
      EXPECT_EQ(place, "") << "delivered twice: item " << e.item;
      place = "Inbox";
    } else if (e.event == history::kMoved || e.event == history::kRestored ||
               e.event == history::kReturned) {
      place = e.detail;
    } else if (e.event == history::kParked) {
      place = "parked " + e.detail;
    } else if (e.event == history::kDeleted || e.event == history::kForwarded) {
      place = "gone";
    }
  }
  return places;
}

// Each message of the mailbox by item, where it is as the log names places.
std::map<int64_t, std::string> StorePlaces() {
  std::map<int64_t, std::string> places;
  for (const auto& item : store::admin::List(kMailbox, true)) {
    if (item.folder || item.contentClass != "urn:content-classes:message") continue;
    const std::string place = testing::PlaceOf(item, kMailbox, "Routed");
    const std::string path = item.url.substr(kMailbox.size() + 1);
    places[ItemId(item.url)] = place == "DeleteItem" ? "parked delete"
                               : place == "Parked"   ? "parked forward"
                                                     : path.substr(0, path.rfind('/'));
  }
  return places;
}

void ExpectLogSaysWhereEachMessageIs() {
  const auto logged = LoggedPlaces();
  const auto inStore = StorePlaces();
  for (const auto& [item, place] : inStore) {
    const auto it = logged.find(item);
    EXPECT_EQ(it == logged.end() ? "no history" : it->second, place) << "item " << item;
  }
  for (const auto& [item, place] : logged) {
    if (!inStore.count(item)) {
      EXPECT_EQ(place, "gone") << "item " << item;
    }
  }
}

TEST_P(StoreKillTest, KilledDeliveriesAreWholeOrAbsent) {
  const KillCase& c = GetParam();
  testing::TempDir dir;
  testing::SinkRoot root(dir.path() / "root");
  root.AddMailbox("alice");
  root.AddMailbox("desk");
  if (c.sink) {
    root.Install(testing::RulesByHeader(kRoutes, "X-Route"));
    root.RegisterInbox("alice");
  }

  // Messages big enough that a write takes a while, each recognisable by its subject.
  constexpr int kMessages = 400;
  std::vector<std::string> files;
  std::map<std::string, std::string> sourceBySubject;
  std::map<std::string, const Route*> routeBySubject;
  for (int i = 0; i < kMessages; ++i) {
    const Route& route = kRoutes[i % std::size(kRoutes)];
    std::string subject = "kill " + std::to_string(i);
    std::string source = "From: k@example.org\r\nSubject: " + subject + "\r\nMessage-ID: <kill-" +
                         std::to_string(i) + "@example.org>\r\nX-Route: " + route.name + "\r\n\r\n";
    for (int line = 0; line < 60; ++line)
      source += std::string(70, static_cast<char>('a' + (i + line) % 26)) + "\r\n";
    auto file = dir.path() / ("m" + std::to_string(i) + ".eml");
    testing::WriteFile(file, source);
    files.push_back(file.string());
    sourceBySubject[subject] = source;
    routeBySubject[subject] = c.sink ? &route : &kRoutes[0];
  }

  std::random_device rd;
  const unsigned seed = rd();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::vector<std::string> argv = {
      testing::PlatformTool().string(), "--root", root.path().string(), "deliver", "--to", "alice"};
  argv.insert(argv.end(), files.begin(), files.end());
  std::vector<std::string> reported;
  int killed = 0;
  for (int round = 0; round < 8; ++round) {
    // Two processes at once, each killed at a moment of its own.
    testing::Child children[] = {testing::StartProcess(argv), testing::StartProcess(argv)};
    for (const testing::Child& child : children) {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(std::uniform_int_distribution<int>(30, 400)(random)));
      int status = 0;
      for (const auto& j : testing::JsonLines(testing::StopProcess(child, SIGKILL, &status)))
        if (j["now"].is_string()) reported.push_back(j["now"]);
      if (WIFSIGNALED(status)) ++killed;
    }
  }
  EXPECT_GT(killed, 0);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((root.path() / "store.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
  sqlite3_finalize(st);
  sqlite3_close(db);

  // The sink's work in the delivery's transaction is all there or not at all: every message
  // is where its rule puts it, or parked for the committed phase the kill cut off.
  size_t messages = 0;
  for (const auto& item : store::admin::List(kMailbox, true)) {
    if (item.folder || item.contentClass == "urn:content-class:storeeventreg") continue;
    SCOPED_TRACE(item.url);
    ++messages;
    auto rec = store::OpenRecord(item.url, nullptr, store::Mode::kRead);
    auto subject = store::ValueText(rec->GetFields().Get("urn:schemas:httpmail:subject"));
    ASSERT_EQ(sourceBySubject.count(subject), 1u);
    EXPECT_EQ(store::admin::Source(item.url), sourceBySubject[subject]);
    EXPECT_EQ(item.contentClass, "urn:content-classes:message");
    EXPECT_TRUE(rec->GetFields().Has("http://schemas.microsoft.com/mapi/proptag/0x007D001E"));
    const Route& route = *routeBySubject[subject];
    EXPECT_EQ(testing::PlaceOf(item, kMailbox, "Routed"), route.place);
    if (route.action && std::string(route.action) == "+7") {
      EXPECT_EQ(store::ValueText(
                    rec->GetFields().Get("http://schemas.microsoft.com/mapi/proptag/0x40760003")),
                "7");
    }
  }
  EXPECT_GE(messages, reported.size());
  // A forwarded message's file is complete, or not there under a name the pickup reader takes.
  for (const auto& e : std::filesystem::directory_iterator(root.pickup())) {
    if (e.path().extension() != ".eml") continue;
    SCOPED_TRACE(e.path().string());
    const std::string content = testing::ReadFile(e.path());
    const size_t subject = content.find("Subject: ");
    ASSERT_NE(subject, std::string::npos);
    const std::string name = content.substr(subject + 9, content.find('\r', subject) - subject - 9);
    ASSERT_EQ(sourceBySubject.count(name), 1u);
    EXPECT_EQ(content, "x-receiver: Desk <desk@example.com>\r\nx-sender: k@example.org\r\n" +
                           sourceBySubject[name]);
  }
  for (const std::string& url : reported) {
    SCOPED_TRACE(url);
    EXPECT_NO_THROW(store::OpenRecord(url, nullptr, store::Mode::kRead));
  }

  ExpectLogSaysWhereEachMessageIs();
  // What a kill left parked is restored by the administrator, and the log says so.
  size_t parked = 0;
  for (const auto& [item, place] : StorePlaces()) parked += place.starts_with("parked");
  root.Tool({"parked", "restore", "--all"});
  ExpectLogSaysWhereEachMessageIs();
  size_t restored = 0;
  std::set<int64_t> seen;
  const auto events = store::history::Read({});
  for (auto e = events.rbegin(); e != events.rend(); ++e)
    if (seen.insert(e->item).second) restored += e->event == store::history::kRestored;
  EXPECT_EQ(restored, parked);
  for (const auto& e : events) {
    if (e.event == store::history::kScl) {
      EXPECT_EQ(e.detail, "7");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreKillTest,
                         ::testing::Values(KillCase{"StoreAlone", false},
                                           KillCase{"SinkWithRules", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace drossgate::platform::test
