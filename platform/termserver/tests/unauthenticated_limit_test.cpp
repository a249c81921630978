#include "platform/termserver/unauthenticated_limit.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vorlane::termserver {
namespace {

using Outcome = UnauthenticatedLimit::Outcome;
using Clock = UnauthenticatedLimit::Clock;
using namespace std::chrono_literals;

struct Connection final : UnauthenticatedLimit::Evictable {
  void Evict() override { ++evictions; }
  int evictions = 0;
};

// Small bounds, and every admitted connection kept with its place, in order of admission.
class UnauthenticatedLimitTest : public ::testing::Test {
 protected:
  struct Admitted {
    std::string address;
    UnauthenticatedPlace place;
    std::shared_ptr<Connection> connection = std::make_shared<Connection>();
  };

  Outcome Arrive(const std::string& address) {
    UnauthenticatedLimit::Arrival arrival = limit_->Arrive(UniqueFd(), address, t0_);
    if (arrival.admitted) Keep(std::move(*arrival.admitted));
    lastEvicted_ = arrival.evictedAddress;
    return arrival.outcome;
  }
  void Keep(UnauthenticatedLimit::Admission admission) {
    admitted_.push_back(Admitted{admission.address, std::move(admission.place)});
    limit_->Bind(admitted_.back().place, admitted_.back().connection);
  }
  std::vector<std::string> TakeAdmitted(Clock::time_point now, size_t* expired = nullptr) {
    size_t ended = 0;
    std::vector<std::string> addresses;
    for (auto& admission : limit_->TakeAdmitted(now, ended)) {
      addresses.push_back(admission.address);
      Keep(std::move(admission));
    }
    if (expired) *expired = ended;
    return addresses;
  }
  bool Ready() { return limit_->Ready().IsSet(); }
  std::map<std::string, size_t> Evictions() const {
    std::map<std::string, size_t> evictions;
    for (const Admitted& a : admitted_) evictions[a.address] += static_cast<size_t>(a.connection->evictions);
    return evictions;
  }

