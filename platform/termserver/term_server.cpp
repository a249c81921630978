#include "platform/termserver/term_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

#include "platform/base/config_dir.h"
#include "platform/com/apartment.h"
#include "platform/com/error_info.h"
#include "platform/com/module_thread.h"
#include "platform/com/text.h"
#include "platform/com/text_out.h"
#include "platform/debuglog/debuglog.h"
#include "platform/loop/message_loop.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/listener.h"
#include "platform/termserver/log_rate_limit.h"
#include "platform/termserver/served_connection.h"
#include "platform/termserver/server_core.h"
#include "platform/termserver/telnet_session.h"
#include "platform/termserver/unauthenticated_limit.h"
#include "platform/termserver/user_object.h"
#include "platform/termserver/wait.h"

namespace vorlane::termserver {

using namespace vorlane::com;

namespace {

// No idle limit set: connections may stay as long as they like (a year is as good as forever).
constexpr std::chrono::seconds kNoIdleLimit{365 * 24 * 3600};

void ServeConnection(const std::shared_ptr<ServerCore>& core, UniqueFd socket,
                     const std::shared_ptr<ConnectionState>& state, UnauthenticatedPlace place) {
  const std::string& address = state->remoteAddress;
  try {
    ComPtr<UserObject> user = Make<UserObject>(state);
    ServedConnection connection(core, state, ComPtr<IDispatch>(user.get()), std::move(place));
    if (connection.Connecting()) {
      if (core->telnet) {
        ServeTelnet(std::move(socket), connection);
      } else {
        core->ssh->Serve(std::move(socket), connection);
      }
    }
    connection.Disconnected();
  } catch (const std::exception& e) {
    debuglog::Write(std::string("TermServer: connection from ") + address + " ended by an error: " + e.what());
  } catch (...) {
    debuglog::Write("TermServer: connection from " + address + " ended by an error");
  }
}

using Outcome = UnauthenticatedLimit::Outcome;

std::string NotLoggedInText(const std::string& address, const UnauthenticatedLimit& limit) {
  return std::to_string(limit.CountFor(address)) + " connections from " + address + " and " +
         std::to_string(limit.Total()) + " in all have not logged in yet";
}

}  // namespace

// A started server: its listener, its threads and the state they share.
struct Runner {
  std::shared_ptr<ServerCore> core;
  UniqueFd listener;
  std::unique_ptr<loop::WaitableThread> acceptThread;
  std::mutex lock;
  std::vector<std::shared_ptr<loop::WaitableThread>> threads;  // guarded by lock
  // Used by the accept thread only: the pace of the log lines of each kind of refusal, hold and
  // eviction.
  LogRateLimit refusalLog{kRefusalLogInterval};
  LogRateLimit heldLog{kRefusalLogInterval};
  LogRateLimit evictionLog{kRefusalLogInterval};
  LogRateLimit expiryLog{kRefusalLogInterval};
  LogRateLimit fullLog{kRefusalLogInterval};

