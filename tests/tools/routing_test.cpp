// Two servers of one organisation: platform roots MAIL1 and MAIL2 reading one private slapd,
// each with its own store, sink and services. Mail for a mailbox homed on the other server goes
// to that server's LMTP service and is filtered there by that server's sink.
#include <signal.h>

#include <chrono>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "sink_root.h"
#include "slapd_server.h"

namespace drossgate::testing {
namespace {

namespace fs = std::filesystem;

const std::string kSpam =
    "From: s@example.org\r\nSubject: offer\r\nX-Spam-Flag: YES\r\n\r\nbuy\r\n";

// Points a root at the directory server instead of its own directory file.
void UseServer(const fs::path& root, const SlapdServer& server, const nlohmann::json& more) {
  fs::remove(root / "directory.ldif");
  WriteFile(root / "directory.password", server.options().rootPassword + "\n");
  nlohmann::json m = nlohmann::json::parse(ReadFile(root / "machine.json"));
  m["directory"] = {{"ldap", server.Url()},
                    {"gc", server.Url()},
                    {"bind_dn", server.options().rootDn},
                    {"password_file", "directory.password"}};
  m.update(more);
  WriteFile(root / "machine.json", m.dump(2));
}

TEST(TwoServers, AForwardReachesTheHomeServerOfItsReceiverAndIsFilteredThere) {
  TempDir dir;
  SlapdServer server;
  if (!server.Available()) GTEST_SKIP() << server.Why();
  SinkRoot one(dir.path() / "one", "MAIL1"), two(dir.path() / "two", "MAIL2");
  // MAIL2's own entries (its server objects and its system mailbox, by which its setup program
  // finds its mailboxes) join MAIL1's directory.
  ASSERT_TRUE(server.Load(one.path() / "directory.ldif")) << server.Why();
  ASSERT_TRUE(server.Load(two.path() / "directory.ldif", true)) << server.Why();
  const int port = FreePort();
  UseServer(one.path(), server,
            {{"servers", {{"MAIL2", "lmtp://127.0.0.1:" + std::to_string(port)}}},
             {"pickup", {{"remake_after", 0}}}});
  UseServer(two.path(), server, nlohmann::json::object());
  one.AddMailbox("ada");
  two.AddMailbox("gina");
  one.Install("Gina <gina@example.com>\t\rX-Spam-Flag: YES\t\r1");
  one.RegisterInbox("ada");
  two.Install("Junk\t\rX-Spam-Flag: YES\t\r1");
  two.RegisterInbox("gina");

  // Each server's setup program lists its own server's mailboxes only.
  for (const auto& [root, own, other] : {std::tuple{&one, "ada", "gina"}, {&two, "gina", "ada"}}) {
    const ProcessResult list = RunProcess(
        {(BinaryDir() / "setup" / "DrossgateSetup").string(), "--list", "--json"},
        {{"DROSSGATE_PLATFORM", root->path().string()}, {"QT_QPA_PLATFORM", "offscreen"}});
    EXPECT_NE(list.out.find(std::string("\"") + own + " / "), std::string::npos) << list.out;
    EXPECT_EQ(list.out.find(std::string("\"") + other + " / "), std::string::npos) << list.out;
  }

  const Child lmtp = StartProcess({PlatformTool().string(), "--root", two.path().string(), "lmtp",
                                   "--listen", "127.0.0.1:" + std::to_string(port)});
  for (int i = 0; i < 100 && !Accepts(port); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  one.Deliver("ada", kSpam);
  const std::string said = one.Tool({"smtp", "--once"});
  int status = 0;
  StopProcess(lmtp, SIGTERM, &status);

  const nlohmann::json junk = two.Json({"ls", kMbxUrl + "gina/Junk", "--json"});
  ASSERT_EQ(junk.size(), 1u) << said;
  EXPECT_NE(two.Tool({"cat", junk[0]["url"]}).find("Subject: offer"), std::string::npos);
  EXPECT_TRUE(one.PickupFiles().empty()) << said;
}

// With the directory on a server, an IMAP login is a bind as the entry the user names, and it
// opens that entry's own mailbox only.
TEST(DirectoryLogins, AreABindAsTheUsersEntry) {
  TempDir dir;
  SlapdServer server;
  if (!server.Available()) GTEST_SKIP() << server.Why();
  SinkRoot root(dir.path() / "root", "MAIL1");
  ASSERT_TRUE(server.Load(root.path() / "directory.ldif")) << server.Why();
  UseServer(root.path(), server, nlohmann::json::object());
  root.AddMailbox("ada");
  root.AddMailbox("bob");
  const SlapdServer::Options& o = server.options();
  const ProcessResult set =
      RunProcess({"/usr/bin/ldappasswd", "-x", "-H", server.Url(), "-D", o.rootDn, "-w",
                  o.rootPassword, "-s", "ada's secret", "CN=ada,CN=Users," + o.suffix});
  ASSERT_EQ(set.exitCode, 0) << set.err;

  struct Case {
    const char* name;
    std::string user, password;
    bool in;
  } cases[] = {
      {"alias and password", "ada", "ada's secret", true},
      {"address and password", "ada@example.com", "ada's secret", true},
      {"wrong password", "ada", "guess", false},
      {"another user with ada's password", "bob", "ada's secret", false},
      {"empty password, never sent as an anonymous bind", "ada", "", false},
  };
  for (const Case& c : cases) {
    const ProcessResult r = RunProcess(
        {PlatformTool().string(), "--root", root.path().string(), "imap", "--stdio"}, {},
        "a LOGIN \"" + c.user + "\" \"" + c.password + "\"\r\nb SELECT INBOX\r\nc LOGOUT\r\n");
    EXPECT_EQ(r.out.find("a OK") != std::string::npos, c.in) << c.name << "\n" << r.out;
    EXPECT_EQ(r.out.find("b OK [READ-WRITE]") != std::string::npos, c.in) << c.name;
  }
}

}  // namespace
}  // namespace drossgate::testing
