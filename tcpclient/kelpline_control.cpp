// The control's connection: connecting, receiving, sending, closing, blocking waits and events.
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
#include "platform/net/resolve.h"
#include "tcpclient/interface_values.h"
#include "tcpclient/socket_options.h"

namespace vorlane::tcpclient {

using com::Bstr;
using com::BSTR;
using com::HRESULT;
using com::S_OK;
using com::Variant;
using com::VARIANT_BOOL;
using namespace std::chrono_literals;

namespace {

constexpr auto kWaitStep = 20ms;
// GetLine drops what it gathered once a line grows beyond this many times MaxLineLength.
constexpr int64_t kGetLineBufferFactor = 20;
constexpr std::u16string_view kSource = u"Kelpline";
// The largest TLS record's plaintext: one read takes at least a whole record.
constexpr size_t kTlsReadSize = 16 * 1024;

int16_t StatusCode(int32_t code) { return static_cast<int16_t>(std::clamp<int32_t>(code, INT16_MIN, INT16_MAX)); }

}  // namespace

// ---------------------------------------------------------------- life

KelplineControl::KelplineControl() : loop_(loop::MessageLoop::ForCurrentThread()) {
  if (auto text = CodePage::Open(0)) textPage_ = std::move(text).value();
  if (auto received = CodePage::Open(0)) receivePage_ = std::move(received).value();
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

// Without converters (the system could not open even UTF-8) text is carried as UTF-8.
std::string KelplineControl::TextToBytes(std::u16string_view text) const {
  return textPage_ ? textPage_->FromText(text) : com::Utf16ToUtf8(text);
}

std::u16string KelplineControl::BytesToText(std::string_view bytes) const {
  if (!textPage_) return com::Utf8ToUtf16(bytes);
  // A page of its own state for this one text, so that nothing is held back from it.
  auto page = CodePage::Open(textPage_->Number());
  return page ? page.value().ToText(bytes, /*flush=*/true) : com::Utf8ToUtf16(bytes);
}

std::u16string KelplineControl::ReceivedToText(std::string_view bytes, bool flush) {
  return receivePage_ ? receivePage_->ToText(bytes, flush) : com::Utf8ToUtf16(bytes);
}

Result<void, std::string> KelplineControl::SwitchCodePage(int64_t number) {
  if (number < INT32_MIN || number > INT32_MAX) return "Code page " + std::to_string(number) + " is not supported.";
  auto text = CodePage::Open(static_cast<int32_t>(number));
  VORLANE_RETURN_IF_ERROR(text);
  auto received = CodePage::Open(static_cast<int32_t>(number));
  VORLANE_RETURN_IF_ERROR(received);
  textPage_ = std::move(text).value();
  receivePage_ = std::move(received).value();
  // The delimiter is searched for as bytes: an EOL given as text is written in the new page.
  if (eolText_) settings_.eol = TextToBytes(*eolText_);
  return {};
}

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

// ---------------------------------------------------------------- connecting

HRESULT KelplineControl::Connect(BSTR host, int32_t port) {
  return com::CatchReturn([&] {
    VORLANE_RETURN_IF_FAILED(put_RemoteHost(host));
    VORLANE_RETURN_IF_FAILED(put_RemotePort(port));
    return OpenConnection();
  });
}

HRESULT KelplineControl::OpenConnection(bool startSsl) {
  AssertOwnThread();
  com::ComPtr<KelplineControl> self(this);
  connectOutcome_ = {};
  if (HasSocket()) return Fail(kErrAlreadyConnected, kTextAlreadyConnected);
  if (auto target = CheckTarget(); !target) return Fail(target.error());
  // sslExplicit and sslNone start in plain text, until StartSSL.
  tlsOn_ = startSsl || (sslStartMode_ != sslExplicit && sslStartMode_ != sslNone);
  if (auto started = StartConnect(); !started) return Fail(started.error());
  if (TimeoutDuration() <= 0ms) return S_OK;  // the outcome arrives through the events

  // Through a firewall, the connection is complete once the negotiation has opened the path; with
  // TLS, once the handshake is done.
  const WaitEnd end = WaitFor([&] {
    return state_ != State::kConnecting && state_ != State::kNegotiating && state_ != State::kHandshaking;
  });
  if (end != WaitEnd::kDone) {
    CloseSocket();  // the attempt is abandoned
    return WaitFailure(end);
  }
  if (connectOutcome_.code != 0) return Fail(connectOutcome_);
  return S_OK;
}

Result<void, ControlError> KelplineControl::CheckTarget() {
  if (settings_.firewallType != fwNone) {
    if (settings_.firewallHost.empty()) {
      return ControlError{kErrAddressInvalid,
                          std::string(kTextRemoteHostInvalid) + " " + std::string(kTextFirewallHostInvalid)};
    }
    if (settings_.firewallPort == 0) {
      return ControlError{kErrRemotePortZero,
                          std::string(kTextRemotePortZero) + " " + std::string(kTextFirewallPortZero)};
    }
    return {};
  }
  if (!remoteAddress_ || remoteAddress_->IsUnspecified()) {
    return ControlError{kErrAddressInvalid, std::string(kTextRemoteHostInvalid)};
  }
  if (remotePort_ == 0) return ControlError{kErrRemotePortZero, std::string(kTextRemotePortZero)};
  return {};
}

Result<void, ControlError> KelplineControl::StartConnect() {
  net::Address target;
  if (UsesFirewall()) {
    // The firewall is reached by its own address; the target's name goes to it as text.
    auto found = net::Resolve(settings_.firewallHost, {.family = settings_.useIpv6 ? AF_INET6 : AF_INET});
    if (!found) return SocketError(found.error().code);
    if (found.value().front().IsUnspecified()) {
      return ControlError{kErrAddressInvalid,
                          std::string(kTextRemoteHostInvalid) + " " + std::string(kTextFirewallHostInvalid)};
    }
    target = found.value().front();
    target.SetPort(static_cast<uint16_t>(settings_.firewallPort));
  } else {
    target = *remoteAddress_;
    target.SetPort(static_cast<uint16_t>(remotePort_));
  }
  UniqueFd fd(::socket(target.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) return ErrnoError(errno);

  if (!localHost_.empty() || localPort_ != 0) {
    net::Address local;
    if (!localHost_.empty()) {
      auto found = net::Resolve(com::Utf16ToUtf8(localHost_), {.family = target.family()});
      if (!found) return SocketError(found.error().code);
      local = found.value().front();
    } else {
      local.storage.ss_family = static_cast<sa_family_t>(target.family());
      local.length = target.family() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    }
    local.SetPort(static_cast<uint16_t>(localPort_));
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local.storage), local.length) != 0)
      return ErrnoError(errno);
  }