  void AcceptLoop();
  void Accept();
  // Serves the connections that have their place now.
  void AdmitHeld();
  void Serve(UnauthenticatedLimit::Admission admission);
  void Spawn(UniqueFd socket, std::shared_ptr<ConnectionState> state, UnauthenticatedPlace place);
  // The connection threads to wait for: a snapshot, so that their events stay open while polled.
  std::vector<std::shared_ptr<loop::WaitableThread>> Connections();
  // Joins the connection threads that have ended, which closes what each held.
  void JoinEnded();
  static void Note(LogRateLimit& pace, std::string line);
};

void Runner::Note(LogRateLimit& pace, std::string line) {
  if (std::optional<size_t> heldBack = pace.Allow(LogRateLimit::Clock::now())) {
    if (*heldBack > 0) line += "; " + std::to_string(*heldBack) + " more since the last such line";
    debuglog::Write(line);
  }
}

void Runner::Serve(UnauthenticatedLimit::Admission admission) {
  if (core->active.load() >= kMaxConnections) {
    Note(fullLog, "TermServer: " + std::to_string(kMaxConnections) + " connections open, refused " + admission.address);
    return;
  }
  auto state = std::make_shared<ConnectionState>(admission.address);
  // Bound before any later arrival can take its place, so that one can tell it to go.
  core->unauthenticated->Bind(admission.place, state);
  Spawn(std::move(admission.socket), std::move(state), std::move(admission.place));
}

void Runner::Spawn(UniqueFd socket, std::shared_ptr<ConnectionState> state, UnauthenticatedPlace place) {
  // The socket and the connection's place among those not logged in yet stay owned until the
  // thread takes them: a thread that cannot start closes the socket and gives back both places
  // (among the active connections and among those not logged in) with the function object.
  struct Handoff {
    UniqueFd socket;
    UnauthenticatedPlace place;
  };
  auto handoff = std::make_shared<Handoff>(Handoff{std::move(socket), std::move(place)});
  core->active++;
  std::shared_ptr<loop::WaitableThread> thread;
  try {
    thread = MakeModuleThread([core = core, handoff, state] {
      ServeConnection(core, std::move(handoff->socket), state, std::move(handoff->place));
      core->active--;
    });
  } catch (const std::exception& e) {
    core->active--;
    debuglog::Write("TermServer: cannot serve " + state->remoteAddress + ": " + e.what());
    return;
  }
  std::lock_guard guard(lock);
  threads.push_back(std::move(thread));
}

std::vector<std::shared_ptr<loop::WaitableThread>> Runner::Connections() {
  std::lock_guard guard(lock);
  return threads;
}

void Runner::JoinEnded() {
  std::vector<std::shared_ptr<loop::WaitableThread>> ended;
  {
    std::lock_guard guard(lock);
    auto end = std::partition(threads.begin(), threads.end(),
                              [](const std::shared_ptr<loop::WaitableThread>& t) { return !t->Ended().IsSet(); });
    ended.assign(std::make_move_iterator(end), std::make_move_iterator(threads.end()));
    threads.erase(end, threads.end());
  }
  // Destroyed outside the lock: each waits for its thread's own teardown.
  ended.clear();
}

void Runner::AdmitHeld() {
  core->unauthenticated->Ready().ResetEvent();
  size_t expired = 0;
  std::vector<UnauthenticatedLimit::Admission> admitted =
      core->unauthenticated->TakeAdmitted(UnauthenticatedLimit::Clock::now(), expired);
  if (expired > 0) {
    Note(expiryLog, "TermServer: closed " + std::to_string(expired) + " connection(s) that waited " +
                        std::to_string(kLoginTimeLimit.count()) + " s for a place without getting one");
  }
  for (auto& admission : admitted) Serve(std::move(admission));
}

// Waits for a connection, the stop, a place for a held connection, or the end of a connection
// thread: a thread that has ended is joined at once, so that a burst of connections leaves
// nothing open once it is over.
void Runner::AcceptLoop() {
  std::vector<pollfd> fds;
  while (!core->Stopping()) {
    std::vector<std::shared_ptr<loop::WaitableThread>> connections = Connections();
    fds.assign({{listener.get(), POLLIN, 0},
                {core->stopFd.get(), POLLIN, 0},
                {core->unauthenticated->Ready().Fd(), POLLIN, 0}});
    for (const auto& connection : connections) fds.push_back({connection->Ended().Fd(), POLLIN, 0});
    const auto expiry = core->unauthenticated->NextExpiry();
    const int ready = WaitReady(fds, expiry);
    if (ready < 0) {
      debuglog::Write(std::string("TermServer: poll failed: ") + ::strerror(errno));
      break;
    }
    if (fds[1].revents != 0) break;
    if (std::any_of(fds.begin() + 3, fds.end(), [](const pollfd& fd) { return fd.revents != 0; })) {
      connections.clear();
      JoinEnded();
    }
    // A place given back, or a held connection's time up (however busy the listener keeps us).
    if (fds[2].revents != 0 || (expiry && *expiry <= UnauthenticatedLimit::Clock::now())) AdmitHeld();
    if (fds[0].revents != 0) Accept();
  }
  core->unauthenticated->CloseHeld();
}

void Runner::Accept() {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  UniqueFd socket(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC));
  if (!socket) {
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      debuglog::Write(std::string("TermServer: cannot accept a connection: ") + ::strerror(errno));
      pollfd stop{core->stopFd.get(), POLLIN, 0};
      // Lets descriptors free up instead of spinning.
      (void)WaitReady(stop, WaitClock::now() + std::chrono::milliseconds(100));
    }
    return;
  }
  // Requests and answers are small and interactive: send them at once.
  int one = 1;
  (void)::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const std::string address = AddressText(peer);
  // A refused connection is closed here, and a held one waits here, before a byte of the
  // protocol and before the application hears of it.
  UnauthenticatedLimit& limit = *core->unauthenticated;
  UnauthenticatedLimit::Arrival arrival = limit.Arrive(std::move(socket), address, UnauthenticatedLimit::Clock::now());
  switch (arrival.outcome) {
    case Outcome::kAdmitted:
      break;
    case Outcome::kAdmittedInPlaceOfAnother:
      Note(evictionLog, "TermServer: closed the longest-waiting connection from " + arrival.evictedAddress +
                            " that had not logged in yet, to make room for " + address + " (" +
                            std::to_string(kMaxUnauthenticated) + " connections had not logged in yet, " +
                            arrival.evictedAddress + " held the most of them)");
      break;
    case Outcome::kHeld:
      Note(heldLog, "TermServer: a connection from " + address + " waits for a place: " +
                        NotLoggedInText(address, limit));
      return;
    case Outcome::kAddressQueueFull:
    case Outcome::kQueueFull:
      Note(refusalLog, "TermServer: refused " + address + ": " + NotLoggedInText(address, limit) + ", and " +
                           (arrival.outcome == Outcome::kAddressQueueFull
                                ? std::to_string(kMaxHeldPerAddress) + " from this address wait for a place already"
                                : std::to_string(kMaxHeld) + " wait for a place already"));
      return;
  }
  Serve(std::move(*arrival.admitted));
}

