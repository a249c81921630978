// Where the loop's thread waits: one epoll set holds the wake eventfd and every watched fd, and
// the nearest timer deadline bounds each wait. Readiness and due timers are turned into queued
// messages here, only while the owner is inside one of the pumps.
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <optional>
#include <utility>
#include <vector>

#include "platform/loop/loop_impl.h"
#include "platform/loop/message_loop.h"

namespace vorlane::loop {

namespace {

constexpr int kMaxReadyPerWait = 64;

}  // namespace

int MillisecondsUntil(LoopClock::time_point deadline, LoopClock::time_point now) {
  if (deadline <= now) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

int MessageLoop::Impl::ClampToTimers(int timeoutMs) const {
  std::lock_guard guard(lock);
  if (timers.empty()) return timeoutMs;
  const auto now = LoopClock::now();
  int result = timeoutMs;
  for (const auto& [id, timer] : timers) {
    if (timer->tickQueued || timer->finished) continue;
    const int ms = MillisecondsUntil(timer->deadline, now);
    if (result < 0 || ms < result) result = ms;
  }
  return result;
}

void MessageLoop::Impl::Collect(MessageLoop& self, int timeoutMs) {
  epoll_event ready[kMaxReadyPerWait];
  int count = ::epoll_wait(epoll.get(), ready, kMaxReadyPerWait, ClampToTimers(timeoutMs));
  if (count < 0) count = 0;  // interrupted: the pumps go round again
  std::lock_guard guard(lock);
  QueueReadyLocked(self, ready, count);
}

void MessageLoop::Impl::QueueReadyLocked(MessageLoop& self, const epoll_event* ready, int count) {
  // Also on a closed loop the wake fd is drained, or a wait on handles would find the epoll set
  // readable for ever. Nothing else is queued then: Close emptied the watches and timers.
  for (int i = 0; i < count; ++i) {
    const uint64_t id = ready[i].data.u64;
    if (id == 0) {
      uint64_t posts = 0;
      while (::read(wake.get(), &posts, sizeof posts) < 0 && errno == EINTR) {
      }
      continue;
    }
    auto it = watches.find(id);
    if (it == watches.end() || !it->second->armed) continue;
    // One-shot in the epoll set: nothing more is reported for this fd until its callback has run
    // and RunWatch arms it again, so a level-triggered fd that stays ready queues one message.
    it->second->armed = false;
    Message message;
    message.kind = Message::Kind::kTask;
    message.task = FdEventTask{self.weak_from_this(), id, ready[i].events};
    queue.push_back(std::move(message));
  }

  if (timers.empty()) return;
  const auto now = LoopClock::now();
  std::vector<std::pair<LoopClock::time_point, uint64_t>> due;
  for (const auto& [id, timer] : timers) {
    if (timer->tickQueued || timer->finished || timer->deadline > now) continue;
    due.emplace_back(timer->deadline, id);
    timer->tickQueued = true;
    if (!timer->periodic) {
      timer->finished = true;
    } else {
      // Ticks missed while the thread was busy are skipped, not queued one after another.
      timer->deadline += timer->interval;
      if (timer->deadline <= now) timer->deadline = now + timer->interval;
    }
  }
  std::sort(due.begin(), due.end());
  for (const auto& [deadline, id] : due) {
    Message message;
    message.kind = Message::Kind::kTask;
    message.task = TimerTickTask{self.weak_from_this(), id};
    queue.push_back(std::move(message));
  }
}

MessageLoop::WaitResult MessageLoop::WaitForHandleOrMessage(const std::vector<Event*>& handles,
                                                            std::chrono::milliseconds timeout, size_t* which) {
  assert(IsLoopThread());
  const bool forever = timeout.count() < 0;
  const auto start = LoopClock::now();
  const auto deadline = forever ? LoopClock::time_point::max() : start + timeout;

  // The handles and the epoll set (readable while anything in it is ready) in one poll: the loop's
  // own fds are then read by Collect without waiting.
  std::vector<pollfd> fds(handles.size() + 1);
  for (size_t i = 0; i < handles.size(); ++i) {
    assert(handles[i] != nullptr);
    fds[i] = pollfd{handles[i]->Fd(), POLLIN, 0};
  }
  fds.back() = pollfd{impl_->epoll.get(), POLLIN, 0};

  for (;;) {
    impl_->Collect(*this, 0);
    // Handles before messages, lowest index first, so a steady stream of messages cannot hide a
    // handle that is set. An auto-reset handle taken by another waiter meanwhile just fails here.
    for (size_t i = 0; i < handles.size(); ++i) {
      if (handles[i]->TryConsume()) {
        if (which) *which = i;
        return WaitResult::kSignaled;
      }
    }
    if (PendingCount() > 0) return WaitResult::kMessage;
    const auto now = LoopClock::now();
    if (!forever && now >= deadline) return WaitResult::kTimeout;
    const int waitMs = impl_->ClampToTimers(forever ? -1 : MillisecondsUntil(deadline, now));
    for (pollfd& fd : fds) fd.revents = 0;
    ::poll(fds.data(), fds.size(), waitMs);  // whatever woke it (or EINTR), the checks above decide
  }
}

bool MessageLoop::WaitPumping(Event& done, std::chrono::milliseconds idleLimit) {
  assert(IsLoopThread());
  const bool limited = idleLimit.count() >= 0;
  auto deadline = limited ? LoopClock::now() + idleLimit : LoopClock::time_point::max();
  const std::vector<Event*> handles{&done};
  std::optional<int> quitCode;
  bool signaled = false;
  for (;;) {
    const std::chrono::milliseconds remaining{limited ? MillisecondsUntil(deadline, LoopClock::now()) : -1};
    // The handle is looked at before the queue, so no stream of messages keeps the wait going
    // once `done` is set.
    const WaitResult waited = WaitForHandleOrMessage(handles, remaining);
    if (waited == WaitResult::kSignaled) {
      signaled = true;
      break;
    }
    if (waited == WaitResult::kTimeout) break;
    Message message;  // per turn, so a task's captures die before the next wait
    if (!Peek(&message, true)) continue;
    if (message.kind == Message::Kind::kQuit) {
      quitCode = message.exitCode;  // for the thread's own loop, once this wait is over
      continue;
    }
    Dispatch(message);
    if (limited) deadline = LoopClock::now() + idleLimit;
  }
  if (quitCode) PostQuit(*quitCode);
  return signaled;
}

}  // namespace vorlane::loop
