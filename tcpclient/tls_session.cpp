#include "tcpclient/tls_session.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "cipher/base64.h"
#include "tcpclient/client_certificate.h"
#include "tcpclient/tls_status.h"

namespace vorlane::tcpclient {

namespace {

// Progress and failure texts of the TLS layer.
constexpr char kStartingHandshake[] = "Starting secure channel handshake.";
constexpr char kSendingHandshake[] = "Sending %d handshake bytes.";
constexpr char kReceivingHandshake[] = "Receiving %d bytes of handshake data.";
constexpr char kCertificateRequested[] = "Client certificate requested from server.";
constexpr char kNegotiated[] = "Negotiated SSL parameters:";
constexpr char kNoConnectionInfo[] = "Connection info not available.";
constexpr char kHandshakeComplete[] = "SSL handshake complete.";
constexpr char kVerificationAborting[] = "Server certificate verification failed. Aborting connection...";
constexpr char kVerificationAborted[] = "Server certificate verification failed. Connection aborted.";
constexpr char kServerEndedSession[] = "Server signaled end of session.";
constexpr char kCredentialsFailed[] = "Could not acquire security credentials: error ";
constexpr char kHandshakeFailed[] = "error during handshake[2]: ";
constexpr char kServerDisconnected[] = "Server disconnected before handshake completion [";
constexpr char kNoServerCertificate[] = "can't find server certificate (error ";
constexpr char kEncryptFailed[] = "error encrypting data";
constexpr char kDecryptFailed[] = "error decrypting data (error ";

// One SSL_read takes at most this much; a TLS record carries at most 16 KB.
constexpr size_t kReadChunk = 16 * 1024;

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

std::string Printf(const char* format, long long value) {
  char text[128];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

int SessionIndex() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

bool IsAddressLiteral(const std::string& host) {
  unsigned char address[16];
  return ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
}

// The DER bytes of a certificate given as PEM or as base64 DER; empty when it is neither.
std::string DecodeCertificate(const std::string& text) {
  if (text.empty()) return {};
  if (text.find("-----BEGIN") == std::string::npos) {
    std::optional<std::string> bytes = cipher::Base64DecodeToString(text);
    return bytes ? *bytes : std::string();
  }
  const net::BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  const net::X509Ptr certificate(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  if (!certificate) return {};
  return CertificateDer(certificate.get());
}

// The TLS versions a "SSLEnabledProtocols" mask enables, as a range; false when none.
bool ProtocolRange(uint32_t mask, int* lowest, int* highest) {
  if (mask == 0 || mask == kProtocolsDefault) {
    *lowest = TLS1_2_VERSION;
    *highest = TLS1_3_VERSION;
    return true;
  }
  struct Bit {
    uint32_t bits;
    int version;
  };
  constexpr Bit kBits[] = {{kProtocolTls10, TLS1_VERSION},
                           {kProtocolTls11, TLS1_1_VERSION},
                           {kProtocolTls12, TLS1_2_VERSION},
                           {kProtocolTls13, TLS1_3_VERSION}};
  *lowest = 0;
  *highest = 0;
  for (const Bit& bit : kBits) {
    if ((mask & bit.bits) == 0) continue;
    if (*lowest == 0) *lowest = bit.version;
    *highest = bit.version;
  }
  return *lowest != 0;
}

// The provider status a failed handshake reports: a mismatch of protocols or ciphers, or else a
// peer that broke the protocol.
uint32_t HandshakeStatus(unsigned long error) {
  if (ERR_GET_LIB(error) != ERR_LIB_SSL) return kSecIllegalMessage;
  switch (ERR_GET_REASON(error)) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
    case SSL_R_TLSV1_ALERT_INSUFFICIENT_SECURITY:
      return kSecAlgorithmMismatch;
    default:
      return kSecIllegalMessage;
  }
}

}  // namespace

TlsResumption::TlsResumption(net::SslSessionPtr session, std::string host, std::string certificate)
    : session_(std::move(session)), host_(std::move(host)), certificate_(std::move(certificate)) {}

TlsResumption::~TlsResumption() = default;

TlsSession::TlsSession(TlsSettings settings) : settings_(std::move(settings)) {}

TlsSession::~TlsSession() = default;

void TlsSession::OfferResumption(std::shared_ptr<const TlsResumption> resumption) {
  offered_ = std::move(resumption);
}

bool TlsSession::MakeContext() {
  int lowest = 0;
  int highest = 0;
  if (!ProtocolRange(settings_.enabledProtocols, &lowest, &highest)) {
    errorDetail_ = "SSLEnabledProtocols enables no TLS version";
    Fail(kTlsErrCredentials, kCredentialsFailed + Hex(kSecAlgorithmMismatch) + ".");
    return false;
  }
  context_.reset(SSL_CTX_new(TLS_client_method()));
  if (context_ == nullptr) {
    FailWithSslError(kTlsErrCredentials, kCredentialsFailed, kSecInternalError);
    errorText_ += ".";
    return false;
  }
  SSL_CTX_set_min_proto_version(context_.get(), lowest);
  SSL_CTX_set_max_proto_version(context_.get(), highest);
  if (lowest < TLS1_2_VERSION) {
    // The default security level refuses the SHA-1 signatures TLS 1.0 and 1.1 rely on; the mask
    // asked for them explicitly.
    SSL_CTX_set_security_level(context_.get(), 0);
    SSL_CTX_set_cipher_list(context_.get(), "DEFAULT:@SECLEVEL=0");
  }
  SSL_CTX_set_default_verify_paths(context_.get());
  if (!settings_.extraTrustAnchorsPem.empty()) {
    const net::BioPtr bio(BIO_new_mem_buf(settings_.extraTrustAnchorsPem.data(),
                                          static_cast<int>(settings_.extraTrustAnchorsPem.size())));
    X509_STORE* store = SSL_CTX_get_cert_store(context_.get());
    // Bounded by the text: every round consumes one certificate of it.
    for (size_t round = 0; bio && round <= settings_.extraTrustAnchorsPem.size(); ++round) {
      const net::X509Ptr anchor(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
      if (!anchor) break;
      X509_STORE_add_cert(store, anchor.get());  // takes a reference of its own
    }
    ERR_clear_error();  // the end of the text reads as "no start line"
  }
  SSL_CTX_set_verify(context_.get(), SSL_VERIFY_PEER, &TlsSession::VerifyCallback);
  if (settings_.clientCredential && settings_.clientCredential->Key() == nullptr) {
    errorDetail_ = "the client certificate has no private key";
    Fail(kTlsErrCredentials, kCredentialsFailed + Hex(kSecNoCredentials) + ".");
    return false;
  }
  SSL_CTX_set_cert_cb(context_.get(), &TlsSession::CertificateCallback, nullptr);
  return true;
}

void TlsSession::Start() {
  if (state_ != State::kIdle) return;
  ERR_clear_error();
  if (!MakeContext()) return;
  ssl_.reset(SSL_new(context_.get()));
  net::BioPtr input(BIO_new(BIO_s_mem()));
  net::BioPtr output(BIO_new(BIO_s_mem()));
  if (!ssl_ || !input || !output) {
    Fail(kTlsErrOutOfMemory, "Out of memory. Aborting connection...");
    return;
  }
  // An empty input means "wait for more", not the end of the stream.
  BIO_set_mem_eof_return(input.get(), -1);
  input_ = input.get();
  output_ = output.get();
  SSL_set_bio(ssl_.get(), input.release(), output.release());
  SSL_set_connect_state(ssl_.get());
  SSL_set_ex_data(ssl_.get(), SessionIndex(), this);

  const std::string& host = settings_.host;
  const bool checkName = (settings_.securityFlags & kNoServerName) == 0;
  if (IsAddressLiteral(host)) {
    if (checkName) X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), host.c_str());
  } else if (!host.empty()) {
    SSL_set_tlsext_host_name(ssl_.get(), host.c_str());
    if (checkName) {
      SSL_set_hostflags(ssl_.get(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      SSL_set1_host(ssl_.get(), host.c_str());
    }
  }
  if (offered_ && offered_->host_ == host) SSL_set_session(ssl_.get(), offered_->session_.get());

  state_ = State::kHandshaking;
  Status(kStartingHandshake);
  Handshake();
}

int TlsSession::VerifyCallback(int preverified, x509_store_ctx_st* store) {
  if (preverified) return 1;
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* session = ssl ? static_cast<TlsSession*>(SSL_get_ex_data(ssl, SessionIndex())) : nullptr;
  if (session == nullptr) return 0;
  const uint32_t status = CertStatusForVerifyError(X509_STORE_CTX_get_error(store));
  if (session->verifyStatus_ == kCertOk && !CertStatusIgnored(status, session->settings_.securityFlags)) {
    session->verifyStatus_ = status;
  }
  // The handshake goes on: the session, or the container, decides once it is complete.
  return 1;
}

int TlsSession::CertificateCallback(SSL* ssl, void* /*unused*/) {
  auto* session = static_cast<TlsSession*>(SSL_get_ex_data(ssl, SessionIndex()));
  if (session == nullptr) return 0;
  session->Status(kCertificateRequested);
  std::shared_ptr<const ClientCredential> credential = session->settings_.clientCredential;
  if (!credential && session->settings_.defaultStore) {
    if (std::optional<CertificateStore> store = session->settings_.defaultStore()) {
      std::vector<const X509_NAME*> authorities;
      const STACK_OF(X509_NAME)* names = SSL_get_client_CA_list(ssl);
      for (int i = 0; names != nullptr && i < sk_X509_NAME_num(names); ++i) {
        authorities.push_back(sk_X509_NAME_value(names, i));
      }
      credential = store->FirstIssuedBy(authorities);
    }
  }
  // Without a certificate the handshake goes on with none; the server decides.
  if (!credential || credential->Key() == nullptr) return 1;
  // SSL_set1_chain takes references of its own: the stack only lends the certificates.
  const net::X509StackViewPtr chain(sk_X509_new_null());
  bool ok = chain != nullptr;
  for (const net::X509Ptr& above : credential->Chain()) ok = ok && sk_X509_push(chain.get(), above.get()) > 0;
  ok = ok && SSL_use_certificate(ssl, credential->Certificate()) == 1 &&
       SSL_use_PrivateKey(ssl, credential->Key()) == 1 && SSL_set1_chain(ssl, chain.get()) == 1;
  if (ok) session->offeredCredential_ = std::move(credential);
  return ok ? 1 : 0;
}

void TlsSession::Handshake() {
  const int result = SSL_do_handshake(ssl_.get());
  const int error = result == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), result);
  CollectOutput(true);
  if (result == 1) {
    HandshakeDone();
  } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
    FailWithSslError(kTlsErrHandshake, kHandshakeFailed, HandshakeStatus(ERR_peek_error()));
  }
}

