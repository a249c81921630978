#include "ping/icmp_echo.h"

#include <arpa/inet.h>
#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "ping/icmp_reply.h"
#include "platform/net/resolve.h"
#include "platform/net/socket_errors.h"

namespace vorlane::ping {
namespace {

constexpr size_t kIcmpHeaderSize = 8;
constexpr size_t kMaxPayload = 65507 - kIcmpHeaderSize;
constexpr size_t kReceiveBufferSize = 65536 + 60;
// Upper bound for packets looked at during one wait; the deadline ends the wait long before
// this on any real network, it only keeps a flood from spinning forever.
constexpr int kMaxPacketsPerWait = 1 << 20;

Error ErrnoError(const char* what) {
  int err = errno;
  return Error{err, std::string(what) + ": " + std::strerror(err)};
}

// Identifiers of the live sockets of this process, so two sockets never share one.
std::mutex g_idMutex;
std::set<uint16_t> g_idsInUse;

uint16_t RandomU16() {
  uint16_t value = 0;
  if (getrandom(&value, sizeof value, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof value)) return value;
  // No entropy yet (early boot): mix the clock, good enough for spreading identifiers.
  auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  ticks ^= ticks >> 29;
  ticks *= 0x9E3779B97F4A7C15ull;
  return static_cast<uint16_t>(ticks >> 48);
}

// Reserves an identifier no other live socket of the process holds. Returns false only when
// all 65536 are taken.
bool ReserveIdentifier(uint16_t& id) {
  std::lock_guard lock(g_idMutex);
  if (g_idsInUse.size() >= 65536) return false;
  for (int attempt = 0; attempt < 64; ++attempt) {
    uint16_t candidate = RandomU16();
    if (g_idsInUse.insert(candidate).second) {
      id = candidate;
      return true;
    }
  }
  // Crowded: walk from a random start to the next free one.
  uint16_t start = RandomU16();
  for (uint32_t i = 0; i < 65536; ++i) {
    auto candidate = static_cast<uint16_t>(start + i);
    if (g_idsInUse.insert(candidate).second) {
      id = candidate;
      return true;
    }
  }
  return false;
}

void ForgetIdentifier(uint16_t id) {
  std::lock_guard lock(g_idMutex);
  g_idsInUse.erase(id);
}

uint16_t InternetChecksum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (size % 2) sum += static_cast<uint32_t>(data[size - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

void WriteU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

uint32_t StatusFromIcmp4(uint8_t type, uint8_t code) {
  switch (type) {
    case ICMP_DEST_UNREACH:
      switch (code) {
        case 0: case 6: case 9: case 11:
          return kStatusNetUnreachable;
        case 2:
          return kStatusProtocolUnreachable;
        case 3:
          return kStatusPortUnreachable;
        case 4:
          return kStatusPacketTooBig;
        case 5:
          return kStatusBadRoute;
        default:  // 1, 7, 10, 12 and everything newer
          return kStatusHostUnreachable;
      }
    case ICMP_SOURCE_QUENCH:
      return kStatusSourceQuench;
    case ICMP_TIME_EXCEEDED:
      return code == 1 ? kStatusTtlExpiredReassembly : kStatusTtlExpiredTransit;
    case ICMP_PARAMETERPROB:
      return kStatusParameterProblem;
    default:
      return kStatusGeneralFailure;
  }
}

uint32_t StatusFromIcmp6(uint8_t type, uint8_t code) {
  switch (type) {
    case ICMP6_DST_UNREACH:
      switch (code) {
        case 0:
          return kStatusNetUnreachable;
        case 4:
          return kStatusPortUnreachable;
        default:  // 1 administratively prohibited, 3 address unreachable, others
          return kStatusHostUnreachable;
      }
    case ICMP6_PACKET_TOO_BIG:
      return kStatusPacketTooBig;
    case ICMP6_TIME_EXCEEDED:
      return code == 1 ? kStatusTtlExpiredReassembly : kStatusTtlExpiredTransit;
    case ICMP6_PARAM_PROB:
      return kStatusParameterProblem;
    default:
      return kStatusGeneralFailure;
  }
}

namespace {

// The statuses a ping reports for a failed resolution: no data of the family counts as host not
// found, and every failure that is not a resolution status as no recovery.
uint32_t ResolveStatus(int32_t socketCode) {
  switch (socketCode) {
    case net::kHostNotFound:
    case net::kNoData:
      return kResolveHostNotFound;
    case net::kTryAgain:
      return kResolveTryAgain;
    default:
      return kResolveNoRecovery;
  }
}

}  // namespace

uint32_t ResolverErrorCode(int gaiError) { return ResolveStatus(net::SocketCodeFromResolver(gaiError, 0)); }

std::string ResolverErrorText(uint32_t code) {
  switch (code) {
    case kResolveHostNotFound:
      return "No such host is known.\r\n";
    case kResolveTryAgain:
      return "This is usually a temporary error during hostname resolution and means that the local "
             "server did not receive a response from an authoritative server.\r\n";
    case kResolveNoRecovery:
      return "A non-recoverable error occurred during a database lookup.\r\n";
    case kResolveNoData:
      return "The requested name is valid, but no data of the requested type was found.\r\n";
    default:
      return "";
  }
}

Result<sockaddr_storage> ResolveFirst(const std::string& host, int family) {
  if (family != AF_INET && family != AF_INET6) {
    return Error{static_cast<int>(kResolveNoRecovery), "unsupported address family"};
  }
  auto found = net::Resolve(host, {.family = family});
  if (!found) {
    return Error{static_cast<int>(ResolveStatus(found.error().code)), "resolve " + host + ": " + found.error().message};
  }
  return found.value().front().storage;
}

std::string AddressText(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto& sin = reinterpret_cast<const sockaddr_in&>(address);
    if (inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text) != nullptr) return text;
  } else if (address.ss_family == AF_INET6) {
    const auto& sin6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (inet_ntop(AF_INET6, &sin6.sin6_addr, text, sizeof text) != nullptr) return text;
  }
  return "";
}

IcmpEchoSocket::IcmpEchoSocket(UniqueFd fd, int family, bool raw, uint16_t id)
    : fd_(std::move(fd)), family_(family), raw_(raw), id_(id), ownsId_(true), sequence_(RandomU16()) {}

IcmpEchoSocket::IcmpEchoSocket(IcmpEchoSocket&& other) noexcept
    : fd_(std::move(other.fd_)),
      family_(other.family_),
      raw_(other.raw_),
      id_(other.id_),
      ownsId_(std::exchange(other.ownsId_, false)),
      sequence_(other.sequence_) {}

IcmpEchoSocket& IcmpEchoSocket::operator=(IcmpEchoSocket&& other) noexcept {
  if (this != &other) {
    ReleaseIdentifier();
    fd_ = std::move(other.fd_);
    family_ = other.family_;
    raw_ = other.raw_;
    id_ = other.id_;
    ownsId_ = std::exchange(other.ownsId_, false);
    sequence_ = other.sequence_;
  }
  return *this;
}

IcmpEchoSocket::~IcmpEchoSocket() { ReleaseIdentifier(); }

void IcmpEchoSocket::ReleaseIdentifier() {
  if (ownsId_) ForgetIdentifier(id_);
  ownsId_ = false;
}

Result<IcmpEchoSocket> IcmpEchoSocket::Open(int family, SocketKind kind) {
  if (family != AF_INET && family != AF_INET6) return Error{EAFNOSUPPORT, "ICMP echo: unsupported address family"};
  const int protocol = family == AF_INET ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
  const int ipLevel = family == AF_INET ? static_cast<int>(IPPROTO_IP) : static_cast<int>(IPPROTO_IPV6);
  const int on = 1;

  UniqueFd fd;
  bool raw = false;
  int rawErrno = 0;
  if (kind != SocketKind::kDatagram) {
    fd.reset(::socket(family, SOCK_RAW | SOCK_CLOEXEC, protocol));
    if (fd) {
      raw = true;
    } else {
      rawErrno = errno;
      if (kind == SocketKind::kRaw) return ErrnoError("raw ICMP socket");
    }
  }
  if (!fd) {
    fd.reset(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, protocol));
    if (!fd) {
      int err = errno;
      std::string text = "datagram ICMP socket: " + std::string(std::strerror(err));
      if (rawErrno != 0) text = "raw ICMP socket: " + std::string(std::strerror(rawErrno)) + "; " + text;
      return Error{err, text};
    }
  }

