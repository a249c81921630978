// The SSH server against the OpenSSH client: shells, requests and their answers, and the ways
// a session ends.
#include "platform/termserver/ssh_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <thread>

#include "platform/termserver/limits.h"
#include "platform/termserver/tests/fake_connection.h"
#include "platform/termserver/tests/ssh_flood_client.h"
#include "platform/termserver/tests/ssh_test_harness.h"
#include "testing/poll_until.h"

namespace vorlane::termserver::testing {
namespace {

const std::string kRequest = "#keycount=1#requestaction=agentinfo#";

bool Has(const Strings& events, const std::string& prefix) {
  return std::any_of(events.begin(), events.end(), [&](const std::string& e) { return e.rfind(prefix, 0) == 0; });
}

// The application answers every request, as the agent does, from inside Received.
void AnswerRequests(FakeConnection& fake) {
  fake.onReceived = [&fake](int32_t channel, const std::string& request) {
    fake.Send(channel, "answer:" + request + "\r\n");
  };
}

TEST(SshSession, LoginShellAndOneRequestAnswered) {
  ASSERT_NE(&SharedSshServer(), nullptr);
  FakeConnection fake;
  AnswerRequests(fake);
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  ssh.Input(kRequest + "\n");
  ssh.CloseInput();
  auto status = ssh.Wait(30s);
  ASSERT_TRUE(status) << ssh.output();
  EXPECT_EQ(*status, 0) << ssh.output();
  EXPECT_NE(ssh.output().find("answer:" + kRequest + "\r\n"), std::string::npos) << ssh.output();
  ASSERT_TRUE(served.Done(10s));
  EXPECT_EQ(fake.Events(), (Strings{"LoginPassword:monitor:secret", "ServiceRequest:0:1", "ServiceStart:0:0:shell",
                                    "Received:0:" + kRequest}));
}

TEST(SshSession, RequestEndingInHashWithoutLineEndCompletesAfterQuietTime) {
  FakeConnection fake;
  AnswerRequests(fake);
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  ssh.Input(kRequest);
  // The input stays open: only the quiet time can complete the request.
  ASSERT_TRUE(ssh.WaitForOutput("answer:" + kRequest, 30s)) << ssh.output();
  ssh.CloseInput();
  ASSERT_TRUE(ssh.Wait(30s));
  ASSERT_TRUE(served.Done(10s));
  const Strings events = fake.Events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "Received:0:" + kRequest), 1);
}

// Longer than the quiet time that ends a request ending with '#' from a client without line ends.
constexpr auto kPauseAfterHash = 3 * kHashRequestQuietTime;

Strings ReceivedEvents(const Strings& events) {
  Strings received;
  std::copy_if(events.begin(), events.end(), std::back_inserter(received),
               [](const std::string& e) { return e.rfind("Received:", 0) == 0; });
  return received;
}

TEST(SshSession, APauseAfterAHashDoesNotCutALineEndedRecord) {
  FakeConnection fake;
  AnswerRequests(fake);
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  ssh.Input("#a=1#\r\n");
  ASSERT_TRUE(ssh.WaitForOutput("answer:#a=1#\r\n", 30s)) << ssh.output();
  // The next record pauses after a '#': waiting out the pause for an answer, none comes.
  ssh.Input("#b=2#");
  EXPECT_FALSE(ssh.WaitForOutput("answer:#b=2#\r\n", kPauseAfterHash)) << "the first part was taken for a request";
  ssh.Input("c=3#\r\n");
  ASSERT_TRUE(ssh.WaitForOutput("answer:#b=2#c=3#\r\n", 30s)) << ssh.output();
  ssh.CloseInput();
  ASSERT_TRUE(ssh.Wait(30s));
  ASSERT_TRUE(served.Done(10s));
  EXPECT_EQ(ReceivedEvents(fake.Events()), (Strings{"Received:0:#a=1#", "Received:0:#b=2#c=3#"}));
}

