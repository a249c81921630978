// The server side of one SSH connection, after the TCP accept: key exchange, logins, session
// channels and their services, driven by one ssh_event on the connection thread.
//
// libssh runs our callbacks from inside ssh_event_dopoll (and, rarely, from inside a channel
// write that has to wait for the socket). The callbacks therefore only decide what libssh needs
// an immediate answer for (a login, a channel request) and queue everything else; the events
// that let the application send (ServiceStart, Received, SFTP) are raised from the loop, where
// writing to a channel cannot re-enter a callback that is still running.
//
// Input is bounded per channel: OnData takes only what fits (kMaxQueuedInputBytes, and no more
// framing beyond kMaxQueuedRequests waiting requests); libssh keeps the rest in the channel's
// buffer and stops widening the client's window, so SSH's own flow control holds the client
// back. libssh calls OnData only when new data arrives, so the loop pulls the held bytes once
// the channel has used up its input; it takes them all at once, since each read widens the
// window again (see TakeHeldInput). A channel whose output the client does not take gets no
// further requests; output is bounded per connection and must keep moving (kOutputStallLimit).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/termserver/connection.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/request_framer.h"
#include "platform/termserver/sftp_server.h"
#include "platform/termserver/ssh_handles.h"

#include <libssh/callbacks.h>

namespace vorlane::termserver {

class SshServerConnection final : public ConnectionOutput {
 public:
  // `session` has been accepted on the socket (ssh_bind_accept_fd) and is owned from now on.
  SshServerConnection(Connection& connection, SshSessionPtr session);
  ~SshServerConnection();
  SshServerConnection(const SshServerConnection&) = delete;
  SshServerConnection& operator=(const SshServerConnection&) = delete;

  // Serves the connection until it ends; never throws.
  void Run();

  // ConnectionOutput: the application's text for one of its channels.
  void Write(int32_t channel, std::string_view text) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Channel;
  struct Pending;
  class CallbackScope;

  bool KeyExchange();
  void AcknowledgeAtOnce();
  bool StartEventLoop();
  std::string ReasonToEnd(Clock::time_point now);
  int NextPollTimeout(Clock::time_point now) const;
  void ProcessPending();
  // Raises the requests (or feeds the SFTP packets) that channel `number` has waiting, as many
  // as one queue holds, checking before each that the channel and the session are still there.
  void ServeChannel(int32_t number);
  bool CanServe(const Channel& channel) const;
  // The loop has something to do for the channel without waiting for the socket.
  bool HasWork(const Channel& channel) const;
  bool SessionOpen() const;
  // The client has ended the connection (the server did not).
  bool ClientGone() const;
  // libssh holds bytes OnData could not take, and the channel can do nothing more without them.
  static bool WantsHeldInput(const Channel& channel);
  // Pulls the bytes libssh holds for the channel.
  void TakeHeldInput(Channel& channel);
  // Cuts the channel's input into requests while the queue has room.
  void FrameInput(Channel& channel, Clock::time_point now);
  // Feeds the SFTP server whole packets while the channel's output is below the mark.
  void FeedSftp(Channel& channel);
  void NoteEndOfInput(Channel& channel, Clock::time_point now);
  // The client closed the channel, or went, with requests still waiting: they are raised all the
  // same, up to one queue's worth and while the application takes them, so that a client that
  // sends its logout and leaves at once does not leave its session behind. Their answers have
  // nowhere to go; what is beyond one queue is dropped, so a client that leaves mid-flood keeps
  // the application busy no longer than that.
  void RaiseLeftovers(int32_t number);
  // Once the client has gone: waits (kAnswerDrainTime at most) until the application has run the
  // requests raised for it, draining their answers into channels that are no more.
  void WaitForRaisedRequests();
  size_t QueuedOutput() const;
  void Send(Channel& channel, std::string_view bytes);
  void Flush(Channel& channel);
  void ReapChannels();
  void Shutdown();
  Channel* FindChannel(int32_t number);
  template <class Event>
  void RaiseEvent(const char* what, Event&& event);
  bool CheckPassword(std::string_view user, std::string_view password);

