// A component interface declared once. A contract header lists the members of a dual interface
// in vtable order, one row each, and this header turns that list into the pure virtuals and the
// member ids; platform/com/contract_dispatch.h turns the same list into the dispatch table and
// the implementing class's overrides.
//
//   #define VORLANE_CLOCK_MEMBERS(X)  (each row ending in a backslash)
//     X(GETPUT, Interval, kClockInterval, 1, int32_t)
//     X(GET, Running, kClockRunning, 2, bool)
//     X(METHOD, Start, kClockStart, 3, void(int32_t ms, com::Optional<bool, true> repeat))
//     X(METHOD, Name, kClockName, 4, com::BSTR())
//
//   VORLANE_DISPATCH_INTERFACE(IClock, "<interface id>", VORLANE_CLOCK_MEMBERS);
//   enum ClockMember : com::DISPID { VORLANE_CONTRACT_IDS(VORLANE_CLOCK_MEMBERS) };
//
// An event interface, which late binding alone reaches, has no rows: VORLANE_NO_MEMBERS.
//
// A row is X(kind, Name, IdConstant, DISPID, type):
//   GET     a read-only property:   HRESULT get_Name(Abi* value)
//   PUT     a write-only property:  HRESULT put_Name(Abi value)
//   GETPUT  both, get first:        the two above
//   METHOD  `type` is a signature R(Args...): HRESULT Name(Abi args..., Abi<R>* result), the
//           result parameter only when R is not void. Names in the signature are for the reader.
// Types as the list writes them: `bool` is a VARIANT_BOOL on the vtable and a boolean to late
// binding (VARIANT_BOOL and int16_t are one C++ type, but late binding converts them
// differently); integers, double, com::BSTR, com::VARIANT, enumerations (an int32_t to late
// binding) and interface pointers are themselves. com::Optional<T, fallback> is a T that late
// binding lets the client leave out; only trailing arguments may be optional.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/com/hresult.h"
#include "platform/com/types.h"

namespace vorlane::com {

// A trailing argument late binding may leave out; it then reads as `Fallback`. A VARIANT left
// out with kLeftOut as its fallback reaches the member as VT_ERROR with DISP_E_PARAMNOTFOUND, the
// way clients pass a skipped argument, so that the member tells it from any value.
template <class T, auto Fallback>
struct Optional {};
struct LeftOut {};
inline constexpr LeftOut kLeftOut{};

namespace contract {

// The vtable's type for a type as the list writes it.
template <class T>
struct Abi {
  using type = T;
};
template <>
struct Abi<bool> {
  using type = VARIANT_BOOL;
};
template <class T, auto Fallback>
struct Abi<Optional<T, Fallback>> : Abi<T> {};
template <class T>
using AbiOf = typename Abi<T>::type;

// The vtable function type of a method whose list signature is `Sig`.
template <class Sig>
struct MethodSignature;
template <class... Args>
struct MethodSignature<void(Args...)> {
  using type = HRESULT(AbiOf<Args>...);
};
template <class R, class... Args>
struct MethodSignature<R(Args...)> {
  using type = HRESULT(AbiOf<Args>..., AbiOf<R>*);
};
template <class Sig>
using MethodOf = typename MethodSignature<Sig>::type;

}  // namespace contract

// How an event's field travels (platform/com/contract_events.h): ByValue, ByRef (a reference
// to the source's copy, read by the sinks) or Out (the same, and a sink's answer).
enum class ArgPassing : uint8_t { kValue, kReference, kOut };

template <auto Field, ArgPassing How>
struct EventArg {
  static constexpr auto kField = Field;
  static constexpr ArgPassing kPassing = How;
};
template <auto Field>
using ByValue = EventArg<Field, ArgPassing::kValue>;
template <auto Field>
using ByRef = EventArg<Field, ArgPassing::kReference>;
template <auto Field>
using Out = EventArg<Field, ArgPassing::kOut>;

template <class... Args>
struct EventArgs {
  static constexpr size_t kCount = sizeof...(Args);
};

}  // namespace vorlane::com

// ---------------------------------------------------------------- the pure virtuals
#define VORLANE_CONTRACT_VIRTUALS(LIST) LIST(VORLANE_CONTRACT_VIRTUAL_)
#define VORLANE_CONTRACT_VIRTUAL_(kind, name, idName, id, ...) VORLANE_CONTRACT_VIRTUAL_##kind(name, __VA_ARGS__)
#define VORLANE_CONTRACT_VIRTUAL_GET(name, ...) \
  virtual ::vorlane::com::HRESULT get_##name(::vorlane::com::contract::AbiOf<__VA_ARGS__>* value) = 0;
#define VORLANE_CONTRACT_VIRTUAL_PUT(name, ...) \
  virtual ::vorlane::com::HRESULT put_##name(::vorlane::com::contract::AbiOf<__VA_ARGS__> value) = 0;
#define VORLANE_CONTRACT_VIRTUAL_GETPUT(name, ...) \
  VORLANE_CONTRACT_VIRTUAL_GET(name, __VA_ARGS__) VORLANE_CONTRACT_VIRTUAL_PUT(name, __VA_ARGS__)
#define VORLANE_CONTRACT_VIRTUAL_METHOD(name, ...) virtual ::vorlane::com::contract::MethodOf<__VA_ARGS__> name = 0;

// An interface derived from IDispatch with the identifier `iid` (a GUID literal) and the members
// of `LIST` as its pure virtuals; clients release it, never delete it.
#define VORLANE_DISPATCH_INTERFACE(Name, iid, LIST)                                  \
  struct Name : ::vorlane::com::IDispatch {                                          \
    using Base = ::vorlane::com::IDispatch;                                          \
    static constexpr ::vorlane::com::IID kIid = ::vorlane::com::GuidLiteral(iid);    \
    VORLANE_CONTRACT_VIRTUALS(LIST)                                                  \
                                                                                     \
   protected:                                                                        \
    ~Name() = default;                                                               \
  }
#define VORLANE_NO_MEMBERS(X)

// ---------------------------------------------------------------- the member ids, as enumerators
#define VORLANE_CONTRACT_IDS(LIST) LIST(VORLANE_CONTRACT_ID_)
#define VORLANE_CONTRACT_ID_(kind, name, idName, id, ...) idName = id,

// The members of a keyed collection of `Element` objects, which ping and TCP check share: Count,
// Add (a new element), Remove and Item (by key), At (by position, 0 based), Clear, IsRunning
// (an element's job runs) and AllChecked (every element's Checked is set, whose id differs
// between the two).
#define VORLANE_KEYED_COLLECTION_MEMBERS(X, Element, allCheckedId) \
  X(GET, Count, kCollCount, 1, int32_t)                            \
  X(METHOD, Add, kCollAdd, 2, Element*())                          \
  X(METHOD, Remove, kCollRemove, 3, void(int32_t id))              \
  X(METHOD, Item, kCollItem, 0, Element*(int32_t id))              \
  X(METHOD, At, kCollAt, 4, Element*(int32_t index))               \
  X(METHOD, Clear, kCollClear, 5, void())                          \
  X(GET, IsRunning, kCollIsRunning, 6, bool)                       \
  X(GET, AllChecked, kCollAllChecked, allCheckedId, bool)
