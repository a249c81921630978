// Events as structs with named positions. The contract header declares each event once, its
// fields in the order the sinks receive them, each with the way it travels:
//
//   struct DataIn {
//     static constexpr com::DISPID kId = 3;
//     static constexpr std::string_view kName = "DataIn";
//     std::u16string text;
//     bool eol = false;
//     bool accept = true;
//     using Args = com::EventArgs<com::ByValue<&DataIn::text>, com::ByRef<&DataIn::eol>, com::Out<&DataIn::accept>>;
//   };
//
//   ByValue  the value itself
//   ByRef    a reference to the source's copy (VT_BYREF of the field's type); sinks read it
//   Out      the same, and a sink's answer: the source reads it back after the sinks ran, a typed
//            sink writes it back after its handler ran
// Field types: bool (VT_BOOL), int16_t, int32_t, uint8_t, double, std::u16string and std::string
// (UTF-8; both VT_BSTR), ComPtr<IDispatch> (by value only).
//
// The source fires with one call, FireEvent(point, iid, event); a sink lists its handlers as
// rows of its dispatch table, `com::OnEvent<&Sink::OnDataIn>()` for HRESULT OnDataIn(DataIn&)
// and `com::IgnoreEvent<Sink, DataIn>()` for one it takes and drops. ArgPosition<&DataIn::eol>()
// is the position of a field, for code that still reads a call by hand.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/bstr.h"
#include "platform/com/com_ptr.h"
#include "platform/com/connection_point.h"
#include "platform/com/contract.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/variant.h"

namespace vorlane::com {

namespace event_detail {

template <class M>
struct FieldOf;
template <class E, class T>
struct FieldOf<T E::*> {
  using Event = E;
  using Type = T;
};

// How a field type travels: Slot holds the source's copy for a reference.
template <class T>
struct Wire {
  static_assert(std::is_arithmetic_v<T>, "a type an event carries");
  static Variant Value(T value) { return Variant(value); }
  struct Slot {
    T value;
    explicit Slot(T v) : value(v) {}
    Variant Ref() { return Variant::ByRef(&value); }
    T Load() const { return value; }
  };
  static HRESULT Read(DispatchCall& call, uint32_t index, T* out) { return call.Read(index, out); }
};
template <>
struct Wire<bool> {
  static Variant Value(bool value) { return Variant(value); }
  struct Slot {
    VARIANT_BOOL value;
    explicit Slot(bool v) : value(v ? VARIANT_TRUE : VARIANT_FALSE) {}
    Variant Ref() { return Variant::ByRefBool(&value); }
    bool Load() const { return value != VARIANT_FALSE; }
  };
  static HRESULT Read(DispatchCall& call, uint32_t index, bool* out) { return call.Read(index, out); }
};
// A text's slot: a BSTR the sinks may replace (the old one is theirs to free, the new one ours).
template <class Text, class Convert>
struct TextSlot {
  Bstr held;
  explicit TextSlot(const Text& text) : held(Convert::ToBstr(text)) {}
  Variant Ref() {
    // The reference points into `held` itself, so what a sink stores there is released with it.
    const BSTR text = held.detach();
    BSTR* where = held.put();
    *where = text;
    return Variant::ByRef(where);
  }
  Text Load() const { return Convert::FromBstr(held); }
};
template <>
struct Wire<std::u16string> {
  static Bstr ToBstr(const std::u16string& text) { return Bstr(text); }
  static std::u16string FromBstr(const Bstr& text) { return std::u16string(text.view()); }
  static Variant Value(const std::u16string& text) { return Variant(std::u16string_view(text)); }
  using Slot = TextSlot<std::u16string, Wire>;
  static HRESULT Read(DispatchCall& call, uint32_t index, std::u16string* out) {
    Bstr text;
    VORLANE_RETURN_IF_FAILED(call.Read(index, &text));
    *out = text.view();
    return S_OK;
  }
};
template <>
struct Wire<std::string> {
  static Bstr ToBstr(const std::string& text) { return Bstr::FromUtf8(text); }
  static std::string FromBstr(const Bstr& text) { return text.ToUtf8(); }
  static Variant Value(const std::string& text) { return Variant::FromUtf8(text); }
  using Slot = TextSlot<std::string, Wire>;
  static HRESULT Read(DispatchCall& call, uint32_t index, std::string* out) { return call.Read(index, out); }
};
template <>
struct Wire<ComPtr<IDispatch>> {
  static Variant Value(const ComPtr<IDispatch>& object) { return Variant(object.get()); }
  static HRESULT Read(DispatchCall& call, uint32_t index, ComPtr<IDispatch>* out) { return call.Read(index, out); }
};

struct NoSlot {};

template <class Arg>
using FieldType = typename FieldOf<std::remove_cv_t<decltype(Arg::kField)>>::Type;

// The arguments of one firing: the slots of the references and the Variants the sinks receive.
template <class Event, class... Args>
class Frame {
 public:
  explicit Frame(Event& event) : event_(event) { Fill(std::index_sequence_for<Args...>{}); }
  Frame(const Frame&) = delete;
  Frame& operator=(const Frame&) = delete;

  std::span<const Variant> Arguments() const { return args_; }
  // Out fields as the sinks left them.
  void TakeAnswers() { Take(std::index_sequence_for<Args...>{}); }

