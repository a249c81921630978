// How one received datagram is judged against the echo request it may answer: pure functions of
// the bytes the socket delivered and the request, so every case can be tested without a network.
//
// What a socket delivers differs by kind: a raw IPv4 socket hands over the IP header before the
// ICMP message, a raw IPv6 socket the ICMPv6 message alone, and a datagram ICMP socket the
// message alone with the identifier possibly rewritten by the kernel (it only passes on replies
// to its own "port", so the sequence number decides). A datagram socket learns of ICMP errors
// only through its error queue, as the request it sent plus the kernel's report.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "ping/icmp_echo.h"

namespace vorlane::ping {

// What one received datagram means for the request.
struct ReplyMatch {
  bool ours = false;  // an answer to this request; everything below only counts then
  uint32_t status = kStatusGeneralFailure;
  sockaddr_storage from{};  // who answered: the echoing host or the sender of the ICMP error
  size_t payloadSize = 0;   // payload bytes of an echo reply
  uint8_t tos = 0;          // the IPv4 header's type of service, where the datagram carries it
};

// A datagram from the socket's ordinary queue, received from `sender`: an echo reply with the
// request's identifier (raw sockets) and sequence number, or an ICMP error whose quoted original
// is the request. Echo replies are matched by identifier and sequence only, not by sender: the
// answers to a broadcast or anycast destination come from other addresses.
ReplyMatch ClassifyDatagram(std::span<const uint8_t> datagram, const sockaddr_storage& sender,
                            const EchoIdentity& request);

// An entry of a datagram socket's error queue: `returned` is the request as it was sent (ICMP
// header first), `error` the kernel's report on it, `sender` the address recvmsg named. An
// ICMP error gives its status and its sender (the offender, or `sender` when none is named); a
// local "message too long" gives kStatusPacketTooBig.
ReplyMatch ClassifyQueuedError(std::span<const uint8_t> returned, const QueuedIcmpError& error,
                               const sockaddr_storage& sender, const EchoIdentity& request);

}  // namespace vorlane::ping
