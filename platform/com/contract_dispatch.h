// The implementing side of a member list (platform/com/contract.h): the dispatch table and the
// override declarations, both from the list of the contract header.
//
//   class Clock final : public ComObject<Clock, DispatchImpl<Clock, IClock>> {
//    public:
//     VORLANE_CONTRACT_DISPATCH(VORLANE_CLOCK_MEMBERS, Clock, IClock)
//     VORLANE_CONTRACT_OVERRIDES(VORLANE_CLOCK_MEMBERS)
//     ...
//   };
//
// Late binding reaches every member through its vtable entry: an argument is read from the
// call as the list's type says (with the fallback of a com::Optional when it is left out),
// passed on, and the result handed to the client. A failed read is returned as it is (its index
// is in the call's argError); a failed member keeps its HRESULT and error information.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/contract.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/variant.h"

namespace vorlane::com::contract {

// How late binding carries a type of the list: `Held` is what an argument is read into,
// Pass(held) what the vtable member receives, Result(value) the client's VARIANT, which takes
// over what the member handed out.
template <class T>
struct Wire {
  static_assert(std::is_arithmetic_v<T>, "a type late binding carries");
  using Held = T;
  static T Pass(const Held& held) { return held; }
  static Variant Result(T value) { return Variant(value); }
};
template <>
struct Wire<bool> {
  using Held = bool;
  static VARIANT_BOOL Pass(bool held) { return held ? VARIANT_TRUE : VARIANT_FALSE; }
  static Variant Result(VARIANT_BOOL value) { return Variant(value != VARIANT_FALSE); }
};
template <>
struct Wire<BSTR> {
  using Held = Bstr;
  static BSTR Pass(const Held& held) { return held.get(); }
  static Variant Result(BSTR value) { return Variant(Bstr::Attach(value)); }
};
template <>
struct Wire<VARIANT> {
  using Held = Variant;
  static VARIANT Pass(const Held& held) { return held.raw(); }
  static Variant Result(const VARIANT& value) { return Variant::Attach(value); }
};
template <class E>
  requires std::is_enum_v<E>
struct Wire<E> {
  using Held = int32_t;
  static E Pass(Held held) { return static_cast<E>(held); }
  static Variant Result(E value) { return Variant(static_cast<int32_t>(value)); }
};
template <class I>
  requires std::is_base_of_v<IUnknown, I>
struct Wire<I*> {
  using Held = ComPtr<I>;
  static I* Pass(const Held& held) { return held.get(); }
  static Variant Result(I* value) { return Variant(ComPtr<I>(value, kAdoptRef).get()); }
};

// Reading an argument, required or optional.
template <class T>
struct Argument {
  static constexpr bool kOptional = false;
  using Held = typename Wire<T>::Held;
  static HRESULT Read(DispatchCall& call, uint32_t index, Held* out) { return call.Read(index, out); }
};
// Late binding has no null text: a text read as null reaches the member as an empty one.
template <>
struct Argument<BSTR> {
  static constexpr bool kOptional = false;
  using Held = Bstr;
  static HRESULT Read(DispatchCall& call, uint32_t index, Held* out) {
    VORLANE_RETURN_IF_FAILED(call.Read(index, out));
    if (out->get() == nullptr) *out = Bstr(std::u16string_view());
    return S_OK;
  }
};
template <>
struct Argument<Optional<VARIANT, kLeftOut>> {
  static constexpr bool kOptional = true;
  using Held = Variant;
  static HRESULT Read(DispatchCall& call, uint32_t index, Held* out) {
    if (!call.IsMissing(index)) return call.Read(index, out);
    VARIANT missing{};
    missing.vt = VT_ERROR;
    missing.scode = DISP_E_PARAMNOTFOUND;
    *out = Variant::Attach(missing);
    return S_OK;
  }
};
template <class T, auto Fallback>
struct Argument<Optional<T, Fallback>> {
  static constexpr bool kOptional = true;
  using Held = typename Wire<T>::Held;
  static HRESULT Read(DispatchCall& call, uint32_t index, Held* out) {
    return call.Read(index, out, static_cast<Held>(Fallback));
  }
};
template <class T, auto Fallback>
struct Wire<Optional<T, Fallback>> : Wire<T> {};

// The result of a member that hands one out, for the client; dropped when the member failed.
template <class T, class Call>
HRESULT ReturnResult(DispatchCall& call, Call member) {
  AbiOf<T> value{};
  const HRESULT hr = member(&value);
  Variant result = Wire<T>::Result(value);
  if (Failed(hr)) return hr;
  return call.Return(std::move(result));
}

template <class Self, auto Getter, class T>
HRESULT GetThunk(Self& self, DispatchCall& call) {
  return ReturnResult<T>(call, [&](AbiOf<T>* value) { return (self.*Getter)(value); });
}

template <class Self, auto Putter, class T>
HRESULT PutThunk(Self& self, DispatchCall& call) {
  typename Argument<T>::Held value{};
  VORLANE_RETURN_IF_FAILED(Argument<T>::Read(call, 0, &value));
  return (self.*Putter)(Wire<T>::Pass(value));
}

template <class Self, auto Member, class Sig>
struct MethodThunk;
template <class Self, auto Member, class R, class... Args>
struct MethodThunk<Self, Member, R(Args...)> {
  static constexpr uint16_t kOptional = (uint16_t{Argument<Args>::kOptional} + ... + 0);
  static constexpr uint16_t kRequired = sizeof...(Args) - kOptional;

