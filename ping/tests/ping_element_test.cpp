// The ping element as a client drives it: created by class id through the class registry, used
// through ItqPing and late bound through IDispatch. Its echo requests go over a veth pair to a
// network namespace where the test's responder answers as each test asks (or to the kernel on
// loopback). The whole program runs in a private network namespace of its own.
//
// With VORLANE_PING_SOCKETS=datagram in the environment the program gives up the right to open
// raw sockets before any test runs, so the element works with datagram ICMP sockets.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <source_location>
#include <string>
#include <vector>

#include "ping/sondrel.h"
#include "ping/tests/private_network.h"
#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/late_binding.h"
#include "platform/com/text.h"
#include "platform/com/variant.h"
#include "platform/loop/message_loop.h"
#include "testing/debug_capture.h"
#include "testing/poll_until.h"

namespace vorlane::ping {
namespace {

using namespace std::chrono_literals;
using com::Bstr;
using com::ComPtr;
using com::HRESULT;
using com::VARIANT_BOOL;
using testing::PingNamespace;

const std::string kResponder = VORLANE_ICMP_RESPONDER;

// ---------------------------------------------------------------- the program's network

// The datagram run gives up raw sockets once the program is in its private network.
bool g_datagramRun = false;

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new testing::PrivateNetworkEnvironment([]() -> std::string {
      const char* kind = std::getenv("VORLANE_PING_SOCKETS");
      g_datagramRun = kind != nullptr && std::string(kind) == "datagram";
      if (g_datagramRun && !testing::DropRawSocketCapability()) {
        return std::string("cannot give up CAP_NET_RAW: ") + std::strerror(errno);
      }
      return "";
    }));

// The datagram run must really leave the element without raw sockets, and the normal run must
// have them, or the two runs test the same path.
TEST(TestNetwork, SocketKindOfThisRun) {
  REQUIRE_PRIVATE_NETWORK();
  const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  const int rawErrno = errno;
  if (raw >= 0) ::close(raw);
  const int datagram = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (datagram >= 0) ::close(datagram);
  EXPECT_GE(datagram, 0) << std::strerror(errno);
  if (g_datagramRun) {
    EXPECT_LT(raw, 0);
    EXPECT_EQ(rawErrno, EPERM);
  } else {
    EXPECT_GE(raw, 0) << std::strerror(rawErrno);
  }
}

// ---------------------------------------------------------------- client-side helpers

std::string Utf8(const Bstr& text) { return com::Utf16ToUtf8(text.view()); }

// What a client reads back from an element.
struct Results {
  VARIANT_BOOL running = 1;  // neither VARIANT_TRUE nor VARIANT_FALSE until read
  int16_t succeededPercent = -1;
  int32_t averageRoundTrip = -1;
  std::string errorMessage = "<unread>";
  std::string hostTcpIp = "<unread>";
};

Results Read(ItqPing* element) {
  Results r;
  Bstr error, host;
  EXPECT_EQ(element->get_IsRunning(&r.running), com::S_OK);
  EXPECT_EQ(element->get_SucceededPercent(&r.succeededPercent), com::S_OK);
  EXPECT_EQ(element->get_AverageRoundTrip(&r.averageRoundTrip), com::S_OK);
  EXPECT_EQ(element->get_ErrorMessage(error.put()), com::S_OK);
  EXPECT_EQ(element->get_HostTcpIp(host.put()), com::S_OK);
  r.errorMessage = Utf8(error);
  r.hostTcpIp = Utf8(host);
  return r;
}

std::string Separator(ItqPing* element) {
  Bstr text;
  EXPECT_EQ(element->get_ErrSeparator(text.put()), com::S_OK);
  return Utf8(text);
}

struct PingArgs {
  std::string host;
  int32_t packageSize = 32;
  int32_t sendTimes = 1;
  int32_t maxTimeout = 1000;
  uint8_t tos = 0;
  bool checkTos = false;
  bool ipV6 = false;
};

HRESULT StartPing(ItqPing* element, const PingArgs& a) {
  const Bstr host = Bstr::FromUtf8(a.host);
  return element->Ping(host.get(), a.packageSize, a.sendTimes, a.maxTimeout, a.tos,
                       a.checkTos ? com::VARIANT_TRUE : com::VARIANT_FALSE,
                       a.ipV6 ? com::VARIANT_TRUE : com::VARIANT_FALSE);
}

// Polls IsRunning until it is false: 10 ms steps, 10 s at most.
bool WaitUntilDone(ItqPing* element) {
  bool failed = false;
  const bool ended = testkit::PollUntil(
      [&] {
        VARIANT_BOOL running = com::VARIANT_TRUE;
        failed = element->get_IsRunning(&running) != com::S_OK;
        return failed || running == com::VARIANT_FALSE;
      },
      10s, 10ms);
  return ended && !failed;
}

// The percentage and error message of `r` (and its address, when given) are as expected.
void ExpectOutcome(const Results& r, int16_t percent, const std::string& message,
                   const std::optional<std::string>& host = std::nullopt,
                   std::source_location where = std::source_location::current()) {
  const ::testing::ScopedTrace trace(where.file_name(), static_cast<int>(where.line()), "outcome");
  EXPECT_EQ(r.succeededPercent, percent);
  EXPECT_EQ(r.errorMessage, message);
  if (host) { EXPECT_EQ(r.hostTcpIp, *host); }
}

// Starts a job, waits for its end and reads the results.
Results RunPing(ItqPing* element, const PingArgs& a) {
  EXPECT_EQ(StartPing(element, a), com::S_OK) << a.host;
  EXPECT_TRUE(WaitUntilDone(element)) << "the job to " << a.host << " did not end within 10 s";
  return Read(element);
}

// The debug lines written while it exists, by whole lines.
class LogCapture : public testkit::DebugCapture {
 public:
  // Every line so far that starts with `prefix`.
  std::vector<std::string> Lines(const std::string& prefix = "") const {
    std::vector<std::string> lines = DebugCapture::Lines();
    std::erase_if(lines, [&](const std::string& line) { return line.compare(0, prefix.size(), prefix) != 0; });
    return lines;
  }
  bool Has(const std::string& line) const {
    const std::vector<std::string> lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  // Waits for `line` to be written: 10 ms steps, 10 s at most.
  bool WaitFor(const std::string& line) const {
    return testkit::PollUntil([&] { return Has(line); }, 10s, 10ms);
  }
};

constexpr const char* kPingLinePrefix = "Sondrel ~ ";

// The element's debug line `what` about the job of `pingId`.
std::string IdLine(const std::string& what, long pingId) {
  return "Sondrel ~ " + what + " for the PingID: " + std::to_string(pingId);
}
std::string ArgumentsLine(long pingId, const std::string& host, long packageSize, long sendTimes, long maxTimeout,
                          const std::string& oldIp) {
  return IdLine("Ping method", pingId) + ", hostname: " + host + ", PackageSize: " + std::to_string(packageSize) +
         ", SendTimes:" + std::to_string(sendTimes) + ", MaxTimeout:" + std::to_string(maxTimeout) +
         ", old IP:" + oldIp + " ";
}
// Every line a started job writes, in order.
std::vector<std::string> JobLines(long pingId, const std::string& host, long packageSize, long sendTimes,
                                  long maxTimeout, const std::string& oldIp) {
  return {IdLine("Enter the Ping method", pingId), ArgumentsLine(pingId, host, packageSize, sendTimes, maxTimeout, oldIp),
          IdLine("Starting the send of Ping", pingId), IdLine("Exiting the Ping method", pingId)};
}

// Each test gets a fresh element, created as a client creates it, on an apartment of its own.
class PingElementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ASSERT_EQ(com::CoInitialize(nullptr), com::S_OK);
    initialized_ = true;
    element_ = NewElement();
    ASSERT_TRUE(element_);
  }
  void TearDown() override {
    // A job still running keeps the element alive; the element's worker ends it on its own.
    if (element_) {
      EXPECT_TRUE(WaitUntilDone(element_.get()));
    }
    element_.reset();
    if (initialized_) com::CoUninitialize();
  }