HRESULT KeysObject::PrepareKeys(HostKeyState& state) {
  std::lock_guard lock(state.lock);
  if (state.files) return S_OK;
  Result<HostKeyFiles> files = PrepareHostKeys(StateDirectory());
  if (!files) {
    return SetErrorAndReturn(HresultFromErrno(files.error().code ? files.error().code : EIO), ITermKeys::kIid,
                             u"TermServer", Utf8ToUtf16("Cannot prepare the SSH host keys: " + files.error().message));
  }
  state.files = files.value();
  return S_OK;
}

HRESULT KeysObject::Prepare(com::VARIANT /*kind*/, com::VARIANT /*name*/) { return PrepareKeys(*state_); }

TermServer::TermServer() : keys_(Make<KeysObject>(keyState_)) { ConnectionPoints().Add(ITermServerEvents::kIid); }

TermServer::~TermServer() {
  StopServing();
  ConnectionPoints().DisconnectAll();
}

HRESULT TermServer::Fail(HRESULT hr, const std::string& description) {
  debuglog::Write("TermServer: " + description);
  return SetErrorAndReturn(hr, ITermServer::kIid, u"TermServer", Utf8ToUtf16(description));
}

HRESULT TermServer::StartServing() {
  affinity_.Assert();
  std::lock_guard lock(lock_);
  if (runner_) return Fail(E_UNEXPECTED, "The server is already listening.");
  if (protocol_ != kProtocolTelnet && protocol_ != kProtocolSsh) {
    return Fail(E_INVALIDARG, "Choose the protocol (1 Telnet, 3 SSH) before starting.");
  }
  auto runner = std::make_shared<Runner>();
  runner->core = std::make_shared<ServerCore>();
  ServerCore& core = *runner->core;
  core.owner = CurrentApartment();
  core.events = ComPtr<ConnectionPoint>(ConnectionPoints().Find(ITermServerEvents::kIid));
  core.telnet = protocol_ == kProtocolTelnet;
  core.idleTimeout = idleTimeoutSeconds_ > 0 ? std::chrono::seconds(idleTimeoutSeconds_) : kNoIdleLimit;
  if (!core.telnet) {
    VORLANE_RETURN_IF_FAILED(KeysObject::PrepareKeys(*keyState_));
    HostKeyFiles files;
    {
      std::lock_guard keyLock(keyState_->lock);
      files = *keyState_->files;
    }
    Result<std::unique_ptr<SshServer>> ssh = SshServer::Create(files);
    if (!ssh) return Fail(E_FAIL, "Cannot set up the SSH server: " + ssh.error().message);
    core.ssh = std::move(ssh).value();
  }
  Result<UniqueFd> listener = OpenListener(bindAddress_, port_);
  if (!listener) {
    return Fail(HresultFromErrno(listener.error().code),
                "Cannot listen on [" + bindAddress_ + "]:" + std::to_string(port_) + ": " + listener.error().message);
  }
  runner->listener = std::move(listener).value();
  // A thread that cannot start throws: the call fails, and the runner goes with its listener.
  runner->acceptThread = MakeModuleThread([runner] { runner->AcceptLoop(); });
  runner_ = std::move(runner);
  return S_OK;
}

