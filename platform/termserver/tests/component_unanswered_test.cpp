// An application that answers after its Received event has returned, and tells the terminal
// server its count of unanswered requests through the user object: the server created by class
// id, events on this test's apartment, a Telnet or a libssh client on loopback. A full count
// holds the client back, answers let it go on in order, and a client that has sent its last
// request, or waits for its answers, is not hung up on while they are coming.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <thread>
#include <vector>

#include "platform/termserver/limits.h"
#include "platform/termserver/tests/ssh_flood_client.h"
#include "platform/termserver/tests/term_server_host.h"
#include "testing/loop_pump.h"
#include "testing/telnet_client.h"

namespace vorlane::termserver {
namespace {

using namespace vorlane::com;
using namespace vorlane::termserver::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string kGreeting = "#ready#";

std::string Request(size_t number) { return "#seq=" + std::to_string(number) + "#"; }
std::string AnswerTo(const std::string& request) { return "#answer" + request; }

std::string ProtocolName(int32_t protocol) { return protocol == kProtocolSsh ? "Ssh" : "Telnet"; }

std::chrono::milliseconds Left(Clock::time_point deadline) {
  return std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

// The application: its Received handler takes the request and raises its count of unanswered
// requests on the user object, and answers nothing; the test answers when it chooses.
class HoldingApplication final : public TermServerEventSink<HoldingApplication> {
 public:
  HRESULT OnEvent(DISPID id, DISPPARAMS* params) {
    namespace args = event_args;
    DispatchCall call(*params, nullptr, nullptr);
    if (AnswerLoginOrService(id, call)) return S_OK;
    ComPtr<IDispatch> user;
    (void)call.Read(args::kUser, &user);
    if (id == kEventServiceStart) {
      (void)Call(user.get(), kUserSend, {Variant::FromUtf8(kGreeting), Variant(int32_t{0})});
    } else if (id == kEventReceived) {
      Waiting waiting{user, 0, {}};
      int32_t length = 0;
      (void)call.Read(args::Received::kChannel, &waiting.channel);
      (void)call.Read(args::Received::kLength, &length);
      (void)CallMethodFor(user.get(), kUserReceive, {Variant(length)}, &waiting.request);
      size_t count;
      {
        std::lock_guard held(lock_);
        received_.push_back(waiting.request);
        waiting_.push_back(std::move(waiting));
        count = waiting_.size();
      }
      (void)Put(user.get(), kUserUnansweredRequests, Variant(static_cast<int32_t>(count)));
    } else if (id == kEventDisconnected) {
      disconnected_ = true;
    }
    return S_OK;
  }

  // Answers the `count` oldest waiting requests, then tells the server how many still wait.
  void Answer(size_t count) {
    std::vector<Waiting> answering;
    size_t left;
    {
      std::lock_guard held(lock_);
      for (size_t i = 0; i < count && !waiting_.empty(); ++i) {
        answering.push_back(std::move(waiting_.front()));
        waiting_.pop_front();
      }
      left = waiting_.size();
    }
    if (answering.empty()) return;
    for (const Waiting& waiting : answering) {
      const std::string answer = AnswerTo(waiting.request);
      (void)Call(waiting.user.get(), kUserSend, {Variant::FromUtf8(answer), Variant(waiting.channel)});
    }
    (void)Put(answering.back().user.get(), kUserUnansweredRequests, Variant(static_cast<int32_t>(left)));
  }
  void AnswerAll() { Answer(SIZE_MAX); }

  size_t ReceivedCount() {
    std::lock_guard held(lock_);
    return received_.size();
  }
  std::vector<std::string> Received() {
    std::lock_guard held(lock_);
    return received_;
  }
  bool Disconnected() const { return disconnected_.load(); }

 private:
  struct Waiting {
    ComPtr<IDispatch> user;
    int32_t channel;
    std::string request;
  };
  std::mutex lock_;
  std::vector<std::string> received_;  // guarded by lock_
  std::deque<Waiting> waiting_;        // guarded by lock_
  std::atomic<bool> disconnected_{false};
};

// A logged-in client of either protocol, seen the same way by the tests.
class RequestClient {
 public:
  virtual ~RequestClient() = default;
  // Logs in and waits for the application's greeting.
  virtual bool LogIn() = 0;
  // Sends `requests`, each followed by a line end, in one go.
  virtual bool Send(const std::vector<std::string>& requests) = 0;
  // Sends nothing more; the answers may still come.
  virtual void StopSending() = 0;
  // Reads until `needle` and consumes the text up to it; false when the server ended the
  // connection or `wait` passed first.
  virtual bool ReadUntil(std::string_view needle, std::chrono::milliseconds wait) = 0;
  // True when the server ends the connection within `wait`.
  virtual bool EndedWithin(std::chrono::milliseconds wait) = 0;
};

class TelnetRequestClient final : public RequestClient {
 public:
  explicit TelnetRequestClient(int port) : telnet_(port) {}
  bool LogIn() override { return telnet_.AnswerLoginPrompts("monitor", "pw") && telnet_.ReadUntil(kGreeting); }
  bool Send(const std::vector<std::string>& requests) override {
    std::string bytes;
    for (const std::string& request : requests) bytes += request + "\r\n";
    telnet_.Send(bytes);
    return true;
  }
  void StopSending() override { telnet_.ShutdownSending(); }
  bool ReadUntil(std::string_view needle, std::chrono::milliseconds wait) override {
    return telnet_.ReadUntil(needle, wait);
  }
  bool EndedWithin(std::chrono::milliseconds wait) override {
    const auto deadline = Clock::now() + wait;
    for (int round = 0; round < 10'000 && Clock::now() < deadline; ++round) {
      if (telnet_.Closed()) return true;
    }
    return false;
  }

 private:
  testkit::TelnetClient telnet_;
};

class SshRequestClient final : public RequestClient {
 public:
  explicit SshRequestClient(int port) : ssh_(port, "monitor", "pw") {}
  bool LogIn() override { return ssh_.Connect(1, kGreeting); }
  bool Send(const std::vector<std::string>& requests) override {
    std::string bytes;
    for (const std::string& request : requests) bytes += request + "\n";
    return ssh_.Write(bytes);
  }
  void StopSending() override { (void)ssh_.SendEof(); }
  bool ReadUntil(std::string_view needle, std::chrono::milliseconds wait) override {
    return ssh_.ReadUntil(needle, wait);
  }
  bool EndedWithin(std::chrono::milliseconds wait) override { return ssh_.WaitForEnd(wait); }

 private:
  SshFloodClient ssh_;
};

// The client's part of a test, on a thread of its own while the test's thread serves the events
// and answers. At its end the events are served until the client is done (all its waits are
// bounded), and the thread is joined.
class ClientThread {
 public:
  template <class Work>
  ClientThread(loop::MessageLoop& loop, Work work)
      : loop_(loop), thread_([this, work = std::move(work)]() mutable {
          work();
          done_ = true;
        }) {}
  ~ClientThread() {
    (void)testkit::PumpUntil(loop_, [this] { return Done(); }, 60s);
    thread_.join();
  }
  ClientThread(const ClientThread&) = delete;
  ClientThread& operator=(const ClientThread&) = delete;

  bool Done() const { return done_.load(); }

 private:
  loop::MessageLoop& loop_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

class HeldRequests : public TermServerHost {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(TermServerHost::SetUp());
    ASSERT_NO_FATAL_FAILURE(Advise(application_.get()));
  }

  void Start(int32_t protocol, int32_t idleTimeout = 0) {
    protocol_ = protocol;
    ASSERT_NO_FATAL_FAILURE(StartOnLoopback(protocol, idleTimeout));
  }

  std::unique_ptr<RequestClient> NewClient() const {
    if (protocol_ == kProtocolSsh) return std::make_unique<SshRequestClient>(port_);
    return std::make_unique<TelnetRequestClient>(port_);
  }

  template <class Done>
  bool Serve(Done done, std::chrono::milliseconds limit) {
    return testkit::PumpUntil(*loop_, done, limit);
  }
  // Serves the events for `span` whatever comes: to see that nothing more does.
  void ServeFor(std::chrono::milliseconds span) { (void)Serve([] { return false; }, span); }

  int32_t protocol_ = kProtocolTelnet;
  ComPtr<HoldingApplication> application_ = Make<HoldingApplication>();
};

class HeldRequestsOverEither : public HeldRequests, public ::testing::WithParamInterface<int32_t> {
 protected:
  void StartServer(int32_t idleTimeout = 0) { ASSERT_NO_FATAL_FAILURE(Start(GetParam(), idleTimeout)); }
};

TEST_P(HeldRequestsOverEither, AFullCountHoldsTheClientBackUntilTheApplicationAnswers) {
  ASSERT_NO_FATAL_FAILURE(StartServer());
  constexpr size_t kRequests = 200;
  constexpr size_t kFull = kMaxQueuedRequests;
  constexpr size_t kFirstAnswers = 10;
  std::vector<std::string> requests;
  for (size_t i = 0; i < kRequests; ++i) requests.push_back(Request(i));
  std::atomic<bool> sent{false};
  std::atomic<size_t> answersRead{0};
  {
    ClientThread client(*loop_, [&] {
      std::unique_ptr<RequestClient> connection = NewClient();
      if (!connection->LogIn() || !connection->Send(requests)) return;
      sent = true;
      // Every answer, in the order of the requests: an answer out of order is read past.
      const auto deadline = Clock::now() + 40s;
      for (const std::string& request : requests) {
        if (!connection->ReadUntil(AnswerTo(request), Left(deadline))) return;
        ++answersRead;
      }
    });
    ASSERT_TRUE(Serve([&] { return application_->ReceivedCount() >= kFull; }, 20s))
        << application_->ReceivedCount() << " requests raised, sent: " << sent.load();
    ServeFor(500ms);
    EXPECT_EQ(application_->ReceivedCount(), kFull) << "no request while the count is full";
    EXPECT_EQ(answersRead.load(), 0u);

    application_->Answer(kFirstAnswers);
    EXPECT_TRUE(Serve([&] { return answersRead.load() >= kFirstAnswers; }, 10s)) << answersRead.load();
    ServeFor(500ms);
    EXPECT_EQ(application_->ReceivedCount(), kFull + kFirstAnswers) << "as many more as were answered";
    EXPECT_EQ(answersRead.load(), kFirstAnswers);

    // Answering whatever has come lets the rest through.
    EXPECT_TRUE(Serve(
        [&] {
          application_->AnswerAll();
          return client.Done();
        },
        40s));
  }
  EXPECT_EQ(answersRead.load(), kRequests);
  EXPECT_EQ(application_->Received(), requests);
}

// A client that sends its requests and stops sending: a few, or more than the application takes
// at once (the rest are read after the first answers, the end of the client's input with them).
class HeldRequestsOfAStoppedClient : public HeldRequests,
                                     public ::testing::WithParamInterface<std::tuple<int32_t, size_t>> {};

TEST_P(HeldRequestsOfAStoppedClient, GetsTheAnswersGivenLater) {
  const auto [protocol, count] = GetParam();
  ASSERT_NO_FATAL_FAILURE(Start(protocol));
  std::vector<std::string> requests;
  for (size_t i = 0; i < count; ++i) requests.push_back(Request(i));
  const size_t firstRaised = std::min(count, kMaxQueuedRequests);
  std::atomic<bool> stoppedSending{false};
  bool answered = false, ended = false;
  {
    ClientThread client(*loop_, [&] {
      std::unique_ptr<RequestClient> connection = NewClient();
      if (!connection->LogIn() || !connection->Send(requests)) return;
      connection->StopSending();
      stoppedSending = true;
      const auto deadline = Clock::now() + 20s;
      answered = true;
      for (const std::string& request : requests) {
        answered = answered && connection->ReadUntil(AnswerTo(request), Left(deadline));
      }
      // Its last answer given, the connection has no reason to stay.
      ended = connection->EndedWithin(5s);
    });
    ASSERT_TRUE(Serve([&] { return stoppedSending.load() && application_->ReceivedCount() == firstRaised; }, 20s));
    ServeFor(1s);  // the application's work on the requests
    EXPECT_FALSE(client.Done()) << "the connection ended before its answers";
    EXPECT_EQ(application_->ReceivedCount(), firstRaised);
    EXPECT_TRUE(Serve(
        [&] {
          application_->AnswerAll();
          return client.Done();
        },
        30s));
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(ended);
  EXPECT_EQ(application_->Received(), requests);
  EXPECT_TRUE(Serve([&] { return application_->Disconnected(); }, 10s));
}

INSTANTIATE_TEST_SUITE_P(ProtocolsAndCounts, HeldRequestsOfAStoppedClient,
                         ::testing::Combine(::testing::Values(kProtocolTelnet, kProtocolSsh),
                                            ::testing::Values(size_t{3}, kMaxQueuedRequests + 36)),
                         [](const ::testing::TestParamInfo<std::tuple<int32_t, size_t>>& info) {
                           return ProtocolName(std::get<0>(info.param)) + "_" +
                                  std::to_string(std::get<1>(info.param)) + "Requests";
                         });

TEST_P(HeldRequestsOverEither, AClientWaitingForItsAnswersIsNotIdle) {
  constexpr int32_t kIdleSeconds = 1;
  ASSERT_NO_FATAL_FAILURE(StartServer(kIdleSeconds));
  bool answered = false, endedWhenIdle = false;
  {
    ClientThread client(*loop_, [&] {
      std::unique_ptr<RequestClient> connection = NewClient();
      if (!connection->LogIn() || !connection->Send({Request(0)})) return;
      answered = connection->ReadUntil(AnswerTo(Request(0)), 20s);
      // Answered, the client is idle again, and the idle limit applies.
      endedWhenIdle = connection->EndedWithin(std::chrono::seconds(kIdleSeconds) + 5s);
    });
    ASSERT_TRUE(Serve([&] { return application_->ReceivedCount() == 1; }, 20s));
    ServeFor(std::chrono::milliseconds(kIdleSeconds * 2500));  // the application's work, longer than the limit
    EXPECT_FALSE(client.Done()) << "the connection ended as idle while its answer was pending";
    application_->AnswerAll();
    EXPECT_TRUE(Serve([&] { return client.Done(); }, 30s));
  }
  EXPECT_TRUE(answered);
  EXPECT_TRUE(endedWhenIdle);
}

INSTANTIATE_TEST_SUITE_P(Protocols, HeldRequestsOverEither, ::testing::Values(kProtocolTelnet, kProtocolSsh),
                         [](const ::testing::TestParamInfo<int32_t>& info) { return ProtocolName(info.param); });

// The answers the client waits for never come: it is let go after the drain time. (Once only,
// over Telnet: it takes that long.)
TEST_F(HeldRequests, AClientThatStopsSendingIsLetGoAfterTheDrainTimeWhenAnswersNeverCome) {
  ASSERT_NO_FATAL_FAILURE(Start(kProtocolTelnet));
  bool ended = false;
  std::chrono::milliseconds waited{};
  {
    ClientThread client(*loop_, [&] {
      std::unique_ptr<RequestClient> connection = NewClient();
      if (!connection->LogIn() || !connection->Send({Request(0)})) return;
      connection->StopSending();
      const auto stopped = Clock::now();
      ended = connection->EndedWithin(kAnswerDrainTime + 10s);
      waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopped);
    });
    EXPECT_TRUE(Serve([&] { return client.Done(); }, kAnswerDrainTime + 30s));
  }
  EXPECT_TRUE(ended);
  EXPECT_GE(waited, kAnswerDrainTime - 1s) << waited.count() << " ms";
  EXPECT_LE(waited, kAnswerDrainTime + 5s) << waited.count() << " ms";
  EXPECT_EQ(application_->ReceivedCount(), 1u);
}

}  // namespace
}  // namespace vorlane::termserver
