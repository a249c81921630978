#include "platform/com/contract.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/contract_dispatch.h"
#include "platform/com/contract_events.h"
#include "platform/com/late_binding.h"
#include "platform/com/tests/marker_interface.h"

namespace vorlane::com {

enum GaugeMode : int32_t { kModeOff = 0, kModeSlow = 1, kModeFast = 2 };

// The same interface as a client compiled without the list would spell it. Outside the anonymous
// namespace: the compiler must not conclude that no object can have this type.
struct IGaugeByHand : IDispatch {
  virtual HRESULT get_Level(int32_t* value) = 0;
  virtual HRESULT put_Level(int32_t value) = 0;
  virtual HRESULT get_Active(VARIANT_BOOL* value) = 0;
  virtual HRESULT put_Label(BSTR value) = 0;
  virtual HRESULT get_Mode(GaugeMode* value) = 0;
  virtual HRESULT put_Mode(GaugeMode value) = 0;
  virtual HRESULT Reset() = 0;
  virtual HRESULT Scale(int32_t factor, int32_t divisor, int32_t* result) = 0;
  virtual HRESULT Describe(VARIANT_BOOL verbose, BSTR* result) = 0;

 protected:
  ~IGaugeByHand() = default;
};

namespace {

#define GAUGE_MEMBERS(X)                                                                     \
  X(GETPUT, Level, kGaugeLevel, 3, int32_t)                                                  \
  X(GET, Active, kGaugeActive, 4, bool)                                                      \
  X(PUT, Label, kGaugeLabel, 5, BSTR)                                                        \
  X(GETPUT, Mode, kGaugeMode, 6, GaugeMode)                                                  \
  X(METHOD, Reset, kGaugeReset, 0x20, void())                                                \
  X(METHOD, Scale, kGaugeScale, 0x21, int32_t(int32_t factor, Optional<int32_t, 10> divisor)) \
  X(METHOD, Describe, kGaugeDescribe, 0x22, BSTR(Optional<bool, true> verbose))

struct IGauge : IDispatch {
  using Base = IDispatch;
  static constexpr IID kIid = GuidLiteral("D15D15D1-0002-4000-8000-000000000002");
  VORLANE_CONTRACT_VIRTUALS(GAUGE_MEMBERS)

 protected:
  ~IGauge() = default;
};
enum GaugeMember : DISPID { VORLANE_CONTRACT_IDS(GAUGE_MEMBERS) };

class Gauge final : public ComObject<Gauge, DispatchImpl<Gauge, IGauge>> {
 public:
  VORLANE_CONTRACT_DISPATCH(GAUGE_MEMBERS, Gauge, IGauge)
  VORLANE_CONTRACT_OVERRIDES(GAUGE_MEMBERS)

  std::string calls;  // one letter per vtable member reached
  int32_t level = 0;
  GaugeMode mode = kModeOff;
  std::u16string label;

