// The TCP check component as its clients use it: the collection created by class id, jobs keyed
// and found, checks run against servers on loopback, outcomes read after JobDone or after
// IsRunning turned false.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/com/connection_point.h"
#include "platform/com/error_info.h"
#include "platform/com/late_binding.h"
#include "platform/com/text.h"
#include "platform/com/variant.h"
#include "tcpcheck/portwick.h"
#include "tcpcheck/tests/tcp_check_fixture.h"
#include "platform/com/registry.h"
#include "testing/debug_capture.h"
#include "testing/loop_pump.h"
#include "testing/peer_server.h"
#include "testing/poll_until.h"
#include "testing/scoped_env.h"
#include "testing/temp_dir.h"

namespace vorlane::tcpcheck::testing {
namespace {

using namespace vorlane::com;
using testkit::PeerServer;

constexpr char kGreetingMismatch[] = "Connection possible, but received data not correct (";
constexpr char kResponseMismatch[] = "Connection possible, but response on send not correct (";
constexpr char kExpected[] = "Connection possible and received expected data";

// --- Classes, registration and the collection's table.

TEST_F(TcpCheckTest, ClassesAreFoundByProgIdAndAnswerTheirInterfaces) {
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(kTcpCollectionIndependentProgId, &clsid), S_OK);
  EXPECT_EQ(clsid, kTcpCollectionClsid);
  EXPECT_EQ(CLSIDFromProgID(kTcpJobProgId, &clsid), S_OK);
  EXPECT_EQ(clsid, kTcpJobClsid);

  ComPtr<ISupportErrorInfo> errors;
  ASSERT_EQ(collection_->QueryInterface(ISupportErrorInfo::kIid, errors.put_void()), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(ItqCollThTCP::kIid), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(ItqThTCP::kIid), S_FALSE);

  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(collection_->QueryInterface(IConnectionPointContainer::kIid, container.put_void()), S_OK);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(ItqCollThTCPEvents::kIid, point.put()), S_OK);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, ItqCollThTCPEvents::kIid);
  ComPtr<IConnectionPoint> none;
  EXPECT_EQ(container->FindConnectionPoint(ItqThTCPEvents::kIid, none.put()), CONNECT_E_NOCONNECTION);

  ComPtr<ItqThTCP> job;
  ASSERT_EQ(CoCreateInstance(kTcpJobClsid, &job), S_OK);
  ASSERT_EQ(job->QueryInterface(ISupportErrorInfo::kIid, errors.put_void()), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(ItqThTCP::kIid), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(ItqCollThTCP::kIid), S_FALSE);
  EXPECT_EQ(IdOf(job.get()), 0);
  const Outcome fresh = OutcomeOf(job.get());
  EXPECT_FALSE(fresh.up);
  EXPECT_EQ(fresh.response, "");
  EXPECT_EQ(fresh.address, "");
}

// The build's class registry without the TCP client control.
std::string RegistryWithoutControl() {
  std::ifstream in(BuiltInClassRegistryPath());
  std::string out, line;
  bool skipping = false;
  for (int round = 0; round < 100'000 && std::getline(in, line); ++round) {
    if (line.starts_with("[")) skipping = line.find("63338110-F789-11CE-86F8-0020AFD8C6DB") != std::string::npos;
    if (!skipping) out += line + "\n";
  }
  return out;
}