  static ComPtr<ItqPing> NewElement() {
    ComPtr<ItqPing> element;
    EXPECT_EQ(com::CoCreateInstance(kPingClsid, &element), com::S_OK);
    return element;
  }

  // A namespace with the responder running with `args`, or a fatal failure.
  static void StartResponder(PingNamespace& ns, const std::vector<std::string>& args) {
    ASSERT_TRUE(ns.ok()) << ns.error();
    ASSERT_TRUE(ns.StartResponder(kResponder, args)) << ns.error();
  }

  ComPtr<ItqPing> element_;
  bool initialized_ = false;
};

// ---------------------------------------------------------------- properties

using PingElementProperties = PingElementTest;

TEST_F(PingElementProperties, StartWithoutResults) {
  const Results r = Read(element_.get());
  EXPECT_EQ(r.running, com::VARIANT_FALSE);
  EXPECT_EQ(r.succeededPercent, 0);
  EXPECT_EQ(r.averageRoundTrip, 0);
  EXPECT_EQ(r.errorMessage, "");
  EXPECT_EQ(r.hostTcpIp, "");
  EXPECT_EQ(Separator(element_.get()), "#");

  int32_t id = -1, pingId = -1;
  EXPECT_EQ(element_->get_ID(&id), com::S_OK);
  EXPECT_EQ(id, 0) << "an element created on its own belongs to no collection";
  EXPECT_EQ(element_->get_PingID(&pingId), com::S_OK);
  EXPECT_EQ(pingId, 0);
  VARIANT_BOOL checked = com::VARIANT_TRUE;
  EXPECT_EQ(element_->get_Checked(&checked), com::S_OK);
  EXPECT_EQ(checked, com::VARIANT_FALSE);
}