void TlsSession::HandshakeDone() {
  reused_ = SSL_session_reused(ssl_.get()) == 1;
  const int bits = SSL_get_cipher_bits(ssl_.get(), nullptr);
  if (settings_.cipherStrength > 0 && bits < settings_.cipherStrength) {
    errorDetail_ = "the negotiated cipher has " + std::to_string(bits) + " bits";
    Fail(kTlsErrHandshake, kHandshakeFailed + Hex(kSecAlgorithmMismatch));
    return;
  }
  X509* certificate = SSL_get0_peer_certificate(ssl_.get());
  if (certificate == nullptr) {
    Fail(kTlsErrNoServerCert, kNoServerCertificate + Hex(kSecNoCredentials) + ")");
    return;
  }
  certificateDer_ = tcpclient::CertificateDer(certificate);
  certificateSubject_ = CertificateNameText(X509_get_subject_name(certificate));
  certificateIssuer_ = CertificateNameText(X509_get_issuer_name(certificate));
  const std::string accepted = DecodeCertificate(settings_.acceptServerCert);
  if (!accepted.empty() && accepted == certificateDer_) {
    certificateStatus_ = kCertOk;
  } else if (reused_ && offered_ && offered_->certificate_ == certificateDer_) {
    // A resumed session skips the certificate exchange; only sessions whose certificate passed
    // the chain check for this host are offered.
    certificateStatus_ = kCertOk;
  } else {
    certificateStatus_ = verifyStatus_;
    // The callback sees every error; this only guards against one it was not shown.
    const long result = SSL_get_verify_result(ssl_.get());
    if (certificateStatus_ == kCertOk && result != X509_V_OK) {
      const uint32_t status = CertStatusForVerifyError(static_cast<int>(result));
      if (!CertStatusIgnored(status, settings_.securityFlags)) certificateStatus_ = status;
    }
  }
  certificatePassed_ = certificateStatus_ == kCertOk;
  chainPassed_ = certificatePassed_ && (accepted.empty() || accepted != certificateDer_);
  if (certificatePassed_ && !settings_.askAlways) {
    Open();
  } else {
    state_ = State::kVerifying;
  }
}

