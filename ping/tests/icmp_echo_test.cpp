#include "ping/icmp_echo.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/mount.h>
#include <poll.h>

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ping/icmp_reply.h"
#include "ping/tests/private_network.h"

namespace vorlane::ping {
namespace {

using std::chrono::milliseconds;
using testing::Ipv4Address;
using testing::Ipv6Address;
using testing::PingNamespace;

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new testing::PrivateNetworkEnvironment);

const std::string kResponder = VORLANE_ICMP_RESPONDER;


EchoRequest MakeRequest(const sockaddr_storage& to, milliseconds timeout = milliseconds(2000), uint8_t tos = 0,
                        size_t payloadSize = 32) {
  return {.destination = to, .payloadSize = payloadSize, .ttl = 64, .tos = tos, .timeout = timeout};
}

EchoReply MustEcho(IcmpEchoSocket& socket, const EchoRequest& request) {
  const std::array<uint8_t, 5> payload = {'v', 'o', 'r', 'l', 'a'};
  auto r = socket.Echo(request, payload);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
  return r.ok() ? r.value() : EchoReply{};
}

// Declares `var`, an open socket, or ends the test with the reason it could not be opened.
#define OPEN_SOCKET(var, family, kind)                                    \
  auto var##Opened = IcmpEchoSocket::Open(family, kind);                  \
  ASSERT_TRUE(var##Opened.ok()) << "open: " << var##Opened.error().message; \
  IcmpEchoSocket var = std::move(var##Opened).value()

// ---------------------------------------------------------------- pure mappings

TEST(IcmpStatusMapping, Ipv4AndIpv6Errors) {
  struct Case { bool v6; uint8_t type, code; uint32_t status; };
  const Case cases[] = {
      {false, 3, 0, 11002}, {false, 3, 6, 11002}, {false, 3, 9, 11002}, {false, 3, 11, 11002},
      {false, 3, 1, 11003}, {false, 3, 7, 11003}, {false, 3, 10, 11003}, {false, 3, 12, 11003},
      {false, 3, 2, 11004}, {false, 3, 3, 11005}, {false, 3, 4, 11009}, {false, 3, 5, 11012},
      {false, 3, 8, 11003}, {false, 3, 13, 11003}, {false, 3, 15, 11003},
      {false, 11, 0, 11013}, {false, 11, 1, 11014},
      {false, 12, 0, 11015}, {false, 12, 1, 11015},
      {false, 4, 0, 11016},
      {false, 0, 0, 11050}, {false, 5, 0, 11050}, {false, 200, 0, 11050},
      {true, 1, 0, 11002}, {true, 1, 1, 11003}, {true, 1, 3, 11003}, {true, 1, 4, 11005},
      {true, 2, 0, 11009},
      {true, 3, 0, 11013}, {true, 3, 1, 11014},
      {true, 4, 0, 11015}, {true, 4, 1, 11015}, {true, 4, 2, 11015},
      {true, 128, 0, 11050}, {true, 129, 0, 11050}, {true, 137, 0, 11050},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.v6 ? StatusFromIcmp6(c.type, c.code) : StatusFromIcmp4(c.type, c.code), c.status)
        << (c.v6 ? "ICMPv6" : "ICMP") << " type " << int(c.type) << " code " << int(c.code);
  }
}

TEST(ResolverMapping, ErrorCodes) {
  EXPECT_EQ(ResolverErrorCode(EAI_NONAME), 11001u);
  EXPECT_EQ(ResolverErrorCode(EAI_NODATA), 11001u);
  EXPECT_EQ(ResolverErrorCode(EAI_AGAIN), 11002u);
  EXPECT_EQ(ResolverErrorCode(EAI_FAIL), 11003u);
  EXPECT_EQ(ResolverErrorCode(EAI_MEMORY), 11003u);
  EXPECT_EQ(ResolverErrorCode(EAI_FAMILY), 11003u);
}

TEST(ResolverMapping, Texts) {
  EXPECT_EQ(ResolverErrorText(11001), "No such host is known.\r\n");
  EXPECT_EQ(ResolverErrorText(11002),
            "This is usually a temporary error during hostname resolution and means that the local server "
            "did not receive a response from an authoritative server.\r\n");
  EXPECT_EQ(ResolverErrorText(11003), "A non-recoverable error occurred during a database lookup.\r\n");
  EXPECT_EQ(ResolverErrorText(11004), "The requested name is valid, but no data of the requested type was found.\r\n");
  EXPECT_EQ(ResolverErrorText(0), "");
  EXPECT_EQ(ResolverErrorText(11010), "");
}

TEST(AddressText, FormatsBothFamilies) {
  EXPECT_EQ(AddressText(Ipv4Address("192.0.2.33")), "192.0.2.33");
  EXPECT_EQ(AddressText(Ipv6Address("2001:db8:0:0:0:0:0:1")), "2001:db8::1");
  EXPECT_EQ(AddressText(Ipv6Address("::1")), "::1");
  EXPECT_EQ(AddressText(sockaddr_storage{}), "");
}

// ---------------------------------------------------------------- resolution

TEST(Resolve, NumericAndLocalhost) {
  REQUIRE_PRIVATE_NETWORK();
  struct Case { const char* name; int family; const char* address; };
  for (const Case c : {Case{"127.0.0.1", AF_INET, "127.0.0.1"}, Case{"::1", AF_INET6, "::1"},
                       Case{"localhost", AF_INET, "127.0.0.1"}}) {
    SCOPED_TRACE(c.name);
    auto r = ResolveFirst(c.name, c.family);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r.value().ss_family, c.family);
    EXPECT_EQ(AddressText(r.value()), c.address);
  }

  // A numeric address of the other family does not resolve.
  EXPECT_FALSE(ResolveFirst("::1", AF_INET).ok());
  EXPECT_FALSE(ResolveFirst("10.1.2.3", AF_INET6).ok());
}

// The resolver reads a name up to its first NUL: a name holding one is no host's, never the
// address before the NUL. Refused before any lookup.
TEST(Resolve, ANameHoldingANulIsHostNotFound) {
  for (const int family : {AF_INET, AF_INET6}) {
    auto r = ResolveFirst(std::string("127.0.0.1\0.evil", 15), family);
    ASSERT_FALSE(r.ok()) << family;
    EXPECT_EQ(r.error().code, 11001) << family;
  }
}

// A name server on 127.0.0.1:53 of the private namespace, made this program's resolver (bind
// mount over /etc/resolv.conf, private mount namespace) that answers every query with `rcode`.
class FakeNameServer {
 public:
  explicit FakeNameServer(uint8_t rcode) : rcode_(rcode) { Start(); }
  ~FakeNameServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (mounted_) ::umount2("/etc/resolv.conf", MNT_DETACH);
    ::unlink(kConfPath);
  }
  const std::string& error() const { return error_; }
  int queries() const { return queries_; }

