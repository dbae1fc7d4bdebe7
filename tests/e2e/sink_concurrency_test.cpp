// Four threads deliver at once into four mailboxes filtered by the sink; every message must
// end in the folder its own X-Route header names, whatever the other threads were doing.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "sink_root.h"

namespace drossgate::testing {
namespace {

namespace admin = platform::store::admin;

constexpr int kThreads = 4;
constexpr int kPerThread = 1000;
const char* const kRoutes[] = {"A", "B", "C", "D"};

TEST(SinkConcurrency, EveryMessageEndsWhereItsHeadersSay) {
  TempDir dir;
  SinkRoot root(dir.path() / "root");
  root.Install(
      "RouteA\tRouteB\tRouteC\tRouteD\t\rX-Route: A\tX-Route: B\tX-Route: C\tX-Route: D\t\r1");
  for (int t = 0; t < kThreads; ++t) {
    root.AddMailbox("user" + std::to_string(t));
    root.RegisterInbox("user" + std::to_string(t));
  }

  std::vector<std::thread> threads;
  std::vector<std::string> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &failures] {
      const std::string alias = "user" + std::to_string(t);
      for (int i = 0; i < kPerThread; ++i) {
        const std::string route = kRoutes[(i * 7 + t) % 4];
        const std::string source = "From: s" + std::to_string(i) +
                                   "@example.net\r\nX-Route: " + route + "\r\nSubject: m" +
                                   std::to_string(i) + "\r\n\r\nbody " + alias + " " +
                                   std::to_string(i) + " " + route + "\r\n";
        try {
          admin::DeliveryResult r = admin::Deliver(alias, source);
          const std::string folder = "/" + alias + "/Route" + route + "/";
          if (!r.nowUrl || r.nowUrl->find(folder) == std::string::npos) {
            failures[t] = "message " + std::to_string(i) + " ended at " + r.nowUrl.value_or("?");
            return;
          }
        } catch (const std::exception& e) {
          failures[t] = e.what();
          return;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (const auto& f : failures) EXPECT_EQ(f, "");

  // Each folder holds exactly the messages routed to it, and each source names that route.
  for (int t = 0; t < kThreads; ++t) {
    const std::string mbx = kMbxUrl + "user" + std::to_string(t);
    int total = 0;
    for (const char* route : kRoutes) {
      for (const auto& item : admin::List(mbx + "/Route" + route, false)) {
        ++total;
        const std::string source = admin::Source(item.url);
        EXPECT_NE(source.find(std::string("X-Route: ") + route + "\r\n"), std::string::npos)
            << item.url;
      }
    }
    EXPECT_EQ(total, kPerThread);
  }
}

}  // namespace
}  // namespace drossgate::testing
