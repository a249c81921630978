#include "platform/termserver/ssh_connection.h"

#include <poll.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "platform/debuglog/debuglog.h"
#include "platform/termserver/limits.h"

namespace vorlane::termserver {
namespace {

using namespace std::chrono_literals;

// The loop wakes at least this often to look at ShouldClose and the timers.
constexpr auto kPollInterval = 100ms;
// How long a channel the client half-closed may wait for its last output to go out.
constexpr auto kDrainAfterEof = 10s;
// Output a client does not read piles up to this size; then the connection ends.
constexpr size_t kMaxQueuedOutput = 16 * 1024 * 1024;
constexpr size_t kWriteChunk = 32 * 1024;
// ssh_event_dopoll fails on EINTR too; only a long run of failures ends the connection.
constexpr int kMaxPollFailures = 50;

}  // namespace

SshConnection::SshConnection(Connection& connection, SshSessionPtr session)
    : connection_(connection), session_(std::move(session)) {}

SshConnection::~SshConnection() { Shutdown(); }

template <class Event>
void SshConnection::RaiseEvent(const char* what, Event&& event) {
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

void SshConnection::Run() {
  try {
    started_ = lastActivity_ = Clock::now();
    connection_.SetOutput(this);
    std::string reason = "key exchange failed";
    if (KeyExchange() && StartEventLoop()) {
      int pollFailures = 0;
      while ((reason = ReasonToEnd(Clock::now())).empty()) {
        int rc = ssh_event_dopoll(event_.get(), NextPollTimeout(Clock::now()));
        pollFailures = rc == SSH_ERROR ? pollFailures + 1 : 0;
        if (pollFailures > kMaxPollFailures) {
          reason = "poll failed";
          break;
        }
        ProcessPending();
        if (std::exchange(wakeReady_, false)) RaiseEvent("output", [&] { connection_.DrainOutput(); });
        PollFramers();
        for (size_t i = 0; i < channels_.size(); ++i) Flush(*channels_[i]);
        ReapChannels();
      }
    }
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
bool SshConnection::KeyExchange() {
  ssh_session session = session_.get();
  ssh_callbacks_init(&serverCallbacks_);
  serverCallbacks_.userdata = this;
  serverCallbacks_.auth_password_function = &SshConnection::OnAuthPassword;
  serverCallbacks_.channel_open_request_session_function = &SshConnection::OnChannelOpen;
  if (ssh_set_server_callbacks(session, &serverCallbacks_) != SSH_OK) return false;
  ssh_set_message_callback(session, &SshConnection::OnMessage, this);
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
    pollfd socket{ssh_get_fd(session), POLLIN, 0};
    if (::poll(&socket, 1, static_cast<int>(kPollInterval.count())) < 0 && errno != EINTR) return false;
  }
  return false;
}

bool SshConnection::StartEventLoop() {
  event_.reset(ssh_event_new());
  if (!event_) return false;
  sessionInEvent_ = ssh_event_add_session(event_.get(), session_.get()) == SSH_OK;
  if (!sessionInEvent_) return false;
  wakeInEvent_ = ssh_event_add_fd(event_.get(), connection_.WakeFd(), POLLIN, &SshConnection::OnWake, this) == SSH_OK;
  return wakeInEvent_;
}

std::string SshConnection::ReasonToEnd(Clock::time_point now) {
  if (connection_.ShouldClose()) return "closed by the server";
  if (loginFailed_) return "too many failed logins";
  if (outputOverflow_) return "the client does not read its output";
  if ((ssh_get_status(session_.get()) & (SSH_CLOSED | SSH_CLOSED_ERROR)) != 0 || !ssh_is_connected(session_.get())) {
    return "closed by the client";
  }
  if (!authenticated_ && now - started_ >= kLoginTimeLimit) return "login time limit";
  const auto idle = connection_.IdleTimeout();
  if (idle.count() > 0 && now - lastActivity_ >= idle) return "idle";
  return {};
}

int SshConnection::NextPollTimeout(Clock::time_point now) const {
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kPollInterval);
  for (const auto& channel : channels_) {
    if (auto deadline = channel->framer.Deadline()) {
      auto until = std::chrono::ceil<std::chrono::milliseconds>(*deadline - now);
      wait = std::clamp(until, 0ms, wait);
    }
  }
  return static_cast<int>(wait.count());
}

SshConnection::Channel* SshConnection::FindChannel(int32_t number) {
  for (const auto& channel : channels_) {
    if (channel->number == number) return channel.get();
  }
  return nullptr;
}

void SshConnection::ProcessPending() {
  // One at a time: events raised here may write, and a write may run callbacks that queue more.
  while (!pending_.empty()) {
    Pending item = std::move(pending_.front());
    pending_.pop_front();
    Channel* channel = FindChannel(item.channel);
    if (channel == nullptr) continue;
    switch (item.kind) {
      case Pending::Kind::kStart: {
        channel->started = true;
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
      case Pending::Kind::kData:
        lastActivity_ = Clock::now();
        if (channel->started) DeliverData(*channel, item.data);
        break;
      case Pending::Kind::kEof:
        channel->peerEof = true;
        channel->eofAt = Clock::now();
        channel->framer.EndOfInput();
        break;
      case Pending::Kind::kClose:
        channel->peerClosed = true;
        break;
    }
  }
}

void SshConnection::DeliverData(Channel& channel, const std::string& data) {
  const int32_t number = channel.number;
  if (channel.kind == SshChannelKind::kSftp) {
    bool understood = false;
    RaiseEvent("SFTP", [&] { understood = channel.sftp && channel.sftp->Feed(data); });
    if (!understood) channel.closeNow = true;
    return;
  }
  for (auto& request : channel.framer.Feed(data, Clock::now())) {
    RaiseEvent("Received", [&] { connection_.Received(number, std::move(request)); });
  }
  if (channel.framer.TakeTruncated()) {
    debuglog::Write("termserver: ssh request from " + connection_.RemoteAddress() + " cut to the size limit");
  }
}

void SshConnection::PollFramers() {
  const auto now = Clock::now();
  for (size_t i = 0; i < channels_.size(); ++i) {
    Channel* channel = channels_[i].get();
    if (channel->kind != SshChannelKind::kShell || !channel->started) continue;
    while (auto request = channel->framer.Poll(now)) {
      const int32_t number = channel->number;
      RaiseEvent("Received", [&] { connection_.Received(number, std::move(*request)); });
    }
  }
}

void SshConnection::Write(int32_t number, std::string_view text) {
  Channel* channel = FindChannel(number);
  // The application writes only to channels it serves; anything else (a closed channel, an
  // SFTP stream) is dropped.
  if (channel == nullptr || channel->kind != SshChannelKind::kShell || !channel->started) return;
  Send(*channel, text);
}

void SshConnection::Send(Channel& channel, std::string_view bytes) {
  if (channel.closeNow || channel.peerClosed) return;
  if (channel.output.size() + bytes.size() > kMaxQueuedOutput) {
    outputOverflow_ = true;
    return;
  }
  channel.output.append(bytes);
  Flush(channel);
}

// Writes only what the peer's window takes, so that ssh_channel_write never waits for the
// window (which would poll, and run callbacks, from inside the write).
void SshConnection::Flush(Channel& channel) {
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
  if (channel.handle && !ssh_channel_is_open(channel.handle.get())) channel.output.clear();
}

void SshConnection::ReapChannels() {
  const auto now = Clock::now();
  for (size_t i = 0; i < channels_.size();) {
    Channel& channel = *channels_[i];
    bool remove = channel.peerClosed || channel.closeNow || ssh_channel_is_closed(channel.handle.get());
    if (!remove && channel.peerEof) {
      // The client is done sending: close once its last request is answered.
      bool drained = !channel.framer.Deadline() && channel.output.empty();
      if (drained || now - channel.eofAt >= kDrainAfterEof) {
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

void SshConnection::Shutdown() {
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
