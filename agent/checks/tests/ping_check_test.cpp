#include "agent/checks/ping_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <functional>
#include <utility>
#include <vector>

#include "agent/request/tests/request_test_support.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch_table.h"

namespace vorlane::agent {
namespace {

using testing::FakeUserHandle;
using testing::LogCapture;

constexpr int32_t kServiceIndex = 7;

constexpr std::string_view kNoComponent =
    "#keycount=3#responseaction=runcheck#checkid=PING#errormessage=Could not create instance of the ping component "
    "(Sondrel.dll)#";
constexpr std::string_view kUpPrefix = "#keycount=3#responseaction=runcheck#checkid=PING#result=up#resultstring=";
constexpr std::string_view kDownPrefix = "#keycount=3#responseaction=runcheck#checkid=PING#result=down#resultstring=";

// ---- FormatPingErrors ----

TEST(FormatPingErrorsTest, ListsEachDescriptionOnceInTheOrderFirstSeen) {
  EXPECT_EQ(FormatPingErrors("1: Request Timed Out| 2: Request Timed Out| 4: Destination Host Unreachable "
                             "(10.0.0.1)| "),
            "Request Timed Out, Destination Host Unreachable (10.0.0.1)");
  EXPECT_EQ(FormatPingErrors("3: Destination Host Unreachable (10.0.0.1)| 5: Request Timed Out| "),
            "Destination Host Unreachable (10.0.0.1), Request Timed Out");
  EXPECT_EQ(FormatPingErrors("1: Request Timed Out| "), "Request Timed Out");
}

TEST(FormatPingErrorsTest, DuplicatesAcrossManyFramesCollapse) {
  std::string text;
  for (int frame = 1; frame <= 500; ++frame) {
    text += std::to_string(frame) +
            (frame % 7 == 0 ? ": Destination Net Unreachable (192.0.2.1)| " : ": Request Timed Out| ");
  }
  text += "501: TTL Expired in Transit (192.0.2.9)| ";
  EXPECT_EQ(FormatPingErrors(text),
            "Request Timed Out, Destination Net Unreachable (192.0.2.1), TTL Expired in Transit (192.0.2.9)");
}

TEST(FormatPingErrorsTest, DescriptionsKeepColonsAddressesAndSimilarPrefixes) {
  EXPECT_EQ(FormatPingErrors("1: Error: bad reply (192.0.2.7)| 2: Reply from 2001:db8::1: TTL expired| "),
            "Error: bad reply (192.0.2.7), Reply from 2001:db8::1: TTL expired");
  // Only whole items are the same description: one that merely starts alike stays.
  EXPECT_EQ(FormatPingErrors("1: Timed Out| 2: Timed Out Again| 3: Timed Out| "), "Timed Out, Timed Out Again");
}

TEST(FormatPingErrorsTest, AnItemWithoutItsSeparatorEndsTheList) {
  EXPECT_EQ(FormatPingErrors("1: Request Timed Out| 2: General Failure"), "Request Timed Out");
  EXPECT_EQ(FormatPingErrors("1: General Failure"), "");
  EXPECT_EQ(FormatPingErrors("Not enough memory!"), "");
  EXPECT_EQ(FormatPingErrors("| | "), "");
  EXPECT_EQ(FormatPingErrors(""), "");
}

TEST(FormatPingErrorsTest, ResolverFailureItem) {
  EXPECT_EQ(FormatPingErrors("R: No such host is known| "), "No such host is known");
  EXPECT_EQ(FormatPingErrors("R: Temporary failure in name resolution| "), "Temporary failure in name resolution");
}

// ---- the check against a fake component ----

// How the fake collection and element behave.
struct PingScript {
  com::HRESULT createResult = com::S_OK;
  bool createNothing = false;
  com::HRESULT addResult = com::S_OK;
  bool addNothing = false;
  com::HRESULT pingResult = com::S_OK;
  // Reads of IsRunning that still answer true after an accepted start.
  int runningReads = 0;
  bool neverEnds = false;
  int16_t succeeded = 100;
  int32_t roundTrip = 3;
  std::u16string errorMessage;
  // The collection announces the end with PingDone from a thread of its own, while the element
  // still reports itself running (as the component does: the announcement comes first).
  bool announces = false;
};

// What the fakes were asked, and how many of them are alive.
struct PingTrace {
  int creates = 0;
  int adds = 0;
  int pings = 0;
  std::u16string host;
  int32_t packageSize = 0;
  int32_t sendTimes = 0;
  int32_t maxTimeout = 0;
  uint8_t tos = 0;
  com::VARIANT_BOOL checkTos = 0;
  com::VARIANT_BOOL ipV6 = 0;
  std::u16string separatorAtPing;
  int isRunningReads = 0;
  bool resultsReadWhileRunning = false;
  bool pingIdSet = false;
  int elementsAlive = 0;
  int collectionsAlive = 0;
};

std::u16string ToU16(com::BSTR text) { return std::u16string(text ? text : u"", com::SysStringLen(text)); }

// The check binds to the vtables only: the fakes answer no late-bound member.
class FakePing final : public com::ComObject<FakePing, com::DispatchImpl<FakePing, ping::ItqPing>> {
 public:
  static constexpr com::DispatchMember<FakePing> kDispatchMembers[1] = {};

