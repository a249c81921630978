// The control's TLS: the session engine driven from the socket's notifications on the control's
// thread, between the open path to the target and the Connected event, and then under the data
// phase. The engine never touches the socket: its records go out through the send buffer and
// what the socket delivers is fed to it here.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>

#include "cipher/base64.h"
#include "platform/com/text.h"
#include "tcpclient/kelpline_control.h"
#include "tcpclient/tls_status.h"

namespace vorlane::tcpclient {

namespace {

constexpr std::string_view kStatusSocketEstablished = "Socket connection established.";
constexpr std::string_view kStatusHandshakeFailed = "SSL handshake failed.";
constexpr std::string_view kStatusSessionReused = "Resumed the SSL session of the previous connection.";
// A session asks the container about its certificate once; the bound only guards the loop.
constexpr size_t kDriveRounds = 4;

std::string Base64Of(std::span<const uint8_t> bytes) { return cipher::Base64EncodeToString(bytes); }
std::string Base64Of(std::string_view bytes) {
  return Base64Of(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

}  // namespace

TlsSettings KelplineControl::MakeTlsSettings() const {
  TlsSettings tls;
  tls.host = com::Utf16ToUtf8(remoteHost_);
  tls.enabledProtocols = static_cast<uint32_t>(settings_.sslEnabledProtocols);
  tls.cipherStrength = static_cast<int32_t>(std::clamp<int64_t>(settings_.sslCipherStrength, 0, INT32_MAX));
  tls.securityFlags = static_cast<uint32_t>(settings_.sslSecurityFlags);
  // The text form wins; the byte-array form is the certificate's DER.
  tls.acceptServerCert = !sslAcceptServerCert_.empty() ? com::Utf16ToUtf8(sslAcceptServerCert_)
                         : sslAcceptServerCertBytes_.empty() ? std::string()
                                                             : Base64Of(sslAcceptServerCertBytes_);
  // The container decides on every server certificate (SSLServerAuthentication), with Accept as
  // the check found it.
  tls.askAlways = true;
  tls.clientCredential = clientCredential_;
  if (!clientCredential_ && settings_.useDefaultCredentials) {
    tls.defaultStore = [source = CertificateStoreSourceOf()]() -> std::optional<CertificateStore> {
      auto store = CertificateStore::Open(source);
      if (!store) return std::nullopt;
      return std::move(store).value();
    };
  }
  return tls;
}

CertificateStoreSource KelplineControl::CertificateStoreSourceOf() const {
  CertificateStoreSource source;
  source.type = sslCertStoreType_;
  source.store = com::Utf16ToUtf8(sslCertStore_);
  source.storeBytes.assign(sslCertStoreBytes_.begin(), sslCertStoreBytes_.end());
  source.password = com::Utf16ToUtf8(sslCertStorePassword_);
  return source;
}

bool KelplineControl::ChooseClientCertificate() {
  // "ReuseSSLSession" keeps the certificate of the last connection with its session.
  if (settings_.reuseSslSession && clientCredential_) return true;
  clientCredential_.reset();
  if (sslCertSubject_.empty()) return true;
  auto store = CertificateStore::Open(CertificateStoreSourceOf());
  CertificateFailure failure = store ? CertificateNotFound() : store.error();
  if (store) clientCredential_ = store.value().Select(com::Utf16ToUtf8(sslCertSubject_));
  if (clientCredential_) {
    sslCertSubject_ = com::Utf8ToUtf16(clientCredential_->Subject());
    const std::string& der = clientCredential_->Der();
    sslCertEncodedBytes_.assign(der.begin(), der.end());
    sslCertEncoded_ = com::Utf8ToUtf16(Base64Of(der));
    return true;
  }
  // The connection goes on without a certificate; the server decides whether that will do.
  FireStatus(kEventError, failure.code, failure.text);
  return state_ == State::kHandshaking;
}

void KelplineControl::StartHandshake(std::string early) {
  state_ = State::kHandshaking;
  sslServerCert_.clear();
  sslServerCertStatus_.clear();
  sslServerCertDer_.clear();
  UpdateWatch();
  FireSslStatus(kStatusSocketEstablished);
  if (state_ != State::kHandshaking || !ChooseClientCertificate()) return;
  tls_ = std::make_unique<TlsSession>(MakeTlsSettings());
  if (!settings_.reuseSslSession) resumption_.reset();
  if (resumption_) tls_->OfferResumption(resumption_);
  tls_->Start();
  DriveTls({});
  // The target's first bytes that came with the firewall's last answer.
  if (!early.empty() && tls_ && state_ == State::kHandshaking) DriveTls(tls_->Feed(early));
}

bool KelplineControl::FireTlsStatus() {
  if (!tls_) return false;
  const TlsSession* session = tls_.get();
  for (const std::string& message : tls_->TakeStatusMessages()) {
    FireSslStatus(message);
    if (tls_.get() != session) return false;  // the handler closed the connection
  }
  return true;
}

void KelplineControl::KeepServerCertificate() {
  if (!tls_ || !tls_->HasServerCertificate()) return;
  sslServerCertDer_ = tls_->CertificateDer();
  sslServerCert_ = com::Utf8ToUtf16(Base64Of(sslServerCertDer_));
  sslServerCertStatus_ = com::Utf8ToUtf16(tls_->CertificateStatusText());
}

void KelplineControl::DriveTls(std::string plaintext) {
  for (size_t round = 0; round < kDriveRounds; ++round) {
    if (!tls_) return;
    const TlsSession* session = tls_.get();
    sendBuffer_ += tls_->TakeOutput();
    if (!FireTlsStatus()) return;
    if (tls_->Current() != TlsSession::State::kVerifying) break;
    // The container decides, synchronously, with Accept as the check found the certificate; the
    // socket is not read meanwhile.
    KeepServerCertificate();
    const bool accept = FireServerAuthentication(tls_->CertificatePassed());
    if (tls_.get() != session) return;
    tls_->Accept(accept);
    if (tls_->Current() == TlsSession::State::kOpen) plaintext += tls_->Feed({});
  }
  if (!tls_) return;
  if (!FlushSend() || !tls_) return;
  switch (tls_->Current()) {
    case TlsSession::State::kFailed:
      HandshakeFailed();
      return;
    case TlsSession::State::kOpen:
      if (state_ == State::kHandshaking) {
        SecureConnectionOpen(std::move(plaintext));
        return;
      }
      break;
    case TlsSession::State::kClosed:
      if (!plaintext.empty()) TakeReceived(plaintext);
      if (tls_ && HasSocket()) TlsPeerEnded();
      return;
    default:
      break;
  }
  if (!plaintext.empty() && state_ == State::kConnected) TakeReceived(plaintext);
  UpdateWatch();
}

void KelplineControl::SendLastBytes() {
  if (!HasSocket() || sendBuffer_.empty()) return;
  (void)::send(socket_.get(), sendBuffer_.data(), sendBuffer_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void KelplineControl::HandshakeFailed() {
  KeepServerCertificate();
  const ControlError failure{tls_->ErrorCode(), tls_->ErrorText()};
  const bool handshaking = state_ == State::kHandshaking;
  SendLastBytes();  // the alert that tells the server why
  CloseSocket();
  FireStatus(kEventError, failure.code, failure.text);
  if (handshaking) {
    connectOutcome_ = failure;
    FireSslStatus(kStatusHandshakeFailed);
    FireStatus(kEventConnected, failure.code, failure.text);
  } else {
    // A record that does not decrypt ends an open connection.
    lastFailure_ = failure;
    FireStatus(kEventDisconnected, failure.code, failure.text);
  }
}

void KelplineControl::SecureConnectionOpen(std::string plaintext) {
  KeepServerCertificate();
  if (tls_->ReusedSession()) {
    const TlsSession* session = tls_.get();
    FireSslStatus(kStatusSessionReused);
    if (tls_.get() != session) return;
  }
  if (settings_.reuseSslSession) {
    if (std::shared_ptr<const TlsResumption> resumption = tls_->TakeResumption()) resumption_ = std::move(resumption);
  }
  state_ = State::kConnected;
  NoteActivity();
  FireStatus(kEventConnected, 0, kStatusOk);
  if (state_ != State::kConnected) return;
  if (!plaintext.empty()) TakeReceived(plaintext);
  if (state_ != State::kConnected || !tls_) return;
  // What the container queued while the handshake ran goes now.
  if (!tlsPlaintext_.empty()) {
    (void)tls_->Write(std::exchange(tlsPlaintext_, {}));
    sendBuffer_ += tls_->TakeOutput();
  }
  if (FlushSend() && state_ == State::kConnected && sendBuffer_.empty()) FireReadyToSend();
  UpdateWatch();
}

void KelplineControl::HandshakeEvents(uint32_t events) {
  if (!tls_) return;  // a handler of the first SSLStatus pumps the loop before the session exists
  if ((events & EPOLLOUT) != 0 && !FlushSend()) return;
  if (!HasSocket() || state_ != State::kHandshaking) return;
  if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) {
    Receive();
    return;
  }
  UpdateWatch();
}

void KelplineControl::TlsPeerEnded() {
  const TlsSession* session = tls_.get();
  if (state_ == State::kHandshaking) {
    tls_->PeerEnded();  // fails the session: the server left before the handshake completed
    if (!FireTlsStatus()) return;
    HandshakeFailed();
    return;
  }
  if (tls_->PeerClosed()) {
    // The server's close_notify is answered with ours, which reports the end.
    tls_->Close();
    sendBuffer_ += tls_->TakeOutput();
    SendLastBytes();
    if (!FireTlsStatus()) return;
  } else if (tls_->Current() == TlsSession::State::kOpen) {
    // The socket ended without close_notify.
    tls_->PeerEnded();
    if (!FireTlsStatus()) return;
    FireSslStatus(kTlsConnectionTerminated);
    if (tls_.get() != session) return;
  }
  PeerClosed();
}

void KelplineControl::CloseTls() {
  if (!tls_ || tls_->Current() != TlsSession::State::kOpen) return;
  tls_->Close();
  sendBuffer_ += tls_->TakeOutput();
  (void)FireTlsStatus();
}

}  // namespace vorlane::tcpclient
