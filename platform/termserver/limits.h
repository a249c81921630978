// The limits that keep the terminal server alive under abuse, in one place.
#pragma once

#include <chrono>
#include <cstddef>

namespace vorlane::termserver {

inline constexpr size_t kMaxConnections = 256;
// Connections that have not logged in yet count from accept until their login succeeded or they
// ended (unauthenticated_limit.h has the rules). From one peer address at most
// kMaxUnauthenticatedPerAddress of them are served, at most kMaxUnauthenticated in all; an
// address that holds fewer than the one holding the most takes a place of that one, so idle
// connections that never log in hold at most kMaxUnauthenticated of the kMaxConnections places
// and cannot keep a new address out. Connections beyond an address's share are held un-served
// (a monitoring server polling in parallel opens many at once), at most kMaxHeldPerAddress from
// one address and kMaxHeld in all, each for at most kLoginTimeLimit.
inline constexpr size_t kMaxUnauthenticatedPerAddress = 10;
inline constexpr size_t kMaxUnauthenticated = 64;
inline constexpr size_t kMaxHeldPerAddress = 64;
inline constexpr size_t kMaxHeld = 256;
static_assert(kMaxUnauthenticatedPerAddress < kMaxUnauthenticated && kMaxUnauthenticated < kMaxConnections);
// A flood is refused connection by connection; its log lines are let through at most once per
// this interval, each saying how many were left out before it.
inline constexpr std::chrono::seconds kRefusalLogInterval{1};
inline constexpr std::chrono::seconds kLoginTimeLimit{60};
inline constexpr int kMaxPasswordTries = 3;
// After this many failed logins from one address within kFailureWindow, every further try from
// it waits kThrottleStep longer than the previous one, up to kThrottleMax.
inline constexpr int kFailuresBeforeThrottle = 5;
inline constexpr std::chrono::seconds kFailureWindow{60};
inline constexpr std::chrono::seconds kThrottleStep{2};
inline constexpr std::chrono::seconds kThrottleMax{30};
// A user name or password longer than this is refused without asking the application.
inline constexpr size_t kMaxCredentialBytes = 1024;
// A request line longer than this is delivered cut; the rest up to the next line end is dropped.
inline constexpr size_t kMaxRequestBytes = 64 * 1024;
// Requests of one connection received but not yet answered: beyond this many the connection
// stops reading from the client, which the transport's own flow control then holds back. An
// application that answers after the Received event tells its count (the user object's
// UnansweredRequests); the same bound applies to it.
inline constexpr size_t kMaxQueuedRequests = 64;
// Received bytes of one SSH channel held for framing or for its queued requests; beyond this the
// channel takes no more from the transport, as beyond kMaxQueuedRequests. (What the transport
// holds back meanwhile, bounded by its window, is taken in one piece once the channel has used
// up its input.)
inline constexpr size_t kMaxQueuedInputBytes = 4 * kMaxRequestBytes;
// Output of one SSH connection that its client has not taken yet, over all its channels; beyond
// this the connection ends. A channel takes no further requests while kOutputHighMark of its
// output is unsent, so a client that reads never comes near this; a client that stops reading
// cannot make the server hold more.
inline constexpr size_t kMaxQueuedOutputBytes = 4 * 1024 * 1024;
inline constexpr size_t kOutputHighMark = 256 * 1024;
// Output that has not moved for this long means the client stopped reading: the connection ends.
inline constexpr std::chrono::seconds kOutputStallLimit{10};
// A request that ends with '#' and holds its requestaction and sessionid pairs, but fewer pairs
// than its keycount says, is complete when nothing follows for this long.
inline constexpr std::chrono::milliseconds kHashRequestQuietTime{100};
// One that ends with '#' but lacks one of those pairs waits this long for the rest (a writer
// that paused after its first pairs); so does a whole record of a client that ends its records
// with line ends, which would otherwise wait for ever for a line end that it left out.
inline constexpr std::chrono::milliseconds kPartialRequestQuietTime{1000};
// Telnet subnegotiations longer than this are dropped.
inline constexpr size_t kMaxSubnegotiationBytes = 4 * 1024;
// stop() returns within this time whatever the clients do.
inline constexpr std::chrono::seconds kStopDeadline{2};

// A client that has sent its last request waits at most this long for the answers still to come.
inline constexpr std::chrono::seconds kAnswerDrainTime{10};
// The application's requests: at most this many run at once over all connections (the agent's
// MaxConcurrentChecks setting, which may not exceed the limit); more wait their turn.
inline constexpr size_t kMaxConcurrentChecksDefault = 32;
inline constexpr size_t kMaxConcurrentChecksLimit = 1024;

}  // namespace vorlane::termserver
