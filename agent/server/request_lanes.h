// The requests of the agent's connections, run side by side: one lane per connection, whose
// requests run one at a time in the order they arrived, and a pool of worker threads shared
// by all lanes. A worker is a single-threaded apartment with a message loop of its own, so
// that a check creates its components there and waits for their events as it would on any
// apartment thread.
//
// Fairness: a lane runs one request and then goes to the back of the line of lanes with work,
// so a connection that pipelines many requests does not starve the others.
//
// Bounds: at most `maxChecks` checks (requests that may wait on the network or another host) run
// at once; a quick request never waits for one of their places: `quickWorkers` workers more than
// that exist for them, so that an idle connection is answered at once while every place for
// checks is taken. Workers are created when first needed. Every change of a lane's count of requests not yet answered (waiting or
// running) is reported through the lane's report function: the connection stops reading while
// the count is at its bound, and waits for it to reach 0 before it closes after its client's
// last request. A lane refuses work beyond `maxUnanswered`, a bound that a connection which
// honours the reports never meets.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace vorlane::agent {

class RequestLanes {
 public:
  using Work = std::function<void()>;
  // Told the lane's count of requests not yet answered, each time it changes: called outside
  // the lanes' lock, one call at a time per lane, in the order of the changes; the call that
  // changed the count returns once it has been told. It must be quick and must not call back
  // into the lanes (a change it made would wait for its own call to end).
  using Report = std::function<void(size_t unanswered)>;
  // Anything that tells connections apart (the terminal server's user object).
  using ConnectionId = const void*;

  // Whether a request counts toward the bound on checks.
  enum class Kind { kCheck, kQuick };
  static constexpr size_t kQuickWorkers = 4;

  RequestLanes(size_t maxChecks, size_t maxUnanswered, size_t quickWorkers = kQuickWorkers);
  // Stops as Stop(0) would.
  ~RequestLanes();
  RequestLanes(const RequestLanes&) = delete;
  RequestLanes& operator=(const RequestLanes&) = delete;

  // Queues `work` on the connection's lane (made with `report` when the connection has nothing
  // unanswered). False, and `work` dropped, when stopping or when the lane is full.
  bool Submit(ConnectionId connection, Work work, const Report& report, Kind kind = Kind::kCheck);
  // True when the connection has no request waiting or running: a quick request of it may run
  // on the caller's thread at once and keep its place in the connection's order. Only for the
  // thread that submits the connection's requests.
  bool Idle(ConnectionId connection) const;
  // The connection has ended: its waiting requests are dropped, never run; a running one ends
  // as it would.
  void Drop(ConnectionId connection);
  // Takes no more work and drops what waits; then waits up to `bound` for the running requests.
  // True when none runs any more; the workers have then ended. Otherwise the busy workers are
  // left to finish on their own (their requests cannot be interrupted safely).
  bool Stop(std::chrono::milliseconds bound);

  size_t Running() const;
  size_t Workers() const;

 private:
  // What the workers share with the lanes. A worker still busy after a bounded stop keeps it
  // alive until its request is done.
  struct Core;
  const std::shared_ptr<Core> core_;
};

}  // namespace vorlane::agent