  FakePing(const PingScript& script, PingTrace& trace, std::function<void()> announce)
      : script_(script), trace_(trace), announce_(std::move(announce)) {
    ++trace_.elementsAlive;
  }

  com::HRESULT Ping(com::BSTR hostName, int32_t packageSize, int32_t sendTimes, int32_t maxTimeout, uint8_t tos,
                    com::VARIANT_BOOL checkReturnedTos, com::VARIANT_BOOL ipV6) override {
    ++trace_.pings;
    trace_.host = ToU16(hostName);
    trace_.packageSize = packageSize;
    trace_.sendTimes = sendTimes;
    trace_.maxTimeout = maxTimeout;
    trace_.tos = tos;
    trace_.checkTos = checkReturnedTos;
    trace_.ipV6 = ipV6;
    trace_.separatorAtPing = std::u16string(separator_.view());
    if (com::Failed(script_.pingResult)) return script_.pingResult;
    started_ = true;
    running_ = true;
    runningReadsLeft_ = script_.runningReads;
    if (script_.announces) announce_();
    return com::S_OK;
  }
  com::HRESULT get_ErrSeparator(com::BSTR* value) override { return separator_.CopyTo(value); }
  com::HRESULT put_ErrSeparator(com::BSTR value) override { return separator_ = com::Bstr(ToU16(value)), com::S_OK; }
  com::HRESULT get_ID(int32_t* value) override { return *value = 1, com::S_OK; }
  com::HRESULT get_IsRunning(com::VARIANT_BOOL* value) override {
    ++trace_.isRunningReads;
    if (running_ && !script_.neverEnds) {
      if (runningReadsLeft_ > 0) {
        --runningReadsLeft_;
      } else {
        running_ = false;
      }
    }
    *value = running_ ? com::VARIANT_TRUE : com::VARIANT_FALSE;
    return com::S_OK;
  }
  com::HRESULT get_PingID(int32_t* value) override { return *value = 0, com::S_OK; }
  com::HRESULT put_PingID(int32_t) override { return trace_.pingIdSet = true, com::S_OK; }
  com::HRESULT get_HostTcpIp(com::BSTR* value) override { return *value = nullptr, com::S_OK; }
  com::HRESULT get_AverageRoundTrip(int32_t* value) override {
    NoteResultRead();
    *value = Finished() ? script_.roundTrip : 0;
    return com::S_OK;
  }
  com::HRESULT get_SucceededPercent(int16_t* value) override {
    NoteResultRead();
    *value = Finished() ? script_.succeeded : 0;
    return com::S_OK;
  }
  com::HRESULT get_ErrorMessage(com::BSTR* value) override {
    NoteResultRead();
    return com::Bstr(Finished() ? script_.errorMessage : u"").CopyTo(value);
  }
  com::HRESULT get_Checked(com::VARIANT_BOOL* value) override { return *value = com::VARIANT_FALSE, com::S_OK; }
  com::HRESULT put_Checked(com::VARIANT_BOOL) override { return com::S_OK; }

