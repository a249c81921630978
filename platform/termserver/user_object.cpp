#include "platform/termserver/user_object.h"

#include "platform/com/error_info.h"
#include "platform/com/text.h"

namespace vorlane::termserver {

using namespace vorlane::com;

HRESULT UserObject::GetRemoteAddress(DispatchCall& call) { return call.Return(Variant::FromUtf8(state_->remoteAddress)); }

HRESULT UserObject::InvokeSend(DispatchCall& call) {
  std::string text;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &text));
  int32_t channel = 0;
  VORLANE_RETURN_IF_FAILED(call.Read(1, &channel, 0));
  if (!state_->QueueOutput(channel, std::move(text))) {
    return SetErrorAndReturn(E_FAIL, ITermUser::kIid, u"TermServer", u"The connection is closed.");
  }
  return S_OK;
}

HRESULT UserObject::InvokeReceive(DispatchCall& call) {
  int32_t count = -1;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &count, -1));
  std::u16string text;
  {
    std::lock_guard lock(state_->lock);
    text = Utf8ToUtf16(state_->currentRequest);
  }
  if (count >= 0 && static_cast<size_t>(count) < text.size()) text.resize(static_cast<size_t>(count));
  return call.Return(Variant(std::u16string_view(text)));
}

HRESULT UserObject::PutSftpHome(DispatchCall& call) {
  std::string home;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &home));
  std::lock_guard lock(state_->lock);
  state_->sftpHome = std::move(home);
  return S_OK;
}

HRESULT UserObject::GetSftpHome(DispatchCall& call) {
  std::string home;
  {
    std::lock_guard lock(state_->lock);
    home = state_->sftpHome;
  }
  return call.Return(Variant::FromUtf8(home));
}

HRESULT UserObject::PutUnansweredRequests(DispatchCall& call) {
  int32_t count = 0;
  VORLANE_RETURN_IF_FAILED(call.Read(0, &count));
  if (count < 0) return E_INVALIDARG;
  state_->SetUnanswered(static_cast<size_t>(count));
  return S_OK;
}

HRESULT UserObject::GetUnansweredRequests(DispatchCall& call) {
  return call.Return(Variant(static_cast<int32_t>(state_->Unanswered())));
}

}  // namespace vorlane::termserver