  static HRESULT Call(Self& self, DispatchCall& call) { return Run(self, call, std::index_sequence_for<Args...>{}); }

 private:
  template <size_t... I>
  static HRESULT Run(Self& self, [[maybe_unused]] DispatchCall& call, std::index_sequence<I...>) {
    std::tuple<typename Argument<Args>::Held...> held;
    HRESULT hr = S_OK;
    // In order, stopping at the first that fails.
    (void)((Succeeded(hr = Argument<Args>::Read(call, I, &std::get<I>(held)))) && ...);
    if (Failed(hr)) return hr;
    if constexpr (std::is_void_v<R>) {
      return (self.*Member)(Wire<Args>::Pass(std::get<I>(held))...);
    } else {
      return ReturnResult<R>(call, [&](AbiOf<R>* value) {
        return (self.*Member)(Wire<Args>::Pass(std::get<I>(held))..., value);
      });
    }
  }
};

// Only optional arguments may follow an optional one.
template <class Sig>
struct TrailingOptionals;
template <class R, class... Args>
struct TrailingOptionals<R(Args...)> {
  static constexpr bool Check() {
    const bool optional[] = {Argument<Args>::kOptional..., false};
    for (size_t i = 1; i < sizeof...(Args); ++i) {
      if (optional[i - 1] && !optional[i]) return false;
    }
    return true;
  }
};

template <class Self, auto Getter, class T>
constexpr DispatchMember<Self> GetRow(std::string_view name, DISPID id) {
  return {name, id, MemberKind::kPropertyGet, nullptr, 0, 0, &GetThunk<Self, Getter, T>};
}
template <class Self, auto Putter, class T>
constexpr DispatchMember<Self> PutRow(std::string_view name, DISPID id) {
  return {name, id, MemberKind::kPropertyPut, nullptr, 1, 0, &PutThunk<Self, Putter, T>};
}
template <class Self, auto Member, class Sig>
constexpr DispatchMember<Self> MethodRow(std::string_view name, DISPID id) {
  static_assert(TrailingOptionals<Sig>::Check(), "optional arguments come last");
  using Thunk = MethodThunk<Self, Member, Sig>;
  return {name, id, MemberKind::kMethod, nullptr, Thunk::kRequired, Thunk::kOptional, &Thunk::Call};
}

}  // namespace vorlane::com::contract