TEST_F(PingElementProperties, ErrSeparatorTakesAnyTextAndNullAsEmpty) {
  EXPECT_EQ(element_->put_ErrSeparator(Bstr(u" | ").get()), com::S_OK);
  EXPECT_EQ(Separator(element_.get()), " | ");
  EXPECT_EQ(element_->put_ErrSeparator(Bstr(u"").get()), com::S_OK);
  EXPECT_EQ(Separator(element_.get()), "");
  EXPECT_EQ(element_->put_ErrSeparator(Bstr(u";").get()), com::S_OK);
  EXPECT_EQ(element_->put_ErrSeparator(nullptr), com::S_FALSE);
  EXPECT_EQ(Separator(element_.get()), "");
}

TEST_F(PingElementProperties, ClientValuesReadBackAsWritten) {
  for (const int32_t value : {4711, -3, 0}) {
    EXPECT_EQ(element_->put_PingID(value), com::S_OK);
    int32_t read = 99;
    EXPECT_EQ(element_->get_PingID(&read), com::S_OK);
    EXPECT_EQ(read, value);
  }
  for (const VARIANT_BOOL value : {com::VARIANT_TRUE, com::VARIANT_FALSE}) {
    EXPECT_EQ(element_->put_Checked(value), com::S_OK);
    VARIANT_BOOL read = 7;
    EXPECT_EQ(element_->get_Checked(&read), com::S_OK);
    EXPECT_EQ(read, value);
  }
  int32_t id = -1;
  EXPECT_EQ(element_->get_ID(&id), com::S_OK);
  EXPECT_EQ(id, 0) << "PingID is the client's number, ID the collection's";
}

TEST_F(PingElementProperties, GettersRejectNullPointers) {
  EXPECT_EQ(element_->get_ErrSeparator(nullptr), com::E_POINTER);
  EXPECT_EQ(element_->get_ID(nullptr), com::E_POINTER);
  EXPECT_EQ(element_->get_IsRunning(nullptr), com::E_POINTER);
  EXPECT_EQ(element_->get_PingID(nullptr), com::E_POINTER);
  EXPECT_EQ(element_->get_HostTcpIp(nullptr), com::E_POINTER);
  EXPECT_EQ(element_->get_AverageRoundTrip(nullptr), com::E_POINTER);
  EXPECT_EQ(element_->get_SucceededPercent(nullptr), com::E_POINTER);
  EXPECT_EQ(element_->get_ErrorMessage(nullptr), com::E_POINTER);
  EXPECT_EQ(element_->get_Checked(nullptr), com::E_POINTER);
}

// ---------------------------------------------------------------- arguments of Ping

using PingElementArguments = PingElementTest;

