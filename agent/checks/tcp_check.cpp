#include "agent/checks/tcp_check.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <memory>

#include "agent/checks/job_end.h"
#include "agent/checks/protocol_table.h"
#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/debuglog/debuglog.h"
#include "platform/net/resolve.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kNoProtocolText = "Could not get data for protocol from the INI file!";
constexpr std::string_view kNoPortText = "Can't check %s on port 0!";
constexpr std::string_view kNoComponentText = "Could not create instance of the TCP component (Portwick.dll)";
constexpr std::string_view kResultText = "%s (%s on port %d): %s";

constexpr std::string_view kNotEndedText = "The check did not end in time";
constexpr std::string_view kNotEndedLog =
    "The TCP check of %s on port %d did not end in time; the check gave up after %d ms.";

// Both result answers are formatted into a buffer of this size; the %s texts are what gets shortened.
constexpr size_t kTcpAnswerBuffer = 4096;

// Logged before it is sent: the answers that end the check before a job runs.
CheckOutcome EarlyError(std::string text) {
  CheckOutcome outcome = CheckOutcome::Error(std::move(text));
  outcome.bufferSize = kTcpAnswerBuffer;
  outcome.logBeforeSending = true;
  return outcome;
}

}  // namespace

com::HRESULT CreateTcpCollection(com::ComPtr<tcpcheck::ItqCollThTCP>* collection) {
  return com::CoCreateInstance(tcpcheck::kTcpCollectionClsid, collection);
}

std::string_view TcpProtocolName(std::string_view value) {
  const size_t colon = value.rfind(':');
  return colon == std::string_view::npos ? value : value.substr(0, colon);
}

bool PrefersIpv6(const std::string& host) {
  if (host.empty()) return false;
  auto found = net::Resolve(host);
  if (!found) return false;
  bool ipv4 = false;
  bool ipv6 = false;
  for (const net::Address& address : found.value()) {
    ipv4 = ipv4 || address.family() == AF_INET;
    ipv6 = ipv6 || address.family() == AF_INET6;
  }
  return ipv6 && !ipv4;
}

CheckOutcome TcpCheckOutcome(const std::string& record, const std::filesystem::path& table,
                             const TcpCollectionFactory& create, const TcpWait& wait) {
  const std::string host = GetRecordValue(record, kKeyTcpHost);
  const std::string protocol(TcpProtocolName(FindRecordValue(record, kKeyTcpProtocol)));
  int32_t port = ParseRecordNumber(FindRecordValue(record, kKeyTcpPort));
  const int32_t timeout = ParseRecordNumber(FindRecordValue(record, kKeyTcpTimeout));

  // A name with a NUL inside names no section of the table (the table would find the part before
  // it).
  const std::optional<ProtocolSettings> settings =
      HoldsNul(protocol) ? std::nullopt : ReadProtocolSettings(table, protocol);
  if (!settings) return EarlyError(std::string(kNoProtocolText));
  if (port == 0) {
    if (settings->defaultPort == 0) return EarlyError(FormatAnswer(kNoPortText, {AsAnswerText(protocol)}));
    port = settings->defaultPort;
  }

  com::ComPtr<tcpcheck::ItqCollThTCP> collection;
  com::ComPtr<tcpcheck::ItqThTCP> job;
  if (create(&collection) != com::S_OK || !collection || collection->Add(job.put()) != com::S_OK || !job) {
    return EarlyError(std::string(kNoComponentText));
  }

  // Subscribed before the start: a job that ends at once still announces it to this check.
  const auto end = std::make_shared<JobEnd>();
  int32_t jobId = 0;
  if (com::Succeeded(job->get_ID(&jobId))) end->Expect(jobId);
  const EventSubscription subscription(collection.get(), tcpcheck::ItqCollThTCPEvents::kIid,
                                       static_cast<com::IDispatch*>(com::Make<JobEndSink<tcpcheck::JobDoneEvent>>(end).get()));

  // A name with a NUL inside names no host: the job gets none rather than the part before it.
  const std::string target = HoldsNul(host) ? std::string() : host;
  const com::Bstr hostName = com::Bstr::FromUtf8(target);
  const com::Bstr greeting = com::Bstr::FromUtf8(settings->receiveOnConnect);
  const com::Bstr command = com::Bstr::FromUtf8(settings->sendOnConnect);
  const com::Bstr response = com::Bstr::FromUtf8(settings->receiveAsResponse);
  const com::Bstr closing = com::Bstr::FromUtf8(settings->sendOnDisconnect);
  // A job the component refuses (no host, a port or timeout not above 0) never runs; it is
  // answered "down" with its empty result text.
  const auto start = std::chrono::steady_clock::now();
  (void)job->Check(hostName.get(), port, timeout, greeting.get(), settings->receiveOnConnectCompare, command.get(),
                   response.get(), settings->receiveAsResponseCompare, closing.get(),
                   settings->waitOnDisconnect ? com::VARIANT_TRUE : com::VARIANT_FALSE,
                   PrefersIpv6(target) ? com::VARIANT_TRUE : com::VARIANT_FALSE);

  const auto deadline = start + std::chrono::seconds(2LL * std::max(timeout, 0)) + wait.margin;
  const bool ended = end->Await(deadline, wait.recheck, [&] { return StillRunning(*job); });
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  // The job's own time: from its start to its end's announcement.
  const auto elapsed =
      ended ? std::chrono::duration_cast<std::chrono::milliseconds>(end->EndTime() - start) : waited;
  const long long responseTime = std::clamp<long long>(elapsed.count(), 0, std::numeric_limits<int32_t>::max());

  std::string jobText;
  com::VARIANT_BOOL up = com::VARIANT_FALSE;
  if (ended) {
    com::Bstr text;
    (void)job->get_TCPHostResponse(text.put());
    (void)job->get_TCPHostUP(&up);
    jobText = AsAnswerText(text.ToUtf8());
  } else {
    debuglog::Write(FormatAnswer(kNotEndedLog, {AsAnswerText(host), static_cast<long long>(port),
                                                 static_cast<long long>(waited.count())}));
    jobText = kNotEndedText;
  }
  // The host and protocol as the answer names them: a control character would split or cut it.
  const std::string result =
      FormatAnswer(kResultText, {AsAnswerText(host), AsAnswerText(protocol), static_cast<long long>(port), jobText});
  CheckOutcome outcome = CheckOutcome::Judged(up != com::VARIANT_FALSE, result, responseTime);
  outcome.bufferSize = kTcpAnswerBuffer;
  return outcome;
}

CheckOutcome RunTcpCheckThroughTheComponent(AgentContext& context, const std::string& record) {
  return TcpCheckOutcome(record, context.paths.tcpConfig, CreateTcpCollection);
}

}  // namespace vorlane::agent