void TlsSession::Accept(bool accept) {
  if (state_ != State::kVerifying) return;
  if (!accept) {
    Status(kVerificationAborting);
    Fail(kTlsErrHandshake, kVerificationAborted);
    return;
  }
  Open();
  if (state_ == State::kOpen) pendingPlaintext_ += ReadPlaintext();
}

void TlsSession::Open() {
  state_ = State::kOpen;
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_.get());
  if (cipher == nullptr) {
    Status(kNoConnectionInfo);
  } else {
    Status(kNegotiated);
    Status(std::string("Protocol: ") + SSL_get_version(ssl_.get()));
    Status(std::string("Cipher: ") + SSL_CIPHER_get_name(cipher));
    Status(Printf("Cipher strength: %lld", SSL_CIPHER_get_bits(cipher, nullptr)));
    if (const EVP_MD* digest = SSL_CIPHER_get_handshake_digest(cipher)) {
      Status(std::string("Hash: ") + EVP_MD_get0_name(digest));
      Status(Printf("Hash strength: %lld", EVP_MD_get_size(digest) * 8LL));
    }
    EVP_PKEY* received = nullptr;
    const bool gotKey = SSL_get_peer_tmp_key(ssl_.get(), &received) == 1;
    const net::EvpKeyPtr exchangeKey(received);
    if (gotKey && exchangeKey) {
      const char* type = EVP_PKEY_get0_type_name(exchangeKey.get());
      Status(std::string("Key exchange: ") + (type ? type : OBJ_nid2sn(SSL_CIPHER_get_kx_nid(cipher))));
      Status(Printf("Key exchange strength: %lld", EVP_PKEY_get_bits(exchangeKey.get())));
    } else {
      Status(std::string("Key exchange: ") + OBJ_nid2sn(SSL_CIPHER_get_kx_nid(cipher)));
    }
  }
  ERR_clear_error();
  Status(kHandshakeComplete);
}