TEST(SshSession, RequestsWithoutLineEndsEachCompleteAfterQuietTime) {
  FakeConnection fake;
  AnswerRequests(fake);
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  const Strings requests = {"#a=1#", "#b=2#", "#c=3#"};
  for (const std::string& request : requests) {
    ssh.Input(request);
    ASSERT_TRUE(ssh.WaitForOutput("answer:" + request, 30s)) << ssh.output();
  }
  ssh.CloseInput();
  ASSERT_TRUE(ssh.Wait(30s));
  ASSERT_TRUE(served.Done(10s));
  EXPECT_EQ(ReceivedEvents(fake.Events()), (Strings{"Received:0:#a=1#", "Received:0:#b=2#", "Received:0:#c=3#"}));
}

TEST(SshSession, SeveralRequestsInOneWriteEachAnsweredInOrder) {
  FakeConnection fake;
  AnswerRequests(fake);
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  ssh.Input("#a=1#\r\n#b=2#\n#c=3#");
  ssh.CloseInput();
  ASSERT_TRUE(ssh.Wait(30s));
  EXPECT_NE(ssh.output().find("answer:#a=1#\r\nanswer:#b=2#\r\nanswer:#c=3#\r\n"), std::string::npos) << ssh.output();
  ASSERT_TRUE(served.Done(10s));
}

// A client that sends its last requests and leaves at once (a logout, then gone without an end
// of input) still has them raised, however it leaves; its session must not be left behind. The
// application is busy with the first request while the rest and the end arrive.
TEST(SshSession, RequestsSentJustBeforeTheClientLeavesAreStillRaised) {
  enum class Leaving { kCloseChannelAndDisconnect, kDisconnect, kShutSocket };
  const std::string logout = "#keycount=2#requestaction=logout#sessionid=F00D#";
  for (const Leaving leaving : {Leaving::kCloseChannelAndDisconnect, Leaving::kDisconnect, Leaving::kShutSocket}) {
    SCOPED_TRACE(static_cast<int>(leaving));
    FakeConnection fake;
    std::atomic<bool> busy{true};
    fake.onReceived = [&busy](int32_t, const std::string&) {
      for (int i = 0; i < 1000 && busy; ++i) std::this_thread::sleep_for(1ms);  // the application's work
    };
    ServedPort served(fake);
    SshFloodClient client(served.port(), "monitor", "secret");
    ASSERT_TRUE(client.Connect(1));
    ASSERT_TRUE(client.Write("#a=1#\n"));
    ASSERT_TRUE(testkit::PollUntil([&] { return ReceivedEvents(fake.Events()).size() == 1; }, 10s));
    ASSERT_TRUE(client.Write("#b=2#\r\n" + logout));  // the last one without a line end
    if (leaving == Leaving::kShutSocket) {
      client.Abandon();
    } else {
      client.Leave(leaving == Leaving::kCloseChannelAndDisconnect);
    }
    busy = false;
    ASSERT_TRUE(served.Done(10s));
    EXPECT_EQ(ReceivedEvents(fake.Events()), (Strings{"Received:0:#a=1#", "Received:0:#b=2#", "Received:0:" + logout}));
  }
}

TEST(SshSession, TerminalSessionWithPtyServesRequests) {
  FakeConnection fake;
  AnswerRequests(fake);
  fake.onServiceStart = [&fake](int32_t channel, int32_t) { fake.Send(channel, "ready\r\n"); };
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {"-tt"}));
  ASSERT_TRUE(ssh.WaitForOutput("ready", 30s)) << ssh.output();
  ssh.Input(kRequest + "\r");
  ASSERT_TRUE(ssh.WaitForOutput("answer:" + kRequest, 30s)) << ssh.output();
  fake.Close();
  ASSERT_TRUE(served.Done(10s));
  EXPECT_TRUE(ssh.Wait(30s));
}

