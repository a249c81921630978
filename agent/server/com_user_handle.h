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
  // How many of the connection's requests are not answered yet: the connection reads no more
  // while they are too many, and does not close before they are answered.
  void ReportUnanswered(size_t count);
  com::IDispatch* get() const { return user_.get(); }

 private:
  com::ComPtr<com::IDispatch> user_;
};

}  // namespace vorlane::agent
