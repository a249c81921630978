// The user object: the application's handle of one connection, first argument of every event.
#pragma once

#include <memory>

#include "platform/com/com_object.h"
#include "platform/com/contract_dispatch.h"
#include "platform/termserver/term_server_contract.h"
#include "platform/termserver/server_core.h"

namespace vorlane::termserver {

class UserObject final : public com::ComObject<UserObject, com::DispatchImpl<UserObject, ITermUser>> {
 public:
  VORLANE_CONTRACT_DISPATCH(VORLANE_TERM_USER_MEMBERS, UserObject, ITermUser)
  VORLANE_CONTRACT_OVERRIDES(VORLANE_TERM_USER_MEMBERS)

  explicit UserObject(std::shared_ptr<ConnectionState> state) : state_(std::move(state)) {}

 private:
  ~UserObject() override = default;
  const std::shared_ptr<ConnectionState> state_;
};

}  // namespace vorlane::termserver