TEST_F(PingElementArguments, RefusedCallsStartNoJobAndKeepThePreviousResults) {
  PingNamespace ns;
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--answer-pattern", "10"}));
  ASSERT_EQ(element_->put_PingID(31), com::S_OK);
  const Results before = RunPing(element_.get(), {.host = ns.remoteAddress(), .sendTimes = 2, .maxTimeout = 600});
  ASSERT_EQ(before.succeededPercent, 50);
  ASSERT_EQ(before.errorMessage, "2: Request Timed Out#");
  ASSERT_EQ(before.hostTcpIp, ns.remoteAddress());

  struct Case {
    const char* what;
    const char16_t* host;  // null: a null BSTR
    int32_t packageSize, sendTimes;
    const char* reason;
  };
  const Case cases[] = {
      {"null host", nullptr, 32, 1, "empty hostname supplied"},
      {"empty host", u"", 32, 1, "empty hostname supplied"},
      {"PackageSize 0", u"127.0.0.1", 0, 1, "invalid PackageSize supplied"},
      {"PackageSize 513", u"127.0.0.1", 513, 1, "invalid PackageSize supplied"},
      {"PackageSize -1", u"127.0.0.1", -1, 1, "invalid PackageSize supplied"},
      {"SendTimes 0", u"127.0.0.1", 32, 0, "invalid SendTimes supplied"},
      {"SendTimes -2", u"127.0.0.1", 32, -2, "invalid SendTimes supplied"},
      // The host is checked first, then PackageSize, then SendTimes.
      {"all three wrong", u"", 0, 0, "empty hostname supplied"},
      {"size and count wrong", u"127.0.0.1", 600, 0, "invalid PackageSize supplied"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    LogCapture log;
    const Bstr host = c.host != nullptr ? Bstr(c.host) : Bstr();
    EXPECT_EQ(element_->Ping(host.get(), c.packageSize, c.sendTimes, 1000, 0, com::VARIANT_FALSE, com::VARIANT_FALSE),
              com::E_INVALIDARG);
    const Results after = Read(element_.get());
    EXPECT_EQ(after.running, com::VARIANT_FALSE);
    EXPECT_EQ(after.succeededPercent, before.succeededPercent);
    EXPECT_EQ(after.averageRoundTrip, before.averageRoundTrip);
    EXPECT_EQ(after.errorMessage, before.errorMessage);
    EXPECT_EQ(after.hostTcpIp, before.hostTcpIp);
    EXPECT_EQ(log.Lines(kPingLinePrefix), (std::vector<std::string>{IdLine("Enter the Ping method", 31),
                                                                     IdLine("FAILED to start the Ping", 31) + ", " +
                                                                         c.reason}));
  }
}

TEST_F(PingElementArguments, BoundsOfPackageSizeAndMaxTimeout) {
  ASSERT_EQ(element_->put_PingID(8), com::S_OK);
  // The largest and the smallest request both go out and come back.
  for (const int32_t size : {1, 512}) {
    SCOPED_TRACE("PackageSize " + std::to_string(size));
    const Results r = RunPing(element_.get(), {.host = "127.0.0.1", .packageSize = size, .sendTimes = 2});
    ExpectOutcome(r, 100, "");
  }

  // A MaxTimeout outside 1..32000 is taken as 32000. The kernel answers on loopback at once, so
  // the long wait never happens.
  struct Case {
    int32_t given, used;
  };
  for (const Case c : {Case{0, 32000}, Case{-1, 32000}, Case{32001, 32000}, Case{32000, 32000}, Case{1, 1}}) {
    SCOPED_TRACE("MaxTimeout " + std::to_string(c.given));
    LogCapture log;
    EXPECT_EQ(
        StartPing(element_.get(), {.host = "127.0.0.1", .packageSize = 40, .sendTimes = 5, .maxTimeout = c.given}),
        com::S_OK);
    EXPECT_TRUE(WaitUntilDone(element_.get()));
    EXPECT_EQ(log.Lines(kPingLinePrefix), JobLines(8, "127.0.0.1", 40, 5, c.used, "127.0.0.1"));
  }
}

// ---------------------------------------------------------------- hosts

using PingElementHosts = PingElementTest;

TEST_F(PingElementHosts, LoopbackAddressesAndNames) {
  struct Case {
    const char* host;
    const char* hostTcpIp;
  };
  // A dotted address stays as written, in every form inet_aton reads; a name becomes its address.
  for (const Case c : {Case{"127.0.0.1", "127.0.0.1"}, Case{"127.1", "127.1"}, Case{"0x7f.0.0.1", "0x7f.0.0.1"},
                       Case{"localhost", "127.0.0.1"}}) {
    SCOPED_TRACE(c.host);
    const Results r = RunPing(element_.get(), {.host = c.host, .sendTimes = 3, .maxTimeout = 3000});
    EXPECT_EQ(r.running, com::VARIANT_FALSE);
    ExpectOutcome(r, 100, "", c.hostTcpIp);
    EXPECT_GE(r.averageRoundTrip, 0);
  }
}

// IPv6 names its address in standard text form: the loopback address however it was written.
TEST_F(PingElementHosts, Ipv6Loopback) {
  for (const char* host : {"::1", "0:0:0:0:0:0:0:1", "::0:1"}) {
    SCOPED_TRACE(host);
    const Results r = RunPing(element_.get(), {.host = host, .sendTimes = 2, .maxTimeout = 2000, .ipV6 = true});
    ExpectOutcome(r, 100, "", "::1");
  }
}

TEST_F(PingElementHosts, UnresolvableNameEndsTheJobWithAResolverError) {
  ASSERT_EQ(element_->put_ErrSeparator(Bstr(u" / ").get()), com::S_OK);
  const Results r = RunPing(element_.get(), {.host = "nohost.invalid", .sendTimes = 2, .maxTimeout = 2000});
  EXPECT_EQ(r.running, com::VARIANT_FALSE);
  EXPECT_EQ(r.succeededPercent, 0);
  EXPECT_EQ(r.averageRoundTrip, 0);
  EXPECT_EQ(r.hostTcpIp, "");
  ASSERT_GT(r.errorMessage.size(), std::string("R: ").size() + std::string(" / ").size()) << r.errorMessage;
  EXPECT_EQ(r.errorMessage.substr(0, 3), "R: ") << r.errorMessage;
  EXPECT_EQ(r.errorMessage.substr(r.errorMessage.size() - 3), " / ") << r.errorMessage;
  EXPECT_EQ(r.errorMessage.find('\r'), std::string::npos) << "the resolver text keeps no line end";
}

// ---------------------------------------------------------------- jobs against the responder

using PingElementJobs = PingElementTest;

TEST_F(PingElementJobs, DroppedFramesAreListedAndCounted) {
  PingNamespace ns;
  ASSERT_TRUE(ns.ok()) << ns.error();
  struct Case {
    const char* pattern;  // per request: 1 answered, 0 dropped
    int32_t sendTimes;
    const char16_t* separator;
    const char* errorMessage;
    int16_t succeededPercent;
  };
  const Case cases[] = {
      {"10101", 5, u"#", "2: Request Timed Out#4: Request Timed Out#", 60},
      {"110", 3, u"; ", "3: Request Timed Out; ", 66},
      {"11101", 5, u"#", "4: Request Timed Out#", 80},
      {"0", 1, u"#", "1: Request Timed Out#", 0},
      {"00", 2, u"", "1: Request Timed Out2: Request Timed Out", 0},
      {"1", 4, u"#", "", 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("pattern ") + c.pattern + ", " + std::to_string(c.sendTimes) + " frames");
    ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--answer-pattern", c.pattern}));
    ASSERT_EQ(element_->put_ErrSeparator(Bstr(c.separator).get()), com::S_OK);
    // 300 ms for each frame.
    ASSERT_EQ(StartPing(element_.get(),
                        {.host = ns.remoteAddress(), .sendTimes = c.sendTimes, .maxTimeout = 300 * c.sendTimes}),
              com::S_OK);
    if (std::string(c.pattern).find('0') != std::string::npos) {
      // A dropped frame keeps the job going for at least 300 ms.
      VARIANT_BOOL running = com::VARIANT_FALSE;
      EXPECT_EQ(element_->get_IsRunning(&running), com::S_OK);
      EXPECT_EQ(running, com::VARIANT_TRUE) << "running from the return of Ping";
    }
    ASSERT_TRUE(WaitUntilDone(element_.get()));
    const Results r = Read(element_.get());
    ExpectOutcome(r, c.succeededPercent, c.errorMessage, ns.remoteAddress());
    if (c.succeededPercent == 0) {
      EXPECT_EQ(r.averageRoundTrip, 0) << "no reply came back";
    }
  }
}

TEST_F(PingElementJobs, AverageRoundTripIsOverTheGoodReplies) {
  PingNamespace ns;
  // Each answer comes 100 ms late; frames 2 and 4 get none. Dividing by the frames sent instead
  // of the good ones would give about 60.
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--delay-ms", "100", "--answer-pattern", "10110"}));
  const Results r = RunPing(element_.get(), {.host = ns.remoteAddress(), .sendTimes = 5, .maxTimeout = 2500});
  ExpectOutcome(r, 60, "2: Request Timed Out#5: Request Timed Out#");
  EXPECT_GE(r.averageRoundTrip, 100);
  EXPECT_LE(r.averageRoundTrip, 500) << "a good reply comes within its frame's 500 ms";
}

TEST_F(PingElementJobs, ReplyFromAnotherAddressFailsTheFrame) {
  PingNamespace ns;
  ASSERT_TRUE(ns.ok()) << ns.error();
  const std::string other = ns.AddExtraAddress();
  ASSERT_FALSE(other.empty()) << ns.error();
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--from", other, "--delay-ms", "50"}));

  const Results one = RunPing(element_.get(), {.host = ns.remoteAddress(), .sendTimes = 1, .maxTimeout = 3000});
  ExpectOutcome(one, 0, "1: Reply expected from " + ns.remoteAddress() + " but came from " + other + "#");
  // A single failed frame reports the round trip of the reply it got.
  EXPECT_GE(one.averageRoundTrip, 50);
  EXPECT_LE(one.averageRoundTrip, 3000);

  const Results two = RunPing(element_.get(), {.host = ns.remoteAddress(), .sendTimes = 2, .maxTimeout = 3000});
  EXPECT_EQ(two.errorMessage, "1: Reply expected from " + ns.remoteAddress() + " but came from " + other + "#" +
                                  "2: Reply expected from " + ns.remoteAddress() + " but came from " + other + "#");
  EXPECT_EQ(two.succeededPercent, 0);
  EXPECT_EQ(two.averageRoundTrip, 0) << "with several frames only good replies count";
}

TEST_F(PingElementJobs, ReturnedTosIsCheckedOnlyWhenAsked) {
  PingNamespace ns;
  constexpr uint8_t kSent = 0x20;
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--tos", "0x60"}));
  const std::string differs = "Received ping has a different TOS than the sent ping !";
  const Results checked = RunPing(
      element_.get(), {.host = ns.remoteAddress(), .sendTimes = 3, .maxTimeout = 1500, .tos = kSent, .checkTos = true});
  ExpectOutcome(checked, 0, "1: " + differs + "#2: " + differs + "#3: " + differs + "#");

  const Results unchecked =
      RunPing(element_.get(), {.host = ns.remoteAddress(), .sendTimes = 3, .maxTimeout = 1500, .tos = kSent});
  ExpectOutcome(unchecked, 100, "");

  // Answers with the TOS of the request.
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {}));
  const Results matching = RunPing(
      element_.get(), {.host = ns.remoteAddress(), .sendTimes = 3, .maxTimeout = 1500, .tos = kSent, .checkTos = true});
  ExpectOutcome(matching, 100, "");
}

