#include "agent/server/request_lanes.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "agent/log/agent_log.h"
#include "platform/com/apartment.h"
#include "platform/loop/message_loop.h"

namespace vorlane::agent {

struct RequestLanes::Core : std::enable_shared_from_this<Core> {
  struct Item {
    Work work;
    Kind kind;
  };
  struct Lane {
    size_t Unanswered() const { return waiting.size() + (running ? 1 : 0); }
    ConnectionId id = nullptr;
    Report report;  // set when the lane is made, never changed: called without the lock
    std::deque<Item> waiting;
    bool running = false;
    Kind runningKind = Kind::kQuick;
    // The counts for the report, oldest first, that it has not been told yet; `telling` while a
    // thread tells them (one at a time, outside the lock). `changes` counts the counts noted
    // and `told` those told, so that a thread can wait until its own has been told.
    std::deque<size_t> untold;
    bool telling = false;
    uint64_t changes = 0;
    uint64_t told = 0;
  };
  // The changes of counts one operation noted under the lock, told once it is done with the
  // lanes: each lane with the number of its change.
  using Changes = std::vector<std::pair<std::shared_ptr<Lane>, uint64_t>>;
  struct Worker {
    std::shared_ptr<loop::MessageLoop> loop;  // set by the worker before its first request runs
    std::unique_ptr<loop::WaitableThread> thread;
    bool busy = false;
  };

  Core(size_t checks, size_t unanswered, size_t quick)
      : maxChecks(checks), maxWorkers(checks + quick), maxUnanswered(unanswered) {}

  void Schedule(std::unique_lock<std::mutex>& held, Changes& changes);
  Worker* IdleWorker();
  bool Start(Worker* worker, const std::shared_ptr<Lane>& lane, const Work& work);
  void Finished(Worker* worker, const std::shared_ptr<Lane>& lane);
  // Notes the lane's count for its report.
  static void Note(const std::shared_ptr<Lane>& lane, Changes& changes);
  // Tells the reports the noted counts, each call with the lock released, and returns once each
  // of `changes` has been told (by this thread or by the one telling that lane already).
  void Tell(std::unique_lock<std::mutex>& held, const Changes& changes);
  void Forget(const std::shared_ptr<Lane>& lane);

  const size_t maxChecks;
  const size_t maxWorkers;
  const size_t maxUnanswered;

