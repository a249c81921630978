// Threads and jobs that run a component module's code: counted in the module (ModuleThreadToken, so that
// DllCanUnloadNowHelper answers S_FALSE while one runs) and keeping the module loaded until
// they are done with it. Everything here is hidden and inline: each module gets its own copy,
// so the count and the address are always the calling module's.
#pragma once

#include <cerrno>
#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "platform/com/com_object.h"
#include "platform/com/job_runner.h"
#include "platform/loop/message_loop.h"

namespace vorlane::com {

// An address inside the calling module.
[[gnu::visibility("hidden")]] inline const void* ThisModuleAddress() noexcept {
  return reinterpret_cast<const void*>(&ModuleThreadCount);
}

// A thread running `body`, counted from before it is created until the body and what it
// captured are gone. Throws what WaitableThread throws (std::system_error when the system
// refuses the thread, std::bad_alloc); then nothing stays counted and what the body captured is
// already destroyed.
[[gnu::visibility("hidden")]] inline std::unique_ptr<loop::WaitableThread> MakeModuleThread(std::function<void()> body,
                                                                                            size_t stackSize = 0) {
  return std::make_unique<loop::WaitableThread>([token = ModuleThreadToken(), body = std::move(body)] { body(); },
                                                stackSize, ThisModuleAddress());
}

// Runs a job of the calling module on the runtime's shared job runner (job_runner.h): `work` on
// a worker, then `end` on the calling thread's loop (on the worker when it has none), or
// `orphaned` on the worker when that loop has closed meanwhile. The job counts as a thread of the
// module and keeps the module loaded from now until all three parts and what they captured are
// gone. 0 when it was taken; otherwise the errno-style reason (EAGAIN when the system refuses
// another thread), with nothing left counted or captured.
[[gnu::visibility("hidden")]] [[nodiscard]] inline int RunModuleJob(std::function<void()> work,
                                                                    std::function<void()> end = {},
                                                                    std::function<void()> orphaned = {}) noexcept {
  try {
    auto token = std::make_shared<ModuleThreadToken>();
    Job job;
    job.work = [token, work = std::move(work)] {
      if (work) work();
    };
    if (end) job.end = [token, end = std::move(end)] { end(); };
    if (orphaned) job.orphaned = [token, orphaned = std::move(orphaned)] { orphaned(); };
    job.keepLoaded = ThisModuleAddress();
    return JobRunner::Shared().Submit(std::move(job));
  } catch (...) {
    return ENOMEM;
  }
}

}  // namespace vorlane::com
