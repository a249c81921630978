#include "tcpclient/kelpline_control.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <new>
#include <utility>

#include "platform/com/error_info.h"
#include "platform/com/text.h"

namespace vorlane::tcpclient {

using com::Bstr;
using com::BSTR;
using com::HRESULT;
using com::S_OK;
using com::Variant;
using com::VARIANT_BOOL;
using namespace std::chrono_literals;

namespace {

// The message the control posts to itself to deliver held data and retry pending sends (the
// message number the hidden window of the control answers to).
constexpr uint32_t kRetriggerMessage = 1125;
constexpr auto kWaitStep = 20ms;
// GetLine drops what it gathered once a line grows beyond this many times MaxLineLength.
constexpr int64_t kGetLineBufferFactor = 20;
constexpr std::u16string_view kSource = u"Kelpline";

VARIANT_BOOL ToVariantBool(bool value) { return value ? com::VARIANT_TRUE : com::VARIANT_FALSE; }

std::u16string_view View(BSTR text) { return {text != nullptr ? text : u"", com::SysStringLen(text)}; }

HRESULT CopyOut(std::u16string_view text, BSTR* out) {
  if (out == nullptr) return com::E_POINTER;
  *out = com::SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
  return *out == nullptr ? com::E_OUTOFMEMORY : S_OK;
}

HRESULT CopyOut(const std::vector<uint8_t>& bytes, com::VARIANT* out) {
  if (out == nullptr) return com::E_POINTER;
  return com::CatchReturn([&] {
    Variant value{std::span<const uint8_t>(bytes)};
    *out = value.Detach();
    return S_OK;
  });
}

HRESULT GetText(const std::u16string& member, BSTR* value) {
  return com::CatchReturn([&] { return CopyOut(member, value); });
}

HRESULT PutText(std::u16string& member, BSTR value) {
  return com::CatchReturn([&] {
    member = View(value);
    return S_OK;
  });
}

// The bytes of a byte-array VARIANT (or a reference to one).
HRESULT ReadBytes(const com::VARIANT& value, std::vector<uint8_t>* bytes) {
  return com::CatchReturn([&] {
    Variant copy;
    VORLANE_RETURN_IF_FAILED(copy.CopyFrom(value));
    return copy.ToBytes(bytes);
  });
}

std::vector<uint8_t> AsBytes(std::string_view text) { return {text.begin(), text.end()}; }

// A text handed to an event by reference: owned here, the sink may replace it.
BSTR* HoldText(Bstr& holder, std::string_view utf8) {
  BSTR* slot = holder.put();
  *slot = Bstr::FromUtf8(utf8).detach();
  return slot;
}

int16_t StatusCode(int32_t code) { return static_cast<int16_t>(std::clamp<int32_t>(code, INT16_MIN, INT16_MAX)); }

void SetIntOption(int fd, int level, int name, int value) {
  (void)::setsockopt(fd, level, name, &value, sizeof(value));
}

void SetLinger(int fd, bool graceful) {
  linger option{};
  option.l_onoff = graceful ? 0 : 1;  // graceful: the system finishes in the background
  option.l_linger = 0;
  (void)::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
}

// The value a put of a dispatch adapter passes on, read from argument 0.
template <class T>
struct PutArgument {
  T value{};
  HRESULT Read(com::DispatchCall& call) { return call.Read(0, &value); }
  T Get() const { return value; }
};
template <>
struct PutArgument<bool> {
  bool value = false;
  HRESULT Read(com::DispatchCall& call) { return call.Read(0, &value); }
  VARIANT_BOOL Get() const { return ToVariantBool(value); }
};
template <>
struct PutArgument<BSTR> {
  Bstr value;
  HRESULT Read(com::DispatchCall& call) { return call.Read(0, &value); }
  BSTR Get() const { return value.get(); }
};
template <>
struct PutArgument<com::VARIANT> {
  Variant value;
  HRESULT Read(com::DispatchCall& call) { return call.Read(0, &value); }
  com::VARIANT Get() const { return value.raw(); }
};
template <class E>
  requires std::is_enum_v<E>
struct PutArgument<E> {
  int32_t value = 0;
  HRESULT Read(com::DispatchCall& call) { return call.Read(0, &value); }
  E Get() const { return static_cast<E>(value); }
};

// The result of a get adapter, taking over what the getter handed out.
template <class W>
Variant ResultVariant(typename detail::WireOf<W>::type value) {
  if constexpr (std::is_same_v<W, bool>) {
    return Variant(value != com::VARIANT_FALSE);
  } else if constexpr (std::is_same_v<W, BSTR>) {
    return Variant(Bstr::Attach(value));
  } else if constexpr (std::is_same_v<W, com::VARIANT>) {
    return Variant::Attach(value);
  } else if constexpr (std::is_enum_v<W>) {
    return Variant(static_cast<int32_t>(value));
  } else {
    return Variant(value);
  }
}

}  // namespace

template <class W, HRESULT (IKelpline::*Get)(typename detail::WireOf<W>::type*)>
HRESULT KelplineControl::DispGet(com::DispatchCall& call) {
  typename detail::WireOf<W>::type value{};
  if constexpr (std::is_same_v<W, com::VARIANT>) com::VariantInit(&value);
  VORLANE_RETURN_IF_FAILED((this->*Get)(&value));
  return call.Return(ResultVariant<W>(value));
}

template <class W, HRESULT (IKelpline::*Put)(typename detail::WireOf<W>::type)>
HRESULT KelplineControl::DispPut(com::DispatchCall& call) {
  PutArgument<W> argument;
  VORLANE_RETURN_IF_FAILED(argument.Read(call));
  return (this->*Put)(argument.Get());
}

HRESULT KelplineControl::InvokeConfig(com::DispatchCall& call) {
  Bstr text, answer;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &text));
  VORLANE_RETURN_IF_FAILED(Config(text.get(), answer.put()));
  return call.Return(Variant(std::move(answer)));
}

