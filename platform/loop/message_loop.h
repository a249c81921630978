// One message loop per thread: the queue through which a thread receives posted messages,
// posted tasks, file-descriptor readiness and timers, and the waits that keep that queue
// moving (the stand-in for a thread's window-message queue).
//
// Everything that reaches the loop's thread arrives as a message and runs inside Dispatch, on
// that thread, one at a time. Dispatching is re-entrant: a handler may pump the same loop again
// (Get, PumpStep, WaitForHandleOrMessage, WaitPumping, Run), and the nested pump takes the next messages in
// order.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace vorlane::loop {

class MessageLoop;

// A receiver of plain messages on one loop, like a (hidden) window: messages posted to it are
// handed to its handler during Dispatch. Destroying it drops the messages still queued for it;
// it must be destroyed on its loop's thread.
class MessageTarget {
 public:
  using Handler = std::function<void(uint32_t id, uintptr_t wparam, intptr_t lparam)>;
  ~MessageTarget();
  MessageTarget(const MessageTarget&) = delete;
  MessageTarget& operator=(const MessageTarget&) = delete;
  uint64_t Id() const { return id_; }

 private:
  friend class MessageLoop;
  MessageTarget(std::shared_ptr<MessageLoop> loop, uint64_t id) : loop_(std::move(loop)), id_(id) {}
  std::shared_ptr<MessageLoop> loop_;
  uint64_t id_;
};

// One queued item. A message has either a target and an id (plain message), or a task, or is
// the quit message. Fd and timer events are messages whose task runs the watch's callback.
struct Message {
  enum class Kind { kPlain, kTask, kQuit };
  Kind kind = Kind::kPlain;
  uint64_t target = 0;  // MessageTarget::Id() for plain messages
  uint32_t id = 0;
  uintptr_t wparam = 0;
  intptr_t lparam = 0;
  int exitCode = 0;  // for kQuit
  std::function<void()> task;
};

// A handle that a loop can wait for: manual- or auto-reset event backed by an eventfd.
class Event {
 public:
  enum class Reset { kManual, kAuto };
  explicit Event(Reset mode = Reset::kManual, bool initiallySet = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void ResetEvent();
  bool IsSet() const;  // does not consume an auto-reset event
  // Waits up to `timeout` (negative: forever); an auto-reset event is consumed by a successful wait.
  bool Wait(std::chrono::milliseconds timeout);
  int Fd() const { return fd_; }
  // Consumes an auto-reset event after the loop saw it signalled; true when it was still set.
  // A manual-reset event is only tested (as IsSet).
  bool TryConsume();

 private:
  int fd_;
  Reset mode_;
};

// A thread whose end can be waited for like an event.
class WaitableThread {
 public:
  // With `keepLoaded` (any address inside a shared library, such as one of its functions), that
  // library stays loaded until the thread has finished with it: its body and everything the body
  // captured are gone before it may be unloaded. A component whose threads may outlive its last
  // object passes its own address, so that unloading it can never pull code from under a thread.
  explicit WaitableThread(std::function<void()> body, size_t stackSize = 0, const void* keepLoaded = nullptr);
  ~WaitableThread();  // joins
  WaitableThread(const WaitableThread&) = delete;
  WaitableThread& operator=(const WaitableThread&) = delete;
  Event& Ended() { return *ended_; }
  bool Join(std::chrono::milliseconds timeout);  // true when ended within the timeout
  // Gives up on the thread: it is no longer joined; it keeps running until its body returns.
  void Abandon();
  // Ended() is set once the body has returned or thrown (an exception is swallowed) and what it
  // captured is destroyed; Join then also waits for the thread's own teardown.

 private:
  std::shared_ptr<Event> ended_;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

namespace testing {
// Makes the next `count` WaitableThread creations in the process fail as pthread_create does
// when the system refuses another thread (std::system_error with EAGAIN); 0 drops the failures
// still pending. For tests of what a failed thread start leaves behind.
void FailNextThreadCreations(int count) noexcept;
}  // namespace testing

// A registration of interest in a file descriptor; the callback runs on the loop's thread with
// the events that occurred. Destroying it (on the loop's thread) stops further callbacks,
// including those already queued. Each readiness is reported once: the watch is re-armed after
// its callback returns, so a level-triggered fd does not flood the queue. Destroy the watch
// before closing its fd.
class FdWatch {
 public:
  ~FdWatch();
  FdWatch(const FdWatch&) = delete;
  FdWatch& operator=(const FdWatch&) = delete;
  // Changes the events of interest (EPOLLIN, EPOLLOUT; errors and hang-up always count).
  void SetEvents(uint32_t events);

