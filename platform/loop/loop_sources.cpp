// What feeds a loop besides posts: message targets, fd watches and timers. Each is registered by
// id in the loop; its queued messages find it by that id when dispatched, so destroying one (also
// from inside its own callback) only has to remove the entry and drop what is queued for it.
#include <sys/epoll.h>

#include <algorithm>
#include <cassert>
#include <memory>
#include <utility>

#include "platform/loop/loop_impl.h"
#include "platform/loop/message_loop.h"

namespace vorlane::loop {

namespace {

// The interest set for epoll: what the caller asked for, always reported once.
uint32_t ArmedEvents(uint32_t events) {
  return (events & ~static_cast<uint32_t>(EPOLLONESHOT | EPOLLET | EPOLLEXCLUSIVE | EPOLLWAKEUP)) | EPOLLONESHOT;
}

// Runs `fn` when the scope ends, also when a callback throws.
template <class Fn>
class AtScopeExit {
 public:
  explicit AtScopeExit(Fn fn) : fn_(std::move(fn)) {}
  ~AtScopeExit() { fn_(); }
  AtScopeExit(const AtScopeExit&) = delete;
  AtScopeExit& operator=(const AtScopeExit&) = delete;

 private:
  Fn fn_;
};

// Drops the queued messages whose task is a `Task` for `id`. The tasks are our own small
// functors that own nothing of the caller's, so they may die under the lock.
template <class Task, class Member>
void DropQueuedLocked(std::deque<Message>& queue, Member member, uint64_t id) {
  std::erase_if(queue, [&](const Message& message) {
    const Task* task = message.task.template target<Task>();
    return task != nullptr && task->*member == id;
  });
}

}  // namespace

// --- Message targets

std::unique_ptr<MessageTarget> MessageLoop::CreateTarget(MessageTarget::Handler handler) {
  assert(IsLoopThread());
  const uint64_t id = Impl::NextId();
  auto shared = std::make_shared<MessageTarget::Handler>(std::move(handler));
  {
    std::lock_guard guard(impl_->lock);
    // A closed loop hands out a target that never receives anything.
    if (!impl_->closed) impl_->targets.emplace(id, std::move(shared));
  }
  return std::unique_ptr<MessageTarget>(new MessageTarget(shared_from_this(), id));
}

MessageTarget::~MessageTarget() {
  assert(loop_->IsLoopThread() || loop_->IsClosed());
  MessageLoop::Impl& impl = *loop_->impl_;
  std::shared_ptr<Handler> handler;  // released after the lock: it owns the caller's objects
  std::lock_guard guard(impl.lock);
  if (auto it = impl.targets.find(id_); it != impl.targets.end()) {
    handler = std::move(it->second);
    impl.targets.erase(it);
  }
  std::erase_if(impl.queue, [this](const Message& message) {
    return message.kind == Message::Kind::kPlain && message.target == id_;
  });
}

// --- Fd watches

std::unique_ptr<FdWatch> MessageLoop::WatchFd(int fd, uint32_t events, std::function<void(uint32_t events)> callback) {
  assert(IsLoopThread());
  const uint64_t id = Impl::NextId();
  auto state = std::make_shared<WatchState>(fd, events, std::move(callback));
  {
    std::lock_guard guard(impl_->lock);
    if (!impl_->closed) {
      epoll_event interest{};
      interest.events = ArmedEvents(events);
      interest.data.u64 = id;
      // A bad fd, one epoll cannot watch (a regular file) or one watched already.
      if (::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_ADD, fd, &interest) != 0) return nullptr;
      impl_->watches.emplace(id, std::move(state));
    }
  }
  return std::unique_ptr<FdWatch>(new FdWatch(shared_from_this(), id));
}

FdWatch::~FdWatch() {
  assert(loop_->IsLoopThread() || loop_->IsClosed());
  MessageLoop::Impl& impl = *loop_->impl_;
  std::shared_ptr<WatchState> state;  // released after the lock, see ~MessageTarget
  std::lock_guard guard(impl.lock);
  auto it = impl.watches.find(id_);
  if (it == impl.watches.end()) return;
  state = std::move(it->second);
  impl.watches.erase(it);
  ::epoll_ctl(impl.epoll.get(), EPOLL_CTL_DEL, state->fd, nullptr);
  DropQueuedLocked<MessageLoop::Impl::FdEventTask>(impl.queue, &MessageLoop::Impl::FdEventTask::watch, id_);
}

