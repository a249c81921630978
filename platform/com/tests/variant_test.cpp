#include "platform/com/variant.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <string>

#include "platform/com/text.h"

namespace vorlane::com {
namespace {

// A hand-made object (not a ComObject, so these tests stand alone) that counts its references
// and can refuse IDispatch.
class CountingObject final : public IDispatch {
 public:
  explicit CountingObject(bool dispatch = true) : dispatch_(dispatch) {}
  ~CountingObject() = default;

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (iid == IUnknown::kIid || (dispatch_ && iid == IDispatch::kIid)) {
      AddRef();
      *object = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return ++refs; }
  uint32_t Release() override { return --refs; }  // the test owns the storage
  HRESULT GetTypeInfoCount(uint32_t*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(uint32_t, LCID, void**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(const IID&, OLECHAR**, uint32_t, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID, const IID&, LCID, uint16_t, DISPPARAMS*, VARIANT*, EXCEPINFO*, uint32_t*) override {
    return E_NOTIMPL;
  }

  std::atomic<uint32_t> refs{0};

 private:
  const bool dispatch_;
};

// "TYPE:value", to compare conversion results in one expression.
std::string Describe(const VARIANT& v) {
  switch (v.vt) {
    case VT_EMPTY: return "EMPTY";
    case VT_I2: return "I2:" + std::to_string(v.iVal);
    case VT_I4: return "I4:" + std::to_string(v.lVal);
    case VT_UI1: return "UI1:" + std::to_string(v.bVal);
    case VT_UI4: return "UI4:" + std::to_string(v.ulVal);
    case VT_BOOL: return "BOOL:" + std::to_string(v.boolVal);
    case VT_R8: {
      char text[64];
      std::snprintf(text, sizeof text, "R8:%.17g", v.dblVal);
      return text;
    }
    case VT_BSTR: return "BSTR:" + Utf16ToUtf8({v.bstrVal ? v.bstrVal : u"", SysStringLen(v.bstrVal)});
    default: return "vt " + std::to_string(v.vt);
  }
}

std::string Name(HRESULT hr) {
  if (hr == S_OK) return "S_OK";
  if (hr == DISP_E_OVERFLOW) return "OVERFLOW";
  if (hr == DISP_E_TYPEMISMATCH) return "MISMATCH";
  if (hr == DISP_E_BADVARTYPE) return "BADVARTYPE";
  return std::to_string(hr);
}

TEST(Variant, InitAndClearLeaveItEmpty) {
  VARIANT v;
  std::memset(&v, 0xAB, sizeof v);
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"owned");
  EXPECT_EQ(VariantClear(&v), S_OK);  // the sanitizer build reports the string if it leaks
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = 0x77;
  EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE);
  EXPECT_EQ(v.vt, 0x77);
  EXPECT_EQ(VariantClear(nullptr), E_POINTER);
}

TEST(Variant, CopyOfBstrIsDeep) {
  VARIANT a, b;
  VariantInit(&a);
  VariantInit(&b);
  a.vt = VT_BSTR;
  a.bstrVal = SysAllocString(u"hello");
  ASSERT_EQ(VariantCopy(&b, &a), S_OK);
  EXPECT_NE(a.bstrVal, b.bstrVal);
  ASSERT_EQ(VariantClear(&a), S_OK);
  EXPECT_EQ(Describe(b), "BSTR:hello");  // read after the original was freed
  EXPECT_EQ(VariantClear(&b), S_OK);
}

TEST(Variant, CopyOfAnInterfaceTakesAReferenceAndClearDropsIt) {
  CountingObject object;
  {
    Variant held(static_cast<IDispatch*>(&object));
    EXPECT_EQ(held.type(), VT_DISPATCH);
    EXPECT_EQ(object.refs, 1u);
    Variant copy = held;
    EXPECT_EQ(object.refs, 2u);
    EXPECT_EQ(copy.raw().pdispVal, &object);
    copy.Clear();
    EXPECT_EQ(object.refs, 1u);
    Variant unknown(static_cast<IUnknown*>(&object));
    EXPECT_EQ(unknown.type(), VT_UNKNOWN);
    EXPECT_EQ(object.refs, 2u);
  }
  EXPECT_EQ(object.refs, 0u);
}

TEST(Variant, CopyReleasesWhatTheDestinationHeld) {
  CountingObject object;
  Variant target(static_cast<IDispatch*>(&object));
  Variant text(u"replacement");
  ASSERT_EQ(VariantCopy(target.get(), &text.raw()), S_OK);
  EXPECT_EQ(object.refs, 0u);
  EXPECT_EQ(Describe(target.raw()), "BSTR:replacement");
  ASSERT_EQ(VariantCopy(target.get(), &target.raw()), S_OK);  // onto itself: nothing changes
  EXPECT_EQ(Describe(target.raw()), "BSTR:replacement");
}

TEST(Variant, ReferencesOwnNothing) {
  BSTR text = SysAllocString(u"caller's");
  int32_t number = 7;
  {
    Variant byRef = Variant::ByRef(&text);
    Variant copy = byRef;  // copies the pointer, not the string
    EXPECT_EQ(copy.raw().pbstrVal, &text);
  }
  EXPECT_EQ(std::u16string_view(text), u"caller's");  // still alive: nobody freed it
  Variant number32 = Variant::ByRef(&number);
  Variant value;
  ASSERT_EQ(VariantCopyInd(value.get(), &number32.raw()), S_OK);
  EXPECT_EQ(Describe(value.raw()), "I4:7");
  Variant textRef = Variant::ByRef(&text);
  ASSERT_EQ(VariantCopyInd(value.get(), &textRef.raw()), S_OK);
  EXPECT_NE(value.raw().bstrVal, text);  // a copy of the string
  SysFreeString(text);
  EXPECT_EQ(Describe(value.raw()), "BSTR:caller's");
}

TEST(Variant, ChangeTypeFollowsTheConversionTable) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const struct {
    Variant source;
    VARTYPE target;
    std::string expected;  // the result, or the failure's name
  } table[] = {
      {int32_t{5}, VT_I2, "I2:5"},
      {int32_t{40000}, VT_I2, "OVERFLOW"},
      {int32_t{255}, VT_UI1, "UI1:255"},
      {int32_t{-1}, VT_UI1, "OVERFLOW"},
      {int32_t{-1}, VT_UI4, "OVERFLOW"},
      {uint32_t{0xFFFFFFFF}, VT_I4, "OVERFLOW"},
      {uint32_t{0xFFFFFFFF}, VT_R8, "R8:4294967295"},
      {2.5, VT_I4, "I4:2"},
      {3.5, VT_I4, "I4:4"},
      {-2.5, VT_I4, "I4:-2"},
      {2.6, VT_I2, "I2:3"},
      {1e10, VT_I4, "OVERFLOW"},
      {nan, VT_I4, "OVERFLOW"},
      {int32_t{0}, VT_BOOL, "BOOL:0"},
      {int32_t{7}, VT_BOOL, "BOOL:-1"},
      {0.25, VT_BOOL, "BOOL:-1"},
      {true, VT_I4, "I4:-1"},
      {true, VT_UI1, "UI1:255"},
      {false, VT_R8, "R8:0"},
      {true, VT_BSTR, "BSTR:True"},
      {false, VT_BSTR, "BSTR:False"},
      {int32_t{-42}, VT_BSTR, "BSTR:-42"},
      {uint8_t{200}, VT_BSTR, "BSTR:200"},
      {0.1, VT_BSTR, "BSTR:0.1"},
      {1e20, VT_BSTR, "BSTR:1e+20"},
      {u" 42 ", VT_I4, "I4:42"},
      {u"-7", VT_I2, "I2:-7"},
      {u"+3", VT_UI1, "UI1:3"},
      {u"2.5", VT_I4, "I4:2"},
      {u"1e3", VT_I4, "I4:1000"},
      {u"99999999999", VT_I4, "OVERFLOW"},
      {u"12345678901234567890123", VT_R8, "R8:1.2345678901234568e+22"},
      {u"1e999", VT_R8, "OVERFLOW"},
      {u"abc", VT_I4, "MISMATCH"},
      {u"", VT_I4, "MISMATCH"},
      {u"12abc", VT_I4, "MISMATCH"},
      {u"0x10", VT_I4, "MISMATCH"},
      {u"inf", VT_R8, "MISMATCH"},
      {u"nan", VT_R8, "MISMATCH"},
      {u"\u0663", VT_I4, "MISMATCH"},  // a digit, but not an ASCII one
      {u"TRUE", VT_BOOL, "BOOL:-1"},
      {u"false", VT_BOOL, "BOOL:0"},
      {u"0", VT_BOOL, "BOOL:0"},
      {u"yes", VT_BOOL, "MISMATCH"},
      {Variant(), VT_I4, "I4:0"},
      {Variant(), VT_BOOL, "BOOL:0"},
      {Variant(), VT_R8, "R8:0"},
      {Variant(), VT_BSTR, "BSTR:"},
      {int32_t{1}, VT_DISPATCH, "MISMATCH"},
      {int32_t{1}, VT_NULL, "MISMATCH"},
      {int32_t{1}, VT_VARIANT, "BADVARTYPE"},
      {int32_t{1}, VT_I4 | VT_BYREF, "BADVARTYPE"},
  };
  for (const auto& row : table) {
    Variant result;
    const HRESULT hr = VariantChangeType(result.get(), &row.source.raw(), row.target);
    const std::string got = Succeeded(hr) ? Describe(result.raw()) : Name(hr);
    EXPECT_EQ(got, row.expected) << Describe(row.source.raw()) << " to vt " << row.target;
    if (Failed(hr)) {
      EXPECT_EQ(result.type(), VT_EMPTY);
    }
  }
}

TEST(Variant, ChangeTypeInPlaceReplacesTheOldContents) {
  Variant v(u"12");
  ASSERT_EQ(v.ChangeType(VT_I4), S_OK);  // the string must be freed, not leaked or reused
  EXPECT_EQ(Describe(v.raw()), "I4:12");
  ASSERT_EQ(v.ChangeType(VT_BSTR), S_OK);
  EXPECT_EQ(Describe(v.raw()), "BSTR:12");
}

TEST(Variant, FailedChangeTypeLeavesTheDestinationAlone) {
  Variant destination(u"keep");
  Variant source(u"not a number");
  EXPECT_EQ(VariantChangeType(destination.get(), &source.raw(), VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Describe(destination.raw()), "BSTR:keep");
}

TEST(Variant, ChangeTypeReadsThroughReferences) {
  int32_t number = 5;
  Variant ref = Variant::ByRef(&number);
  Variant text;
  ASSERT_EQ(VariantChangeType(text.get(), &ref.raw(), VT_BSTR), S_OK);
  EXPECT_EQ(Describe(text.raw()), "BSTR:5");
  Variant inner(u"9");
  Variant refToVariant = Variant::ByRef(inner.get());
  ASSERT_EQ(VariantChangeType(text.get(), &refToVariant.raw(), VT_UI1), S_OK);
  EXPECT_EQ(Describe(text.raw()), "UI1:9");
}

TEST(Variant, ObjectsConvertThroughQueryInterface) {
  CountingObject dispatch;
  CountingObject plain(/*dispatch=*/false);
  {
    Variant unknown(static_cast<IUnknown*>(&dispatch));
    Variant converted;
    ASSERT_EQ(VariantChangeType(converted.get(), &unknown.raw(), VT_DISPATCH), S_OK);
    EXPECT_EQ(converted.raw().pdispVal, &dispatch);
    EXPECT_EQ(dispatch.refs, 2u);
    Variant other(static_cast<IUnknown*>(&plain));
    EXPECT_EQ(VariantChangeType(converted.get(), &other.raw(), VT_DISPATCH), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(plain.refs, 1u);
    EXPECT_EQ(VariantChangeType(converted.get(), &other.raw(), VT_I4), DISP_E_TYPEMISMATCH);
  }
  EXPECT_EQ(dispatch.refs, 0u);
  EXPECT_EQ(plain.refs, 0u);
}

TEST(Variant, ByteArraysAreCopiedDeeply) {
  const std::vector<uint8_t> bytes{1, 2, 3, 250};
  Variant original(bytes);
  EXPECT_EQ(original.type(), VT_ARRAY | VT_UI1);
  Variant copy = original;
  ASSERT_NE(copy.raw().parray, original.raw().parray);
  static_cast<uint8_t*>(copy.raw().parray->data)[0] = 99;
  std::vector<uint8_t> read;
  ASSERT_EQ(original.ToBytes(&read), S_OK);
  EXPECT_EQ(read, bytes);
  ASSERT_EQ(copy.ToBytes(&read), S_OK);
  EXPECT_EQ(read, (std::vector<uint8_t>{99, 2, 3, 250}));
  EXPECT_EQ(Variant(u"text").ToBytes(&read), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(Variant(std::vector<uint8_t>{}).ToBytes(&read), S_OK);
  EXPECT_TRUE(read.empty());
  Variant text;
  EXPECT_EQ(VariantChangeType(text.get(), &original.raw(), VT_BSTR), DISP_E_TYPEMISMATCH);
}

TEST(Variant, SafeArraysHoldPlainElementsOnly) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 3);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->count, 3u);
  EXPECT_EQ(array->elementSize, 1u);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(static_cast<uint8_t*>(array->data)[i], 0) << i;
  SAFEARRAY* doubles = SafeArrayCreateVector(VT_R8, 2);
  ASSERT_NE(doubles, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(doubles->data) % alignof(double), 0u);
  EXPECT_EQ(SafeArrayCreateVector(VT_BSTR, 1), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_VARIANT, 1), nullptr);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
  EXPECT_NE(copy, array);
  EXPECT_EQ(copy->count, 3u);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
  EXPECT_EQ(SafeArrayDestroy(doubles), S_OK);
  EXPECT_EQ(SafeArrayDestroy(nullptr), S_OK);
}

