#include "agent/server/com_user_handle.h"

#include <vector>

#include "platform/com/variant.h"

namespace vorlane::agent {

using namespace vorlane::com;

namespace {

// The user object's members.
constexpr DISPID kRemoteAddress = 1;
constexpr DISPID kSend = 9;
constexpr DISPID kReceive = 11;
constexpr DISPID kSftpHome = 14;

HRESULT Invoke(IDispatch* target, DISPID id, uint16_t flags, std::vector<Variant> args, VARIANT* result) {
  if (target == nullptr) return E_POINTER;
  std::vector<VARIANT> reversed;
  for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(*it->get());
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{reversed.data(), flags == DISPATCH_PROPERTYPUT ? &named : nullptr,
                    static_cast<uint32_t>(reversed.size()), flags == DISPATCH_PROPERTYPUT ? 1u : 0u};
  return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

std::string TextOf(Variant& value) {
  std::string text;
  if (Failed(value.ToUtf8(&text))) return {};
  return text;
}

}  // namespace

std::string ComUserHandle::RemoteAddress() {
  Variant result;
  if (Failed(Invoke(user_.get(), kRemoteAddress, DISPATCH_PROPERTYGET, {}, result.get()))) return {};
  return TextOf(result);
}

std::string ComUserHandle::Receive(int32_t count) {
  Variant result;
  if (Failed(Invoke(user_.get(), kReceive, DISPATCH_METHOD, {Variant(count)}, result.get()))) return {};
  return TextOf(result);
}

void ComUserHandle::Send(const std::string& text, int32_t serviceIndex) {
  (void)Invoke(user_.get(), kSend, DISPATCH_METHOD, {Variant::FromUtf8(text), Variant(serviceIndex)}, nullptr);
}

void ComUserHandle::SetSftpHome(const std::string& folder) {
  (void)Invoke(user_.get(), kSftpHome, DISPATCH_PROPERTYPUT, {Variant::FromUtf8(folder)}, nullptr);
}

}  // namespace vorlane::agent