void FdWatch::SetEvents(uint32_t events) {
  assert(loop_->IsLoopThread());
  MessageLoop::Impl& impl = *loop_->impl_;
  std::lock_guard guard(impl.lock);
  auto it = impl.watches.find(id_);
  if (it == impl.watches.end()) return;
  WatchState& state = *it->second;
  state.events = events;
  // While a report is queued or its callback runs, the new set is armed after the callback.
  if (!state.armed) return;
  epoll_event interest{};
  interest.events = ArmedEvents(events);
  interest.data.u64 = id_;
  ::epoll_ctl(impl.epoll.get(), EPOLL_CTL_MOD, state.fd, &interest);
}

void MessageLoop::Impl::FdEventTask::operator()() const {
  if (std::shared_ptr<MessageLoop> self = loop.lock()) RunWatch(*self, watch, events);
}

void MessageLoop::Impl::RunWatch(MessageLoop& self, uint64_t id, uint32_t events) {
  Impl& impl = *self.impl_;
  std::shared_ptr<WatchState> state;
  uint32_t wanted = 0;
  {
    std::lock_guard guard(impl.lock);
    auto it = impl.watches.find(id);
    if (it == impl.watches.end()) return;
    state = it->second;
    // Interest withdrawn by SetEvents after the report was queued is not delivered.
    wanted = events & (state->events | EPOLLERR | EPOLLHUP);
  }
  AtScopeExit rearm([&] {
    std::lock_guard guard(impl.lock);
    auto it = impl.watches.find(id);
    if (it == impl.watches.end() || it->second != state) return;  // destroyed by its callback
    state->armed = true;
    epoll_event interest{};
    interest.events = ArmedEvents(state->events);
    interest.data.u64 = id;
    ::epoll_ctl(impl.epoll.get(), EPOLL_CTL_MOD, state->fd, &interest);
  });
  if (wanted != 0) state->callback(wanted);
}

// --- Timers

std::unique_ptr<LoopTimer> MessageLoop::StartTimer(std::chrono::milliseconds interval, bool periodic,
                                                   std::function<void()> callback) {
  assert(IsLoopThread());
  const uint64_t id = Impl::NextId();
  const LoopClock::duration step = std::max(interval, std::chrono::milliseconds(0));
  auto state = std::make_shared<TimerState>(step, periodic, LoopClock::now() + step, std::move(callback));
  {
    std::lock_guard guard(impl_->lock);
    if (!impl_->closed) impl_->timers.emplace(id, std::move(state));
  }
  return std::unique_ptr<LoopTimer>(new LoopTimer(shared_from_this(), id));
}

LoopTimer::~LoopTimer() {
  assert(loop_->IsLoopThread() || loop_->IsClosed());
  MessageLoop::Impl& impl = *loop_->impl_;
  std::shared_ptr<TimerState> state;  // released after the lock, see ~MessageTarget
  std::lock_guard guard(impl.lock);
  auto it = impl.timers.find(id_);
  if (it == impl.timers.end()) return;
  state = std::move(it->second);
  impl.timers.erase(it);
  DropQueuedLocked<MessageLoop::Impl::TimerTickTask>(impl.queue, &MessageLoop::Impl::TimerTickTask::timer, id_);
}

void MessageLoop::Impl::TimerTickTask::operator()() const {
  if (std::shared_ptr<MessageLoop> self = loop.lock()) RunTimer(*self, timer);
}

void MessageLoop::Impl::RunTimer(MessageLoop& self, uint64_t id) {
  Impl& impl = *self.impl_;
  std::shared_ptr<TimerState> state;
  {
    std::lock_guard guard(impl.lock);
    auto it = impl.timers.find(id);
    if (it == impl.timers.end()) return;
    state = it->second;
  }
  AtScopeExit done([&] {
    std::lock_guard guard(impl.lock);
    state->tickQueued = false;
    // A tick that ran late does not leave the next one overdue: that would run two back to back.
    const auto now = LoopClock::now();
    if (state->periodic && state->deadline <= now) state->deadline = now + state->interval;
  });
  state->callback();
}

}  // namespace vorlane::loop
