#include "platform/termserver/login_throttle.h"

#include <gtest/gtest.h>

namespace vorlane::termserver {
namespace {

using namespace std::chrono_literals;
const LoginThrottle::Clock::time_point kT0{};

TEST(LoginThrottle, FiveFailuresWithinAMinuteStartTheDelay) {
  LoginThrottle throttle;
  for (int i = 0; i < 4; ++i) throttle.RecordFailure("10.0.0.1", kT0 + std::chrono::seconds(i));
  EXPECT_EQ(throttle.DelayFor("10.0.0.1", kT0 + 5s), 0s);
  throttle.RecordFailure("10.0.0.1", kT0 + 5s);
  EXPECT_EQ(throttle.DelayFor("10.0.0.1", kT0 + 6s), 2s);
  throttle.RecordFailure("10.0.0.1", kT0 + 7s);
  EXPECT_EQ(throttle.DelayFor("10.0.0.1", kT0 + 8s), 4s);
  EXPECT_EQ(throttle.DelayFor("10.0.0.2", kT0 + 8s), 0s) << "other addresses are not slowed";
}

TEST(LoginThrottle, DelayStopsAtThirtySeconds) {
  LoginThrottle throttle;
  for (int i = 0; i < 40; ++i) throttle.RecordFailure("a", kT0 + std::chrono::milliseconds(i));
  EXPECT_EQ(throttle.DelayFor("a", kT0 + 1s), 30s);
}

TEST(LoginThrottle, OldFailuresAgeOutAndSuccessForgets) {
  LoginThrottle throttle;
  for (int i = 0; i < 6; ++i) throttle.RecordFailure("a", kT0);
  EXPECT_GT(throttle.DelayFor("a", kT0 + 30s), 0s);
  EXPECT_EQ(throttle.DelayFor("a", kT0 + 61s), 0s);
  for (int i = 0; i < 6; ++i) throttle.RecordFailure("b", kT0);
  throttle.RecordSuccess("b");
  EXPECT_EQ(throttle.DelayFor("b", kT0), 0s);
}

TEST(LoginThrottle, ManyAddressesStayBounded) {
  LoginThrottle throttle;
  for (int i = 0; i < 10000; ++i) throttle.RecordFailure("addr" + std::to_string(i), kT0 + std::chrono::milliseconds(i));
  // The newest are still known, the table did not grow without bound (no crash, no time blow-up).
  for (int i = 0; i < 5; ++i) throttle.RecordFailure("addr9999", kT0 + 10s);
  EXPECT_GT(throttle.DelayFor("addr9999", kT0 + 10s), 0s);
}

}  // namespace
}  // namespace vorlane::termserver
