#include "platform/com/dispatch_table.h"

#include <cstring>

#include "platform/com/error_info.h"

namespace vorlane::com {
namespace {

// Conversion failures as clients know them: overflow and exhaustion stay what they are,
// anything else is a type mismatch.
HRESULT AsArgumentError(HRESULT hr) { return hr == DISP_E_OVERFLOW || hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH; }

}  // namespace

bool DispatchCall::IsMissing(uint32_t index) const noexcept {
  if (index >= count_) return true;
  const VARIANT& arg = args_[count_ - 1 - index];
  return arg.vt == VT_ERROR && arg.scode == DISP_E_PARAMNOTFOUND;
}

VARIANT* DispatchCall::Arg(uint32_t index) noexcept {
  return index < count_ ? &args_[count_ - 1 - index] : nullptr;
}

HRESULT DispatchCall::Fail(uint32_t index, HRESULT hr) noexcept {
  argumentFailed_ = true;
  // Clients know arguments by their place in rgvarg, where they are stored in reverse.
  if (argError_ != nullptr && index < count_) *argError_ = count_ - 1 - index;
  return hr;
}

HRESULT DispatchCall::Convert(uint32_t index, VARTYPE vt, Variant* out) {
  if (IsMissing(index)) return Fail(index, DISP_E_PARAMNOTOPTIONAL);
  const HRESULT hr = VariantChangeType(out->get(), Arg(index), vt);
  if (Failed(hr)) return Fail(index, AsArgumentError(hr));
  return S_OK;
}

// Reads argument `index` converted to `vt` and takes the union member that type lives in.
template <class T>
HRESULT DispatchCall::ReadAs(uint32_t index, VARTYPE vt, T VARIANT::*member, T* out) {
  Variant value;
  VORLANE_RETURN_IF_FAILED(Convert(index, vt, &value));
  *out = value.raw().*member;
  return S_OK;
}

HRESULT DispatchCall::Read(uint32_t index, int32_t* out) { return ReadAs(index, VT_I4, &VARIANT::lVal, out); }
HRESULT DispatchCall::Read(uint32_t index, int16_t* out) { return ReadAs(index, VT_I2, &VARIANT::iVal, out); }
HRESULT DispatchCall::Read(uint32_t index, uint8_t* out) { return ReadAs(index, VT_UI1, &VARIANT::bVal, out); }
HRESULT DispatchCall::Read(uint32_t index, uint32_t* out) { return ReadAs(index, VT_UI4, &VARIANT::ulVal, out); }
HRESULT DispatchCall::Read(uint32_t index, double* out) { return ReadAs(index, VT_R8, &VARIANT::dblVal, out); }

HRESULT DispatchCall::Read(uint32_t index, bool* out) {
  VARIANT_BOOL value = VARIANT_FALSE;
  VORLANE_RETURN_IF_FAILED(ReadAs(index, VT_BOOL, &VARIANT::boolVal, &value));
  *out = value != VARIANT_FALSE;
  return S_OK;
}

HRESULT DispatchCall::Read(uint32_t index, Bstr* out) {
  Variant value;
  VORLANE_RETURN_IF_FAILED(Convert(index, VT_BSTR, &value));
  *out = Bstr::Attach(value.Detach().bstrVal);
  return S_OK;
}

HRESULT DispatchCall::Read(uint32_t index, std::string* out) {
  Bstr text;
  VORLANE_RETURN_IF_FAILED(Read(index, &text));
  *out = text.ToUtf8();
  return S_OK;
}

HRESULT DispatchCall::Read(uint32_t index, ComPtr<IDispatch>* out) {
  Variant value;
  VORLANE_RETURN_IF_FAILED(Convert(index, VT_DISPATCH, &value));
  *out = ComPtr<IDispatch>(value.Detach().pdispVal, kAdoptRef);
  return S_OK;
}

HRESULT DispatchCall::Read(uint32_t index, ComPtr<IUnknown>* out) {
  Variant value;
  VORLANE_RETURN_IF_FAILED(Convert(index, VT_UNKNOWN, &value));
  *out = ComPtr<IUnknown>(value.Detach().punkVal, kAdoptRef);
  return S_OK;
}

HRESULT DispatchCall::Read(uint32_t index, Variant* out) {
  if (IsMissing(index)) return Fail(index, DISP_E_PARAMNOTOPTIONAL);
  Variant value;
  const HRESULT hr = VariantCopyInd(value.get(), Arg(index));
  if (Failed(hr)) return Fail(index, AsArgumentError(hr));
  *out = std::move(value);
  return S_OK;
}

HRESULT DispatchCall::Write(uint32_t index, const Variant& value) {
  VARIANT* arg = Arg(index);
  if (arg == nullptr || !(arg->vt & VT_BYREF) || arg->byref == nullptr) return Fail(index, DISP_E_TYPEMISMATCH);
  const VARTYPE target = arg->vt & ~VT_BYREF;
  if (target == VT_VARIANT) {
    const HRESULT hr = VariantCopy(arg->pvarVal, &value.raw());
    return Failed(hr) ? Fail(index, hr) : S_OK;
  }
  Variant converted;
  const HRESULT hr = VariantChangeType(converted.get(), &value.raw(), target);
  if (Failed(hr)) return Fail(index, AsArgumentError(hr));
  VARIANT raw = converted.Detach();
  // Whatever the reference held is the callee's to release once it is replaced.
  if (target & VT_ARRAY) {
    (void)SafeArrayDestroy(*arg->pparray);
    *arg->pparray = raw.parray;
    return S_OK;
  }
  switch (target) {
    case VT_I2: *arg->piVal = raw.iVal; break;
    case VT_I4: *arg->plVal = raw.lVal; break;
    case VT_UI1: *arg->pbVal = raw.bVal; break;
    case VT_UI4: *static_cast<uint32_t*>(arg->byref) = raw.ulVal; break;
    case VT_R8: *static_cast<double*>(arg->byref) = raw.dblVal; break;
    case VT_BOOL: *arg->pboolVal = raw.boolVal; break;
    case VT_BSTR:
      SysFreeString(*arg->pbstrVal);
      *arg->pbstrVal = raw.bstrVal;
      break;
    case VT_DISPATCH:
      if (*arg->ppdispVal != nullptr) (*arg->ppdispVal)->Release();
      *arg->ppdispVal = raw.pdispVal;
      break;
    case VT_UNKNOWN:
      if (*arg->ppunkVal != nullptr) (*arg->ppunkVal)->Release();
      *arg->ppunkVal = raw.punkVal;
      break;
    default:
      (void)VariantClear(&raw);
      return Fail(index, DISP_E_TYPEMISMATCH);
  }
  return S_OK;
}

HRESULT DispatchCall::Return(Variant value) noexcept {
  if (result_ != nullptr) {
    (void)VariantClear(result_);
    *result_ = value.Detach();
  }
  return S_OK;
}

namespace detail {

bool NameMatches(std::string_view member, const OLECHAR* name) noexcept {
  if (name == nullptr) return false;
  auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c; };
  size_t i = 0;
  for (; i < member.size(); ++i) {
    if (name[i] == 0 || fold(name[i]) != fold(static_cast<unsigned char>(member[i]))) return false;
  }
  return name[i] == 0;
}

HRESULT BeginGetIDsOfNames(const IID& iid, OLECHAR** names, uint32_t count, DISPID* ids) noexcept {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (names == nullptr || ids == nullptr) return E_POINTER;
  if (count == 0) return E_INVALIDARG;
  for (uint32_t i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  return S_OK;
}

HRESULT BeginInvoke(const IID& iid, uint16_t flags, const DISPPARAMS* params, VARIANT* result) noexcept {
  if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (params == nullptr || (params->cArgs > 0 && params->rgvarg == nullptr)) return E_INVALIDARG;
  if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
    // The value of a put travels as the one named argument, DISPID_PROPERTYPUT.
    if (params->cNamedArgs != 1 || params->rgdispidNamedArgs == nullptr ||
        params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT || params->cArgs == 0) {
      return DISP_E_PARAMNOTFOUND;
    }
  } else if (params->cNamedArgs != 0) {
    return DISP_E_NONAMEDARGS;
  }
  if (result != nullptr) VariantInit(result);
  // What the thread holds is stale: only what the handler sets may describe its failure.
  (void)SetErrorInfo(nullptr);
  return S_OK;
}

bool KindMatches(MemberKind kind, uint16_t flags) noexcept {
  switch (kind) {
    case MemberKind::kMethod: return (flags & DISPATCH_METHOD) != 0;
    case MemberKind::kPropertyGet: return (flags & DISPATCH_PROPERTYGET) != 0;
    case MemberKind::kPropertyPut: return (flags & DISPATCH_PROPERTYPUT) != 0;
  }
  return false;
}

HRESULT FinishInvoke(HRESULT hr, const DispatchCall& call, VARIANT* result, EXCEPINFO* exception) noexcept {
  if (Succeeded(hr)) return hr;
  if (result != nullptr) (void)VariantClear(result);
  if (call.ArgumentFailed() || exception == nullptr) return hr;  // error information stays for the caller
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(info.put()) != S_OK) return hr;
  std::memset(exception, 0, sizeof *exception);
  (void)info->GetSource(&exception->bstrSource);
  (void)info->GetDescription(&exception->bstrDescription);
  exception->scode = hr;
  return DISP_E_EXCEPTION;
}

}  // namespace detail
}  // namespace vorlane::com
