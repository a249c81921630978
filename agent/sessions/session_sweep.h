// The periodic sweep that drops sessions nobody has used for a long time.
#pragma once

#include <memory>
#include <optional>

#include "agent/sessions/session_table.h"
#include "platform/timer/timer.h"

namespace vorlane::agent {

// The sweep's period: one session timeout.
inline constexpr unsigned kSessionSweepPeriodMs = static_cast<unsigned>(kSessionTimeoutSeconds) * 1000;

class SessionSweep {
 public:
  explicit SessionSweep(SessionTable& table) : table_(table) {}
  SessionSweep(const SessionSweep&) = delete;
  SessionSweep& operator=(const SessionSweep&) = delete;
  ~SessionSweep() { Stop(); }

  // Opens the output device, asks for 1 ms timer resolution and starts the periodic timer, in
  // that order. On failure writes its debug line, gives back what it took and returns false;
  // the agent then simply runs without the sweep.
  bool Start(unsigned periodMs);
  void Stop();
  bool IsRunning() const { return timer_ != nullptr; }

  // One pass over the table, as the timer runs it; writes one debug line per removed session.
  void SweepOnce();

 private:
  SessionTable& table_;
  std::optional<timer::MidiOutDevice> device_;
  std::optional<timer::ResolutionRequest> resolution_;
  std::unique_ptr<timer::PeriodicTimer> timer_;
};

}  // namespace vorlane::agent
