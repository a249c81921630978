// The server thread: reads the general settings, creates and starts the terminal server
// component, starts the session sweep and then runs the thread's message loop, through which
// every connection event arrives. Requests are answered on worker threads (RequestLanes).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "agent/config/agent_config.h"
#include "agent/request/agent_context.h"
#include "agent/protocol/check_registry.h"
#include "agent/server/request_lanes.h"
#include "agent/sessions/session_sweep.h"
#include "agent/sessions/session_table.h"
#include "cipher/password.h"
#include "platform/com/com_ptr.h"
#include "platform/loop/thread_affinity.h"

namespace vorlane::loop {
class MessageLoop;
}

namespace vorlane::agent {

class CTermServerEvents;

class AgentServer {
 public:
  explicit AgentServer(ConfigPaths paths);
  ~AgentServer();

  // The server thread's body. `started` is called once, with true when the server listens
  // (after the sweep started) and false when it will never serve; then the loop runs until
  // Quit. The service stops on this thread, in its apartment, once the loop has ended: the
  // request being handled is answered first.
  void Run(const std::function<void(bool listening)>& started);

  // From any thread (the stop signal arrives on the main thread): ends the server thread's loop,
  // which then stops the service.
  void Quit();

  // After Run: false when requests were still running when the stop gave up waiting for them.
  // Their workers still use this server, so the process must end without destroying it.
  bool RequestsEnded() const { return requestsEnded_; }

 private:
  bool StartServer();
  // In this order: stop the component, disconnect the sink, release the component, stop the
  // sweep. On the server thread.
  void StopService();

  const ConfigPaths paths_;
  SessionTable sessions_;
  cipher::PasswordCipher cipher_;
  CheckRegistry checks_;
  AgentContext context_;
  SessionSweep sweep_;
  std::unique_ptr<RequestLanes> lanes_;  // made at start, with the configured bound
  bool requestsEnded_ = true;
  // The server thread, once Run begins on it; given up by the destructor, which runs on the
  // thread that ran the server thread and joined it.
  loop::ThreadAffinity affinity_{"AgentServer", loop::ThreadAffinity::kUnbound};

  std::mutex lock_;  // guards the members below (Quit comes from another thread)
  std::shared_ptr<loop::MessageLoop> loop_;
  com::ComPtr<com::IDispatch> server_;
  com::ComPtr<CTermServerEvents> sink_;
  com::ComPtr<com::IConnectionPoint> point_;
  uint32_t cookie_ = 0;
  bool quit_ = false;
};

// The session clock: time(), or, when VORLANE_TEST_CLOCK_FILE names a file that holds a number,
// that number (tests set and advance the clock without waiting).
SessionTable::Clock AgentClock();

}  // namespace vorlane::agent