  const Clock::time_point t0_ = Clock::now();
  std::shared_ptr<UnauthenticatedLimit> limit_ = std::make_shared<UnauthenticatedLimit>(
      UnauthenticatedLimit::Bounds{.perAddress = 2, .total = 4, .heldPerAddress = 3, .heldTotal = 4, .heldFor = 60s});
  std::vector<Admitted> admitted_;
  std::string lastEvicted_;
};

TEST_F(UnauthenticatedLimitTest, ABurstFromOneAddressWaitsForItsPlacesUpToItsBound) {
  for (Outcome expected : {Outcome::kAdmitted, Outcome::kAdmitted, Outcome::kHeld, Outcome::kHeld, Outcome::kHeld,
                           Outcome::kAddressQueueFull}) {
    EXPECT_EQ(Arrive("a"), expected);
  }
  EXPECT_EQ(Arrive("b"), Outcome::kAdmitted) << "another address is not held behind them";
  EXPECT_EQ(limit_->HeldCount(), 3u);
  EXPECT_FALSE(Ready());
  EXPECT_TRUE(TakeAdmitted(t0_).empty()) << "a has all its places";

  // A login gives one place back: one held connection of the address takes it.
  admitted_[0].place.GiveBack();
  EXPECT_TRUE(Ready());
  EXPECT_EQ(TakeAdmitted(t0_), (std::vector<std::string>{"a"}));
  EXPECT_EQ(limit_->CountFor("a"), 2u);
  admitted_[0].place.GiveBack();  // given back once only
  EXPECT_EQ(limit_->CountFor("a"), 2u);

  // The other two wait out their time and are closed.
  size_t expired = 0;
  EXPECT_TRUE(TakeAdmitted(t0_ + 59s, &expired).empty());
  EXPECT_EQ(expired, 0u);
  EXPECT_EQ(limit_->NextExpiry(), t0_ + 60s);
  EXPECT_TRUE(TakeAdmitted(t0_ + 60s, &expired).empty());
  EXPECT_EQ(expired, 2u);
  EXPECT_EQ(limit_->HeldCount(), 0u);
  EXPECT_FALSE(limit_->NextExpiry());
  EXPECT_EQ(Evictions(), (std::map<std::string, size_t>{{"a", 0}, {"b", 0}}));
}

TEST_F(UnauthenticatedLimitTest, WhenAllPlacesAreTakenAnAddressWithFewerTakesOneOfTheMost) {
  for (const char* address : {"x", "x", "y", "y"}) ASSERT_EQ(Arrive(address), Outcome::kAdmitted);
  // A new address takes x's longest-waiting place (x and y hold as many, x's is older).
  EXPECT_EQ(Arrive("new"), Outcome::kAdmittedInPlaceOfAnother);
  EXPECT_EQ(lastEvicted_, "x");
  EXPECT_EQ(admitted_[0].connection->evictions, 1);
  // Now y holds the most: the next new address takes one of y's.
  EXPECT_EQ(Arrive("other"), Outcome::kAdmittedInPlaceOfAnother);
  EXPECT_EQ(lastEvicted_, "y");
  EXPECT_EQ(admitted_[2].connection->evictions, 1);
  // Everyone holds one: nobody holds more than x, so x waits.
  EXPECT_EQ(Arrive("x"), Outcome::kHeld);
  EXPECT_EQ(limit_->Total(), 4u);
  // An evicted connection's end gives nothing back; a real end does, to the held one.
  admitted_[0].place.GiveBack();
  EXPECT_FALSE(Ready());
  admitted_[4].place.GiveBack();  // "new" logs in
  EXPECT_EQ(TakeAdmitted(t0_), (std::vector<std::string>{"x"}));
  EXPECT_EQ(Evictions(), (std::map<std::string, size_t>{{"new", 0}, {"other", 0}, {"x", 1}, {"y", 1}}));
}

TEST_F(UnauthenticatedLimitTest, AFreedPlaceGoesToTheHeldAddressWithTheFewestAndTheQueueIsBounded) {
  const std::vector<std::pair<const char*, Outcome>> arrivals = {
      {"a", Outcome::kAdmitted}, {"a", Outcome::kAdmitted}, {"b", Outcome::kAdmitted}, {"b", Outcome::kAdmitted},
      {"a", Outcome::kHeld},     {"b", Outcome::kHeld},     // at their own caps
      {"c", Outcome::kAdmittedInPlaceOfAnother},              // a's oldest goes
      {"c", Outcome::kAdmittedInPlaceOfAnother},              // then b's
      {"c", Outcome::kHeld},                                  // at its cap
      {"d", Outcome::kAdmittedInPlaceOfAnother},              // c's oldest goes
      {"d", Outcome::kHeld},                                  // as many as any now
      {"d", Outcome::kQueueFull},                             // four held in all
  };
  for (const auto& [address, expected] : arrivals) {
    SCOPED_TRACE(address);
    EXPECT_EQ(Arrive(address), expected);
  }
  EXPECT_EQ(Evictions(), (std::map<std::string, size_t>{{"a", 1}, {"b", 1}, {"c", 1}, {"d", 0}}));
  // One place each now (admitted_ 1, 3, 5, 6); the held are a, b, c, d in that order.
  admitted_[3].place.GiveBack();
  EXPECT_EQ(TakeAdmitted(t0_), (std::vector<std::string>{"b"})) << "b holds none now";
  admitted_[6].place.GiveBack();
  EXPECT_EQ(TakeAdmitted(t0_), (std::vector<std::string>{"d"}));
  admitted_[1].place.GiveBack();
  admitted_[5].place.GiveBack();
  EXPECT_EQ(TakeAdmitted(t0_), (std::vector<std::string>{"a", "c"})) << "as many each: the longest held first";
  EXPECT_EQ(limit_->Total(), 4u);
  EXPECT_EQ(limit_->HeldCount(), 0u);
  EXPECT_EQ(Arrive("e"), Outcome::kAdmittedInPlaceOfAnother);
  limit_->CloseHeld();
}

}  // namespace
}  // namespace vorlane::termserver
