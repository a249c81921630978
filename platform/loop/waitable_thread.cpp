// Threads that can be waited for with a timeout and given up on. Built on pthreads rather than
// std::thread for the stack size; the thread owns its start record and a share of the Ended
// event, so an abandoned thread touches nothing that its WaitableThread object owned.
#include <cxxabi.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "platform/loop/library_reference.h"
#include "platform/loop/message_loop.h"
#include "platform/loop/thread_start_failure.h"

namespace vorlane::loop {

struct WaitableThread::Impl {
  std::mutex lock;
  pthread_t thread{};
  bool joinable = false;  // guarded by lock: started, and neither joined nor detached
};

namespace {

struct StartRecord {
  std::function<void()> body;
  std::shared_ptr<Event> ended;
  std::unique_ptr<LibraryReference> library;
};

void* ThreadMain(void* arg) {
  std::unique_ptr<StartRecord> start(static_cast<StartRecord*>(arg));
  try {
    start->body();
  } catch (abi::__forced_unwind&) {
    // pthread_exit or cancellation unwinds through here and must go on unwinding.
    start->ended->Set();
    throw;
  } catch (...) {
    // Nobody could catch it on this thread's behalf; ending the process is not ours to decide.
  }
  // What the body captured is gone before Ended is set, so a waiter may rely on that.
  start->body = nullptr;
  start->ended->Set();
  // Last: what follows is the runtime's own code, which stays loaded.
  start->library.reset();
  return nullptr;
}

class ThreadAttributes {
 public:
  ThreadAttributes() {
    if (const int rc = ::pthread_attr_init(&attr_); rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_attr_init");
  }
  ~ThreadAttributes() { ::pthread_attr_destroy(&attr_); }
  ThreadAttributes(const ThreadAttributes&) = delete;
  ThreadAttributes& operator=(const ThreadAttributes&) = delete;
  pthread_attr_t* get() { return &attr_; }

 private:
  pthread_attr_t attr_;
};

// Thread creations still to fail (see testing::FailNextThreadCreations).
std::atomic<int> g_failingCreations{0};

size_t UsableStackSize(size_t requested) {
  const size_t minimum = PTHREAD_STACK_MIN;
  const long page = ::sysconf(_SC_PAGESIZE);
  const size_t pageSize = page > 0 ? static_cast<size_t>(page) : 4096;
  const size_t size = std::max(requested, minimum);
  return (size + pageSize - 1) / pageSize * pageSize;
}

}  // namespace

WaitableThread::WaitableThread(std::function<void()> body, size_t stackSize, const void* keepLoaded)
    : ended_(std::make_shared<Event>(Event::Reset::kManual)), impl_(std::make_unique<Impl>()) {
  ThreadAttributes attributes;
  if (stackSize != 0) {
    if (const int rc = ::pthread_attr_setstacksize(attributes.get(), UsableStackSize(stackSize)); rc != 0) {
      throw std::system_error(rc, std::generic_category(), "pthread_attr_setstacksize");
    }
  }
  auto start = std::make_unique<StartRecord>(
      StartRecord{std::move(body), ended_, std::make_unique<LibraryReference>(keepLoaded)});
  const int rc =
      testing::TakeInjectedThreadFailure() ? EAGAIN : ::pthread_create(&impl_->thread, attributes.get(), ThreadMain, start.get());
  if (rc != 0) {
    throw std::system_error(rc, std::generic_category(), "pthread_create");
  }
  start.release();  // the thread owns it now
  std::lock_guard guard(impl_->lock);
  impl_->joinable = true;
}

WaitableThread::~WaitableThread() {
  std::lock_guard guard(impl_->lock);
  if (!impl_->joinable) return;
  if (::pthread_equal(::pthread_self(), impl_->thread)) {
    ::pthread_detach(impl_->thread);  // destroyed by its own body: it cannot wait for itself
  } else {
    ::pthread_join(impl_->thread, nullptr);
  }
}

bool WaitableThread::Join(std::chrono::milliseconds timeout) {
  if (!ended_->Wait(timeout)) return false;
  // The body has returned; the join only waits for the thread's own teardown (its thread-local
  // objects, such as its message loop, which is closed by then).
  std::lock_guard guard(impl_->lock);
  if (impl_->joinable && !::pthread_equal(::pthread_self(), impl_->thread)) {
    ::pthread_join(impl_->thread, nullptr);
    impl_->joinable = false;
  }
  return true;
}

void WaitableThread::Abandon() {
  std::lock_guard guard(impl_->lock);
  if (!impl_->joinable) return;
  ::pthread_detach(impl_->thread);
  impl_->joinable = false;
}

namespace testing {

void FailNextThreadCreations(int count) noexcept {
  g_failingCreations.store(count > 0 ? count : 0, std::memory_order_relaxed);
}

bool TakeInjectedThreadFailure() noexcept {
  int pending = g_failingCreations.load(std::memory_order_relaxed);
  while (pending > 0) {
    if (g_failingCreations.compare_exchange_weak(pending, pending - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

}  // namespace testing
}  // namespace vorlane::loop