TEST_F(PingElementJobs, IcmpErrorNamesItsSender) {
  PingNamespace ns;
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--error", "3/1"}));
  const std::string item = ": Destination Host Unreachable (" + ns.remoteAddress() + ")";
  const Results two = RunPing(element_.get(), {.host = ns.remoteAddress(), .sendTimes = 2, .maxTimeout = 1000});
  ExpectOutcome(two, 0, "1" + item + "#2" + item + "#");
  EXPECT_EQ(two.averageRoundTrip, 0);

  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--error", "3/1", "--delay-ms", "50"}));
  const Results one = RunPing(element_.get(), {.host = ns.remoteAddress(), .sendTimes = 1, .maxTimeout = 2000});
  ExpectOutcome(one, 0, "1" + item + "#");
  EXPECT_GE(one.averageRoundTrip, 50) << "the round trip of the error that came back";
  EXPECT_LE(one.averageRoundTrip, 2000);
}

TEST_F(PingElementJobs, Ipv6ToTheNamespace) {
  PingNamespace ns;
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {}));
  const Results all =
      RunPing(element_.get(), {.host = ns.remoteAddress6(), .sendTimes = 3, .maxTimeout = 3000, .ipV6 = true});
  ExpectOutcome(all, 100, "", ns.remoteAddress6());

  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--answer-pattern", "10"}));
  const Results half =
      RunPing(element_.get(), {.host = ns.remoteAddress6(), .sendTimes = 2, .maxTimeout = 600, .ipV6 = true});
  ExpectOutcome(half, 50, "2: Request Timed Out#", ns.remoteAddress6());
}