 private:
  void Start() {
    fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd_) return Fail("socket");
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(53);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) return Fail("bind 127.0.0.1:53");
    // The file lives on the private tmpfs the test environment put on /run.
    const std::string text = "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n";
    if (!testing::WriteNewFile(kConfPath, text)) return Fail("write resolver file");
    if (::mount(kConfPath, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0) return Fail("bind mount resolv.conf");
    mounted_ = true;
    thread_ = std::thread([this] { Serve(); });
  }

  void Fail(const char* what) { error_ = std::string(what) + ": " + std::strerror(errno); }

  void Serve() {
    // Bounded: stops on request, and in any case after 30 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    uint8_t buf[1500];
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      pollfd pfd{fd_.get(), POLLIN, 0};
      if (::poll(&pfd, 1, 50) <= 0) continue;
      sockaddr_storage peer{};
      socklen_t peerLen = sizeof peer;
      ssize_t n = ::recvfrom(fd_.get(), buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&peer), &peerLen);
      if (n < 12) continue;
      ++queries_;
      // Same id and question; QR set, RD kept, RA set, no answers.
      buf[2] = static_cast<uint8_t>(0x80 | (buf[2] & 0x01));
      buf[3] = static_cast<uint8_t>(0x80 | rcode_);
      buf[6] = buf[7] = buf[8] = buf[9] = buf[10] = buf[11] = 0;
      (void)::sendto(fd_.get(), buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&peer), peerLen);
    }
  }

  static constexpr const char* kConfPath = "/run/vorlane-resolv.conf";
  uint8_t rcode_;
  UniqueFd fd_;
  bool mounted_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::string error_;
  std::thread thread_;
};

// Resolving `name` against a name server that answers `rcode` must fail with `code`.
void ExpectResolveFails(uint8_t rcode, const char* name, int code) {
  FakeNameServer dns(rcode);
  ASSERT_EQ(dns.error(), "");
  auto r = ResolveFirst(name, AF_INET);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, code) << r.error().message;
  EXPECT_GE(dns.queries(), 1);
}

// An unknown name is host not found, a server failure temporary.
TEST(Resolve, NameServerAnswersMapToTheirCodes) {
  REQUIRE_PRIVATE_NETWORK();
  ExpectResolveFails(3, "no-such-host.vorlane.invalid", 11001);  // NXDOMAIN
  ExpectResolveFails(2, "broken.vorlane.invalid", 11002);        // SERVFAIL
}

// ---------------------------------------------------------------- reply classification

constexpr uint16_t kOurId = 0x1234;
constexpr uint16_t kOurSeq = 0x0042;

using Bytes = std::vector<uint8_t>;

// An ICMP message: type, code, zero checksum, identifier, sequence, `payload` bytes of 0xAB.
Bytes Icmp(uint8_t type, uint8_t code, uint16_t id, uint16_t seq, size_t payload = 0) {
  Bytes b = {type, code, 0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id),
             static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
  b.insert(b.end(), payload, 0xAB);
  return b;
}

// An ICMP error message quoting `quoted` (the original datagram, headers first).
Bytes IcmpError(uint8_t type, uint8_t code, const Bytes& quoted) {
  Bytes b = {type, code, 0, 0, 0, 0, 0, 0};
  b.insert(b.end(), quoted.begin(), quoted.end());
  return b;
}

