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
#include "platform/com/contract_dispatch.h"
#include "platform/com/contract_events.h"
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

class KelplineControl final
    : public com::ComObject<KelplineControl, com::DispatchImpl<KelplineControl, IKelpline>,
                            com::ConnectionPointContainerImpl<KelplineControl>, com::SupportsErrorInfoFor<IKelpline>> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_KELPLINE_MEMBERS, KelplineControl, IKelpline)

  // Must be made on a thread that pumps its message loop.
  KelplineControl();

  // IKelpline
  VORLANE_CONTRACT_OVERRIDES(VORLANE_KELPLINE_MEMBERS)

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
  // Fires SSLServerAuthentication with Accept = `acceptSoFar`; the container's decision.
  bool FireServerAuthentication(bool acceptSoFar);
  // An event that could not be fired for lack of memory, told through Error.
  void ReportFiringFailure(std::string_view event) noexcept;
  template <class Event>
  void Fire(Event& event);

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