TEST(Variant, ConstructorsPickTheExpectedTypes) {
  EXPECT_EQ(Variant(int32_t{1}).type(), VT_I4);
  EXPECT_EQ(Variant(int16_t{1}).type(), VT_I2);
  EXPECT_EQ(Variant(uint8_t{1}).type(), VT_UI1);
  EXPECT_EQ(Variant(uint32_t{1}).type(), VT_UI4);
  EXPECT_EQ(Variant(1.0).type(), VT_R8);
  EXPECT_EQ(Describe(Variant(true).raw()), "BOOL:-1");
  EXPECT_EQ(Describe(Variant(u"text").raw()), "BSTR:text");  // not the pointer as a bool
  EXPECT_EQ(Describe(Variant::FromUtf8("\xE2\x82\xAC").raw()), "BSTR:\xE2\x82\xAC");
  EXPECT_EQ(Describe(Variant(Bstr(u"owned")).raw()), "BSTR:owned");
}

TEST(Variant, ConvenienceConversions) {
  int32_t number = 0;
  EXPECT_EQ(Variant(u" 42").ToInt32(&number), S_OK);
  EXPECT_EQ(number, 42);
  EXPECT_EQ(Variant(3e9).ToInt32(&number), DISP_E_OVERFLOW);
  bool flag = false;
  EXPECT_EQ(Variant(u"True").ToBool(&flag), S_OK);
  EXPECT_TRUE(flag);
  std::string text;
  EXPECT_EQ(Variant(false).ToUtf8(&text), S_OK);
  EXPECT_EQ(text, "False");
  EXPECT_EQ(Variant::FromUtf8("\xC3\xA9t\xC3\xA9").ToUtf8(&text), S_OK);
  EXPECT_EQ(text, "\xC3\xA9t\xC3\xA9");
  double real = 0;
  EXPECT_EQ(Variant(u"0.5").ToDouble(&real), S_OK);
  EXPECT_EQ(real, 0.5);
}

TEST(Variant, MoveAndDetachTransferOwnership) {
  Variant source(u"moving");
  Variant target(std::move(source));
  EXPECT_EQ(source.type(), VT_EMPTY);  // NOLINT: the moved-from state is part of the contract
  EXPECT_EQ(Describe(target.raw()), "BSTR:moving");
  VARIANT raw = target.Detach();
  EXPECT_EQ(target.type(), VT_EMPTY);
  Variant again = Variant::Attach(raw);
  EXPECT_EQ(Describe(again.raw()), "BSTR:moving");
}

}  // namespace
}  // namespace vorlane::com