  if (family == AF_INET6 && raw) {
    // Only what can answer an echo request; the kernel drops the rest before it reaches us.
    icmp6_filter filter;
    ICMP6_FILTER_SETBLOCKALL(&filter);
    ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
    ICMP6_FILTER_SETPASS(ICMP6_DST_UNREACH, &filter);
    ICMP6_FILTER_SETPASS(ICMP6_PACKET_TOO_BIG, &filter);
    ICMP6_FILTER_SETPASS(ICMP6_TIME_EXCEEDED, &filter);
    ICMP6_FILTER_SETPASS(ICMP6_PARAM_PROB, &filter);
    if (setsockopt(fd.get(), IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter) != 0) {
      return ErrnoError("ICMP6_FILTER");
    }
  }
  if (family == AF_INET) {
    if (!raw && setsockopt(fd.get(), IPPROTO_IP, IP_RECVTOS, &on, sizeof on) != 0) return ErrnoError("IP_RECVTOS");
  } else {
    if (setsockopt(fd.get(), IPPROTO_IPV6, IPV6_RECVTCLASS, &on, sizeof on) != 0) return ErrnoError("IPV6_RECVTCLASS");
  }
  if (!raw) {
    // Datagram sockets get ICMP errors through the error queue only.
    int opt = family == AF_INET ? IP_RECVERR : IPV6_RECVERR;
    if (setsockopt(fd.get(), ipLevel, opt, &on, sizeof on) != 0) return ErrnoError("RECVERR");
  }

