#include "platform/loop/thread_affinity.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace vorlane::loop {

ThreadAffinity::ThreadAffinity(const char* owner) : owner_(owner), binding_(Current()) {}

ThreadAffinity::ThreadAffinity(const char* owner, Unbound) : owner_(owner) {}

ThreadAffinity::Binding ThreadAffinity::Current() {
  Binding current;
  current.bound = true;
  current.thread = std::this_thread::get_id();
  current.tid = ::gettid();
  if (::pthread_getname_np(::pthread_self(), current.name, sizeof current.name) != 0) current.name[0] = '\0';
  return current;
}

bool ThreadAffinity::OnBoundThread() const {
  std::lock_guard held(lock_);
  if (!binding_.bound) binding_ = Current();
  return binding_.thread == std::this_thread::get_id();
}

void ThreadAffinity::Check(const char* member) const {
  if (OnBoundThread()) return;
  Binding bound;
  {
    std::lock_guard held(lock_);
    bound = binding_;
  }
  const Binding caller = Current();
  // Written in one call, so that the line stays whole among other threads' output.
  std::fprintf(stderr,
               "Thread affinity violated: %s called on thread %d \"%s\"; %s (checker at %p) belongs to "
               "thread %d \"%s\"\n",
               member, static_cast<int>(caller.tid), caller.name, owner_, static_cast<const void*>(this),
               static_cast<int>(bound.tid), bound.name);
  std::fflush(stderr);
  std::abort();
}

void ThreadAffinity::Detach() {
  std::lock_guard held(lock_);
  binding_ = Binding{};
}

}  // namespace vorlane::loop
