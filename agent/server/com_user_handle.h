// UserHandle over the terminal server's user object, reached late-bound by its member ids.
#pragma once

#include "agent/request/user_handle.h"
#include "platform/com/com_ptr.h"

namespace vorlane::agent {

class ComUserHandle final : public UserHandle {
 public:
  explicit ComUserHandle(com::IDispatch* user) : user_(user) {}
  std::string RemoteAddress() override;
  std::string Receive(int32_t count) override;
  void Send(const std::string& text, int32_t serviceIndex) override;
  void SetSftpHome(const std::string& folder) override;
  // Stops or resumes reading requests from the connection (its application's queue is full).
  void HoldInput(bool hold);
  com::IDispatch* get() const { return user_.get(); }

 private:
  com::ComPtr<com::IDispatch> user_;
};

}  // namespace vorlane::agent
