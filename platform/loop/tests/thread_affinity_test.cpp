// The thread-affinity checker: bound where it is made, or where first asked when made unbound,
// bound again after a detach; a failed check names the member, the object and both threads, and
// aborts (Check does so in every build; Assert only where the checks are compiled in).
#include "platform/loop/thread_affinity.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <thread>

namespace vorlane::loop {
namespace {

// Asked on a thread of its own, which then ends.
bool AskedOnAnotherThread(const ThreadAffinity& affinity) {
  bool bound = true;
  std::thread([&] { bound = affinity.OnBoundThread(); }).join();
  return bound;
}

TEST(ThreadAffinity, BelongsToTheThreadThatMadeIt) {
  const ThreadAffinity affinity("Tested");
  EXPECT_FALSE(AskedOnAnotherThread(affinity));
  EXPECT_TRUE(affinity.OnBoundThread());
}

TEST(ThreadAffinity, UnboundOrDetachedItBelongsToTheNextThreadThatAsks) {
  ThreadAffinity affinity("Tested", ThreadAffinity::kUnbound);
  EXPECT_TRUE(AskedOnAnotherThread(affinity));
  EXPECT_FALSE(affinity.OnBoundThread());
  affinity.Detach();
  EXPECT_TRUE(affinity.OnBoundThread());
  EXPECT_FALSE(AskedOnAnotherThread(affinity));
}

TEST(ThreadAffinityDeathTest, ACheckOnAnotherThreadNamesBothThreadsAndAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const ThreadAffinity affinity("Tested");
  affinity.Check("Poke");  // its own thread passes
  EXPECT_DEATH(std::thread([&] {
                 (void)::pthread_setname_np(::pthread_self(), "intruder");
                 affinity.Check("Poke");
               }).join(),
               "Thread affinity violated: Poke called on thread [0-9]+ \"intruder\"; Tested \\(checker at "
               "0x[0-9a-f]+\\) belongs to thread [0-9]+ \"");
}

}  // namespace
}  // namespace vorlane::loop