TEST_F(TcpCheckTest, WithoutTheControlNoJobIsMadeAndTheClientIsToldWhy) {
  testkit::TempDir folder("portwick-registry");
  const auto registry = folder.WriteFile("classes.ini", RegistryWithoutControl());
  testkit::ScopedEnv env("VORLANE_CLASS_REGISTRY", registry.string());

  ComPtr<ItqThTCP> job;
  EXPECT_EQ(CoCreateInstance(kTcpJobClsid, &job), REGDB_E_CLASSNOTREG) << "the probe's own failure";
  EXPECT_FALSE(job);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(info.put()), S_OK);
  Bstr description, source;
  EXPECT_EQ(info->GetDescription(description.put()), S_OK);
  EXPECT_EQ(info->GetSource(source.put()), S_OK);
  EXPECT_EQ(description.ToUtf8(), "Can not create the instance of kelpline component");
  EXPECT_EQ(source.ToUtf8(), "tqThTCP");

  testkit::DebugCapture capture;
  EXPECT_EQ(collection_->Add(job.put()), E_FAIL);
  EXPECT_FALSE(job);
  EXPECT_EQ(Count(), 0);
  EXPECT_NE(capture.Text().find("tqCollThTCP::Exception in Add"), std::string::npos) << capture.Text();
}

TEST_F(TcpCheckTest, IdsAreKeysThatComeBackToZeroOnlyWhenTheTableEmpties) {
  EXPECT_EQ(Count(), 0);
  EXPECT_FALSE(CollectionRunning());
  EXPECT_TRUE(AllChecked());

  ComPtr<ItqThTCP> a = Add(), b = Add(), c = Add();
  EXPECT_EQ(IdOf(a.get()), 0);
  EXPECT_EQ(IdOf(b.get()), 1);
  EXPECT_EQ(IdOf(c.get()), 2);
  EXPECT_EQ(collection_->Remove(1), S_OK);
  EXPECT_EQ(IdOf(b.get()), -1) << "a removed job the client holds is a stand-alone job";
  EXPECT_EQ(IdOf(Add().get()), 3);
  EXPECT_EQ(collection_->Remove(42), S_FALSE);
  EXPECT_EQ(Count(), 3);
  for (int32_t id : {0, 2, 3}) EXPECT_EQ(collection_->Remove(id), S_OK);
  EXPECT_EQ(IdOf(Add().get()), 0);
  EXPECT_EQ(IdOf(Add().get()), 1);
  EXPECT_EQ(collection_->Clear(), S_OK);
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(IdOf(Add().get()), 0);
}

TEST_F(TcpCheckTest, ItemAndAtFindJobsByKeyAndByPosition) {
  ComPtr<ItqThTCP> a = Add(), b = Add(), c = Add();
  ASSERT_EQ(collection_->Remove(0), S_OK);

  ComPtr<ItqThTCP> found;
  EXPECT_EQ(collection_->Item(2, found.put()), S_OK);
  EXPECT_EQ(found.get(), c.get());
  EXPECT_EQ(collection_->Item(0, found.put()), E_FAIL);
  EXPECT_FALSE(found);
  EXPECT_EQ(collection_->Item(0, nullptr), E_POINTER);

  EXPECT_EQ(collection_->At(0, found.put()), S_OK);
  EXPECT_EQ(found.get(), b.get()) << "position 0 is the lowest id";
  EXPECT_EQ(collection_->At(1, found.put()), S_OK);
  EXPECT_EQ(found.get(), c.get());
  for (int32_t index : {-1, 2}) {
    testkit::DebugCapture capture;
    EXPECT_EQ(collection_->At(index, found.put()), DISP_E_BADINDEX) << index;
    EXPECT_FALSE(found);
    EXPECT_NE(capture.Text().find("tqCollThTCP::Exception in At"), std::string::npos) << capture.Text();
  }

  // Late bound: Item is the default member.
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(collection_->QueryInterface(IDispatch::kIid, dispatch.put_void()), S_OK);
  Variant result;
  ASSERT_EQ(CallMethod(dispatch.get(), DISPID{kCollItem}, {Variant(int32_t{1})}, result.put()), S_OK);
  ComPtr<IDispatch> item;
  ASSERT_EQ(ValueOf(result, &item), S_OK);
  ComPtr<ItqThTCP> viaDispatch;
  ASSERT_EQ(item->QueryInterface(ItqThTCP::kIid, viaDispatch.put_void()), S_OK);
  EXPECT_EQ(viaDispatch.get(), b.get());
}

