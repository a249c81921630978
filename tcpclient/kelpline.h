// The TCP client control's contract for its clients: class and type library identifiers, the
// dual interface IKelpline with its members in vtable order, the member ids for late binding,
// the event interface, the enumerations and the error codes. Clients include this header and
// create the control by class id; they link against nothing of the component.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/com/contract.h"
#include "platform/com/hresult.h"
#include "platform/com/interfaces.h"
#include "platform/com/types.h"

namespace vorlane::tcpclient {

inline constexpr com::Guid kKelplineTypeLibId = com::GuidLiteral("63338113-F789-11CE-86F8-0020AFD8C6DB");
inline constexpr const char* kKelplineTypeLibVersion = "1.0";
inline constexpr const char* kKelplineTypeLibHelp = "KelplineLib";

inline constexpr com::CLSID kKelplineClsid = com::GuidLiteral("63338110-F789-11CE-86F8-0020AFD8C6DB");
inline constexpr const char* kKelplineDescription = "Kelpline Control";
inline constexpr const char* kKelplineProgId = "KelpworksSSL.Kelpline.1";
inline constexpr const char* kKelplineIndependentProgId = "KelpworksSSL.Kelpline";
inline constexpr const char* kKelplineLegacyProgId = "KelpworksSSL6.Kelpline";

enum TFirewallType : int32_t { fwNone = 0, fwTunnel = 1, fwSOCKS4 = 2, fwSOCKS5 = 3 };
enum TSSLCertStoreType : int32_t { sstUser = 0, sstMachine = 1, sstPFXFile = 2, sstPFXBlob = 3, sstPEMKey = 4 };
enum TSSLStartMode : int32_t { sslAutomatic = 0, sslImplicit = 1, sslExplicit = 2, sslNone = 3 };

// Where the client certificate stores of sstUser and sstMachine lie: a folder per store name
// ("SSLCertStore", "MY" by default) holding PEM files, taken in the order of their names. Each file
// holds one certificate first, then optionally the certificates above it, and its private key (an
// encrypted key is opened with "SSLCertStorePassword").
//   sstUser:    $XDG_CONFIG_HOME/<kKelplineUserStoreFolder>/<store>, $XDG_CONFIG_HOME being
//               $HOME/.config when unset
//   sstMachine: <configuration folder>/<kKelplineMachineStoreFolder>/<store>, the configuration
//               folder being $VORLANE_CONFIG_DIR when set, else the folder of the running program
inline constexpr const char* kKelplineUserStoreFolder = "vorlane/certificates";
inline constexpr const char* kKelplineMachineStoreFolder = "certificates";

// Error codes of the control. Socket failures carry their socket error code (10004 ... 11004),
// TLS failures the codes 270 ... 285.
enum KelplineError : int32_t {
  kErrRemotePortBusy = 100,
  kErrRemoteHostBusy = 101,
  kErrAddressInvalid = 102,
  kErrAlreadyConnected = 104,
  kErrLocalPortBusy = 106,
  kErrMaxLineLengthBusy = 112,
  kErrRemotePortZero = 116,
  kErrOutOfMemory = 200,
  kErrWait = 301,  // "Timeout.", "Interrupted.", "Disconnected.", or GetLine without a Timeout
  kErrTlsUnavailable = 270,
  kErrWouldBlock = 10035,
};

// How a failure with control error `code` reaches a caller: a failing HRESULT of the interface
// facility whose low 16 bits are the code; the error information holds the text.
constexpr com::HRESULT KelplineHresult(int32_t code) {
  return com::MakeHresult(0x80040000u | (static_cast<uint32_t>(code) & 0xFFFFu));
}
// The control error code of such an HRESULT, or 0 when it is none.
constexpr int32_t KelplineErrorCode(com::HRESULT hr) {
  return (static_cast<uint32_t>(hr) & 0xFFFF0000u) == 0x80040000u ? static_cast<int32_t>(hr & 0xFFFF) : 0;
}

// The control: one outgoing TCP connection. Properties first (get before put), in the order of
// their member ids, then the methods. One row per member (platform/com/contract.h): the vtable,
// the member ids and the control's dispatch table all come from this list.
#define VORLANE_KELPLINE_MEMBERS(X)                                                                           \
  X(GETPUT, AcceptData, kKelplineAcceptData, 1, bool)                                                         \
  X(GET, BytesSent, kKelplineBytesSent, 2, int32_t)                                                           \
  X(GETPUT, Connected, kKelplineConnected, 3, bool)                                                           \
  X(PUT, DataToSend, kKelplineDataToSend, 4, com::BSTR)                                                       \
  X(GETPUT, EOL, kKelplineEol, 5, com::BSTR)                                                                  \
  X(GETPUT, FirewallHost, kKelplineFirewallHost, 6, com::BSTR)                                                \
  X(GETPUT, FirewallPassword, kKelplineFirewallPassword, 7, com::BSTR)                                        \
  X(GETPUT, FirewallPort, kKelplineFirewallPort, 8, int32_t)                                                  \
  X(GETPUT, FirewallType, kKelplineFirewallType, 9, TFirewallType)                                            \
  X(GETPUT, FirewallUser, kKelplineFirewallUser, 10, com::BSTR)                                               \
  X(GETPUT, KeepAlive, kKelplineKeepAlive, 11, bool)                                                          \
  X(GETPUT, Linger, kKelplineLinger, 12, bool)                                                                \
  X(GETPUT, LocalHost, kKelplineLocalHost, 13, com::BSTR)                                                     \
  X(GETPUT, LocalPort, kKelplineLocalPort, 14, int32_t)                                                       \
  X(GETPUT, RemoteHost, kKelplineRemoteHost, 15, com::BSTR)                                                   \
  X(GETPUT, RemotePort, kKelplineRemotePort, 16, int32_t)                                                     \
  X(GETPUT, SingleLineMode, kKelplineSingleLineMode, 17, bool)                                                \
  X(GETPUT, SSLAcceptServerCert, kKelplineSslAcceptServerCert, 18, com::BSTR)                                 \
  X(GETPUT, SSLCertEncoded, kKelplineSslCertEncoded, 19, com::BSTR)                                           \
  X(GETPUT, SSLCertStore, kKelplineSslCertStore, 20, com::BSTR)                                               \
  X(GETPUT, SSLCertStorePassword, kKelplineSslCertStorePassword, 21, com::BSTR)                               \
  X(GETPUT, SSLCertStoreType, kKelplineSslCertStoreType, 22, TSSLCertStoreType)                               \
  X(GETPUT, SSLCertSubject, kKelplineSslCertSubject, 23, com::BSTR)                                           \
  X(GET, SSLServerCert, kKelplineSslServerCert, 24, com::BSTR)                                                \
  X(GET, SSLServerCertStatus, kKelplineSslServerCertStatus, 25, com::BSTR)                                    \
  X(GETPUT, SSLStartMode, kKelplineSslStartMode, 26, TSSLStartMode)                                           \
  X(GETPUT, Timeout, kKelplineTimeout, 27, int16_t)                                                           \
  X(PUT, DataToSendB, kKelplineDataToSendB, 28, com::VARIANT)                                                 \
  X(GETPUT, EOLB, kKelplineEolB, 29, com::VARIANT)                                                            \
  X(GETPUT, SSLAcceptServerCertB, kKelplineSslAcceptServerCertB, 30, com::VARIANT)                            \
  X(GETPUT, SSLCertEncodedB, kKelplineSslCertEncodedB, 31, com::VARIANT)                                      \
  X(GETPUT, SSLCertStoreB, kKelplineSslCertStoreB, 32, com::VARIANT)                                          \
  X(GET, SSLServerCertB, kKelplineSslServerCertB, 33, com::VARIANT)                                           \
  X(GET, DataInTextB, kKelplineDataInTextB, 34, com::VARIANT)                                                 \
  X(GET, SSLServerAuthenticationCertEncodedB, kKelplineSslServerAuthenticationCertEncodedB, 35, com::VARIANT) \
  X(METHOD, Config, kKelplineConfig, 0x1F5, com::BSTR(com::BSTR configurationString))                         \
  X(METHOD, Connect, kKelplineConnect, 0x1F6, void(com::BSTR host, int32_t port))                             \
  X(METHOD, Disconnect, kKelplineDisconnect, 0x1F7, void())                                                   \
  X(METHOD, DoEvents, kKelplineDoEvents, 0x1F8, void())                                                       \
  X(METHOD, GetLine, kKelplineGetLine, 0x1F9, com::BSTR())                                                    \
  X(METHOD, Send, kKelplineSend, 0x1FA, void(com::BSTR text))                                                 \
  X(METHOD, SendLine, kKelplineSendLine, 0x1FB, void(com::BSTR text))                                         \
  X(METHOD, StartSSL, kKelplineStartSsl, 0x1FC, void())                                                       \
  /* new members go above this line, after the last one: the vtable keeps the order of the list */

VORLANE_DISPATCH_INTERFACE(IKelpline, "63338111-F789-11CE-86F8-0020AFD8C6DB", VORLANE_KELPLINE_MEMBERS);

// Events: DISPIDs below, every argument passed by reference.
VORLANE_DISPATCH_INTERFACE(IKelplineEvents, "63338112-F789-11CE-86F8-0020AFD8C6DB", VORLANE_NO_MEMBERS);

enum KelplineMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_KELPLINE_MEMBERS) };

