// Threads that run a component module's code: counted in the module (ModuleThreadToken, so that
// DllCanUnloadNowHelper answers S_FALSE while one runs) and keeping the module loaded until
// they are done with it. Everything here is hidden and inline: each module gets its own copy,
// so the count and the address are always the calling module's.
#pragma once

#include <cerrno>
#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <system_error>
#include <utility>

#include "platform/com/com_object.h"
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

// Starts a detached module thread. 0 when it runs; otherwise the errno-style reason it could not
// start (EAGAIN when the system refuses another thread), with nothing left counted or captured.
[[gnu::visibility("hidden")]] [[nodiscard]] inline int StartDetachedModuleThread(std::function<void()> body,
                                                                               size_t stackSize = 0) noexcept {
  try {
    MakeModuleThread(std::move(body), stackSize)->Abandon();
    return 0;
  } catch (const std::system_error& e) {
    return e.code().value() != 0 ? e.code().value() : EAGAIN;
  } catch (...) {
    return ENOMEM;
  }
}

}  // namespace vorlane::com