TEST_F(TcpCheckTest, AllCheckedReadsTheClientsMarks) {
  ComPtr<ItqThTCP> a = Add(), b = Add();
  EXPECT_FALSE(AllChecked());
  EXPECT_EQ(a->put_Checked(VARIANT_TRUE), S_OK);
  EXPECT_FALSE(AllChecked());
  EXPECT_EQ(b->put_Checked(VARIANT_TRUE), S_OK);
  EXPECT_TRUE(AllChecked());
  EXPECT_EQ(b->put_hm_ID(77), S_OK);
  int32_t tag = 0;
  EXPECT_EQ(b->get_hm_ID(&tag), S_OK);
  EXPECT_EQ(tag, 77);
  EXPECT_EQ(b->get_hm_ID(nullptr), E_POINTER);
  EXPECT_EQ(b->get_TCPHostResponse(nullptr), E_POINTER);
}

TEST_F(TcpCheckTest, CheckRefusesArgumentsItCannotRunWith) {
  struct Case {
    const char* what;
    const char16_t* host;  // null: a null BSTR
    int32_t port;
    int32_t timeout;
  };
  const Case cases[] = {
      {"null host", nullptr, 25, 5},   {"empty host", u"", 25, 5},      {"port 0", u"127.0.0.1", 0, 5},
      {"port -1", u"127.0.0.1", -1, 5}, {"timeout 0", u"127.0.0.1", 25, 0}, {"timeout -3", u"127.0.0.1", 25, -3},
  };
  ComPtr<ItqThTCP> job = Add();
  for (const Case& c : cases) {
    Bstr host = c.host != nullptr ? Bstr(c.host) : Bstr();
    EXPECT_EQ(job->Check(host.get(), c.port, c.timeout, nullptr, 0, nullptr, nullptr, 0, nullptr, VARIANT_TRUE,
                         VARIANT_FALSE),
              E_INVALIDARG)
        << c.what;
    EXPECT_FALSE(Running(job.get())) << c.what;
  }
}

// --- Outcomes of whole runs.

struct RunCase {
  const char* what;
  PeerServer::Behaviour server;  // none: a closed port
  CheckParameters parameters;
  bool up;
  std::string response;
  std::string received = {};  // what the server must have received, when not empty
};