  SetIntOption(fd.get(), SOL_SOCKET, SO_KEEPALIVE, keepAlive_ ? 1 : 0);
  SetLinger(fd.get(), linger_);
  if (settings_.inBufferSize > kSmallestAppliedBufferSize) {
    SetIntOption(fd.get(), SOL_SOCKET, SO_RCVBUF,
                 static_cast<int>(std::min<int64_t>(settings_.inBufferSize, INT32_MAX)));
  }
  if (settings_.outBufferSize > kSmallestAppliedBufferSize) {
    SetIntOption(fd.get(), SOL_SOCKET, SO_SNDBUF,
                 static_cast<int>(std::min<int64_t>(settings_.outBufferSize, INT32_MAX)));
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
  negotiation_.reset();
  negotiationOutput_.clear();
  connectFirewall_ = static_cast<TFirewallType>(settings_.firewallType);
  streamEnded_ = false;
  if (receivePage_) receivePage_->Reset();
  FireConnectionStatus(kStatusAttempting, 0, "");
  return {};
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
    if (tlsOn_) FireSslStatus(kStatusHostConnectFailed);
    FireStatus(kEventConnected, connectOutcome_.code, connectOutcome_.text);
    return;
  }
  // A FirewallType changed while the connect was under way does not change where it leads.
  if (connectFirewall_ != fwNone) {
    StartNegotiation();
    return;
  }
  ConnectionEstablished({});
}

void KelplineControl::ConnectionEstablished(std::string early) {
  const bool throughFirewall = state_ == State::kNegotiating;
  // With TLS the connection is made once the handshake, which starts now, is done.
  const State next = tlsOn_ ? State::kHandshaking : State::kConnected;
  state_ = next;
  negotiation_.reset();
  NoteActivity();
  UpdateWatch();
  if (throughFirewall) {
    FireConnectionStatus(kStatusFirewallComplete, 0, kStatusOk);
    if (state_ != next) return;
  }
  FireConnectionStatus(kStatusConnectComplete, 0, kStatusOk);
  if (state_ != next) return;
  if (next == State::kHandshaking) {
    StartHandshake(std::move(early));
    return;
  }
  FireStatus(kEventConnected, 0, kStatusOk);
  // The target's first bytes that came with the firewall's answer go the way of all received data.
  if (state_ == State::kConnected && !early.empty()) TakeReceived(early);
  // Data queued while connecting goes now; ReadyToSend follows once the queue is empty.
  if (state_ == State::kConnected && FlushSend() && state_ == State::kConnected && sendBuffer_.empty()) {
    FireReadyToSend();
  }
  UpdateWatch();
}

