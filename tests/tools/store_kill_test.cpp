// A delivering process killed at any moment leaves a store that opens, in which every message
// is either there whole (source byte for byte, properties set) or not there at all, and every
// delivery the process had reported stays.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform_fixture.h"
#include "store/store.h"

namespace drossgate::platform::test {
namespace {

const std::string kInbox = "file://./backofficestorage/example.com/MBX/alice/Inbox";

struct Child {
  pid_t pid = -1;
  int out = -1;
};

Child StartDeliver(const std::filesystem::path& root, const std::vector<std::string>& files) {
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe");
  std::vector<std::string> argv = {
      testing::PlatformTool().string(), "--root", root.string(), "deliver", "--to", "alice"};
  argv.insert(argv.end(), files.begin(), files.end());
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    close(fds[0]);
    close(fds[1]);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  return {pid, fds[0]};
}

// Everything the child printed until it died.
std::string Drain(int fd) {
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

TEST(StoreKillTest, KilledDeliveriesAreWholeOrAbsent) {
  testing::TempDir dir;
  MakeRoot(dir.path());
  SetPlatformRoot(dir.path());
  store::admin::CreateStore(dir.path(), "example.com", "First Storage Group");
  store::admin::AddMailbox("alice", {"alice@example.com"});

  // Messages big enough that a write takes a while, each recognisable by its subject.
  constexpr int kMessages = 400;
  std::vector<std::string> files;
  std::map<std::string, std::string> sourceBySubject;
  for (int i = 0; i < kMessages; ++i) {
    std::string subject = "kill " + std::to_string(i);
    std::string source = "From: k@example.org\r\nSubject: " + subject + "\r\n\r\n";
    for (int line = 0; line < 60; ++line)
      source += std::string(70, static_cast<char>('a' + (i + line) % 26)) + "\r\n";
    auto file = dir.path() / ("m" + std::to_string(i) + ".eml");
    testing::WriteFile(file, source);
    files.push_back(file.string());
    sourceBySubject[subject] = source;
  }

  std::random_device rd;
  const unsigned seed = rd();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::vector<std::string> reported;
  int killed = 0;
  for (int round = 0; round < 8; ++round) {
    Child child = StartDeliver(dir.path(), files);
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::uniform_int_distribution<int>(30, 400)(random)));
    kill(child.pid, SIGKILL);
    std::string out = Drain(child.out);
    int status = 0;
    waitpid(child.pid, &status, 0);
    if (WIFSIGNALED(status)) ++killed;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      if (lines.eof()) break;  // a line cut off by the kill
      auto j = nlohmann::json::parse(line);
      if (j["delivered"].is_string()) reported.push_back(j["delivered"]);
    }
  }
  EXPECT_GT(killed, 0);

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open_v2((dir.path() / "store.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
            SQLITE_OK);
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
  sqlite3_finalize(st);
  sqlite3_close(db);

  auto items = store::admin::List(kInbox, false);
  EXPECT_GE(items.size(), reported.size());
  for (const auto& item : items) {
    SCOPED_TRACE(item.url);
    auto rec = store::OpenRecord(item.url, nullptr, store::Mode::kRead);
    auto subject = store::ValueText(rec->GetFields().Get("urn:schemas:httpmail:subject"));
    ASSERT_EQ(sourceBySubject.count(subject), 1u);
    EXPECT_EQ(store::admin::Source(item.url), sourceBySubject[subject]);
    EXPECT_EQ(item.contentClass, "urn:content-classes:message");
    EXPECT_TRUE(rec->GetFields().Has("http://schemas.microsoft.com/mapi/proptag/0x007D001E"));
  }
  for (const std::string& url : reported) {
    SCOPED_TRACE(url);
    EXPECT_NO_THROW(store::OpenRecord(url, nullptr, store::Mode::kRead));
  }
  SetPlatformRoot({});
}

}  // namespace
}  // namespace drossgate::platform::test
