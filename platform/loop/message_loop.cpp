// The queue of a message loop and the pumps that take from it. Where the owner waits for input
// and how fd readiness and timers turn into messages is in loop_wait.cpp.
#include "platform/loop/message_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/loop/loop_impl.h"

namespace vorlane::loop {

namespace {

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

int ToTimeoutMs(std::chrono::milliseconds timeout) {
  if (timeout.count() < 0) return -1;
  return timeout.count() > INT32_MAX ? INT32_MAX : static_cast<int>(timeout.count());
}

}  // namespace

thread_local MessageLoop::Impl::ThreadSlot MessageLoop::Impl::slot;
thread_local bool MessageLoop::Impl::slotGone = false;

MessageLoop::Impl::ThreadSlot::~ThreadSlot() {
  // Marked first: queued tasks destroyed by Close may ask for the thread's loop, and must get a
  // closed one rather than touch this slot while it dies.
  slotGone = true;
  if (std::shared_ptr<MessageLoop> ending = std::move(loop)) {
    ending->Close();
    ending->impl_->threadEnded = true;
  }
}

MessageLoop::Impl::Impl() {
  epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
  if (!epoll) ThrowErrno("epoll_create1");
  wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) ThrowErrno("eventfd");
  epoll_event interest{};
  interest.events = EPOLLIN;
  interest.data.u64 = 0;  // ids of watches start at 1
  if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &interest) != 0) ThrowErrno("epoll_ctl");
}

