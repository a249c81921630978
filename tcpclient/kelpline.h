// The TCP client control's contract for its clients: class and type library identifiers, the
// dual interface IKelpline with its members in vtable order, the member ids for late binding,
// the event interface, the enumerations and the error codes. Clients include this header and
// create the control by class id; they link against nothing of the component.
#pragma once

#include <cstdint>

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
// their member ids, then the methods.
struct IKelpline : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("63338111-F789-11CE-86F8-0020AFD8C6DB");

  virtual com::HRESULT get_AcceptData(com::VARIANT_BOOL* value) = 0;
  virtual com::HRESULT put_AcceptData(com::VARIANT_BOOL value) = 0;
  virtual com::HRESULT get_BytesSent(int32_t* value) = 0;
  virtual com::HRESULT get_Connected(com::VARIANT_BOOL* value) = 0;
  virtual com::HRESULT put_Connected(com::VARIANT_BOOL value) = 0;
  virtual com::HRESULT put_DataToSend(com::BSTR value) = 0;
  virtual com::HRESULT get_EOL(com::BSTR* value) = 0;
  virtual com::HRESULT put_EOL(com::BSTR value) = 0;
  virtual com::HRESULT get_FirewallHost(com::BSTR* value) = 0;
  virtual com::HRESULT put_FirewallHost(com::BSTR value) = 0;
  virtual com::HRESULT get_FirewallPassword(com::BSTR* value) = 0;
  virtual com::HRESULT put_FirewallPassword(com::BSTR value) = 0;
  virtual com::HRESULT get_FirewallPort(int32_t* value) = 0;
  virtual com::HRESULT put_FirewallPort(int32_t value) = 0;
  virtual com::HRESULT get_FirewallType(TFirewallType* value) = 0;
  virtual com::HRESULT put_FirewallType(TFirewallType value) = 0;
  virtual com::HRESULT get_FirewallUser(com::BSTR* value) = 0;
  virtual com::HRESULT put_FirewallUser(com::BSTR value) = 0;
  virtual com::HRESULT get_KeepAlive(com::VARIANT_BOOL* value) = 0;
  virtual com::HRESULT put_KeepAlive(com::VARIANT_BOOL value) = 0;
  virtual com::HRESULT get_Linger(com::VARIANT_BOOL* value) = 0;
  virtual com::HRESULT put_Linger(com::VARIANT_BOOL value) = 0;
  virtual com::HRESULT get_LocalHost(com::BSTR* value) = 0;
  virtual com::HRESULT put_LocalHost(com::BSTR value) = 0;
  virtual com::HRESULT get_LocalPort(int32_t* value) = 0;
  virtual com::HRESULT put_LocalPort(int32_t value) = 0;
  virtual com::HRESULT get_RemoteHost(com::BSTR* value) = 0;
  virtual com::HRESULT put_RemoteHost(com::BSTR value) = 0;
  virtual com::HRESULT get_RemotePort(int32_t* value) = 0;
  virtual com::HRESULT put_RemotePort(int32_t value) = 0;
  virtual com::HRESULT get_SingleLineMode(com::VARIANT_BOOL* value) = 0;
  virtual com::HRESULT put_SingleLineMode(com::VARIANT_BOOL value) = 0;
  virtual com::HRESULT get_SSLAcceptServerCert(com::BSTR* value) = 0;
  virtual com::HRESULT put_SSLAcceptServerCert(com::BSTR value) = 0;
  virtual com::HRESULT get_SSLCertEncoded(com::BSTR* value) = 0;
  virtual com::HRESULT put_SSLCertEncoded(com::BSTR value) = 0;
  virtual com::HRESULT get_SSLCertStore(com::BSTR* value) = 0;
  virtual com::HRESULT put_SSLCertStore(com::BSTR value) = 0;
  virtual com::HRESULT get_SSLCertStorePassword(com::BSTR* value) = 0;
  virtual com::HRESULT put_SSLCertStorePassword(com::BSTR value) = 0;
  virtual com::HRESULT get_SSLCertStoreType(TSSLCertStoreType* value) = 0;
  virtual com::HRESULT put_SSLCertStoreType(TSSLCertStoreType value) = 0;
  virtual com::HRESULT get_SSLCertSubject(com::BSTR* value) = 0;
  virtual com::HRESULT put_SSLCertSubject(com::BSTR value) = 0;
  virtual com::HRESULT get_SSLServerCert(com::BSTR* value) = 0;
  virtual com::HRESULT get_SSLServerCertStatus(com::BSTR* value) = 0;
  virtual com::HRESULT get_SSLStartMode(TSSLStartMode* value) = 0;
  virtual com::HRESULT put_SSLStartMode(TSSLStartMode value) = 0;
  virtual com::HRESULT get_Timeout(int16_t* value) = 0;
  virtual com::HRESULT put_Timeout(int16_t value) = 0;
  virtual com::HRESULT put_DataToSendB(com::VARIANT value) = 0;
  virtual com::HRESULT get_EOLB(com::VARIANT* value) = 0;
  virtual com::HRESULT put_EOLB(com::VARIANT value) = 0;
  virtual com::HRESULT get_SSLAcceptServerCertB(com::VARIANT* value) = 0;
  virtual com::HRESULT put_SSLAcceptServerCertB(com::VARIANT value) = 0;
  virtual com::HRESULT get_SSLCertEncodedB(com::VARIANT* value) = 0;
  virtual com::HRESULT put_SSLCertEncodedB(com::VARIANT value) = 0;
  virtual com::HRESULT get_SSLCertStoreB(com::VARIANT* value) = 0;
  virtual com::HRESULT put_SSLCertStoreB(com::VARIANT value) = 0;
  virtual com::HRESULT get_SSLServerCertB(com::VARIANT* value) = 0;
  virtual com::HRESULT get_DataInTextB(com::VARIANT* value) = 0;
  virtual com::HRESULT get_SSLServerAuthenticationCertEncodedB(com::VARIANT* value) = 0;

  virtual com::HRESULT Config(com::BSTR configurationString, com::BSTR* result) = 0;
  virtual com::HRESULT Connect(com::BSTR host, int32_t port) = 0;
  virtual com::HRESULT Disconnect() = 0;
  virtual com::HRESULT DoEvents() = 0;
  virtual com::HRESULT GetLine(com::BSTR* line) = 0;
  virtual com::HRESULT Send(com::BSTR text) = 0;
  virtual com::HRESULT SendLine(com::BSTR text) = 0;
  virtual com::HRESULT StartSSL() = 0;

 protected:
  ~IKelpline() = default;
};

