// Turns to deliver a component's notifications: one at a time, in the order they were asked for,
// shared by every collection whose workers report their jobs' ends.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace vorlane::com {

// The holder of a turn may pump its own messages while its notification is delivered (a call
// into the receiver's apartment does), and holds no mutex meanwhile: a mutex held across that
// pump deadlocks as soon as a message dispatched there asks for a turn on the same thread. The
// mutex guards the counters only. A request from the thread that holds the turn (a handler
// running inside its pump) is let in at once, as a re-entrant lock lets its owner in again: it
// cannot wait for a turn that only its own caller, further down the stack, can end. Other
// threads wait for their turn without pumping (a pump there could be re-entered the same way
// while a turn behind its own is pending), first come first served.
class NotificationTurns {
 public:
  // Holds a turn for its lifetime; the constructor blocks until it is the caller's turn and
  // throws what the standard locks throw.
  class Turn {
   public:
    explicit Turn(NotificationTurns& turns) : turns_(turns) { turns_.Acquire(); }
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() { turns_.Release(); }

   private:
    NotificationTurns& turns_;
  };

 private:
  void Acquire();
  void Release() noexcept;

  std::mutex lock_;
  std::condition_variable released_;
  uint64_t nextTicket_ = 0;  // guarded by lock_
  uint64_t serving_ = 0;     // guarded by lock_: the ticket whose turn it is
  std::thread::id holder_;   // guarded by lock_
  int depth_ = 0;            // guarded by lock_: 0 when nobody holds the turn
};

}  // namespace vorlane::com
