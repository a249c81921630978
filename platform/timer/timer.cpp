#include "platform/timer/timer.h"

#include <errno.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vorlane::timer {
namespace {

constexpr unsigned kMinResolutionMs = 1;
constexpr unsigned kMaxResolutionMs = 1000;
constexpr std::chrono::milliseconds kMaxPeriod{1000000};

std::atomic<int> g_midiAvailability{-1};  // -1: not decided yet, read from the environment
std::atomic<int> g_openMidiDevices{0};
std::atomic<int> g_resolutionRequests{0};

bool MidiMapperAvailable() {
  int state = g_midiAvailability.load();
  if (state < 0) {
    const char* flag = std::getenv("VORLANE_TEST_NO_MIDI");
    state = (flag != nullptr && std::strcmp(flag, "1") == 0) ? 0 : 1;
    int expected = -1;
    g_midiAvailability.compare_exchange_strong(expected, state);
    state = g_midiAvailability.load();
  }
  return state == 1;
}

}  // namespace

Result<MidiOutDevice> MidiOutDevice::OpenMapper() {
  if (!MidiMapperAvailable()) return Error{ENODEV, "no MIDI mapper device"};
  g_openMidiDevices.fetch_add(1);
  return MidiOutDevice();
}

MidiOutDevice& MidiOutDevice::operator=(MidiOutDevice&& other) noexcept {
  if (this != &other) {
    Close();
    open_ = std::exchange(other.open_, false);
  }
  return *this;
}

void MidiOutDevice::Close() {
  if (std::exchange(open_, false)) g_openMidiDevices.fetch_sub(1);
}

void SetMidiMapperAvailable(bool available) { g_midiAvailability.store(available ? 1 : 0); }
int OpenMidiDevicesForTesting() { return g_openMidiDevices.load(); }

Result<ResolutionRequest> ResolutionRequest::Begin(unsigned periodMs) {
  if (periodMs < kMinResolutionMs || periodMs > kMaxResolutionMs) {
    return Error{EINVAL, "timer resolution out of range"};
  }
  g_resolutionRequests.fetch_add(1);
  return ResolutionRequest(periodMs);
}

ResolutionRequest& ResolutionRequest::operator=(ResolutionRequest&& other) noexcept {
  if (this != &other) {
    End();
    periodMs_ = std::exchange(other.periodMs_, 0);
  }
  return *this;
}

void ResolutionRequest::End() {
  if (std::exchange(periodMs_, 0) != 0) g_resolutionRequests.fetch_sub(1);
}

int ActiveResolutionRequestsForTesting() { return g_resolutionRequests.load(); }

Result<std::unique_ptr<PeriodicTimer>> PeriodicTimer::Start(std::chrono::milliseconds period, Callback callback) {
  if (period.count() <= 0 || period > kMaxPeriod) return Error{EINVAL, "timer period out of range"};
  if (!callback) return Error{EINVAL, "timer without callback"};
  auto state = std::make_shared<State>();
  state->period = period;
  state->callback = std::move(callback);
  std::unique_ptr<PeriodicTimer> timer(new PeriodicTimer(state));
  try {
    timer->thread_ = std::thread(&PeriodicTimer::Run, std::move(state));
  } catch (const std::system_error& e) {
    return Error{e.code().value(), std::string("cannot start timer thread: ") + e.what()};
  }
  return timer;
}

void PeriodicTimer::Kill() {
  {
    std::lock_guard lock(state_->lock);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) {
    // Killed from its own callback: the thread ends once the callback returns.
    thread_.detach();
  } else {
    thread_.join();
  }
}

void PeriodicTimer::Run(std::shared_ptr<State> state) {
  auto next = std::chrono::steady_clock::now() + state->period;
  std::unique_lock lock(state->lock);
  while (true) {
    if (state->wake.wait_until(lock, next, [&] { return state->stopping; })) return;
    lock.unlock();
    state->callback();
    lock.lock();
    // Keep to the period's grid; after a callback that overran it, start again from now
    // instead of firing a burst of late ticks.
    next += state->period;
    auto now = std::chrono::steady_clock::now();
    if (next < now) next = now + state->period;
  }
}

}  // namespace vorlane::timer