// ---------------------------------------------------------------- one job after the other, lifetime

using PingElementLifetime = PingElementTest;

TEST_F(PingElementLifetime, NextPingStartsFromEmptyResults) {
  PingNamespace ns;
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--answer-pattern", "10"}));
  ASSERT_EQ(element_->put_PingID(12), com::S_OK);
  {
    LogCapture log;
    const Results first = RunPing(element_.get(), {.host = ns.remoteAddress(), .sendTimes = 2, .maxTimeout = 600});
    ASSERT_EQ(first.succeededPercent, 50);
    ASSERT_EQ(first.errorMessage, "2: Request Timed Out#");
    EXPECT_EQ(log.Lines(kPingLinePrefix), JobLines(12, ns.remoteAddress(), 32, 2, 600, ""));
  }

  // The second job gets no answer for 1.5 s: until then it shows nothing of the first one.
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--answer-pattern", "0"}));
  LogCapture log;
  ASSERT_EQ(
      StartPing(element_.get(), {.host = ns.remoteAddress(), .packageSize = 64, .sendTimes = 1, .maxTimeout = 1500}),
      com::S_OK);
  const Results during = Read(element_.get());
  EXPECT_EQ(during.running, com::VARIANT_TRUE);
  EXPECT_EQ(during.succeededPercent, 0);
  EXPECT_EQ(during.averageRoundTrip, 0);
  EXPECT_EQ(during.errorMessage, "");
  EXPECT_EQ(log.Lines(kPingLinePrefix), JobLines(12, ns.remoteAddress(), 64, 1, 1500, ns.remoteAddress()));
  ASSERT_TRUE(WaitUntilDone(element_.get()));
  const Results second = Read(element_.get());
  ExpectOutcome(second, 0, "1: Request Timed Out#", ns.remoteAddress());

  // A third job to loopback; the old IP is the second job's.
  LogCapture third;
  const Results r = RunPing(element_.get(), {.host = "127.0.0.1", .sendTimes = 1});
  ExpectOutcome(r, 100, "", "127.0.0.1");
  EXPECT_TRUE(third.Has(ArgumentsLine(12, "127.0.0.1", 32, 1, 1000, ns.remoteAddress())));
}