 private:
  ~Gauge() override = default;
};

HRESULT Gauge::get_Level(int32_t* value) { return calls += 'a', *value = level, S_OK; }
HRESULT Gauge::put_Level(int32_t value) { return calls += 'b', level = value, value < 0 ? E_INVALIDARG : S_OK; }
HRESULT Gauge::get_Active(VARIANT_BOOL* value) { return calls += 'c', *value = level > 0 ? VARIANT_TRUE : 0, S_OK; }
HRESULT Gauge::put_Label(BSTR value) { return calls += 'd', label = value ? value : u"", S_OK; }
HRESULT Gauge::get_Mode(GaugeMode* value) { return calls += 'e', *value = mode, S_OK; }
HRESULT Gauge::put_Mode(GaugeMode value) { return calls += 'f', mode = value, S_OK; }
HRESULT Gauge::Reset() { return calls += 'g', level = 0, S_OK; }
HRESULT Gauge::Scale(int32_t factor, int32_t divisor, int32_t* result) {
  calls += 'h';
  if (divisor == 0) return E_INVALIDARG;
  *result = level * factor / divisor;
  return S_OK;
}
HRESULT Gauge::Describe(VARIANT_BOOL verbose, BSTR* result) {
  calls += 'i';
  *result = SysAllocString(verbose ? u"level gauge" : u"gauge");
  return S_OK;
}

TEST(ContractTest, TheListGivesIdsKindsAndArgumentCounts) {
  struct Row {
    const char* name;
    DISPID id;
    MemberKind kind;
    uint16_t required, optional;
  };
  const Row expected[] = {
      {"Level", 3, MemberKind::kPropertyGet, 0, 0}, {"Level", 3, MemberKind::kPropertyPut, 1, 0},
      {"Active", 4, MemberKind::kPropertyGet, 0, 0}, {"Label", 5, MemberKind::kPropertyPut, 1, 0},
      {"Mode", 6, MemberKind::kPropertyGet, 0, 0},   {"Mode", 6, MemberKind::kPropertyPut, 1, 0},
      {"Reset", 0x20, MemberKind::kMethod, 0, 0},    {"Scale", 0x21, MemberKind::kMethod, 1, 1},
      {"Describe", 0x22, MemberKind::kMethod, 0, 1},
  };
  ASSERT_EQ(std::size(Gauge::kDispatchMembers), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const DispatchMember<Gauge>& row = Gauge::kDispatchMembers[i];
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(row.name, expected[i].name);
    EXPECT_EQ(row.id, expected[i].id);
    EXPECT_EQ(row.kind, expected[i].kind);
    EXPECT_EQ(row.required, expected[i].required);
    EXPECT_EQ(row.optional, expected[i].optional);
  }
  EXPECT_EQ(kGaugeLevel, 3);
  EXPECT_EQ(kGaugeDescribe, 0x22);

  ComPtr<Gauge> gauge = Make<Gauge>();
  for (const char16_t* name : {u"level", u"ACTIVE", u"Label", u"mode", u"Reset", u"scale", u"Describe"}) {
    DISPID id = DISPID_UNKNOWN;
    ASSERT_EQ(GetIdOfName(gauge.get(), name, &id), S_OK);
    bool found = false;
    for (const DispatchMember<Gauge>& row : Gauge::kDispatchMembers) found = found || row.id == id;
    EXPECT_TRUE(found);
  }
}

struct HandCalls {
  int32_t level = -1, scaled = 0;
  VARIANT_BOOL active = 0;
  GaugeMode mode = kModeSlow;
  Bstr text;
};

// Calls every member through the hand-written layout, as a client compiled against it would.
// The object is no IGaugeByHand to the compiler, so the sanitizer's dynamic type check is off here:
// only the slots are compared.
__attribute__((no_sanitize("vptr"))) HRESULT CallByHand(IGaugeByHand* hand, HandCalls& out) {
  const HRESULT results[] = {
      hand->put_Level(6),      hand->get_Level(&out.level),       hand->get_Active(&out.active),
      hand->put_Label(Bstr(u"x").get()), hand->put_Mode(kModeFast), hand->get_Mode(&out.mode),
      hand->Scale(4, 3, &out.scaled),    hand->Describe(VARIANT_FALSE, out.text.put()), hand->Reset(),
  };
  for (HRESULT hr : results) {
    if (hr != S_OK) return hr;
  }
  return S_OK;
}

TEST(ContractTest, TheVtableKeepsTheOrderOfTheList) {
  ComPtr<Gauge> gauge = Make<Gauge>();
  HandCalls out;
  ASSERT_EQ(CallByHand(reinterpret_cast<IGaugeByHand*>(static_cast<IGauge*>(gauge.get())), out), S_OK);
  EXPECT_EQ(gauge->calls, "bacdfehig");
  EXPECT_EQ(out.level, 6);
  EXPECT_EQ(out.active, VARIANT_TRUE);
  EXPECT_EQ(out.mode, kModeFast);
  EXPECT_EQ(out.scaled, 8);
  EXPECT_EQ(out.text.view(), u"gauge");
}

TEST(ContractTest, LateBindingConvertsAsTheListSays) {
  ComPtr<Gauge> gauge = Make<Gauge>();
  IDispatch* target = gauge.get();
  ASSERT_EQ(PutProperty(target, kGaugeLevel, Variant(u"21")), S_OK);  // text to a number
  EXPECT_EQ(gauge->level, 21);
  ASSERT_EQ(PutProperty(target, kGaugeLabel, Variant(u"dial")), S_OK);
  EXPECT_EQ(gauge->label, u"dial");
  ASSERT_EQ(PutProperty(target, kGaugeMode, Variant(int16_t{2})), S_OK);
  EXPECT_EQ(gauge->mode, kModeFast);

  Variant active;
  ASSERT_EQ(InvokeMember(target, kGaugeActive, DISPATCH_PROPERTYGET, {}, active.put()), S_OK);
  EXPECT_EQ(active.raw().vt, VT_BOOL);  // a boolean, not the 16-bit number it is on the vtable
  Variant mode;
  ASSERT_EQ(InvokeMember(target, kGaugeMode, DISPATCH_PROPERTYGET, {}, mode.put()), S_OK);
  EXPECT_EQ(mode.raw().vt, VT_I4);

  int32_t scaled = 0;
  ASSERT_EQ(CallMethodFor(target, kGaugeScale, {Variant(int32_t{5})}, &scaled), S_OK);  // divisor 10
  EXPECT_EQ(scaled, 10);
  ASSERT_EQ(CallMethodFor(target, kGaugeScale, {Variant(int32_t{2}), Variant(int32_t{7})}, &scaled), S_OK);
  EXPECT_EQ(scaled, 6);
  std::string text;
  ASSERT_EQ(CallMethodFor(target, kGaugeDescribe, {}, &text), S_OK);  // verbose by default
  EXPECT_EQ(text, "level gauge");

  // Failures keep their codes; a wrong count or type never reaches the member.
  const std::string before = gauge->calls;
  EXPECT_EQ(CallMethod(target, kGaugeScale, {}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(CallMethod(target, kGaugeScale, {Variant(u"many")}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(gauge->calls, before);
  EXPECT_EQ(CallMethod(target, kGaugeScale, {Variant(int32_t{1}), Variant(int32_t{0})}), E_INVALIDARG);
  EXPECT_EQ(PutProperty(target, kGaugeLevel, Variant(int32_t{-1})), E_INVALIDARG);
  EXPECT_EQ(PutProperty(target, kGaugeActive, Variant(true)), DISP_E_MEMBERNOTFOUND);  // read-only
}

// An event with a field of each passing, fired through a real connection point at two typed sinks.
struct Reading {
  static constexpr DISPID kId = 7;
  static constexpr std::string_view kName = "Reading";
  std::string gauge;
  int16_t value = 0;
  bool keep = false;
  using Args = EventArgs<ByValue<&Reading::gauge>, ByRef<&Reading::value>, Out<&Reading::keep>>;
};
static_assert(ArgPosition<&Reading::keep>() == 2);

using IGaugeEvents = MarkerInterface<IDispatch, GuidLiteral("D15D15D1-0002-4000-8000-000000000003")>;

class ReadingSink final : public ComObject<ReadingSink, DispatchImpl<ReadingSink, IGaugeEvents>> {
  HRESULT OnReading(Reading& reading) {
    seen.push_back(reading.gauge + "=" + std::to_string(reading.value));
    reading.keep = reading.value > limit;
    return S_OK;
  }

 public:
  static constexpr DispatchMember<ReadingSink> kDispatchMembers[] = {OnEvent<&ReadingSink::OnReading>()};
  explicit ReadingSink(int16_t l) : limit(l) {}

  const int16_t limit;
  std::vector<std::string> seen;

 private:
  ~ReadingSink() override = default;
};

TEST(ContractTest, EventsTravelByTheirFieldsAndBringTheAnswersBack) {
  ComPtr<ConnectionPoint> point = Make<ConnectionPoint>(IGaugeEvents::kIid);
  ComPtr<ReadingSink> low = Make<ReadingSink>(int16_t{10}), high = Make<ReadingSink>(int16_t{50});
  uint32_t cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<IGaugeEvents*>(low.get()), &cookie), S_OK);
  ASSERT_EQ(point->Advise(static_cast<IGaugeEvents*>(high.get()), &cookie), S_OK);

  Reading reading{.gauge = "oil", .value = 30, .keep = false};
  FireEvent(point.get(), IGaugeEvents::kIid, reading);
  EXPECT_EQ(low->seen, std::vector<std::string>{"oil=30"});
  EXPECT_EQ(high->seen, std::vector<std::string>{"oil=30"});
  EXPECT_FALSE(reading.keep);  // the last sink's answer: 30 is not above 50

  ASSERT_EQ(point->Unadvise(cookie), S_OK);
  reading.value = 12;
  FireEvent(point.get(), IGaugeEvents::kIid, reading);
  EXPECT_TRUE(reading.keep);
  EXPECT_EQ(low->seen.back(), "oil=12");
  EXPECT_EQ(high->seen.size(), 1u);
}

}  // namespace
}  // namespace vorlane::com
