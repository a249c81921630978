// The inside of a message loop, shared by the files that implement it: message_loop.cpp (the
// queue and the pumps), loop_wait.cpp (the owner's waits, fd readiness and due timers turned into
// messages) and loop_sources.cpp (targets, fd watches, timers). Not for use outside platform/loop.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <sys/epoll.h>

#include "platform/base/unique_fd.h"
#include "platform/loop/message_loop.h"

namespace vorlane::loop {

using LoopClock = std::chrono::steady_clock;

// A watched descriptor. The callback is set once and shared with a dispatch that is running it,
// so a watch destroyed from inside its own callback does not free the function under its feet.
struct WatchState {
  WatchState(int f, uint32_t e, std::function<void(uint32_t)> cb) : fd(f), events(e), callback(std::move(cb)) {}
  const int fd;
  uint32_t events;     // guarded by MessageLoop::Impl::lock
  bool armed = true;   // guarded by MessageLoop::Impl::lock: in the epoll set, not yet reported
  const std::function<void(uint32_t)> callback;
};

struct TimerState {
  TimerState(LoopClock::duration i, bool p, LoopClock::time_point d, std::function<void()> cb)
      : interval(i), periodic(p), deadline(d), callback(std::move(cb)) {}
  const LoopClock::duration interval;
  const bool periodic;
  LoopClock::time_point deadline;  // guarded by MessageLoop::Impl::lock
  bool tickQueued = false;         // guarded by MessageLoop::Impl::lock: one tick at most waits
  bool finished = false;           // guarded by MessageLoop::Impl::lock: a one-shot that fired
  const std::function<void()> callback;
};

struct MessageLoop::Impl {
  Impl();

  // The task of a queued fd event or timer tick. A named type rather than a lambda so that
  // destroying the watch or timer can find its queued message (std::function::target) and drop
  // it. It holds the loop weakly: a message taken by Peek may outlive the loop.
  struct FdEventTask {
    std::weak_ptr<MessageLoop> loop;
    uint64_t watch;
    uint32_t events;
    void operator()() const;
  };
  struct TimerTickTask {
    std::weak_ptr<MessageLoop> loop;
    uint64_t timer;
    void operator()() const;
  };

  static uint64_t NextId();

  // Appends a message (or puts it first) and wakes the owner when the queue was empty; false
  // once the loop is closed, leaving `message` untouched for the caller to destroy outside the lock.
  bool Enqueue(Message& message, bool atFront);
  // Takes (or copies) the first message; false when the queue is empty.
  bool TakeFirst(Message* message, bool remove);

  // Waits up to `timeoutMs` (negative: no limit) for input, shortened to the nearest timer
  // deadline, then queues what became ready. Runs on the owner only.
  void Collect(MessageLoop& self, int timeoutMs);
  // The wait limit in ms for a wait of `timeoutMs`, cut short by the nearest timer deadline.
  int ClampToTimers(int timeoutMs) const;
  // Queues fd events from `ready` (epoll results) and ticks of due timers.
  void QueueReadyLocked(MessageLoop& self, const epoll_event* ready, int count);

  static void RunWatch(MessageLoop& self, uint64_t id, uint32_t events);
  static void RunTimer(MessageLoop& self, uint64_t id);

  // Holds the thread's loop; its destructor (the thread ending) closes it.
  struct ThreadSlot {
    std::shared_ptr<MessageLoop> loop;
    ~ThreadSlot();
  };
  static thread_local ThreadSlot slot;
  // Set once the slot is destroyed; trivially destructible, so still readable while the other
  // thread-local objects of an ending thread are torn down after it.
  static thread_local bool slotGone;

  const std::thread::id owner = std::this_thread::get_id();
  std::atomic<bool> threadEnded{false};  // the owner thread is gone: nobody is the loop thread
  UniqueFd epoll;  // the wake fd and every watched fd
  UniqueFd wake;   // eventfd written when a message lands in an empty queue

  mutable std::mutex lock;
  std::deque<Message> queue;  // guarded by lock
  bool closed = false;        // guarded by lock
  std::unordered_map<uint64_t, std::shared_ptr<MessageTarget::Handler>> targets;  // guarded by lock
  std::unordered_map<uint64_t, std::shared_ptr<WatchState>> watches;              // guarded by lock
  std::unordered_map<uint64_t, std::shared_ptr<TimerState>> timers;               // guarded by lock
};

// Milliseconds left until `deadline`, rounded up so that a wait never ends just before it.
int MillisecondsUntil(LoopClock::time_point deadline, LoopClock::time_point now);

}  // namespace vorlane::loop
