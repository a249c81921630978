// The TLS client side of the control's connection on OpenSSL: a pure engine without sockets or
// threads. The control writes what TakeOutput() hands it to its socket and feeds what it reads
// from the socket into Feed(), from its own socket notifications, as it drives the firewall
// negotiation. Ciphertext moves through memory BIOs only.
//
// Life of a session:
//   Start() -> kHandshaking -> (certificate checked) -> kOpen
//                                                  \-> kVerifying -> Accept(true) -> kOpen
//                                                                 \-> Accept(false) -> kFailed
//   kOpen -> Close() or the peer's close_notify -> kClosed;  any failure -> kFailed.
//
// The server certificate is checked by the engine (chain to the default trust store plus any
// extra anchors, validity, the server name) while the handshake continues; a certificate that
// does not pass on its own holds the session in kVerifying until the container decides through
// Accept(). Nothing OpenSSL would refuse is ever accepted unless the container accepts it or it is
// byte for byte the certificate of "SSLAcceptServerCert".
//
// Certificate names are written with the most particular attribute first and ", " between
// attributes, with OpenSSL's short attribute names: "CN=localhost, O=Vorlane Test, C=DE".
//
// The progress texts the control fires as SSLStatus wait in a queue (TakeStatusMessages); a
// failure leaves its control code (200, 270-285) and text in ErrorCode()/ErrorText().
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/openssl_handles.h"
#include "tcpclient/client_certificate.h"

namespace vorlane::tcpclient {

// "SSLEnabledProtocols" bits: a client and a server bit per protocol; either enables it for the
// client. SSL 2 and SSL 3 bits are never honoured. A mask of 0, or 255 (the control's default,
// dating from when TLS 1.0 was the newest protocol and meaning "what the provider offers"), enables
// TLS 1.2 and TLS 1.3; any other mask enables exactly the TLS versions it names.
inline constexpr uint32_t kProtocolTls10 = 0x000000C0;
inline constexpr uint32_t kProtocolTls11 = 0x00000300;
inline constexpr uint32_t kProtocolTls12 = 0x00000C00;
inline constexpr uint32_t kProtocolTls13 = 0x00003000;
inline constexpr uint32_t kProtocolsDefault = 255;

// The progress text of a TLS connection that has ended, by either side.
inline constexpr char kTlsConnectionTerminated[] = "SSL connection terminated.";

struct TlsSettings {
  // RemoteHost as given: sent as SNI when it is a name, and the name or address the certificate
  // must match.
  std::string host;
  uint32_t enabledProtocols = kProtocolsDefault;  // "SSLEnabledProtocols"
  int32_t cipherStrength = 40;                    // "SSLCipherStrength": least cipher bits; 0 none
  uint32_t securityFlags = 0;                     // "SSLSecurityFlags" (tls_status.h)
  // SSLAcceptServerCert: PEM or base64 DER. A server presenting exactly this certificate is
  // accepted without the chain check.
  std::string acceptServerCert;
  // Trust anchors (PEM, any number of certificates) besides the system's: for containers that
  // bring their own certification authority, and for tests.
  std::string extraTrustAnchorsPem;
  // Every certificate waits in kVerifying for Accept, also one that passed (CertificatePassed()
  // tells): for a container that decides on each, as the control's SSLServerAuthentication does.
  bool askAlways = false;
  // The client certificate offered when the server asks for one. One without its private key
  // fails the start (273).
  std::shared_ptr<const ClientCredential> clientCredential;
  // When none was chosen ("UseDefaultCredentials"): opens the store to pick one from when the
  // server asks for a certificate; the first with a key issued by an authority the server names.
  std::function<std::optional<CertificateStore>()> defaultStore;
};

// A resumable session kept from an earlier connection ("ReuseSSLSession"). Opaque.
class TlsResumption {
 public:
  ~TlsResumption();
  TlsResumption(const TlsResumption&) = delete;
  TlsResumption& operator=(const TlsResumption&) = delete;

 private:
  friend class TlsSession;
  TlsResumption(net::SslSessionPtr session, std::string host, std::string certificate);
  net::SslSessionPtr session_;
  std::string host_;
  std::string certificate_;  // DER of the server certificate it was made with
};

class TlsSession {
 public:
  enum class State { kIdle, kHandshaking, kVerifying, kOpen, kClosed, kFailed };

