#include "agent/checks/ping_check.h"

#include <algorithm>
#include <array>
#include <limits>
#include <memory>

#include "agent/checks/job_end.h"
#include "agent/log/agent_log.h"
#include "agent/request/answer.h"
#include "agent/request/record.h"
#include "platform/com/activation.h"
#include "platform/com/bstr.h"
#include "platform/debuglog/debuglog.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kNoComponentText = "Could not create instance of the ping component (Sondrel.dll)";

constexpr std::string_view kOkText = "ping of %s OK with a successrate of %d%%";
constexpr std::string_view kFailedText = "ping of %s failed due to a successrate of only %d%%. Error: %s. ";
constexpr std::string_view kNoneText = "Error: %s ";
constexpr std::string_view kNotEndedText = "Error: The ping did not end in time ";
constexpr std::string_view kNotEndedLog = "The ping of %s did not end in time; the check gave up after %d ms.";

// Every answer fits 4096 bytes with its terminator; the result text is what gets shortened.
constexpr size_t kPingAnswerBuffer = 4096;

// The element's frame payload, in bytes.
constexpr int32_t kPackageSize = 32;

// The separator the check asks the element to put after each failure description.
constexpr std::u16string_view kErrSeparator = u"| ";

int16_t ParseShort(std::string_view text) { return static_cast<int16_t>(ParseRecordNumber(text)); }

// Seconds to milliseconds, held at the limits of a signed 32-bit number: a wrapped product could
// land inside the component's valid range and give a short timeout nobody asked for.
int32_t TimeoutMilliseconds(std::string_view text) {
  const int64_t ms = static_cast<int64_t>(ParseRecordNumber(text)) * 1000;
  return static_cast<int32_t>(
      std::clamp<int64_t>(ms, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

uint8_t ParseTos(std::string_view text) {
  const int32_t value = text.empty() ? 0 : ParseRecordNumber(text);
  return static_cast<uint8_t>(static_cast<uint32_t>(value) & 0xFFu);
}

// Text from the component ends up inside an answer value, where a '#' would end the value and
// start a forged pair: it becomes a space. Everything else goes out as the component wrote it.
std::string AsPingAnswerText(std::string text) {
  std::replace(text.begin(), text.end(), '#', ' ');
  return text;
}

// The component could not be had: this answer is logged before it is sent.
CheckOutcome NoComponent() {
  CheckOutcome outcome = CheckOutcome::Error(std::string(kNoComponentText));
  outcome.logBeforeSending = true;
  return outcome;
}

CheckOutcome Answered(bool up, std::string text, std::optional<long long> roundTrip = std::nullopt) {
  CheckOutcome outcome = CheckOutcome::Judged(up, std::move(text), roundTrip);
  outcome.bufferSize = kPingAnswerBuffer;
  return outcome;
}

}  // namespace

com::HRESULT CreatePingCollection(com::ComPtr<ping::ItqCollPings>* collection) {
  return com::CoCreateInstance(ping::kCollPingsClsid, collection);
}

std::string FormatPingErrors(std::string_view errorMessage) {
  constexpr std::string_view kItemStart = ": ";
  constexpr std::string_view kItemEnd = "| ";
  std::string result;
  std::string rest(errorMessage);
  // Every round removes at least one whole item (4 bytes or more), so the text's length bounds
  // the rounds.
  for (size_t rounds = rest.size(); rounds > 0; --rounds) {
    const size_t start = rest.find(kItemStart);
    if (start == std::string::npos) break;
    const size_t end = rest.find(kItemEnd, start);
    if (end == std::string::npos) break;
    const size_t textStart = start + kItemStart.size();
    result.append(rest, textStart, end - textStart);
    result.append(", ");
    // The same description of later frames goes too: each is listed once.
    const std::string item = rest.substr(start, end + kItemEnd.size() - start);
    for (size_t at = rest.find(item); at != std::string::npos; at = rest.find(item, at)) rest.erase(at, item.size());
  }
  if (!result.empty()) result.resize(result.size() - 2);
  return result;
}

CheckOutcome PingCheckOutcome(const std::string& record, const PingCollectionFactory& create, const PingWait& wait) {
  const std::string host = GetRecordValue(record, kKeyPingHost);
  // The host as the answers name it: a control character there would split or cut them.
  const std::string shownHost = AsAnswerText(host);
  const int32_t frames = ParseShort(FindRecordValue(record, kKeyPingFrames));
  const int16_t threshold = ParseShort(FindRecordValue(record, kKeyPingSuccessRate));
  const int32_t timeoutMs = TimeoutMilliseconds(FindRecordValue(record, kKeyPingTimeout));
  const uint8_t tos = ParseTos(FindRecordValue(record, kKeyPingTos));
  const com::VARIANT_BOOL checkTos =
      FindRecordValue(record, kKeyPingCheckTos) == "true" ? com::VARIANT_TRUE : com::VARIANT_FALSE;

  com::ComPtr<ping::ItqCollPings> collection;
  if (com::Failed(create(&collection)) || !collection) return NoComponent();
  com::ComPtr<ping::ItqPing> element;
  if (collection->Add(element.put()) != com::S_OK || !element) return NoComponent();

  // Subscribed before the start: a job that ends at once still announces it to this check.
  const auto end = std::make_shared<JobEnd>();
  int32_t elementId = 0;
  if (com::Succeeded(element->get_ID(&elementId))) end->Expect(elementId);
  const EventSubscription subscription(collection.get(), ping::ItqCollPingsEvents::kIid,
                                       static_cast<com::IDispatch*>(com::Make<JobEndSink<ping::PingDoneEvent>>(end).get()));

  const com::Bstr separator(kErrSeparator);
  (void)element->put_ErrSeparator(separator.get());
  // A name with a NUL inside names no host: the element gets none rather than the part before it.
  const com::Bstr hostName = com::Bstr::FromUtf8(HoldsNul(host) ? std::string() : host);
  // A job the element refuses to start leaves it idle with empty results, which is answered as
  // a ping that reached nothing.
  (void)element->Ping(hostName.get(), kPackageSize, frames, timeoutMs, tos, checkTos, com::VARIANT_FALSE);

  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::milliseconds(ping::EffectiveMaxTimeout(timeoutMs)) + wait.margin;
  if (!end->Await(deadline, wait.recheck, [&] { return StillRunning(*element); })) {
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    debuglog::Write(FormatAnswer(kNotEndedLog, {shownHost, static_cast<long long>(waited.count())}));
    return Answered(false, std::string(kNotEndedText));
  }

  com::Bstr errorMessage;
  (void)element->get_ErrorMessage(errorMessage.put());
  int16_t succeeded = 0;
  (void)element->get_SucceededPercent(&succeeded);
  int32_t roundTrip = 0;
  (void)element->get_AverageRoundTrip(&roundTrip);

  if (succeeded >= threshold) {
    return Answered(true, FormatAnswer(kOkText, {shownHost, static_cast<long long>(succeeded)}), roundTrip);
  }
  const std::string errors = AsPingAnswerText(FormatPingErrors(errorMessage.ToUtf8()));
  if (succeeded == 0) return Answered(false, FormatAnswer(kNoneText, {errors}));
  return Answered(false, FormatAnswer(kFailedText, {shownHost, static_cast<long long>(succeeded), errors}), roundTrip);
}

CheckOutcome RunPingCheckThroughTheComponent(AgentContext& /*context*/, const std::string& record) {
  return PingCheckOutcome(record, CreatePingCollection);
}

}  // namespace vorlane::agent
