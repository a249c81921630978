#include "platform/termserver/server_core.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <utility>

#include "platform/termserver/limits.h"

namespace vorlane::termserver {
namespace {

void Signal(int fd) {
  uint64_t one = 1;
  (void)!::write(fd, &one, sizeof one);
}

}  // namespace

ConnectionState::ConnectionState(std::string address)
    : remoteAddress(std::move(address)), wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

bool ConnectionState::QueueOutput(int32_t channel, std::string text) {
  {
    std::lock_guard guard(lock);
    if (closed) return false;
    // Written by this thread when nothing is queued before it: no hand-over, no wake-up.
    if (output.empty() && !outputInFlight && direct != nullptr && direct->TryWrite(channel, text)) return true;
    output.emplace_back(channel, std::move(text));
  }
  Wake();
  return true;
}

void ConnectionState::Wake() { Signal(wake.get()); }

void ConnectionState::Evict() {
  evicted = true;
  Wake();
}

namespace {
bool Full(size_t waiting) { return waiting >= kMaxQueuedRequests; }
}  // namespace

// `change` alters the counts under the lock; the connection thread is woken when the input is
// no longer held or nothing is waiting any more.
template <class Change>
void ConnectionState::Recount(Change change) {
  bool wakeUp;
  {
    std::lock_guard guard(lock);
    const size_t before = unanswered + unhandled;
    change();
    const size_t after = unanswered + unhandled;
    wakeUp = (Full(before) && !Full(after)) || (before > 0 && after == 0 && awaitingAnswers.load());
  }
  if (wakeUp) Wake();
}

void ConnectionState::SetUnanswered(size_t count) {
  Recount([&] { unanswered = count; });
}

void ConnectionState::RequestPosted() {
  std::lock_guard guard(lock);
  ++unhandled;
}

void ConnectionState::RequestHandled() {
  Recount([&] { --unhandled; });
}

bool ConnectionState::InputHeld() {
  std::lock_guard guard(lock);
  return Full(unanswered + unhandled);
}

bool ConnectionState::AnswersPending() {
  std::lock_guard guard(lock);
  // An answer is queued before its count drops: until the connection thread has taken it, it
  // is still on its way.
  return unanswered + unhandled > 0 || !output.empty();
}

size_t ConnectionState::Unanswered() {
  std::lock_guard guard(lock);
  return unanswered;
}

ServerCore::ServerCore() : stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void ServerCore::RequestStop() {
  stopping = true;
  Signal(stopFd.get());
  std::vector<std::shared_ptr<ConnectionState>> live;
  {
    std::lock_guard guard(lock);
    for (auto& weak : connections) {
      if (auto state = weak.lock()) live.push_back(std::move(state));
    }
  }
  for (auto& state : live) state->Wake();
}

void ServerCore::Track(const std::shared_ptr<ConnectionState>& state) {
  std::lock_guard guard(lock);
  std::erase_if(connections, [](const std::weak_ptr<ConnectionState>& weak) { return weak.expired(); });
  connections.push_back(state);
}

}  // namespace vorlane::termserver
