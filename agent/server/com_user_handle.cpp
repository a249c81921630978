#include "agent/server/com_user_handle.h"

#include "platform/com/late_binding.h"
#include "platform/termserver/term_server_contract.h"

namespace vorlane::agent {

using namespace vorlane::com;
using namespace vorlane::termserver;

// A failed call reads as an empty text: the connection may be gone by now.
std::string ComUserHandle::RemoteAddress() {
  std::string address;
  return Succeeded(GetProperty(user_.get(), kUserRemoteAddress, &address)) ? address : std::string();
}

std::string ComUserHandle::Receive(int32_t count) {
  std::string text;
  return Succeeded(CallMethodFor(user_.get(), kUserReceive, {Variant(count)}, &text)) ? text : std::string();
}

void ComUserHandle::Send(const std::string& text, int32_t serviceIndex) {
  (void)CallMethod(user_.get(), kUserSend, {Variant::FromUtf8(text), Variant(serviceIndex)});
}

void ComUserHandle::SetSftpHome(const std::string& folder) {
  (void)PutProperty(user_.get(), kUserSftpHome, Variant::FromUtf8(folder));
}

void ComUserHandle::ReportUnanswered(size_t count) {
  (void)PutProperty(user_.get(), kUserUnansweredRequests, Variant(static_cast<int32_t>(count)));
}

}  // namespace vorlane::agent
