// The apartment object behind CurrentApartment(); used by the marshalling code.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/com/apartment.h"

namespace vorlane::com {

class PendingCall;

class Apartment {
 public:
  explicit Apartment(std::shared_ptr<loop::MessageLoop> loop);

  bool IsOwnerThread() const { return std::this_thread::get_id() == thread_; }
  bool Alive();
  bool Post(std::function<void()> task);
  bool AddPending(const std::shared_ptr<PendingCall>& call);

  // Actions run on the owner thread when the apartment ends (releasing what it still lends
  // out); 0 when it has ended already.
  uint64_t AddEndAction(std::function<void()> action);
  void RemoveEndAction(uint64_t id);

  // Ends the apartment: on its own thread, at the last CoUninitialize or at thread exit.
  void End();

 private:
  const std::shared_ptr<loop::MessageLoop> loop_;
  const std::thread::id thread_;
  std::mutex lock_;
  bool alive_ = true;                                   // guarded by lock_
  std::vector<std::weak_ptr<PendingCall>> pending_;     // guarded by lock_
  std::vector<std::pair<uint64_t, std::function<void()>>> endActions_;  // guarded by lock_
  uint64_t nextActionId_ = 0;                           // guarded by lock_
};

}  // namespace vorlane::com