 private:
  template <class Arg>
  using SlotOf = std::conditional_t<Arg::kPassing == ArgPassing::kValue, NoSlot,
                                    typename Wire<FieldType<Arg>>::Slot>;
  template <class Arg>
  static SlotOf<Arg> MakeSlot(const Event& event) {
    if constexpr (Arg::kPassing == ArgPassing::kValue) {
      return {};
    } else {
      return SlotOf<Arg>(event.*Arg::kField);
    }
  }
  template <size_t... I>
  void Fill(std::index_sequence<I...>) {
    ((args_[I] = Arg<I>::kPassing == ArgPassing::kValue ? Wire<FieldType<Arg<I>>>::Value(event_.*Arg<I>::kField)
                                                        : RefOf<I>()),
     ...);
  }
  template <size_t I>
  Variant RefOf() {
    if constexpr (Arg<I>::kPassing == ArgPassing::kValue) {
      return {};
    } else {
      return std::get<I>(slots_).Ref();
    }
  }
  template <size_t... I>
  void Take(std::index_sequence<I...>) {
    (
        [&] {
          if constexpr (Arg<I>::kPassing == ArgPassing::kOut) event_.*Arg<I>::kField = std::get<I>(slots_).Load();
        }(),
        ...);
  }
  template <size_t I>
  using Arg = std::tuple_element_t<I, std::tuple<Args...>>;

  Event& event_;
  std::tuple<SlotOf<Args>...> slots_{MakeSlot<Args>(event_)...};
  std::array<Variant, sizeof...(Args)> args_;
};

template <class Event, class ArgList = typename Event::Args>
struct Described;
template <class Event, class... Args>
struct Described<Event, EventArgs<Args...>> {
  using FrameType = Frame<Event, Args...>;
  static constexpr uint16_t kCount = sizeof...(Args);
  template <auto Field>
  static constexpr uint32_t Position() {
    uint32_t position = 0, found = kCount;
    ((found = found == kCount && Same<Field, Args::kField>() ? position : found, ++position), ...);
    return found;
  }
  template <auto A, auto B>
  static constexpr bool Same() {
    if constexpr (std::is_same_v<decltype(A), decltype(B)>) {
      return A == B;
    } else {
      return false;
    }
  }

  // Reads what the call carries into `event` (a field left out keeps its default).
  static HRESULT Read(DispatchCall& call, Event& event) {
    HRESULT hr = S_OK;
    uint32_t position = 0;
    (void)((Succeeded(hr = ReadOne<Args>(call, position++, event))) && ...);
    return hr;
  }
  // Writes the Out fields back through their references.
  static HRESULT Answer(DispatchCall& call, const Event& event) {
    HRESULT hr = S_OK;
    uint32_t position = 0;
    (void)((Succeeded(hr = AnswerOne<Args>(call, position++, event))) && ...);
    return hr;
  }

 private:
  template <class Arg>
  static HRESULT ReadOne(DispatchCall& call, uint32_t position, Event& event) {
    if (call.IsMissing(position)) return S_OK;
    return Wire<FieldType<Arg>>::Read(call, position, &(event.*Arg::kField));
  }
  template <class Arg>
  static HRESULT AnswerOne(DispatchCall& call, uint32_t position, const Event& event) {
    if constexpr (Arg::kPassing == ArgPassing::kOut) {
      return call.Write(position, Wire<FieldType<Arg>>::Value(event.*Arg::kField));
    } else {
      return S_OK;
    }
  }
};

template <auto Handler>
struct HandlerOf;
template <class Sink, class Event, HRESULT (Sink::*Handler)(Event&)>
struct HandlerOf<Handler> {
  using SinkType = Sink;
  using EventType = Event;
};

template <auto Handler>
HRESULT HandleEvent(typename HandlerOf<Handler>::SinkType& sink, DispatchCall& call) {
  using Event = typename HandlerOf<Handler>::EventType;
  Event event;
  VORLANE_RETURN_IF_FAILED(Described<Event>::Read(call, event));
  VORLANE_RETURN_IF_FAILED((sink.*Handler)(event));
  return Described<Event>::Answer(call, event);
}

template <class Sink>
HRESULT DropEvent(Sink&, DispatchCall&) {
  return S_OK;
}

}  // namespace event_detail

// The position of an event's field among its arguments.
template <auto Field>
constexpr uint32_t ArgPosition() {
  using Event = typename event_detail::FieldOf<std::remove_cv_t<decltype(Field)>>::Event;
  constexpr uint32_t position = event_detail::Described<Event>::template Position<Field>();
  static_assert(position < Event::Args::kCount, "a field that travels with the event");
  return position;
}

// Fires `event` at every sink of `point` (a snapshot; see ConnectionPoint), then takes the Out
// fields back as the sinks left them. A sink's failure does not stop the others.
template <class Event>
void FireEvent(ConnectionPoint* point, const IID& eventIid, Event& event) {
  if (point == nullptr) return;
  typename event_detail::Described<Event>::FrameType frame(event);
  for (const ComPtr<IUnknown>& sink : point->Snapshot()) {
    (void)InvokeEvent(sink.get(), eventIid, Event::kId, frame.Arguments());
  }
  frame.TakeAnswers();
}

// A sink's dispatch row for HRESULT Sink::Handler(Event&): the event, with all its arguments,
// read into its struct, the handler called, its Out fields written back.
template <auto Handler>
constexpr auto OnEvent() {
  using Sink = typename event_detail::HandlerOf<Handler>::SinkType;
  using Event = typename event_detail::HandlerOf<Handler>::EventType;
  using Described = event_detail::Described<Event>;
  return DispatchMember<Sink>{Event::kName, Event::kId, MemberKind::kMethod, nullptr, Described::kCount, 0,
                              &event_detail::HandleEvent<Handler>};
}

// A row for an event the sink takes and drops.
template <class Sink, class Event>
constexpr DispatchMember<Sink> IgnoreEvent() {
  return {Event::kName, Event::kId, MemberKind::kMethod, nullptr, 0, static_cast<uint16_t>(Event::Args::kCount),
          &event_detail::DropEvent<Sink>};
}

}  // namespace vorlane::com