enum KelplineEvent : com::DISPID {
  kEventConnected = 1,
  kEventConnectionStatus = 2,
  kEventDataIn = 3,
  kEventDisconnected = 4,
  kEventError = 5,
  kEventReadyToSend = 6,
  kEventSslServerAuthentication = 7,
  kEventSslStatus = 8,
};

// The events with their arguments in the order sinks receive them (platform/com/contract_events.h),
// every one by reference; SSLServerAuthentication's Accept is the container's answer.
// Connected, Disconnected and Error: a status (Error: its error code) and its text.
template <KelplineEvent Id>
struct KelplineStatusEvent {
  static constexpr com::DISPID kId = Id;
  static constexpr std::string_view kName =
      Id == kEventConnected ? "Connected" : (Id == kEventDisconnected ? "Disconnected" : "Error");
  int16_t statusCode = 0;
  std::string description;
  using Args =
      com::EventArgs<com::ByRef<&KelplineStatusEvent::statusCode>, com::ByRef<&KelplineStatusEvent::description>>;
};
using ConnectedEvent = KelplineStatusEvent<kEventConnected>;
using DisconnectedEvent = KelplineStatusEvent<kEventDisconnected>;
using ErrorEvent = KelplineStatusEvent<kEventError>;

struct ConnectionStatusEvent {
  static constexpr com::DISPID kId = kEventConnectionStatus;
  static constexpr std::string_view kName = "ConnectionStatus";
  std::string connectionEvent;
  int16_t statusCode = 0;
  std::string description;
  using Args = com::EventArgs<com::ByRef<&ConnectionStatusEvent::connectionEvent>,
                              com::ByRef<&ConnectionStatusEvent::statusCode>,
                              com::ByRef<&ConnectionStatusEvent::description>>;
};