 private:
  ~FakePing() override { --trace_.elementsAlive; }
  bool Finished() const { return started_ && (!running_ || script_.announces); }
  void NoteResultRead() {
    if (running_ && !script_.announces) trace_.resultsReadWhileRunning = true;
  }

  const PingScript& script_;
  PingTrace& trace_;
  const std::function<void()> announce_;
  com::Bstr separator_;
  bool started_ = false;
  bool running_ = false;
  int runningReadsLeft_ = 0;
};

class FakeCollection final
    : public com::ComObject<FakeCollection, com::DispatchImpl<FakeCollection, ping::ItqCollPings>,
                            com::ConnectionPointContainerImpl<FakeCollection>> {
 public:
  static constexpr com::DispatchMember<FakeCollection> kDispatchMembers[1] = {};

  FakeCollection(const PingScript& script, PingTrace& trace) : script_(script), trace_(trace) {
    ++trace_.collectionsAlive;
    ConnectionPoints().Add(ping::ItqCollPingsEvents::kIid);
  }

  com::HRESULT get_Count(int32_t* count) override { return *count = 0, com::S_OK; }
  com::HRESULT Add(ping::ItqPing** element) override {
    ++trace_.adds;
    *element = script_.addNothing ? nullptr : com::Make<FakePing>(script_, trace_, [this] { Announce(); }).detach();
    return script_.addResult;
  }
  com::HRESULT Remove(int32_t) override { return com::E_NOTIMPL; }
  com::HRESULT Item(int32_t, ping::ItqPing**) override { return com::E_NOTIMPL; }
  com::HRESULT At(int32_t, ping::ItqPing**) override { return com::E_NOTIMPL; }
  com::HRESULT Clear() override { return com::E_NOTIMPL; }
  com::HRESULT get_IsRunning(com::VARIANT_BOOL* running) override { return *running = com::VARIANT_FALSE, com::S_OK; }
  com::HRESULT get_AllChecked(com::VARIANT_BOOL* checked) override { return *checked = com::VARIANT_FALSE, com::S_OK; }

 private:
  ~FakeCollection() override {
    if (announcer_.joinable()) announcer_.join();
    ConnectionPoints().DisconnectAll();
    --trace_.collectionsAlive;
  }
  void Announce() {
    std::vector<com::ComPtr<com::IUnknown>> sinks =
        ConnectionPoints().Find(ping::ItqCollPingsEvents::kIid)->Snapshot();
    announcer_ = std::thread([sinks = std::move(sinks)] {
      for (const auto& sink : sinks) {
        (void)com::InvokeEvent(sink.get(), ping::ItqCollPingsEvents::kIid, ping::kEventPingDone, {com::Variant(1)});
      }
    });
  }

  std::thread announcer_;
  const PingScript& script_;
  PingTrace& trace_;
};

// A runcheck request; every field is sent as given.
struct PingRequest {
  std::string checkId = "PING";
  std::string host = "10.0.0.2";
  std::string frames = "5";
  std::string rate = "95";
  std::string timeout = "2";
  std::string tos;
  std::string checkTos = "false";