  uint16_t id = 0;
  if (raw) {
    if (!ReserveIdentifier(id)) return Error{EADDRINUSE, "ICMP echo: no free identifier"};
    return IcmpEchoSocket(std::move(fd), family, raw, id);
  }
  // A datagram socket's identifier is its local "port": bind to one of ours so replies come
  // back with the identifier we reserved.
  for (int attempt = 0; attempt < 16; ++attempt) {
    if (!ReserveIdentifier(id)) return Error{EADDRINUSE, "ICMP echo: no free identifier"};
    sockaddr_storage local{};
    socklen_t len = 0;
    if (family == AF_INET) {
      auto& sin = reinterpret_cast<sockaddr_in&>(local);
      sin.sin_family = AF_INET;
      sin.sin_port = htons(id);
      len = sizeof sin;
    } else {
      auto& sin6 = reinterpret_cast<sockaddr_in6&>(local);
      sin6.sin6_family = AF_INET6;
      sin6.sin6_port = htons(id);
      len = sizeof sin6;
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), len) == 0) {
      return IcmpEchoSocket(std::move(fd), family, raw, id);
    }
    int err = errno;
    ForgetIdentifier(id);
    if (err != EADDRINUSE) {
      errno = err;
      return ErrnoError("bind datagram ICMP socket");
    }
  }
  return Error{EADDRINUSE, "ICMP echo: no identifier free for a datagram socket"};
}

