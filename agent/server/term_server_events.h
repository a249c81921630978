// CTermServerEvents: the agent's sink for the terminal server's events. Each event is handled
// on the server thread, one after another, and decides what the connection may do; a received
// request is only taken in here and queued on its connection's lane, where a worker answers it.
// The events and their arguments are the terminal server's contract; events not listed here get
// the component's defaults.
#pragma once

#include "agent/request/agent_context.h"
#include "agent/server/request_lanes.h"
#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/loop/thread_affinity.h"
#include "platform/termserver/term_server_contract.h"

namespace vorlane::agent {

class CTermServerEvents final
    : public com::ComObject<CTermServerEvents, com::DispatchImpl<CTermServerEvents, termserver::ITermServerEvents>> {
  com::HRESULT OnConnecting(com::DispatchCall& call);
  com::HRESULT OnLoginPassword(com::DispatchCall& call);
  com::HRESULT OnDisconnected(com::DispatchCall& call);
  com::HRESULT OnReceived(com::DispatchCall& call);
  com::HRESULT OnServiceRequest(com::DispatchCall& call);
  com::HRESULT OnServiceStart(com::DispatchCall& call);
  com::HRESULT OnSftpDownloadFile(com::DispatchCall& call);
  com::HRESULT OnSftpUploadFile(com::DispatchCall& call);

  using Self = CTermServerEvents;

 public:
  static constexpr com::DispatchMember<Self> kDispatchMembers[] = {
      com::DispMethod("Connecting", termserver::kEventConnecting, &Self::OnConnecting,
                      termserver::event_args::Connecting::kCount),
      com::DispMethod("LoginPassword", termserver::kEventLoginPassword, &Self::OnLoginPassword,
                      termserver::event_args::LoginPassword::kCount),
      com::DispMethod("Disconnected", termserver::kEventDisconnected, &Self::OnDisconnected,
                      termserver::event_args::Disconnected::kCount),
      com::DispMethod("Received", termserver::kEventReceived, &Self::OnReceived,
                      termserver::event_args::Received::kCount),
      com::DispMethod("ServiceRequest", termserver::kEventServiceRequest, &Self::OnServiceRequest,
                      termserver::event_args::ServiceRequest::kCount),
      com::DispMethod("ServiceStart", termserver::kEventServiceStart, &Self::OnServiceStart,
                      termserver::event_args::ServiceStart::kCount),
      com::DispMethod("SftpDownloadFile", termserver::kEventSftpDownloadFile, &Self::OnSftpDownloadFile,
                      termserver::event_args::Sftp::kCount),
      com::DispMethod("SftpUploadFile", termserver::kEventSftpUploadFile, &Self::OnSftpUploadFile,
                      termserver::event_args::Sftp::kCount),
  };

  CTermServerEvents(AgentContext& context, RequestLanes& lanes) : context_(context), lanes_(lanes) {}

 private:
  ~CTermServerEvents() override = default;
  AgentContext& context_;
  RequestLanes& lanes_;
  // The server thread's, where it is made and advised: every handler asserts it.
  const loop::ThreadAffinity affinity_{"CTermServerEvents"};
};

}  // namespace vorlane::agent
