#include "tcpcheck/tcp_check_worker.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/contract_events.h"
#include "platform/com/text.h"
#include "platform/debuglog/debuglog.h"
#include "tcpcheck/exchange_text.h"
#include "tcpcheck/portwick.h"
#include "tcpcheck/tcp_check_collection.h"
#include "tcpcheck/tcp_check_job.h"
#include "tcpclient/kelpline.h"

namespace vorlane::tcpcheck {

using com::Bstr;
using com::HRESULT;
using tcpclient::IKelpline;

namespace {

// The control's Timeout is a 16-bit count of seconds.
constexpr int32_t kLongestControlTimeout = 32767;

// The exchange is 8-bit: with this page the control writes every character below U+0100 as the
// byte of that value and hands every received byte over as that character.
constexpr std::u16string_view kByteCodePage = u"CodePage=28591";
// A reply is judged by what has come once it is this long, complete or not.
constexpr size_t kLongestReply = 1 << 20;

std::u16string BytesAsText(std::string_view bytes) {
  std::u16string text(bytes.size(), u'\0');
  std::transform(bytes.begin(), bytes.end(), text.begin(), [](char b) { return char16_t{static_cast<uint8_t>(b)}; });
  return text;
}

// The worker's receiver of the control's events. It lives on the worker's thread and is called
// only there (the control fires inside the worker's own calls, mostly inside DoEvents), so its
// fields need no lock.
class DataSink final : public com::ComObject<DataSink, com::DispatchImpl<DataSink, tcpclient::IKelplineEvents>> {
  HRESULT OnDataIn(tcpclient::DataInEvent& event) {
    for (const char16_t c : event.text) received.push_back(c < 0x100 ? static_cast<char>(c) : '?');
    return com::S_OK;
  }
  // The peer closed the connection, or the control failed it: nothing more will come.
  template <class Event>
  HRESULT OnEnded(Event& /*event*/) {
    ended = true;
    return com::S_OK;
  }
  HRESULT OnServerAuthentication(tcpclient::SslServerAuthenticationEvent& event) {
    event.accept = true;
    return com::S_OK;
  }

 public:
  static constexpr com::DispatchMember<DataSink> kDispatchMembers[] = {
      com::IgnoreEvent<DataSink, tcpclient::ConnectedEvent>(),
      com::IgnoreEvent<DataSink, tcpclient::ConnectionStatusEvent>(),
      com::OnEvent<&DataSink::OnDataIn>(),
      com::OnEvent<&DataSink::OnEnded<tcpclient::DisconnectedEvent>>(),
      com::OnEvent<&DataSink::OnEnded<tcpclient::ErrorEvent>>(),
      com::IgnoreEvent<DataSink, tcpclient::ReadyToSendEvent>(),
      com::OnEvent<&DataSink::OnServerAuthentication>(),
      com::IgnoreEvent<DataSink, tcpclient::SslStatusEvent>(),
  };

  DataSink() = default;

  std::string received;  // the bytes of the current phase
  bool ended = false;

 private:
  ~DataSink() override = default;
};

// Which end a run takes: the failure end announces the run before the control is let go.
enum class Ending { kNormal, kFailure };

// One run of a check, step by step.
class CheckRun {
 public:
  explicit CheckRun(const CheckArgs& args) : args_(args), start_(std::chrono::steady_clock::now()) {}

  // Creates the control and subscribes the sink; false when the control cannot be created.
  bool Prepare();
  Ending Drive();
  // Unsubscribes the sink and lets the control go.
  void Release();

 private:
  // Waits until the phase's reply is ready to be judged (ReplyReady), the connection has ended,
  // or the run's budget is spent.
  void WaitForReply(int32_t mode, std::string_view expected);
  // A new phase: what came since the last reply (the rest of its segment, anything the server
  // sent unasked) is no answer to what is sent now.
  void StartPhase() { sink_->received.clear(); }
  void Disconnect();
  Ending Fail(std::u16string_view prefix);

  const CheckArgs& args_;
  const std::chrono::steady_clock::time_point start_;
  com::ComPtr<IKelpline> control_;
  com::ComPtr<DataSink> sink_;
  com::ComPtr<com::IConnectionPoint> point_;
  uint32_t cookie_ = 0;
};

bool CheckRun::Prepare() {
  if (com::Failed(com::CoCreateInstance(tcpclient::kKelplineClsid, &control_)) || !control_) return false;
  sink_ = com::Make<DataSink>();
  com::ComPtr<com::IConnectionPointContainer> container;
  if (com::Succeeded(control_->QueryInterface(com::IConnectionPointContainer::kIid, container.put_void())) &&
      container &&
      com::Succeeded(container->FindConnectionPoint(tcpclient::IKelplineEvents::kIid, point_.put()))) {
    if (com::Failed(point_->Advise(static_cast<com::IDispatch*>(sink_.get()), &cookie_))) point_.reset();
  }
  return true;
}

void CheckRun::Release() {
  if (point_) (void)point_->Unadvise(cookie_);
  point_.reset();
  sink_.reset();
  control_.reset();
}

void CheckRun::WaitForReply(int32_t mode, std::string_view expected) {
  // Bounded by the budget; DoEvents waits up to one step of the control for its events, so the
  // loop does not spin while nothing happens.
  for (;;) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start_);
    if (sink_->ended || sink_->received.size() >= kLongestReply || ReplyReady(mode, expected, sink_->received) ||
        elapsed.count() > args_.timeout) {
      break;
    }
    (void)control_->DoEvents();
  }
}

