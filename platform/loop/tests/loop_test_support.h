// Helpers shared by the loop tests: a fresh loop per test, and the bounded pumps of the shared
// test support.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/loop/message_loop.h"
#include "testing/loop_pump.h"

namespace vorlane::loop::test {

using namespace std::chrono_literals;
using testkit::kWatchdogExit;
using testkit::PumpUntil;
using testkit::RunWithWatchdog;

// The test thread's loop, closed at the end so that the next test gets an empty one.
struct FreshLoop {
  FreshLoop() : loop(MessageLoop::ForCurrentThread()) {}
  ~FreshLoop() { loop->Close(); }
  std::shared_ptr<MessageLoop> loop;
};

// A test with the fresh loop at hand as `loop`; suites name it through an alias.
class LoopTest : public ::testing::Test {
 protected:
  FreshLoop fresh;
  MessageLoop& loop = *fresh.loop;
};

}  // namespace vorlane::loop::test