HRESULT KelplineControl::InvokeConnect(com::DispatchCall& call) {
  Bstr host;
  int32_t port = 0;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &host));
  VORLANE_RETURN_IF_FAILED(call.Read(1, &port));
  return Connect(host.get(), port);
}

HRESULT KelplineControl::InvokeGetLine(com::DispatchCall& call) {
  Bstr line;
  VORLANE_RETURN_IF_FAILED(GetLine(line.put()));
  return call.Return(Variant(std::move(line)));
}

HRESULT KelplineControl::InvokeSend(com::DispatchCall& call) {
  Bstr text;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &text));
  return Send(text.get());
}

HRESULT KelplineControl::InvokeSendLine(com::DispatchCall& call) {
  Bstr text;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &text));
  return SendLine(text.get());
}

// ---------------------------------------------------------------- life

KelplineControl::KelplineControl() : loop_(loop::MessageLoop::ForCurrentThread()) {
  target_ = loop_->CreateTarget([this](uint32_t id, uintptr_t, intptr_t) {
    if (id == kRetriggerMessage) OnRetrigger();
  });
  ConnectionPoints().Add(IKelplineEvents::kIid);
}

KelplineControl::~KelplineControl() {
  ConnectionPoints().DisconnectAll();
  watch_.reset();
  if (socket_.valid() && !linger_) SetLinger(socket_.get(), false);
  socket_.reset();
  target_.reset();
}

std::string KelplineControl::TextToBytes(std::u16string_view text) const { return com::Utf16ToUtf8(text); }

std::u16string KelplineControl::BytesToText(std::string_view bytes) const { return com::Utf8ToUtf16(bytes); }

HRESULT KelplineControl::Fail(int32_t code, std::string_view text) {
  const HRESULT hr = code == 0 ? com::E_INVALIDARG : KelplineHresult(code);
  std::u16string description;
  try {
    description = com::Utf8ToUtf16(text);
  } catch (const std::bad_alloc&) {
    return com::E_OUTOFMEMORY;
  }
  return com::SetErrorAndReturn(hr, IKelpline::kIid, kSource, description);
}

// ---------------------------------------------------------------- simple properties

HRESULT KelplineControl::get_AcceptData(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = ToVariantBool(acceptData_);
  return S_OK;
}

HRESULT KelplineControl::put_AcceptData(VARIANT_BOOL value) {
  const bool accept = value != com::VARIANT_FALSE;
  const bool resume = accept && !acceptData_;
  acceptData_ = accept;
  if (resume && HasSocket()) (void)loop_->PostMessage(*target_, kRetriggerMessage);
  if (!accept) UpdateWatch();
  return S_OK;
}

HRESULT KelplineControl::get_BytesSent(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = bytesSent_;
  return S_OK;
}

HRESULT KelplineControl::get_Connected(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = ToVariantBool(state_ == State::kConnected);
  return S_OK;
}

HRESULT KelplineControl::put_Connected(VARIANT_BOOL value) {
  return com::CatchReturn([&] {
    if (value != com::VARIANT_FALSE) return OpenConnection();
    return CloseConnection(/*waitForQueued=*/false, /*reportWouldBlock=*/false);
  });
}

HRESULT KelplineControl::put_DataToSend(BSTR value) {
  return com::CatchReturn([&] { return QueueAndSend(TextToBytes(View(value))); });
}

HRESULT KelplineControl::get_EOL(BSTR* value) {
  return com::CatchReturn([&] { return CopyOut(BytesToText(settings_.eol), value); });
}

HRESULT KelplineControl::put_EOL(BSTR value) {
  return com::CatchReturn([&] {
    settings_.eol = TextToBytes(View(value));
    return S_OK;
  });
}