uint64_t MessageLoop::Impl::NextId() {
  // One sequence for the whole process, so that an id never matches a watch, timer or target of
  // another loop or one destroyed earlier.
  static std::atomic<uint64_t> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

bool MessageLoop::Impl::Enqueue(Message& message, bool atFront) {
  bool wasEmpty = false;
  {
    std::lock_guard guard(lock);
    if (closed) return false;
    wasEmpty = queue.empty();
    if (atFront) {
      queue.push_front(std::move(message));
    } else {
      queue.push_back(std::move(message));
    }
  }
  // The owner only ever blocks with an empty queue, so only the first message needs to wake it.
  if (wasEmpty) {
    const uint64_t one = 1;
    // EAGAIN would mean the counter is saturated: a wake-up is pending anyway.
    while (::write(wake.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
  return true;
}

bool MessageLoop::Impl::TakeFirst(Message* message, bool remove) {
  std::lock_guard guard(lock);
  if (queue.empty()) return false;
  if (remove) {
    *message = std::move(queue.front());
    queue.pop_front();
  } else {
    *message = queue.front();
  }
  return true;
}

MessageLoop::MessageLoop() : impl_(std::make_unique<Impl>()) {}

MessageLoop::~MessageLoop() = default;

std::shared_ptr<MessageLoop> MessageLoop::ForCurrentThread() {
  if (Impl::slotGone) {
    // The thread is ending: hand out a loop that is closed already, so late callers fail cleanly.
    std::shared_ptr<MessageLoop> closed(new MessageLoop());
    closed->Close();
    closed->impl_->threadEnded = true;
    return closed;
  }
  std::shared_ptr<MessageLoop>& loop = Impl::slot.loop;
  if (!loop || loop->IsClosed()) loop.reset(new MessageLoop());
  return loop;
}

std::shared_ptr<MessageLoop> MessageLoop::Current() {
  if (Impl::slotGone) return nullptr;
  const std::shared_ptr<MessageLoop>& loop = Impl::slot.loop;
  return loop && !loop->IsClosed() ? loop : nullptr;
}

bool MessageLoop::Post(Message message) { return impl_->Enqueue(message, false); }

bool MessageLoop::PostTask(std::function<void()> task) {
  Message message;
  message.kind = Message::Kind::kTask;
  message.task = std::move(task);
  return Post(std::move(message));
}

bool MessageLoop::PostMessage(const MessageTarget& target, uint32_t id, uintptr_t wparam, intptr_t lparam) {
  Message message;
  message.kind = Message::Kind::kPlain;
  message.target = target.Id();
  message.id = id;
  message.wparam = wparam;
  message.lparam = lparam;
  // Only the target's own loop can hand the message to it.
  return target.loop_->Post(std::move(message));
}

bool MessageLoop::PostQuit(int exitCode) {
  Message message;
  message.kind = Message::Kind::kQuit;
  message.exitCode = exitCode;
  return Post(std::move(message));
}

bool MessageLoop::IsClosed() const {
  std::lock_guard guard(impl_->lock);
  return impl_->closed;
}

bool MessageLoop::IsLoopThread() const {
  // After the thread ended its id may be given to a new thread, which must not count as the owner.
  return !impl_->threadEnded && std::this_thread::get_id() == impl_->owner;
}

bool MessageLoop::Get(Message* message, int* exitCode) {
  assert(IsLoopThread());
  assert(message != nullptr);
  impl_->Collect(*this, 0);  // ready fds and due timers take their turn even in a busy queue
  while (!impl_->TakeFirst(message, true)) {
    if (IsClosed()) {
      // Nothing can arrive any more: end the caller's loop as a quit would.
      *message = Message{};
      message->kind = Message::Kind::kQuit;
      if (exitCode) *exitCode = 0;
      return false;
    }
    impl_->Collect(*this, -1);
  }
  if (message->kind != Message::Kind::kQuit) return true;
  if (exitCode) *exitCode = message->exitCode;
  return false;
}

bool MessageLoop::Peek(Message* message, bool remove) {
  assert(IsLoopThread());
  assert(message != nullptr);
  impl_->Collect(*this, 0);
  return impl_->TakeFirst(message, remove);
}

void MessageLoop::Dispatch(Message& message) {
  assert(IsLoopThread());
  switch (message.kind) {
    case Message::Kind::kTask:
      if (message.task) message.task();
      break;
    case Message::Kind::kPlain: {
      // Looked up now, not when posted: a target destroyed meanwhile gets nothing. The copy of
      // the handler keeps it alive if the target is destroyed from inside it.
      std::shared_ptr<MessageTarget::Handler> handler;
      {
        std::lock_guard guard(impl_->lock);
        if (auto it = impl_->targets.find(message.target); it != impl_->targets.end()) handler = it->second;
      }
      if (handler && *handler) (*handler)(message.id, message.wparam, message.lparam);
      break;
    }
    case Message::Kind::kQuit:
      break;
  }
}

int MessageLoop::Run() {
  for (;;) {
    Message message;  // per turn, so a task's captures die before the next wait
    int exitCode = 0;
    if (!Get(&message, &exitCode)) return exitCode;
    Dispatch(message);
  }
}

MessageLoop::StepResult MessageLoop::PumpStep(std::chrono::milliseconds period) {
  assert(IsLoopThread());
  Message message;
  impl_->Collect(*this, 0);
  if (impl_->TakeFirst(&message, true)) {
    if (message.kind == Message::Kind::kQuit) {
      // Put back first, where it was: the pump that owns the thread ends before anything posted
      // after the quit runs.
      impl_->Enqueue(message, true);
      return StepResult::kQuit;
    }
    Dispatch(message);
    return StepResult::kDispatched;
  }
  if (IsClosed()) return StepResult::kQuit;
  impl_->Collect(*this, ToTimeoutMs(period));
  return StepResult::kIdle;
}

void MessageLoop::Close() {
  assert(IsLoopThread() || impl_->threadEnded);
  // Everything the loop held is moved out under the lock and destroyed after it: tasks and
  // callbacks own the caller's objects, whose destructors may post, set events or take locks.
  std::deque<Message> dropped;
  std::unordered_map<uint64_t, std::shared_ptr<MessageTarget::Handler>> targets;
  std::unordered_map<uint64_t, std::shared_ptr<WatchState>> watches;
  std::unordered_map<uint64_t, std::shared_ptr<TimerState>> timers;
  {
    std::lock_guard guard(impl_->lock);
    if (impl_->closed) return;
    impl_->closed = true;
    dropped.swap(impl_->queue);
    targets.swap(impl_->targets);
    watches.swap(impl_->watches);
    timers.swap(impl_->timers);
    // The loop object may live on in other threads' hands: let go of the descriptors now.
    for (const auto& [id, watch] : watches) ::epoll_ctl(impl_->epoll.get(), EPOLL_CTL_DEL, watch->fd, nullptr);
  }
}

size_t MessageLoop::PendingCount() const {
  std::lock_guard guard(impl_->lock);
  return impl_->queue.size();
}

}  // namespace vorlane::loop
