// Events on an eventfd: the counter is non-zero while the event is set, so the same fd can sit in
// a poll set next to the loop's own descriptors.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <system_error>

#include "platform/loop/loop_impl.h"
#include "platform/loop/message_loop.h"

namespace vorlane::loop {

Event::Event(Reset mode, bool initiallySet)
    : fd_(::eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK)), mode_(mode) {
  if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Event::~Event() { ::close(fd_); }

void Event::Set() {
  const uint64_t one = 1;
  // Setting a set event only raises the counter; EAGAIN (saturated) leaves it set as well.
  while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

void Event::ResetEvent() {
  uint64_t count = 0;
  // One read takes the whole counter to zero; EAGAIN means it was not set.
  while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

bool Event::IsSet() const {
  pollfd fd{fd_, POLLIN, 0};
  return ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0;
}

bool Event::TryConsume() {
  if (mode_ == Reset::kManual) return IsSet();
  // The read is atomic: of several threads that saw the event set, exactly one takes it.
  uint64_t count = 0;
  ssize_t got;
  do {
    got = ::read(fd_, &count, sizeof count);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof count);
}

bool Event::Wait(std::chrono::milliseconds timeout) {
  const bool forever = timeout.count() < 0;
  const auto deadline = forever ? LoopClock::time_point::max() : LoopClock::now() + timeout;
  for (;;) {
    if (TryConsume()) return true;
    const auto now = LoopClock::now();
    if (!forever && now >= deadline) return false;
    pollfd fd{fd_, POLLIN, 0};
    ::poll(&fd, 1, forever ? -1 : MillisecondsUntil(deadline, now));
  }
}

}  // namespace vorlane::loop