TEST_F(PingElementLifetime, ReleasedWhileRunningTheJobStillEnds) {
  PingNamespace ns;
  ASSERT_NO_FATAL_FAILURE(StartResponder(ns, {"--answer-pattern", "0"}));
  const std::string destroyed = "Ping Destroy the instance of Sondrel!";
  LogCapture log;
  {
    ComPtr<ItqPing> element = NewElement();
    ASSERT_TRUE(element);
    ASSERT_EQ(StartPing(element.get(), {.host = ns.remoteAddress(), .sendTimes = 2, .maxTimeout = 1000}), com::S_OK);
    // The client lets go of its only reference while the job waits for its first answer.
  }
  EXPECT_FALSE(log.Has(destroyed)) << "the running job holds the element";
  EXPECT_TRUE(log.WaitFor(destroyed)) << "the element did not go once its job ended";

  // The component keeps working for the next client.
  ComPtr<ItqPing> next = NewElement();
  ASSERT_TRUE(next);
  const Results r = RunPing(next.get(), {.host = "127.0.0.1", .sendTimes = 1});
  EXPECT_EQ(r.succeededPercent, 100);
}

// A job whose thread the system refuses fails the call and leaves nothing running: the element
// is not running, the job's reference on it is given back, and the next Ping works.
TEST_F(PingElementLifetime, RefusedWorkerThreadFailsTheCallAndLeavesNothingRunning) {
  const std::string destroyed = "Ping Destroy the instance of Sondrel!";
  const std::string eagain = std::to_string(EAGAIN);
  const std::string refused = IdLine("FAILED to start the Ping", 5) + ", doserrno: " + eagain + ", errno: " + eagain +
                              ", system error: " + std::strerror(EAGAIN);
  LogCapture log;
  {
    ComPtr<ItqPing> element = NewElement();
    ASSERT_TRUE(element);
    ASSERT_EQ(element->put_PingID(5), com::S_OK);
    loop::testing::FailNextThreadCreations(1);
    const HRESULT started = StartPing(element.get(), {.host = "127.0.0.1", .sendTimes = 1});
    loop::testing::FailNextThreadCreations(0);
    EXPECT_EQ(started, com::E_FAIL);
    EXPECT_TRUE(log.Has(refused));
    EXPECT_EQ(Read(element.get()).running, com::VARIANT_FALSE);
  }
  EXPECT_TRUE(log.Has(destroyed)) << "the job that never ran let go of the element";

  const Results r = RunPing(element_.get(), {.host = "127.0.0.1", .sendTimes = 1});
  EXPECT_EQ(r.succeededPercent, 100);
}

