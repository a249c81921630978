#include "agent/sessions/session_sweep.h"

#include <chrono>

#include "platform/debuglog/debuglog.h"

namespace vorlane::agent {
namespace {

constexpr std::string_view kMidiOpenFailed = "midiOutOpen failed!";
constexpr std::string_view kBeginPeriodFailed = "timeBeginPeriod failed!";
constexpr std::string_view kSetEventFailed = "Periodic timeSetEvent failed!";
constexpr std::string_view kRemovedByTimeout = "Remove from sessions map (because of timeout): ";
constexpr unsigned kTimerResolutionMs = 1;

}  // namespace

bool SessionSweep::Start(unsigned periodMs) {
  if (timer_) return true;
  auto device = timer::MidiOutDevice::OpenMapper();
  if (!device) {
    debuglog::Write(kMidiOpenFailed);
    return false;
  }
  // Whatever fails below gives the device back rather than keeping it open for nothing.
  auto resolution = timer::ResolutionRequest::Begin(kTimerResolutionMs);
  if (!resolution) {
    debuglog::Write(kBeginPeriodFailed);
    return false;
  }

  auto timer = timer::PeriodicTimer::Start(std::chrono::milliseconds(periodMs), [this] { SweepOnce(); });
  if (!timer) {
    debuglog::Write(kSetEventFailed);
    return false;  // the resolution request ends here, unused
  }
  device_.emplace(std::move(device).value());
  resolution_.emplace(std::move(resolution).value());
  timer_ = std::move(timer).value();
  return true;
}

void SessionSweep::Stop() {
  if (!timer_) return;
  timer_->Kill();
  timer_.reset();
  device_.reset();
  resolution_.reset();
}

void SessionSweep::SweepOnce() {
  for (const std::string& id : table_.Sweep(table_.Now())) {
    debuglog::Write(std::string(kRemovedByTimeout) + id);
  }
}

}  // namespace vorlane::agent