struct DataInEvent {
  static constexpr com::DISPID kId = kEventDataIn;
  static constexpr std::string_view kName = "DataIn";
  std::u16string text;
  bool eol = false;
  using Args = com::EventArgs<com::ByRef<&DataInEvent::text>, com::ByRef<&DataInEvent::eol>>;
};

struct ReadyToSendEvent {
  static constexpr com::DISPID kId = kEventReadyToSend;
  static constexpr std::string_view kName = "ReadyToSend";
  using Args = com::EventArgs<>;
};

struct SslServerAuthenticationEvent {
  static constexpr com::DISPID kId = kEventSslServerAuthentication;
  static constexpr std::string_view kName = "SSLServerAuthentication";
  std::string certEncoded;
  std::string certSubject;
  std::string certIssuer;
  std::string status;
  bool accept = false;
  using Args = com::EventArgs<com::ByRef<&SslServerAuthenticationEvent::certEncoded>,
                              com::ByRef<&SslServerAuthenticationEvent::certSubject>,
                              com::ByRef<&SslServerAuthenticationEvent::certIssuer>,
                              com::ByRef<&SslServerAuthenticationEvent::status>,
                              com::Out<&SslServerAuthenticationEvent::accept>>;
};

struct SslStatusEvent {
  static constexpr com::DISPID kId = kEventSslStatus;
  static constexpr std::string_view kName = "SSLStatus";
  std::string message;
  using Args = com::EventArgs<com::ByRef<&SslStatusEvent::message>>;
};

}  // namespace vorlane::tcpclient
