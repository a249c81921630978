#include "ping/ping_worker.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "ping/icmp_echo.h"
#include "ping/ping_collection.h"
#include "ping/ping_element.h"
#include "platform/com/apartment.h"
#include "platform/com/text.h"
#include "platform/debuglog/debuglog.h"

namespace vorlane::ping {

namespace {

constexpr std::u16string_view kUnknownError = u"Unknown Error";

std::u16string Wide(std::string_view utf8) { return com::Utf8ToUtf16(utf8); }

// The address as the IPv4 worker writes it: its four bytes in decimal.
std::u16string DottedText(const sockaddr_storage& address) {
  if (address.ss_family != AF_INET) return Wide(AddressText(address));
  const auto* bytes = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in&>(address).sin_addr);
  return Wide(std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
              std::to_string(bytes[3]));
}

bool SameAddress(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(a).sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in&>(b).sin_addr.s_addr;
  }
  if (a.ss_family == AF_INET6) {
    return std::memcmp(&reinterpret_cast<const sockaddr_in6&>(a).sin6_addr,
                       &reinterpret_cast<const sockaddr_in6&>(b).sin6_addr, sizeof(in6_addr)) == 0;
  }
  return false;
}

// The text of a failed system call, with the line end that system message texts carry.
std::u16string SystemErrorText(int error) {
  const char* text = std::strerror(error);
  if (text == nullptr || *text == '\0') return std::u16string(kUnknownError);
  return Wide(text) + u"\r\n";
}

// The job's host as the destination of its echo requests. IPv4: a dotted address is taken as
// it is written (and kept as written in HostTcpIp), a name is looked up.
struct Resolved {
  sockaddr_storage destination{};
  std::u16string hostTcpIp;
};

Result<Resolved> Resolve(const PingJob& job) {
  Resolved resolved;
  if (!job.ipV6) {
    in_addr parsed{};
    // inet_aton reads every form inet_addr reads ("10.1", "0x0a.1.2.3", ...).
    if (::inet_aton(job.host.c_str(), &parsed) != 0) {
      auto& sin = reinterpret_cast<sockaddr_in&>(resolved.destination);
      sin.sin_family = AF_INET;
      sin.sin_addr = parsed;
      resolved.hostTcpIp = Wide(job.host);
      return resolved;
    }
  }
  Result<sockaddr_storage> found = ResolveFirst(job.host, job.ipV6 ? AF_INET6 : AF_INET);
  VORLANE_RETURN_IF_ERROR(found);
  resolved.destination = found.value();
  resolved.hostTcpIp = job.ipV6 ? Wide(AddressText(resolved.destination)) : DottedText(resolved.destination);
  return resolved;
}

// What every way out of a job does: announce the end to the collection, then leave the running
// state, then give back what the job held. The announcement comes first, so a client that sees
// IsRunning false knows the notification has been delivered or given up.
class JobEnd {
 public:
  explicit JobEnd(std::unique_ptr<PingJob> job) : job_(std::move(job)), parent_(job_->element->Collection()) {}
  JobEnd(const JobEnd&) = delete;
  JobEnd& operator=(const JobEnd&) = delete;
  ~JobEnd() {
    if (!finished_) Finish();
  }

  PingJob& job() { return *job_; }
  PingElement& element() { return *job_->element; }

  void Finish() {
    finished_ = true;
    if (parent_) (void)parent_->NotifyPingDone(job_->element->CurrentId());
    job_->element->SetNotRunning();
    parent_ = nullptr;
    job_.reset();
  }

  // After an unexpected failure: no announcement, but the element leaves the running state and
  // the references go, so nobody polling IsRunning waits for ever.
  void Abandon() {
    finished_ = true;
    job_->element->SetNotRunning();
    parent_ = nullptr;
    job_.reset();
  }

 private:
  std::unique_ptr<PingJob> job_;
  com::ComPtr<PingCollection> parent_;
  bool finished_ = false;
};

void RunJob(JobEnd& end) {
  PingJob& job = end.job();
  PingElement& element = end.element();
  const std::u16string separator = element.ErrSeparator();

  Result<Resolved> resolved = Resolve(job);
  if (!resolved) {
    element.SetErrorMessage(ResolveFailureText(static_cast<uint32_t>(resolved.error().code)) + separator);
    return;
  }
  element.SetHostTcpIp(resolved.value().hostTcpIp);

  Result<IcmpEchoSocket> socket = IcmpEchoSocket::Open(job.ipV6 ? AF_INET6 : AF_INET);
  if (!socket) {
    const int error = socket.error().code;
    element.SetErrorMessage(job.ipV6 && (error == EAFNOSUPPORT || error == EPROTONOSUPPORT)
                                ? std::u16string(u"IPv6 protocol not available")
                                : SystemErrorText(error));
    return;
  }

  std::string data;
  try {
    data = RequestData(static_cast<size_t>(job.packageSize));
  } catch (const std::bad_alloc&) {
    element.SetErrorMessage(u"Not enough memory!");
    return;
  }
  const auto payload = std::span(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  EchoRequest request;
  request.destination = resolved.value().destination;
  request.payloadSize = data.size();
  request.ttl = 128;
  request.tos = job.ipV6 ? 0 : job.tos;
  request.timeout = std::chrono::milliseconds(job.maxTimeout / job.sendTimes);

  FrameTally frames(job, separator);
  for (int32_t i = 0; i < job.sendTimes; ++i) {
    Result<EchoReply> attempt = socket.value().Echo(request, payload);
    if (!attempt) {
      debuglog::Write("Ping: echo request failed: " + attempt.error().message);
      frames.NoReply(i, kStatusGeneralFailure);
    } else if (!attempt.value().gotReply) {
      // IPv6 jobs also note why a frame got nothing back.
      if (job.ipV6) debuglog::Write(com::Utf16ToUtf8(StatusText(attempt.value().status)));
      frames.NoReply(i, attempt.value().status);
    } else if (!frames.Reply(i, attempt.value(), request.destination, resolved.value().hostTcpIp)) {
      break;
    }
  }
  element.StoreResults(frames.Results());
}

}  // namespace

