// What the TCP check component's tests share: the collection created by class id in the test's
// apartment, a JobDone sink that counts, the arguments of a check with their defaults, and
// servers on loopback that play the parts a checked service plays.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/dispatch_table.h"
#include "platform/loop/message_loop.h"
#include "tcpcheck/portwick.h"
#include "testing/peer_server.h"

namespace vorlane::tcpcheck::testing {

using namespace std::chrono_literals;

// Receives JobDone and notes the ids, and what the job said about itself inside the handler.
class JobDoneSink final
    : public com::ComObject<JobDoneSink, com::DispatchImpl<JobDoneSink, ItqCollThTCPEvents>> {
  com::HRESULT InvokeJobDone(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<JobDoneSink> kDispatchMembers[] = {
      com::DispMethod("JobDone", kEventJobDone, &JobDoneSink::InvokeJobDone, 1),
  };

  std::vector<int32_t> Ids();
  size_t Count();
  // Runs inside the handler, on the client's thread.
  std::function<void(int32_t)> onDone;

 private:
  ~JobDoneSink() override = default;
  std::mutex lock_;
  std::vector<int32_t> ids_;  // guarded by lock_
};

// The arguments of one Check, as a protocol table row gives them.
struct CheckParameters {
  std::u16string host = u"127.0.0.1";
  int32_t port = 0;
  int32_t timeout = 2;
  std::u16string greeting{};
  int32_t greetingMode = 0;
  std::u16string send{};
  std::u16string response{};
  int32_t responseMode = 0;
  std::u16string closing{};
  bool linger = true;
  bool ipv6 = false;
};

// The outcome of a finished job.
struct Outcome {
  bool up = false;
  std::string response;
  std::string address;
};
Outcome OutcomeOf(ItqThTCP* job);
bool Running(ItqThTCP* job);
int32_t IdOf(ItqThTCP* job);

// How the server saw the client go: an orderly close (FIN) or a reset (RST).
struct ClientEnd {
  std::atomic<int> closes{0};
  std::atomic<int> resets{0};
};

// Server behaviours. Each waits (bounded) for the client to go and notes how it went in `end`
// when one is given.
testkit::PeerServer::Behaviour Greets(std::string greeting, ClientEnd* end = nullptr);
// Greets, waits for `command` to arrive in full, then answers with `answer` (when not empty).
testkit::PeerServer::Behaviour Answers(std::string greeting, std::string command, std::string answer,
                                       ClientEnd* end = nullptr);
// Sends the pieces one after another, pausing `pause` between them (a bounded wait on the socket).
testkit::PeerServer::Behaviour GreetsInPieces(std::vector<std::string> pieces, std::chrono::milliseconds pause);
// Accepts and closes at once.
void ClosesAtOnce(testkit::PeerConnection& peer);
// Accepts and stays silent until the client goes.
void Silent(testkit::PeerConnection& peer);

class TcpCheckTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  com::ComPtr<ItqThTCP> Add();
  int32_t Count();
  bool CollectionRunning();
  bool AllChecked();
  // The collection's JobDone point, and sinks advised and unadvised on it.
  com::ComPtr<com::IConnectionPoint> JobDonePoint();
  uint32_t Advise(com::IUnknown* sink);
  void Unadvise(uint32_t cookie);
  // Pumps this apartment until the job is idle; false when it was not within `limit`.
  bool WaitIdle(ItqThTCP* job, std::chrono::milliseconds limit = 20s);
  // Starts a check on `job`, which is then waited for before the apartment goes.
  com::HRESULT StartCheck(const com::ComPtr<ItqThTCP>& job, const CheckParameters& parameters);
  // Starts a check on a new job of the collection and waits until it is idle.
  Outcome RunCheck(const CheckParameters& parameters);

  std::shared_ptr<loop::MessageLoop> loop_;
  com::ComPtr<ItqCollThTCP> collection_;
  std::vector<com::ComPtr<ItqThTCP>> started_;  // waited for before the apartment goes
};

}  // namespace vorlane::tcpcheck::testing
