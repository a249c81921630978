// The control's properties and Config.
#include <sys/socket.h>

#include <utility>

#include "platform/com/text.h"
#include "platform/net/resolve.h"
#include "tcpclient/interface_values.h"
#include "tcpclient/kelpline_control.h"
#include "tcpclient/socket_options.h"

namespace vorlane::tcpclient {

using com::Bstr;
using com::BSTR;
using com::HRESULT;
using com::S_OK;
using com::Variant;
using com::VARIANT_BOOL;

namespace {

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

// A plain value handed out through an out-parameter.
template <class T, class V>
HRESULT GetValue(V member, T* value) {
  if (value == nullptr) return com::E_POINTER;
  *value = static_cast<T>(member);
  return S_OK;
}

}  // namespace

// ---------------------------------------------------------------- simple properties

HRESULT KelplineControl::get_AcceptData(VARIANT_BOOL* value) {
  AssertOwnThread();
  return GetValue(ToVariantBool(acceptData_), value);
}

HRESULT KelplineControl::put_AcceptData(VARIANT_BOOL value) {
  AssertOwnThread();
  const bool accept = value != com::VARIANT_FALSE;
  const bool resume = accept && !acceptData_;
  acceptData_ = accept;
  if (resume && HasSocket()) (void)loop_->PostMessage(*target_, kRetriggerMessage);
  if (!accept) UpdateWatch();
  return S_OK;
}

HRESULT KelplineControl::get_BytesSent(int32_t* value) {
  AssertOwnThread();
  return GetValue(bytesSent_, value);
}

HRESULT KelplineControl::get_Connected(VARIANT_BOOL* value) {
  AssertOwnThread();
  return GetValue(ToVariantBool(state_ == State::kConnected), value);
}

HRESULT KelplineControl::put_Connected(VARIANT_BOOL value) {
  AssertOwnThread();
  return com::CatchReturn([&] {
    if (value != com::VARIANT_FALSE) return OpenConnection();
    return CloseConnection(/*waitForQueued=*/false, /*reportWouldBlock=*/false);
  });
}

HRESULT KelplineControl::put_DataToSend(BSTR value) {
  AssertOwnThread();
  return com::CatchReturn([&] { return QueueAndSend(TextToBytes(View(value))); });
}

HRESULT KelplineControl::get_EOL(BSTR* value) {
  AssertOwnThread();
  return com::CatchReturn([&] { return CopyOut(BytesToText(settings_.eol), value); });
}

HRESULT KelplineControl::put_EOL(BSTR value) {
  AssertOwnThread();
  return com::CatchReturn([&] {
    eolText_ = std::u16string(View(value));
    settings_.eol = TextToBytes(*eolText_);
    return S_OK;
  });
}

HRESULT KelplineControl::get_FirewallHost(BSTR* value) {
  AssertOwnThread();
  return com::CatchReturn([&] { return CopyOut(com::Utf8ToUtf16(settings_.firewallHost), value); });
}
HRESULT KelplineControl::put_FirewallHost(BSTR value) {
  AssertOwnThread();
  return com::CatchReturn([&] {
    settings_.firewallHost = com::Utf16ToUtf8(View(value));
    return S_OK;
  });
}
HRESULT KelplineControl::get_FirewallPassword(BSTR* value) {
  AssertOwnThread();
  return com::CatchReturn([&] { return CopyOut(com::Utf8ToUtf16(settings_.firewallPassword), value); });
}
HRESULT KelplineControl::put_FirewallPassword(BSTR value) {
  AssertOwnThread();
  return com::CatchReturn([&] {
    settings_.firewallPassword = com::Utf16ToUtf8(View(value));
    return S_OK;
  });
}
HRESULT KelplineControl::get_FirewallUser(BSTR* value) {
  AssertOwnThread();
  return com::CatchReturn([&] { return CopyOut(com::Utf8ToUtf16(settings_.firewallUser), value); });
}
HRESULT KelplineControl::put_FirewallUser(BSTR value) {
  AssertOwnThread();
  return com::CatchReturn([&] {
    settings_.firewallUser = com::Utf16ToUtf8(View(value));
    return S_OK;
  });
}
HRESULT KelplineControl::get_FirewallPort(int32_t* value) {
  AssertOwnThread();
  return GetValue(static_cast<int32_t>(settings_.firewallPort), value);
}
HRESULT KelplineControl::put_FirewallPort(int32_t value) {
  AssertOwnThread();
  if (value < 0 || value > 65535) return Fail(0, kTextValueOutOfRange);
  settings_.firewallPort = value;
  return S_OK;
}
HRESULT KelplineControl::get_FirewallType(TFirewallType* value) {
  AssertOwnThread();
  return GetValue(static_cast<TFirewallType>(settings_.firewallType), value);
}
HRESULT KelplineControl::put_FirewallType(TFirewallType value) {
  AssertOwnThread();
  if (value < fwNone || value > fwSOCKS5) return Fail(0, kTextValueOutOfRange);
  settings_.firewallType = value;
  return S_OK;
}

HRESULT KelplineControl::get_KeepAlive(VARIANT_BOOL* value) {
  AssertOwnThread();
  return GetValue(ToVariantBool(keepAlive_), value);
}
HRESULT KelplineControl::put_KeepAlive(VARIANT_BOOL value) {
  AssertOwnThread();
  keepAlive_ = value != com::VARIANT_FALSE;
  if (HasSocket()) SetIntOption(socket_.get(), SOL_SOCKET, SO_KEEPALIVE, keepAlive_ ? 1 : 0);
  return S_OK;
}
HRESULT KelplineControl::get_Linger(VARIANT_BOOL* value) {
  AssertOwnThread();
  return GetValue(ToVariantBool(linger_), value);
}
HRESULT KelplineControl::put_Linger(VARIANT_BOOL value) {
  AssertOwnThread();
  linger_ = value != com::VARIANT_FALSE;
  if (HasSocket()) SetLinger(socket_.get(), linger_);
  return S_OK;
}

HRESULT KelplineControl::get_LocalHost(BSTR* value) {
  AssertOwnThread();
  return GetText(localHost_, value);
}
HRESULT KelplineControl::put_LocalHost(BSTR value) {
  AssertOwnThread();
  return PutText(localHost_, value);
}
HRESULT KelplineControl::get_LocalPort(int32_t* value) {
  AssertOwnThread();
  return GetValue(localPort_, value);
}
HRESULT KelplineControl::put_LocalPort(int32_t value) {
  AssertOwnThread();
  if (HasSocket()) return Fail(kErrLocalPortBusy, kTextLocalPortBusy);
  if (value < 0 || value > 65535) return Fail(0, kTextValueOutOfRange);
  localPort_ = value;
  return S_OK;
}

HRESULT KelplineControl::get_RemoteHost(BSTR* value) {
  AssertOwnThread();
  return com::CatchReturn([&] { return CopyOut(remoteHost_, value); });
}

HRESULT KelplineControl::put_RemoteHost(BSTR value) {
  AssertOwnThread();
  return com::CatchReturn([&] {
    if (HasSocket()) return Fail(kErrRemoteHostBusy, kTextRemoteHostBusy);
    remoteHost_ = View(value);
    remoteAddress_.reset();
    // Through a firewall the firewall receives the name; an empty text clears the address.
    if (settings_.firewallType != fwNone || remoteHost_.empty()) return S_OK;
    auto found = net::Resolve(com::Utf16ToUtf8(remoteHost_), {.family = settings_.useIpv6 ? AF_INET6 : AF_INET});
    if (!found) return Fail(SocketError(found.error().code));
    remoteAddress_ = found.value().front();
    return S_OK;
  });
}

HRESULT KelplineControl::get_RemotePort(int32_t* value) {
  AssertOwnThread();
  return GetValue(remotePort_, value);
}
HRESULT KelplineControl::put_RemotePort(int32_t value) {
  AssertOwnThread();
  if (HasSocket()) return Fail(kErrRemotePortBusy, kTextRemotePortBusy);
  if (value < 0 || value > 65535) return Fail(0, kTextValueOutOfRange);
  remotePort_ = value;
  return S_OK;
}

HRESULT KelplineControl::get_SingleLineMode(VARIANT_BOOL* value) {
  AssertOwnThread();
  return GetValue(ToVariantBool(singleLineMode_), value);
}
// Stored only: the control's line handling is chosen by EOL and "SplitCRLF".
HRESULT KelplineControl::put_SingleLineMode(VARIANT_BOOL value) {
  AssertOwnThread();
  singleLineMode_ = value != com::VARIANT_FALSE;
  return S_OK;
}

HRESULT KelplineControl::get_Timeout(int16_t* value) {
  AssertOwnThread();
  return GetValue(timeout_, value);
}
HRESULT KelplineControl::put_Timeout(int16_t value) {
  AssertOwnThread();
  if (value < 0) return Fail(0, kTextValueOutOfRange);
  timeout_ = value;
  return S_OK;
}

// ---------------------------------------------------------------- TLS settings (stored)

HRESULT KelplineControl::get_SSLAcceptServerCert(BSTR* value) {
  AssertOwnThread();
  return GetText(sslAcceptServerCert_, value);
}
HRESULT KelplineControl::put_SSLAcceptServerCert(BSTR value) {
  AssertOwnThread();
  return PutText(sslAcceptServerCert_, value);
}
HRESULT KelplineControl::get_SSLCertEncoded(BSTR* value) {
  AssertOwnThread();
  return GetText(sslCertEncoded_, value);
}
HRESULT KelplineControl::put_SSLCertEncoded(BSTR value) {
  AssertOwnThread();
  return PutText(sslCertEncoded_, value);
}
HRESULT KelplineControl::get_SSLCertStore(BSTR* value) {
  AssertOwnThread();
  return GetText(sslCertStore_, value);
}
HRESULT KelplineControl::put_SSLCertStore(BSTR value) {
  AssertOwnThread();
  return PutText(sslCertStore_, value);
}
HRESULT KelplineControl::get_SSLCertStorePassword(BSTR* value) {
  AssertOwnThread();
  return GetText(sslCertStorePassword_, value);
}
HRESULT KelplineControl::put_SSLCertStorePassword(BSTR value) {
  AssertOwnThread();
  return PutText(sslCertStorePassword_, value);
}
HRESULT KelplineControl::get_SSLCertSubject(BSTR* value) {
  AssertOwnThread();
  return GetText(sslCertSubject_, value);
}
HRESULT KelplineControl::put_SSLCertSubject(BSTR value) {
  AssertOwnThread();
  return PutText(sslCertSubject_, value);
}

HRESULT KelplineControl::get_SSLServerCert(BSTR* value) {
  AssertOwnThread();
  return com::CatchReturn([&] { return CopyOut(sslServerCert_, value); });
}
HRESULT KelplineControl::get_SSLServerCertStatus(BSTR* value) {
  AssertOwnThread();
  return com::CatchReturn([&] { return CopyOut(sslServerCertStatus_, value); });
}
HRESULT KelplineControl::get_SSLCertStoreType(TSSLCertStoreType* value) {
  AssertOwnThread();
  return GetValue(sslCertStoreType_, value);
}
HRESULT KelplineControl::put_SSLCertStoreType(TSSLCertStoreType value) {
  AssertOwnThread();
  if (value < sstUser || value > sstPEMKey) return Fail(0, kTextValueOutOfRange);
  sslCertStoreType_ = value;
  return S_OK;
}
HRESULT KelplineControl::get_SSLStartMode(TSSLStartMode* value) {
  AssertOwnThread();
  return GetValue(sslStartMode_, value);
}
HRESULT KelplineControl::put_SSLStartMode(TSSLStartMode value) {
  AssertOwnThread();
  if (value < sslAutomatic || value > sslNone) return Fail(0, kTextValueOutOfRange);
  sslStartMode_ = value;
  return S_OK;
}

HRESULT KelplineControl::StartSSL() {
  return com::CatchReturn([&]() -> HRESULT {
    AssertOwnThread();
    com::ComPtr<KelplineControl> self(this);
    // Without a connection: connect with TLS from the first byte.
    if (!HasSocket()) return OpenConnection(/*startSsl=*/true);
    tlsOn_ = true;
    // A connection under way takes TLS once its path is open; a secured one has it already.
    if (state_ != State::kConnected || TlsActive()) return S_OK;
    return BeginTlsOnOpenConnection();
  });
}

// ---------------------------------------------------------------- byte-array forms

HRESULT KelplineControl::put_DataToSendB(com::VARIANT value) {
  AssertOwnThread();
  std::vector<uint8_t> bytes;
  VORLANE_RETURN_IF_FAILED(ReadBytes(value, &bytes));
  return com::CatchReturn([&] { return QueueAndSend(std::string(bytes.begin(), bytes.end())); });
}

HRESULT KelplineControl::get_EOLB(com::VARIANT* value) {
  AssertOwnThread();
  return CopyOut(AsBytes(settings_.eol), value);
}

HRESULT KelplineControl::put_EOLB(com::VARIANT value) {
  AssertOwnThread();
  std::vector<uint8_t> bytes;
  VORLANE_RETURN_IF_FAILED(ReadBytes(value, &bytes));
  return com::CatchReturn([&] {
    settings_.eol.assign(bytes.begin(), bytes.end());
    eolText_.reset();
    return S_OK;
  });
}

HRESULT KelplineControl::get_SSLAcceptServerCertB(com::VARIANT* value) {
  AssertOwnThread();
  return CopyOut(sslAcceptServerCertBytes_, value);
}
HRESULT KelplineControl::put_SSLAcceptServerCertB(com::VARIANT value) {
  AssertOwnThread();
  return ReadBytes(value, &sslAcceptServerCertBytes_);
}
HRESULT KelplineControl::get_SSLCertEncodedB(com::VARIANT* value) {
  AssertOwnThread();
  return CopyOut(sslCertEncodedBytes_, value);
}
HRESULT KelplineControl::put_SSLCertEncodedB(com::VARIANT value) {
  AssertOwnThread();
  return ReadBytes(value, &sslCertEncodedBytes_);
}
HRESULT KelplineControl::get_SSLCertStoreB(com::VARIANT* value) {
  AssertOwnThread();
  return CopyOut(sslCertStoreBytes_, value);
}
HRESULT KelplineControl::put_SSLCertStoreB(com::VARIANT value) {
  AssertOwnThread();
  return ReadBytes(value, &sslCertStoreBytes_);
}

HRESULT KelplineControl::get_SSLServerCertB(com::VARIANT* value) {
  AssertOwnThread();
  return CopyOut(AsBytes(sslServerCertDer_), value);
}
HRESULT KelplineControl::get_DataInTextB(com::VARIANT* value) {
  AssertOwnThread();
  return CopyOut(AsBytes(lastDataIn_), value);
}
HRESULT KelplineControl::get_SSLServerAuthenticationCertEncodedB(com::VARIANT* value) {
  AssertOwnThread();
  return CopyOut(AsBytes(sslServerCertDer_), value);
}

// ---------------------------------------------------------------- Config

HRESULT KelplineControl::Config(BSTR configurationString, BSTR* result) {
  AssertOwnThread();
  if (result == nullptr) return com::E_POINTER;
  *result = nullptr;
  return com::CatchReturn([&] {
    // Applied to a copy first: a code page the converter does not know leaves every setting,
    // and the page in use, as they were.
    ControlSettings changed = settings_;
    const ConfigOutcome outcome = ApplyConfig(changed, com::Utf16ToUtf8(View(configurationString)),
                                              ConfigContext{.connected = HasSocket(), .socketHandle = socket_.get()});
    if (!outcome.ok) return Fail(outcome.code, outcome.text);
    if (changed.eol != settings_.eol) eolText_.reset();  // "SplitCRLF" set the delimiter's bytes
    if (changed.codePage != settings_.codePage) {
      const ControlSettings previous = settings_;
      settings_ = changed;
      if (auto switched = SwitchCodePage(changed.codePage); !switched) {
        settings_ = previous;
        return Fail(0, switched.error());
      }
    } else {
      settings_ = std::move(changed);
    }
    return CopyOut(com::Utf8ToUtf16(outcome.text), result);
  });
}

}  // namespace vorlane::tcpclient