 private:
  friend class MessageLoop;
  FdWatch(std::shared_ptr<MessageLoop> loop, uint64_t id) : loop_(std::move(loop)), id_(id) {}
  std::shared_ptr<MessageLoop> loop_;
  uint64_t id_;
};

// A one-shot or periodic timer on a loop; its callback runs on the loop's thread. Destroying it
// (on the loop's thread) cancels it, including a tick already queued.
class LoopTimer {
 public:
  ~LoopTimer();
  LoopTimer(const LoopTimer&) = delete;
  LoopTimer& operator=(const LoopTimer&) = delete;

 private:
  friend class MessageLoop;
  LoopTimer(std::shared_ptr<MessageLoop> loop, uint64_t id) : loop_(std::move(loop)), id_(id) {}
  std::shared_ptr<MessageLoop> loop_;
  uint64_t id_;
};

class MessageLoop : public std::enable_shared_from_this<MessageLoop> {
 public:
  // The loop of the calling thread, created on first use; it lives as long as the thread or
  // until Close (ForCurrentThread then starts a new one). Current() without creating: nullptr
  // when the thread has none, or only a closed one.
  static std::shared_ptr<MessageLoop> ForCurrentThread();
  static std::shared_ptr<MessageLoop> Current();

  ~MessageLoop();
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  // --- From any thread. Return false once the loop is closed (its thread ended).
  bool Post(Message message);
  bool PostTask(std::function<void()> task);
  // Goes to the target's own loop, the only one that can deliver it.
  bool PostMessage(const MessageTarget& target, uint32_t id, uintptr_t wparam = 0, intptr_t lparam = 0);
  bool PostQuit(int exitCode = 0);
  bool IsClosed() const;
  bool IsLoopThread() const;

  // --- On the loop's thread only.
  std::unique_ptr<MessageTarget> CreateTarget(MessageTarget::Handler handler);
  // nullptr when epoll cannot watch `fd` (invalid, a regular file, or watched on this loop already).
  std::unique_ptr<FdWatch> WatchFd(int fd, uint32_t events, std::function<void(uint32_t events)> callback);
  std::unique_ptr<LoopTimer> StartTimer(std::chrono::milliseconds interval, bool periodic,
                                        std::function<void()> callback);

  // Waits for the next message; false when it is the quit message (exit code in *exitCode), or
  // at once with exit code 0 when the loop is closed. A message taken by Get or Peek should be
  // dispatched: a watch or timer reports again only after its message has run.
  bool Get(Message* message, int* exitCode = nullptr);
  // The next message if there is one (fd and timer events that are due are queued first).
  bool Peek(Message* message, bool remove);
  void Dispatch(Message& message);
  // Get and Dispatch until quit; returns the quit's exit code.
  int Run();

  // One step of a blocking wait: take one message; a quit message is posted again and ends
  // the step with kQuit; any other message is dispatched (kDispatched); with none waiting,
  // wait up to `period` for any input (kIdle). The quit goes back to the front of the queue.
  enum class StepResult { kDispatched, kQuit, kIdle };
  StepResult PumpStep(std::chrono::milliseconds period);

  // Waits until one of `handles` is set (kSignaled, index in *which; an auto-reset event is
  // consumed), a message is waiting in the queue (kMessage; it is not taken), or the timeout
  // passed (kTimeout). Negative timeout: no limit. Fd and timer events count as messages.
  // Handles are checked before the queue, so a set handle wins over a waiting message.
  enum class WaitResult { kSignaled, kMessage, kTimeout };
  WaitResult WaitForHandleOrMessage(const std::vector<Event*>& handles, std::chrono::milliseconds timeout,
                                    size_t* which = nullptr);

  // Waits until `done` is set while dispatching this thread's messages: the wait of a thread
  // whose queue must keep moving meanwhile (a call into another apartment, a notification whose
  // receiver may need this thread). A quit message taken meanwhile does not end the wait; it is
  // held back and posted again when the wait is over, so the pump that owns the thread still
  // ends (several quits: the last one's code). `idleLimit` bounds the time without a dispatched
  // message and starts afresh after each one (negative: no limit). True when `done` was set (an
  // auto-reset event is consumed), false when the limit ran out first.
  bool WaitPumping(Event& done, std::chrono::milliseconds idleLimit = std::chrono::milliseconds(-1));

  // Closes the loop: later posts fail, queued messages are dropped (their tasks destroyed
  // without running). Runs on the loop's thread; also done when the thread ends.
  void Close();

  // Messages queued and not yet taken, fd and timer events included (for tests and diagnostics).
  size_t PendingCount() const;

 private:
  MessageLoop();
  struct Impl;
  std::unique_ptr<Impl> impl_;
  friend class MessageTarget;
  friend class FdWatch;
  friend class LoopTimer;
};

}  // namespace vorlane::loop
