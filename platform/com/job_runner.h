// The runtime's job runner: one pool of worker threads that runs the jobs of every component
// (a check, a transfer, the delivery of a notification) instead of a thread started per job.
//
// Each worker lives in a single-threaded apartment of its own for its whole life, with its own
// message loop, which every job it runs reuses; between jobs it keeps dispatching that loop, so
// calls into its apartment are still served. The pool starts workers as jobs come, up to a cap
// (jobs beyond it wait, first come first served); idle workers beyond a few exit after a while.
//
// A job's end is posted to the message loop of the thread that submitted it, so it runs there,
// in the submitter's apartment; with no loop there it runs on the worker. When that loop has
// closed before the end could be posted, the job's `orphaned` part runs on the worker instead.
// Components submit through RunModuleJob (module_thread.h), which counts the job in the module
// and keeps the module loaded until every part of the job and what it captured are gone.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

namespace vorlane::com {

struct JobRunnerLimits {
  // The most workers at once. High enough that jobs which wait for other jobs (a job delivering
  // its end through a notification job) never wait for each other at the cap.
  size_t maxThreads = 128;
  // Idle workers that stay however long they idle.
  size_t keptThreads = 2;
  // How long a worker beyond those idles before it exits.
  std::chrono::milliseconds idleExit{10000};
  // Stack of a worker: a host lookup (glibc's resolver and the modules it loads) and a TLS
  // library run on it; untouched pages cost no memory.
  size_t stackSize = 512 * 1024;
};

struct Job {
  std::function<void()> work{};      // on a worker
  std::function<void()> end{};       // then on the submitter's loop (on the worker without one)
  std::function<void()> orphaned{};  // instead of `end`, on the worker, when that loop has closed
  // An address inside the library whose code the job runs: it stays loaded until the job is gone.
  const void* keepLoaded = nullptr;
};

class JobRunner {
 public:
  explicit JobRunner(JobRunnerLimits limits = {});
  // Lets the workers run the jobs still waiting, then waits for every worker to end. Not on a
  // worker of its own.
  ~JobRunner();
  JobRunner(const JobRunner&) = delete;
  JobRunner& operator=(const JobRunner&) = delete;

  // The process's runner, shared by every component; never destroyed.
  static JobRunner& Shared();

  // 0 when the job is taken; otherwise the errno-style reason (EAGAIN when no worker could be
  // started and none is there to take it, or when a test refuses the next thread start through
  // loop::testing::FailNextThreadCreations), and the job is destroyed without running.
  [[nodiscard]] int Submit(Job job) noexcept;

  // Workers alive (for tests and diagnostics).
  size_t Threads() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vorlane::com