HRESULT KelplineControl::get_FirewallHost(BSTR* value) {
  return com::CatchReturn([&] { return CopyOut(com::Utf8ToUtf16(settings_.firewallHost), value); });
}
HRESULT KelplineControl::put_FirewallHost(BSTR value) {
  return com::CatchReturn([&] {
    settings_.firewallHost = com::Utf16ToUtf8(View(value));
    return S_OK;
  });
}
HRESULT KelplineControl::get_FirewallPassword(BSTR* value) {
  return com::CatchReturn([&] { return CopyOut(com::Utf8ToUtf16(settings_.firewallPassword), value); });
}
HRESULT KelplineControl::put_FirewallPassword(BSTR value) {
  return com::CatchReturn([&] {
    settings_.firewallPassword = com::Utf16ToUtf8(View(value));
    return S_OK;
  });
}
HRESULT KelplineControl::get_FirewallUser(BSTR* value) {
  return com::CatchReturn([&] { return CopyOut(com::Utf8ToUtf16(settings_.firewallUser), value); });
}
HRESULT KelplineControl::put_FirewallUser(BSTR value) {
  return com::CatchReturn([&] {
    settings_.firewallUser = com::Utf16ToUtf8(View(value));
    return S_OK;
  });
}
HRESULT KelplineControl::get_FirewallPort(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = static_cast<int32_t>(settings_.firewallPort);
  return S_OK;
}
HRESULT KelplineControl::put_FirewallPort(int32_t value) {
  settings_.firewallPort = value;
  return S_OK;
}
HRESULT KelplineControl::get_FirewallType(TFirewallType* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = static_cast<TFirewallType>(settings_.firewallType);
  return S_OK;
}
HRESULT KelplineControl::put_FirewallType(TFirewallType value) {
  if (value < fwNone || value > fwSOCKS5) return Fail(0, kTextValueOutOfRange);
  settings_.firewallType = value;
  return S_OK;
}

HRESULT KelplineControl::get_KeepAlive(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = ToVariantBool(keepAlive_);
  return S_OK;
}
HRESULT KelplineControl::put_KeepAlive(VARIANT_BOOL value) {
  keepAlive_ = value != com::VARIANT_FALSE;
  if (HasSocket()) SetIntOption(socket_.get(), SOL_SOCKET, SO_KEEPALIVE, keepAlive_ ? 1 : 0);
  return S_OK;
}
HRESULT KelplineControl::get_Linger(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = ToVariantBool(linger_);
  return S_OK;
}
HRESULT KelplineControl::put_Linger(VARIANT_BOOL value) {
  linger_ = value != com::VARIANT_FALSE;
  if (HasSocket()) SetLinger(socket_.get(), linger_);
  return S_OK;
}

HRESULT KelplineControl::get_LocalHost(BSTR* value) { return GetText(localHost_, value); }
HRESULT KelplineControl::put_LocalHost(BSTR value) { return PutText(localHost_, value); }
HRESULT KelplineControl::get_LocalPort(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = localPort_;
  return S_OK;
}
HRESULT KelplineControl::put_LocalPort(int32_t value) {
  if (HasSocket()) return Fail(kErrLocalPortBusy, kTextLocalPortBusy);
  if (value < 0 || value > 65535) return Fail(0, kTextValueOutOfRange);
  localPort_ = value;
  return S_OK;
}

HRESULT KelplineControl::get_RemoteHost(BSTR* value) {
  return com::CatchReturn([&] { return CopyOut(remoteHost_, value); });
}

HRESULT KelplineControl::put_RemoteHost(BSTR value) {
  return com::CatchReturn([&] {
    if (HasSocket()) return Fail(kErrRemoteHostBusy, kTextRemoteHostBusy);
    remoteHost_ = View(value);
    remoteAddress_.reset();
    // Through a firewall the firewall receives the name; an empty text clears the address.
    if (settings_.firewallType != fwNone || remoteHost_.empty()) return S_OK;
    HostLookup lookup = ResolveHost(com::Utf16ToUtf8(remoteHost_), settings_.useIpv6 ? AF_INET6 : AF_INET);
    if (!lookup.address) return Fail(lookup.error);
    remoteAddress_ = *lookup.address;
    return S_OK;
  });
}

HRESULT KelplineControl::get_RemotePort(int32_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = remotePort_;
  return S_OK;
}
HRESULT KelplineControl::put_RemotePort(int32_t value) {
  if (HasSocket()) return Fail(kErrRemotePortBusy, kTextRemotePortBusy);
  if (value < 0 || value > 65535) return Fail(0, kTextValueOutOfRange);
  remotePort_ = value;
  return S_OK;
}

HRESULT KelplineControl::get_SingleLineMode(VARIANT_BOOL* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = ToVariantBool(singleLineMode_);
  return S_OK;
}
// Stored only: the control's line handling is chosen by EOL and "SplitCRLF".
HRESULT KelplineControl::put_SingleLineMode(VARIANT_BOOL value) {
  singleLineMode_ = value != com::VARIANT_FALSE;
  return S_OK;
}

HRESULT KelplineControl::get_Timeout(int16_t* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = timeout_;
  return S_OK;
}
HRESULT KelplineControl::put_Timeout(int16_t value) {
  if (value < 0) return Fail(0, kTextValueOutOfRange);
  timeout_ = value;
  return S_OK;
}

// ---------------------------------------------------------------- TLS settings (stored)

