// The terminal server belongs to the thread that created it: another thread reaches it through a
// marshalled pointer, whose calls run on that thread; the raw pointer used on another thread ends
// the process in the builds that check thread affinity.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "platform/com/late_binding.h"
#include "platform/com/marshal.h"
#include "platform/loop/thread_affinity.h"
#include "platform/termserver/tests/term_server_host.h"
#include "testing/loop_pump.h"

namespace vorlane::termserver {
namespace {

using namespace vorlane::com;

using TermServerAffinity = testing::TermServerHost;
using TermServerAffinityDeathTest = testing::TermServerHost;

TEST_F(TermServerAffinity, AnotherThreadSetsItThroughAMarshalledPointer) {
  std::unique_ptr<MarshalledInterface> marshalled;
  ASSERT_EQ(MarshalledInterface::Create(IDispatch::kIid, server_.get(), &marshalled), S_OK);
  HRESULT put = E_FAIL;
  ASSERT_TRUE(testkit::RunWhilePumping(*loop_, [&] {
    ComPtr<IDispatch> proxy;
    put = marshalled->Unmarshal(IDispatch::kIid, proxy.put_void());
    if (Succeeded(put)) put = PutProperty(proxy.get(), kServerPort, Variant(int32_t{4321}));
  }));
  EXPECT_EQ(put, S_OK);
  int32_t port = 0;
  EXPECT_EQ(GetProperty(server_.get(), kServerPort, &port), S_OK);
  EXPECT_EQ(port, 4321);
}

TEST_F(TermServerAffinityDeathTest, ARawPointerUsedOnAnotherThreadAborts) {
  if (!loop::kThreadChecks) GTEST_SKIP() << "thread affinity is asserted in Debug and sanitizer builds only";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(std::thread([&] { (void)PutProperty(server_.get(), kServerPort, Variant(int32_t{4321})); }).join(),
               "Thread affinity violated: .*TermServer::put_Port.* called on thread [0-9]+ .*; TermServer \\(checker "
               "at 0x[0-9a-f]+\\) belongs to thread [0-9]+");
}

}  // namespace
}  // namespace vorlane::termserver