Result<uint32_t> IcmpEchoSocket::SendRequest(const EchoRequest& request, std::span<const uint8_t> payload,
                                             uint16_t sequence) {
  if (!fd_) return Error{EBADF, "ICMP echo: socket is closed"};
  if (request.destination.ss_family != family_) {
    return Error{EAFNOSUPPORT, "ICMP echo: destination family differs from socket"};
  }
  if (request.payloadSize > kMaxPayload) return Error{EMSGSIZE, "ICMP echo: payload too large"};
  if (request.ttl < 1 || request.ttl > 255) return Error{EINVAL, "ICMP echo: TTL out of range"};
  if (request.timeout.count() < 0) return Error{EINVAL, "ICMP echo: negative timeout"};

  const bool v4 = family_ == AF_INET;
  const int ttl = request.ttl;
  const int tos = request.tos;
  if (v4) {
    if (setsockopt(fd_.get(), IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) != 0) return ErrnoError("IP_TTL");
    if (setsockopt(fd_.get(), IPPROTO_IP, IP_TOS, &tos, sizeof tos) != 0) return ErrnoError("IP_TOS");
  } else {
    if (setsockopt(fd_.get(), IPPROTO_IPV6, IPV6_UNICAST_HOPS, &ttl, sizeof ttl) != 0) {
      return ErrnoError("IPV6_UNICAST_HOPS");
    }
    if (setsockopt(fd_.get(), IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos) != 0) return ErrnoError("IPV6_TCLASS");
  }

  std::vector<uint8_t> packet(kIcmpHeaderSize + request.payloadSize);
  packet[0] = v4 ? ICMP_ECHO : ICMP6_ECHO_REQUEST;
  packet[1] = 0;
  WriteU16(&packet[4], id_);
  WriteU16(&packet[6], sequence);
  for (size_t i = 0; i < request.payloadSize; ++i) {
    packet[kIcmpHeaderSize + i] = payload.empty() ? static_cast<uint8_t>('a' + i % 23) : payload[i % payload.size()];
  }
  // Raw ICMPv6 and datagram sockets get their checksum from the kernel.
  if (v4 && raw_) WriteU16(&packet[2], InternetChecksum(packet.data(), packet.size()));

  const socklen_t destLen = v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  ssize_t sent = ::sendto(fd_.get(), packet.data(), packet.size(), 0,
                          reinterpret_cast<const sockaddr*>(&request.destination), destLen);
  if (sent >= 0) return kStatusSuccess;
  switch (errno) {
    case ENETUNREACH:
      return kStatusNetUnreachable;
    case EHOSTUNREACH:
      return kStatusHostUnreachable;
    case EMSGSIZE:
      return kStatusPacketTooBig;
    case EACCES:
    case EADDRNOTAVAIL:
      return kStatusBadDestination;
    default:
      return ErrnoError("send echo request");
  }
}

namespace {

// The parts of a recvmsg call: the datagram into `buffer`, its sender and control data.
struct MessageReader {
  explicit MessageReader(std::span<uint8_t> buffer) : iov{buffer.data(), buffer.size()} {
    msg.msg_name = &sender;
    msg.msg_namelen = sizeof sender;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
  }
  MessageReader(const MessageReader&) = delete;
  MessageReader& operator=(const MessageReader&) = delete;

  sockaddr_storage sender{};
  iovec iov;
  alignas(cmsghdr) uint8_t control[512];
  msghdr msg{};
};

// The error queue's report, from the control data of an MSG_ERRQUEUE read.
std::optional<QueuedIcmpError> QueuedErrorOf(msghdr& msg) {
  const sock_extended_err* ee = nullptr;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if ((c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR) ||
        (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)) {
      ee = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
    }
  }
  if (ee == nullptr) return std::nullopt;
  QueuedIcmpError error;
  error.origin = ee->ee_origin;
  error.type = ee->ee_type;
  error.code = ee->ee_code;
  error.errnoValue = ee->ee_errno;
  const auto* offender = SO_EE_OFFENDER(ee);
  if (offender->sa_family == AF_INET) {
    std::memcpy(&error.offender, offender, sizeof(sockaddr_in));
  } else if (offender->sa_family == AF_INET6) {
    std::memcpy(&error.offender, offender, sizeof(sockaddr_in6));
  }
  return error;
}

// The TOS / traffic class an ordinary read's control data carries.
std::optional<uint8_t> TosOf(msghdr& msg) {
  std::optional<uint8_t> tos;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_IP && (c->cmsg_type == IP_TOS || c->cmsg_type == IP_RECVTOS)) {
      tos = *CMSG_DATA(c);
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_TCLASS) {
      int tclass = 0;
      std::memcpy(&tclass, CMSG_DATA(c), sizeof tclass);
      tos = static_cast<uint8_t>(tclass);
    }
  }
  return tos;
}

}  // namespace