// An IPv4 header of `ihlWords` 32-bit words (options zero) in front of `body`.
Bytes Ip4(uint8_t protocol, const Bytes& body, uint8_t tos = 0, uint8_t ihlWords = 5) {
  Bytes b(static_cast<size_t>(ihlWords) * 4, 0);
  b[0] = static_cast<uint8_t>(0x40 | ihlWords);
  b[1] = tos;
  b[8] = 64;
  b[9] = protocol;
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

// A 40-byte IPv6 header in front of `body`.
Bytes Ip6(uint8_t nextHeader, const Bytes& body) {
  Bytes b(40, 0);
  b[0] = 0x60;
  b[6] = nextHeader;
  b[7] = 64;
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes Cut(Bytes b, size_t size) {
  b.resize(size);
  return b;
}

sockaddr_storage NoAddress() { return sockaddr_storage{}; }

// Echo replies carrying `payload` bytes, ours unless told another identifier or sequence.
Bytes Reply4(uint16_t id = kOurId, uint16_t seq = kOurSeq, size_t payload = 0) {
  return Icmp(ICMP_ECHOREPLY, 0, id, seq, payload);
}
Bytes Reply6(uint16_t id = kOurId, uint16_t seq = kOurSeq, size_t payload = 0) {
  return Icmp(ICMP6_ECHO_REPLY, 0, id, seq, payload);
}

// An ICMP message as a raw IPv4 socket reads it: the IP header first.
Bytes Raw4(const Bytes& icmp, uint8_t tos = 0, uint8_t ihlWords = 5) { return Ip4(IPPROTO_ICMP, icmp, tos, ihlWords); }

sockaddr_storage AddressOf(const char* text) {
  return std::string(text).find(':') == std::string::npos ? Ipv4Address(text) : Ipv6Address(text);
}

struct DatagramCase {
  const char* name;
  Bytes datagram;
  const char* sender;
  bool ours;
  uint32_t status = kStatusGeneralFailure;
  size_t payloadSize = 0;
  uint8_t tos = 0;
};

// The datagrams of one socket kind of one family.
struct DatagramGroup {
  const char* name;
  int family;
  bool raw;
  std::vector<DatagramCase> cases;
};

TEST(ReplyClassification, DatagramsAsEachSocketKindDeliversThem) {
  const Bytes ourRequest4 = Ip4(IPPROTO_ICMP, Icmp(ICMP_ECHO, 0, kOurId, kOurSeq, 32));
  const Bytes ourRequest6 = Ip6(IPPROTO_ICMPV6, Icmp(ICMP6_ECHO_REQUEST, 0, kOurId, kOurSeq, 32));
  // An unreachable error quoting a request over `protocol`: port unreachable for UDP, else host.
  const auto quoting4 = [](uint8_t protocol, uint8_t type, uint16_t id, uint16_t seq) {
    return Raw4(IcmpError(ICMP_DEST_UNREACH, protocol == IPPROTO_UDP ? 3 : 1, Ip4(protocol, Icmp(type, 0, id, seq))));
  };
  const DatagramGroup groups[] = {
      {"raw4", AF_INET, true, {
          {"reply", Raw4(Reply4(kOurId, kOurSeq, 32), 0x28), "192.0.2.1", true, kStatusSuccess, 32, 0x28},
          {"reply after IP options", Raw4(Reply4(kOurId, kOurSeq, 5), 0, 7), "192.0.2.1", true, kStatusSuccess, 5},
          {"reply from another sender", Raw4(Reply4()), "198.51.100.7", true, kStatusSuccess, 0},
          {"wrong identifier", Raw4(Reply4(kOurId + 1)), "192.0.2.1", false},
          {"wrong sequence", Raw4(Reply4(kOurId, kOurSeq - 1)), "192.0.2.1", false},
          {"our own request looped back", ourRequest4, "127.0.0.1", false},
          {"without IP header", Reply4(kOurId, kOurSeq, 32), "192.0.2.1", false},
          {"short IP header", Bytes(19, 0x45), "192.0.2.1", false},
          {"IP header only", Raw4({}), "192.0.2.1", false},
          {"ICMP header cut", Cut(Raw4(Reply4()), 27), "192.0.2.1", false},
          {"header length below minimum", Raw4(Reply4(), 0, 4), "192.0.2.1", false},
          {"header length past the end", Cut(Raw4({}, 0, 15), 40), "192.0.2.1", false},
          {"not version 4", Ip6(IPPROTO_ICMP, Reply4()), "192.0.2.1", false},
          {"host unreachable quoting ours", Raw4(IcmpError(ICMP_DEST_UNREACH, 1, ourRequest4), 0x10), "10.0.0.254",
           true, kStatusHostUnreachable, 0, 0x10},
          {"port unreachable quoting ours", Raw4(IcmpError(ICMP_DEST_UNREACH, 3, ourRequest4)), "10.0.0.254", true,
           kStatusPortUnreachable},
          {"TTL expired quoting ours", Raw4(IcmpError(ICMP_TIME_EXCEEDED, 0, ourRequest4)), "10.0.0.254", true,
           kStatusTtlExpiredTransit},
          {"source quench quoting ours", Raw4(IcmpError(ICMP_SOURCE_QUENCH, 0, ourRequest4)), "10.0.0.254", true,
           kStatusSourceQuench},
          {"parameter problem quoting ours", Raw4(IcmpError(ICMP_PARAMETERPROB, 0, ourRequest4)), "10.0.0.254", true,
           kStatusParameterProblem},
          {"error quoting another identifier", quoting4(IPPROTO_ICMP, ICMP_ECHO, kOurId + 1, kOurSeq), "10.0.0.254",
           false},
          {"error quoting another sequence", quoting4(IPPROTO_ICMP, ICMP_ECHO, kOurId, kOurSeq + 1), "10.0.0.254",
           false},
          {"error quoting a UDP datagram", quoting4(IPPROTO_UDP, ICMP_ECHO, kOurId, kOurSeq), "10.0.0.254", false},
          {"error quoting an echo reply", quoting4(IPPROTO_ICMP, ICMP_ECHOREPLY, kOurId, kOurSeq), "10.0.0.254",
           false},
          {"error with its quote cut", Raw4(IcmpError(ICMP_DEST_UNREACH, 1, Cut(ourRequest4, 27))), "10.0.0.254",
           false},
          {"redirect is no answer", Raw4(IcmpError(ICMP_REDIRECT, 0, ourRequest4)), "10.0.0.254", false},
      }},
      // The ICMP message alone, identifier possibly rewritten.
      {"dgram4", AF_INET, false, {
          {"reply", Reply4(kOurId, kOurSeq, 48), "192.0.2.1", true, kStatusSuccess, 48},
          {"reply with rewritten identifier", Reply4(0x0007, kOurSeq, 8), "192.0.2.1", true, kStatusSuccess, 8},
          {"wrong sequence", Reply4(kOurId, kOurSeq + 1), "192.0.2.1", false},
          {"short", Cut(Reply4(), 7), "192.0.2.1", false},
          {"errors come through the error queue", IcmpError(ICMP_DEST_UNREACH, 1, ourRequest4), "10.0.0.254", false},
      }},
      // The ICMPv6 message alone.
      {"raw6", AF_INET6, true, {
          {"reply", Reply6(kOurId, kOurSeq, 32), "2001:db8::1", true, kStatusSuccess, 32},
          {"reply from another sender", Reply6(), "2001:db8::99", true, kStatusSuccess},
          {"wrong identifier", Reply6(kOurId - 1), "2001:db8::1", false},
          {"wrong sequence", Reply6(kOurId, kOurSeq + 7), "2001:db8::1", false},
          {"IPv4 reply type", Reply4(), "2001:db8::1", false},
          {"short", Cut(Reply6(), 7), "2001:db8::1", false},
          {"port unreachable quoting ours", IcmpError(ICMP6_DST_UNREACH, 4, ourRequest6), "2001:db8::fe", true,
           kStatusPortUnreachable},
          {"no route quoting ours", IcmpError(ICMP6_DST_UNREACH, 0, ourRequest6), "2001:db8::fe", true,
           kStatusNetUnreachable},
          {"packet too big quoting ours", IcmpError(ICMP6_PACKET_TOO_BIG, 0, ourRequest6), "2001:db8::fe", true,
           kStatusPacketTooBig},
          {"reassembly time exceeded quoting ours", IcmpError(ICMP6_TIME_EXCEEDED, 1, ourRequest6), "2001:db8::fe",
           true, kStatusTtlExpiredReassembly},
          {"parameter problem quoting ours", IcmpError(ICMP6_PARAM_PROB, 0, ourRequest6), "2001:db8::fe", true,
           kStatusParameterProblem},
          {"error quoting another identifier",
           IcmpError(ICMP6_DST_UNREACH, 4, Ip6(IPPROTO_ICMPV6, Icmp(ICMP6_ECHO_REQUEST, 0, kOurId ^ 0xFF, kOurSeq))),
           "2001:db8::fe", false},
          {"error quoting a UDP datagram",
           IcmpError(ICMP6_DST_UNREACH, 4, Ip6(IPPROTO_UDP, Icmp(ICMP6_ECHO_REQUEST, 0, kOurId, kOurSeq))),
           "2001:db8::fe", false},
          {"error quoting an IPv4 request", IcmpError(ICMP6_DST_UNREACH, 4, ourRequest4), "2001:db8::fe", false},
          {"error with its quote cut", IcmpError(ICMP6_DST_UNREACH, 4, Cut(ourRequest6, 47)), "2001:db8::fe", false},
      }},
      {"dgram6", AF_INET6, false, {
          {"reply", Reply6(0x0007, kOurSeq, 16), "2001:db8::1", true, kStatusSuccess, 16},
          {"request is no answer", Icmp(ICMP6_ECHO_REQUEST, 0, kOurId, kOurSeq), "2001:db8::1", false},
          {"wrong sequence", Reply6(kOurId, kOurSeq - 1), "2001:db8::1", false},
          {"short", Cut(Reply6(), 6), "2001:db8::1", false},
      }},
  };
  for (const DatagramGroup& group : groups) {
    for (const DatagramCase& c : group.cases) {
      SCOPED_TRACE(std::string(group.name) + " " + c.name);
      const EchoIdentity identity{group.family, group.raw, kOurId, kOurSeq};
      const ReplyMatch m = ClassifyDatagram(c.datagram, AddressOf(c.sender), identity);
      EXPECT_EQ(m.ours, c.ours);
      if (!c.ours) continue;
      EXPECT_EQ(m.status, c.status);
      EXPECT_EQ(AddressText(m.from), c.sender);
      EXPECT_EQ(m.payloadSize, c.payloadSize);
      EXPECT_EQ(m.tos, c.tos);
    }
  }
  // Nothing at all.
  EXPECT_FALSE(ClassifyDatagram({}, NoAddress(), EchoIdentity{AF_INET, true, kOurId, kOurSeq}).ours);
  EXPECT_FALSE(ClassifyDatagram({}, NoAddress(), EchoIdentity{AF_INET6, false, kOurId, kOurSeq}).ours);
}

struct QueuedCase {
  const char* name;
  int family;
  Bytes returned;
  uint8_t origin;
  uint8_t type;
  uint8_t code;
  uint32_t errnoValue;
  const char* offender;  // "" for none
  bool ours;
  uint32_t status = kStatusGeneralFailure;
  const char* from = "";
};

TEST(ReplyClassification, ErrorQueueEntriesOfDatagramSockets) {
  const Bytes ours4 = Icmp(ICMP_ECHO, 0, 0x0007, kOurSeq, 32);  // as sent, identifier the socket's port
  const Bytes ours6 = Icmp(ICMP6_ECHO_REQUEST, 0, 0x0007, kOurSeq, 32);
  const QueuedCase cases[] = {
      {"host unreachable from a router", AF_INET, ours4, SO_EE_ORIGIN_ICMP, ICMP_DEST_UNREACH, 1, EHOSTUNREACH,
       "10.0.0.254", true, kStatusHostUnreachable, "10.0.0.254"},
      {"TTL expired from a router", AF_INET, ours4, SO_EE_ORIGIN_ICMP, ICMP_TIME_EXCEEDED, 0, EHOSTUNREACH,
       "10.0.0.253", true, kStatusTtlExpiredTransit, "10.0.0.253"},
      {"error without a named sender", AF_INET, ours4, SO_EE_ORIGIN_ICMP, ICMP_DEST_UNREACH, 0, ENETUNREACH, "",
       true, kStatusNetUnreachable, "192.0.2.1"},
      {"ICMPv6 port unreachable", AF_INET6, ours6, SO_EE_ORIGIN_ICMP6, ICMP6_DST_UNREACH, 4, ECONNREFUSED,
       "2001:db8::fe", true, kStatusPortUnreachable, "2001:db8::fe"},
      {"ICMPv6 packet too big", AF_INET6, ours6, SO_EE_ORIGIN_ICMP6, ICMP6_PACKET_TOO_BIG, 0, EMSGSIZE,
       "2001:db8::fe", true, kStatusPacketTooBig, "2001:db8::fe"},
      {"local message too long", AF_INET, ours4, SO_EE_ORIGIN_LOCAL, 0, 0, EMSGSIZE, "", true, kStatusPacketTooBig,
       "192.0.2.1"},
      {"local other error", AF_INET, ours4, SO_EE_ORIGIN_LOCAL, 0, 0, ENOBUFS, "", false},
      {"no origin", AF_INET, ours4, SO_EE_ORIGIN_NONE, 0, 0, 0, "", false},
      {"about another request", AF_INET, Icmp(ICMP_ECHO, 0, 0x0007, kOurSeq + 1, 32), SO_EE_ORIGIN_ICMP,
       ICMP_DEST_UNREACH, 1, EHOSTUNREACH, "10.0.0.254", false},
      {"returned request cut", AF_INET, Cut(ours4, 7), SO_EE_ORIGIN_ICMP, ICMP_DEST_UNREACH, 1, EHOSTUNREACH,
       "10.0.0.254", false},
  };
  for (const QueuedCase& c : cases) {
    SCOPED_TRACE(c.name);
    QueuedIcmpError error;
    error.origin = c.origin;
    error.type = c.type;
    error.code = c.code;
    error.errnoValue = c.errnoValue;
    if (*c.offender != '\0') error.offender = AddressOf(c.offender);
    const sockaddr_storage sender = AddressOf(c.family == AF_INET ? "192.0.2.1" : "2001:db8::1");
    const ReplyMatch m = ClassifyQueuedError(c.returned, error, sender, EchoIdentity{c.family, false, kOurId, kOurSeq});
    EXPECT_EQ(m.ours, c.ours);
    if (!c.ours) continue;
    EXPECT_EQ(m.status, c.status);
    EXPECT_EQ(AddressText(m.from), c.from);
    EXPECT_EQ(m.payloadSize, 0u);
  }
}

// ---------------------------------------------------------------- loopback (kernel answers)

class LoopbackEcho : public ::testing::TestWithParam<SocketKind> {};

TEST_P(LoopbackEcho, Ipv4AndIpv6) {
  REQUIRE_PRIVATE_NETWORK();
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    OPEN_SOCKET(s, family, GetParam());
    EXPECT_EQ(s.isRaw(), GetParam() == SocketKind::kRaw);
    const char* address = family == AF_INET ? "127.0.0.1" : "::1";
    const size_t payloadSize = family == AF_INET ? 48 : 100;
    uint16_t lastSeq = 0;
    for (int i = 0; i < 3; ++i) {
      EchoReply r = MustEcho(s, MakeRequest(AddressOf(address), milliseconds(2000), 0, payloadSize));
      EXPECT_EQ(r.status, kStatusSuccess);
      EXPECT_TRUE(r.gotReply);
      EXPECT_EQ(AddressText(r.from), address);
      EXPECT_LT(r.roundTripMs, 500u);
      EXPECT_EQ(r.replyPayloadSize, payloadSize);
      if (i > 0) {
        EXPECT_EQ(r.sequence, static_cast<uint16_t>(lastSeq + 1));
      }
      lastSeq = r.sequence;
    }
  }
}

// The steps of Echo, driven one by one: send, read what comes, classify it.
TEST_P(LoopbackEcho, StepsOneByOneFindTheReply) {
  REQUIRE_PRIVATE_NETWORK();
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    OPEN_SOCKET(s, family, GetParam());
    const auto to = AddressOf(family == AF_INET ? "127.0.0.1" : "::1");
    constexpr uint16_t kSeq = 0x5150;
    auto sent = s.SendRequest(MakeRequest(to, milliseconds(2000), 0, 24), {}, kSeq);
    ASSERT_TRUE(sent.ok()) << sent.error().message;
    EXPECT_EQ(sent.value(), kStatusSuccess);

    std::vector<uint8_t> buffer(70000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::optional<ReplyMatch> found;
    for (int i = 0; i < 100 && !found && std::chrono::steady_clock::now() < deadline; ++i) {
      auto got = s.ReceiveOne(deadline, buffer);
      ASSERT_TRUE(got.ok()) << got.error().message;
      if (!got.value()) continue;
      const ReceivedDatagram& received = *got.value();
      EXPECT_FALSE(received.fromErrorQueue);
      const ReplyMatch m = ClassifyDatagram({buffer.data(), received.size}, received.sender, s.Identity(kSeq));
      if (m.ours) found = m;  // a raw socket sees its own request first: not ours
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(found->status, kStatusSuccess);
    EXPECT_EQ(found->payloadSize, 24u);
    EXPECT_EQ(AddressText(found->from), family == AF_INET ? "127.0.0.1" : "::1");

    // Nothing is left: the error queue is empty, and a wait already due reads nothing.
    EXPECT_FALSE(s.ReadErrorQueue(buffer));
    auto none = s.ReceiveOne(std::chrono::steady_clock::now(), buffer);
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none.value());
  }
}

TEST_P(LoopbackEcho, Ipv4ReplyCarriesRequestTos) {
  REQUIRE_PRIVATE_NETWORK();
  OPEN_SOCKET(s, AF_INET, GetParam());
  EchoReply r = MustEcho(s, MakeRequest(Ipv4Address("127.0.0.1"), milliseconds(2000), 0x10));
  EXPECT_EQ(r.status, kStatusSuccess);
  EXPECT_EQ(r.tos, 0x10);
}

// What an echo request looked like on the wire, seen by a raw socket of its own on loopback.
struct SeenRequest {
  bool found = false;
  int ttl = -1;
  int tos = -1;
};

SeenRequest FindRequest(int sniffer, int family, uint16_t sequence) {
  SeenRequest seen;
  uint8_t buf[2048];
  alignas(cmsghdr) uint8_t control[256];
  for (int i = 0; i < 200 && !seen.found; ++i) {
    pollfd pfd{sniffer, POLLIN, 0};
    if (::poll(&pfd, 1, 200) <= 0) break;
    iovec iov{buf, sizeof buf};
    msghdr msg{.msg_name = nullptr, .msg_namelen = 0, .msg_iov = &iov, .msg_iovlen = 1,
               .msg_control = control, .msg_controllen = sizeof control, .msg_flags = 0};
    ssize_t n = ::recvmsg(sniffer, &msg, MSG_DONTWAIT);
    if (n <= 0) continue;
    if (family == AF_INET) {
      const size_t ihl = static_cast<size_t>(buf[0] & 0x0F) * 4;
      if (static_cast<size_t>(n) < ihl + 8 || buf[ihl] != 8) continue;
      if ((buf[ihl + 6] << 8 | buf[ihl + 7]) != sequence) continue;
      seen = {true, buf[8], buf[1]};
    } else {
      if (n < 8 || buf[0] != 128 || (buf[6] << 8 | buf[7]) != sequence) continue;
      seen.found = true;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IPV6) continue;
        if (c->cmsg_type == IPV6_HOPLIMIT) std::memcpy(&seen.ttl, CMSG_DATA(c), sizeof seen.ttl);
        if (c->cmsg_type == IPV6_TCLASS) std::memcpy(&seen.tos, CMSG_DATA(c), sizeof seen.tos);
      }
    }
  }
  return seen;
}

