// The ping job and its worker (a job of the runtime's job runner): resolve the host, send the
// frames one after the other, judge the replies, store the results and announce the end to the
// owning collection.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "ping/icmp_echo.h"
#include "platform/com/com_ptr.h"

namespace vorlane::ping {

class PingElement;

struct PingJob {
  virtual ~PingJob() = default;

  com::ComPtr<PingElement> element;
  int32_t packageSize = 32;  // 1 to 512
  int32_t maxTimeout = 0;    // milliseconds, 1 to 32000
  int32_t sendTimes = 1;     // at least 1
  std::string host;  // UTF-8
  uint8_t tos = 0;
  bool checkTos = false;
  bool ipV6 = false;
};

// The results a finished job leaves on its element.
struct PingResults {
  int32_t averageRoundTrip = 0;
  int16_t succeededPercent = 0;
  std::u16string errorMessage;
};

// The running account of a job's frames: failures, the round trips of all replies and of the
// good ones, and the error text with one item per failed frame.
class FrameTally {
 public:
  FrameTally(const PingJob& job, std::u16string separator) : job_(job), separator_(std::move(separator)) {}

  // Frame `index` (0-based) got no answer: `status` says why (a timeout, a local failure).
  void NoReply(int32_t index, uint32_t status);
  // Frame `index` got an answer (an echo reply or an ICMP error) from reply.from. False when
  // the summed round trips passed the job's timeout: the job ends here, every frame from this
  // one on counting as failed.
  bool Reply(int32_t index, const EchoReply& reply, const sockaddr_storage& destination,
             const std::u16string& expectedAddress);
  PingResults Results() const;

 private:
  void Fail(int32_t frame, std::u16string_view description);
  void AddItem(int32_t frame, std::u16string_view description);

  const PingJob& job_;
  const std::u16string separator_;
  std::u16string errors_;
  int64_t failures_ = 0;
  int64_t elapsed_ = 0;  // round trips of every reply
  int64_t good_ = 0;     // round trips of the good replies
};

// The status texts of the echo replies ("Unknown Error" for codes without one).
std::u16string_view StatusText(uint32_t status);

// The request data: `size` bytes of "abcdefghijklmnopqrstuvwxyz" repeated from the start.
std::string RequestData(size_t size);

// The text put into ErrorMessage when the host does not resolve (without the separator).
std::u16string ResolveFailureText(uint32_t resolverCode);

// The job's body, on a worker of the runtime's job runner: runs `job` to its end.
void RunPingJob(std::unique_ptr<PingJob> job);

}  // namespace vorlane::ping
