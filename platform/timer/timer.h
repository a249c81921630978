// Periodic timers and the resources a periodic timer holds on to while it runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/base/result.h"

namespace vorlane::timer {

// A handle that stands for the output device the sweep keeps open while it runs. There is no
// device behind it on this platform; it exists so that a host without the device, and the
// agent's behaviour there, can be reproduced: opening fails while the mapper is marked
// unavailable, by SetMidiMapperAvailable(false) or by VORLANE_TEST_NO_MIDI=1 in the environment.
class MidiOutDevice {
 public:
  static Result<MidiOutDevice> OpenMapper();

  MidiOutDevice(MidiOutDevice&& other) noexcept : open_(std::exchange(other.open_, false)) {}
  MidiOutDevice& operator=(MidiOutDevice&& other) noexcept;
  ~MidiOutDevice() { Close(); }
  bool IsOpen() const { return open_; }
  void Close();

 private:
  MidiOutDevice() : open_(true) {}
  bool open_ = false;
};

void SetMidiMapperAvailable(bool available);
// How many devices are open now (tests check that every open is matched by a close).
int OpenMidiDevicesForTesting();

// A request for a finer timer resolution, held until destroyed. Timers here are precise to the
// millisecond anyway; the request is checked (1 to 1000 ms) and counted, nothing more.
class ResolutionRequest {
 public:
  static Result<ResolutionRequest> Begin(unsigned periodMs);
  ResolutionRequest(ResolutionRequest&& other) noexcept : periodMs_(std::exchange(other.periodMs_, 0)) {}
  ResolutionRequest& operator=(ResolutionRequest&& other) noexcept;
  ~ResolutionRequest() { End(); }
  void End();

 private:
  explicit ResolutionRequest(unsigned periodMs) : periodMs_(periodMs) {}
  unsigned periodMs_ = 0;
};

int ActiveResolutionRequestsForTesting();

// Calls `callback` on a thread of its own every `period`, the first time one period after
// Start. Kill (or destruction) stops it and waits for a callback that is running; called from
// inside the callback, it stops the timer without waiting for itself.
class PeriodicTimer {
 public:
  using Callback = std::function<void()>;

  // Fails for a period of 0 or over 1 000 000 ms, as the system timer service does.
  static Result<std::unique_ptr<PeriodicTimer>> Start(std::chrono::milliseconds period, Callback callback);

  PeriodicTimer(const PeriodicTimer&) = delete;
  PeriodicTimer& operator=(const PeriodicTimer&) = delete;
  ~PeriodicTimer() { Kill(); }
  void Kill();

 private:
  // Shared with the timer thread, so that a timer killed and destroyed from inside its own
  // callback leaves the thread nothing freed to touch.
  struct State {
    std::chrono::milliseconds period;
    Callback callback;
    std::mutex lock;
    std::condition_variable wake;
    bool stopping = false;  // guarded by lock
  };

  explicit PeriodicTimer(std::shared_ptr<State> state) : state_(std::move(state)) {}
  static void Run(std::shared_ptr<State> state);

  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace vorlane::timer