// ---------------------------------------------------------------- late binding

using PingElementLateBinding = PingElementTest;

com::DISPID IdOf(com::IDispatch* object, const char16_t* name) {
  com::DISPID id = -1;
  EXPECT_EQ(com::GetIdOfName(object, name, &id), com::S_OK) << com::Utf16ToUtf8(name);
  return id;
}

HRESULT Invoke(com::IDispatch* object, com::DISPID id, uint16_t flags, std::vector<com::Variant> args,
               com::Variant* result = nullptr) {
  return com::InvokeMember(object, id, flags, args, result != nullptr ? result->put() : nullptr);
}

com::Variant Missing() {
  com::Variant missing;
  missing.get()->vt = com::VT_ERROR;
  missing.get()->scode = com::DISP_E_PARAMNOTFOUND;
  return missing;
}

// Polls the late-bound IsRunning until it is false: 10 ms steps, 10 s at most.
bool WaitUntilDoneLateBound(com::IDispatch* object) {
  const com::DISPID isRunning = IdOf(object, u"IsRunning");
  bool failed = false;
  const bool ended = testkit::PollUntil(
      [&] {
        com::Variant running;
        failed = Invoke(object, isRunning, com::DISPATCH_PROPERTYGET, {}, &running) != com::S_OK ||
                 running.type() != com::VT_BOOL;
        return failed || running.raw().boolVal == com::VARIANT_FALSE;
      },
      10s, 10ms);
  return ended && !failed;
}

TEST_F(PingElementLateBinding, PingWithTheOptionalArgumentsLeftOut) {
  ComPtr<com::IDispatch> object = element_.As<com::IDispatch>();
  ASSERT_TRUE(object);
  const com::DISPID ping = IdOf(object.get(), u"Ping");
  EXPECT_EQ(ping, kPingPing);
  const com::DISPID percent = IdOf(object.get(), u"SucceededPercent");
  const com::DISPID host = IdOf(object.get(), u"HostTcpIp");

  // Left out either by passing only the four, or as missing values.
  const std::vector<std::vector<com::Variant>> calls = {
      {com::Variant(u"127.0.0.1"), com::Variant(int32_t{32}), com::Variant(int32_t{2}), com::Variant(int32_t{2000})},
      {com::Variant(u"127.0.0.1"), com::Variant(int32_t{32}), com::Variant(int32_t{2}), com::Variant(int32_t{2000}),
       Missing(), Missing(), Missing()},
  };
  for (const auto& args : calls) {
    SCOPED_TRACE(std::to_string(args.size()) + " arguments");
    ASSERT_EQ(Invoke(object.get(), ping, com::DISPATCH_METHOD, args), com::S_OK);
    ASSERT_TRUE(WaitUntilDoneLateBound(object.get()));
    com::Variant value;
    ASSERT_EQ(Invoke(object.get(), percent, com::DISPATCH_PROPERTYGET, {}, &value), com::S_OK);
    EXPECT_EQ(value.type(), com::VT_I2);
    EXPECT_EQ(value.raw().iVal, 100);
    com::Variant address;
    ASSERT_EQ(Invoke(object.get(), host, com::DISPATCH_PROPERTYGET, {}, &address), com::S_OK);
    ASSERT_EQ(address.type(), com::VT_BSTR);
    EXPECT_EQ(std::u16string_view(address.raw().bstrVal, com::SysStringLen(address.raw().bstrVal)), u"127.0.0.1");
  }

  // The argument checks hold for late-bound calls too.
  EXPECT_EQ(Invoke(object.get(), ping, com::DISPATCH_METHOD,
                   {com::Variant(u"127.0.0.1"), com::Variant(int32_t{513}), com::Variant(int32_t{1}),
                    com::Variant(int32_t{1000})}),
            com::E_INVALIDARG);
  com::Variant value;
  ASSERT_EQ(Invoke(object.get(), percent, com::DISPATCH_PROPERTYGET, {}, &value), com::S_OK);
  EXPECT_EQ(value.raw().iVal, 100) << "a refused call leaves the results";
}

}  // namespace
}  // namespace vorlane::ping