TEST_F(TcpCheckTest, RunsEndWithTheOutcomeOfTheirExchange) {
  std::vector<RunCase> cases;
  cases.push_back({"closed port", nullptr, {}, false, "Connection not possible"});
  cases.push_back({"nothing to exchange, mode 1 notwithstanding", Greets("220 ready\r\n"),
                   {.greetingMode = 1}, true, "Connection possible"});
  cases.push_back({"a timeout beyond the control's 16 bits", Greets("220 ready\r\n"), {.timeout = 40000}, true,
                   "Connection possible"});
  cases.push_back({"greeting contains", Greets("220 mail ready\r\n"), {.greeting = u"220", .greetingMode = 2}, true,
                   std::string(kExpected) + " (220 mail ready)"});
  cases.push_back({"greeting does not equal", Greets("220 mail ready\r\n"), {.greeting = u"220", .greetingMode = 3},
                   false, std::string(kGreetingMismatch) + "220 mail ready)"});
  cases.push_back({"blanks around the expected text", Greets("  OK \r\n"), {.greeting = u"  OK  ", .greetingMode = 3},
                   true, std::string(kExpected) + " (  OK )"});
  cases.push_back({"mode 3 compares the first line without its line end", Greets("OK\r\n+OK more\r\n"),
                   {.greeting = u" OK\\x0D\\x0A", .greetingMode = 3}, true, std::string(kExpected) + " (OK)"});
  cases.push_back({"a binary probe, byte for byte", Answers("", "\xFF\x10", "\xFF\x01"),
                   {.send = u"\\xFF\\x00\\x10", .response = u"\\xFF\\x01", .responseMode = 2}, true, kExpected,
                   "\xFF\x10"});
  cases.push_back({"escapes in the expected text", Greets("A\tB\r\n"), {.greeting = u"A\\x09B", .greetingMode = 2},
                   true, std::string(kExpected) + " (A\tB)"});
  cases.push_back({"mode 1 waits for any greeting before it sends", Answers("220 hi\r\n", "QUIT\r\n", ""),
                   {.greetingMode = 1, .send = u"QUIT\\x0d\\x0A"}, true, std::string(kExpected) + " (220 hi)",
                   "QUIT\r\n"});
  cases.push_back({"escapes: \\x00 is nothing, a trailing \\x4 is dropped", Answers("", "AB", ""),
                   {.send = u"A\\x00B\\x4"}, true, kExpected, "AB"});
  cases.push_back({"response contains", Answers("220 ready\r\n", "HELO\r\n", "250 ok\r\n"),
                   {.greeting = u"220", .greetingMode = 2, .send = u"HELO\\x0D\\x0A", .response = u"250",
                    .responseMode = 2},
                   true, std::string(kExpected) + " (220 ready)", "HELO\r\n"});
  cases.push_back({"response does not contain", Answers("220 ready\r\n", "HELO\r\n", "500 no\r\n"),
                   {.greeting = u"220", .greetingMode = 2, .send = u"HELO\\x0D\\x0A", .response = u"250",
                    .responseMode = 2},
                   false, std::string(kResponseMismatch) + "500 no)"});
  cases.push_back({"a greeting in pieces is compared whole", GreetsInPieces({"220 ", "ready\r\n"}, 50ms),
                   {.greeting = u"220 ready", .greetingMode = 3}, true, std::string(kExpected) + " (220 ready)"});
  cases.push_back({"a server that closes at once sends nothing", ClosesAtOnce,
                   {.timeout = 1, .greeting = u"220", .greetingMode = 2}, false, std::string(kGreetingMismatch) + ")"});
  cases.push_back({"a silent server", Silent, {.timeout = 1, .greeting = u"220", .greetingMode = 3}, false,
                   std::string(kGreetingMismatch) + ")"});

  for (RunCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<PeerServer> server;
    if (c.server) {
      server = std::make_unique<PeerServer>(c.server);
      ASSERT_TRUE(server->ok());
      c.parameters.port = server->port();
    } else {
      c.parameters.port = testkit::ClosedPort();
    }
    const Outcome outcome = RunCheck(c.parameters);
    EXPECT_EQ(outcome.up, c.up);
    EXPECT_EQ(outcome.response, c.response);
    EXPECT_EQ(outcome.address, "127.0.0.1");
    if (!c.received.empty()) {
      EXPECT_TRUE(testkit::PollUntil([&] { return server->Received().size() >= c.received.size(); }, 10s));
      EXPECT_EQ(server->Received().substr(0, c.received.size()), c.received);
    }
  }
}

TEST_F(TcpCheckTest, AMegabyteGreetingIsJudgedWhole) {
  const std::string greeting = "220 " + std::string(1 << 20, 'x') + "\r\n";
  PeerServer server(Greets(greeting));
  ASSERT_TRUE(server.ok());
  const Outcome outcome = RunCheck({.port = server.port(), .timeout = 5, .greeting = u"220 xx", .greetingMode = 2});
  EXPECT_TRUE(outcome.up) << outcome.response.substr(0, 200);
  EXPECT_EQ(outcome.response.rfind(std::string(kExpected) + " (220 xx", 0), 0u) << outcome.response.substr(0, 200);
  EXPECT_EQ(outcome.response.back(), ')');
  EXPECT_LE(outcome.response.size(), greeting.size() + 64);
}