HRESULT KelplineControl::get_SSLAcceptServerCert(BSTR* value) { return GetText(sslAcceptServerCert_, value); }
HRESULT KelplineControl::put_SSLAcceptServerCert(BSTR value) { return PutText(sslAcceptServerCert_, value); }
HRESULT KelplineControl::get_SSLCertEncoded(BSTR* value) { return GetText(sslCertEncoded_, value); }
HRESULT KelplineControl::put_SSLCertEncoded(BSTR value) { return PutText(sslCertEncoded_, value); }
HRESULT KelplineControl::get_SSLCertStore(BSTR* value) { return GetText(sslCertStore_, value); }
HRESULT KelplineControl::put_SSLCertStore(BSTR value) { return PutText(sslCertStore_, value); }
HRESULT KelplineControl::get_SSLCertStorePassword(BSTR* value) { return GetText(sslCertStorePassword_, value); }
HRESULT KelplineControl::put_SSLCertStorePassword(BSTR value) { return PutText(sslCertStorePassword_, value); }
HRESULT KelplineControl::get_SSLCertSubject(BSTR* value) { return GetText(sslCertSubject_, value); }
HRESULT KelplineControl::put_SSLCertSubject(BSTR value) { return PutText(sslCertSubject_, value); }

HRESULT KelplineControl::get_SSLServerCert(BSTR* value) {
  return com::CatchReturn([&] { return CopyOut(sslServerCert_, value); });
}
HRESULT KelplineControl::get_SSLServerCertStatus(BSTR* value) {
  return com::CatchReturn([&] { return CopyOut(sslServerCertStatus_, value); });
}
HRESULT KelplineControl::get_SSLCertStoreType(TSSLCertStoreType* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = sslCertStoreType_;
  return S_OK;
}
HRESULT KelplineControl::put_SSLCertStoreType(TSSLCertStoreType value) {
  if (value < sstUser || value > sstPEMKey) return Fail(0, kTextValueOutOfRange);
  sslCertStoreType_ = value;
  return S_OK;
}
HRESULT KelplineControl::get_SSLStartMode(TSSLStartMode* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = sslStartMode_;
  return S_OK;
}
HRESULT KelplineControl::put_SSLStartMode(TSSLStartMode value) {
  if (value < sslAutomatic || value > sslNone) return Fail(0, kTextValueOutOfRange);
  sslStartMode_ = value;
  return S_OK;
}

HRESULT KelplineControl::StartSSL() { return Fail(kErrTlsUnavailable, kTextTlsUnavailable); }

// ---------------------------------------------------------------- byte-array forms

HRESULT KelplineControl::put_DataToSendB(com::VARIANT value) {
  std::vector<uint8_t> bytes;
  VORLANE_RETURN_IF_FAILED(ReadBytes(value, &bytes));
  return com::CatchReturn([&] { return QueueAndSend(std::string(bytes.begin(), bytes.end())); });
}

HRESULT KelplineControl::get_EOLB(com::VARIANT* value) { return CopyOut(AsBytes(settings_.eol), value); }

HRESULT KelplineControl::put_EOLB(com::VARIANT value) {
  std::vector<uint8_t> bytes;
  VORLANE_RETURN_IF_FAILED(ReadBytes(value, &bytes));
  return com::CatchReturn([&] {
    settings_.eol.assign(bytes.begin(), bytes.end());
    return S_OK;
  });
}

HRESULT KelplineControl::get_SSLAcceptServerCertB(com::VARIANT* value) { return CopyOut(sslAcceptServerCertBytes_, value); }
HRESULT KelplineControl::put_SSLAcceptServerCertB(com::VARIANT value) { return ReadBytes(value, &sslAcceptServerCertBytes_); }
HRESULT KelplineControl::get_SSLCertEncodedB(com::VARIANT* value) { return CopyOut(sslCertEncodedBytes_, value); }
HRESULT KelplineControl::put_SSLCertEncodedB(com::VARIANT value) { return ReadBytes(value, &sslCertEncodedBytes_); }
HRESULT KelplineControl::get_SSLCertStoreB(com::VARIANT* value) { return CopyOut(sslCertStoreBytes_, value); }
HRESULT KelplineControl::put_SSLCertStoreB(com::VARIANT value) { return ReadBytes(value, &sslCertStoreBytes_); }

HRESULT KelplineControl::get_SSLServerCertB(com::VARIANT* value) { return CopyOut(std::vector<uint8_t>{}, value); }
HRESULT KelplineControl::get_DataInTextB(com::VARIANT* value) { return CopyOut(AsBytes(lastDataIn_), value); }
HRESULT KelplineControl::get_SSLServerAuthenticationCertEncodedB(com::VARIANT* value) {
  return CopyOut(std::vector<uint8_t>{}, value);
}

// ---------------------------------------------------------------- Config

HRESULT KelplineControl::Config(BSTR configurationString, BSTR* result) {
  if (result == nullptr) return com::E_POINTER;
  *result = nullptr;
  return com::CatchReturn([&] {
    const ConfigOutcome outcome = ApplyConfig(settings_, com::Utf16ToUtf8(View(configurationString)),
                                              ConfigContext{.connected = HasSocket(), .socketHandle = socket_.get()});
    if (!outcome.ok) return Fail(outcome.code, outcome.text);
    return CopyOut(com::Utf8ToUtf16(outcome.text), result);
  });
}

// ---------------------------------------------------------------- connecting

