// Flow control of the terminal server over SSH, driven as the agent drives it (created by class
// id, events on this test's apartment) with a libssh client that writes requests as fast as SSH
// lets it: a slow application must hold the client back, a client that leaves must leave no more
// than one queue of requests behind, and channels that never read their answers must not make the server grow.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/termserver/limits.h"
#include "platform/termserver/tests/ssh_flood_client.h"
#include "platform/termserver/tests/term_server_host.h"
#include "testing/loop_pump.h"

namespace vorlane::termserver {
namespace {

using namespace vorlane::com;
using namespace vorlane::termserver::testing;
using namespace std::chrono_literals;

const std::string kRecord = "#keycount=2#requestaction=agentinfo#sessionid=F00D#";

// An application that takes `work` for every request and answers it with `answerBytes` bytes.
class SlowApplication final : public TermServerEventSink<SlowApplication> {
 public:
  SlowApplication(std::chrono::milliseconds work, size_t answerBytes)
      : work_(work), answer_("#answer=" + std::string(answerBytes, 'x') + "#") {}

  HRESULT OnEvent(DISPID id, DISPPARAMS* params) {
    namespace args = event_args;
    DispatchCall call(*params, nullptr, nullptr);
    if (AnswerLoginOrService(id, call)) return S_OK;
    ComPtr<IDispatch> user;
    (void)call.Read(args::kUser, &user);
    if (id == kEventReceived) {
      ++received_;
      int32_t channel = 0, length = 0;
      (void)call.Read(args::Received::kChannel, &channel);
      (void)call.Read(args::Received::kLength, &length);
      std::string request;
      (void)CallMethodFor(user.get(), kUserReceive, {Variant(length)}, &request);
      std::this_thread::sleep_for(work_);  // the application's work on the request
      (void)Call(user.get(), kUserSend, {Variant::FromUtf8(answer_), Variant(channel)});
    } else if (id == kEventDisconnected) {
      disconnected_ = true;
    }
    return S_OK;
  }

  long Received() const { return received_.load(); }
  bool Disconnected() const { return disconnected_.load(); }

 private:
  const std::chrono::milliseconds work_;
  const std::string answer_;
  std::atomic<long> received_{0};
  std::atomic<bool> disconnected_{false};
};

class TermServerSshFlow : public TermServerHost {
 protected:
  void Serve(std::chrono::milliseconds work, size_t answerBytes) {
    application_ = Make<SlowApplication>(work, answerBytes);
    ASSERT_NO_FATAL_FAILURE(Advise(application_.get()));
    ASSERT_NO_FATAL_FAILURE(StartOnLoopback(kProtocolSsh));
  }

  ComPtr<SlowApplication> application_;
};

TEST_F(TermServerSshFlow, ASlowApplicationHoldsTheClientBackAndALeavingClientLeavesNoRequestsBehind) {
  ASSERT_NO_FATAL_FAILURE(Serve(5ms, 8));
  long receivedWhenLeft = -1;
  uint64_t mostUnanswered = 0, written = 0, read = 0;
  bool connected = false;
  ASSERT_TRUE(testkit::RunWhilePumping(
      *loop_,
      [&] {
        SshFloodClient client(port_, "monitor", "pw");
        connected = client.Connect(1);
        if (!connected) return;
        client.Flood(kRecord, true, 3s, [&] {
          const uint64_t sent = client.RecordsWritten();
          const uint64_t answered = std::min(sent, static_cast<uint64_t>(application_->Received()));
          mostUnanswered = std::max(mostUnanswered, sent - answered);
          return true;
        });
        written = client.RecordsWritten();
        read = client.BytesRead();
        receivedWhenLeft = application_->Received();
        client.Abandon();
      },
      30s));
  ASSERT_TRUE(connected);
  EXPECT_GT(receivedWhenLeft, 0);
  EXPECT_GT(read, 0u) << "the client got answers while it wrote";
  // What SSH lets a client have in flight: libssh's channel window (about 1.3 MB) on the wire,
  // the bytes libssh buffers for the channel before it stops widening the window (up to about
  // 1.5 windows), and what the channel holds itself. A server that takes everything lets the
  // client write without end.
  const uint64_t heldBack = (3 * 1'280'000 + kMaxQueuedInputBytes) / (kRecord.size() + 1);
  EXPECT_LE(mostUnanswered, heldBack) << written << " records written";

  // Of the requests the client left waiting, at most one queue's worth is raised after it left
  // (besides the one being raised as it left); the rest of its flood is dropped.
  ASSERT_TRUE(testkit::PumpUntil(*loop_, [&] { return application_->Disconnected(); }, 10s));
  const long receivedAtEnd = application_->Received();
  EXPECT_LE(receivedAtEnd - receivedWhenLeft, static_cast<long>(kMaxQueuedRequests) + 1);
  (void)testkit::PumpUntil(*loop_, [] { return false; }, 500ms);  // nothing may come later
  EXPECT_EQ(application_->Received(), receivedAtEnd);
}

TEST_F(TermServerSshFlow, ChannelsThatNeverReadEndTheConnectionWithoutGrowingTheServer) {
  ASSERT_NO_FATAL_FAILURE(Serve(0ms, 1000));
  const std::string status = "/proc/self/status";
  const long before = StatusKb(status, "VmRSS");
  long peak = before;
  bool connected = false, ended = false;
  uint64_t written = 0;
  ASSERT_TRUE(testkit::RunWhilePumping(
      *loop_,
      [&] {
        SshFloodClient client(port_, "monitor", "pw");
        connected = client.Connect(8);
        if (!connected) return;
        auto nextSample = SshFloodClient::Clock::now();
        client.Flood(kRecord, false, 20s, [&] {
          if (SshFloodClient::Clock::now() >= nextSample) {
            peak = std::max(peak, StatusKb(status, "VmRSS"));
            nextSample += 20ms;
          }
          return true;
        });
        ended = client.Ended();
        written = client.RecordsWritten();
      },
      40s));
  ASSERT_TRUE(connected);
  EXPECT_TRUE(ended) << "the server should give up on a client that does not read";
  EXPECT_GT(written, 0u);
#if defined(__SANITIZE_ADDRESS__)
  // The sanitizer holds freed memory back in its quarantine (256 MB by default), so the resident
  // size says nothing here about what the server keeps; the connection's end still does.
  (void)peak;
  (void)before;
#else
  EXPECT_LE(peak - before, 60 * 1024) << "kB grown; " << written << " records written";
#endif
  EXPECT_TRUE(testkit::PumpUntil(*loop_, [&] { return application_->Disconnected(); }, 10s));
}

}  // namespace
}  // namespace vorlane::termserver
