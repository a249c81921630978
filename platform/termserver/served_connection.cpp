#include "platform/termserver/served_connection.h"

#include <poll.h>
#include <atomic>
#include <unistd.h>

#include "platform/com/bstr.h"
#include "platform/com/text.h"
#include "platform/com/variant.h"
#include "platform/debuglog/debuglog.h"
#include "platform/loop/message_loop.h"
#include "platform/termserver/term_server_contract.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/wait.h"

namespace vorlane::termserver {

using namespace vorlane::com;

// One event on its way to the application. It lives until both the connection thread and the
// task on the owner's thread are done with it, so a connection that stops waiting (the server
// stops) leaves nothing dangling behind; the out-arguments point into it.
struct EventCall {
  explicit EventCall(DISPID eventId) : id(eventId) {}
  ~EventCall() {
    for (BSTR& text : texts) SysFreeString(text);
  }
  std::string Text(size_t index) const { return Utf16ToUtf8(std::u16string_view(texts[index], SysStringLen(texts[index]))); }

  const DISPID id;
  std::vector<Variant> args;
  int32_t numbers[3] = {};
  BSTR texts[2] = {};
  // Asked on the owner's thread just before the handlers: whether they run. A chain of calls
  // ends at the first that says no.
  std::function<bool()> raiseIf;
  // Set once the handlers are done, or will never run (ran stays false); the connection's wake
  // fd tells.
  std::atomic<bool> ran{false};
  std::atomic<bool> done{false};
};

namespace {

BSTR NewText(std::string_view utf8) {
  std::u16string text = Utf8ToUtf16(utf8);
  return SysAllocStringLen(text.data(), static_cast<uint32_t>(text.size()));
}

}  // namespace

ServedConnection::ServedConnection(std::shared_ptr<ServerCore> core, std::shared_ptr<ConnectionState> state,
                                   ComPtr<IDispatch> user, UnauthenticatedPlace place)
    : core_(std::move(core)), state_(std::move(state)), user_(std::move(user)),
      place_(std::make_shared<SharedPlace>(std::move(place))) {
  core_->Track(state_);
}

ServedConnection::~ServedConnection() {
  std::lock_guard lock(state_->lock);
  state_->closed = true;
  state_->direct = nullptr;
  state_->output.clear();
}

void ServedConnection::DrainOutput() {
  uint64_t count;
  (void)!::read(state_->wake.get(), &count, sizeof count);
  std::vector<std::pair<int32_t, std::string>> output;
  {
    std::lock_guard lock(state_->lock);
    output.swap(state_->output);
    // Until these are written, no later answer may overtake them by a direct write.
    state_->outputInFlight = !output.empty();
  }
  if (output_ != nullptr) {
    for (auto& [channel, text] : output) output_->Write(channel, text);
  }
  std::lock_guard lock(state_->lock);
  state_->outputInFlight = false;
}

void ServedConnection::SetDirectOutput(DirectOutput* output) {
  std::lock_guard lock(state_->lock);
  state_->direct = output;
}

void ServedConnection::AwaitAnswers(bool waiting) { state_->awaitingAnswers = waiting; }

std::shared_ptr<EventCall> ServedConnection::NewCall(int32_t id, uint32_t argCount) {
  auto call = std::make_shared<EventCall>(id);
  call->args.resize(argCount);
  call->args[event_args::kUser] = Variant(user_.get());
  return call;
}

void ServedConnection::Post(std::vector<std::shared_ptr<EventCall>> calls, bool wakeWhenDone) {
  // Whoever drops the task, after running it or without (its loop closed), lets the waiter go.
  struct Ticket {
    Ticket(std::vector<std::shared_ptr<EventCall>> c, std::shared_ptr<ConnectionState> s, bool w)
        : calls(std::move(c)), state(std::move(s)), wake(w) {}
    ~Ticket() {
      for (const auto& call : calls) call->done.store(true);
      if (wake) state->Wake();
    }
    const std::vector<std::shared_ptr<EventCall>> calls;
    const std::shared_ptr<ConnectionState> state;
    const bool wake;
  };
  auto ticket = std::make_shared<Ticket>(std::move(calls), state_, wakeWhenDone);
  (void)PostToApartment(core_->owner, [ticket, core = core_] {
    core->ownerThread.Assert();
    for (const auto& call : ticket->calls) {
      if (call->raiseIf && !call->raiseIf()) return;
      call->ran.store(true);
      if (!core->events) continue;
      for (const ComPtr<IUnknown>& sink : core->events->Snapshot()) {
        (void)InvokeEvent(sink.get(), ITermServerEvents::kIid, call->id, call->args);
      }
    }
  });
}

bool ServedConnection::RaiseChain(std::vector<std::shared_ptr<EventCall>> calls) {
  if (core_->Stopping() || calls.empty()) return false;
  const std::shared_ptr<EventCall> last = calls.back();
  Post(std::move(calls), true);
  // The handlers' output and their end both come through the wake fd.
  pollfd fds[2] = {{state_->wake.get(), POLLIN, 0}, {core_->stopFd.get(), POLLIN, 0}};
  for (;;) {
    if (last->done.load()) {
      DrainOutput();
      return true;
    }
    if (WaitReady(fds) < 0) return false;
    if (fds[0].revents != 0) DrainOutput();
    if (fds[1].revents != 0 && !last->done.load()) return false;
  }
}

bool ServedConnection::Raise(const std::shared_ptr<EventCall>& call) { return RaiseChain({call}) && call->ran.load(); }

bool ServedConnection::Pause(std::chrono::seconds delay) {
  pollfd stop{core_->stopFd.get(), POLLIN, 0};
  return WaitReady(stop, WaitClock::now() + delay) == 0;
}

bool ServedConnection::Connecting() {
  using Args = event_args::Connecting;
  auto call = NewCall(kEventConnecting, Args::kCount);
  call->numbers[0] = 1;  // accepted unless a handler refuses
  call->args[Args::kAccept] = Variant::ByRef(&call->numbers[0]);
  return !Raise(call) || call->numbers[0] != 0;
}

bool ServedConnection::MayTryLogin(std::string_view login, std::string_view password) {
  if (login.size() > kMaxCredentialBytes || password.size() > kMaxCredentialBytes) {
    debuglog::Write("TermServer: refused a login with an overlong user name or password from " + state_->remoteAddress);
    core_->throttle.RecordFailure(state_->remoteAddress, LoginThrottle::Clock::now());
    return false;
  }
  const std::chrono::seconds delay = core_->throttle.DelayFor(state_->remoteAddress, LoginThrottle::Clock::now());
  return delay.count() == 0 || Pause(delay);
}

std::shared_ptr<EventCall> ServedConnection::NewLoginCall(std::string_view login, std::string_view password) {
  using Args = event_args::LoginPassword;
  auto call = NewCall(kEventLoginPassword, Args::kCount);
  call->args[Args::kName] = Variant::FromUtf8(login);
  call->args[Args::kPassword] = Variant::FromUtf8(password);
  call->numbers[0] = 0;  // refused unless a handler allows
  call->args[Args::kAllow] = Variant::ByRef(&call->numbers[0]);
  return call;
}

bool ServedConnection::LoginDecided(const EventCall& login) {
  const bool allowed = login.ran.load() && login.numbers[0] != 0;
  if (allowed) {
    place_->GiveBack();
    core_->throttle.RecordSuccess(state_->remoteAddress);
  } else {
    core_->throttle.RecordFailure(state_->remoteAddress, LoginThrottle::Clock::now());
  }
  return allowed;
}

bool ServedConnection::LoginPassword(std::string_view login, std::string_view password) {
  if (!MayTryLogin(login, password)) return false;
  auto call = NewLoginCall(login, password);
  (void)Raise(call);
  return LoginDecided(*call);
}

ShellLogin ServedConnection::LoginAndStartShell(int32_t channel, std::string_view login, std::string_view password) {
  if (!MayTryLogin(login, password)) return ShellLogin::kRefused;
  auto loginCall = NewLoginCall(login, password);
  auto request = NewServiceRequestCall(channel, kServiceShell);
  request->raiseIf = [loginCall, place = place_] {
    if (loginCall->numbers[0] == 0) return false;
    place->GiveBack();
    return true;
  };
  auto start = NewServiceStartCall(channel, kServiceApplication, "shell");
  start->raiseIf = [request] { return request->numbers[1] != 0 && request->numbers[0] == kServiceApplication; };
  // One visit to the owner's thread for the three, instead of a round trip each.
  (void)RaiseChain({loginCall, request, start});
  if (!LoginDecided(*loginCall)) return ShellLogin::kRefused;
  return start->ran.load() ? ShellLogin::kStarted : ShellLogin::kNoShell;
}

std::shared_ptr<EventCall> ServedConnection::NewServiceRequestCall(int32_t channel, int32_t requestedType) {
  using Args = event_args::ServiceRequest;
  auto call = NewCall(kEventServiceRequest, Args::kCount);
  call->numbers[0] = requestedType;
  call->numbers[1] = 1;
  call->texts[0] = NewText(requestedType == kServiceSftp ? "sftp" : "shell");
  call->args[Args::kChannel] = Variant(channel);
  call->args[Args::kType] = Variant::ByRef(&call->numbers[0]);
  call->args[Args::kName] = Variant::ByRef(&call->texts[0]);
  call->args[Args::kAccept] = Variant::ByRef(&call->numbers[1]);
  return call;
}

int32_t ServedConnection::ServiceRequest(int32_t channel, int32_t requestedType) {
  auto call = NewServiceRequestCall(channel, requestedType);
  if (!Raise(call) || call->numbers[1] == 0) return -1;
  return call->numbers[0];
}

std::shared_ptr<EventCall> ServedConnection::NewServiceStartCall(int32_t channel, int32_t type, std::string_view name) {
  using Args = event_args::ServiceStart;
  auto call = NewCall(kEventServiceStart, Args::kCount);
  call->args[Args::kChannel] = Variant(channel);
  call->args[Args::kType] = Variant(type);
  call->args[Args::kName] = Variant::FromUtf8(name);
  return call;
}

void ServedConnection::ServiceStart(int32_t channel, int32_t type, std::string_view name) {
  (void)Raise(NewServiceStartCall(channel, type, name));
}

// Handed over without waiting for the handler: the connection goes on reading while the owner's
// thread takes the request, which costs a thread switch less per request. Requests still reach
// the handler one at a time and in order (the owner's queue is first in, first out), each with
// its own text; those not handled yet count toward the connection's bound.
void ServedConnection::Received(int32_t channel, std::string request) {
  if (core_->Stopping()) return;
  const auto count = static_cast<int32_t>(Utf8ToUtf16(request).size());
  using Args = event_args::Received;
  auto call = NewCall(kEventReceived, Args::kCount);
  call->args[Args::kChannel] = Variant(channel);
  call->args[Args::kLength] = Variant(count);
  // Counted until the task is done or dropped.
  struct Unhandled {
    explicit Unhandled(std::shared_ptr<ConnectionState> s) : state(std::move(s)) { state->RequestPosted(); }
    ~Unhandled() { state->RequestHandled(); }
    const std::shared_ptr<ConnectionState> state;
  };
  auto unhandled = std::make_shared<Unhandled>(state_);
  call->raiseIf = [unhandled, text = std::move(request)]() mutable {
    std::lock_guard lock(unhandled->state->lock);
    if (unhandled->state->ending) return false;
    unhandled->state->currentRequest = std::move(text);
    return true;
  };
  Post({std::move(call)}, false);
}

void ServedConnection::Ending() {
  std::lock_guard lock(state_->lock);
  state_->ending = true;
}

std::string ServedConnection::SftpHome() {
  std::lock_guard lock(state_->lock);
  return state_->sftpHome;
}

bool ServedConnection::SftpAllowed(SftpOperation operation, const std::string& path, const std::string& path2,
                                   const std::string& resolved) {
  const bool rename = operation == SftpOperation::kRename;
  using Args = event_args::Sftp;
  using RenameArgs = event_args::SftpRename;
  auto call = NewCall(static_cast<DISPID>(operation), rename ? RenameArgs::kCount : Args::kCount);
  call->args[Args::kPath] = Variant::FromUtf8(path);
  call->texts[0] = NewText(resolved);
  call->args[Args::kResolved] = Variant::ByRef(&call->texts[0]);
  if (rename) {
    call->texts[1] = NewText(path2);
    call->args[RenameArgs::kNewPath] = Variant::ByRef(&call->texts[1]);
  }
  call->numbers[0] = 1;  // inside the home folder everything is allowed unless a handler refuses
  call->args[rename ? RenameArgs::kAllow : Args::kAllow] = Variant::ByRef(&call->numbers[0]);
  return !Raise(call) ? !core_->Stopping() : call->numbers[0] != 0;
}

// Handed over without waiting: the connection thread has nothing left to do but end.
void ServedConnection::Disconnected() {
  Ending();
  // Over: its place is free at once, not only once the application has handled the event.
  place_->GiveBack();
  if (core_->Stopping()) return;
  Post({NewCall(kEventDisconnected, event_args::Disconnected::kCount)}, false);
}

}  // namespace vorlane::termserver