TEST_P(LoopbackEcho, RequestCarriesTtlAndTos) {
  REQUIRE_PRIVATE_NETWORK();
  for (int family : {AF_INET, AF_INET6}) {
    SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
    const int protocol = family == AF_INET ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
    UniqueFd sniffer(::socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol));
    ASSERT_TRUE(sniffer) << std::strerror(errno);
    if (family == AF_INET6) {
      const int on = 1;
      ASSERT_EQ(::setsockopt(sniffer.get(), IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on), 0);
      ASSERT_EQ(::setsockopt(sniffer.get(), IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on), 0);
    }
    OPEN_SOCKET(s, family, GetParam());
    const auto to = AddressOf(family == AF_INET ? "127.0.0.1" : "::1");
    for (int ttl : {3, 200}) {
      EchoRequest request = MakeRequest(to, milliseconds(2000), static_cast<uint8_t>(ttl == 3 ? 0x08 : 0x48));
      request.ttl = ttl;
      EchoReply r = MustEcho(s, request);
      EXPECT_EQ(r.status, kStatusSuccess);
      SeenRequest seen = FindRequest(sniffer.get(), family, r.sequence);
      ASSERT_TRUE(seen.found);
      EXPECT_EQ(seen.ttl, ttl);
      EXPECT_EQ(seen.tos, request.tos);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, LoopbackEcho, ::testing::Values(SocketKind::kRaw, SocketKind::kDatagram),
                         [](const auto& info) { return info.param == SocketKind::kRaw ? "Raw" : "Datagram"; });

TEST(IcmpEchoSocket, AutoPrefersRawAsRoot) {
  REQUIRE_PRIVATE_NETWORK();
  OPEN_SOCKET(s, AF_INET, SocketKind::kAuto);
  EXPECT_TRUE(s.isRaw());
}

TEST(IcmpEchoSocket, LiveSocketsHaveDistinctIdentifiers) {
  REQUIRE_PRIVATE_NETWORK();
  std::vector<IcmpEchoSocket> sockets;
  std::set<uint16_t> ids;
  for (int i = 0; i < 64; ++i) {
    auto opened = IcmpEchoSocket::Open(i % 2 ? AF_INET : AF_INET6, i % 3 ? SocketKind::kRaw : SocketKind::kDatagram);
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    sockets.push_back(std::move(opened).value());
    ids.insert(sockets.back().identifier());
  }
  EXPECT_EQ(ids.size(), sockets.size());
}

TEST(IcmpEchoSocket, RejectsBadRequests) {
  REQUIRE_PRIVATE_NETWORK();
  OPEN_SOCKET(s, AF_INET, SocketKind::kRaw);
  EXPECT_FALSE(s.Echo(MakeRequest(Ipv6Address("::1")), {}).ok());
  EchoRequest tooBig = MakeRequest(Ipv4Address("127.0.0.1"));
  tooBig.payloadSize = 70000;
  EXPECT_FALSE(s.Echo(tooBig, {}).ok());
  EchoRequest badTtl = MakeRequest(Ipv4Address("127.0.0.1"));
  badTtl.ttl = 0;
  EXPECT_FALSE(s.Echo(badTtl, {}).ok());
}

TEST(IcmpEchoSocket, UnroutedDestinationIsNetUnreachable) {
  REQUIRE_PRIVATE_NETWORK();
  // The private namespace has no default route.
  OPEN_SOCKET(s, AF_INET, SocketKind::kRaw);
  EchoReply r = MustEcho(s, MakeRequest(Ipv4Address("198.51.100.7"), milliseconds(500)));
  EXPECT_EQ(r.status, kStatusNetUnreachable);
  EXPECT_FALSE(r.gotReply);
}

// ---------------------------------------------------------------- against the responder

class ResponderEcho : public ::testing::TestWithParam<SocketKind> {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_NETWORK();
    ns_ = std::make_unique<PingNamespace>();
    ASSERT_TRUE(ns_->ok()) << ns_->error();
  }
  void Start(const std::vector<std::string>& args) {
    ASSERT_TRUE(ns_->StartResponder(kResponder, args)) << ns_->error();
  }

  std::unique_ptr<PingNamespace> ns_;
};

