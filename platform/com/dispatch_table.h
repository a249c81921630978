// Late binding without type information: each dispatch interface describes its members in a
// static table (name, DISPID, kind, handler, argument counts), from which GetIDsOfNames and
// Invoke are answered.
//
//   class Clock final : public ComObject<Clock, DispatchImpl<Clock, IClock>> {
//     // The handlers come first: the table below names them before the class is complete.
//     HRESULT InvokeStart(DispatchCall& call) {
//       int32_t ms;
//       bool repeat;
//       VORLANE_RETURN_IF_FAILED(call.Read(0, &ms));
//       VORLANE_RETURN_IF_FAILED(call.Read(1, &repeat, true));  // optional, true by default
//       return Start(ms, repeat);
//     }
//     HRESULT GetInterval(DispatchCall& call) { return call.Return(interval_); }
//     HRESULT PutInterval(DispatchCall& call) { return call.Read(0, &interval_); }
//
//    public:
//     static constexpr DispatchMember<Clock> kDispatchMembers[] = {
//         DispMethod("Start", 1, &Clock::InvokeStart, 1, 1),  // one required, one optional
//         DispPropertyGet("Interval", 2, &Clock::GetInterval),
//         DispPropertyPut("Interval", 2, &Clock::PutInterval),
//     };
//     ...
//   };
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"
#include "platform/com/com_ptr.h"
#include "platform/com/interfaces.h"
#include "platform/com/variant.h"

namespace vorlane::com {

enum class MemberKind : uint8_t { kMethod, kPropertyGet, kPropertyPut };

// The arguments of one Invoke as a handler sees them: positional, in the order written at the
// call site (DISPPARAMS holds them reversed). For a property put the value is the last one.
class DispatchCall {
 public:
  DispatchCall(const DISPPARAMS& params, VARIANT* result, uint32_t* argError) noexcept
      : args_(params.rgvarg), count_(params.cArgs), result_(result), argError_(argError) {}

  // Beyond the arguments passed, or passed as missing (VT_ERROR with DISP_E_PARAMNOTFOUND), as
  // clients pass skipped optional arguments.
  bool IsMissing(uint32_t index) const noexcept;
  // The raw argument, or null beyond those passed.
  VARIANT* Arg(uint32_t index) noexcept;

  // Argument `index` converted (through references too). A failure (DISP_E_TYPEMISMATCH,
  // DISP_E_OVERFLOW, DISP_E_PARAMNOTOPTIONAL) is to be returned as it is: the argument's index
  // in rgvarg is already in *argError, and Invoke passes such failures straight to the client.
  HRESULT Read(uint32_t index, int32_t* out);
  HRESULT Read(uint32_t index, int16_t* out);
  HRESULT Read(uint32_t index, uint8_t* out);
  HRESULT Read(uint32_t index, uint32_t* out);
  HRESULT Read(uint32_t index, double* out);
  HRESULT Read(uint32_t index, bool* out);
  HRESULT Read(uint32_t index, Bstr* out);
  HRESULT Read(uint32_t index, std::string* out);  // as UTF-8
  HRESULT Read(uint32_t index, ComPtr<IDispatch>* out);
  HRESULT Read(uint32_t index, ComPtr<IUnknown>* out);
  HRESULT Read(uint32_t index, Variant* out);  // a copy of the value, never a reference
  // An optional argument: `fallback` when it is missing.
  template <class T>
  HRESULT Read(uint32_t index, T* out, std::type_identity_t<T> fallback) {
    if (!IsMissing(index)) return Read(index, out);
    *out = std::move(fallback);
    return S_OK;
  }

  // Stores `value` through a by-reference argument, converted to the type it refers to; what
  // the reference held before is released. DISP_E_TYPEMISMATCH (with *argError) when the
  // argument is no reference or the value does not convert.
  HRESULT Write(uint32_t index, const Variant& value);

  // The call's result; dropped when the client asked for none.
  HRESULT Return(Variant value) noexcept;

  // Whether a failure came from reading or writing an argument.
  bool ArgumentFailed() const noexcept { return argumentFailed_; }

 private:
  HRESULT Convert(uint32_t index, VARTYPE vt, Variant* out);
  template <class T>
  HRESULT ReadAs(uint32_t index, VARTYPE vt, T VARIANT::*member, T* out);
  HRESULT Fail(uint32_t index, HRESULT hr) noexcept;