void TermServer::StopServing() {
  std::shared_ptr<Runner> runner;
  {
    std::lock_guard lock(lock_);
    runner = std::move(runner_);
  }
  if (!runner) return;
  runner->core->RequestStop();
  const auto deadline = std::chrono::steady_clock::now() + kStopDeadline;
  auto left = [&] {
    return std::max(std::chrono::milliseconds(0), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                      deadline - std::chrono::steady_clock::now()));
  };
  if (!runner->acceptThread->Join(left())) runner->acceptThread->Abandon();
  std::vector<std::shared_ptr<loop::WaitableThread>> threads;
  {
    std::lock_guard lock(runner->lock);
    threads.swap(runner->threads);
  }
  size_t abandoned = 0;
  for (auto& thread : threads) {
    if (!thread->Join(left())) {
      thread->Abandon();
      ++abandoned;
    }
  }
  if (abandoned > 0) debuglog::Write("TermServer: stopped; " + std::to_string(abandoned) + " connection(s) still closing");
}

HRESULT TermServer::Start(com::VARIANT /*reserved*/) {
  return com::CatchReturn([&] { return StartServing(); });
}

HRESULT TermServer::Stop() {
  return com::CatchReturn([&] {
    StopServing();
    return S_OK;
  });
}

HRESULT TermServer::put_BindAddress(BSTR value) {
  affinity_.Assert();
  return com::CatchReturn([&] {
    std::string address = Utf16ToUtf8(TextOf(value));
    std::lock_guard lock(lock_);
    bindAddress_ = std::move(address);
    return S_OK;
  });
}

HRESULT TermServer::get_BindAddress(BSTR* value) {
  affinity_.Assert();
  return com::CatchReturn([&] {
    std::lock_guard lock(lock_);
    return CopyOutUtf8(bindAddress_, value);
  });
}

HRESULT TermServer::get_Keys(ITermKeys** value) {
  affinity_.Assert();
  if (value == nullptr) return E_POINTER;
  *value = keys_.get();
  (*value)->AddRef();
  return S_OK;
}

HRESULT TermServer::put_IdleTimeout(int32_t seconds) {
  affinity_.Assert();
  return com::CatchReturn([&] {
    if (seconds < 0) return Fail(E_INVALIDARG, "The idle timeout cannot be negative.");
    std::lock_guard lock(lock_);
    idleTimeoutSeconds_ = seconds;
    return S_OK;
  });
}

HRESULT TermServer::get_IdleTimeout(int32_t* value) {
  affinity_.Assert();
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(lock_);
  *value = idleTimeoutSeconds_;
  return S_OK;
}

HRESULT TermServer::put_Port(int32_t port) {
  affinity_.Assert();
  std::lock_guard lock(lock_);
  port_ = port;
  return S_OK;
}

HRESULT TermServer::get_Port(int32_t* value) {
  affinity_.Assert();
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(lock_);
  // Once listening, the port really bound (a requested port 0 becomes a free one).
  *value = runner_ ? static_cast<int32_t>(BoundPort(runner_->listener.get())) : port_;
  return S_OK;
}

HRESULT TermServer::put_AuthMode(int32_t mode) {
  affinity_.Assert();
  return com::CatchReturn([&] {
    if (mode != 0) return Fail(E_INVALIDARG, "Only password logins (mode 0) are offered.");
    std::lock_guard lock(lock_);
    authMode_ = mode;
    return S_OK;
  });
}

HRESULT TermServer::get_AuthMode(int32_t* value) {
  affinity_.Assert();
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(lock_);
  *value = authMode_;
  return S_OK;
}

HRESULT TermServer::put_Protocol(int32_t protocol) {
  affinity_.Assert();
  return com::CatchReturn([&] {
    if (protocol != kProtocolTelnet && protocol != kProtocolSsh) {
      return Fail(E_INVALIDARG, "Unknown protocol " + std::to_string(protocol) + " (1 Telnet, 3 SSH).");
    }
    std::lock_guard lock(lock_);
    protocol_ = protocol;
    return S_OK;
  });
}

HRESULT TermServer::get_Protocol(int32_t* value) {
  affinity_.Assert();
  if (value == nullptr) return E_POINTER;
  std::lock_guard lock(lock_);
  *value = protocol_;
  return S_OK;
}

}  // namespace vorlane::termserver