  std::string Record() const {
    return "#keycount=8#requestaction=runcheck#checkid=" + checkId + "#Hostname=" + host +
           "#Number of frames=" + frames + "#Success rate=" + rate + "#Timeout=" + timeout + "#TOS=" + tos +
           "#Check TOS-byte consistency=" + checkTos + "#";
  }
};

// Quick polls, and a bound that only a job that never ends reaches.
constexpr PingWait kQuickWait{std::chrono::milliseconds(1), std::chrono::milliseconds(2000)};

class PingCheckTest : public ::testing::Test {
 protected:
  // Runs the check on `record` against fakes that follow `script`; the one answer it sent. The
  // check must have released every object it was handed.
  std::string Run(const std::string& record, const PingWait& wait = kQuickWait) {
    FakeUserHandle user;
    return Run(user, record, wait);
  }
  std::string Run(const PingRequest& request) { return Run(request.Record()); }
  std::string Run(FakeUserHandle& user, const std::string& record, const PingWait& wait = kQuickWait) {
    trace = {};
    const PingCollectionFactory create = [this](com::ComPtr<ping::ItqCollPings>* out) {
      ++trace.creates;
      if (!script.createNothing) *out = com::Make<FakeCollection>(script, trace);
      return script.createResult;
    };
    SendCheckAnswer(user, kServiceIndex, kPingCheck.id, PingCheckOutcome(record, create, wait));
    EXPECT_EQ(trace.elementsAlive, 0);
    EXPECT_EQ(trace.collectionsAlive, 0);
    EXPECT_FALSE(trace.pingIdSet);
    EXPECT_FALSE(trace.resultsReadWhileRunning);
    return user.OnlyAnswer(kServiceIndex);
  }

  // Sends each case's text as `field` of an otherwise default request; the element must have
  // been given the case's value, as `seen` notes it.
  template <class Expected, class T>
  void ExpectPassedAs(std::string PingRequest::*field, T PingTrace::*seen,
                      const std::vector<std::pair<std::string, Expected>>& cases) {
    for (const auto& [text, expected] : cases) {
      PingRequest request;
      request.*field = text;
      Run(request);
      EXPECT_EQ(trace.*seen, expected) << text;
    }
  }