TEST_P(ResponderEcho, DroppedFrameTimesOut) {
  ASSERT_NO_FATAL_FAILURE(Start({"--answer-pattern", "10"}));
  OPEN_SOCKET(s, AF_INET, GetParam());
  EchoReply first = MustEcho(s, MakeRequest(ns_->remote(), milliseconds(2000)));
  EXPECT_EQ(first.status, kStatusSuccess);

  const auto start = std::chrono::steady_clock::now();
  EchoReply dropped = MustEcho(s, MakeRequest(ns_->remote(), milliseconds(300)));
  const auto waited = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_EQ(dropped.status, kStatusTimedOut);
  EXPECT_FALSE(dropped.gotReply);
  EXPECT_GE(waited.count(), 300);
  EXPECT_LT(waited.count(), 800);

  EchoReply third = MustEcho(s, MakeRequest(ns_->remote(), milliseconds(2000)));
  EXPECT_EQ(third.status, kStatusSuccess);
  EXPECT_EQ(third.sequence, static_cast<uint16_t>(first.sequence + 2));
}

TEST_P(ResponderEcho, LateReplyToEarlierRequestIsIgnored) {
  // Each answer takes 400 ms and the responder answers one request at a time: the answer to
  // the timed-out first request arrives 200 ms into the second wait and must not end it.
  ASSERT_NO_FATAL_FAILURE(Start({"--delay-ms", "400"}));
  OPEN_SOCKET(s, AF_INET, GetParam());
  EchoReply late = MustEcho(s, MakeRequest(ns_->remote(), milliseconds(200)));
  EXPECT_EQ(late.status, kStatusTimedOut);
  EchoReply next = MustEcho(s, MakeRequest(ns_->remote(), milliseconds(3000)));
  EXPECT_EQ(next.status, kStatusSuccess);
  EXPECT_GE(next.roundTripMs, 400u);
}