TEST_F(TcpCheckTest, ASilentServerIsWaitedForUntilTheWholeSecondsPassTheTimeout) {
  PeerServer server(Silent);
  ASSERT_TRUE(server.ok());
  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = RunCheck({.port = server.port(), .timeout = 1, .greeting = u"220", .greetingMode = 2});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(outcome.response, std::string(kGreetingMismatch) + ")");
  EXPECT_GE(took, 1900ms) << "elapsed whole seconds must exceed the timeout";
  EXPECT_LT(took, 6s);
}

// The closing line's wait ends on the server's answer, after a response phase too.
TEST_F(TcpCheckTest, TheClosingWaitEndsOnTheAnswer) {
  struct Case {
    const char* what;
    bool responsePhase;
    std::chrono::milliseconds atLeast, below;
  };
  const Case cases[] = {{"no response phase", false, 0ms, 1500ms}, {"after a response phase", true, 0ms, 1500ms}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PeerServer server([](testkit::PeerConnection& peer) {
      (void)peer.Send("220 ready\r\n");
      std::string received;
      for (int round = 0; round < 1000 && !peer.Closed(); ++round) {
        const std::string piece = peer.Receive(10s);
        received += piece;
        if (piece.find("NOOP") != std::string::npos) (void)peer.Send("250 ok\r\n");
        if (piece.find("QUIT") != std::string::npos) (void)peer.Send("221 bye\r\n");
      }
    });
    ASSERT_TRUE(server.ok());
    CheckParameters parameters{.port = server.port(), .timeout = 1, .greeting = u"220", .greetingMode = 2, .closing = u"QUIT"};
    if (c.responsePhase) {
      parameters.send = u"NOOP\\x0D\\x0A";
      parameters.response = u"250";
      parameters.responseMode = 2;
    }
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = RunCheck(parameters);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(outcome.up);
    EXPECT_EQ(outcome.response, std::string(kExpected) + " (220 ready)");
    EXPECT_GE(took, c.atLeast);
    EXPECT_LT(took, c.below);
    EXPECT_TRUE(testkit::PollUntil([&] { return server.Received().find("QUIT\r\n") != std::string::npos; }, 10s))
        << server.Received();
  }
}

