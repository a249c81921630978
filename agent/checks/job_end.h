// Waiting for a component's job to end. The ping and TCP components announce a job's end with
// an event of their collection (PingDone, JobDone); the check subscribes before it starts the
// job and then pumps its apartment's loop, through which the event's call is carried, until the
// event for its job arrives or the check's bound passes. Nothing sleeps between reads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/contract_events.h"
#include "platform/com/interfaces.h"
#include "platform/loop/message_loop.h"

namespace vorlane::agent {

// The end of one job: set once by the component's event (from whichever thread delivers it),
// awaited by the check's thread.
class JobEnd {
 public:
  JobEnd() = default;
  JobEnd(const JobEnd&) = delete;
  JobEnd& operator=(const JobEnd&) = delete;

  // The job with id `jobId` has ended; events of other jobs are not ours.
  void Announce(int32_t jobId);
  // The id whose announcement counts; until it is set, none does.
  void Expect(int32_t jobId) { expected_.store(jobId); }

  // Pumps the calling thread's message loop until the end was announced, `stillRunning` answers
  // false (asked every `recheck`, for an end whose event is lost), or `deadline` passes. True
  // unless the deadline came first.
  bool Await(std::chrono::steady_clock::time_point deadline, std::chrono::milliseconds recheck,
             const std::function<bool()>& stillRunning);

  // When the announcement arrived (the job's own end); the time Await returned for an end seen
  // by a recheck.
  std::chrono::steady_clock::time_point EndTime() const;

 private:
  static constexpr int32_t kNoJob = INT32_MIN;
  loop::Event ended_{loop::Event::Reset::kManual};
  std::atomic<int32_t> expected_{kNoJob};
  std::atomic<int64_t> endTicks_{0};
};

// A sink of a collection's end event: `Event` is the event's struct from the component's
// contract (ping::PingDoneEvent, tcpcheck::JobDoneEvent), naming its interface and carrying the
// job id, which the sink announces to `end`, which it shares. Announcing is safe on any thread, so
// the sink is agile: the component's thread calls it directly instead of waiting for the check's
// thread to take the call.
template <class Event>
class JobEndSink final
    : public com::ComObject<JobEndSink<Event>, com::DispatchImpl<JobEndSink<Event>, typename Event::Interface>,
                            com::IAgileObject> {
 public:
  explicit JobEndSink(std::shared_ptr<JobEnd> end) : end_(std::move(end)) {}

  static constexpr com::DispatchMember<JobEndSink> kDispatchMembers[] = {com::OnEvent<&JobEndSink::OnEnd>()};

 private:
  ~JobEndSink() override = default;
  com::HRESULT OnEnd(Event& event) {
    end_->Announce(event.id);
    return com::S_OK;
  }

  // Shared: a component may deliver an event after the check has given up on the job.
  const std::shared_ptr<JobEnd> end_;
};

// Whether a job (anything with get_IsRunning) still reports itself running.
template <class Job>
bool StillRunning(Job& job) {
  com::VARIANT_BOOL running = com::VARIANT_FALSE;
  (void)job.get_IsRunning(&running);
  return running != com::VARIANT_FALSE;
}

// A subscription of `sink` to the event interface `eventIid` of `source`, undone with the
// object. Empty when the source offers no such events (the check then relies on its rechecks).
class EventSubscription {
 public:
  EventSubscription(com::IUnknown* source, const com::IID& eventIid, com::IUnknown* sink);
  ~EventSubscription();
  EventSubscription(const EventSubscription&) = delete;
  EventSubscription& operator=(const EventSubscription&) = delete;
  bool Active() const { return point_ != nullptr; }

 private:
  com::ComPtr<com::IConnectionPoint> point_;
  uint32_t cookie_ = 0;
};

}  // namespace vorlane::agent
