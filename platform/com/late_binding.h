// Calling members of a dispatch interface late-bound, as a client without the vtable does: by
// DISPID or by name, with the arguments in natural order (DISPPARAMS wants them reversed; that
// is done here and nowhere else) and a typed result. By-reference Variants (Variant::ByRef)
// carry out-arguments. A failure the callee describes through EXCEPINFO comes back as its own
// code, with the description as the calling thread's error information.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/interfaces.h"
#include "platform/com/variant.h"

namespace vorlane::com {

// The DISPID of the member called `name`.
HRESULT GetIdOfName(IDispatch* target, std::u16string_view name, DISPID* id) noexcept;

// One Invoke of member `id` as `kind` (DISPATCH_METHOD, DISPATCH_PROPERTYGET or
// DISPATCH_PROPERTYPUT, whose value is the last argument and travels as the named argument
// DISPID_PROPERTYPUT). `result` may be null when the caller wants none. `errorIid` names the
// interface in the error information made from an EXCEPINFO.
HRESULT InvokeMember(IDispatch* target, DISPID id, uint16_t kind, std::span<const Variant> args,
                     VARIANT* result = nullptr, const IID& errorIid = IID_NULL) noexcept;

inline HRESULT CallMethod(IDispatch* target, DISPID id, std::initializer_list<Variant> args = {},
                          VARIANT* result = nullptr) noexcept {
  return InvokeMember(target, id, DISPATCH_METHOD, std::span<const Variant>(args.begin(), args.size()), result);
}
// By name: the DISPID is looked up first, through GetIDsOfNames.
HRESULT CallMethod(IDispatch* target, std::u16string_view name, std::initializer_list<Variant> args = {},
                   VARIANT* result = nullptr) noexcept;

inline HRESULT PutProperty(IDispatch* target, DISPID id, const Variant& value) noexcept {
  return InvokeMember(target, id, DISPATCH_PROPERTYPUT, std::span<const Variant>(&value, 1));
}

// A result converted to the type asked for, as VariantChangeType converts.
HRESULT ValueOf(const Variant& value, int32_t* out) noexcept;
HRESULT ValueOf(const Variant& value, bool* out) noexcept;
HRESULT ValueOf(const Variant& value, Bstr* out) noexcept;
HRESULT ValueOf(const Variant& value, std::string* out) noexcept;  // as UTF-8
HRESULT ValueOf(const Variant& value, ComPtr<IDispatch>* out) noexcept;
inline HRESULT ValueOf(const Variant& value, Variant* out) noexcept { return out->CopyFrom(value.raw()); }

template <class T>
HRESULT GetProperty(IDispatch* target, DISPID id, T* value) noexcept {
  Variant result;
  VORLANE_RETURN_IF_FAILED(InvokeMember(target, id, DISPATCH_PROPERTYGET, {}, result.put()));
  return ValueOf(result, value);
}

// A method's result, typed.
template <class T>
HRESULT CallMethodFor(IDispatch* target, DISPID id, std::initializer_list<Variant> args, T* value) noexcept {
  Variant result;
  VORLANE_RETURN_IF_FAILED(CallMethod(target, id, args, result.put()));
  return ValueOf(result, value);
}

}  // namespace vorlane::com
