// The control's properties and Config.
#include <sys/socket.h>

#include <limits>
#include <utility>

#include "platform/com/text.h"
#include "platform/com/text_out.h"
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

HRESULT PutUtf8(std::string& member, BSTR value) {
  return com::CatchReturn([&] {
    member = com::Utf16ToUtf8(View(value));
    return S_OK;
  });
}

// Stores `value` when it lies in [low, high].
template <class M, class V>
bool StoreInRange(M& member, V value, V low, V high) {
  if (value < low || value > high) return false;
  member = value;
  return true;
}

}  // namespace

// Accessors of one shape, a line each below. Every one runs on the control's thread.
#define KELPLINE_GET(Name, Abi, expression)          \
  HRESULT KelplineControl::get_##Name(Abi* value) {  \
    AssertOwnThread();                               \
    return expression;                               \
  }
#define KELPLINE_PUT(Name, Abi, expression)          \
  HRESULT KelplineControl::put_##Name(Abi value) {   \
    AssertOwnThread();                               \
    return expression;                               \
  }
// Text kept as it was set.
#define KELPLINE_TEXT(Name, member) \
  KELPLINE_GET(Name, BSTR, GetText(member, value)) KELPLINE_PUT(Name, BSTR, PutText(member, value))
// Text kept as UTF-8 in the settings.
#define KELPLINE_UTF8(Name, member) \
  KELPLINE_GET(Name, BSTR, com::CopyOutUtf8(member, value)) KELPLINE_PUT(Name, BSTR, PutUtf8(member, value))
// A byte array kept as it was set.
#define KELPLINE_BYTES(Name, member)                                 \
  KELPLINE_GET(Name, com::VARIANT, CopyOut(member, value))           \
  KELPLINE_PUT(Name, com::VARIANT, ReadBytes(value, &member))
// A number or enumeration that takes the values from `low` to `high`; others are refused.
#define KELPLINE_RANGED(Name, Abi, member, low, high)                                        \
  KELPLINE_GET(Name, Abi, GetValue(member, value))                                           \
  KELPLINE_PUT(Name, Abi,                                                                    \
               StoreInRange(member, value, static_cast<Abi>(low), static_cast<Abi>(high))    \
                   ? S_OK                                                                    \
                   : Fail(0, kTextValueOutOfRange))

// ---------------------------------------------------------------- simple properties

KELPLINE_GET(AcceptData, VARIANT_BOOL, GetValue(ToVariantBool(acceptData_), value))
HRESULT KelplineControl::put_AcceptData(VARIANT_BOOL value) {
  AssertOwnThread();
  const bool accept = value != com::VARIANT_FALSE;
  const bool resume = accept && !acceptData_;
  acceptData_ = accept;
  if (resume && HasSocket()) (void)loop_->PostMessage(*target_, kRetriggerMessage);
  if (!accept) UpdateWatch();
  return S_OK;
}

KELPLINE_GET(BytesSent, int32_t, GetValue(bytesSent_, value))

KELPLINE_GET(Connected, VARIANT_BOOL, GetValue(ToVariantBool(state_ == State::kConnected), value))
HRESULT KelplineControl::put_Connected(VARIANT_BOOL value) {
  AssertOwnThread();
  return com::CatchReturn([&] {
    if (value != com::VARIANT_FALSE) return OpenConnection();
    return CloseConnection(/*waitForQueued=*/false, /*reportWouldBlock=*/false);
  });
}

KELPLINE_PUT(DataToSend, BSTR, com::CatchReturn([&] { return QueueAndSend(TextToBytes(View(value))); }))

KELPLINE_GET(EOL, BSTR, com::CatchReturn([&] { return CopyOut(BytesToText(settings_.eol), value); }))
HRESULT KelplineControl::put_EOL(BSTR value) {
  AssertOwnThread();
  return com::CatchReturn([&] {
    eolText_ = std::u16string(View(value));
    settings_.eol = TextToBytes(*eolText_);
    return S_OK;
  });
}

KELPLINE_UTF8(FirewallHost, settings_.firewallHost)
KELPLINE_UTF8(FirewallPassword, settings_.firewallPassword)
KELPLINE_UTF8(FirewallUser, settings_.firewallUser)
KELPLINE_RANGED(FirewallPort, int32_t, settings_.firewallPort, 0, 65535)
KELPLINE_RANGED(FirewallType, TFirewallType, settings_.firewallType, fwNone, fwSOCKS5)