  PingScript script;
  PingTrace trace;
};

TEST_F(PingCheckTest, PassesTheRequestToTheElementAfterSettingTheSeparator) {
  PingRequest request;
  request.host = "db-1.example.test";
  request.frames = "20";
  request.timeout = "4";
  request.tos = "184";
  request.checkTos = "true";
  Run(request);
  EXPECT_EQ(trace.creates, 1);
  EXPECT_EQ(trace.adds, 1);
  EXPECT_EQ(trace.pings, 1);
  EXPECT_EQ(trace.host, u"db-1.example.test");
  EXPECT_EQ(trace.packageSize, 32);
  EXPECT_EQ(trace.sendTimes, 20);
  EXPECT_EQ(trace.maxTimeout, 4000);
  EXPECT_EQ(trace.tos, 184);
  EXPECT_EQ(trace.checkTos, com::VARIANT_TRUE);
  EXPECT_EQ(trace.ipV6, com::VARIANT_FALSE);
  EXPECT_EQ(trace.separatorAtPing, u"| ");
}

TEST_F(PingCheckTest, FrameCountIsTruncatedToSixteenBits) {
  ExpectPassedAs<int32_t>(&PingRequest::frames, &PingTrace::sendTimes, {
      {"65537", 1}, {"32768", -32768}, {"32767", 32767}, {"-1", -1}, {"abc", 0}, {"", 0}, {"99999999999", -1}});
}

TEST_F(PingCheckTest, TimeoutSecondsBecomeMillisecondsHeldAtTheLimits) {
  ExpectPassedAs<int32_t>(&PingRequest::timeout, &PingTrace::maxTimeout, {
      {"5", 5000},
      {"32", 32000},
      {"abc", 0},
      {"", 0},
      {"-2", -2000},
      // 3,000,000 s would wrap to a positive value below 32,000 ms in 32 bits; it saturates.
      {"3000000", std::numeric_limits<int32_t>::max()},
      {"4294968", std::numeric_limits<int32_t>::max()},
      {"-3000000", std::numeric_limits<int32_t>::min()},
      {"99999999999", std::numeric_limits<int32_t>::max()}});
}

TEST_F(PingCheckTest, TosKeepsTheLowEightBits) {
  ExpectPassedAs<int>(&PingRequest::tos, &PingTrace::tos,
                      {{"", 0}, {"0", 0}, {"184", 184}, {"255", 255}, {"256", 0}, {"257", 1}, {"-1", 255}, {"x", 0}});
}

TEST_F(PingCheckTest, TosConsistencyIsCheckedOnlyForExactlyTrue) {
  ExpectPassedAs<com::VARIANT_BOOL>(&PingRequest::checkTos, &PingTrace::checkTos, {
      {"true", com::VARIANT_TRUE},   {"True", com::VARIANT_FALSE}, {"TRUE", com::VARIANT_FALSE},
      {"true ", com::VARIANT_FALSE}, {"1", com::VARIANT_FALSE},    {"", com::VARIANT_FALSE},
      {"false", com::VARIANT_FALSE}});
}

TEST_F(PingCheckTest, MissingParametersReadAsEmpty) {
  script.succeeded = 0;
  script.roundTrip = 0;
  const std::string answer = Run(std::string("#keycount=3#requestaction=runcheck#checkid=PING#Hostname=10.0.0.9#"));
  EXPECT_EQ(trace.host, u"10.0.0.9");
  EXPECT_EQ(trace.sendTimes, 0);
  EXPECT_EQ(trace.maxTimeout, 0);
  EXPECT_EQ(trace.tos, 0);
  EXPECT_EQ(trace.checkTos, com::VARIANT_FALSE);
  // No threshold is a threshold of 0 %, which every result meets.
  EXPECT_EQ(answer, std::string(kUpPrefix) + "ping of 10.0.0.9 OK with a successrate of 0%@@RTO=0#");
}

TEST_F(PingCheckTest, AnswersByTheSuccessRate) {
  PingRequest request;  // threshold 95
  script.succeeded = 100;
  script.roundTrip = 7;
  EXPECT_EQ(Run(request), std::string(kUpPrefix) + "ping of 10.0.0.2 OK with a successrate of 100%@@RTO=7#");

  script.succeeded = 80;
  script.roundTrip = 12;
  script.errorMessage = u"2: Request Timed Out| ";
  EXPECT_EQ(Run(request), std::string(kDownPrefix) +
                              "ping of 10.0.0.2 failed due to a successrate of only 80%. Error: Request Timed Out. "
                              "@@RTO=12#");

  script.succeeded = 0;
  script.roundTrip = 0;
  script.errorMessage = u"1: Request Timed Out| 2: Request Timed Out| 3: Request Timed Out| ";
  EXPECT_EQ(Run(request), std::string(kDownPrefix) + "Error: Request Timed Out #");

  script.errorMessage = u"1: Request Timed Out| 2: Destination Host Unreachable (10.0.0.1)| ";
  EXPECT_EQ(Run(request),
            std::string(kDownPrefix) + "Error: Request Timed Out, Destination Host Unreachable (10.0.0.1) #");
}

TEST_F(PingCheckTest, ThresholdIsMetAtEquality) {
  PingRequest request;
  script.succeeded = 80;
  script.roundTrip = 4;
  script.errorMessage = u"5: Request Timed Out| ";
  request.rate = "80";
  EXPECT_EQ(Run(request), std::string(kUpPrefix) + "ping of 10.0.0.2 OK with a successrate of 80%@@RTO=4#");
  request.rate = "81";
  EXPECT_EQ(Run(request), std::string(kDownPrefix) +
                              "ping of 10.0.0.2 failed due to a successrate of only 80%. Error: Request Timed Out. "
                              "@@RTO=4#");
}

TEST_F(PingCheckTest, NoOrZeroThresholdIsUpEvenWhenNothingAnswered) {
  script.succeeded = 0;
  script.roundTrip = 0;
  script.errorMessage = u"1: Request Timed Out| ";
  for (const std::string rate : {"", "0", "-5", "65536"}) {
    PingRequest request;
    request.rate = rate;
    EXPECT_EQ(Run(request), std::string(kUpPrefix) + "ping of 10.0.0.2 OK with a successrate of 0%@@RTO=0#") << rate;
  }
  // 65636 is 100 in sixteen bits.
  PingRequest request;
  request.rate = "65636";
  EXPECT_EQ(Run(request), std::string(kDownPrefix) + "Error: Request Timed Out #");
}

TEST_F(PingCheckTest, Ping4RequestIsAnsweredAsPing) {
  PingRequest request;
  request.checkId = "PING4";
  script.roundTrip = 1;
  EXPECT_EQ(Run(request), std::string(kUpPrefix) + "ping of 10.0.0.2 OK with a successrate of 100%@@RTO=1#");
}

// Creating the collection or adding the element fails: any failure code, anything but S_OK from
// Add, or success without an object. Objects handed out anyway are released (the fixture checks).
TEST_F(PingCheckTest, ComponentOrElementThatCannotBeHad) {
  struct Case {
    bool atCreate;
    com::HRESULT result;
    bool nothing;
  };
  const Case cases[] = {
      {true, com::REGDB_E_CLASSNOTREG, true}, {true, com::E_FAIL, false}, {true, com::S_OK, true},
      {false, com::E_OUTOFMEMORY, true},      {false, com::S_FALSE, false}, {false, com::S_OK, true},
  };
  for (const Case& c : cases) {
    script = {};
    (c.atCreate ? script.createResult : script.addResult) = c.result;
    (c.atCreate ? script.createNothing : script.addNothing) = c.nothing;
    EXPECT_EQ(Run(PingRequest{}), kNoComponent) << c.atCreate << " " << c.result;
    EXPECT_EQ(c.atCreate ? trace.adds : trace.pings, 0);
  }
}

// That answer is in the log before it goes out.
TEST_F(PingCheckTest, NoComponentAnswerIsLoggedBeforeItIsSent) {
  struct LogWatchingUser : FakeUserHandle {
    explicit LogWatchingUser(const LogCapture& log) : log(log) {}
    void Send(const std::string& text, int32_t serviceIndex) override {
      for (const std::string& line : log.Lines()) loggedBefore = loggedBefore || line.find(text) != std::string::npos;
      FakeUserHandle::Send(text, serviceIndex);
    }
    const LogCapture& log;
    bool loggedBefore = false;
  };
  LogCapture log;
  LogWatchingUser user(log);
  script.createNothing = true;
  script.createResult = com::E_FAIL;
  EXPECT_EQ(Run(user, PingRequest{}.Record()), kNoComponent);
  EXPECT_TRUE(user.loggedBefore);
}

TEST_F(PingCheckTest, RejectedStartIsDownWithAnEmptyList) {
  script.pingResult = com::E_INVALIDARG;
  EXPECT_EQ(Run(PingRequest{}), std::string(kDownPrefix) + "Error:  #");
  EXPECT_EQ(trace.pings, 1);
  EXPECT_EQ(trace.isRunningReads, 1);
}

TEST_F(PingCheckTest, WaitsForTheJobToEnd) {
  script.runningReads = 25;
  script.roundTrip = 9;
  EXPECT_EQ(Run(PingRequest{}), std::string(kUpPrefix) + "ping of 10.0.0.2 OK with a successrate of 100%@@RTO=9#");
  EXPECT_EQ(trace.isRunningReads, 26);
}

TEST_F(PingCheckTest, PingDoneEndsTheWaitWithoutAskingTheElementAgain) {
  script.announces = true;
  script.neverEnds = true;
  // Rechecks far apart and a short bound: only the announcement can end this wait in time.
  EXPECT_EQ(Run(PingRequest{}.Record(), PingWait{std::chrono::seconds(30), std::chrono::milliseconds(100)}),
            std::string(kUpPrefix) + "ping of 10.0.0.2 OK with a successrate of 100%@@RTO=3#");
  EXPECT_EQ(trace.isRunningReads, 1);
}

TEST_F(PingCheckTest, JobThatNeverEndsIsGivenUp) {
  script.neverEnds = true;
  PingRequest request;
  request.host = "slow.example.test";
  request.timeout = "1";
  LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  const std::string answer =
      Run(request.Record(), PingWait{std::chrono::milliseconds(1), std::chrono::milliseconds(50)});
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(answer, std::string(kDownPrefix) + "Error: The ping did not end in time #");
  // It waited for the job's own timeout first.
  EXPECT_GE(waited, std::chrono::milliseconds(1000));
  EXPECT_GE(trace.isRunningReads, 2);
  const std::vector<std::string> lines = log.Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("slow.example.test") != std::string::npos && line.find("did not end in time") != std::string::npos;
  })) << ::testing::PrintToString(lines);
}