// ---------------------------------------------------------------- the firewall negotiation

void KelplineControl::StartNegotiation() {
  state_ = State::kNegotiating;
  negotiation_.emplace(FirewallTarget{
      .kind = static_cast<FirewallKind>(connectFirewall_),
      .host = com::Utf16ToUtf8(remoteHost_),
      .port = static_cast<uint16_t>(remotePort_),
      .user = settings_.firewallUser,
      .password = settings_.firewallPassword,
      .extraHeaders = settings_.firewallData,  // header lines of an HTTP CONNECT request
  });
  if (negotiation_->Current() == FirewallNegotiation::Step::kFailed) {
    NegotiationFailed(kStatusFirewallFailed, negotiation_->ErrorCode(), negotiation_->ErrorText());
    return;
  }
  negotiationOutput_ = negotiation_->TakeOutput();
  Negotiate(EPOLLOUT);
}

void KelplineControl::Negotiate(uint32_t events) {
  using Step = FirewallNegotiation::Step;
  // Write what the socket takes of the current request.
  if ((events & EPOLLOUT) != 0) {
    for (size_t round = 0; round < 1000 && !negotiationOutput_.empty(); ++round) {
      const ssize_t sent = ::send(socket_.get(), negotiationOutput_.data(), negotiationOutput_.size(), MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        const ControlError error = ErrnoError(errno);
        NegotiationFailed(kStatusFirewallDisconnected, error.code, error.text);
        return;
      }
      negotiationOutput_.erase(0, static_cast<size_t>(sent));
    }
  }
  if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) {
    char buffer[4096];
    const ssize_t received = ::recv(socket_.get(), buffer, sizeof buffer, 0);
    if (received == 0) {
      NegotiationFailed(kStatusFirewallDisconnected, kFirewallNegotiationFailed, kStatusFirewallDisconnected);
      return;
    }
    if (received < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      const ControlError error = ErrnoError(errno);
      NegotiationFailed(kStatusFirewallDisconnected, error.code, error.text);
      return;
    }
    std::string_view rest(buffer, received > 0 ? static_cast<size_t>(received) : 0);
    // Each answer is taken whole before the next request goes; a read may hold the end of one
    // answer and, after the last, the target's first data.
    for (size_t round = 0; round < 16 && !rest.empty(); ++round) {
      size_t consumed = 0;
      const Step step = negotiation_->Feed(rest, &consumed);
      rest.remove_prefix(std::min(consumed, rest.size()));
      if (step == Step::kFailed) {
        NegotiationFailed(kStatusFirewallFailed, negotiation_->ErrorCode(), negotiation_->ErrorText());
        return;
      }
      negotiationOutput_ += negotiation_->TakeOutput();
      if (step == Step::kDone) {
        ConnectionEstablished(std::string(rest));
        return;
      }
      if (consumed == 0) break;
    }
    if (!negotiationOutput_.empty()) {
      Negotiate(EPOLLOUT);
      return;
    }
  }
  UpdateWatch();
}

void KelplineControl::NegotiationFailed(std::string_view status, int32_t code, std::string_view text) {
  connectOutcome_ = ControlError{code, std::string(text)};
  CloseSocket();
  FireConnectionStatus(status, connectOutcome_.code, connectOutcome_.text);
  if (tlsOn_) FireSslStatus(kStatusHostConnectFailed);
  FireStatus(kEventConnected, connectOutcome_.code, connectOutcome_.text);
}

// ---------------------------------------------------------------- closing

HRESULT KelplineControl::Disconnect() {
  return com::CatchReturn([&] { return CloseConnection(/*waitForQueued=*/true, /*reportWouldBlock=*/true); });
}

