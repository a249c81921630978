// The user object: the application's handle of one connection, first argument of every event.
#pragma once

#include <memory>

#include "platform/com/com_object.h"
#include "platform/com/dispatch_table.h"
#include "platform/termserver/term_server_contract.h"
#include "platform/termserver/server_core.h"

namespace vorlane::termserver {

class UserObject final : public com::ComObject<UserObject, com::DispatchImpl<UserObject, ITermUser>> {
  com::HRESULT GetRemoteAddress(com::DispatchCall& call);
  // send(text, service index): queued for the connection's thread, in order.
  com::HRESULT InvokeSend(com::DispatchCall& call);
  // receive(count): the text of the request of the current Received event, at most count chars.
  com::HRESULT InvokeReceive(com::DispatchCall& call);
  com::HRESULT PutSftpHome(com::DispatchCall& call);
  com::HRESULT GetSftpHome(com::DispatchCall& call);
  // The application's count of this connection's requests that it has not answered yet.
  com::HRESULT PutUnansweredRequests(com::DispatchCall& call);
  com::HRESULT GetUnansweredRequests(com::DispatchCall& call);

 public:
  static constexpr com::DispatchMember<UserObject> kDispatchMembers[] = {
      com::DispPropertyGet("RemoteAddress", kUserRemoteAddress, &UserObject::GetRemoteAddress),
      com::DispMethod("Send", kUserSend, &UserObject::InvokeSend, 1, 1),
      com::DispMethod("Receive", kUserReceive, &UserObject::InvokeReceive, 0, 1),
      com::DispPropertyPut("SftpHome", kUserSftpHome, &UserObject::PutSftpHome),
      com::DispPropertyGet("SftpHome", kUserSftpHome, &UserObject::GetSftpHome),
      com::DispPropertyPut("UnansweredRequests", kUserUnansweredRequests, &UserObject::PutUnansweredRequests),
      com::DispPropertyGet("UnansweredRequests", kUserUnansweredRequests, &UserObject::GetUnansweredRequests),
  };

  explicit UserObject(std::shared_ptr<ConnectionState> state) : state_(std::move(state)) {}

 private:
  ~UserObject() override = default;
  const std::shared_ptr<ConnectionState> state_;
};

}  // namespace vorlane::termserver