HRESULT KelplineControl::Connect(BSTR host, int32_t port) {
  return com::CatchReturn([&] {
    VORLANE_RETURN_IF_FAILED(put_RemoteHost(host));
    VORLANE_RETURN_IF_FAILED(put_RemotePort(port));
    return OpenConnection();
  });
}

HRESULT KelplineControl::OpenConnection() {
  com::ComPtr<KelplineControl> self(this);
  connectOutcome_ = {};
  if (HasSocket()) return Fail(kErrAlreadyConnected, kTextAlreadyConnected);
  if (std::optional<ControlError> failure = StartConnect()) return Fail(*failure);
  if (TimeoutDuration() <= 0ms) return S_OK;  // the outcome arrives through the events

  const WaitEnd end = WaitFor([&] { return state_ != State::kConnecting; });
  if (end != WaitEnd::kDone) {
    CloseSocket();  // the attempt is abandoned
    return WaitFailure(end);
  }
  if (connectOutcome_.code != 0) return Fail(connectOutcome_);
  return S_OK;
}

std::optional<ControlError> KelplineControl::StartConnect() {
  // Connecting with sslExplicit or sslNone starts in plain text; otherwise the connection
  // would need TLS from its first byte, which this build cannot give: refuse rather than talk
  // in the clear to a peer that expects TLS.
  if (sslStartMode_ == sslExplicit || sslStartMode_ == sslNone) tlsOn_ = false;
  if (tlsOn_) return ControlError{kErrTlsUnavailable, std::string(kTextTlsUnavailable)};
  if (settings_.firewallType != fwNone) {
    if (settings_.firewallPort == 0) {
      return ControlError{kErrRemotePortZero, std::string(kTextRemotePortZero) + std::string(kTextFirewallPortZero)};
    }
    return ControlError{kErrAddressInvalid, std::string(kTextFirewallUnavailable)};
  }
  if (!remoteAddress_ || remoteAddress_->IsUnspecified()) {
    return ControlError{kErrAddressInvalid, std::string(kTextRemoteHostInvalid)};
  }
  if (remotePort_ == 0) return ControlError{kErrRemotePortZero, std::string(kTextRemotePortZero)};

  HostAddress target = *remoteAddress_;
  target.SetPort(static_cast<uint16_t>(remotePort_));
  UniqueFd fd(::socket(target.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) return ErrnoError(errno);

  if (!localHost_.empty() || localPort_ != 0) {
    HostAddress local;
    if (!localHost_.empty()) {
      HostLookup lookup = ResolveHost(com::Utf16ToUtf8(localHost_), target.family());
      if (!lookup.address) return lookup.error;
      local = *lookup.address;
    } else {
      local.storage.ss_family = static_cast<sa_family_t>(target.family());
      local.length = target.family() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    }
    local.SetPort(static_cast<uint16_t>(localPort_));
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local.storage), local.length) != 0) return ErrnoError(errno);
  }

  SetIntOption(fd.get(), SOL_SOCKET, SO_KEEPALIVE, keepAlive_ ? 1 : 0);
  SetLinger(fd.get(), linger_);
  if (settings_.inBufferSize > kSmallestAppliedBufferSize) {
    SetIntOption(fd.get(), SOL_SOCKET, SO_RCVBUF, static_cast<int>(std::min<int64_t>(settings_.inBufferSize, INT32_MAX)));
  }
  if (settings_.outBufferSize > kSmallestAppliedBufferSize) {
    SetIntOption(fd.get(), SOL_SOCKET, SO_SNDBUF, static_cast<int>(std::min<int64_t>(settings_.outBufferSize, INT32_MAX)));
  }
  SetIntOption(fd.get(), SOL_SOCKET, SO_OOBINLINE, 1);
  if (settings_.tcpNoDelay) SetIntOption(fd.get(), IPPROTO_TCP, TCP_NODELAY, 1);

  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&target.storage), target.length) != 0 &&
      errno != EINPROGRESS) {
    return ErrnoError(errno);
  }
  std::unique_ptr<loop::FdWatch> watch =
      loop_->WatchFd(fd.get(), EPOLLOUT, [this](uint32_t events) { OnSocketEvents(events); });
  if (!watch) return ErrnoError(ENOBUFS);

  socket_ = std::move(fd);
  watch_ = std::move(watch);
  state_ = State::kConnecting;
  hangupSeen_ = false;
  sendBuffer_.clear();
  pending_.clear();
  splitter_.reset();
  FireConnectionStatus(kStatusAttempting, 0, "");
  return std::nullopt;
}