HRESULT KelplineControl::CloseConnection(bool waitForQueued, bool reportWouldBlock) {
  AssertOwnThread();
  com::ComPtr<KelplineControl> self(this);
  if (!HasSocket()) return S_OK;
  if (TlsActive() && state_ == State::kConnected) {
    // close_notify goes ahead of everything that follows; what is left of it when the socket
    // closes at once is lost with the connection.
    CloseTls();
    if (!HasSocket()) return S_OK;
    if (!FlushSend()) return S_OK;
  }
  if (state_ == State::kConnecting || state_ == State::kHandshaking || state_ == State::kNegotiating || !linger_ || sendBuffer_.empty()) {
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
  negotiation_.reset();
  negotiationOutput_.clear();
  hangupSeen_ = false;
  if (tls_ && settings_.reuseSslSession) {
    if (std::shared_ptr<const TlsResumption> resumption = tls_->TakeResumption()) resumption_ = std::move(resumption);
  }
  tls_.reset();
  tlsPlaintext_.clear();
}

void KelplineControl::FinishClose(int32_t code, std::string_view text) {
  if (linger_ && state_ != State::kConnecting) {
    (void)::shutdown(socket_.get(), SHUT_WR);
    // The kernel answers a close with unread data waiting by a reset: what the peer sent and
    // nobody will read goes first, so that a graceful close stays one.
    char discard[4096];
    for (int round = 0; round < 256 && ::recv(socket_.get(), discard, sizeof discard, MSG_DONTWAIT) > 0; ++round) {
    }
  }
  CloseSocket();
  FireStatus(kEventDisconnected, code, text);
}

// ---------------------------------------------------------------- the socket's events

void KelplineControl::OnSocketEvents(uint32_t events) {
  com::ComPtr<KelplineControl> self(this);
  if (!HasSocket()) return;
  if (state_ == State::kConnecting) {
    FinishConnect(events);
    return;
  }
  if (state_ == State::kNegotiating) {
    Negotiate(events);
    return;
  }
  if (state_ == State::kHandshaking) {
    HandshakeEvents(events);
    return;
  }
  if ((events & (EPOLLIN | EPOLLERR | EPOLLHUP)) != 0) {
    if ((acceptData_ || getLineWaiting_) && pending_.empty()) {
      Receive();
    } else if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
      int error = 0;
      socklen_t length = sizeof(error);
      if (!sendBuffer_.empty() && ::getsockopt(socket_.get(), SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
          error != 0) {
        // Data still to send cannot go: that failure is told now, not when reading resumes.
        ConnectionFailed(net::SocketCodeFromErrno(error), /*duringReceive=*/false);
        return;
      }
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
  } else if (state_ == State::kNegotiating) {
    // Data the container queued waits until the path is open.
    events = EPOLLIN | (negotiationOutput_.empty() ? 0u : uint32_t{EPOLLOUT});
  } else if (state_ == State::kHandshaking) {
    // The handshake reads whatever AcceptData says; data the container queued waits for it.
    events = EPOLLIN | (sendBuffer_.empty() ? 0u : uint32_t{EPOLLOUT});
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
  // With TLS a read takes whole records, whatever room the splitter has: the plaintext is cut
  // into lines after decryption.
  const size_t size = TlsActive() ? kTlsReadSize : std::max<size_t>(Splitter().Room(), 1);
  std::string chunk(size, '\0');
  const ssize_t received = ::recv(socket_.get(), chunk.data(), chunk.size(), 0);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    ConnectionFailed(net::SocketCodeFromErrno(errno), /*duringReceive=*/true);
    return;
  }
  if (received == 0) {
    if (TlsActive()) {
      TlsPeerEnded();
    } else {
      PeerClosed();
    }
    return;
  }
  chunk.resize(static_cast<size_t>(received));
  if (TlsActive()) {
    NoteActivity();
    DriveTls(tls_->Feed(chunk));
  } else {
    TakeReceived(chunk);
  }
}

void KelplineControl::TakeReceived(std::string_view bytes) {
  NoteActivity();
  for (LinePiece& piece : Splitter().Push(bytes)) pending_.push_back(std::move(piece));
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
  streamEnded_ = true;
  DeliverPending();
  if (!HasSocket()) return;
  CloseSocket();
  FireConnectionStatus(kStatusRemoteDisconnected, 0, "");
  FireStatus(kEventDisconnected, 0, kStatusRemoteDisconnected);
}

void KelplineControl::ConnectionFailed(int32_t code, bool duringReceive) {
  const bool handshaking = state_ == State::kHandshaking;
  lastFailure_ = SocketError(code);
  const std::string text = lastFailure_.text;
  CloseSocket();
  if (handshaking) {
    // The connection was never made: the outcome of the connect.
    connectOutcome_ = lastFailure_;
    FireStatus(kEventError, code, text);
    FireStatus(kEventConnected, code, text);
    return;
  }
  if (duringReceive) {
    FireConnectionStatus(std::string(kStatusRecvError) + std::to_string(code), code, text);
  } else {
    FireStatus(kEventError, code, text);
  }
  FireStatus(kEventDisconnected, code, text);
}

// ---------------------------------------------------------------- sending

bool KelplineControl::FlushSend() {
  if (state_ != State::kConnected && state_ != State::kClosing && state_ != State::kHandshaking) return true;
  for (size_t round = 0; round < 1'000'000 && !sendBuffer_.empty(); ++round) {
    const ssize_t sent = ::send(socket_.get(), sendBuffer_.data(), sendBuffer_.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      ConnectionFailed(net::SocketCodeFromErrno(errno), /*duringReceive=*/false);
      return false;
    }
    sendBuffer_.erase(0, static_cast<size_t>(sent));
    NoteActivity();
  }
  return true;
}

HRESULT KelplineControl::QueueAndSend(std::string bytes) {
  AssertOwnThread();
  com::ComPtr<KelplineControl> self(this);
  bytesSent_ = 0;
  if (!HasSocket() || state_ == State::kClosing) return Fail(SocketError(10057));
  const size_t size = bytes.size();
  if (tlsOn_ && state_ != State::kConnected) {
    tlsPlaintext_ += bytes;  // sent once the session is open
  } else if (TlsActive()) {
    // With TLS the buffer holds records: what is sent of this is known when they are all gone.
    if (!tls_->Write(bytes)) return Fail(SocketError(10057));
    sendBuffer_ += tls_->TakeOutput();
  } else {
    sendBuffer_ += bytes;
  }
  auto sentOfThis = [&] { return static_cast<int32_t>(size - std::min(size, QueuedBytes())); };
  if (!FlushSend()) return Fail(lastFailure_);
  bytesSent_ = sentOfThis();
  if (QueuedBytes() == 0) return S_OK;
  // The rest goes when the socket can take it.
  readyToSendOwed_ = true;
  UpdateWatch();
  if (TimeoutDuration() <= 0ms) return Fail(SocketError(kErrWouldBlock));
  const WaitEnd end = WaitFor([&] { return QueuedBytes() == 0 || !HasSocket(); });
  if (HasSocket()) bytesSent_ = sentOfThis();
  if (end != WaitEnd::kDone) return WaitFailure(end);
  if (!HasSocket() && QueuedBytes() != 0) return Fail(kErrWait, kTextDisconnected);
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
  // Bounded by the deadline on the monotonic clock alone: a step that dispatches a message
  // returns at once, so no count of steps stands for an amount of time.
  for (;;) {
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
}

HRESULT KelplineControl::WaitFailure(WaitEnd end) {
  return Fail(kErrWait, end == WaitEnd::kTimeout ? kTextTimeout : kTextInterrupted);
}

// StartSSL on a plain connection: the handshake runs on it, waited for as a connect is.
HRESULT KelplineControl::BeginTlsOnOpenConnection() {
  connectOutcome_ = {};
  StartHandshake({});
  if (TimeoutDuration() <= 0ms) return S_OK;  // the outcome comes by Connected
  const WaitEnd end = WaitFor([&] { return state_ != State::kHandshaking; });
  if (end != WaitEnd::kDone) {
    CloseSocket();  // a connection half secured is of no use
    return WaitFailure(end);
  }
  if (connectOutcome_.code != 0) return Fail(connectOutcome_);
  return S_OK;
}

HRESULT KelplineControl::DoEvents() {
  AssertOwnThread();
  com::ComPtr<KelplineControl> self(this);
  (void)loop_->PumpStep(kWaitStep);
  return S_OK;
}

HRESULT KelplineControl::GetLine(BSTR* line) {
  if (line == nullptr) return com::E_POINTER;
  *line = nullptr;
  return com::CatchReturn([&]() -> HRESULT {
    AssertOwnThread();
    com::ComPtr<KelplineControl> self(this);
    if (!HasSocket()) return Fail(kErrWait, kTextDisconnected);
    if (TimeoutDuration() <= 0ms) return Fail(kErrWait, kTextGetLineNeedsTimeout);
    getLineWaiting_ = true;
    std::string gathered;
    std::optional<std::string> found;
    const size_t bound = static_cast<size_t>(settings_.maxLineLength * kGetLineBufferFactor);
    auto take = [&] {
      const bool hadPieces = !pending_.empty();
      while (!found && !pending_.empty()) {
        LinePiece piece = std::move(pending_.front());
        pending_.pop_front();
        gathered += piece.text;
        if (piece.eol) found = std::exchange(gathered, {});
        if (gathered.size() > bound) gathered.clear();
      }
      if (hadPieces) UpdateWatch();  // reading waits for the pieces to be taken
      return found.has_value() || !HasSocket();
    };
    if (HasSocket() && splitter_) (void)Splitter();  // a splitter without lines is re-made for GetLine
    UpdateWatch();
    const WaitEnd end = WaitFor(take);
    getLineWaiting_ = false;
    if (HasSocket() && splitter_) (void)Splitter();
    UpdateWatch();
    if (HasSocket() && !pending_.empty()) (void)loop_->PostMessage(*target_, kRetriggerMessage);
    if (found) return CopyOut(ReceivedToText(*found, /*flush=*/true), line);
    if (end != WaitEnd::kDone) return WaitFailure(end);
    return Fail(kErrWait, kTextDisconnected);
  });
}

// ---------------------------------------------------------------- events

template <class Event>
void KelplineControl::Fire(Event& event) {
  com::ComPtr<KelplineControl> self(this);
  com::FireEvent(ConnectionPoints().Find(IKelplineEvents::kIid), IKelplineEvents::kIid, event);
}

// Connected, Disconnected and Error: a status code and its text.
void KelplineControl::FireStatus(KelplineEvent id, int32_t code, std::string_view text) {
  auto fire = [&](auto event) {
    event.statusCode = StatusCode(code);
    event.description = text;
    Fire(event);
  };
  try {
    if (id == kEventConnected) {
      fire(ConnectedEvent{});
    } else if (id == kEventDisconnected) {
      fire(DisconnectedEvent{});
    } else {
      fire(ErrorEvent{});
    }
  } catch (const std::bad_alloc&) {
    if (id == kEventConnected) ReportFiringFailure("Connected");
    if (id == kEventDisconnected) ReportFiringFailure("Disconnected");
    // A failing Error event has nothing left to report through.
  }
}

void KelplineControl::FireConnectionStatus(std::string_view event, int32_t code, std::string_view text) {
  try {
    ConnectionStatusEvent status{.connectionEvent = std::string(event),
                                 .statusCode = StatusCode(code),
                                 .description = std::string(text)};
    Fire(status);
  } catch (const std::bad_alloc&) {
    ReportFiringFailure("ConnectionStatus");
  }
}

void KelplineControl::FireDataIn(const LinePiece& piece) {
  try {
    lastDataIn_ = piece.text;
    // A line ends its characters; a raw chunk may end inside one, whose rest comes with the next
    // chunk. The stream's last piece gives up what is left.
    const bool flush = piece.eol || (streamEnded_ && pending_.empty());
    DataInEvent event{.text = ReceivedToText(piece.text, flush), .eol = piece.eol};
    // A chunk that holds only the start of a character tells nothing yet: it comes with the rest.
    if (event.text.empty() && !piece.text.empty() && !piece.eol) return;
    Fire(event);
  } catch (const std::bad_alloc&) {
    ReportFiringFailure("DataIn");
  }
}

void KelplineControl::ReportFiringFailure(std::string_view event) noexcept {
  try {
    FireStatus(kEventError, kErrOutOfMemory, "Out of memory while firing " + std::string(event) + ".");
  } catch (const std::bad_alloc&) {
    // Nothing is left to tell the container with.
  }
}

void KelplineControl::FireSslStatus(std::string_view message) {
  try {
    SslStatusEvent event{.message = std::string(message)};
    Fire(event);
  } catch (const std::bad_alloc&) {
    ReportFiringFailure("SSLStatus");
  }
}

bool KelplineControl::FireServerAuthentication(bool acceptSoFar) {
  try {
    SslServerAuthenticationEvent event{.certEncoded = com::Utf16ToUtf8(sslServerCert_),
                                       .certSubject = tls_->CertificateSubject(),
                                       .certIssuer = tls_->CertificateIssuer(),
                                       .status = tls_->CertificateStatusText(),
                                       .accept = acceptSoFar};
    Fire(event);
    return event.accept;
  } catch (const std::bad_alloc&) {
    ReportFiringFailure("SSLServerAuthentication");
    return false;  // no decision is a refusal
  }
}

void KelplineControl::FireReadyToSend() {
  readyToSendOwed_ = false;
  ReadyToSendEvent event;
  Fire(event);
}

}  // namespace vorlane::tcpclient
