#include "tcpcheck/tests/tcp_check_fixture.h"

#include <cerrno>

#include "platform/com/activation.h"
#include "platform/com/apartment.h"
#include "platform/com/bstr.h"
#include "platform/com/connection_point.h"
#include "testing/loop_pump.h"

namespace vorlane::tcpcheck::testing {

using com::Bstr;
using com::ComPtr;
using com::HRESULT;
using com::S_OK;
using testkit::PeerConnection;
using testkit::PeerServer;

HRESULT JobDoneSink::InvokeJobDone(com::DispatchCall& call) {
  int32_t id = -2;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &id));
  {
    std::lock_guard guard(lock_);
    ids_.push_back(id);
  }
  if (onDone) onDone(id);
  return S_OK;
}

std::vector<int32_t> JobDoneSink::Ids() {
  std::lock_guard guard(lock_);
  return ids_;
}

size_t JobDoneSink::Count() {
  std::lock_guard guard(lock_);
  return ids_.size();
}

HRESULT TcpCheckTest::StartCheck(const ComPtr<ItqThTCP>& job, const CheckParameters& parameters) {
  started_.push_back(job);
  auto text = [](const std::u16string& value) { return Bstr(value); };
  return job->Check(text(parameters.host).get(), parameters.port, parameters.timeout, text(parameters.greeting).get(), parameters.greetingMode,
                    text(parameters.send).get(), text(parameters.response).get(), parameters.responseMode, text(parameters.closing).get(),
                    parameters.linger ? com::VARIANT_TRUE : com::VARIANT_FALSE,
                    parameters.ipv6 ? com::VARIANT_TRUE : com::VARIANT_FALSE);
}

Outcome OutcomeOf(ItqThTCP* job) {
  Outcome outcome;
  com::VARIANT_BOOL up = 0;
  EXPECT_EQ(job->get_TCPHostUP(&up), S_OK);
  outcome.up = up != 0;
  Bstr text;
  EXPECT_EQ(job->get_TCPHostResponse(text.put()), S_OK);
  outcome.response = text.ToUtf8();
  Bstr address;
  EXPECT_EQ(job->get_TCPIPHostAddress(address.put()), S_OK);
  outcome.address = address.ToUtf8();
  return outcome;
}

bool Running(ItqThTCP* job) {
  com::VARIANT_BOOL running = 0;
  EXPECT_EQ(job->get_IsRunning(&running), S_OK);
  return running != 0;
}

int32_t IdOf(ItqThTCP* job) {
  int32_t id = -99;
  EXPECT_EQ(job->get_ID(&id), S_OK);
  return id;
}

namespace {

void AwaitClientEnd(PeerConnection& peer, ClientEnd* end) {
  if (!peer.WaitForClientClose(20s) || end == nullptr) return;
  if (peer.ReceiveError() == ECONNRESET) {
    ++end->resets;
  } else {
    ++end->closes;
  }
}

}  // namespace

PeerServer::Behaviour Greets(std::string greeting, ClientEnd* end) {
  return [greeting, end](PeerConnection& peer) {
    if (!greeting.empty()) (void)peer.Send(greeting);
    AwaitClientEnd(peer, end);
  };
}

PeerServer::Behaviour Answers(std::string greeting, std::string command, std::string answer, ClientEnd* end) {
  return [=](PeerConnection& peer) {
    if (!greeting.empty() && !peer.Send(greeting)) return;
    std::string received;
    for (int round = 0; round < 1000 && received.find(command) == std::string::npos && !peer.Closed(); ++round) {
      received += peer.Receive(10s);
    }
    if (!answer.empty()) (void)peer.Send(answer);
    AwaitClientEnd(peer, end);
  };
}

PeerServer::Behaviour GreetsInPieces(std::vector<std::string> pieces, std::chrono::milliseconds pause) {
  return [pieces, pause](PeerConnection& peer) {
    for (size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) (void)peer.Receive(pause);  // the pause: nothing is expected from the client
      if (peer.Closed() || !peer.Send(pieces[i])) return;
    }
    AwaitClientEnd(peer, nullptr);
  };
}

void ClosesAtOnce(PeerConnection& /*peer*/) {}

void Silent(PeerConnection& peer) { AwaitClientEnd(peer, nullptr); }

void TcpCheckTest::SetUp() {
  ASSERT_EQ(com::CoInitialize(nullptr), S_OK);
  loop_ = loop::MessageLoop::ForCurrentThread();
  ASSERT_EQ(com::CoCreateInstance(kTcpCollectionClsid, &collection_), S_OK);
  ASSERT_TRUE(collection_);
}

void TcpCheckTest::TearDown() {
  // Every run must have ended (and been announced) before the apartment goes.
  for (const ComPtr<ItqThTCP>& job : started_) EXPECT_TRUE(WaitIdle(job.get())) << "a check never ended";
  started_.clear();
  collection_.reset();
  com::CoUninitialize();
}

ComPtr<ItqThTCP> TcpCheckTest::Add() {
  ComPtr<ItqThTCP> job;
  EXPECT_EQ(collection_->Add(job.put()), S_OK);
  return job;
}

int32_t TcpCheckTest::Count() {
  int32_t count = -1;
  EXPECT_EQ(collection_->get_Count(&count), S_OK);
  return count;
}

bool TcpCheckTest::CollectionRunning() {
  com::VARIANT_BOOL running = 0;
  EXPECT_EQ(collection_->get_IsRunning(&running), S_OK);
  return running != 0;
}

bool TcpCheckTest::AllChecked() {
  com::VARIANT_BOOL checked = 0;
  EXPECT_EQ(collection_->get_AllChecked(&checked), S_OK);
  return checked != 0;
}

ComPtr<com::IConnectionPoint> TcpCheckTest::JobDonePoint() {
  ComPtr<com::IConnectionPointContainer> container;
  EXPECT_EQ(collection_->QueryInterface(com::IConnectionPointContainer::kIid, container.put_void()), S_OK);
  ComPtr<com::IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(ItqCollThTCPEvents::kIid, point.put()), S_OK);
  return point;
}

uint32_t TcpCheckTest::Advise(com::IUnknown* sink) {
  uint32_t cookie = 0;
  EXPECT_EQ(JobDonePoint()->Advise(sink, &cookie), S_OK);
  return cookie;
}

void TcpCheckTest::Unadvise(uint32_t cookie) { EXPECT_EQ(JobDonePoint()->Unadvise(cookie), S_OK); }

bool TcpCheckTest::WaitIdle(ItqThTCP* job, std::chrono::milliseconds limit) {
  return testkit::PumpUntil(*loop_, [&] { return !Running(job); }, limit);
}

Outcome TcpCheckTest::RunCheck(const CheckParameters& parameters) {
  ComPtr<ItqThTCP> job = Add();
  if (!job) return {};
  EXPECT_EQ(StartCheck(job, parameters), S_OK);
  EXPECT_TRUE(WaitIdle(job.get())) << "the check did not end";
  return OutcomeOf(job.get());
}

}  // namespace vorlane::tcpcheck::testing