std::string TlsSession::Feed(std::string_view ciphertext) {
  ERR_clear_error();
  if (ssl_ == nullptr || state_ == State::kFailed || (state_ == State::kClosed && peerClosed_)) return {};
  if (!ciphertext.empty() && BIO_write(input_, ciphertext.data(), static_cast<int>(ciphertext.size())) <= 0) {
    Fail(kTlsErrOutOfMemory, "Out of memory. Aborting connection...");
    return {};
  }
  std::string plaintext = std::exchange(pendingPlaintext_, {});
  switch (state_) {
    case State::kHandshaking:
      if (!ciphertext.empty()) Status(Printf(kReceivingHandshake, static_cast<long long>(ciphertext.size())));
      Handshake();
      if (state_ == State::kOpen) plaintext += ReadPlaintext();
      break;
    case State::kOpen:
    case State::kClosed:  // our close_notify went out; the peer's answer may still come
      plaintext += ReadPlaintext();
      break;
    default:  // kVerifying: the bytes wait in the input until the container has decided
      break;
  }
  return plaintext;
}

std::string TlsSession::ReadPlaintext() {
  std::string plaintext;
  char buffer[kReadChunk];
  // Every round either takes a record's worth of input or stops; the bound is the input's size.
  const size_t rounds = BIO_ctrl_pending(input_) + 2;
  for (size_t round = 0; round < rounds; ++round) {
    const int count = SSL_read(ssl_.get(), buffer, sizeof buffer);
    if (count > 0) {
      plaintext.append(buffer, static_cast<size_t>(count));
      continue;
    }
    const int error = SSL_get_error(ssl_.get(), count);
    if (error == SSL_ERROR_ZERO_RETURN) {
      peerClosed_ = true;
      Status(kServerEndedSession);
      state_ = State::kClosed;
    } else if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      FailWithSslError(kTlsErrHandshake, kDecryptFailed, kSecIllegalMessage);
      errorText_ += ")";
    }
    break;
  }
  if (state_ != State::kFailed) CollectOutput(false);
  return plaintext;
}

