#include "platform/com/late_binding.h"

#include <vector>

#include "platform/com/error_info.h"
#include "platform/com/com_object.h"

namespace vorlane::com {

HRESULT GetIdOfName(IDispatch* target, std::u16string_view name, DISPID* id) noexcept {
  if (target == nullptr || id == nullptr) return E_POINTER;
  return CatchReturn([&] {
    std::u16string text(name);
    OLECHAR* names[] = {text.data()};
    return target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
  });
}

HRESULT InvokeMember(IDispatch* target, DISPID id, uint16_t kind, std::span<const Variant> args, VARIANT* result,
                     const IID& errorIid) noexcept {
  if (target == nullptr) return E_POINTER;
  return CatchReturn([&] {
    // Shallow copies in reverse: the callee reads them, and writes only through references.
    std::vector<VARIANT> reversed(args.size());
    for (size_t i = 0; i < args.size(); ++i) reversed[args.size() - 1 - i] = args[i].raw();
    DISPID named = DISPID_PROPERTYPUT;
    const bool put = (kind & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    DISPPARAMS params{reversed.data(), put ? &named : nullptr, static_cast<uint32_t>(reversed.size()), put ? 1u : 0u};
    EXCEPINFO exception{};
    uint32_t argError = 0;
    HRESULT hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, kind, &params, result, &exception, &argError);
    Bstr source = Bstr::Attach(exception.bstrSource);
    Bstr description = Bstr::Attach(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    if (hr == DISP_E_EXCEPTION && Failed(exception.scode)) {
      hr = SetErrorAndReturn(exception.scode, errorIid, source.view(), description.view());
    }
    return hr;
  });
}

HRESULT CallMethod(IDispatch* target, std::u16string_view name, std::initializer_list<Variant> args,
                   VARIANT* result) noexcept {
  DISPID id = DISPID_UNKNOWN;
  VORLANE_RETURN_IF_FAILED(GetIdOfName(target, name, &id));
  return CallMethod(target, id, args, result);
}

HRESULT ValueOf(const Variant& value, int32_t* out) noexcept { return value.ToInt32(out); }
HRESULT ValueOf(const Variant& value, bool* out) noexcept { return value.ToBool(out); }
HRESULT ValueOf(const Variant& value, Bstr* out) noexcept { return value.ToBstr(out); }

HRESULT ValueOf(const Variant& value, std::string* out) noexcept {
  return CatchReturn([&] { return value.ToUtf8(out); });
}

HRESULT ValueOf(const Variant& value, ComPtr<IDispatch>* out) noexcept {
  Variant converted;
  VORLANE_RETURN_IF_FAILED(VariantChangeType(converted.get(), &value.raw(), VT_DISPATCH));
  *out = ComPtr<IDispatch>(converted.Detach().pdispVal, kAdoptRef);
  return S_OK;
}

}  // namespace vorlane::com