TEST_P(ResponderEcho, Ipv6DelayedAndDropped) {
  ASSERT_NO_FATAL_FAILURE(Start({"--delay-ms", "120", "--answer-pattern", "10"}));
  OPEN_SOCKET(s, AF_INET6, GetParam());
  EchoReply first = MustEcho(s, MakeRequest(ns_->remote6(), milliseconds(2000)));
  EXPECT_EQ(first.status, kStatusSuccess);
  EXPECT_GE(first.roundTripMs, 120u);
  EchoReply dropped = MustEcho(s, MakeRequest(ns_->remote6(), milliseconds(300)));
  EXPECT_EQ(dropped.status, kStatusTimedOut);
  EXPECT_FALSE(dropped.gotReply);
}

// One echo, or `rounds` of them, against a responder started with `args` in a namespace of its
// own; "extra" among the arguments stands for an extra address of the namespace in the family.
struct ResponderCase {
  const char* name;
  int family = AF_INET;
  std::vector<std::string> args = {};
  milliseconds timeout = milliseconds(2000);
  uint8_t tos = 0;
  size_t payloadSize = 32;
  int rounds = 1;
  uint32_t status = kStatusSuccess;
  bool gotReply = true;
  bool fromExtra = false;
  std::optional<uint8_t> replyTos = std::nullopt;
  std::optional<size_t> replyPayloadSize = std::nullopt;
  std::optional<uint32_t> roundTripAtLeastMs = std::nullopt;
  std::optional<uint32_t> roundTripBelowMs = std::nullopt;
};

