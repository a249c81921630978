#include "platform/termserver/unauthenticated_limit.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace vorlane::termserver {
namespace {

using Verdict = UnauthenticatedLimit::Verdict;

// The highest draw: admits whenever the random early drop can admit at all.
constexpr uint32_t kLuckiest = UnauthenticatedLimit::kDrawRange - 1;

// Counts `count` connections from `address` (spread over other addresses by the caller).
void Fill(UnauthenticatedLimit& limit, const std::string& address, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    ASSERT_EQ(limit.Admit(address, kLuckiest), Verdict::kAdmitted) << address << " #" << i;
  }
}

// `total` connections counted: `fromTarget` of them from "target", the rest from addresses of
// their own (never near the per-address cap).
void Prepare(UnauthenticatedLimit& limit, size_t fromTarget, size_t total) {
  Fill(limit, "target", fromTarget);
  for (size_t i = fromTarget; i < total; ++i) Fill(limit, "10.0.0." + std::to_string(i % 200), 1);
}

TEST(UnauthenticatedLimit, DecidesByAddressTotalAndDraw) {
  constexpr size_t kStart = kUnauthenticatedStart, kFull = kMaxUnauthenticated, kPer = kMaxUnauthenticatedPerAddress;
  struct Case {
    const char* what;
    size_t fromTarget;
    size_t total;
    uint32_t draw;
    Verdict expected;
  };
  const Case cases[] = {
      {"nothing counted", 0, 0, 0, Verdict::kAdmitted},
      {"one below the address cap", kPer - 1, kPer - 1, 0, Verdict::kAdmitted},
      {"address at its cap", kPer, kPer, kLuckiest, Verdict::kAddressFull},
      {"address cap is checked first", kPer, kFull, kLuckiest, Verdict::kAddressFull},
      {"below the start", 0, kStart - 1, 0, Verdict::kAdmitted},
      {"at the start nothing is dropped", 0, kStart, 0, Verdict::kAdmitted},
      {"one above the start, lowest draw", 0, kStart + 1, 0, Verdict::kEarlyDrop},
      {"one above the start, next draw", 0, kStart + 1, 1, Verdict::kAdmitted},
      {"half way, draw below", 0, (kStart + kFull) / 2, (kFull - kStart) / 2 - 1, Verdict::kEarlyDrop},
      {"half way, draw at", 0, (kStart + kFull) / 2, (kFull - kStart) / 2, Verdict::kAdmitted},
      {"one below full, draw below", 0, kFull - 1, kLuckiest - 1, Verdict::kEarlyDrop},
      {"one below full, highest draw", 0, kFull - 1, kLuckiest, Verdict::kAdmitted},
      {"full", 0, kFull, kLuckiest, Verdict::kTotalFull},
      {"full, some from the address", 3, kFull, 0, Verdict::kTotalFull},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UnauthenticatedLimit limit;
    ASSERT_NO_FATAL_FAILURE(Prepare(limit, c.fromTarget, c.total));
    ASSERT_EQ(limit.Total(), c.total);
    EXPECT_EQ(limit.Admit("target", c.draw), c.expected);
    const size_t counted = c.expected == Verdict::kAdmitted ? 1 : 0;
    EXPECT_EQ(limit.Total(), c.total + counted) << "only an admitted connection is counted";
    EXPECT_EQ(limit.CountFor("target"), c.fromTarget + counted);
  }
}

// Over every draw the share refused rises linearly: none with the start counted, all when full.
TEST(UnauthenticatedLimit, EarlyDropShareRisesLinearlyFromStartToFull) {
  for (size_t total = kUnauthenticatedStart; total <= kMaxUnauthenticated; ++total) {
    UnauthenticatedLimit limit;
    ASSERT_NO_FATAL_FAILURE(Prepare(limit, 0, total));
    size_t refused = 0;
    for (uint32_t draw = 0; draw < UnauthenticatedLimit::kDrawRange; ++draw) {
      if (limit.Admit("target", draw) == Verdict::kAdmitted) {
        limit.Release("target");
      } else {
        ++refused;
      }
    }
    EXPECT_EQ(refused, total - kUnauthenticatedStart) << total << " counted";
  }
}

TEST(UnauthenticatedLimit, ReleasedPlacesAreAdmittedAgain) {
  UnauthenticatedLimit limit;
  ASSERT_NO_FATAL_FAILURE(Fill(limit, "a", kMaxUnauthenticatedPerAddress));
  EXPECT_EQ(limit.Admit("a", kLuckiest), Verdict::kAddressFull);
  limit.Release("a");
  EXPECT_EQ(limit.CountFor("a"), kMaxUnauthenticatedPerAddress - 1);
  EXPECT_EQ(limit.Admit("a", kLuckiest), Verdict::kAdmitted);
  for (size_t i = 0; i < kMaxUnauthenticatedPerAddress; ++i) limit.Release("a");
  EXPECT_EQ(limit.Total(), 0u);
  EXPECT_EQ(limit.CountFor("a"), 0u);
  limit.Release("a");  // nothing counted: no underflow
  limit.Release("never seen");
  EXPECT_EQ(limit.Total(), 0u);
  ASSERT_NO_FATAL_FAILURE(Fill(limit, "a", kMaxUnauthenticatedPerAddress));
}

TEST(UnauthenticatedPlace, IsGivenBackExactlyOnce) {
  auto limit = std::make_shared<UnauthenticatedLimit>();
  auto admit = [&](const std::string& address) {
    EXPECT_EQ(limit->Admit(address, 0), Verdict::kAdmitted);
    return UnauthenticatedPlace(limit, address);
  };
  {
    UnauthenticatedPlace a = admit("a");
    UnauthenticatedPlace b = admit("b");
    EXPECT_EQ(limit->Total(), 2u);
    a.GiveBack();  // the login succeeded
    EXPECT_FALSE(a.Held());
    EXPECT_EQ(limit->CountFor("a"), 0u);
    a.GiveBack();
    EXPECT_EQ(limit->Total(), 1u) << "a second give-back counts nothing";

    UnauthenticatedPlace moved(std::move(b));
    EXPECT_TRUE(moved.Held());
    EXPECT_FALSE(b.Held());  // NOLINT(bugprone-use-after-move): moved-from state is part of the contract
    EXPECT_EQ(limit->Total(), 1u) << "a move keeps the one place";

    UnauthenticatedPlace c = admit("c");
    c = std::move(moved);  // c's own place is given back, b's taken over
    EXPECT_EQ(limit->CountFor("c"), 0u);
    EXPECT_EQ(limit->CountFor("b"), 1u);
  }  // the connection ended
  EXPECT_EQ(limit->Total(), 0u);
}

}  // namespace
}  // namespace vorlane::termserver
