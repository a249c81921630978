// The TCP client control under load: a hundred controls at once, each on a thread of its own
// with its own apartment and message loop, against one echo server on loopback. Every thread
// must get back exactly what it sent, and once the controls are gone the process holds no more
// descriptors than before. Meant for the sanitizer build too.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/error_info.h"
#include "platform/com/interfaces.h"
#include "platform/loop/message_loop.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/tests/echo_server.h"
#include "tcpclient/tests/kelpline_event_sink.h"
#include "testing/peer_server.h"
#include "testing/loop_pump.h"
#include "testing/poll_until.h"

namespace vorlane::tcpclient {
namespace {

using namespace std::chrono_literals;
using com::Bstr;
using com::ComPtr;
using com::HRESULT;
using com::S_OK;
using testing::EchoServer;
using testkit::OpenDescriptors;

constexpr int kThreads = 100;
// What each thread sends and must get back. The whole run takes about 2 s, and under the address
// and undefined-behaviour sanitizers about 7 s on two cores, so the full amount stays there too.
constexpr size_t kBytesPerThread = 1024 * 1024;
// A thread gives up (and says where) once this has passed since it started; the test's watchdog
// waits a little longer than that for all of them.
constexpr auto kThreadLimit = 40s;
constexpr auto kWatchdogLimit = kThreadLimit + 10s;

// The bytes thread `thread` sends: 16-byte records "tNN rNNNNNNNNNN\n" numbered in order, so
// that a lost, repeated or reordered piece, or one from another connection, shows at once.
std::string Pattern(int thread, size_t size) {
  std::string bytes;
  bytes.reserve(size + 16);
  char record[32];
  for (size_t index = 0; bytes.size() < size; ++index) {
    std::snprintf(record, sizeof record, "t%02d r%010zu\n", thread % 100, index);
    bytes += record;
  }
  bytes.resize(size);
  return bytes;
}

// The container's side of one control: checks each DataIn piece against what was sent, as it
// arrives, and remembers how the connection went.
class CheckingSink final : public testing::KelplineEventSink<CheckingSink> {
 public:
  explicit CheckingSink(const std::string* expected) : expected_(expected) {}

  size_t received = 0;
  bool mismatch = false;
  std::string firstMismatch;
  int connected = -1;  // the status code of Connected, -1 before it came
  bool disconnected = false;
  int readyToSend = 0;
  std::vector<std::string> errors;

  void OnEvent(com::DISPID id, com::DispatchCall& call) {
    switch (id) {
      case kEventDataIn: {
        std::string text;
        (void)call.Read(0, &text);
        Check(text);
        break;
      }
      case kEventConnected: {
        int32_t code = 0;
        (void)call.Read(0, &code);
        connected = code;
        break;
      }
      case kEventDisconnected:
        disconnected = true;
        break;
      case kEventReadyToSend:
        ++readyToSend;
        break;
      case kEventError: {
        std::string text;
        (void)call.Read(1, &text);
        errors.push_back(text);
        break;
      }
      default:
        break;
    }
  }

 private:
  ~CheckingSink() override = default;

  void Check(const std::string& piece) {
    const size_t room = expected_->size() - std::min(received, expected_->size());
    if (!mismatch && (piece.size() > room || expected_->compare(received, piece.size(), piece) != 0)) {
      mismatch = true;
      firstMismatch = "at byte " + std::to_string(received) + ": got \"" + piece.substr(0, 32) + "\"";
    }
    received += piece.size();
  }

