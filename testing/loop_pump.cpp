#include "testing/loop_pump.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace vorlane::testkit {

int RunWithWatchdog(const std::shared_ptr<loop::MessageLoop>& loop, std::chrono::milliseconds limit) {
  std::mutex lock;
  std::condition_variable changed;
  bool finished = false;  // guarded by lock
  std::thread watchdog([&] {
    std::unique_lock guard(lock);
    if (!changed.wait_for(guard, limit, [&] { return finished; })) loop->PostQuit(kWatchdogExit);
  });
  const int code = loop->Run();
  {
    std::lock_guard guard(lock);
    finished = true;
  }
  changed.notify_all();
  watchdog.join();
  return code;
}

}  // namespace vorlane::testkit
