#include "agent/sessions/session_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>

namespace vorlane::agent {
namespace {

constexpr std::time_t kStart = 1700000000;

TEST(SessionTable, RequestAtExactlyTheTimeoutIsStillValid) {
  SessionTable table;
  table.Add("S", kStart);
  EXPECT_EQ(table.CheckAndRenew("S", kStart + 300), SessionState::kValid);
  // The request renewed it: the next 300 seconds count from there.
  EXPECT_EQ(table.Lookup("S"), kStart + 300);
  EXPECT_EQ(table.CheckAndRenew("S", kStart + 600), SessionState::kValid);
}

TEST(SessionTable, RequestOneSecondLateTimesOutAndForgetsTheSession) {
  SessionTable table;
  table.Add("S", kStart);
  EXPECT_EQ(table.CheckAndRenew("S", kStart + 301), SessionState::kTimedOut);
  EXPECT_FALSE(table.Lookup("S"));
  EXPECT_EQ(table.CheckAndRenew("S", kStart + 302), SessionState::kUnknown);
}

TEST(SessionTable, IdentifiersMatchExactly) {
  SessionTable table;
  table.Add("6B29FC40-CA47-1067-B31D-00DD010662DA", kStart);
  EXPECT_EQ(table.CheckAndRenew("6b29fc40-ca47-1067-b31d-00dd010662da", kStart), SessionState::kUnknown);
  EXPECT_EQ(table.CheckAndRenew("", kStart), SessionState::kUnknown);
  EXPECT_EQ(table.CheckAndRenew("6B29FC40-CA47-1067-B31D-00DD010662DA", kStart), SessionState::kValid);
}

TEST(SessionTable, RemoveEndsASessionAndToleratesUnknownIds) {
  SessionTable table;
  table.Add("A", kStart);
  EXPECT_TRUE(table.Remove("A"));
  EXPECT_FALSE(table.Remove("A"));
  EXPECT_FALSE(table.Remove("never issued"));
  EXPECT_EQ(table.CheckAndRenew("A", kStart), SessionState::kUnknown);
}

TEST(SessionTable, SweepRemovesOnlySessionsIdleForMoreThan600Seconds) {
  SessionTable table;
  const std::time_t now = kStart + 10000;
  table.Add("old601", now - 601);
  table.Add("edge600", now - 600);
  table.Add("young599", now - 599);
  table.Add("fresh", now);
  std::vector<std::string> removed = table.Sweep(now);
  EXPECT_EQ(removed, std::vector<std::string>{"old601"});
  EXPECT_EQ(table.Size(), 3u);
  EXPECT_TRUE(table.Lookup("edge600"));
  EXPECT_TRUE(table.Lookup("young599"));
}

TEST(SessionTable, ClockIsInjectable) {
  std::time_t fake = kStart;
  SessionTable table([&] { return fake; });
  EXPECT_EQ(table.Now(), kStart);
  fake += 301;
  EXPECT_EQ(table.Now(), kStart + 301);
}

TEST(SessionId, TwoLoginsGetTwoWellFormedIdentifiersBothValid) {
  const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
  auto first = NewSessionId();
  auto second = NewSessionId();
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_TRUE(std::regex_match(first.value(), shape)) << first.value();
  EXPECT_TRUE(std::regex_match(second.value(), shape)) << second.value();
  EXPECT_NE(first.value(), second.value());
  SessionTable table;
  table.Add(first.value(), kStart);
  table.Add(second.value(), kStart);
  EXPECT_EQ(table.CheckAndRenew(first.value(), kStart + 1), SessionState::kValid);
  EXPECT_EQ(table.CheckAndRenew(second.value(), kStart + 1), SessionState::kValid);
}

TEST(SessionTable, ConcurrentRequestsAndSweepsStayConsistent) {
  SessionTable table;
  constexpr int kIds = 200;
  constexpr int kRounds = 50;
  std::atomic<bool> done{false};
  // The sweeper sees every session as ancient and removes whatever it finds.
  std::thread sweeper([&] {
    while (!done.load()) table.Sweep(kStart + 100000);
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([&, w] {
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kIds; ++i) {
          std::string id = std::to_string(w) + ":" + std::to_string(i);
          table.Add(id, kStart);
          SessionState state = table.CheckAndRenew(id, kStart + 1);
          EXPECT_NE(state, SessionState::kTimedOut);
          table.Remove(id);
        }
      }
    });
  }
  for (auto& worker : workers) worker.join();
  done = true;
  sweeper.join();
  EXPECT_EQ(table.Size(), 0u);
}

}  // namespace
}  // namespace vorlane::agent
