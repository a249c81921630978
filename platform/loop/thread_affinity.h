// Thread affinity: the check that an object bound to one thread (the objects of a
// single-threaded apartment, the members of an object that run on its owner's thread only) is
// used on that thread and no other.
//
//   class Sink {
//     HRESULT OnEvent() {
//       affinity_.Assert();
//       ...
//     }
//     const loop::ThreadAffinity affinity_{"Sink"};  // bound to the thread that makes the object
//   };
//
// Assert checks in Debug builds and in the sanitizer build (VORLANE_SANITIZE), where the build
// defines VORLANE_THREAD_CHECKS=1, and is compiled out everywhere else (VORLANE_THREAD_CHECKS=0,
// the default when nothing defines it). It does not follow NDEBUG: RelWithDebInfo, the type of
// the sanitizer build as well, defines NDEBUG, and the checks matter most in that build. A
// failed check writes the function that was called, the object's name and both threads (kernel
// thread id and name) to standard error in one line, then aborts.
//
// The checker itself is the same in every build, so that code which binds or detaches it, and
// tests that ask it, build alike everywhere.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <source_location>
#include <thread>

#ifndef VORLANE_THREAD_CHECKS
#define VORLANE_THREAD_CHECKS 0
#endif

namespace vorlane::loop {

inline constexpr bool kThreadChecks = VORLANE_THREAD_CHECKS != 0;

class ThreadAffinity {
 public:
  struct Unbound {};
  // Not bound yet: the first thread that checks (or asks OnBoundThread) owns it.
  static constexpr Unbound kUnbound{};

  // Bound to the calling thread. `owner` names the object in a failure report; it must outlive
  // the checker (a string literal).
  explicit ThreadAffinity(const char* owner);
  ThreadAffinity(const char* owner, Unbound);
  ThreadAffinity(const ThreadAffinity&) = delete;
  ThreadAffinity& operator=(const ThreadAffinity&) = delete;

  // Check, naming the calling function, in the builds with the checks; nothing in the others.
  void Assert(std::source_location caller = std::source_location::current()) const {
    if constexpr (kThreadChecks) Check(caller.function_name());
  }

  // True when the calling thread is the bound one; an unbound checker is bound to it first.
  bool OnBoundThread() const;
  // Aborts, naming `member`, the owner and both threads, unless OnBoundThread. In every build.
  void Check(const char* member) const;
  // The object moves to another thread (the thread it was bound to has handed it over, or has
  // ended): the next check binds again.
  void Detach();

 private:
  struct Binding {
    bool bound = false;
    std::thread::id thread;
    pid_t tid = 0;       // for the report
    char name[16] = {};  // the thread's name at binding, for the report
  };
  static Binding Current();

  const char* const owner_;
  mutable std::mutex lock_;
  mutable Binding binding_;  // guarded by lock_
};

}  // namespace vorlane::loop