TEST_F(PingCheckTest, ComponentTextCannotForgePairs) {
  script.succeeded = 0;
  script.errorMessage = u"1: bad#result=up| 2: worse##keycount=9| ";
  const std::string answer = Run(PingRequest{});
  EXPECT_EQ(answer, std::string(kDownPrefix) + "Error: bad result=up, worse  keycount=9 #");
  EXPECT_EQ(std::count(answer.begin(), answer.end(), '#'), 6);

  script.succeeded = 50;
  script.roundTrip = 2;
  EXPECT_EQ(Run(PingRequest{}), std::string(kDownPrefix) +
                                    "ping of 10.0.0.2 failed due to a successrate of only 50%. Error: bad result=up, "
                                    "worse  keycount=9. @@RTO=2#");
}

// The host stands in the answers: a control character there would split or cut them. A name with
// a NUL inside names no host, and the element must not ping the part before the NUL.
TEST_F(PingCheckTest, TheHostIsShownAsAnswerTextAndOneHoldingANulIsNotPinged) {
  PingRequest request;
  request.host = "10.0.0.2\x1b\t";
  EXPECT_EQ(Run(request), std::string(kUpPrefix) + "ping of 10.0.0.2   OK with a successrate of 100%@@RTO=3#");
  EXPECT_EQ(trace.host, u"10.0.0.2\x1b\t") << "the element gets the name as it came";

  script.succeeded = 50;
  request.host = std::string("10.0.0.2\0.evil", 14);
  EXPECT_EQ(Run(request), std::string(kDownPrefix) + "ping of 10.0.0.2 .evil failed due to a successrate of only 50%. "
                                                     "Error: . @@RTO=3#");
  EXPECT_EQ(trace.host, u"") << "no part of the name is pinged";
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80           ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

TEST_F(PingCheckTest, LongResultTextIsCutAndTheRecordStaysWhole) {
  // One description of 3000 three-byte characters: the cut falls inside a character for some of
  // the host names, whose lengths shift it.
  std::u16string description(3000, u'\u2013');
  for (const std::string host : {"h", "hh", "hhh"}) {
    PingRequest request;
    request.host = host;
    script.succeeded = 50;
    script.roundTrip = 6;
    script.errorMessage = u"1: " + description + u"| ";
    std::string answer = Run(request);
    EXPECT_LE(answer.size(), 4095u) << host;
    EXPECT_GE(answer.size(), 4090u) << host;
    EXPECT_TRUE(answer.starts_with(std::string(kDownPrefix) + "ping of " + host +
                                   " failed due to a successrate of only 50%. Error: \u2013"))
        << host;
    EXPECT_TRUE(answer.ends_with("@@RTO=6#")) << host;
    EXPECT_TRUE(IsValidUtf8(answer)) << host;
    EXPECT_EQ(std::count(answer.begin(), answer.end(), '#'), 6) << host;

    script.succeeded = 0;
    answer = Run(request);
    EXPECT_LE(answer.size(), 4095u) << host;
    EXPECT_TRUE(answer.starts_with(std::string(kDownPrefix) + "Error: \u2013")) << host;
    EXPECT_TRUE(answer.ends_with("\u2013#")) << host;
    EXPECT_TRUE(IsValidUtf8(answer)) << host;
  }
}

}  // namespace
}  // namespace vorlane::agent