  const std::string* expected_;
};

std::string ErrorText(HRESULT hr) {
  std::string text = "hr " + std::to_string(static_cast<uint32_t>(hr));
  ComPtr<com::IErrorInfo> info;
  if (com::GetErrorInfo(info.put()) == S_OK && info) {
    Bstr description;
    (void)info->GetDescription(description.put());
    text += " " + description.ToUtf8();
  }
  return text;
}

// What one thread reports: the step it reached and, when it failed, why.
struct ThreadOutcome {
  std::atomic<bool> done{false};
  std::atomic<const char*> step{"not started"};
  std::string failure;  // written by the thread before `done`
  size_t received = 0;
};

// One thread's whole life with a control: create by class id, connect waiting, send the pattern
// in pieces of changing size, take the echo through DataIn, disconnect, release. The control, the
// loop's users and the apartment end when it returns.
void EchoOnce(int thread, uint16_t port, ThreadOutcome* outcome) {
  const auto deadline = std::chrono::steady_clock::now() + kThreadLimit;
  auto fail = [&](std::string why) { outcome->failure = std::string(outcome->step.load()) + ": " + why; };
  com::ApartmentScope apartment;
  std::shared_ptr<loop::MessageLoop> loop = loop::MessageLoop::ForCurrentThread();
  const std::string expected = Pattern(thread, kBytesPerThread);
  // Each blocking call may wait for what is left of the thread's time, in milliseconds.
  auto left = [&] {
    return std::max(1ms,
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
  };
  auto timeLeft = [&] { return static_cast<int16_t>(std::min<long long>(left().count(), 30'000)); };
  outcome->step = "apartment";
  if (!apartment.ok()) return fail(ErrorText(apartment.result()));
  outcome->step = "create";
  ComPtr<IKelpline> control;
  HRESULT hr = com::CoCreateInstance(kKelplineClsid, &control);
  if (hr != S_OK) return fail(ErrorText(hr));
  ComPtr<CheckingSink> sink = com::Make<CheckingSink>(&expected);
  ComPtr<com::IConnectionPoint> point;
  uint32_t cookie = 0;
  ComPtr<com::IConnectionPointContainer> container = control.As<com::IConnectionPointContainer>();
  if (!container || container->FindConnectionPoint(IKelplineEvents::kIid, point.put()) != S_OK ||
      point->Advise(sink.get(), &cookie) != S_OK) {
    return fail("no event connection");
  }
  Bstr answer;
  if (control->put_SSLStartMode(sslNone) != S_OK || control->put_EOL(Bstr(u"").get()) != S_OK ||
      control->Config(Bstr(u"TimeoutInMilliseconds=True").get(), answer.put()) != S_OK ||
      control->Config(Bstr(u"AbsoluteTimeout=True").get(), answer.put()) != S_OK) {
    return fail("settings refused");
  }

  // Odd threads send without waiting (below), through a small send buffer that fills often.
  const bool waitInSend = thread % 2 == 0;
  if (!waitInSend && control->Config(Bstr(u"OutBufferSize=8192").get(), answer.put()) != S_OK) {
    return fail("OutBufferSize refused");
  }

  outcome->step = "connect";
  (void)control->put_Timeout(timeLeft());
  hr = control->Connect(Bstr(u"127.0.0.1").get(), port);
  if (hr != S_OK || sink->connected != 0) {
    return fail(ErrorText(hr) + " Connected event " + std::to_string(sink->connected));
  }

  outcome->step = "send";
  // Even threads wait inside each send (Timeout > 0); odd ones send with Timeout 0 and, when
  // the control answers 10035 (the rest is queued), pump until ReadyToSend says it is out.
  size_t offset = 0;
  for (int piece = 0; piece < 10'000 && offset < expected.size(); ++piece) {
    // 1 byte up to 64 KB, changing from piece to piece.
    const size_t size = std::min(expected.size() - offset, 1 + (static_cast<size_t>(piece) * 7919) % 65536);
    (void)control->put_Timeout(waitInSend ? timeLeft() : int16_t{0});
    const int readyBefore = sink->readyToSend;
    hr = control->put_DataToSend(Bstr::FromUtf8(std::string_view(expected).substr(offset, size)).get());
    const std::string where = "piece " + std::to_string(piece) + " at " + std::to_string(offset) + ": ";
    offset += size;
    if (hr == S_OK) continue;
    if (waitInSend || KelplineErrorCode(hr) != kErrWouldBlock) return fail(where + ErrorText(hr));
    if (!testkit::PumpUntil(
            *loop, [&] { return sink->readyToSend > readyBefore || sink->disconnected; }, left())) {
      return fail(where + "no ReadyToSend after 10035");
    }
    if (sink->disconnected) return fail(where + "disconnected");
  }

  outcome->step = "receive";
  if (!testkit::PumpUntil(
          *loop, [&] { return sink->received >= expected.size() || sink->mismatch || sink->disconnected; }, left())) {
    return fail("only " + std::to_string(sink->received) + " bytes came back");
  }
  outcome->received = sink->received;
  if (sink->mismatch) return fail(sink->firstMismatch);

  outcome->step = "disconnect";
  (void)control->put_Timeout(timeLeft());
  hr = control->Disconnect();
  if (hr != S_OK || !sink->disconnected) return fail(ErrorText(hr));
  if (!sink->errors.empty()) fail("Error event: " + sink->errors.front());
  // Anything after the last expected byte, come meanwhile, would be a repeat.
  outcome->received = sink->received;
  if (sink->mismatch) fail(sink->firstMismatch);
  outcome->step = "release";
  (void)point->Unadvise(cookie);
}

void EchoThroughControl(int thread, uint16_t port, ThreadOutcome* outcome) {
  EchoOnce(thread, port, outcome);
  outcome->step = "ended";
  outcome->done = true;
}

// Runs `body(i)` on kThreads threads at once and waits for all of them under a watchdog. A
// thread that does not end in time fails the test and ends the process: it may still use what
// the test holds, so neither joining nor leaving it is safe.
template <class Body>
void OnManyThreads(std::vector<ThreadOutcome>& outcomes, Body body) {
  std::vector<std::thread> threads;
  threads.reserve(kThreads);
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([&, i] { body(i, &outcomes[static_cast<size_t>(i)]); });
  const bool allEnded = testkit::PollUntil(
      [&] { return std::all_of(outcomes.begin(), outcomes.end(), [](const ThreadOutcome& o) { return o.done.load(); }); },
      std::chrono::duration_cast<std::chrono::milliseconds>(kWatchdogLimit));
  if (!allEnded) {
    for (int i = 0; i < kThreads; ++i) {
      if (!outcomes[static_cast<size_t>(i)].done) {
        std::fprintf(stderr, "thread %d hangs in step %s\n", i, outcomes[static_cast<size_t>(i)].step.load());
      }
    }
    ADD_FAILURE() << "threads hang";
    std::fflush(nullptr);
    std::abort();
  }
  for (std::thread& thread : threads) thread.join();
}

class KelplineStressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ok());
    // One full round first, so that what the process sets up once (the component's library, the
    // runtime's own state) is in place before the descriptors are counted.
    ThreadOutcome warmUp;
    std::thread([&] { EchoThroughControl(0, server_.port(), &warmUp); }).join();
    ASSERT_TRUE(warmUp.failure.empty()) << warmUp.failure;
    ASSERT_TRUE(testkit::PollUntil([&] { return server_.Open() == 0; }));
    baseline_ = OpenDescriptors();
    ASSERT_GT(baseline_, 0);
  }

  // The process is back to the descriptors it held before (the server closes its ends of the
  // connections once it has seen the clients close).
  void ExpectNoDescriptorLeft() {
    EXPECT_TRUE(testkit::PollUntil([&] { return OpenDescriptors() <= baseline_; }, 10s))
        << OpenDescriptors() << " descriptors open, " << baseline_ << " before; the server still holds "
        << server_.Open() << " connections";
  }

  EchoServer server_;
  int baseline_ = 0;
};

TEST_F(KelplineStressTest, AHundredControlsEachEchoTheirOwnBytes) {
  std::vector<ThreadOutcome> outcomes(kThreads);
  const uint16_t port = server_.port();
  OnManyThreads(outcomes, [port](int i, ThreadOutcome* outcome) { EchoThroughControl(i, port, outcome); });
  for (int i = 0; i < kThreads; ++i) {
    const ThreadOutcome& outcome = outcomes[static_cast<size_t>(i)];
    EXPECT_TRUE(outcome.failure.empty()) << "thread " << i << ": " << outcome.failure;
    EXPECT_EQ(outcome.received, kBytesPerThread) << "thread " << i;
  }
  ExpectNoDescriptorLeft();
}

// Controls released while their connect is under way, all at once: half to the echo server, half
// to a port that refuses. Nothing crashes and nothing stays open.
TEST_F(KelplineStressTest, AHundredControlsReleasedWhileConnecting) {
  const uint16_t refusing = testkit::ClosedPort();
  ASSERT_NE(refusing, 0);
  std::vector<ThreadOutcome> outcomes(kThreads);
  const uint16_t port = server_.port();
  std::atomic<int> ready{0};
  OnManyThreads(outcomes, [&](int i, ThreadOutcome* outcome) {
    {
      com::ApartmentScope apartment;
      outcome->step = "create";
      ComPtr<IKelpline> control;
      HRESULT hr = apartment.ok() ? com::CoCreateInstance(kKelplineClsid, &control) : apartment.result();
      if (hr == S_OK) hr = control->put_SSLStartMode(sslNone);
      if (hr == S_OK) hr = control->put_Timeout(0);
      // All threads hold a control before any connects, so that the connects overlap.
      ++ready;
      (void)testkit::PollUntil([&] { return ready.load() >= kThreads; }, 10s, 1ms);
      outcome->step = "connect";
      if (hr == S_OK) hr = control->Connect(Bstr(u"127.0.0.1").get(), i % 2 == 0 ? port : refusing);
      if (hr != S_OK) outcome->failure = ErrorText(hr);
      outcome->step = "release";
      control.reset();
    }
    outcome->step = "ended";
    outcome->done = true;
  });
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_TRUE(outcomes[static_cast<size_t>(i)].failure.empty())
        << "thread " << i << ": " << outcomes[static_cast<size_t>(i)].failure;
  }
  ExpectNoDescriptorLeft();
}

}  // namespace
}  // namespace vorlane::tcpclient