TEST(SshSession, OutputQueuedOutsideAnEventReachesTheClient) {
  FakeConnection fake;
  fake.onServiceStart = [&fake](int32_t channel, int32_t) { fake.Send(channel, "ready\r\n"); };
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  ASSERT_TRUE(ssh.WaitForOutput("ready", 30s)) << ssh.output();
  fake.Send(0, "news from the agent\r\n");  // from this thread, as an alarm would be
  EXPECT_TRUE(ssh.WaitForOutput("news from the agent", 30s)) << ssh.output();
  fake.Send(7, "to a channel that does not exist\r\n");  // dropped, harmlessly
  ssh.CloseInput();
  ASSERT_TRUE(ssh.Wait(30s));
  ASSERT_TRUE(served.Done(10s));
}

TEST(SshSession, ExecRefused) {
  FakeConnection fake;
  const RefusedClient client =
      RunRefusedClient(fake, [](int port) { return SshCommand(port, "secret", {}, {"echo", "hello"}); });
  EXPECT_EQ(client.output.find("hello"), std::string::npos);
  const Strings& events = client.events;
  EXPECT_TRUE(Has(events, "LoginPassword:monitor:secret"));
  EXPECT_FALSE(Has(events, "ServiceRequest"));
  EXPECT_FALSE(Has(events, "ServiceStart"));
}

TEST(SshSession, ShellRefusedByTheApplication) {
  FakeConnection fake;
  fake.serviceAnswer = 99;
  const Strings events = RunRefusedClient(fake, [](int port) { return SshCommand(port, "secret", {}); }).events;
  EXPECT_TRUE(Has(events, "ServiceRequest:0:1"));
  EXPECT_FALSE(Has(events, "ServiceStart"));
}

TEST(SshSession, ApplicationCloseEndsALiveSessionQuickly) {
  FakeConnection fake;
  fake.onServiceStart = [&fake](int32_t channel, int32_t) { fake.Send(channel, "ready\r\n"); };
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  ASSERT_TRUE(ssh.WaitForOutput("ready", 30s)) << ssh.output();
  const auto closed = Clock::now();
  fake.Close();
  ASSERT_TRUE(served.Done(5s));
  EXPECT_LT(Clock::now() - closed, 2s);
  auto status = ssh.Wait(10s);  // the client sees the end, with its input still open
  ASSERT_TRUE(status);
}

TEST(SshSession, IdleSessionClosed) {
  FakeConnection fake;
  fake.idleTimeout = 1s;
  fake.onServiceStart = [&fake](int32_t channel, int32_t) { fake.Send(channel, "ready\r\n"); };
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  ASSERT_TRUE(ssh.WaitForOutput("ready", 30s)) << ssh.output();
  const auto ready = Clock::now();
  ASSERT_TRUE(served.Done(10s));
  EXPECT_GE(Clock::now() - ready, 500ms);  // not before the client was quiet for a while
  ASSERT_TRUE(ssh.Wait(10s));
}

TEST(SshSession, DataKeepsASessionFromBeingIdle) {
  FakeConnection fake;
  fake.idleTimeout = 2s;
  AnswerRequests(fake);
  ServedPort served(fake);
  ChildProcess ssh(SshCommand(served.port(), "secret", {}));
  // Three requests, each 1.5 s apart as the client's own answers pace them, span more than the
  // idle time, yet every one is answered.
  for (int i = 0; i < 3; ++i) {
    const std::string request = "#n=" + std::to_string(i) + "#";
    ssh.Input(request + "\n");
    ASSERT_TRUE(ssh.WaitForOutput("answer:" + request, 30s)) << ssh.output();
    EXPECT_FALSE(served.Done(1500ms));
  }
  ssh.CloseInput();
  ASSERT_TRUE(ssh.Wait(30s));
  ASSERT_TRUE(served.Done(10s));
}

}  // namespace
}  // namespace vorlane::termserver::testing
