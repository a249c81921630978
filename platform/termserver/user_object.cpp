#include "platform/termserver/user_object.h"

#include "platform/com/error_info.h"
#include "platform/com/text.h"
#include "platform/com/text_out.h"

namespace vorlane::termserver {

using namespace vorlane::com;

HRESULT UserObject::get_RemoteAddress(BSTR* value) { return CopyOutUtf8(state_->remoteAddress, value); }

HRESULT UserObject::Send(BSTR text, int32_t channel) {
  return CatchReturn([&] {
    if (!state_->QueueOutput(channel, Utf16ToUtf8(TextOf(text)))) {
      return SetErrorAndReturn(E_FAIL, ITermUser::kIid, u"TermServer", u"The connection is closed.");
    }
    return S_OK;
  });
}

HRESULT UserObject::Receive(int32_t count, BSTR* result) {
  if (result == nullptr) return E_POINTER;
  *result = nullptr;
  return CatchReturn([&] {
    std::u16string text;
    {
      std::lock_guard lock(state_->lock);
      text = Utf8ToUtf16(state_->currentRequest);
    }
    if (count >= 0 && static_cast<size_t>(count) < text.size()) text.resize(static_cast<size_t>(count));
    *result = Bstr(text).detach();
    return S_OK;
  });
}

HRESULT UserObject::put_SftpHome(BSTR value) {
  return CatchReturn([&] {
    std::string home = Utf16ToUtf8(TextOf(value));
    std::lock_guard lock(state_->lock);
    state_->sftpHome = std::move(home);
    return S_OK;
  });
}

HRESULT UserObject::get_SftpHome(BSTR* value) {
  return CatchReturn([&] {
    std::string home;
    {
      std::lock_guard lock(state_->lock);
      home = state_->sftpHome;
    }
    return CopyOutUtf8(home, value);
  });
}

HRESULT UserObject::put_UnansweredRequests(int32_t count) {
  if (count < 0) return E_INVALIDARG;
  state_->SetUnanswered(static_cast<size_t>(count));
  return S_OK;
}

HRESULT UserObject::get_UnansweredRequests(int32_t* value) {
  if (value == nullptr) return E_POINTER;
  *value = static_cast<int32_t>(state_->Unanswered());
  return S_OK;
}

}  // namespace vorlane::termserver
