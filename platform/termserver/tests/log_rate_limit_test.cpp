#include "platform/termserver/log_rate_limit.h"

#include <gtest/gtest.h>

namespace vorlane::termserver {
namespace {

using namespace std::chrono_literals;

TEST(LogRateLimit, LetsOneLineThroughPerIntervalAndCountsTheRest) {
  const LogRateLimit::Clock::time_point t0{};
  LogRateLimit limit(1s);
  struct Step {
    std::chrono::milliseconds at;
    std::optional<size_t> expected;
  };
  const Step steps[] = {
      {0ms, 0}, {1ms, std::nullopt}, {500ms, std::nullopt}, {999ms, std::nullopt},
      {1000ms, 3}, {1500ms, std::nullopt}, {5000ms, 1}, {5001ms, std::nullopt}, {9000ms, 1}, {20000ms, 0},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(limit.Allow(t0 + step.at), step.expected) << "at " << step.at.count() << " ms";
  }
}

}  // namespace
}  // namespace vorlane::termserver
