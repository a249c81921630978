// ICMP echo over IPv4 and IPv6: one request, one matching answer (or an error, or a timeout).
//
// An IcmpEchoSocket belongs to one thread at a time. Many sockets may be in use in parallel; each
// one only ever reports answers to its own requests, matched by identifier and sequence number.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/base/result.h"
#include "platform/base/unique_fd.h"

namespace vorlane::ping {

// Outcome of one echo attempt, as reported to the server.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusNetUnreachable = 11002;
inline constexpr uint32_t kStatusHostUnreachable = 11003;
inline constexpr uint32_t kStatusProtocolUnreachable = 11004;
inline constexpr uint32_t kStatusPortUnreachable = 11005;
inline constexpr uint32_t kStatusPacketTooBig = 11009;
inline constexpr uint32_t kStatusTimedOut = 11010;
inline constexpr uint32_t kStatusBadRoute = 11012;
inline constexpr uint32_t kStatusTtlExpiredTransit = 11013;
inline constexpr uint32_t kStatusTtlExpiredReassembly = 11014;
inline constexpr uint32_t kStatusParameterProblem = 11015;
inline constexpr uint32_t kStatusSourceQuench = 11016;
inline constexpr uint32_t kStatusBadDestination = 11018;
inline constexpr uint32_t kStatusGeneralFailure = 11050;

// Name resolution failures.
inline constexpr uint32_t kResolveHostNotFound = 11001;
inline constexpr uint32_t kResolveTryAgain = 11002;
inline constexpr uint32_t kResolveNoRecovery = 11003;
inline constexpr uint32_t kResolveNoData = 11004;

// Status for an ICMP error message received in answer to an echo request. Types that are not
// errors (or that are unknown) give kStatusGeneralFailure.
uint32_t StatusFromIcmp4(uint8_t type, uint8_t code);
uint32_t StatusFromIcmp6(uint8_t type, uint8_t code);

// getaddrinfo() error (EAI_*) to resolution status, and the text reported with it ("" when the
// code is not a resolution status).
uint32_t ResolverErrorCode(int gaiError);
std::string ResolverErrorText(uint32_t code);

// First address of `host` in `family` (AF_INET or AF_INET6). On failure Error::code carries the
// resolution status (ResolverErrorCode), not an errno value.
Result<sockaddr_storage> ResolveFirst(const std::string& host, int family);

// "192.0.2.1" or "2001:db8::1"; "" for anything else.
std::string AddressText(const sockaddr_storage& address);

struct EchoRequest {
  sockaddr_storage destination{};
  size_t payloadSize = 32;
  int ttl = 128;             // IPv4 time to live, IPv6 hop limit
  uint8_t tos = 0;           // IPv4 type of service, IPv6 traffic class
  std::chrono::milliseconds timeout{1000};
};

struct EchoReply {
  uint32_t status = kStatusTimedOut;
  sockaddr_storage from{};   // who answered: the echoing host or the sender of the ICMP error
  uint32_t roundTripMs = 0;  // whole milliseconds from send to receive
  uint8_t tos = 0;           // TOS / traffic class of the answer, when the system tells it
  bool gotReply = false;     // an answer arrived (echo reply or ICMP error)
  uint16_t sequence = 0;     // sequence number of the request this answers
  size_t replyPayloadSize = 0;  // payload bytes in the echo reply
};

// The request that answers are matched against, and how its socket delivers them.
struct EchoIdentity {
  int family = AF_INET;  // AF_INET or AF_INET6
  bool raw = false;      // raw socket, or datagram ICMP socket
  uint16_t identifier = 0;
  uint16_t sequence = 0;
};

// An error report read from a datagram socket's error queue (IP_RECVERR / IPV6_RECVERR).
struct QueuedIcmpError {
  uint8_t origin = 0;  // SO_EE_ORIGIN_*
  uint8_t type = 0;
  uint8_t code = 0;
  uint32_t errnoValue = 0;
  sockaddr_storage offender{};  // who sent the ICMP error; AF_UNSPEC when the kernel names none
};

// One datagram read from an ICMP socket, with what its control data said.
struct ReceivedDatagram {
  size_t size = 0;  // bytes at the start of the buffer it was read into
  sockaddr_storage sender{};
  std::chrono::steady_clock::time_point at;  // when it was read
  std::optional<uint8_t> tos;                // TOS / traffic class, when the system tells it
  bool fromErrorQueue = false;
  std::optional<QueuedIcmpError> error;  // the report on an error queue entry, when it carries one
};

enum class SocketKind {
  kAuto,      // raw socket when permitted, otherwise the datagram ICMP socket
  kRaw,
  kDatagram,  // socket(family, SOCK_DGRAM, IPPROTO_ICMP/ICMPV6); needs ping_group_range
};

class IcmpEchoSocket {
 public:
  static Result<IcmpEchoSocket> Open(int family, SocketKind kind = SocketKind::kAuto);

  IcmpEchoSocket(IcmpEchoSocket&& other) noexcept;
  IcmpEchoSocket& operator=(IcmpEchoSocket&& other) noexcept;
  IcmpEchoSocket(const IcmpEchoSocket&) = delete;
  IcmpEchoSocket& operator=(const IcmpEchoSocket&) = delete;
  ~IcmpEchoSocket();

  // Sends one echo request and waits up to request.timeout for its answer. The payload is
  // repeated (or cut) to request.payloadSize bytes; an empty payload gives a fixed pattern.
  // Errors are returned only for local failures (socket calls); everything the network says is
  // in EchoReply::status.
  Result<EchoReply> Echo(const EchoRequest& request, std::span<const uint8_t> payload);

  // The steps of Echo, each usable on its own.
  //
  // Sends one echo request numbered `sequence`, with the request's TTL and TOS. kStatusSuccess
  // once it is sent; a refusal the system reports at once (unreachable, too big, not allowed) is
  // the matching status. Errors for bad requests and local failures.
  Result<uint32_t> SendRequest(const EchoRequest& request, std::span<const uint8_t> payload, uint16_t sequence);
  // Waits until `deadline` for one datagram and reads it into `buffer`, from the error queue
  // when a datagram socket reports an error. Nothing when none came in time, or a wake-up had
  // nothing to read. Errors only for local failures.
  Result<std::optional<ReceivedDatagram>> ReceiveOne(std::chrono::steady_clock::time_point deadline,
                                                     std::span<uint8_t> buffer);
  // Reads one entry of the socket's error queue (IP_RECVERR / IPV6_RECVERR) without waiting:
  // the request it concerns into `buffer`, the kernel's report in ReceivedDatagram::error.
  // Nothing when the queue is empty.
  std::optional<ReceivedDatagram> ReadErrorQueue(std::span<uint8_t> buffer);
  // What an answer to the request numbered `sequence` is matched against.
  EchoIdentity Identity(uint16_t sequence) const { return EchoIdentity{family_, raw_, id_, sequence}; }

  int family() const { return family_; }
  bool isRaw() const { return raw_; }
  uint16_t identifier() const { return id_; }

 private:
  IcmpEchoSocket(UniqueFd fd, int family, bool raw, uint16_t id);
  void ReleaseIdentifier();

  UniqueFd fd_;
  int family_ = AF_UNSPEC;
  bool raw_ = false;
  uint16_t id_ = 0;
  bool ownsId_ = false;
  uint16_t sequence_ = 0;
};

}  // namespace vorlane::ping