  VARIANT* args_;
  uint32_t count_;
  VARIANT* result_;
  uint32_t* argError_;
  bool argumentFailed_ = false;
};

template <class T>
struct DispatchMember {
  std::string_view name;  // ASCII, matched without regard to case
  DISPID id;
  MemberKind kind;
  HRESULT (T::*handler)(DispatchCall&);
  uint16_t required;  // positional arguments; a put counts its value
  uint16_t optional;
  // In place of `handler`: a function serving the member for any object of T (the rows made
  // from a member list, platform/com/contract_dispatch.h).
  HRESULT (*thunk)(T&, DispatchCall&) = nullptr;
};

template <class T>
constexpr DispatchMember<T> DispMethod(std::string_view name, DISPID id, HRESULT (T::*handler)(DispatchCall&),
                                       uint16_t required = 0, uint16_t optional = 0) {
  return {name, id, MemberKind::kMethod, handler, required, optional};
}
template <class T>
constexpr DispatchMember<T> DispPropertyGet(std::string_view name, DISPID id, HRESULT (T::*handler)(DispatchCall&)) {
  return {name, id, MemberKind::kPropertyGet, handler, 0, 0};
}
template <class T>
constexpr DispatchMember<T> DispPropertyPut(std::string_view name, DISPID id, HRESULT (T::*handler)(DispatchCall&)) {
  return {name, id, MemberKind::kPropertyPut, handler, 1, 0};
}

namespace detail {
// ASCII letters compare without regard to case; other characters exactly.
bool NameMatches(std::string_view member, const OLECHAR* name) noexcept;
// Checks the arguments of GetIDsOfNames and fills ids with DISPID_UNKNOWN.
HRESULT BeginGetIDsOfNames(const IID& iid, OLECHAR** names, uint32_t count, DISPID* ids) noexcept;
// Checks the arguments of Invoke, clears *result and the thread's error information.
HRESULT BeginInvoke(const IID& iid, uint16_t flags, const DISPPARAMS* params, VARIANT* result) noexcept;
bool KindMatches(MemberKind kind, uint16_t flags) noexcept;
// Maps a handler's failure: argument failures as they are; others with error information, when
// the client passed an EXCEPINFO, become DISP_E_EXCEPTION with the EXCEPINFO filled in.
HRESULT FinishInvoke(HRESULT hr, const DispatchCall& call, VARIANT* result, EXCEPINFO* exception) noexcept;
}  // namespace detail

template <class T>
class DispatchTable {
 public:
  constexpr explicit DispatchTable(std::span<const DispatchMember<T>> members) : members_(members) {}

  // Resolves names[0]; further names (parameter names) are not known: DISP_E_UNKNOWNNAME with
  // DISPID_UNKNOWN in their slots.
  HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, uint32_t count, DISPID* ids) const noexcept {
    VORLANE_RETURN_IF_FAILED(detail::BeginGetIDsOfNames(iid, names, count, ids));
    for (const DispatchMember<T>& member : members_) {
      if (detail::NameMatches(member.name, names[0])) {
        ids[0] = member.id;
        return count > 1 ? DISP_E_UNKNOWNNAME : S_OK;
      }
    }
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT Invoke(T& self, DISPID id, const IID& iid, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, uint32_t* argError) const noexcept {
    VORLANE_RETURN_IF_FAILED(detail::BeginInvoke(iid, flags, params, result));
    const DispatchMember<T>* member = Find(id, flags);
    if (member == nullptr) return DISP_E_MEMBERNOTFOUND;
    if (params->cArgs < member->required || params->cArgs > uint32_t{member->required} + member->optional) {
      return DISP_E_BADPARAMCOUNT;
    }
    DispatchCall call(*params, result, argError);
    const HRESULT hr = CatchReturn([&] {
      return member->thunk != nullptr ? member->thunk(self, call) : (self.*(member->handler))(call);
    });
    return detail::FinishInvoke(hr, call, result, exception);
  }

 private:
  // A call with DISPATCH_METHOD | DISPATCH_PROPERTYGET reaches either kind; the first match in
  // the table wins.
  const DispatchMember<T>* Find(DISPID id, uint16_t flags) const noexcept {
    for (const DispatchMember<T>& member : members_) {
      if (member.id == id && detail::KindMatches(member.kind, flags)) return &member;
    }
    return nullptr;
  }

  std::span<const DispatchMember<T>> members_;
};

// The IDispatch half of an object: list DispatchImpl<Derived, IFoo> among ComObject's interfaces
// (in place of IFoo) and give Derived a static `kDispatchMembers` table that this class can see
// (public, or with `friend class DispatchImpl<Derived, IFoo>`).
template <class Derived, class Interface>
class DispatchImpl : public Interface {
  static_assert(std::is_base_of_v<IDispatch, Interface>, "a dispatch interface");

 public:
  HRESULT GetTypeInfoCount(uint32_t* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(uint32_t /*index*/, LCID /*lcid*/, void** typeInfo) override {
    if (typeInfo != nullptr) *typeInfo = nullptr;
    return E_NOTIMPL;
  }
  HRESULT GetIDsOfNames(const IID& iid, OLECHAR** names, uint32_t count, LCID /*lcid*/, DISPID* ids) override {
    return Table().GetIDsOfNames(iid, names, count, ids);
  }
  HRESULT Invoke(DISPID id, const IID& iid, LCID /*lcid*/, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, uint32_t* argError) override {
    return Table().Invoke(static_cast<Derived&>(*this), id, iid, flags, params, result, exception, argError);
  }

 protected:
  DispatchImpl() = default;
  ~DispatchImpl() = default;

 private:
  static constexpr DispatchTable<Derived> Table() { return DispatchTable<Derived>(Derived::kDispatchMembers); }
};

}  // namespace vorlane::com