  std::mutex lock;
  std::condition_variable idle;  // a request finished
  std::condition_variable toldOne;  // a report was told a count
  std::map<ConnectionId, std::shared_ptr<Lane>> lanes;
  std::deque<std::shared_ptr<Lane>> ready;  // lanes with waiting work and none running
  std::vector<std::unique_ptr<Worker>> workers;
  size_t running = 0;
  size_t runningChecks = 0;
  bool stopping = false;
};

void RequestLanes::Core::Note(const std::shared_ptr<Lane>& lane, Changes& changes) {
  if (!lane->report) return;
  lane->untold.push_back(lane->Unanswered());
  changes.emplace_back(lane, ++lane->changes);
}

// A lane's counts reach its report in the order they changed, one call at a time: the first
// thread to find the lane's counts untold tells them all, the others wait for their own. A
// thread waits only while it tells no lane, so two threads never wait for each other.
void RequestLanes::Core::Tell(std::unique_lock<std::mutex>& held, const Changes& changes) {
  for (const auto& [lane, change] : changes) {
    if (lane->telling) {
      toldOne.wait(held, [&lane, change] { return lane->told >= change; });
      continue;
    }
    lane->telling = true;
    while (!lane->untold.empty()) {
      const size_t count = lane->untold.front();
      lane->untold.pop_front();
      held.unlock();
      try {
        lane->report(count);
      } catch (...) {
        Log("A connection could not be told its count of unanswered requests.", kLogError);
      }
      held.lock();
      ++lane->told;
      toldOne.notify_all();
    }
    lane->telling = false;
  }
}

void RequestLanes::Core::Forget(const std::shared_ptr<Lane>& lane) {
  auto found = lanes.find(lane->id);
  if (found != lanes.end() && found->second == lane) lanes.erase(found);
}

RequestLanes::Core::Worker* RequestLanes::Core::IdleWorker() {
  for (const auto& candidate : workers) {
    if (!candidate->busy) return candidate.get();
  }
  if (workers.size() >= maxWorkers) return nullptr;
  workers.push_back(std::make_unique<Worker>());
  return workers.back().get();
}

// Starts the first request of each ready lane in turn while workers are free. A lane whose next
// request is a check while every place for checks is taken keeps its turn, and the lanes behind
// it with a quick request go ahead.
void RequestLanes::Core::Schedule(std::unique_lock<std::mutex>&, Changes& changes) {
  for (auto next = ready.begin(); next != ready.end() && !stopping;) {
    std::shared_ptr<Lane> lane = *next;
    const Kind kind = lane->waiting.front().kind;
    if (kind == Kind::kCheck && runningChecks >= maxChecks) {
      ++next;
      continue;
    }
    Worker* worker = IdleWorker();
    if (worker == nullptr) return;
    Work work = std::move(lane->waiting.front().work);
    lane->waiting.pop_front();
    if (!Start(worker, lane, work)) {
      // No thread for a new worker: the request waits for a worker that exists, or, with none,
      // is dropped with its lane's others (the connection gets no answers rather than hanging).
      if (!worker->thread) workers.pop_back();  // the new one, last in the list
      lane->waiting.push_front(Item{std::move(work), kind});
      if (workers.empty()) {
        for (const auto& waiting : ready) {
          waiting->waiting.clear();
          Note(waiting, changes);
          Forget(waiting);
        }
        ready.clear();
      }
      return;
    }
    next = ready.erase(next);
    lane->running = true;
    lane->runningKind = kind;
    worker->busy = true;
    ++running;
    if (kind == Kind::kCheck) ++runningChecks;
  }
}

// Runs one request on the worker: the first one on a new thread, the others posted to the
// worker's loop. False when no thread could be started for a new worker.
bool RequestLanes::Core::Start(Worker* worker, const std::shared_ptr<Lane>& lane, const Work& work) {
  auto job = [core = shared_from_this(), worker, lane, work] {
    try {
      work();
    } catch (const std::exception& error) {
      Log(std::string("A request failed: ") + error.what(), kLogError);
    } catch (...) {
      Log("A request failed.", kLogError);
    }
    core->Finished(worker, lane);
  };
  // An idle worker's loop was set before its first request finished (and so before the lock
  // that made it idle); its thread runs until the lanes stop.
  if (worker->loop) return worker->loop->PostTask(std::move(job));
  try {
    auto body = [core = shared_from_this(), worker, job = std::move(job)]() mutable {
      com::ApartmentScope apartment;
      std::shared_ptr<loop::MessageLoop> loop = loop::MessageLoop::ForCurrentThread();
      {
        std::lock_guard held(core->lock);
        worker->loop = loop;
      }
      std::move(job)();
      {
        // A stop that came before the loop was set could not post it a quit.
        std::lock_guard held(core->lock);
        if (core->stopping) return;
      }
      loop->Run();
    };
    worker->thread = std::make_unique<loop::WaitableThread>(std::move(body));
    return true;
  } catch (const std::exception& error) {
    Log(std::string("Could not start a worker for requests: ") + error.what(), kLogError);
    return false;
  }
}

void RequestLanes::Core::Finished(Worker* worker, const std::shared_ptr<Lane>& lane) {
  std::unique_lock held(lock);
  Changes changes;
  if (lane->runningKind == Kind::kCheck) --runningChecks;
  worker->busy = false;
  lane->running = false;
  Note(lane, changes);
  if (!lane->waiting.empty() && !stopping) {
    ready.push_back(lane);
  } else {
    Forget(lane);
  }
  Schedule(held, changes);
  // Counted as running until its lane has been told: a stop that finds nothing running finds
  // every count told.
  Tell(held, changes);
  --running;
  idle.notify_all();
}

RequestLanes::RequestLanes(size_t maxChecks, size_t maxUnanswered, size_t quickWorkers)
    : core_(std::make_shared<Core>(std::max<size_t>(maxChecks, 1), std::max<size_t>(maxUnanswered, 1), quickWorkers)) {}

RequestLanes::~RequestLanes() { (void)Stop(std::chrono::milliseconds(0)); }

bool RequestLanes::Submit(ConnectionId connection, Work work, const Report& report, Kind kind) {
  Core& core = *core_;
  std::unique_lock held(core.lock);
  if (core.stopping) return false;
  std::shared_ptr<Core::Lane>& lane = core.lanes[connection];
  if (!lane) {
    lane = std::make_shared<Core::Lane>();
    lane->id = connection;
    lane->report = report;
  }
  if (lane->Unanswered() >= core.maxUnanswered) return false;
  Core::Changes changes;
  lane->waiting.push_back(Core::Item{std::move(work), kind});
  Core::Note(lane, changes);
  if (!lane->running && lane->waiting.size() == 1) core.ready.push_back(lane);
  core.Schedule(held, changes);
  core.Tell(held, changes);
  return true;
}

bool RequestLanes::Idle(ConnectionId connection) const {
  std::lock_guard held(core_->lock);
  return !core_->stopping && core_->lanes.find(connection) == core_->lanes.end();
}

void RequestLanes::Drop(ConnectionId connection) {
  Core& core = *core_;
  std::unique_lock held(core.lock);
  auto found = core.lanes.find(connection);
  if (found == core.lanes.end()) return;
  std::shared_ptr<Core::Lane> lane = found->second;
  Core::Changes changes;
  lane->waiting.clear();
  Core::Note(lane, changes);
  std::erase(core.ready, lane);
  if (!lane->running) core.Forget(lane);
  core.Tell(held, changes);
}

bool RequestLanes::Stop(std::chrono::milliseconds bound) {
  Core& core = *core_;
  std::vector<std::unique_ptr<Core::Worker>> workers;
  bool finished;
  {
    std::unique_lock held(core.lock);
    Core::Changes changes;
    core.stopping = true;
    for (auto& [id, lane] : core.lanes) {
      lane->waiting.clear();
      Core::Note(lane, changes);
    }
    core.ready.clear();
    core.Tell(held, changes);
    finished = core.idle.wait_for(held, bound, [&core] { return core.running == 0; });
    for (auto& worker : core.workers) {
      if (worker->loop) (void)worker->loop->PostQuit(0);
      if (worker->busy && worker->thread) worker->thread->Abandon();
    }
    if (finished) workers = std::move(core.workers);
  }
  workers.clear();  // joins the idle workers, whose loops end with the quit
  return finished;
}

size_t RequestLanes::Running() const {
  std::lock_guard held(core_->lock);
  return core_->running;
}

size_t RequestLanes::Workers() const {
  std::lock_guard held(core_->lock);
  return core_->workers.size();
}

}  // namespace vorlane::agent
