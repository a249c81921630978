// The TCP check worker: one run of a check on a worker of the job runner, in that worker's
// apartment, driving its own instance of the TCP client control: connect, optionally wait for a
// greeting and compare it, optionally send a text and compare the answer, optionally send a
// closing line, disconnect, and leave the outcome on the job. Every wait is bounded by the job's timeout, counted in whole
// seconds from the run's start.
//
// The exchange is 8-bit: the table's texts become bytes once (exchange_text.h) and the control
// carries bytes unchanged both ways. A wait takes the server's whole reply, joining the segments
// it comes in, and ends early when the connection ends: a server that closes after the closing
// line (as servers do after QUIT) is done with at once. Each phase starts empty, so what came
// after one reply and before the next send is never taken as the answer to that send.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/com/com_ptr.h"

namespace vorlane::tcpcheck {

class TcpCheckCollection;
class TcpCheckJob;

// What Check hands to the worker; the worker owns it for the run.
struct CheckArgs {
  std::u16string host;
  int32_t port = 0;
  int32_t timeout = 0;  // seconds, above 0
  std::u16string greeting;
  int32_t greetingMode = 0;
  std::u16string send;
  std::u16string response;
  int32_t responseMode = 0;
  std::u16string closingLine;
  bool linger = false;  // true: a graceful close; false: the close resets the connection
  bool useIpv6 = false;
  // The worker holds its job and the collection the job belonged to when the check started for
  // the whole run: a client may Remove the job, Clear the collection or release either while the
  // run goes on, and the job's parent link is only ever read against a live collection.
  com::ComPtr<TcpCheckJob> job;
  com::ComPtr<TcpCheckCollection> collection;
};

// Result texts of a run.
inline constexpr std::u16string_view kNotPossible = u"Connection not possible";
inline constexpr std::u16string_view kPossible = u"Connection possible";
inline constexpr std::u16string_view kGreetingMismatch = u"Connection possible, but received data not correct (";
inline constexpr std::u16string_view kResponseMismatch = u"Connection possible, but response on send not correct (";
inline constexpr std::u16string_view kExpectedData = u"Connection possible and received expected data";

// The job's body, on a worker of the runtime's job runner: runs the check to its end,
// announces it and marks the job idle.
void RunTcpCheck(std::unique_ptr<CheckArgs> args);

}  // namespace vorlane::tcpcheck