void FrameTally::Fail(int32_t frame, std::u16string_view description) {
  ++failures_;
  AddItem(frame, description);
}

void FrameTally::AddItem(int32_t frame, std::u16string_view description) {
  if (!errors_.empty()) errors_ += separator_;
  errors_ += Wide(std::to_string(frame));
  errors_ += u": ";
  errors_ += description;
}

void FrameTally::NoReply(int32_t index, uint32_t status) {
  // An IPv6 frame without a status has an empty description.
  Fail(index + 1, job_.ipV6 && status == kStatusSuccess ? std::u16string_view() : StatusText(status));
}

bool FrameTally::Reply(int32_t index, const EchoReply& reply, const sockaddr_storage& destination,
                       const std::u16string& expectedAddress) {
  const int32_t frame = index + 1;
  elapsed_ += reply.roundTripMs;
  // Past the job's timeout: this frame and all that were still to come fail, unless this is
  // the last of several frames.
  if (elapsed_ > job_.maxTimeout && !(index == job_.sendTimes - 1 && job_.sendTimes > 1)) {
    failures_ += job_.sendTimes - index;
    for (int32_t k = frame; k <= job_.sendTimes; ++k) AddItem(k, u"Timeout!");
    return false;
  }
  if (job_.ipV6) {
    // Only the status counts; who answered and with which traffic class is not looked at.
    if (reply.status == kStatusSuccess) {
      good_ += reply.roundTripMs;
    } else {
      Fail(frame, StatusText(reply.status));
    }
    return true;
  }
  const bool fromDestination = SameAddress(reply.from, destination);
  if (reply.status == kStatusSuccess && fromDestination && (!job_.checkTos || reply.tos == job_.tos)) {
    good_ += reply.roundTripMs;
  } else if (reply.status == kStatusSuccess && fromDestination) {
    Fail(frame, u"Received ping has a different TOS than the sent ping !");
  } else if (reply.status != kStatusSuccess) {
    Fail(frame, std::u16string(StatusText(reply.status)) + u" (" + DottedText(reply.from) + u")");
  } else {
    Fail(frame, u"Reply expected from " + expectedAddress + u" but came from " + DottedText(reply.from));
  }
  return true;
}

PingResults FrameTally::Results() const {
  PingResults results;
  const int64_t successes = job_.sendTimes - failures_;
  results.averageRoundTrip = successes > 0 ? static_cast<int32_t>(good_ / successes) : 0;
  results.succeededPercent = static_cast<int16_t>(successes * 100 / job_.sendTimes);
  // A single failed frame reports its own round trip (0 when nothing came back).
  if (job_.sendTimes == 1 && failures_ > 0) results.averageRoundTrip = static_cast<int32_t>(elapsed_);
  results.errorMessage = errors_;
  if (!results.errorMessage.empty()) results.errorMessage += separator_;
  return results;
}

std::u16string_view StatusText(uint32_t status) {
  switch (status) {
    case 0: return u"Succeeded";
    case 11001: return u"Buffer Too Small";
    case 11002: return u"Destination Net Unreachable";
    case 11003: return u"Destination Host Unreachable";
    case 11004: return u"Destination Protocol Unreachable";
    case 11005: return u"Destination Port Unreachable";
    case 11006: return u"No Resources";
    case 11007: return u"Bad Option";
    case 11008: return u"Hardware Error";
    case 11009: return u"Packet Too Big";
    case 11010: return u"Request Timed Out";
    case 11011: return u"Bad Request";
    case 11012: return u"Bad Route";
    case 11013: return u"TimeToLive Expired Transit";
    case 11014: return u"TimeToLive Expired Reassembly";
    case 11015: return u"Parameter Problem";
    case 11016: return u"Source Quench";
    case 11017: return u"Option Too Big";
    case 11018: return u"Bad Destination";
    case 11019: return u"IP Address Deleted";
    case 11020: return u"IP Spec MTU Change";
    case 11021: return u"IP MTU Change";
    case 11022: return u"IP Unload";
    case 11023: return u"IP Address Added";
    case 11032: return u"Negotiating IPSEC";
    case 11050: return u"General Failure";
    case 11255: return u"IP Pending";
    default: return kUnknownError;
  }
}

std::string RequestData(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>('a' + i % 26);
  return data;
}

std::u16string ResolveFailureText(uint32_t resolverCode) {
  if (resolverCode == kResolveNoData) resolverCode = kResolveHostNotFound;
  std::string text = ResolverErrorText(resolverCode);
  if (text.empty()) return u"R: " + std::u16string(kUnknownError);
  if (text.size() > 2) text.resize(text.size() - 2);
  return u"R: " + Wide(text);
}

void RunPingJob(std::unique_ptr<PingJob> job) {
  com::ApartmentScope apartment;
  JobEnd end(std::move(job));
  try {
    RunJob(end);
    end.Finish();
  } catch (...) {
    debuglog::Write("Ping Unknown Exception trying to Ping!");
    end.Abandon();
  }
}

}  // namespace vorlane::ping
