// The TCP client control: one outgoing TCP connection driven entirely on the thread that created
// the control. The socket is watched through that thread's message loop (the stand-in for the
// hidden notification window); operations that wait pump the same loop in 20 ms steps, so
// events keep firing meanwhile.
//
// Re-entrancy: every event handler may call back into the control, pump the loop, or release
// the control. The control holds a reference to itself for the length of every callback from
// the loop and of every public call that fires events, and checks its state again after each
// event it fires.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/result.h"
#include "platform/base/unique_fd.h"
#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/connection_point.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/variant.h"
#include "platform/loop/message_loop.h"
#include "platform/loop/thread_affinity.h"
#include "platform/net/address.h"
#include "tcpclient/code_page.h"
#include "tcpclient/control_settings.h"
#include "tcpclient/firewall_negotiation.h"
#include "tcpclient/kelpline.h"
#include "tcpclient/line_splitter.h"
#include "tcpclient/socket_errors.h"
#include "tcpclient/tls_session.h"

namespace vorlane::tcpclient {

namespace detail {
// What a late-bound property carries, by the type its adapter names: `bool` for the boolean
// properties (VARIANT_BOOL is a 16-bit integer, as Timeout is), the type itself otherwise.
template <class W>
struct WireOf {
  using type = W;
};
template <>
struct WireOf<bool> {
  using type = com::VARIANT_BOOL;
};
}  // namespace detail

class KelplineControl final
    : public com::ComObject<KelplineControl, com::DispatchImpl<KelplineControl, IKelpline>,
                            com::ConnectionPointContainerImpl<KelplineControl>, com::ISupportErrorInfo> {
  // Late-bound members reach the vtable members through these two adapters.
  template <class W, com::HRESULT (IKelpline::*Get)(typename detail::WireOf<W>::type*)>
  com::HRESULT DispGet(com::DispatchCall& call);
  template <class W, com::HRESULT (IKelpline::*Put)(typename detail::WireOf<W>::type)>
  com::HRESULT DispPut(com::DispatchCall& call);
  com::HRESULT InvokeConfig(com::DispatchCall& call);
  com::HRESULT InvokeConnect(com::DispatchCall& call);
  com::HRESULT InvokeDisconnect(com::DispatchCall&) { return Disconnect(); }
  com::HRESULT InvokeDoEvents(com::DispatchCall&) { return DoEvents(); }
  com::HRESULT InvokeGetLine(com::DispatchCall& call);
  com::HRESULT InvokeSend(com::DispatchCall& call);
  com::HRESULT InvokeSendLine(com::DispatchCall& call);
  com::HRESULT InvokeStartSsl(com::DispatchCall&) { return StartSSL(); }

  using B = com::VARIANT_BOOL;
  using S = com::BSTR;
  using V = com::VARIANT;
  using K = KelplineControl;
  using I = IKelpline;

 public:
  static constexpr com::DispatchMember<KelplineControl> kDispatchMembers[] = {
      com::DispPropertyGet("AcceptData", kKelplineAcceptData, &K::DispGet<bool, &I::get_AcceptData>),
      com::DispPropertyPut("AcceptData", kKelplineAcceptData, &K::DispPut<bool, &I::put_AcceptData>),
      com::DispPropertyGet("BytesSent", kKelplineBytesSent, &K::DispGet<int32_t, &I::get_BytesSent>),
      com::DispPropertyGet("Connected", kKelplineConnected, &K::DispGet<bool, &I::get_Connected>),
      com::DispPropertyPut("Connected", kKelplineConnected, &K::DispPut<bool, &I::put_Connected>),
      com::DispPropertyPut("DataToSend", kKelplineDataToSend, &K::DispPut<S, &I::put_DataToSend>),
      com::DispPropertyGet("EOL", kKelplineEol, &K::DispGet<S, &I::get_EOL>),
      com::DispPropertyPut("EOL", kKelplineEol, &K::DispPut<S, &I::put_EOL>),
      com::DispPropertyGet("FirewallHost", kKelplineFirewallHost, &K::DispGet<S, &I::get_FirewallHost>),
      com::DispPropertyPut("FirewallHost", kKelplineFirewallHost, &K::DispPut<S, &I::put_FirewallHost>),
      com::DispPropertyGet("FirewallPassword", kKelplineFirewallPassword, &K::DispGet<S, &I::get_FirewallPassword>),
      com::DispPropertyPut("FirewallPassword", kKelplineFirewallPassword, &K::DispPut<S, &I::put_FirewallPassword>),
      com::DispPropertyGet("FirewallPort", kKelplineFirewallPort, &K::DispGet<int32_t, &I::get_FirewallPort>),
      com::DispPropertyPut("FirewallPort", kKelplineFirewallPort, &K::DispPut<int32_t, &I::put_FirewallPort>),
      com::DispPropertyGet("FirewallType", kKelplineFirewallType, &K::DispGet<TFirewallType, &I::get_FirewallType>),
      com::DispPropertyPut("FirewallType", kKelplineFirewallType, &K::DispPut<TFirewallType, &I::put_FirewallType>),
      com::DispPropertyGet("FirewallUser", kKelplineFirewallUser, &K::DispGet<S, &I::get_FirewallUser>),
      com::DispPropertyPut("FirewallUser", kKelplineFirewallUser, &K::DispPut<S, &I::put_FirewallUser>),
      com::DispPropertyGet("KeepAlive", kKelplineKeepAlive, &K::DispGet<bool, &I::get_KeepAlive>),
      com::DispPropertyPut("KeepAlive", kKelplineKeepAlive, &K::DispPut<bool, &I::put_KeepAlive>),
      com::DispPropertyGet("Linger", kKelplineLinger, &K::DispGet<bool, &I::get_Linger>),
      com::DispPropertyPut("Linger", kKelplineLinger, &K::DispPut<bool, &I::put_Linger>),
      com::DispPropertyGet("LocalHost", kKelplineLocalHost, &K::DispGet<S, &I::get_LocalHost>),
      com::DispPropertyPut("LocalHost", kKelplineLocalHost, &K::DispPut<S, &I::put_LocalHost>),
      com::DispPropertyGet("LocalPort", kKelplineLocalPort, &K::DispGet<int32_t, &I::get_LocalPort>),
      com::DispPropertyPut("LocalPort", kKelplineLocalPort, &K::DispPut<int32_t, &I::put_LocalPort>),
      com::DispPropertyGet("RemoteHost", kKelplineRemoteHost, &K::DispGet<S, &I::get_RemoteHost>),
      com::DispPropertyPut("RemoteHost", kKelplineRemoteHost, &K::DispPut<S, &I::put_RemoteHost>),
      com::DispPropertyGet("RemotePort", kKelplineRemotePort, &K::DispGet<int32_t, &I::get_RemotePort>),
      com::DispPropertyPut("RemotePort", kKelplineRemotePort, &K::DispPut<int32_t, &I::put_RemotePort>),
      com::DispPropertyGet("SingleLineMode", kKelplineSingleLineMode, &K::DispGet<bool, &I::get_SingleLineMode>),
      com::DispPropertyPut("SingleLineMode", kKelplineSingleLineMode, &K::DispPut<bool, &I::put_SingleLineMode>),
      com::DispPropertyGet("SSLAcceptServerCert", kKelplineSslAcceptServerCert,
                           &K::DispGet<S, &I::get_SSLAcceptServerCert>),
      com::DispPropertyPut("SSLAcceptServerCert", kKelplineSslAcceptServerCert,
                           &K::DispPut<S, &I::put_SSLAcceptServerCert>),
      com::DispPropertyGet("SSLCertEncoded", kKelplineSslCertEncoded, &K::DispGet<S, &I::get_SSLCertEncoded>),
      com::DispPropertyPut("SSLCertEncoded", kKelplineSslCertEncoded, &K::DispPut<S, &I::put_SSLCertEncoded>),
      com::DispPropertyGet("SSLCertStore", kKelplineSslCertStore, &K::DispGet<S, &I::get_SSLCertStore>),
      com::DispPropertyPut("SSLCertStore", kKelplineSslCertStore, &K::DispPut<S, &I::put_SSLCertStore>),
      com::DispPropertyGet("SSLCertStorePassword", kKelplineSslCertStorePassword,
                           &K::DispGet<S, &I::get_SSLCertStorePassword>),
      com::DispPropertyPut("SSLCertStorePassword", kKelplineSslCertStorePassword,
                           &K::DispPut<S, &I::put_SSLCertStorePassword>),
      com::DispPropertyGet("SSLCertStoreType", kKelplineSslCertStoreType,
                           &K::DispGet<TSSLCertStoreType, &I::get_SSLCertStoreType>),
      com::DispPropertyPut("SSLCertStoreType", kKelplineSslCertStoreType,
                           &K::DispPut<TSSLCertStoreType, &I::put_SSLCertStoreType>),
      com::DispPropertyGet("SSLCertSubject", kKelplineSslCertSubject, &K::DispGet<S, &I::get_SSLCertSubject>),
      com::DispPropertyPut("SSLCertSubject", kKelplineSslCertSubject, &K::DispPut<S, &I::put_SSLCertSubject>),
      com::DispPropertyGet("SSLServerCert", kKelplineSslServerCert, &K::DispGet<S, &I::get_SSLServerCert>),
      com::DispPropertyGet("SSLServerCertStatus", kKelplineSslServerCertStatus,
                           &K::DispGet<S, &I::get_SSLServerCertStatus>),
      com::DispPropertyGet("SSLStartMode", kKelplineSslStartMode, &K::DispGet<TSSLStartMode, &I::get_SSLStartMode>),
      com::DispPropertyPut("SSLStartMode", kKelplineSslStartMode, &K::DispPut<TSSLStartMode, &I::put_SSLStartMode>),
      com::DispPropertyGet("Timeout", kKelplineTimeout, &K::DispGet<int16_t, &I::get_Timeout>),
      com::DispPropertyPut("Timeout", kKelplineTimeout, &K::DispPut<int16_t, &I::put_Timeout>),
      com::DispPropertyPut("DataToSendB", kKelplineDataToSendB, &K::DispPut<V, &I::put_DataToSendB>),
      com::DispPropertyGet("EOLB", kKelplineEolB, &K::DispGet<V, &I::get_EOLB>),
      com::DispPropertyPut("EOLB", kKelplineEolB, &K::DispPut<V, &I::put_EOLB>),
      com::DispPropertyGet("SSLAcceptServerCertB", kKelplineSslAcceptServerCertB,
                           &K::DispGet<V, &I::get_SSLAcceptServerCertB>),
      com::DispPropertyPut("SSLAcceptServerCertB", kKelplineSslAcceptServerCertB,
                           &K::DispPut<V, &I::put_SSLAcceptServerCertB>),
      com::DispPropertyGet("SSLCertEncodedB", kKelplineSslCertEncodedB, &K::DispGet<V, &I::get_SSLCertEncodedB>),
      com::DispPropertyPut("SSLCertEncodedB", kKelplineSslCertEncodedB, &K::DispPut<V, &I::put_SSLCertEncodedB>),
      com::DispPropertyGet("SSLCertStoreB", kKelplineSslCertStoreB, &K::DispGet<V, &I::get_SSLCertStoreB>),
      com::DispPropertyPut("SSLCertStoreB", kKelplineSslCertStoreB, &K::DispPut<V, &I::put_SSLCertStoreB>),
      com::DispPropertyGet("SSLServerCertB", kKelplineSslServerCertB, &K::DispGet<V, &I::get_SSLServerCertB>),
      com::DispPropertyGet("DataInTextB", kKelplineDataInTextB, &K::DispGet<V, &I::get_DataInTextB>),
      com::DispPropertyGet("SSLServerAuthenticationCertEncodedB", kKelplineSslServerAuthenticationCertEncodedB,
                           &K::DispGet<V, &I::get_SSLServerAuthenticationCertEncodedB>),
      com::DispMethod("Config", kKelplineConfig, &K::InvokeConfig, 1),
      com::DispMethod("Connect", kKelplineConnect, &K::InvokeConnect, 2),
      com::DispMethod("Disconnect", kKelplineDisconnect, &K::InvokeDisconnect),
      com::DispMethod("DoEvents", kKelplineDoEvents, &K::InvokeDoEvents),
      com::DispMethod("GetLine", kKelplineGetLine, &K::InvokeGetLine),
      com::DispMethod("Send", kKelplineSend, &K::InvokeSend, 1),
      com::DispMethod("SendLine", kKelplineSendLine, &K::InvokeSendLine, 1),
      com::DispMethod("StartSSL", kKelplineStartSsl, &K::InvokeStartSsl),
  };

  // Must be made on a thread that pumps its message loop.
  KelplineControl();

  // IKelpline
  com::HRESULT get_AcceptData(B* value) override;
  com::HRESULT put_AcceptData(B value) override;
  com::HRESULT get_BytesSent(int32_t* value) override;
  com::HRESULT get_Connected(B* value) override;
  com::HRESULT put_Connected(B value) override;
  com::HRESULT put_DataToSend(S value) override;
  com::HRESULT get_EOL(S* value) override;
  com::HRESULT put_EOL(S value) override;
  com::HRESULT get_FirewallHost(S* value) override;
  com::HRESULT put_FirewallHost(S value) override;
  com::HRESULT get_FirewallPassword(S* value) override;
  com::HRESULT put_FirewallPassword(S value) override;
  com::HRESULT get_FirewallPort(int32_t* value) override;
  com::HRESULT put_FirewallPort(int32_t value) override;
  com::HRESULT get_FirewallType(TFirewallType* value) override;
  com::HRESULT put_FirewallType(TFirewallType value) override;
  com::HRESULT get_FirewallUser(S* value) override;
  com::HRESULT put_FirewallUser(S value) override;
  com::HRESULT get_KeepAlive(B* value) override;
  com::HRESULT put_KeepAlive(B value) override;
  com::HRESULT get_Linger(B* value) override;
  com::HRESULT put_Linger(B value) override;
  com::HRESULT get_LocalHost(S* value) override;
  com::HRESULT put_LocalHost(S value) override;
  com::HRESULT get_LocalPort(int32_t* value) override;
  com::HRESULT put_LocalPort(int32_t value) override;
  com::HRESULT get_RemoteHost(S* value) override;
  com::HRESULT put_RemoteHost(S value) override;
  com::HRESULT get_RemotePort(int32_t* value) override;
  com::HRESULT put_RemotePort(int32_t value) override;
  com::HRESULT get_SingleLineMode(B* value) override;
  com::HRESULT put_SingleLineMode(B value) override;
  com::HRESULT get_SSLAcceptServerCert(S* value) override;
  com::HRESULT put_SSLAcceptServerCert(S value) override;
  com::HRESULT get_SSLCertEncoded(S* value) override;
  com::HRESULT put_SSLCertEncoded(S value) override;
  com::HRESULT get_SSLCertStore(S* value) override;
  com::HRESULT put_SSLCertStore(S value) override;
  com::HRESULT get_SSLCertStorePassword(S* value) override;
  com::HRESULT put_SSLCertStorePassword(S value) override;
  com::HRESULT get_SSLCertStoreType(TSSLCertStoreType* value) override;
  com::HRESULT put_SSLCertStoreType(TSSLCertStoreType value) override;
  com::HRESULT get_SSLCertSubject(S* value) override;
  com::HRESULT put_SSLCertSubject(S value) override;
  com::HRESULT get_SSLServerCert(S* value) override;
  com::HRESULT get_SSLServerCertStatus(S* value) override;
  com::HRESULT get_SSLStartMode(TSSLStartMode* value) override;
  com::HRESULT put_SSLStartMode(TSSLStartMode value) override;
  com::HRESULT get_Timeout(int16_t* value) override;
  com::HRESULT put_Timeout(int16_t value) override;
  com::HRESULT put_DataToSendB(V value) override;
  com::HRESULT get_EOLB(V* value) override;
  com::HRESULT put_EOLB(V value) override;
  com::HRESULT get_SSLAcceptServerCertB(V* value) override;
  com::HRESULT put_SSLAcceptServerCertB(V value) override;
  com::HRESULT get_SSLCertEncodedB(V* value) override;
  com::HRESULT put_SSLCertEncodedB(V value) override;
  com::HRESULT get_SSLCertStoreB(V* value) override;
  com::HRESULT put_SSLCertStoreB(V value) override;
  com::HRESULT get_SSLServerCertB(V* value) override;
  com::HRESULT get_DataInTextB(V* value) override;
  com::HRESULT get_SSLServerAuthenticationCertEncodedB(V* value) override;

  com::HRESULT Config(S configurationString, S* result) override;
  com::HRESULT Connect(S host, int32_t port) override;
  com::HRESULT Disconnect() override;
  com::HRESULT DoEvents() override;
  com::HRESULT GetLine(S* line) override;
  com::HRESULT Send(S text) override;
  com::HRESULT SendLine(S text) override;
  com::HRESULT StartSSL() override;

  // ISupportErrorInfo
  com::HRESULT InterfaceSupportsErrorInfo(const com::IID& iid) override {
    return iid == IKelpline::kIid ? com::S_OK : com::S_FALSE;
  }

 private:
  // kNegotiating: the TCP connection to the firewall is up and the firewall negotiation runs over it.
  // kHandshaking: the path to the target is open and the TLS handshake runs over it; the
  // connection counts as made once the session is open.
  enum class State { kClosed, kConnecting, kNegotiating, kHandshaking, kConnected, kClosing };
  // The message the control posts to itself to deliver held data and retry pending sends (the
  // message number the hidden window of the control answers to).
  static constexpr uint32_t kRetriggerMessage = 1125;
  enum class WaitEnd { kDone, kTimeout, kInterrupted };

  ~KelplineControl() override;

  // The one place where interface text meets wire bytes, in the "CodePage" setting's page (0 is
  // UTF-8 on this system). BytesToText converts a whole text on its own; received data goes
  // through ReceivedToText, whose decoder keeps a character cut between two receives.
  std::string TextToBytes(std::u16string_view text) const;
  std::u16string BytesToText(std::string_view bytes) const;
  std::u16string ReceivedToText(std::string_view bytes, bool flush);
  // Opens the converters of `number`; on failure the current page stays, and the converter's
  // text is the error.
  Result<void, std::string> SwitchCodePage(int64_t number);

  com::HRESULT Fail(int32_t code, std::string_view text);
  com::HRESULT Fail(const ControlError& error) { return Fail(error.code, error.text); }
  bool HasSocket() const { return socket_.valid(); }
  // The socket, its watch and the waits belong to the creating thread (calls from other
  // apartments reach the control through marshalled pointers, on that thread): every accessor
  // and every method that touches them asserts it.
  void AssertOwnThread(std::source_location caller = std::source_location::current()) const {
    affinity_.Assert(caller);
  }

  // Connecting.
  // `startSsl`: TLS from the first byte whatever SSLStartMode says (StartSSL without a connection).
  com::HRESULT OpenConnection(bool startSsl = false);
  // Why no connection can start now (no target), in the order they are reported.
  Result<void, ControlError> CheckTarget();
  // Creates, binds and connects the socket; the outcome arrives on the loop.
  Result<void, ControlError> StartConnect();
  void FinishConnect(uint32_t events);
  bool UsesFirewall() const { return settings_.firewallType != fwNone; }
  // The firewall type of the connection under way, fixed when it starts (fwNone: direct).
  TFirewallType connectFirewall_ = fwNone;
  // The firewall negotiation, driven by the socket's events; `early` is what the firewall's last
  // answer carried of the target's own data.
  void StartNegotiation();
  void Negotiate(uint32_t events);
  void NegotiationFailed(std::string_view status, int32_t code, std::string_view text);
  // The path to the target is open (directly or through the firewall): report it and go on.
  void ConnectionEstablished(std::string early);
  // TLS (kelpline_tls.cpp). The session's ciphertext goes through sendBuffer_, the control's raw
  // send path; application data given before the session is open waits in tlsPlaintext_.
  TlsSettings MakeTlsSettings() const;
  CertificateStoreSource CertificateStoreSourceOf() const;
  // Chooses the client certificate by SSLCertSubject; one not found is reported through Error and
  // the connection goes on without. False when the container closed the connection meanwhile.
  bool ChooseClientCertificate();
  // Starts the handshake on the open path to the target; `early` is what already arrived of it.
  void StartHandshake(std::string early);
  // After every engine call: writes its output, fires its progress texts, asks the container
  // about a certificate that did not pass, and follows the session into open or failed. Returns
  // the application data to hand on, if the connection is still there.
  void DriveTls(std::string plaintext);
  bool FireTlsStatus();
  void HandshakeFailed();
  void SecureConnectionOpen(std::string plaintext);
  // The peer ended the stream (close_notify or the socket's end) while TLS was on.
  void TlsPeerEnded();
  // Sends close_notify ahead of a close of our own.
  void CloseTls();
  bool TlsActive() const { return tls_ != nullptr; }
  void KeepServerCertificate();
  void HandshakeEvents(uint32_t events);
  // One try to put what waits in the send buffer on the wire, for a connection about to close.
  void SendLastBytes();
  com::HRESULT BeginTlsOnOpenConnection();
  size_t QueuedBytes() const { return sendBuffer_.size() + tlsPlaintext_.size(); }

  // Closing: gracefully (what is queued goes first when Linger is true) or at once.
  com::HRESULT CloseConnection(bool waitForQueued, bool reportWouldBlock);
  void CloseSocket();
  void FinishClose(int32_t code, std::string_view text);

  // The socket's readiness, and the re-trigger message (delivery of held data, pending sends).
  void OnSocketEvents(uint32_t events);
  void OnRetrigger();
  void UpdateWatch();
  void Receive();
  void TakeReceived(std::string_view bytes);
  void DeliverPending();
  void PeerClosed();
  void ConnectionFailed(int32_t code, bool duringReceive);
  // Sends what the socket takes; false when the connection failed meanwhile.
  bool FlushSend();
  com::HRESULT QueueAndSend(std::string bytes);
  LineSplitter& Splitter();

  // Blocking waits: pump this thread's loop in 20 ms steps until `done`.
  std::chrono::milliseconds TimeoutDuration() const;
  template <class Done>
  WaitEnd WaitFor(Done done);
  com::HRESULT WaitFailure(WaitEnd end);
  void NoteActivity() { lastActivity_ = std::chrono::steady_clock::now(); }

  // Events, each with its arguments by reference.
  void FireStatus(KelplineEvent id, int32_t code, std::string_view text);  // Connected, Disconnected, Error
  void FireConnectionStatus(std::string_view event, int32_t code, std::string_view text);
  void FireDataIn(const LinePiece& piece);
  void FireReadyToSend();
  void FireSslStatus(std::string_view message);
  // SSLServerAuthentication for the session's certificate; the container's decision.
  // Fires SSLServerAuthentication with Accept = `acceptSoFar`; the container's decision.
  bool FireServerAuthentication(bool acceptSoFar);
  // An event that could not be fired for lack of memory, told through Error.
  void ReportFiringFailure(std::string_view event) noexcept;
  void Fire(com::DISPID id, std::initializer_list<com::Variant> args);

  std::shared_ptr<loop::MessageLoop> loop_;
  const loop::ThreadAffinity affinity_{"KelplineControl"};  // the thread of loop_
  std::unique_ptr<loop::MessageTarget> target_;
  UniqueFd socket_;
  std::unique_ptr<loop::FdWatch> watch_;  // after socket_: destroyed before the socket closes
  State state_ = State::kClosed;
  bool hangupSeen_ = false;  // the peer hung up while reading was held back

  ControlSettings settings_;
  // The page of "CodePage": textPage_ converts whole texts, receivePage_ the received stream
  // (reset at each connect, flushed when the stream ends).
  std::optional<CodePage> textPage_;
  std::optional<CodePage> receivePage_;
  std::optional<std::u16string> eolText_;  // EOL as set as text, converted again when the page changes
  bool streamEnded_ = false;               // the peer closed; what is left is decoded to the end
  bool acceptData_ = true;
  bool keepAlive_ = false;
  bool linger_ = true;
  bool singleLineMode_ = false;
  std::u16string remoteHost_;
  std::optional<net::Address> remoteAddress_;
  std::u16string localHost_;
  int32_t remotePort_ = 0;
  int32_t localPort_ = 0;
  int32_t bytesSent_ = 0;
  int16_t timeout_ = 0;

  // TLS settings and the state of the last secured connection.
  std::u16string sslAcceptServerCert_;
  std::u16string sslCertEncoded_;
  std::u16string sslCertStore_ = u"MY";
  std::u16string sslCertStorePassword_;
  std::u16string sslCertSubject_;
  std::u16string sslServerCert_;
  std::u16string sslServerCertStatus_;
  std::vector<uint8_t> sslAcceptServerCertBytes_;
  std::vector<uint8_t> sslCertEncodedBytes_;
  std::vector<uint8_t> sslCertStoreBytes_;
  TSSLCertStoreType sslCertStoreType_ = sstUser;
  TSSLStartMode sslStartMode_ = sslAutomatic;
  bool tlsOn_ = true;
  std::unique_ptr<TlsSession> tls_;                   // the session of the connection, when TLS is on
  std::shared_ptr<const TlsResumption> resumption_;  // "ReuseSSLSession": offered on the next connect
  std::shared_ptr<const ClientCredential> clientCredential_;  // chosen for the connection; kept with the session
  std::string tlsPlaintext_;                          // queued by the container before the session opened
  std::string sslServerCertDer_;

  std::optional<FirewallNegotiation> negotiation_;
  std::string negotiationOutput_;  // of the negotiation, not yet taken by the socket

  std::string sendBuffer_;
  bool readyToSendOwed_ = false;  // the send buffer filled up; ReadyToSend once it drains
  std::optional<LineSplitter> splitter_;
  LineSplitter::Mode splitterMode_ = LineSplitter::Mode::kRaw;
  std::string splitterDelimiter_;
  size_t splitterCapacity_ = 0;
  std::deque<LinePiece> pending_;  // received, not yet delivered
  bool delivering_ = false;
  bool getLineWaiting_ = false;
  std::string lastDataIn_;
  ControlError connectOutcome_;  // of the last connect
  ControlError lastFailure_;     // that ended the connection
  std::chrono::steady_clock::time_point lastActivity_{};
};

}  // namespace vorlane::tcpclient