void CheckRun::Disconnect() {
  (void)control_->put_Linger(args_.linger ? com::VARIANT_TRUE : com::VARIANT_FALSE);
  (void)control_->put_Connected(com::VARIANT_FALSE);
}

Ending CheckRun::Fail(std::u16string_view prefix) {
  std::u16string text(prefix);
  text.append(com::Utf8ToUtf16(StripTrailingCrLf(sink_->received))).append(u")");
  args_.job->SetOutcome(false, std::move(text));
  Disconnect();
  return Ending::kFailure;
}

Ending CheckRun::Drive() {
  com::VARIANT_BOOL connected = com::VARIANT_FALSE;
  if (com::Succeeded(control_->get_Connected(&connected)) && connected != com::VARIANT_FALSE) {
    (void)control_->put_Connected(com::VARIANT_FALSE);
  }
  (void)control_->put_LocalPort(0);
  (void)control_->put_SSLStartMode(tcpclient::sslNone);
  sink_->received.clear();

  Bstr answer;
  (void)control_->Config(Bstr(u"AbsoluteTimeout=True").get(), answer.put());
  (void)control_->Config(Bstr(kByteCodePage).get(), answer.put());
  // The control resolves the host in the family this names: IPv6 when true, IPv4 otherwise.
  const std::u16string_view ipv6 = args_.useIpv6 ? u"UseIPv6=True" : u"UseIPv6=False";
  debuglog::Write(com::Utf16ToUtf8(ipv6));
  (void)control_->Config(Bstr(ipv6).get(), answer.put());

  (void)control_->put_Timeout(static_cast<int16_t>(std::min(args_.timeout, kLongestControlTimeout)));
  (void)control_->put_RemotePort(args_.port);

  debuglog::Write(com::Utf16ToUtf8(args_.host));
  debuglog::Write(com::Succeeded(control_->put_RemoteHost(Bstr(args_.host).get())) ? "Succeeded to set the remote host"
                                                                                   : "Failed to set the remote host");
  Bstr remote;
  (void)control_->get_RemoteHost(remote.put());
  debuglog::Write(remote.ToUtf8());
  args_.job->SetHostAddress(std::u16string(remote.view()));

  (void)control_->put_AcceptData(com::VARIANT_TRUE);
  (void)control_->put_EOL(Bstr(u"").get());

  (void)control_->Connect(remote.get(), args_.port);
  Bstr after;
  (void)control_->get_RemoteHost(after.put());
  debuglog::Write(after.ToUtf8());
  connected = com::VARIANT_FALSE;
  (void)control_->get_Connected(&connected);
  if (connected == com::VARIANT_FALSE) {
    args_.job->SetOutcome(false, std::u16string(kNotPossible));
    return Ending::kNormal;
  }
  if (args_.greeting.empty() && args_.send.empty() && args_.closingLine.empty() && args_.response.empty()) {
    args_.job->SetOutcome(true, std::u16string(kPossible));
    Disconnect();
    return Ending::kNormal;
  }

  // The greeting shown is the server's first reply; anything after it in the same segment is not.
  std::string greeting;
  if (!args_.greeting.empty() || args_.greetingMode == kCompareNone) {
    const std::string expected = ExpectedBytes(args_.greetingMode, args_.greeting);
    WaitForReply(args_.greetingMode, expected);
    greeting = sink_->received.substr(0, ReplyEnd(sink_->received).value_or(sink_->received.size()));
    args_.job->SetResponse(com::Utf8ToUtf16(greeting));
    if (Mismatch(args_.greetingMode, expected, sink_->received)) return Fail(kGreetingMismatch);
  }

  StartPhase();
  if (!args_.send.empty()) (void)control_->put_DataToSend(Bstr(BytesAsText(DecodeEscapes(args_.send))).get());

  if (!args_.response.empty()) {
    const std::string expected = ExpectedBytes(args_.responseMode, args_.response);
    WaitForReply(args_.responseMode, expected);
    if (Mismatch(args_.responseMode, expected, sink_->received)) return Fail(kResponseMismatch);
  }

  // The closing line's wait ends on the server's answer to it, or when the server closes (as
  // servers do after QUIT), whichever comes first.
  if (!args_.closingLine.empty()) {
    StartPhase();
    (void)control_->SendLine(Bstr(BytesAsText(DecodeEscapes(args_.closingLine))).get());
    WaitForReply(kCompareNone, {});
  }
  Disconnect();

  std::u16string text(kExpectedData);
  if (!greeting.empty()) text.append(u" (").append(com::Utf8ToUtf16(StripTrailingCrLf(greeting))).append(u")");
  args_.job->SetOutcome(true, std::move(text));
  return Ending::kNormal;
}

// The two steps both ends take, in this order: JobDone, when the job still belongs to the
// collection it belonged to at the start, then the job idle.
void Announce(const CheckArgs& args) {
  if (args.collection && args.job->Collection().get() == args.collection.get()) args.collection->FireJobDone(args.job->CurrentId());
  args.job->SetNotRunning();
}

}  // namespace

void RunTcpCheck(std::unique_ptr<CheckArgs> args) {
  try {
    com::ApartmentScope apartment;
    args->job->SetHostAddress(args->host);
    Ending ending = Ending::kNormal;
    {
      CheckRun run(*args);
      if (run.Prepare()) ending = run.Drive();
      if (ending == Ending::kFailure) Announce(*args);
      run.Release();
    }
    if (ending == Ending::kNormal) Announce(*args);
    args.reset();
  } catch (...) {
    // Only memory can run out here; the job must not stay running for ever.
    if (args && args->job) args->job->SetNotRunning();
  }
}

}  // namespace vorlane::tcpcheck
