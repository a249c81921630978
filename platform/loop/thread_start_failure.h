// The thread starts that tests make fail (testing::FailNextThreadCreations in message_loop.h):
// one count shared by the WaitableThread creations and the job runner's hand-overs, so that a
// refused start looks the same to a component whichever way its job is started.
#pragma once

namespace vorlane::loop::testing {

// Takes one of the failures FailNextThreadCreations arranged; true when there was one.
bool TakeInjectedThreadFailure() noexcept;

}  // namespace vorlane::loop::testing
