// The keyed collection behind the components' collection objects: ids, membership, the answers
// each rule set gives, and that elements leave and are released.
#include "platform/com/keyed_collection.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "platform/com/tests/marker_interface.h"

namespace vorlane::com {
namespace {

using IThing = MarkerInterface<IUnknown, GuidLiteral("5C1B1E10-00C1-4000-8000-0000000000C1")>;

struct Owner {};

class Thing final : public ComObject<Thing, IThing> {
 public:
  explicit Thing(int* destroyed) : destroyed_(destroyed) {}
  void Join(Owner* parent, int32_t id) {
    parent_ = parent;
    id_ = id;
  }
  void Leave(int32_t id) {
    parent_ = nullptr;
    id_ = id;
  }
  bool Running() { return running_; }
  bool Checked() { return checked_; }

  Owner* parent_ = nullptr;
  int32_t id_ = 7;
  bool running_ = false;
  bool checked_ = true;

 private:
  ~Thing() override { ++*destroyed_; }
  int* destroyed_;
};

using Things = KeyedCollection<Thing, IThing>;

struct RulesCase {
  KeyedCollectionRules rules;
  int32_t idAfterClear;
};

class KeyedCollectionTest : public ::testing::TestWithParam<RulesCase> {
 protected:
  ComPtr<Thing> Add() {
    ComPtr<Thing> thing = Make<Thing>(&destroyed_);
    EXPECT_EQ(things_.Insert(&owner_, thing), S_OK);
    return thing;
  }
  int32_t IdAt(int32_t index) {
    ComPtr<IThing> found;
    if (Failed(things_.At(index, found.put()))) return -100;
    for (const auto& thing : made_) {
      if (static_cast<IThing*>(thing.get()) == found.get()) return thing->id_;
    }
    return -200;
  }

  int destroyed_ = 0;
  Owner owner_;
  Things things_{GetParam().rules};
  std::vector<ComPtr<Thing>> made_;
};

TEST_P(KeyedCollectionTest, IdsSkipThoseInUseAndStartAgainWhenEmptied) {
  for (int i = 0; i < 3; ++i) made_.push_back(Add());
  EXPECT_EQ(made_[2]->id_, 2);
  EXPECT_EQ(made_[2]->parent_, &owner_);
  EXPECT_EQ(things_.Remove(1), S_OK);
  EXPECT_EQ(made_[1]->id_, -1);
  EXPECT_EQ(made_[1]->parent_, nullptr);
  EXPECT_EQ(things_.Remove(1), S_FALSE);
  made_.push_back(Add());
  EXPECT_EQ(made_[3]->id_, 3);
  EXPECT_EQ(IdAt(0), 0);
  EXPECT_EQ(IdAt(1), 2);
  EXPECT_EQ(IdAt(2), 3);
  int32_t count = 0;
  EXPECT_EQ(things_.Count(&count), S_OK);
  EXPECT_EQ(count, 3);
  for (int32_t id : {0, 2, 3}) EXPECT_EQ(things_.Remove(id), S_OK);
  made_.push_back(Add());
  EXPECT_EQ(made_[4]->id_, 0);
}

TEST_P(KeyedCollectionTest, LookupsAnswerAsTheRulesSay) {
  made_.push_back(Add());
  ComPtr<IThing> found;
  EXPECT_EQ(things_.Item(0, found.put()), S_OK);
  EXPECT_EQ(found.get(), static_cast<IThing*>(made_[0].get()));
  EXPECT_EQ(things_.Item(5, found.put()), GetParam().rules.missingItem);
  EXPECT_EQ(found.get(), nullptr);
  EXPECT_EQ(things_.At(1, found.put()), DISP_E_BADINDEX);
  EXPECT_EQ(things_.At(-1, found.put()), DISP_E_BADINDEX);
  EXPECT_EQ(things_.Item(0, nullptr), E_POINTER);
  EXPECT_EQ(things_.Find(0).get(), made_[0].get());
  EXPECT_EQ(things_.Find(1).get(), nullptr);
}

TEST_P(KeyedCollectionTest, RunningAndCheckedReadEveryElement) {
  for (int i = 0; i < 3; ++i) made_.push_back(Add());
  VARIANT_BOOL running = VARIANT_TRUE, checked = VARIANT_FALSE;
  EXPECT_EQ(things_.IsRunning(&running), S_OK);
  EXPECT_EQ(things_.AllChecked(&checked), S_OK);
  EXPECT_EQ(running, VARIANT_FALSE);
  EXPECT_EQ(checked, VARIANT_TRUE);
  made_[2]->running_ = true;
  made_[1]->checked_ = false;
  EXPECT_EQ(things_.IsRunning(&running), S_OK);
  EXPECT_EQ(things_.AllChecked(&checked), S_OK);
  EXPECT_EQ(running, VARIANT_TRUE);
  EXPECT_EQ(checked, VARIANT_FALSE);
}

TEST_P(KeyedCollectionTest, ClearedElementsLeaveAndAreReleased) {
  for (int i = 0; i < 2; ++i) Add();
  made_.push_back(Add());
  EXPECT_EQ(things_.Clear(), S_OK);
  EXPECT_EQ(destroyed_, 2);
  EXPECT_EQ(made_[0]->id_, GetParam().idAfterClear);
  EXPECT_EQ(made_[0]->parent_, nullptr);
  made_.push_back(Add());
  EXPECT_EQ(made_[1]->id_, 0);
}

INSTANTIATE_TEST_SUITE_P(Rules, KeyedCollectionTest,
                         ::testing::Values(RulesCase{{.logName = "BadIndexWhenMissing", .missingItem = DISP_E_BADINDEX}, -1},
                                           RulesCase{{.logName = "FailWhenMissingKeepIds", .missingItem = E_FAIL, .logBadIndex = true,
                                                      .clearKeepsIds = true},
                                                     2}),
                         [](const auto& info) { return std::string(info.param.rules.logName); });

TEST(GuardedTest, AnExceptionBecomesEFailAndAResultPassesThrough) {
  EXPECT_EQ(Guarded("line", []() -> HRESULT { throw std::runtime_error("no"); }), E_FAIL);
  EXPECT_EQ(Guarded("line", []() -> HRESULT { return S_FALSE; }), S_FALSE);
}

}  // namespace
}  // namespace vorlane::com
