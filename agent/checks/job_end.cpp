#include "agent/checks/job_end.h"

#include <algorithm>
#include <memory>

namespace vorlane::agent {

namespace {

int64_t Ticks(std::chrono::steady_clock::time_point at) { return at.time_since_epoch().count(); }

}  // namespace

void JobEnd::Announce(int32_t jobId) {
  if (jobId != expected_.load() || ended_.IsSet()) return;
  endTicks_.store(Ticks(std::chrono::steady_clock::now()));
  ended_.Set();
}

bool JobEnd::Await(std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds recheck,
                   const std::function<bool()>& stillRunning) {
  const std::shared_ptr<loop::MessageLoop> loop = loop::MessageLoop::ForCurrentThread();
  bool seenIdle = false;
  const auto remaining =
      std::max(std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
               std::chrono::milliseconds(0));
  // Both timers are the loop's, so they run inside the pump below; they go with this scope.
  const auto probeRunning = [&] {
    if (!stillRunning()) {
      seenIdle = true;
      ended_.Set();
    }
  };
  const std::unique_ptr<loop::LoopTimer> bound = loop->StartTimer(remaining, false, [&] { ended_.Set(); });
  const std::unique_ptr<loop::LoopTimer> probe =
      loop->StartTimer(std::max(recheck, std::chrono::milliseconds(1)), true, probeRunning);
  // A job refused at its start is idle already and announces nothing.
  probeRunning();
  (void)loop->WaitPumping(ended_);
  if (endTicks_.load() != 0) return true;
  if (!seenIdle) return false;
  endTicks_.store(Ticks(std::chrono::steady_clock::now()));
  return true;
}

std::chrono::steady_clock::time_point JobEnd::EndTime() const {
  return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(endTicks_.load()));
}

EventSubscription::EventSubscription(com::IUnknown* source, const com::IID& eventIid, com::IUnknown* sink) {
  com::ComPtr<com::IConnectionPointContainer> container;
  if (source == nullptr ||
      com::Failed(source->QueryInterface(com::IConnectionPointContainer::kIid, container.put_void())) || !container) {
    return;
  }
  com::ComPtr<com::IConnectionPoint> point;
  if (com::Failed(container->FindConnectionPoint(eventIid, point.put())) || !point) return;
  if (com::Failed(point->Advise(sink, &cookie_))) return;
  point_ = std::move(point);
}

EventSubscription::~EventSubscription() {
  if (point_) (void)point_->Unadvise(cookie_);
}

}  // namespace vorlane::agent