void KelplineControl::FinishConnect(uint32_t events) {
  int error = 0;
  socklen_t length = sizeof(error);
  if (::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
  if (error == 0 && (events & EPOLLERR) != 0) error = ECONNREFUSED;
  if (error != 0) {
    connectOutcome_ = ErrnoError(error);
    CloseSocket();
    FireConnectionStatus(kStatusConnectFailed, connectOutcome_.code, connectOutcome_.text);
    FireConnected(connectOutcome_.code, connectOutcome_.text);
    return;
  }
  state_ = State::kConnected;
  NoteActivity();
  UpdateWatch();
  FireConnectionStatus(kStatusConnectComplete, 0, kStatusOk);
  if (state_ != State::kConnected) return;
  FireConnected(0, kStatusOk);
  // Data queued while connecting goes now; ReadyToSend follows once the queue is empty.
  if (state_ == State::kConnected && FlushSend() && state_ == State::kConnected && sendBuffer_.empty()) {
    FireReadyToSend();
  }
  UpdateWatch();
}

// ---------------------------------------------------------------- closing

HRESULT KelplineControl::Disconnect() {
  return com::CatchReturn([&] { return CloseConnection(/*waitForQueued=*/true, /*reportWouldBlock=*/true); });
}

HRESULT KelplineControl::CloseConnection(bool waitForQueued, bool reportWouldBlock) {
  com::ComPtr<KelplineControl> self(this);
  if (!HasSocket()) return S_OK;
  if (state_ == State::kConnecting || !linger_ || sendBuffer_.empty()) {
    FinishClose(0, kStatusOk);
    return S_OK;
  }
  // Linger: what is queued goes out first, then the connection closes gracefully. Nothing a
  // caller handed over is dropped: a caller that does not wait learns that the close is still
  // under way, and the control finishes it once the queue is empty.
  state_ = State::kClosing;
  UpdateWatch();
  if (!waitForQueued) return S_OK;
  if (TimeoutDuration() <= 0ms) {
    return reportWouldBlock ? Fail(kErrWouldBlock, kTextLingerWouldBlock) : S_OK;
  }
  const WaitEnd end = WaitFor([&] { return !HasSocket(); });
  return end == WaitEnd::kDone ? S_OK : WaitFailure(end);
}

void KelplineControl::CloseSocket() {
  watch_.reset();
  if (socket_.valid() && !linger_) SetLinger(socket_.get(), false);
  socket_.reset();
  state_ = State::kClosed;
  sendBuffer_.clear();
  readyToSendOwed_ = false;
  pending_.clear();
  splitter_.reset();
  hangupSeen_ = false;
}

void KelplineControl::FinishClose(int32_t code, std::string_view text) {
  if (linger_ && state_ != State::kConnecting) (void)::shutdown(socket_.get(), SHUT_WR);
  CloseSocket();
  FireDisconnected(code, text);
}

// ---------------------------------------------------------------- the socket's events

void KelplineControl::OnSocketEvents(uint32_t events) {
  com::ComPtr<KelplineControl> self(this);
  if (!HasSocket()) return;
  if (state_ == State::kConnecting) {
    FinishConnect(events);
    return;
  }
  if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) {
    if ((acceptData_ || getLineWaiting_) && pending_.empty()) {
      Receive();
    } else if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
      // Reading is held back, but the socket keeps reporting its hang-up: stop watching until
      // reading resumes, so that the loop does not spin on it.
      hangupSeen_ = true;
      watch_.reset();
      return;
    }
  }
  if (!HasSocket()) return;
  if ((events & EPOLLOUT) != 0 && !FlushSend()) return;
  if (state_ == State::kClosing && sendBuffer_.empty()) {
    FinishClose(0, kStatusOk);
    return;
  }
  if (readyToSendOwed_ && sendBuffer_.empty() && state_ == State::kConnected) {
    readyToSendOwed_ = false;
    FireReadyToSend();
  }
  UpdateWatch();
}

void KelplineControl::OnRetrigger() {
  com::ComPtr<KelplineControl> self(this);
  if (!HasSocket()) return;
  DeliverPending();
  if (!HasSocket()) return;
  if (!watch_ && hangupSeen_ && (acceptData_ || getLineWaiting_)) {
    watch_ = loop_->WatchFd(socket_.get(), EPOLLIN, [this](uint32_t events) { OnSocketEvents(events); });
    hangupSeen_ = false;
  }
  if (!sendBuffer_.empty() && !FlushSend()) return;
  UpdateWatch();
}

void KelplineControl::UpdateWatch() {
  if (!watch_) return;
  uint32_t events = 0;
  if (state_ == State::kConnecting) {
    events = EPOLLOUT;
  } else {
    if ((acceptData_ || getLineWaiting_) && pending_.empty()) events |= EPOLLIN;
    if (!sendBuffer_.empty()) events |= EPOLLOUT;
  }
  watch_->SetEvents(events);
}

LineSplitter& KelplineControl::Splitter() {
  LineSplitter::Mode mode = LineSplitter::Mode::kRaw;
  std::string delimiter = settings_.eol;
  if (settings_.splitCrlf) {
    mode = LineSplitter::Mode::kAnyLineEnd;
  } else if (!delimiter.empty()) {
    mode = LineSplitter::Mode::kDelimiter;
  } else if (getLineWaiting_) {
    mode = LineSplitter::Mode::kAnyLineEnd;  // GetLine needs lines even without a delimiter
  }
  const size_t capacity = static_cast<size_t>(settings_.maxLineLength);
  if (!splitter_ || mode != splitterMode_ || delimiter != splitterDelimiter_ || capacity != splitterCapacity_) {
    // EOL or the mode changed: what the old splitter held is cut again by the new rules.
    std::string rest = splitter_ ? splitter_->TakeRest() : std::string();
    splitter_.emplace(mode, delimiter, capacity);
    splitterMode_ = mode;
    splitterDelimiter_ = std::move(delimiter);
    splitterCapacity_ = capacity;
    for (LinePiece& piece : splitter_->Push(rest)) pending_.push_back(std::move(piece));
  }
  return *splitter_;
}

