// The rules a connection thread reads from its state: when it holds the client's input, when
// answers are still on their way, and when it is woken because either changed.
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/termserver/limits.h"
#include "platform/termserver/server_core.h"

namespace vorlane::termserver {
namespace {

bool Woken(ConnectionState& state) {
  pollfd fd{state.wake.get(), POLLIN, 0};
  if (::poll(&fd, 1, 0) != 1) return false;
  uint64_t count;
  (void)!::read(state.wake.get(), &count, sizeof count);
  return true;
}

// One step on the state and what the connection thread must see afterwards.
struct Step {
  const char* what;
  enum { kSetUnanswered, kPosted, kHandled, kQueueOutput, kTakeOutput, kAwaitAnswers, kDirectOutput, kInFlight } action;
  size_t count;  // for kSetUnanswered; for kAwaitAnswers and kDirectOutput 1 = on, 0 = off
  bool held;
  bool pending;
  bool woken;
};

// Direct output that takes everything while `taking`.
struct TakingOutput final : DirectOutput {
  bool TryWrite(int32_t, std::string_view text) override {
    if (taking) written += text;
    return taking;
  }
  bool taking = true;
  std::string written;
};

void Apply(ConnectionState& state, TakingOutput& direct, const Step& step) {
  switch (step.action) {
    case Step::kInFlight: {
      // The connection thread took the queue (or is done writing it).
      std::lock_guard lock(state.lock);
      state.output.clear();
      state.outputInFlight = step.count != 0;
      break;
    }
    case Step::kAwaitAnswers:
      state.awaitingAnswers = step.count != 0;
      break;
    case Step::kDirectOutput: {
      std::lock_guard lock(state.lock);
      state.direct = &direct;
      direct.taking = step.count != 0;
      break;
    }
    case Step::kSetUnanswered:
      state.SetUnanswered(step.count);
      break;
    case Step::kPosted:
      state.RequestPosted();
      break;
    case Step::kHandled:
      state.RequestHandled();
      break;
    case Step::kQueueOutput:
      ASSERT_TRUE(state.QueueOutput(0, "answer"));
      break;
    case Step::kTakeOutput: {
      std::lock_guard lock(state.lock);
      state.output.clear();
      break;
    }
  }
}

void RunSteps(const std::vector<Step>& steps) {
  ConnectionState state("127.0.0.1");
  TakingOutput direct;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    ASSERT_NO_FATAL_FAILURE(Apply(state, direct, step));
    EXPECT_EQ(state.InputHeld(), step.held);
    EXPECT_EQ(state.AnswersPending(), step.pending);
    EXPECT_EQ(Woken(state), step.woken);
  }
}

constexpr size_t kFull = kMaxQueuedRequests;

TEST(ConnectionState, AnAnswerQueuedBeforeItsCountDropsIsStillPendingUntilTaken) {
  RunSteps({
      {"the connection waits for its answers", Step::kAwaitAnswers, 1, false, false, false},
      {"a request is posted", Step::kPosted, 0, false, true, false},
      {"its handler counts it", Step::kSetUnanswered, 1, false, true, false},
      {"and is done", Step::kHandled, 0, false, true, false},
      {"its answer is queued", Step::kQueueOutput, 0, false, true, true},
      {"the count drops", Step::kSetUnanswered, 0, false, true, true},
      {"the connection takes the answer", Step::kTakeOutput, 0, false, false, false},
  });
}

TEST(ConnectionState, RequestsNotHandledYetCountTowardTheBound) {
  std::vector<Step> steps;
  for (size_t i = 1; i < kFull; ++i) steps.push_back({"posted", Step::kPosted, 0, false, true, false});
  steps.push_back({"the last one that fits", Step::kPosted, 0, true, true, false});
  steps.push_back({"the first one's handler counts it", Step::kSetUnanswered, 1, true, true, false});
  steps.push_back({"handled: as many waiting as before", Step::kHandled, 0, true, true, false});
  steps.push_back({"answered: room again", Step::kSetUnanswered, 0, false, true, true});
  RunSteps(steps);
}

TEST(ConnectionState, TheLastHandledRequestWakesTheConnectionOnlyWhenItWaitsForItsAnswers) {
  RunSteps({
      {"posted", Step::kPosted, 0, false, true, false},
      {"handled while it reads on", Step::kHandled, 0, false, false, false},
      {"the connection waits for its answers", Step::kAwaitAnswers, 1, false, false, false},
      {"posted", Step::kPosted, 0, false, true, false},
      {"posted", Step::kPosted, 0, false, true, false},
      {"handled", Step::kHandled, 0, false, true, false},
      {"the last handled", Step::kHandled, 0, false, false, true},
  });
}

TEST(ConnectionState, OutputWrittenDirectlyWakesNothingAndIsNotPending) {
  RunSteps({
      {"direct output that takes it", Step::kDirectOutput, 1, false, false, false},
      {"an answer", Step::kQueueOutput, 0, false, false, false},
      {"direct output that cannot take it now", Step::kDirectOutput, 0, false, false, false},
      {"queued instead", Step::kQueueOutput, 0, false, true, true},
      {"it takes again", Step::kDirectOutput, 1, false, true, false},
      {"queued behind the one before", Step::kQueueOutput, 0, false, true, true},
      {"taken by the connection, not written yet", Step::kInFlight, 1, false, false, false},
      {"queued, not written ahead of them", Step::kQueueOutput, 0, false, true, true},
      {"written", Step::kInFlight, 0, false, false, false},
      {"written directly again", Step::kQueueOutput, 0, false, false, false},
  });
}

TEST(ConnectionState, OutputOfAClosedConnectionIsRefused) {
  ConnectionState state("127.0.0.1");
  {
    std::lock_guard lock(state.lock);
    state.closed = true;
  }
  EXPECT_FALSE(state.QueueOutput(0, "late"));
  EXPECT_FALSE(state.AnswersPending());
  EXPECT_FALSE(Woken(state));
}

}  // namespace
}  // namespace vorlane::termserver
