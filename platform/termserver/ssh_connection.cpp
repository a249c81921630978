#include "platform/termserver/ssh_connection.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/debuglog/debuglog.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/wait.h"

namespace vorlane::termserver {
namespace {

using namespace std::chrono_literals;

// The loop wakes at least this often to look at ShouldClose and the timers.
constexpr auto kPollInterval = 100ms;
constexpr size_t kWriteChunk = 32 * 1024;
constexpr size_t kReadChunk = 32 * 1024;
constexpr std::string_view kClosedByClient = "closed by the client";
// ssh_event_dopoll fails on EINTR too; only a long run of failures ends the connection.
constexpr int kMaxPollFailures = 50;
constexpr size_t kSftpLengthBytes = 4;

// The size of the SFTP packet that starts `input` (at least kSftpLengthBytes long): its length
// field and the bytes it counts.
size_t SftpPacketSize(std::string_view input) {
  size_t length = 0;
  for (size_t i = 0; i < kSftpLengthBytes; ++i) length = (length << 8) | static_cast<unsigned char>(input[i]);
  return kSftpLengthBytes + length;
}

// How many bytes of `input` go to the SFTP server next: one whole packet, so that its output
// can be looked at between packets; a packet larger than the input may hold goes in pieces
// (`pieceLeft` of it still to come), and the SFTP server refuses it if it is over its own limit.
size_t SftpSliceSize(std::string_view input, size_t pieceLeft) {
  if (pieceLeft > 0) return std::min(pieceLeft, input.size());
  if (input.size() < kSftpLengthBytes) return 0;
  const size_t whole = SftpPacketSize(input);
  if (whole <= input.size()) return whole;
  return whole > kMaxQueuedInputBytes ? input.size() : 0;
}

}  // namespace

SshServerConnection::SshServerConnection(Connection& connection, SshSessionPtr session)
    : connection_(connection), session_(std::move(session)) {}

SshServerConnection::~SshServerConnection() { Shutdown(); }

template <class Event>
void SshServerConnection::RaiseEvent(const char* what, Event&& event) {
  ++eventDepth_;
  try {
    event();
  } catch (const std::exception& error) {
    debuglog::Write(std::string("termserver: ssh ") + what + " failed: " + error.what());
  } catch (...) {
    debuglog::Write(std::string("termserver: ssh ") + what + " failed");
  }
  --eventDepth_;
}

void SshServerConnection::Run() {
  try {
    started_ = lastActivity_ = Clock::now();
    connection_.SetOutput(this);
    // Channels close once their last answer is out, and that is only seen when woken for it.
    connection_.AwaitAnswers(true);
    std::string reason = "key exchange failed";
    if (KeyExchange() && StartEventLoop()) {
      int pollFailures = 0;
      while ((reason = ReasonToEnd(Clock::now())).empty()) {
        if (!shellStarted_) AcknowledgeAtOnce();
        int rc = ssh_event_dopoll(event_.get(), NextPollTimeout(Clock::now()));
        pollFailures = rc == SSH_ERROR ? pollFailures + 1 : 0;
        if (pollFailures > kMaxPollFailures) {
          reason = "poll failed";
          break;
        }
        ProcessPending();
        if (std::exchange(wakeReady_, false)) RaiseEvent("output", [&] { connection_.DrainOutput(); });
        // By index and number: events may write, and writes may run callbacks that add channels.
        for (size_t i = 0; i < channels_.size(); ++i) ServeChannel(channels_[i]->number);
        for (size_t i = 0; i < channels_.size(); ++i) Flush(*channels_[i]);
        ReapChannels();
      }
    }
    // A client that left still has the requests it sent run (a logout among them); Ending()
    // would drop those not yet run.
    if (reason == kClosedByClient) {
      for (size_t i = 0; i < channels_.size(); ++i) {
        if (!std::exchange(channels_[i]->leftoversRaised, true)) RaiseLeftovers(channels_[i]->number);
      }
      WaitForRaisedRequests();
    }
    connection_.Ending();
    debuglog::Write("termserver: ssh connection from " + connection_.RemoteAddress() + " ends: " + reason);
  } catch (const std::exception& error) {
    debuglog::Write(std::string("termserver: ssh connection failed: ") + error.what());
  } catch (...) {
    debuglog::Write("termserver: ssh connection failed");
  }
  Shutdown();
  connection_.SetOutput(nullptr);
}

// Non-blocking, so that a client that stalls in the key exchange cannot hold the thread past
// the login time limit or a server stop.
bool SshServerConnection::KeyExchange() {
  ssh_session session = session_.get();
  ssh_callbacks_init(&serverCallbacks_);
  serverCallbacks_.userdata = this;
  serverCallbacks_.auth_password_function = &SshServerConnection::OnAuthPassword;
  serverCallbacks_.channel_open_request_session_function = &SshServerConnection::OnChannelOpen;
  if (ssh_set_server_callbacks(session, &serverCallbacks_) != SSH_OK) return false;
  ssh_set_message_callback(session, &SshServerConnection::OnMessage, this);
  ssh_set_auth_methods(session, SSH_AUTH_METHOD_PASSWORD | SSH_AUTH_METHOD_INTERACTIVE);
  ssh_set_blocking(session, 0);
  const auto deadline = started_ + kLoginTimeLimit;
  while (Clock::now() < deadline && !connection_.ShouldClose()) {
    int rc = ssh_handle_key_exchange(session);
    if (rc == SSH_OK) return true;
    if (rc != SSH_AGAIN) {
      debuglog::Write(std::string("termserver: ssh key exchange: ") + ssh_get_error(session));
      return false;
    }
    AcknowledgeAtOnce();
    pollfd socket{ssh_get_fd(session), POLLIN, 0};
    if (WaitReady(socket, Clock::now() + kPollInterval) < 0) return false;
  }
  return false;
}

// The key exchange and the login are rows of small packets; a client with Nagle's algorithm on
// sends each only once the previous one is acknowledged (its key exchange init and its key
// share go back to back). Acknowledging what was received at once (the kernel forgets the
// setting after each receive) spares it a delayed acknowledgement, about 40 ms, per step.
void SshServerConnection::AcknowledgeAtOnce() {
  const int one = 1;
  (void)::setsockopt(ssh_get_fd(session_.get()), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool SshServerConnection::StartEventLoop() {
  event_.reset(ssh_event_new());
  if (!event_) return false;
  sessionInEvent_ = ssh_event_add_session(event_.get(), session_.get()) == SSH_OK;
  if (!sessionInEvent_) return false;
  wakeInEvent_ = ssh_event_add_fd(event_.get(), connection_.WakeFd(), POLLIN, &SshServerConnection::OnWake, this) == SSH_OK;
  return wakeInEvent_;
}

std::string SshServerConnection::ReasonToEnd(Clock::time_point now) {
  if (connection_.ShouldClose()) return "closed by the server";
  if (loginFailed_) return "too many failed logins";
  if (outputOverflow_) return "the client does not read its output";
  for (const auto& channel : channels_) {
    if (!channel->output.empty() && now - channel->outputMoved >= kOutputStallLimit) {
      return "the client does not read its output";
    }
  }
  if (ClientGone()) return std::string(kClosedByClient);
  if (!authenticated_ && now - started_ >= kLoginTimeLimit) return "login time limit";
  // A client waiting for its answers is not idle.
  if (connection_.AnswersPending()) lastActivity_ = now;
  const auto idle = connection_.IdleTimeout();
  if (idle.count() > 0 && now - lastActivity_ >= idle) return "idle";
  return {};
}

int SshServerConnection::NextPollTimeout(Clock::time_point now) const {
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kPollInterval);
  for (const auto& channel : channels_) {
    if (HasWork(*channel)) return 0;
    // A channel that takes no requests now has no use for its quiet time either.
    const bool blocked = channel->output.size() >= kOutputHighMark || channel->requests.size() >= kMaxQueuedRequests;
    if (auto deadline = channel->framer.Deadline(); deadline && !blocked) {
      auto until = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
      wait = std::clamp(until, 0ms, wait);
    }
  }
  return static_cast<int>(wait.count());
}

SshServerConnection::Channel* SshServerConnection::FindChannel(int32_t number) {
  for (const auto& channel : channels_) {
    if (channel->number == number) return channel.get();
  }
  return nullptr;
}

void SshServerConnection::ProcessPending() {
  // One at a time: events raised here may write, and a write may run callbacks that queue more.
  while (!pending_.empty()) {
    Pending item = std::move(pending_.front());
    pending_.pop_front();
    Channel* channel = FindChannel(item.channel);
    if (channel == nullptr) continue;
    switch (item.kind) {
      case Pending::Kind::kStart: {
        channel->started = true;
        shellStarted_ = true;
        const int32_t number = channel->number;
        if (channel->kind == SshChannelKind::kShell) {
          RaiseEvent("ServiceStart", [&] { connection_.ServiceStart(number, kServiceApplication, "shell"); });
        } else {
          RaiseEvent("ServiceStart", [&] { connection_.ServiceStart(number, kServiceSftp, "sftp"); });
          RaiseEvent("SFTP start", [&] {
            channel->sftp = std::make_unique<SftpServer>(connection_, number, [this, number](std::string_view bytes) {
              if (Channel* target = FindChannel(number)) Send(*target, bytes);
            });
          });
          if (!channel->sftp) channel->closeNow = true;
        }
        break;
      }
      case Pending::Kind::kEof:
        channel->peerEof = true;
        NoteEndOfInput(*channel, Clock::now());
        break;
    }
  }
}

bool SshServerConnection::ClientGone() const {
  if (connection_.ShouldClose() || outputOverflow_ || loginFailed_) return false;  // our side ends it
  ssh_session session = session_.get();
  return (ssh_get_status(session) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0 || !ssh_is_connected(session);
}

bool SshServerConnection::SessionOpen() const {
  if (connection_.ShouldClose() || outputOverflow_ || loginFailed_) return false;
  ssh_session session = session_.get();
  if ((ssh_get_status(session) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0 || !ssh_is_connected(session)) return false;
  // A client that went away is gone before libssh has read the end of its socket.
  pollfd socket{ssh_get_fd(session), POLLRDHUP, 0};
  return WaitReady(socket, Clock::now()) <= 0 || (socket.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) == 0;
}

bool SshServerConnection::CanServe(const Channel& channel) const {
  return channel.started && !channel.closeNow && !channel.peerClosed && channel.handle &&
         !ssh_channel_is_closed(channel.handle.get()) && channel.output.size() < kOutputHighMark && SessionOpen();
}

bool SshServerConnection::HasWork(const Channel& channel) const {
  if (!channel.started || channel.closeNow || channel.peerClosed || channel.output.size() >= kOutputHighMark) {
    return false;
  }
  if (channel.kind == SshChannelKind::kSftp) {
    return WantsHeldInput(channel) || SftpSliceSize(channel.input, channel.sftpPieceLeft) > 0;
  }
  // The application has as many requests as it takes: the channel waits to be woken.
  if (connection_.InputHeld()) return false;
  if (WantsHeldInput(channel)) return true;
  return !channel.requests.empty() || (!channel.input.empty() && channel.requests.size() < kMaxQueuedRequests);
}

void SshServerConnection::ServeChannel(int32_t number) {
  for (size_t served = 0; served < kMaxQueuedRequests; ++served) {
    // Looked up again after every event: the client may have closed the channel meanwhile.
    Channel* channel = FindChannel(number);
    if (channel == nullptr || !CanServe(*channel)) return;
    if (channel->kind == SshChannelKind::kSftp) {
      FeedSftp(*channel);
      return;
    }
    if (connection_.InputHeld()) return;
    TakeHeldInput(*channel);
    FrameInput(*channel, Clock::now());
    if (channel->requests.empty()) return;
    std::string request = std::move(channel->requests.front());
    channel->requests.pop_front();
    channel->requestBytes -= request.size();
    RaiseEvent("Received", [&] { connection_.Received(number, std::move(request)); });
  }
}

bool SshServerConnection::WantsHeldInput(const Channel& channel) {
  if (!channel.inputHeld) return false;
  if (channel.kind == SshChannelKind::kSftp) return SftpSliceSize(channel.input, channel.sftpPieceLeft) == 0;
  return channel.input.empty();
}

// Takes everything libssh holds for the channel at once, and only once the channel has used
// up what it had: every read lets libssh widen the client's window to a full window again, so
// reading a part at a time would let its buffer grow by up to a window per read. So what the
// server holds for a channel stays within its own input bound plus libssh's window.
void SshServerConnection::TakeHeldInput(Channel& channel) {
  if (!WantsHeldInput(channel) || !channel.handle) return;
  // With bytes held this only reports their count; with none it handles the packets that have
  // come, which may run OnData.
  const int held = ssh_channel_poll(channel.handle.get(), 0);
  channel.inputHeld = false;  // an end or error is the loop's to see
  char buffer[kReadChunk];
  for (size_t left = held > 0 ? static_cast<size_t>(held) : 0; left > 0;) {
    const auto count = static_cast<uint32_t>(std::min(left, sizeof buffer));
    const int got = ssh_channel_read_nonblocking(channel.handle.get(), buffer, count, 0);
    if (got <= 0) break;
    channel.input.append(buffer, static_cast<size_t>(got));
    left -= std::min(left, static_cast<size_t>(got));
    lastActivity_ = Clock::now();
  }
}

void SshServerConnection::FrameInput(Channel& channel, Clock::time_point now) {
  if (channel.kind != SshChannelKind::kShell || !channel.started) return;
  // Up to one line end at a time, so that framing stops where the queue is full.
  std::string_view rest(channel.input);
  while (!rest.empty() && channel.requests.size() < kMaxQueuedRequests) {
    const size_t lineEnd = rest.find_first_of("\r\n");
    const size_t take = lineEnd == std::string_view::npos ? rest.size() : lineEnd + 1;
    for (auto& request : channel.framer.Feed(rest.substr(0, take), now)) {
      channel.requestBytes += request.size();
      channel.requests.push_back(std::move(request));
    }
    rest.remove_prefix(take);
  }
  channel.input.erase(0, channel.input.size() - rest.size());
  if (channel.framer.TakeTruncated()) {
    debuglog::Write("termserver: ssh request from " + connection_.RemoteAddress() + " cut to the size limit");
  }
  NoteEndOfInput(channel, now);
  if (!channel.input.empty() || channel.requests.size() >= kMaxQueuedRequests) return;
  if (auto request = channel.framer.Poll(now)) {
    channel.requestBytes += request->size();
    channel.requests.push_back(std::move(*request));
  }
}

void SshServerConnection::FeedSftp(Channel& channel) {
  const int32_t number = channel.number;
  // As many packets per pass as requests, so that one busy channel does not hold up the rest.
  size_t fed = 0;
  for (Channel* current = &channel; current != nullptr && fed < kMaxQueuedRequests && CanServe(*current);
       current = FindChannel(number), ++fed) {
    TakeHeldInput(*current);
    const size_t slice = SftpSliceSize(current->input, current->sftpPieceLeft);
    if (slice == 0) break;
    if (current->sftpPieceLeft > 0) {
      current->sftpPieceLeft -= slice;
    } else if (const size_t whole = SftpPacketSize(current->input); slice < whole) {
      current->sftpPieceLeft = whole - slice;
    }
    const std::string packet = current->input.substr(0, slice);
    current->input.erase(0, slice);
    bool understood = false;
    RaiseEvent("SFTP", [&] { understood = current->sftp && current->sftp->Feed(packet); });
    if (!understood) current->closeNow = true;
  }
  if (Channel* current = FindChannel(number)) NoteEndOfInput(*current, Clock::now());
}

void SshServerConnection::WaitForRaisedRequests() {
  const auto deadline = Clock::now() + kAnswerDrainTime;
  for (int round = 0; round < 1000 && connection_.AnswersPending() && !connection_.ShouldClose(); ++round) {
    const auto now = Clock::now();
    if (now >= deadline) break;
    pollfd wake{connection_.WakeFd(), POLLIN, 0};
    const int ready = WaitReady(wake, std::min(deadline, now + kPollInterval));
    if (ready < 0) break;
    // The answers have nowhere to go: drained, they are dropped by Write.
    if (ready > 0) RaiseEvent("output", [&] { connection_.DrainOutput(); });
  }
}

void SshServerConnection::RaiseLeftovers(int32_t number) {
  Channel* channel = FindChannel(number);
  // (A write that failed as the client went has marked the channel closeNow: that is no reason to
  // drop what it sent.)
  if (channel == nullptr || channel->kind != SshChannelKind::kShell || !channel->started) return;
  TakeHeldInput(*channel);
  size_t raised = 0;
  for (; raised < kMaxQueuedRequests; ++raised) {
    channel = FindChannel(number);
    if (channel == nullptr || connection_.ShouldClose() || connection_.InputHeld()) break;
    const auto now = Clock::now();
    FrameInput(*channel, now);
    if (channel->requests.empty() && channel->input.empty()) {
      // Every byte is framed and nothing more comes: a last request that ends with '#' is
      // complete without its quiet time.
      channel->framer.EndOfInput();
      if (auto deadline = channel->framer.Deadline()) {
        if (auto request = channel->framer.Poll(std::max(now, *deadline))) {
          channel->requestBytes += request->size();
          channel->requests.push_back(std::move(*request));
        }
      }
    }
    if (channel->requests.empty()) return;
    std::string request = std::move(channel->requests.front());
    channel->requests.pop_front();
    channel->requestBytes -= request.size();
    RaiseEvent("Received", [&] { connection_.Received(number, std::move(request)); });
  }
  channel = FindChannel(number);
  if (channel != nullptr && (!channel->requests.empty() || !channel->input.empty())) {
    debuglog::Write("termserver: ssh client at " + connection_.RemoteAddress() + " left with more requests waiting than " +
                    std::to_string(raised) + " raised after it; the rest are dropped");
  }
}

// The client's end of input counts once every byte it sent before it has been framed.
void SshServerConnection::NoteEndOfInput(Channel& channel, Clock::time_point now) {
  if (!channel.peerEof || channel.inputEnded || channel.inputHeld || !channel.input.empty()) return;
  channel.inputEnded = true;
  channel.eofAt = now;
  channel.framer.EndOfInput();
}

size_t SshServerConnection::QueuedOutput() const {
  size_t total = 0;
  for (const auto& channel : channels_) total += channel->output.size();
  return total;
}

void SshServerConnection::Write(int32_t number, std::string_view text) {
  Channel* channel = FindChannel(number);
  // The application writes only to channels it serves; anything else (a closed channel, an
  // SFTP stream) is dropped.
  if (channel == nullptr || channel->kind != SshChannelKind::kShell || !channel->started) return;
  Send(*channel, text);
}

void SshServerConnection::Send(Channel& channel, std::string_view bytes) {
  if (channel.closeNow || channel.peerClosed) return;
  if (QueuedOutput() + bytes.size() > kMaxQueuedOutputBytes) {
    outputOverflow_ = true;
    return;
  }
  if (channel.output.empty()) channel.outputMoved = Clock::now();
  channel.output.append(bytes);
  Flush(channel);
}

// Writes only what the peer's window takes, so that ssh_channel_write never waits for the
// window (which would poll, and run callbacks, from inside the write).
void SshServerConnection::Flush(Channel& channel) {
  if (callbackDepth_ > 0) return;  // inside a callback: the loop writes it afterwards
  size_t done = 0;
  while (done < channel.output.size() && channel.handle && ssh_channel_is_open(channel.handle.get())) {
    size_t window = ssh_channel_window_size(channel.handle.get());
    size_t size = std::min({channel.output.size() - done, window, kWriteChunk});
    if (size == 0) break;
    int written = ssh_channel_write(channel.handle.get(), channel.output.data() + done, static_cast<uint32_t>(size));
    if (written == SSH_ERROR) {
      channel.closeNow = true;
      break;
    }
    if (written <= 0) break;
    done += static_cast<size_t>(written);
  }
  channel.output.erase(0, done);
  if (done > 0) channel.outputMoved = Clock::now();
  if (channel.handle && !ssh_channel_is_open(channel.handle.get())) channel.output.clear();
}

void SshServerConnection::ReapChannels() {
  const auto now = Clock::now();
  for (size_t i = 0; i < channels_.size();) {
    Channel& channel = *channels_[i];
    bool remove = channel.peerClosed || channel.closeNow || ssh_channel_is_closed(channel.handle.get());
    if (remove && !channel.leftoversRaised && (channel.peerClosed || ClientGone())) {
      channel.leftoversRaised = true;
      RaiseLeftovers(channel.number);
      continue;  // looked at again: the events may have changed it (only this loop removes channels)
    }
    if (!remove && channel.inputEnded) {
      // The client is done sending: close once its last request is answered.
      bool drained = channel.requests.empty() && !channel.framer.Deadline() && channel.output.empty() &&
                     !connection_.AnswersPending();
      if (drained || now - channel.eofAt >= kAnswerDrainTime) {
        ssh_channel_request_send_exit_status(channel.handle.get(), 0);
        ssh_channel_send_eof(channel.handle.get());
        ssh_channel_close(channel.handle.get());
        remove = true;
      }
    }
    if (!remove) {
      ++i;
      continue;
    }
    // Out of the list first: freeing may poll, and callbacks may add channels meanwhile.
    std::unique_ptr<Channel> owned = std::move(channels_[i]);
    channels_.erase(channels_.begin() + static_cast<std::ptrdiff_t>(i));
    owned.reset();
  }
}

void SshServerConnection::Shutdown() {
  closing_ = true;
  if (event_ && wakeInEvent_) ssh_event_remove_fd(event_.get(), connection_.WakeFd());
  wakeInEvent_ = false;
  while (!channels_.empty()) {
    std::unique_ptr<Channel> owned = std::move(channels_.back());
    channels_.pop_back();
    owned.reset();
  }
  pending_.clear();
  if (!session_) return;
  // Out of the poll set before libssh closes the socket.
  if (event_ && sessionInEvent_) ssh_event_remove_session(event_.get(), session_.get());
  sessionInEvent_ = false;
  ssh_disconnect(session_.get());
  event_.reset();
  session_.reset();
}

}  // namespace vorlane::termserver