void KelplineControl::Receive() {
  LineSplitter& splitter = Splitter();
  std::string chunk(std::max<size_t>(splitter.Room(), 1), '\0');
  const ssize_t received = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    ConnectionFailed(SocketCodeFromErrno(errno), /*duringReceive=*/true);
    return;
  }
  if (received == 0) {
    PeerClosed();
    return;
  }
  NoteActivity();
  chunk.resize(static_cast<size_t>(received));
  for (LinePiece& piece : splitter.Push(chunk)) pending_.push_back(std::move(piece));
  DeliverPending();
}

void KelplineControl::DeliverPending() {
  // GetLine takes the pieces itself; a nested delivery leaves them to the outer one.
  if (delivering_ || getLineWaiting_) return;
  delivering_ = true;
  for (size_t round = 0; round < 1'000'000 && !pending_.empty(); ++round) {
    if (!acceptData_ || !HasSocket() || getLineWaiting_) break;
    LinePiece piece = std::move(pending_.front());
    pending_.pop_front();
    FireDataIn(piece);
  }
  delivering_ = false;
  UpdateWatch();
}

void KelplineControl::PeerClosed() {
  // What arrived before the close is delivered, an unfinished line as it is.
  if (splitter_) {
    std::string rest = splitter_->TakeRest();
    if (!rest.empty()) pending_.push_back({std::move(rest), false});
  }
  DeliverPending();
  if (!HasSocket()) return;
  CloseSocket();
  FireConnectionStatus(kStatusRemoteDisconnected, 0, "");
  FireDisconnected(0, kStatusRemoteDisconnected);
}

void KelplineControl::ConnectionFailed(int32_t code, bool duringReceive) {
  lastFailure_ = SocketError(code);
  const std::string text = lastFailure_.text;
  CloseSocket();
  if (duringReceive) {
    FireConnectionStatus(std::string(kStatusRecvError) + std::to_string(code), code, text);
  } else {
    FireError(code, text);
  }
  FireDisconnected(code, text);
}

// ---------------------------------------------------------------- sending

bool KelplineControl::FlushSend() {
  if (state_ != State::kConnected && state_ != State::kClosing) return true;
  for (size_t round = 0; round < 1'000'000 && !sendBuffer_.empty(); ++round) {
    const ssize_t sent = ::send(socket_.get(), sendBuffer_.data(), sendBuffer_.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      ConnectionFailed(SocketCodeFromErrno(errno), /*duringReceive=*/false);
      return false;
    }
    sendBuffer_.erase(0, static_cast<size_t>(sent));
    NoteActivity();
  }
  return true;
}

HRESULT KelplineControl::QueueAndSend(std::string bytes) {
  com::ComPtr<KelplineControl> self(this);
  bytesSent_ = 0;
  if (!HasSocket() || state_ == State::kClosing) return Fail(SocketError(10057));
  const size_t size = bytes.size();
  sendBuffer_ += bytes;
  auto sentOfThis = [&] { return static_cast<int32_t>(size - std::min(size, sendBuffer_.size())); };
  if (!FlushSend()) return Fail(lastFailure_);
  bytesSent_ = sentOfThis();
  if (sendBuffer_.empty()) return S_OK;
  // The rest goes when the socket can take it.
  readyToSendOwed_ = true;
  UpdateWatch();
  if (TimeoutDuration() <= 0ms) return Fail(SocketError(kErrWouldBlock));
  const WaitEnd end = WaitFor([&] { return sendBuffer_.empty() || !HasSocket(); });
  if (HasSocket()) bytesSent_ = sentOfThis();
  if (end != WaitEnd::kDone) return WaitFailure(end);
  if (!HasSocket() && !sendBuffer_.empty()) return Fail(kErrWait, kTextDisconnected);
  if (!HasSocket()) bytesSent_ = static_cast<int32_t>(size);
  return S_OK;
}

HRESULT KelplineControl::Send(BSTR text) { return put_DataToSend(text); }

HRESULT KelplineControl::SendLine(BSTR text) {
  return com::CatchReturn([&] { return QueueAndSend(TextToBytes(View(text)) + "\r\n"); });
}

// ---------------------------------------------------------------- waiting

std::chrono::milliseconds KelplineControl::TimeoutDuration() const {
  const std::chrono::milliseconds amount(timeout_);
  return settings_.timeoutInMilliseconds ? amount : amount * 1000;
}