TEST_P(ResponderEcho, OneEchoAsTheResponderIsTold) {
  const ResponderCase cases[] = {
      // The responder echoes the TOS we sent: proves IP_TOS took effect.
      {.name = "answers with request TOS", .tos = 0x10, .payloadSize = 56, .replyTos = 0x10,
       .replyPayloadSize = 56, .roundTripBelowMs = 1000},
      {.name = "delayed reply", .args = {"--delay-ms", "150"}, .timeout = milliseconds(3000), .rounds = 2,
       .roundTripAtLeastMs = 150, .roundTripBelowMs = 1500},
      {.name = "rewritten TOS", .args = {"--tos", "0x28"}, .tos = 0x10, .replyTos = 0x28},
      {.name = "reply from another address", .args = {"--from", "extra"}, .fromExtra = true},
      {.name = "host unreachable error", .args = {"--error", "3/1"}, .rounds = 2, .status = kStatusHostUnreachable},
      {.name = "time exceeded error from another address", .args = {"--error", "11/0", "--from", "extra"},
       .status = kStatusTtlExpiredTransit, .fromExtra = true},
      {.name = "wrong identifier is ignored", .args = {"--wrong-id"}, .timeout = milliseconds(400),
       .status = kStatusTimedOut, .gotReply = false},
      {.name = "IPv6 answers with request traffic class", .family = AF_INET6, .tos = 0x20, .payloadSize = 56,
       .replyTos = 0x20, .replyPayloadSize = 56},
      {.name = "IPv6 rewritten traffic class from another address", .family = AF_INET6,
       .args = {"--tos", "0x28", "--from", "extra"}, .tos = 0x10, .fromExtra = true, .replyTos = 0x28},
      {.name = "IPv6 error 1/0", .family = AF_INET6, .args = {"--error", "1/0"}, .status = 11002},
      {.name = "IPv6 error 1/1", .family = AF_INET6, .args = {"--error", "1/1"}, .status = 11003},
      {.name = "IPv6 error 1/4", .family = AF_INET6, .args = {"--error", "1/4"}, .status = 11005},
      {.name = "IPv6 error 2/0", .family = AF_INET6, .args = {"--error", "2/0"}, .status = 11009},
      {.name = "IPv6 error 3/0", .family = AF_INET6, .args = {"--error", "3/0"}, .status = 11013},
      {.name = "IPv6 error 4/0", .family = AF_INET6, .args = {"--error", "4/0"}, .status = 11015},
      {.name = "IPv6 wrong identifier is ignored", .family = AF_INET6, .args = {"--wrong-id"},
       .timeout = milliseconds(400), .status = kStatusTimedOut, .gotReply = false},
  };
  for (const ResponderCase& c : cases) {
    SCOPED_TRACE(c.name);
    PingNamespace ns;
    ASSERT_TRUE(ns.ok()) << ns.error();
    const bool v6 = c.family == AF_INET6;
    std::string extra;
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg != "extra") continue;
      extra = v6 ? ns.AddExtraAddress6() : ns.AddExtraAddress();
      ASSERT_FALSE(extra.empty()) << ns.error();
      arg = extra;
    }
    ASSERT_TRUE(ns.StartResponder(kResponder, args)) << ns.error();
    OPEN_SOCKET(s, c.family, GetParam());
    for (int i = 0; i < c.rounds; ++i) {
      EchoReply r = MustEcho(s, MakeRequest(v6 ? ns.remote6() : ns.remote(), c.timeout, c.tos, c.payloadSize));
      EXPECT_EQ(r.status, c.status);
      EXPECT_EQ(r.gotReply, c.gotReply);
      if (!c.gotReply) continue;
      EXPECT_EQ(AddressText(r.from), c.fromExtra ? extra : v6 ? ns.remoteAddress6() : ns.remoteAddress());
      if (c.replyTos) { EXPECT_EQ(r.tos, *c.replyTos); }
      if (c.replyPayloadSize) { EXPECT_EQ(r.replyPayloadSize, *c.replyPayloadSize); }
      if (c.roundTripAtLeastMs) { EXPECT_GE(r.roundTripMs, *c.roundTripAtLeastMs); }
      if (c.roundTripBelowMs) { EXPECT_LT(r.roundTripMs, *c.roundTripBelowMs); }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ResponderEcho, ::testing::Values(SocketKind::kRaw, SocketKind::kDatagram),
                         [](const auto& info) { return info.param == SocketKind::kRaw ? "Raw" : "Datagram"; });

