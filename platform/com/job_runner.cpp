#include "platform/com/job_runner.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/error_info.h"
#include "platform/loop/library_reference.h"
#include "platform/loop/message_loop.h"
#include "platform/loop/thread_start_failure.h"

namespace vorlane::com {

namespace {

// One submitted job with what it needs to end. The library reference is declared first so that it
// goes last, after every part of the job (module code) is destroyed.
struct Record {
  explicit Record(Job job)
      : library(job.keepLoaded),
        work(std::move(job.work)),
        end(std::move(job.end)),
        orphaned(std::move(job.orphaned)) {}
  loop::LibraryReference library;
  std::function<void()> work;
  std::function<void()> end;
  std::function<void()> orphaned;
  std::shared_ptr<loop::MessageLoop> origin;
};

void RunPart(std::function<void()>& part) noexcept {
  try {
    if (part) part();
  } catch (...) {
    // Nobody could catch it on the job's behalf.
  }
  // What the part captured goes here, on the thread that ran it.
  try {
    part = nullptr;
  } catch (...) {
  }
}

// A worker's wake-up: set when a job is handed to it or the runner stops.
struct Worker {
  loop::Event wake{loop::Event::Reset::kAuto};
};

}  // namespace

struct JobRunner::State {
  explicit State(JobRunnerLimits l) : limits(l) {}

  const JobRunnerLimits limits;
  mutable std::mutex lock;
  std::condition_variable ended;                 // a worker has ended
  std::deque<std::shared_ptr<Record>> queue;     // guarded by lock
  std::vector<Worker*> idle;                     // guarded by lock: most recently idle last
  size_t threads = 0;                            // guarded by lock
  bool stopping = false;                         // guarded by lock
};

namespace {

// Takes `worker` out of the idle list; false when it was not in it (a job was handed to it).
bool LeaveIdle(std::vector<Worker*>& idle, Worker* worker) {
  auto it = std::find(idle.begin(), idle.end(), worker);
  if (it == idle.end()) return false;
  idle.erase(it);
  return true;
}

// Runs one job on the worker and hands its end on.
void RunRecord(std::shared_ptr<Record> record) noexcept {
  RunPart(record->work);
  // A job's error information is its own, never the next job's.
  (void)SetErrorInfo(nullptr);
  if (record->end || record->orphaned) {
    if (record->origin) {
      std::shared_ptr<loop::MessageLoop> origin = std::move(record->origin);
      bool posted = false;
      try {
        posted = origin->PostTask([record] { RunPart(record->end); });
      } catch (...) {
      }
      if (posted) return;  // the record goes with the task, on the submitter's thread
      RunPart(record->orphaned);
    } else {
      RunPart(record->end);
    }
  }
}

// Waits on the worker's loop until it is woken or `limit` passed, serving the apartment's
// messages meanwhile. True when woken.
bool IdleWait(loop::MessageLoop& loop, Worker& worker, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return worker.wake.TryConsume();
    switch (loop.WaitForHandleOrMessage({&worker.wake}, left)) {
      case loop::MessageLoop::WaitResult::kSignaled:
        return true;
      case loop::MessageLoop::WaitResult::kTimeout:
        return worker.wake.TryConsume();
      case loop::MessageLoop::WaitResult::kMessage: {
        loop::Message message;
        // Nobody quits a worker's loop from outside; a stray quit is dropped.
        if (loop.Peek(&message, true) && message.kind != loop::Message::Kind::kQuit) loop.Dispatch(message);
        break;
      }
    }
  }
}

void WorkerMain(const std::shared_ptr<JobRunner::State>& state) {
  ApartmentScope apartment;
  std::shared_ptr<loop::MessageLoop> loop = loop::MessageLoop::ForCurrentThread();
  Worker self;
  std::unique_lock guard(state->lock);
  for (;;) {
    if (!state->queue.empty()) {
      std::shared_ptr<Record> record = std::move(state->queue.front());
      state->queue.pop_front();
      guard.unlock();
      RunRecord(std::move(record));
      guard.lock();
      continue;
    }
    if (state->stopping) break;
    state->idle.push_back(&self);
    guard.unlock();
    const bool woken = IdleWait(*loop, self, state->limits.idleExit);
    guard.lock();
    // Still listed: nobody handed it a job. Stay when the pool keeps this many anyway.
    if (!woken && LeaveIdle(state->idle, &self) && state->threads > state->limits.keptThreads &&
        state->queue.empty()) {
      break;
    }
    LeaveIdle(state->idle, &self);
  }
  --state->threads;
  state->ended.notify_all();
}

}  // namespace

JobRunner::JobRunner(JobRunnerLimits limits) : state_(std::make_shared<State>(limits)) {}

JobRunner::~JobRunner() {
  std::unique_lock guard(state_->lock);
  state_->stopping = true;
  for (Worker* worker : state_->idle) worker->wake.Set();
  state_->idle.clear();
  state_->ended.wait(guard, [&] { return state_->threads == 0; });
}

JobRunner& JobRunner::Shared() {
  // Never destroyed: workers may still be ending when the process exits.
  static JobRunner* const runner = new JobRunner();
  return *runner;
}

int JobRunner::Submit(Job job) noexcept {
  try {
    if (loop::testing::TakeInjectedThreadFailure()) return EAGAIN;
    auto record = std::make_shared<Record>(std::move(job));
    if (record->end || record->orphaned) record->origin = loop::MessageLoop::Current();
    std::unique_lock guard(state_->lock);
    if (state_->stopping) return ESHUTDOWN;
    state_->queue.push_back(record);
    if (!state_->idle.empty()) {
      state_->idle.back()->wake.Set();
      state_->idle.pop_back();
      return 0;
    }
    if (state_->threads >= state_->limits.maxThreads) return 0;  // a busy worker takes it next
    ++state_->threads;
    try {
      loop::WaitableThread([state = state_] { WorkerMain(state); }, state_->limits.stackSize).Abandon();
    } catch (...) {
      --state_->threads;
      // Another worker takes the job when there is one; else nobody ever would.
      if (state_->threads > 0) return 0;
      state_->queue.erase(std::find(state_->queue.begin(), state_->queue.end(), record));
      guard.unlock();
      record.reset();  // destroyed outside the lock: it holds module code
      throw;
    }
    return 0;
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  } catch (...) {
    return EAGAIN;
  }
}

size_t JobRunner::Threads() const {
  std::lock_guard guard(state_->lock);
  return state_->threads;
}

}  // namespace vorlane::com