KELPLINE_GET(KeepAlive, VARIANT_BOOL, GetValue(ToVariantBool(keepAlive_), value))
HRESULT KelplineControl::put_KeepAlive(VARIANT_BOOL value) {
  AssertOwnThread();
  keepAlive_ = value != com::VARIANT_FALSE;
  if (HasSocket()) SetIntOption(socket_.get(), SOL_SOCKET, SO_KEEPALIVE, keepAlive_ ? 1 : 0);
  return S_OK;
}
KELPLINE_GET(Linger, VARIANT_BOOL, GetValue(ToVariantBool(linger_), value))
HRESULT KelplineControl::put_Linger(VARIANT_BOOL value) {
  AssertOwnThread();
  linger_ = value != com::VARIANT_FALSE;
  if (HasSocket()) SetLinger(socket_.get(), linger_);
  return S_OK;
}

KELPLINE_TEXT(LocalHost, localHost_)
KELPLINE_GET(LocalPort, int32_t, GetValue(localPort_, value))
HRESULT KelplineControl::put_LocalPort(int32_t value) {
  AssertOwnThread();
  if (HasSocket()) return Fail(kErrLocalPortBusy, kTextLocalPortBusy);
  if (value < 0 || value > 65535) return Fail(0, kTextValueOutOfRange);
  localPort_ = value;
  return S_OK;
}

KELPLINE_GET(RemoteHost, BSTR, GetText(remoteHost_, value))
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

KELPLINE_GET(RemotePort, int32_t, GetValue(remotePort_, value))
HRESULT KelplineControl::put_RemotePort(int32_t value) {
  AssertOwnThread();
  if (HasSocket()) return Fail(kErrRemotePortBusy, kTextRemotePortBusy);
  if (value < 0 || value > 65535) return Fail(0, kTextValueOutOfRange);
  remotePort_ = value;
  return S_OK;
}

// Stored only: the control's line handling is chosen by EOL and "SplitCRLF".
KELPLINE_GET(SingleLineMode, VARIANT_BOOL, GetValue(ToVariantBool(singleLineMode_), value))
KELPLINE_PUT(SingleLineMode, VARIANT_BOOL, (singleLineMode_ = value != com::VARIANT_FALSE, S_OK))

KELPLINE_RANGED(Timeout, int16_t, timeout_, 0, std::numeric_limits<int16_t>::max())

// ---------------------------------------------------------------- TLS settings (stored)

KELPLINE_TEXT(SSLAcceptServerCert, sslAcceptServerCert_)
KELPLINE_TEXT(SSLCertEncoded, sslCertEncoded_)
KELPLINE_TEXT(SSLCertStore, sslCertStore_)
KELPLINE_TEXT(SSLCertStorePassword, sslCertStorePassword_)
KELPLINE_TEXT(SSLCertSubject, sslCertSubject_)
KELPLINE_GET(SSLServerCert, BSTR, GetText(sslServerCert_, value))
KELPLINE_GET(SSLServerCertStatus, BSTR, GetText(sslServerCertStatus_, value))
KELPLINE_RANGED(SSLCertStoreType, TSSLCertStoreType, sslCertStoreType_, sstUser, sstPEMKey)
KELPLINE_RANGED(SSLStartMode, TSSLStartMode, sslStartMode_, sslAutomatic, sslNone)

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

KELPLINE_GET(EOLB, com::VARIANT, CopyOut(AsBytes(settings_.eol), value))
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

KELPLINE_BYTES(SSLAcceptServerCertB, sslAcceptServerCertBytes_)
KELPLINE_BYTES(SSLCertEncodedB, sslCertEncodedBytes_)
KELPLINE_BYTES(SSLCertStoreB, sslCertStoreBytes_)
KELPLINE_GET(SSLServerCertB, com::VARIANT, CopyOut(AsBytes(sslServerCertDer_), value))
KELPLINE_GET(DataInTextB, com::VARIANT, CopyOut(AsBytes(lastDataIn_), value))
KELPLINE_GET(SSLServerAuthenticationCertEncodedB, com::VARIANT, CopyOut(AsBytes(sslServerCertDer_), value))

#undef KELPLINE_RANGED
#undef KELPLINE_BYTES
#undef KELPLINE_UTF8
#undef KELPLINE_TEXT
#undef KELPLINE_PUT
#undef KELPLINE_GET

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
    if (!outcome) return Fail(outcome.error());
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
    return CopyOut(com::Utf8ToUtf16(outcome.value()), result);
  });
}

}  // namespace vorlane::tcpclient