  explicit TlsSession(TlsSettings settings);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // Before Start(): offer a session of an earlier connection to the same host. It is used only if
  // its certificate passed then on its own or as SSLAcceptServerCert.
  void OfferResumption(std::shared_ptr<const TlsResumption> resumption);
  // Starts the client handshake; its first bytes wait in TakeOutput(). Fails at once (kFailed)
  // when the settings leave no protocol or the context cannot be made.
  void Start();

  // Ciphertext to write to the socket now; empty when there is none.
  std::string TakeOutput();
  // Bytes read from the socket. Returns the application data they carried, and any that arrived
  // while the session waited for the container's decision. Feed({}) only collects.
  std::string Feed(std::string_view ciphertext);
  // The socket reached its end: during the handshake this fails the session (276).
  void PeerEnded();
  // Encrypts application data into the output; false unless the session is open.
  bool Write(std::string_view plaintext);
  // Sends close_notify; the session is then kClosed.
  void Close();

  // The container's decision on a certificate that did not pass on its own (kVerifying only).
  void Accept(bool accept);

  State Current() const { return state_; }
  bool PeerClosed() const { return peerClosed_; }
  bool ReusedSession() const { return reused_; }
  // After the handshake: a session the next connection may offer, or null when the server gave
  // none or its certificate did not pass on its own.
  std::shared_ptr<const TlsResumption> TakeResumption();

  // The server certificate, once the handshake has produced one.
  bool HasServerCertificate() const { return !certificateDer_.empty(); }
  const std::string& CertificateDer() const { return certificateDer_; }
  const std::string& CertificateSubject() const { return certificateSubject_; }
  const std::string& CertificateIssuer() const { return certificateIssuer_; }
  uint32_t CertificateStatus() const { return certificateStatus_; }
  // "[0x%x] " and the status's text.
  std::string CertificateStatusText() const;
  // Whether the certificate passed without the container (status 0 or SSLAcceptServerCert).
  bool CertificatePassed() const { return certificatePassed_; }

  // SSLStatus texts in the order they arose; taking them empties the queue.
  std::deque<std::string> TakeStatusMessages();
  // When kFailed: the control's code and text, and OpenSSL's own account for logs.
  int32_t ErrorCode() const { return errorCode_; }
  const std::string& ErrorText() const { return errorText_; }
  const std::string& ErrorDetail() const { return errorDetail_; }

 private:
  static int VerifyCallback(int preverified, x509_store_ctx_st* store);
  // The server asked for a client certificate: offers the chosen one, or picks one.
  static int CertificateCallback(ssl_st* ssl, void* unused);

  bool MakeContext();
  void Handshake();
  void HandshakeDone();
  void Open();
  std::string ReadPlaintext();
  void CollectOutput(bool handshake);
  void Status(std::string text);
  void Fail(int32_t code, std::string text);
  void FailWithSslError(int32_t code, std::string_view prefix, uint32_t status);

  TlsSettings settings_;
  State state_ = State::kIdle;
  net::SslContextPtr context_;
  net::SslPtr ssl_;           // goes before the context it was made from
  bio_st* input_ = nullptr;   // ciphertext from the socket; owned by ssl_
  bio_st* output_ = nullptr;  // ciphertext for the socket; owned by ssl_
  std::string pendingOutput_;
  std::string pendingPlaintext_;
  std::shared_ptr<const TlsResumption> offered_;
  std::shared_ptr<const ClientCredential> offeredCredential_;  // the certificate sent to the server
  bool peerClosed_ = false;
  bool closeSent_ = false;
  bool reused_ = false;
  bool chainPassed_ = false;  // passed the chain check itself, not as SSLAcceptServerCert

  uint32_t verifyStatus_ = 0;  // the first status the callback met that the flags do not forgive
  std::string certificateDer_;
  std::string certificateSubject_;
  std::string certificateIssuer_;
  uint32_t certificateStatus_ = 0;
  bool certificatePassed_ = false;

  std::deque<std::string> statusMessages_;
  int32_t errorCode_ = 0;
  std::string errorText_;
  std::string errorDetail_;
};

}  // namespace vorlane::tcpclient