void TlsSession::PeerEnded() {
  if (state_ == State::kHandshaking || state_ == State::kVerifying) {
    Fail(kTlsErrHandshake, kServerDisconnected + Hex(kSecIncompleteMessage) + "]");
  } else if (state_ == State::kOpen) {
    state_ = State::kClosed;
  }
}

bool TlsSession::Write(std::string_view plaintext) {
  if (state_ != State::kOpen) return false;
  ERR_clear_error();
  // Memory output never pushes back, so every call takes all it is given.
  for (size_t offset = 0; offset < plaintext.size();) {
    const size_t piece = std::min(plaintext.size() - offset, kReadChunk);
    const int written = SSL_write(ssl_.get(), plaintext.data() + offset, static_cast<int>(piece));
    if (written <= 0) {
      FailWithSslError(kTlsErrHandshake, kEncryptFailed, kSecInternalError);
      errorText_ = kEncryptFailed;
      return false;
    }
    offset += static_cast<size_t>(written);
  }
  CollectOutput(false);
  return true;
}

void TlsSession::Close() {
  if (ssl_ == nullptr || closeSent_) return;
  if (state_ == State::kOpen || (state_ == State::kClosed && peerClosed_)) {
    ERR_clear_error();
    SSL_shutdown(ssl_.get());
    CollectOutput(false);
    closeSent_ = true;
    Status(kTlsConnectionTerminated);
    state_ = State::kClosed;
  } else if (state_ == State::kHandshaking || state_ == State::kVerifying) {
    state_ = State::kClosed;
  }
}

std::shared_ptr<const TlsResumption> TlsSession::TakeResumption() {
  if (ssl_ == nullptr || !chainPassed_) return nullptr;
  net::SslSessionPtr session(SSL_get1_session(ssl_.get()));
  if (!session || SSL_SESSION_is_resumable(session.get()) != 1) return nullptr;
  return std::shared_ptr<const TlsResumption>(new TlsResumption(std::move(session), settings_.host, certificateDer_));
}

std::string TlsSession::CertificateStatusText() const { return CertStatusText(certificateStatus_); }

std::deque<std::string> TlsSession::TakeStatusMessages() { return std::exchange(statusMessages_, {}); }

std::string TlsSession::TakeOutput() { return std::exchange(pendingOutput_, {}); }

void TlsSession::CollectOutput(bool handshake) {
  const size_t pending = BIO_ctrl_pending(output_);
  if (pending == 0) return;
  const size_t start = pendingOutput_.size();
  pendingOutput_.resize(start + pending);
  const int read = BIO_read(output_, pendingOutput_.data() + start, static_cast<int>(pending));
  pendingOutput_.resize(start + (read > 0 ? static_cast<size_t>(read) : 0));
  if (handshake && read > 0) Status(Printf(kSendingHandshake, read));
}

void TlsSession::Status(std::string text) { statusMessages_.push_back(std::move(text)); }

void TlsSession::Fail(int32_t code, std::string text) {
  state_ = State::kFailed;
  errorCode_ = code;
  errorText_ = std::move(text);
}

void TlsSession::FailWithSslError(int32_t code, std::string_view prefix, uint32_t status) {
  char detail[256] = "";
  if (const unsigned long error = ERR_peek_error(); error != 0) ERR_error_string_n(error, detail, sizeof detail);
  ERR_clear_error();
  errorDetail_ = detail;
  Fail(code, std::string(prefix) + Hex(status));
}

}  // namespace vorlane::tcpclient
