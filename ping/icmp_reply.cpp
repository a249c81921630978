#include "ping/icmp_reply.h"

#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>

#include <cerrno>

namespace vorlane::ping {
namespace {

constexpr size_t kIcmpHeaderSize = 8;
constexpr size_t kIpv4MinHeaderSize = 20;
constexpr size_t kIpv6HeaderSize = 40;

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// The IPv4 header's length when `p` starts with a plausible one, else 0.
size_t Ipv4HeaderSize(std::span<const uint8_t> p) {
  if (p.size() < kIpv4MinHeaderSize || (p[0] >> 4) != 4) return 0;
  const size_t ihl = static_cast<size_t>(p[0] & 0x0F) * 4;
  return ihl < kIpv4MinHeaderSize || ihl > p.size() ? 0 : ihl;
}

bool IsOurEcho(const uint8_t* icmp, uint8_t requestType, const EchoIdentity& request) {
  return icmp[0] == requestType && ReadU16(icmp + 4) == request.identifier && ReadU16(icmp + 6) == request.sequence;
}

// The original datagram an ICMPv4 error quotes (IPv4 header + ICMP header): our request?
bool QuotesOurEcho4(std::span<const uint8_t> quoted, const EchoIdentity& request) {
  if (quoted.size() < kIpv4MinHeaderSize) return false;
  const size_t ihl = static_cast<size_t>(quoted[0] & 0x0F) * 4;
  if ((quoted[0] >> 4) != 4 || ihl < kIpv4MinHeaderSize || quoted.size() < ihl + kIcmpHeaderSize) return false;
  if (quoted[9] != IPPROTO_ICMP) return false;
  return IsOurEcho(quoted.data() + ihl, ICMP_ECHO, request);
}

bool QuotesOurEcho6(std::span<const uint8_t> quoted, const EchoIdentity& request) {
  if (quoted.size() < kIpv6HeaderSize + kIcmpHeaderSize) return false;
  if ((quoted[0] >> 4) != 6 || quoted[6] != IPPROTO_ICMPV6) return false;
  return IsOurEcho(quoted.data() + kIpv6HeaderSize, ICMP6_ECHO_REQUEST, request);
}

bool IsIcmp4Error(uint8_t type) {
  return type == ICMP_DEST_UNREACH || type == ICMP_SOURCE_QUENCH || type == ICMP_TIME_EXCEEDED ||
         type == ICMP_PARAMETERPROB;
}

bool IsIcmp6Error(uint8_t type) {
  return type == ICMP6_DST_UNREACH || type == ICMP6_PACKET_TOO_BIG || type == ICMP6_TIME_EXCEEDED ||
         type == ICMP6_PARAM_PROB;
}

// An ICMP message (header first) as a raw socket delivers it: an echo reply with our identifier
// and sequence, or an error quoting our request.
void ClassifyRawIcmp(std::span<const uint8_t> icmp, const EchoIdentity& request, ReplyMatch& m) {
  if (icmp.size() < kIcmpHeaderSize) return;
  const bool v4 = request.family == AF_INET;
  const uint8_t type = icmp[0];
  const uint8_t code = icmp[1];
  if (type == (v4 ? ICMP_ECHOREPLY : ICMP6_ECHO_REPLY)) {
    if (ReadU16(icmp.data() + 4) == request.identifier && ReadU16(icmp.data() + 6) == request.sequence) {
      m.ours = true;
      m.status = kStatusSuccess;
      m.payloadSize = icmp.size() - kIcmpHeaderSize;
    }
    return;
  }
  const std::span<const uint8_t> quoted = icmp.subspan(kIcmpHeaderSize);
  if (v4 && IsIcmp4Error(type) && QuotesOurEcho4(quoted, request)) {
    m.ours = true;
    m.status = StatusFromIcmp4(type, code);
  } else if (!v4 && IsIcmp6Error(type) && QuotesOurEcho6(quoted, request)) {
    m.ours = true;
    m.status = StatusFromIcmp6(type, code);
  }
}

}  // namespace

ReplyMatch ClassifyDatagram(std::span<const uint8_t> datagram, const sockaddr_storage& sender,
                            const EchoIdentity& request) {
  ReplyMatch m;
  m.from = sender;
  const bool v4 = request.family == AF_INET;
  if (request.raw) {
    if (!v4) {
      ClassifyRawIcmp(datagram, request, m);
      return m;
    }
    // Raw IPv4 sockets deliver the IP header too.
    const size_t ihl = Ipv4HeaderSize(datagram);
    if (ihl == 0) return m;
    ClassifyRawIcmp(datagram.subspan(ihl), request, m);
    if (m.ours) m.tos = datagram[1];
    return m;
  }
  // The kernel hands a datagram socket only replies carrying its identifier, with it possibly
  // rewritten: the sequence decides. Errors come through the error queue instead.
  if (datagram.size() >= kIcmpHeaderSize && datagram[0] == (v4 ? ICMP_ECHOREPLY : ICMP6_ECHO_REPLY) &&
      ReadU16(datagram.data() + 6) == request.sequence) {
    m.ours = true;
    m.status = kStatusSuccess;
    m.payloadSize = datagram.size() - kIcmpHeaderSize;
  }
  return m;
}

ReplyMatch ClassifyQueuedError(std::span<const uint8_t> returned, const QueuedIcmpError& error,
                               const sockaddr_storage& sender, const EchoIdentity& request) {
  ReplyMatch m;
  m.from = sender;
  if (returned.size() < kIcmpHeaderSize || ReadU16(returned.data() + 6) != request.sequence) return m;
  if (error.origin == SO_EE_ORIGIN_ICMP || error.origin == SO_EE_ORIGIN_ICMP6) {
    m.ours = true;
    m.status = error.origin == SO_EE_ORIGIN_ICMP ? StatusFromIcmp4(error.type, error.code)
                                                 : StatusFromIcmp6(error.type, error.code);
    if (error.offender.ss_family == AF_INET || error.offender.ss_family == AF_INET6) m.from = error.offender;
  } else if (error.origin == SO_EE_ORIGIN_LOCAL && error.errnoValue == EMSGSIZE) {
    m.ours = true;
    m.status = kStatusPacketTooBig;
  }
  return m;
}

}  // namespace vorlane::ping