// ---------------------------------------------------------------- many sockets at once

struct JobOutcome {
  std::string openError;
  std::vector<EchoReply> replies;
};

// Runs `jobs` threads at once; each opens an IPv4 socket of `kind(i)` and sends `rounds` echoes
// of `request(i)` with `payload(i)`. What each job got.
template <class Kind, class Request, class Payload>
std::vector<JobOutcome> RunEchoJobs(int jobs, int rounds, Kind kind, Request request, Payload payload) {
  std::vector<JobOutcome> outcomes(jobs);
  std::vector<std::thread> threads;
  for (int i = 0; i < jobs; ++i) {
    threads.emplace_back([&, i] {
      auto opened = IcmpEchoSocket::Open(AF_INET, kind(i));
      if (!opened.ok()) {
        outcomes[i].openError = opened.error().message;
        return;
      }
      IcmpEchoSocket s = std::move(opened).value();
      const std::vector<uint8_t> bytes = payload(i);
      for (int round = 0; round < rounds; ++round) {
        auto r = s.Echo(request(i), bytes);
        outcomes[i].replies.push_back(r.ok() ? r.value() : EchoReply{});
      }
    });
  }
  for (auto& t : threads) t.join();
  return outcomes;
}

TEST(ParallelEcho, TwentySocketsGetOnlyTheirOwnReplies) {
  REQUIRE_PRIVATE_NETWORK();
  constexpr int kJobs = 20;
  constexpr int kRounds = 5;
  // Namespaces and responders are made on this thread: responders end with the thread that
  // started them.
  std::vector<std::unique_ptr<PingNamespace>> spaces;
  for (int i = 0; i < kJobs; ++i) {
    spaces.push_back(std::make_unique<PingNamespace>());
    ASSERT_TRUE(spaces.back()->ok()) << spaces.back()->error();
    ASSERT_TRUE(spaces.back()->StartResponder(kResponder, {"--delay-ms", std::to_string(i * 5)}))
        << spaces.back()->error();
  }
  // Mostly raw sockets, which see every ICMP packet of the namespace; some datagram ones.
  const std::vector<JobOutcome> outcomes = RunEchoJobs(
      kJobs, kRounds, [](int i) { return i % 4 == 3 ? SocketKind::kDatagram : SocketKind::kRaw; },
      [&](int i) { return MakeRequest(spaces[i]->remote(), milliseconds(5000), 0, 16 + i); },
      [](int i) { return std::vector<uint8_t>(16, static_cast<uint8_t>(i)); });

  for (int i = 0; i < kJobs; ++i) {
    SCOPED_TRACE("job " + std::to_string(i));
    ASSERT_EQ(outcomes[i].openError, "");
    ASSERT_EQ(outcomes[i].replies.size(), static_cast<size_t>(kRounds));
    for (int round = 0; round < kRounds; ++round) {
      const EchoReply& r = outcomes[i].replies[round];
      EXPECT_EQ(r.status, kStatusSuccess) << "round " << round;
      EXPECT_EQ(AddressText(r.from), spaces[i]->remoteAddress()) << "round " << round;
      EXPECT_EQ(r.replyPayloadSize, static_cast<size_t>(16 + i)) << "round " << round;
      EXPECT_GE(r.roundTripMs, static_cast<uint32_t>(i * 5)) << "round " << round;
      if (round > 0) {
        EXPECT_EQ(r.sequence, static_cast<uint16_t>(outcomes[i].replies[round - 1].sequence + 1));
      }
    }
  }
}

TEST(ParallelEcho, SocketsSharingOneResponderAreKeptApart) {
  REQUIRE_PRIVATE_NETWORK();
  PingNamespace ns;
  ASSERT_TRUE(ns.ok()) << ns.error();
  ASSERT_TRUE(ns.StartResponder(kResponder, {})) << ns.error();
  constexpr int kJobs = 20;
  constexpr int kRounds = 5;
  // Payload size tells the jobs' replies apart.
  const std::vector<JobOutcome> outcomes = RunEchoJobs(
      kJobs, kRounds, [](int) { return SocketKind::kRaw; },
      [&](int i) { return MakeRequest(ns.remote(), milliseconds(5000), 0, 100 + i); },
      [](int) { return std::vector<uint8_t>{}; });
  for (int i = 0; i < kJobs; ++i) {
    SCOPED_TRACE("job " + std::to_string(i));
    ASSERT_EQ(outcomes[i].openError, "");
    for (const EchoReply& r : outcomes[i].replies) {
      EXPECT_EQ(r.status, kStatusSuccess);
      EXPECT_EQ(r.replyPayloadSize, static_cast<size_t>(100 + i));
      EXPECT_EQ(AddressText(r.from), ns.remoteAddress());
    }
  }
}

}  // namespace
}  // namespace vorlane::ping