std::optional<ReceivedDatagram> IcmpEchoSocket::ReadErrorQueue(std::span<uint8_t> buffer) {
  MessageReader reader(buffer);
  ssize_t got = ::recvmsg(fd_.get(), &reader.msg, MSG_DONTWAIT | MSG_ERRQUEUE);
  if (got < 0) return std::nullopt;  // empty, or interrupted: the next poll tells again
  ReceivedDatagram received;
  received.at = std::chrono::steady_clock::now();
  received.size = static_cast<size_t>(got);
  received.sender = reader.sender;
  received.fromErrorQueue = true;
  received.error = QueuedErrorOf(reader.msg);
  return received;
}

Result<std::optional<ReceivedDatagram>> IcmpEchoSocket::ReceiveOne(std::chrono::steady_clock::time_point deadline,
                                                                   std::span<uint8_t> buffer) {
  const auto now = std::chrono::steady_clock::now();
  if (now >= deadline) return std::optional<ReceivedDatagram>();
  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  pollfd pfd{fd_.get(), POLLIN, 0};
  int ready = ::poll(&pfd, 1, static_cast<int>(std::min<int64_t>(remaining.count(), 1 << 30)));
  if (ready < 0) {
    if (errno == EINTR) return std::optional<ReceivedDatagram>();
    return ErrnoError("poll");
  }
  if (ready == 0) return std::optional<ReceivedDatagram>();

  // Datagram sockets get ICMP errors through the error queue only.
  if (!raw_ && (pfd.revents & POLLERR)) return ReadErrorQueue(buffer);

  MessageReader reader(buffer);
  ssize_t got = ::recvmsg(fd_.get(), &reader.msg, MSG_DONTWAIT);
  const auto receivedAt = std::chrono::steady_clock::now();
  if (got < 0) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return std::optional<ReceivedDatagram>();
    // A datagram socket also reports a pending ICMP error this way; its details come from
    // the error queue, which the next poll returns.
    if (!raw_) return std::optional<ReceivedDatagram>();
    return ErrnoError("receive echo reply");
  }
  ReceivedDatagram received;
  received.at = receivedAt;
  received.size = static_cast<size_t>(got);
  received.sender = reader.sender;
  received.tos = TosOf(reader.msg);
  return std::optional<ReceivedDatagram>(received);
}

Result<EchoReply> IcmpEchoSocket::Echo(const EchoRequest& request, std::span<const uint8_t> payload) {
  const uint16_t seq = static_cast<uint16_t>(sequence_ + 1);
  EchoReply reply;
  reply.sequence = seq;
  reply.from = request.destination;

  const auto sentAt = std::chrono::steady_clock::now();
  const auto deadline = sentAt + request.timeout;
  Result<uint32_t> sent = SendRequest(request, payload, seq);
  VORLANE_RETURN_IF_ERROR(sent);
  sequence_ = seq;  // a request that was not valid used no number
  if (sent.value() != kStatusSuccess) {
    reply.status = sent.value();
    return reply;
  }

  std::vector<uint8_t> buffer(kReceiveBufferSize);
  const EchoIdentity identity = Identity(seq);
  for (int packets = 0; packets < kMaxPacketsPerWait; ++packets) {
    if (std::chrono::steady_clock::now() >= deadline) break;
    Result<std::optional<ReceivedDatagram>> got = ReceiveOne(deadline, buffer);
    VORLANE_RETURN_IF_ERROR(got);
    if (!got.value()) continue;  // the deadline check above ends the wait
    const ReceivedDatagram& received = *got.value();
    const std::span<const uint8_t> data(buffer.data(), received.size);

    ReplyMatch match;
    if (!received.fromErrorQueue) {
      match = ClassifyDatagram(data, received.sender, identity);
    } else if (received.error) {
      match = ClassifyQueuedError(data, *received.error, received.sender, identity);
    }
    if (!match.ours) continue;

    reply.status = match.status;
    reply.gotReply = true;
    reply.from = match.from;
    reply.tos = received.tos.value_or(match.tos);
    reply.replyPayloadSize = match.payloadSize;
    reply.roundTripMs = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(received.at - sentAt).count());
    return reply;
  }

  reply.status = kStatusTimedOut;
  reply.gotReply = false;
  reply.roundTripMs = 0;
  return reply;
}

}  // namespace vorlane::ping