template <class Done>
KelplineControl::WaitEnd KelplineControl::WaitFor(Done done) {
  const auto start = std::chrono::steady_clock::now();
  lastActivity_ = start;
  const std::chrono::milliseconds limit = TimeoutDuration();
  // Bounded by the deadline; the count is a second bound for a clock that stands still.
  const long long maxSteps = limit / 1ms + 2;
  for (long long step = 0; step < maxSteps; ++step) {
    if (done()) return WaitEnd::kDone;
    const auto from = settings_.absoluteTimeout ? start : std::max(start, lastActivity_);
    const auto now = std::chrono::steady_clock::now();
    if (now >= from + limit) return WaitEnd::kTimeout;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(from + limit - now);
    if (loop_->PumpStep(std::clamp(left, 1ms, std::chrono::milliseconds(kWaitStep))) ==
        loop::MessageLoop::StepResult::kQuit) {
      return done() ? WaitEnd::kDone : WaitEnd::kInterrupted;
    }
  }
  return done() ? WaitEnd::kDone : WaitEnd::kTimeout;
}

HRESULT KelplineControl::WaitFailure(WaitEnd end) {
  return Fail(kErrWait, end == WaitEnd::kTimeout ? kTextTimeout : kTextInterrupted);
}

HRESULT KelplineControl::DoEvents() {
  com::ComPtr<KelplineControl> self(this);
  (void)loop_->PumpStep(kWaitStep);
  return S_OK;
}

HRESULT KelplineControl::GetLine(BSTR* line) {
  if (line == nullptr) return com::E_POINTER;
  *line = nullptr;
  return com::CatchReturn([&]() -> HRESULT {
    com::ComPtr<KelplineControl> self(this);
    if (!HasSocket()) return Fail(kErrWait, kTextDisconnected);
    if (TimeoutDuration() <= 0ms) return Fail(kErrWait, kTextGetLineNeedsTimeout);
    getLineWaiting_ = true;
    std::string gathered;
    std::optional<std::string> found;
    const size_t bound = static_cast<size_t>(settings_.maxLineLength * kGetLineBufferFactor);
    auto take = [&] {
      while (!found && !pending_.empty()) {
        LinePiece piece = std::move(pending_.front());
        pending_.pop_front();
        gathered += piece.text;
        if (piece.eol) found = std::exchange(gathered, {});
        if (gathered.size() > bound) gathered.clear();
      }
      return found.has_value() || !HasSocket();
    };
    if (HasSocket() && splitter_) (void)Splitter();  // a splitter without lines is re-made for GetLine
    UpdateWatch();
    const WaitEnd end = WaitFor(take);
    getLineWaiting_ = false;
    if (HasSocket() && splitter_) (void)Splitter();
    UpdateWatch();
    if (HasSocket() && !pending_.empty()) (void)loop_->PostMessage(*target_, kRetriggerMessage);
    if (found) return CopyOut(BytesToText(*found), line);
    if (end != WaitEnd::kDone) return WaitFailure(end);
    return Fail(kErrWait, kTextDisconnected);
  });
}

// ---------------------------------------------------------------- events

void KelplineControl::Fire(com::DISPID id, std::initializer_list<Variant> args) {
  com::ComPtr<KelplineControl> self(this);
  com::ConnectionPoint* point = ConnectionPoints().Find(IKelplineEvents::kIid);
  if (point == nullptr) return;
  for (const com::ComPtr<com::IUnknown>& sink : point->Snapshot()) {
    (void)com::InvokeEvent(sink.get(), IKelplineEvents::kIid, id, args);
  }
}

void KelplineControl::FireConnected(int32_t code, std::string_view text) {
  try {
    int16_t status = StatusCode(code);
    Bstr description;
    Fire(kEventConnected, {Variant::ByRef(&status), Variant::ByRef(HoldText(description, text))});
  } catch (const std::bad_alloc&) {
  }
}

void KelplineControl::FireConnectionStatus(std::string_view event, int32_t code, std::string_view text) {
  try {
    int16_t status = StatusCode(code);
    Bstr eventText, description;
    Fire(kEventConnectionStatus, {Variant::ByRef(HoldText(eventText, event)), Variant::ByRef(&status),
                                  Variant::ByRef(HoldText(description, text))});
  } catch (const std::bad_alloc&) {
  }
}

void KelplineControl::FireDataIn(const LinePiece& piece) {
  try {
    lastDataIn_ = piece.text;
    Bstr text;
    BSTR* slot = text.put();
    *slot = Bstr(BytesToText(piece.text)).detach();
    VARIANT_BOOL eol = ToVariantBool(piece.eol);
    Fire(kEventDataIn, {Variant::ByRef(slot), Variant::ByRefBool(&eol)});
  } catch (const std::bad_alloc&) {
  }
}

void KelplineControl::FireDisconnected(int32_t code, std::string_view text) {
  try {
    int16_t status = StatusCode(code);
    Bstr description;
    Fire(kEventDisconnected, {Variant::ByRef(&status), Variant::ByRef(HoldText(description, text))});
  } catch (const std::bad_alloc&) {
  }
}

void KelplineControl::FireError(int32_t code, std::string_view text) {
  try {
    int16_t status = StatusCode(code);
    Bstr description;
    Fire(kEventError, {Variant::ByRef(&status), Variant::ByRef(HoldText(description, text))});
  } catch (const std::bad_alloc&) {
  }
}

void KelplineControl::FireReadyToSend() {
  readyToSendOwed_ = false;
  Fire(kEventReadyToSend, {});
}

}  // namespace vorlane::tcpclient