// Events: DISPIDs below, every argument passed by reference.
struct IKelplineEvents : com::IDispatch {
  using Base = com::IDispatch;
  static constexpr com::IID kIid = com::GuidLiteral("63338112-F789-11CE-86F8-0020AFD8C6DB");

 protected:
  ~IKelplineEvents() = default;
};

enum KelplineMember : com::DISPID {
  kKelplineAcceptData = 1,
  kKelplineBytesSent = 2,
  kKelplineConnected = 3,
  kKelplineDataToSend = 4,
  kKelplineEol = 5,
  kKelplineFirewallHost = 6,
  kKelplineFirewallPassword = 7,
  kKelplineFirewallPort = 8,
  kKelplineFirewallType = 9,
  kKelplineFirewallUser = 10,
  kKelplineKeepAlive = 11,
  kKelplineLinger = 12,
  kKelplineLocalHost = 13,
  kKelplineLocalPort = 14,
  kKelplineRemoteHost = 15,
  kKelplineRemotePort = 16,
  kKelplineSingleLineMode = 17,
  kKelplineSslAcceptServerCert = 18,
  kKelplineSslCertEncoded = 19,
  kKelplineSslCertStore = 20,
  kKelplineSslCertStorePassword = 21,
  kKelplineSslCertStoreType = 22,
  kKelplineSslCertSubject = 23,
  kKelplineSslServerCert = 24,
  kKelplineSslServerCertStatus = 25,
  kKelplineSslStartMode = 26,
  kKelplineTimeout = 27,
  kKelplineDataToSendB = 28,
  kKelplineEolB = 29,
  kKelplineSslAcceptServerCertB = 30,
  kKelplineSslCertEncodedB = 31,
  kKelplineSslCertStoreB = 32,
  kKelplineSslServerCertB = 33,
  kKelplineDataInTextB = 34,
  kKelplineSslServerAuthenticationCertEncodedB = 35,
  kKelplineConfig = 0x1F5,
  kKelplineConnect = 0x1F6,
  kKelplineDisconnect = 0x1F7,
  kKelplineDoEvents = 0x1F8,
  kKelplineGetLine = 0x1F9,
  kKelplineSend = 0x1FA,
  kKelplineSendLine = 0x1FB,
  kKelplineStartSsl = 0x1FC,
};

enum KelplineEvent : com::DISPID {
  kEventConnected = 1,                // (short StatusCode, BSTR Description)
  kEventConnectionStatus = 2,         // (BSTR ConnectionEvent, short StatusCode, BSTR Description)
  kEventDataIn = 3,                   // (BSTR Text, VARIANT_BOOL EOL)
  kEventDisconnected = 4,             // (short StatusCode, BSTR Description)
  kEventError = 5,                    // (short ErrorCode, BSTR Description)
  kEventReadyToSend = 6,              // ()
  kEventSslServerAuthentication = 7,  // (CertEncoded, CertSubject, CertIssuer, Status, VARIANT_BOOL Accept)
  kEventSslStatus = 8,                // (BSTR Message)
};

}  // namespace vorlane::tcpclient
