// What the server object, its connection threads and the user objects share. Connection
// threads may outlive a stop by a little (a stuck one is abandoned), so nothing here points
// back at the server object itself.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/unique_fd.h"
#include "platform/com/apartment.h"
#include "platform/com/connection_point.h"
#include "platform/loop/thread_affinity.h"
#include "platform/termserver/connection.h"
#include "platform/termserver/login_throttle.h"
#include "platform/termserver/unauthenticated_limit.h"

namespace vorlane::termserver {

class SshServer;

// One connection's state that its user object reaches from the application's thread.
struct ConnectionState final : UnauthenticatedLimit::Evictable {
  explicit ConnectionState(std::string address);

  // Its place among the connections not logged in yet was taken for another address: it ends.
  void Evict() override;

  // Queues output for the connection thread and wakes it; false once the connection is gone.
  bool QueueOutput(int32_t channel, std::string text);
  void Wake();
  // The application's count of requests it has not answered; wakes the connection thread when
  // the input is no longer held or the last answer is out.
  void SetUnanswered(size_t count);
  // A request handed to the owner's thread whose handler has not run yet, and the end of that
  // handler: such requests count toward the bound and as awaiting their answers.
  void RequestPosted();
  void RequestHandled();
  // At kMaxQueuedRequests unanswered (those not handled yet included): read nothing further
  // from the client.
  bool InputHeld();
  // Requests not answered yet, or answers the connection thread has not taken yet.
  bool AnswersPending();
  size_t Unanswered();

  const std::string remoteAddress;
  UniqueFd wake;  // eventfd: output is queued, or the connection should look at its state
  // The connection waits for its last answer: wake it then.
  std::atomic<bool> awaitingAnswers{false};

  std::mutex lock;
  std::vector<std::pair<int32_t, std::string>> output;  // guarded by lock
  DirectOutput* direct = nullptr;                        // guarded by lock
  bool outputInFlight = false;  // guarded by lock; queued output taken, not all written yet
  std::string currentRequest;                            // guarded by lock
  std::string sftpHome;                                  // guarded by lock
  size_t unanswered = 0;                                 // guarded by lock
  size_t unhandled = 0;                                  // guarded by lock
  std::atomic<bool> evicted{false};
  bool ending = false;  // guarded by lock; requests not handled yet are dropped
  bool closed = false;                                   // guarded by lock

 private:
  template <class Change>
  void Recount(Change change);
};

struct ServerCore {
  ServerCore();

  // Sets the stop flag and wakes every connection thread.
  void RequestStop();
  bool Stopping() const { return stopping.load(); }
  void Track(const std::shared_ptr<ConnectionState>& state);

  std::shared_ptr<com::Apartment> owner;  // where events are raised
  // The owner's thread, where the server started: the connections' events are raised on it and
  // nowhere else.
  const loop::ThreadAffinity ownerThread{"the terminal server's event owner"};
  com::ComPtr<com::ConnectionPoint> events;
  bool telnet = true;
  std::shared_ptr<SshServer> ssh;
  std::chrono::seconds idleTimeout{0};
  LoginThrottle throttle;
  // Connections not logged in yet; each served one holds an UnauthenticatedPlace of it.
  const std::shared_ptr<UnauthenticatedLimit> unauthenticated = std::make_shared<UnauthenticatedLimit>();
  std::atomic<size_t> active{0};
  UniqueFd stopFd;  // eventfd, readable once stopping
  std::atomic<bool> stopping{false};

  std::mutex lock;
  std::vector<std::weak_ptr<ConnectionState>> connections;  // guarded by lock
};

}  // namespace vorlane::termserver