// Wait on disconnect: true closes gracefully (the server reads an end of stream), false resets.
TEST_F(TcpCheckTest, WaitOnDisconnectChoosesAGracefulCloseOrAReset) {
  struct Case {
    const char* what;
    bool linger;
    // A server that greets a client that resets at once could lose the reset to its own send:
    // where nothing is exchanged, the server says nothing.
    std::string greeting;
    CheckParameters parameters;
  };
  const Case cases[] = {
      {"graceful, nothing exchanged", true, "", {}},
      {"reset, nothing exchanged", false, "", {}},
      {"graceful after a greeting", true, "220 ready\r\n", {.greeting = u"220", .greetingMode = 2}},
      {"reset after a greeting", false, "220 ready\r\n", {.greeting = u"220", .greetingMode = 2}},
      {"graceful after a mismatch", true, "220 ready\r\n", {.greeting = u"500", .greetingMode = 2}},
      {"reset after a mismatch", false, "220 ready\r\n", {.greeting = u"500", .greetingMode = 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClientEnd end;
    PeerServer server(Greets(c.greeting, &end));
    ASSERT_TRUE(server.ok());
    CheckParameters parameters = c.parameters;
    parameters.port = server.port();
    parameters.linger = c.linger;
    (void)RunCheck(parameters);
    ASSERT_TRUE(testkit::PollUntil([&] { return end.closes + end.resets == 1; }, 10s));
    EXPECT_EQ(end.resets.load(), c.linger ? 0 : 1);
    EXPECT_EQ(end.closes.load(), c.linger ? 1 : 0);
  }
}

// --- Polling, events and lifetimes.

TEST_F(TcpCheckTest, IsRunningTurnsFalseOnlyWhenTheRunHasEnded) {
  PeerServer server(Silent);
  ASSERT_TRUE(server.ok());
  ComPtr<ItqThTCP> job = Add();
  ASSERT_EQ(StartCheck(job, {.port = server.port(), .timeout = 1, .greeting = u"x", .greetingMode = 2}), S_OK);
  EXPECT_TRUE(Running(job.get()));
  EXPECT_TRUE(CollectionRunning());
  EXPECT_EQ(StartCheck(job, {.port = server.port()}), E_FAIL) << "a running job refuses a second check";
  ASSERT_TRUE(WaitIdle(job.get()));
  EXPECT_FALSE(CollectionRunning());
  EXPECT_EQ(OutcomeOf(job.get()).response, std::string(kGreetingMismatch) + ")");

  // An idle job runs again, and each run overwrites the outcome.
  PeerServer greeter(Greets("220 ready\r\n"));
  ASSERT_EQ(StartCheck(job, {.port = greeter.port(), .greeting = u"220", .greetingMode = 2}), S_OK);
  ASSERT_TRUE(WaitIdle(job.get()));
  EXPECT_EQ(OutcomeOf(job.get()).response, std::string(kExpected) + " (220 ready)");
}

TEST_F(TcpCheckTest, JobDoneReachesEveryAdvisedSinkInTheClientsApartmentBeforeTheJobIsIdle) {
  PeerServer server(Greets("220 ready\r\n"));
  ASSERT_TRUE(server.ok());
  auto first = Make<JobDoneSink>();
  auto second = Make<JobDoneSink>();
  const std::thread::id client = std::this_thread::get_id();
  std::vector<bool> runningInHandler;
  ComPtr<ItqThTCP> job = Add();
  ComPtr<ItqThTCP> other = Add();
  second->onDone = [&](int32_t id) {
    EXPECT_EQ(std::this_thread::get_id(), client);
    ComPtr<ItqThTCP> found;
    EXPECT_EQ(collection_->Item(id, found.put()), S_OK);
    if (found) runningInHandler.push_back(Running(found.get()));
  };
  const uint32_t firstCookie = Advise(static_cast<IDispatch*>(first.get()));
  Advise(static_cast<IDispatch*>(second.get()));

  ASSERT_EQ(StartCheck(job, {.port = server.port()}), S_OK);
  ASSERT_TRUE(testkit::PumpUntil(*loop_, [&] { return first->Count() == 1 && second->Count() == 1; }, 10s));
  EXPECT_EQ(first->Ids(), std::vector<int32_t>{0});
  EXPECT_EQ(second->Ids(), std::vector<int32_t>{0});
  EXPECT_EQ(runningInHandler, std::vector<bool>{true}) << "JobDone comes before IsRunning turns false";

  // After its Unadvise a sink hears nothing more; the other one still does.
  Unadvise(firstCookie);
  ASSERT_EQ(StartCheck(other, {.port = server.port()}), S_OK);
  ASSERT_TRUE(testkit::PumpUntil(*loop_, [&] { return second->Count() == 2; }, 10s));
  ASSERT_TRUE(WaitIdle(other.get()));
  EXPECT_EQ(first->Count(), 1u);
  EXPECT_EQ(second->Ids(), (std::vector<int32_t>{0, 1}));
}

TEST_F(TcpCheckTest, AHandlerMayAdviseAndUnadviseWhileAWorkerWaitsForIt) {
  PeerServer server(Greets("220 ready\r\n"));
  ASSERT_TRUE(server.ok());
  auto sink = Make<JobDoneSink>();
  auto late = Make<JobDoneSink>();
  uint32_t cookie = Advise(static_cast<IDispatch*>(sink.get()));
  sink->onDone = [&](int32_t) {
    Unadvise(cookie);
    (void)Advise(static_cast<IDispatch*>(late.get()));
  };
  (void)RunCheck({.port = server.port()});
  EXPECT_EQ(sink->Count(), 1u);
  (void)RunCheck({.port = server.port()});
  EXPECT_EQ(sink->Count(), 1u);
  EXPECT_EQ(late->Count(), 1u);
}

TEST_F(TcpCheckTest, ARemovedJobRunsToItsEndWithoutJobDoneAfterTheCollectionIsReleased) {
  PeerServer server(Silent);
  ASSERT_TRUE(server.ok());
  auto sink = Make<JobDoneSink>();
  Advise(static_cast<IDispatch*>(sink.get()));
  ComPtr<ItqThTCP> job = Add();
  ASSERT_EQ(StartCheck(job, {.port = server.port(), .timeout = 1, .greeting = u"220", .greetingMode = 2}), S_OK);
  ASSERT_EQ(collection_->Remove(0), S_OK);
  collection_.reset();
  ASSERT_TRUE(WaitIdle(job.get()));
  EXPECT_EQ(IdOf(job.get()), -1);
  EXPECT_EQ(OutcomeOf(job.get()).response, std::string(kGreetingMismatch) + ")");
  // Give a stray JobDone every chance to arrive.
  (void)testkit::PumpUntil(*loop_, [&] { return sink->Count() > 0; }, 300ms);
  EXPECT_EQ(sink->Count(), 0u);
}

// The run holds the collection: released by its client while a job in it still runs, it lives
// until the run has announced its end.
TEST_F(TcpCheckTest, ACollectionReleasedWhileItsJobRunsStillAnnouncesTheEnd) {
  PeerServer server(Silent);
  ASSERT_TRUE(server.ok());
  auto sink = Make<JobDoneSink>();
  Advise(static_cast<IDispatch*>(sink.get()));
  ComPtr<ItqThTCP> job = Add();
  ASSERT_EQ(StartCheck(job, {.port = server.port(), .timeout = 1, .greeting = u"220", .greetingMode = 2}), S_OK);
  collection_.reset();
  ASSERT_TRUE(testkit::PumpUntil(*loop_, [&] { return sink->Count() == 1; }, 10s));
  EXPECT_EQ(sink->Ids(), std::vector<int32_t>{0});
  ASSERT_TRUE(WaitIdle(job.get()));
  EXPECT_EQ(OutcomeOf(job.get()).response, std::string(kGreetingMismatch) + ")");
}

TEST_F(TcpCheckTest, AJobCreatedDirectlyRunsWithoutJobDone) {
  PeerServer server(Greets("220 ready\r\n"));
  ASSERT_TRUE(server.ok());
  auto sink = Make<JobDoneSink>();
  Advise(static_cast<IDispatch*>(sink.get()));
  ComPtr<ItqThTCP> job;
  ASSERT_EQ(CoCreateInstance(kTcpJobClsid, &job), S_OK);
  ASSERT_EQ(StartCheck(job, {.port = server.port(), .greeting = u"220", .greetingMode = 2}), S_OK);
  ASSERT_TRUE(WaitIdle(job.get()));
  EXPECT_EQ(OutcomeOf(job.get()).response, std::string(kExpected) + " (220 ready)");
  (void)testkit::PumpUntil(*loop_, [&] { return sink->Count() > 0; }, 300ms);
  EXPECT_EQ(sink->Count(), 0u);
}

TEST_F(TcpCheckTest, CheckLateBoundRunsAsTheVtableCall) {
  PeerServer server(Greets("220 ready\r\n"));
  ASSERT_TRUE(server.ok());
  ComPtr<ItqThTCP> job = Add();
  started_.push_back(job);
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(job->QueryInterface(IDispatch::kIid, dispatch.put_void()), S_OK);
  Variant result;
  ASSERT_EQ(CallMethod(dispatch.get(), u"Check",
                       {Variant(u"127.0.0.1"), Variant(int32_t{server.port()}), Variant(int32_t{2}), Variant(u"220"),
                        Variant(int32_t{3}), Variant(u""), Variant(u""), Variant(int32_t{0}), Variant(u""),
                        Variant(true), Variant(false)},
                       result.put()),
            S_OK);
  ASSERT_TRUE(WaitIdle(job.get()));
  bool up = true;
  ASSERT_EQ(GetProperty(dispatch.get(), kJobTcpHostUp, &up), S_OK);
  EXPECT_FALSE(up);
  std::string text;
  ASSERT_EQ(GetProperty(dispatch.get(), kJobTcpHostResponse, &text), S_OK);
  EXPECT_EQ(text, std::string(kGreetingMismatch) + "220 ready)");
}

TEST_F(TcpCheckTest, ARunTracesItsAddressChoicesInOrder) {
  PeerServer server(Greets(""));
  ASSERT_TRUE(server.ok());
  testkit::DebugCapture capture;
  (void)RunCheck({.port = server.port()});
  const std::string text = capture.Text();
  size_t at = 0;
  for (const char* line : {"UseIPv6=False", "127.0.0.1", "Succeeded to set the remote host", "127.0.0.1", "127.0.0.1"}) {
    at = text.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << " missing in order in:\n" << text;
    at += std::string_view(line).size();
  }
}

// The control takes the address family the job asks for.
TEST_F(TcpCheckTest, UseIpv6ReachesAnIpv6Server) {
  PeerServer server(Greets("220 six\r\n"), AF_INET6);
  ASSERT_TRUE(server.ok());
  const Outcome outcome =
      RunCheck({.host = u"::1", .port = server.port(), .greeting = u"six", .greetingMode = 2, .ipv6 = true});
  EXPECT_TRUE(outcome.up);
  EXPECT_EQ(outcome.response, std::string(kExpected) + " (220 six)");
  EXPECT_EQ(outcome.address, "::1");
}

TEST_F(TcpCheckTest, TwentyJobsAtOnceEachReportTheirOwnServer) {
  constexpr int kJobs = 20;
  std::vector<std::unique_ptr<PeerServer>> servers;
  std::vector<ComPtr<ItqThTCP>> jobs;
  auto sink = Make<JobDoneSink>();
  Advise(static_cast<IDispatch*>(sink.get()));
  for (int i = 0; i < kJobs; ++i) {
    // Every fifth server greets with something else: its job must fail on its own.
    const bool wrong = i % 5 == 4;
    servers.push_back(std::make_unique<PeerServer>(Greets("220 server " + std::to_string(wrong ? 1000 + i : i) +
                                                          "\r\n")));
    ASSERT_TRUE(servers.back()->ok());
    jobs.push_back(Add());
    const std::u16string expected = u"server " + com::Utf8ToUtf16(std::to_string(i)) + u"\r";
    ASSERT_EQ(StartCheck(jobs.back(),
                         {.port = servers.back()->port(), .timeout = 5, .greeting = expected, .greetingMode = 2}),
              S_OK);
  }
  ASSERT_TRUE(testkit::PumpUntil(*loop_, [&] { return !CollectionRunning(); }, 30s));
  ASSERT_TRUE(testkit::PumpUntil(*loop_, [&] { return sink->Count() == kJobs; }, 10s));
  std::vector<int32_t> ids = sink->Ids();
  std::sort(ids.begin(), ids.end());
  for (int i = 0; i < kJobs; ++i) {
    EXPECT_EQ(ids[i], i);
    const bool wrong = i % 5 == 4;
    const std::string greeting = "220 server " + std::to_string(wrong ? 1000 + i : i);
    const Outcome outcome = OutcomeOf(jobs[i].get());
    EXPECT_EQ(outcome.up, !wrong) << i;
    EXPECT_EQ(outcome.response, (wrong ? std::string(kGreetingMismatch) : std::string(kExpected) + " (") + greeting +
                                    ")")
        << i;
  }
}

}  // namespace
}  // namespace vorlane::tcpcheck::testing