// ---------------------------------------------------------------- the dispatch table
// Declares `kDispatchMembers` (what DispatchImpl answers from), one row per get, put and method,
// in the order of the list.
#define VORLANE_CONTRACT_DISPATCH(LIST, Self, Interface) \
  using VorlaneContractSelf_ = Self;                     \
  using VorlaneContractInterface_ = Interface;           \
  static constexpr ::vorlane::com::DispatchMember<Self> kDispatchMembers[] = {LIST(VORLANE_CONTRACT_ROW_)};
#define VORLANE_CONTRACT_ROW_(kind, name, idName, id, ...) VORLANE_CONTRACT_ROW_##kind(name, id, __VA_ARGS__)
#define VORLANE_CONTRACT_ROW_GET(name, id, ...)                                                                \
  ::vorlane::com::contract::GetRow<VorlaneContractSelf_, &VorlaneContractInterface_::get_##name, __VA_ARGS__>( \
      #name, id),
#define VORLANE_CONTRACT_ROW_PUT(name, id, ...)                                                                \
  ::vorlane::com::contract::PutRow<VorlaneContractSelf_, &VorlaneContractInterface_::put_##name, __VA_ARGS__>( \
      #name, id),
#define VORLANE_CONTRACT_ROW_GETPUT(name, id, ...) \
  VORLANE_CONTRACT_ROW_GET(name, id, __VA_ARGS__) VORLANE_CONTRACT_ROW_PUT(name, id, __VA_ARGS__)
#define VORLANE_CONTRACT_ROW_METHOD(name, id, ...) \
  ::vorlane::com::contract::MethodRow<VorlaneContractSelf_, &VorlaneContractInterface_::name, __VA_ARGS__>(#name, id),

// ---------------------------------------------------------------- the overrides
// A method's override is declared through its function type, which leaves no place for the
// `override` keyword; it overrides all the same, having the name and type of the pure virtual
// (clang's warning about the missing keyword is silenced for these lines only).
#if defined(__clang__)
#define VORLANE_CONTRACT_NO_OVERRIDE_WARNING_ \
  _Pragma("clang diagnostic push") _Pragma("clang diagnostic ignored \"-Winconsistent-missing-override\"")
#define VORLANE_CONTRACT_END_NO_OVERRIDE_WARNING_ _Pragma("clang diagnostic pop")
#else
#define VORLANE_CONTRACT_NO_OVERRIDE_WARNING_
#define VORLANE_CONTRACT_END_NO_OVERRIDE_WARNING_
#endif
#define VORLANE_CONTRACT_OVERRIDES(LIST) \
  VORLANE_CONTRACT_NO_OVERRIDE_WARNING_ LIST(VORLANE_CONTRACT_OVERRIDE_) VORLANE_CONTRACT_END_NO_OVERRIDE_WARNING_
#define VORLANE_CONTRACT_OVERRIDE_(kind, name, idName, id, ...) VORLANE_CONTRACT_OVERRIDE_##kind(name, __VA_ARGS__)
#define VORLANE_CONTRACT_OVERRIDE_GET(name, ...) \
  ::vorlane::com::HRESULT get_##name(::vorlane::com::contract::AbiOf<__VA_ARGS__>* value) override;
#define VORLANE_CONTRACT_OVERRIDE_PUT(name, ...) \
  ::vorlane::com::HRESULT put_##name(::vorlane::com::contract::AbiOf<__VA_ARGS__> value) override;
#define VORLANE_CONTRACT_OVERRIDE_GETPUT(name, ...) \
  VORLANE_CONTRACT_OVERRIDE_GET(name, __VA_ARGS__) VORLANE_CONTRACT_OVERRIDE_PUT(name, __VA_ARGS__)
#define VORLANE_CONTRACT_OVERRIDE_METHOD(name, ...) ::vorlane::com::contract::MethodOf<__VA_ARGS__> name;