  // libssh callbacks; `userdata` is this connection or one of its channels.
  static int OnAuthPassword(ssh_session, const char* user, const char* password, void* userdata);
  static int OnMessage(ssh_session, ssh_message message, void* userdata);
  static ssh_channel OnChannelOpen(ssh_session, void* userdata);
  static int OnWake(socket_t fd, int revents, void* userdata);
  static int OnData(ssh_session, ssh_channel, void* data, uint32_t length, int isStderr, void* userdata);
  static void OnEof(ssh_session, ssh_channel, void* userdata);
  static void OnClose(ssh_session, ssh_channel, void* userdata);
  static int OnPty(ssh_session, ssh_channel, const char*, int, int, int, int, void* userdata);
  static int OnWindowChange(ssh_session, ssh_channel, int, int, int, int, void* userdata);
  static int OnShell(ssh_session, ssh_channel, void* userdata);
  static int OnExec(ssh_session, ssh_channel, const char* command, void* userdata);
  static int OnSubsystem(ssh_session, ssh_channel, const char* name, void* userdata);
  int ChannelRequest(Channel& channel, int32_t requestedType);

  Connection& connection_;
  // Declared in this order so that channels go before the event, and the event before the
  // session they belong to.
  SshSessionPtr session_;
  SshEventPtr event_;
  std::vector<std::unique_ptr<Channel>> channels_;
  std::deque<Pending> pending_;
  ssh_server_callbacks_struct serverCallbacks_{};

  int callbackDepth_ = 0;  // > 0 while libssh runs one of our callbacks
  int eventDepth_ = 0;     // > 0 while an event raised from the loop runs
  bool sessionInEvent_ = false;
  bool wakeInEvent_ = false;
  bool wakeReady_ = false;
  bool closing_ = false;
  bool authenticated_ = false;
  bool shellStarted_ = false;  // a service has started: the login dialogue is over
  bool loginFailed_ = false;
  bool outputOverflow_ = false;
  int failedLogins_ = 0;
  int32_t nextChannel_ = 0;
  std::string kbdintUser_;
  Clock::time_point started_;
  Clock::time_point lastActivity_;
};

enum class SshChannelKind { kUndecided, kShell, kSftp };

struct SshServerConnection::Channel {
  Channel() = default;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;
  // Callbacks go before the channel is freed: libssh may keep a freed channel until the peer
  // confirms the close, and must not call into a Channel that no longer exists.
  ~Channel() {
    if (handle) ssh_remove_channel_callbacks(handle.get(), &callbacks);
  }

  SshServerConnection* owner = nullptr;
  int32_t number = 0;
  SshChannelPtr handle;
  ssh_channel_callbacks_struct callbacks{};
  SshChannelKind kind = SshChannelKind::kUndecided;
  bool started = false;      // ServiceStart has been raised
  bool peerEof = false;      // the client sends nothing more
  bool peerClosed = false;
  bool closeNow = false;     // our side gives up on the channel
  bool leftoversRaised = false;  // the requests left when the client ended have been raised
  bool inputHeld = false;    // libssh holds bytes that OnData had no room for
  bool inputEnded = false;   // end of input seen and every byte before it framed
  Clock::time_point eofAt{};  // when inputEnded became true
  std::string input;         // received, not yet framed (or fed to SFTP)
  std::deque<std::string> requests;  // framed, not yet raised
  size_t requestBytes = 0;   // the size of `requests`
  size_t sftpPieceLeft = 0;  // bytes of an SFTP packet too large to wait for, still to feed
  RequestFramer framer;
  std::unique_ptr<SftpServer> sftp;
  std::string output;        // not yet written: window full, or queued inside a callback
  Clock::time_point outputMoved{};  // when output last went out, or became non-empty

  // How many more received bytes the channel takes now.
  size_t InputRoom() const {
    const size_t held = input.size() + requestBytes;
    return held >= kMaxQueuedInputBytes ? 0 : kMaxQueuedInputBytes - held;
  }
};

struct SshServerConnection::Pending {
  enum class Kind { kStart, kEof };
  Kind kind;
  int32_t channel;
};

// Marks the time libssh spends in one of our callbacks (writes are only queued meanwhile).
class SshServerConnection::CallbackScope {
 public:
  explicit CallbackScope(SshServerConnection& owner) : owner_(owner) { ++owner_.callbackDepth_; }
  ~CallbackScope() { --owner_.callbackDepth_; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;

 private:
  SshServerConnection& owner_;
};

}  // namespace vorlane::termserver
