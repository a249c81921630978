#include "platform/com/dispatch_table.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "platform/com/error_info.h"
#include "platform/com/late_binding.h"
#include "platform/com/tests/marker_interface.h"

namespace vorlane::com {
namespace {

using ICalc = MarkerInterface<IDispatch, GuidLiteral("D15D15D1-0001-4000-8000-000000000001")>;

enum : DISPID { kAdd = 1, kConcat, kValue, kSplit, kRefuse, kRefusePlain, kThrow, kCount };

class Calc final : public ComObject<Calc, DispatchImpl<Calc, ICalc>> {
  HRESULT Add(DispatchCall& call) {
    ++calls_;
    int32_t a, b;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &a));
    VORLANE_RETURN_IF_FAILED(call.Read(1, &b));
    return call.Return(a + b);
  }
  HRESULT Concat(DispatchCall& call) {
    ++calls_;
    std::string a, b, separator;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &a));
    VORLANE_RETURN_IF_FAILED(call.Read(1, &b));
    VORLANE_RETURN_IF_FAILED(call.Read(2, &separator, "-"));
    return call.Return(Variant::FromUtf8(a + separator + b));
  }
  HRESULT GetValue(DispatchCall& call) { return call.Return(value_); }
  HRESULT PutValue(DispatchCall& call) { return call.Read(0, &value_); }
  // Split(text, [out] head, [out] count): the text before the first comma, and the pieces.
  HRESULT Split(DispatchCall& call) {
    std::string text;
    VORLANE_RETURN_IF_FAILED(call.Read(0, &text));
    const size_t comma = text.find(',');
    VORLANE_RETURN_IF_FAILED(call.Write(1, Variant::FromUtf8(text.substr(0, comma))));
    return call.Write(2, int32_t{comma == std::string::npos ? 1 : 2});
  }
  HRESULT Refuse(DispatchCall&) { return SetErrorAndReturn(E_ACCESSDENIED, ICalc::kIid, u"Calc", u"not allowed"); }
  HRESULT RefusePlain(DispatchCall&) { return E_ACCESSDENIED; }
  HRESULT Throw(DispatchCall&) { throw std::runtime_error("escaped"); }
  HRESULT GetCount(DispatchCall& call) { return call.Return(calls_); }

 public:
  static constexpr DispatchMember<Calc> kDispatchMembers[] = {
      DispMethod("Add", kAdd, &Calc::Add, 2),
      DispMethod("Concat", kConcat, &Calc::Concat, 2, 1),
      DispPropertyGet("Value", kValue, &Calc::GetValue),
      DispPropertyPut("Value", kValue, &Calc::PutValue),
      DispMethod("Split", kSplit, &Calc::Split, 3),
      DispMethod("Refuse", kRefuse, &Calc::Refuse),
      DispMethod("RefusePlain", kRefusePlain, &Calc::RefusePlain),
      DispMethod("Throw", kThrow, &Calc::Throw),
      DispPropertyGet("Count", kCount, &Calc::GetCount),
  };

  int32_t calls_ = 0;  // calls that reached Add or Concat

 private:
  ~Calc() override = default;

  int32_t value_ = 0;
};

// Calls the way an automation client does: arguments in written order go into rgvarg reversed;
// a put passes its value as the named DISPID_PROPERTYPUT argument.
struct Client {
  ComPtr<IDispatch> target;
  EXCEPINFO exception{};
  uint32_t argError = 0xFFFF;
  Variant result;

  HRESULT Call(DISPID id, uint16_t flags, std::vector<Variant> args, bool wantExcepinfo = true) {
    std::vector<VARIANT> reversed;
    for (auto it = args.rbegin(); it != args.rend(); ++it) reversed.push_back(it->raw());
    DISPID named = DISPID_PROPERTYPUT;
    const bool put = flags & DISPATCH_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), put ? &named : nullptr, static_cast<uint32_t>(reversed.size()), put ? 1u : 0u};
    return target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.put(),
                          wantExcepinfo ? &exception : nullptr, &argError);
  }
  HRESULT Method(DISPID id, std::vector<Variant> args) { return Call(id, DISPATCH_METHOD, std::move(args)); }
  std::string ResultText() {
    std::string text;
    EXPECT_EQ(result.ToUtf8(&text), S_OK);
    return text;
  }
  ~Client() {
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
  }
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    calc = Make<Calc>();
    client.target = calc;
  }
  void TearDown() override { (void)SetErrorInfo(nullptr); }

  HRESULT Lookup(std::vector<std::u16string> names, std::vector<DISPID>* ids) {
    std::vector<OLECHAR*> pointers;
    for (std::u16string& name : names) pointers.push_back(name.data());
    ids->assign(names.size(), 12345);
    return client.target->GetIDsOfNames(IID_NULL, pointers.data(), static_cast<uint32_t>(pointers.size()),
                                        LOCALE_USER_DEFAULT, ids->data());
  }

  ComPtr<Calc> calc;
  Client client;
};

TEST_F(DispatchTest, NamesMatchWithoutRegardToCase) {
  std::vector<DISPID> ids;
  for (const char16_t* name : {u"Add", u"add", u"ADD", u"aDd"}) {
    EXPECT_EQ(Lookup({name}, &ids), S_OK);
    EXPECT_EQ(ids[0], kAdd);
  }
  EXPECT_EQ(Lookup({u"value"}, &ids), S_OK);
  EXPECT_EQ(ids[0], kValue);
  for (const char16_t* name : {u"Ad", u"Addd", u"", u"A\u00C4dd"}) {
    EXPECT_EQ(Lookup({name}, &ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  }
}

TEST_F(DispatchTest, FurtherNamesAreUnknownWhileTheFirstResolves) {
  std::vector<DISPID> ids;
  EXPECT_EQ(Lookup({u"concat", u"separator", u"other"}, &ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids, (std::vector<DISPID>{kConcat, DISPID_UNKNOWN, DISPID_UNKNOWN}));
  OLECHAR name[] = u"Add";
  OLECHAR* names[] = {name};
  DISPID id = 0;
  EXPECT_EQ(client.target->GetIDsOfNames(ICalc::kIid, names, 1, 0, &id), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(DispatchTest, UnknownMembersAndWrongKindsAreNotFound) {
  EXPECT_EQ(client.Method(99, {}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(client.Call(kAdd, DISPATCH_PROPERTYGET, {1, 2}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(client.Call(kAdd, DISPATCH_PROPERTYPUT, {1}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(client.Method(kCount, {}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(calc->calls_, 0);
}

TEST_F(DispatchTest, MethodsAnswerMethodOrPropertyGetCalls) {
  ASSERT_EQ(client.Call(kAdd, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {40, 2}), S_OK);
  EXPECT_EQ(client.ResultText(), "42");
  ASSERT_EQ(client.Call(kCount, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}), S_OK);
  EXPECT_EQ(client.ResultText(), "1");
}

TEST_F(DispatchTest, ArgumentsArriveInWrittenOrder) {
  ASSERT_EQ(client.Method(kConcat, {u"left", u"right", u"+"}), S_OK);
  EXPECT_EQ(client.ResultText(), "left+right");
}

TEST_F(DispatchTest, MissingOptionalArgumentsTakeTheirDefault) {
  ASSERT_EQ(client.Method(kConcat, {u"a", u"b"}), S_OK);
  EXPECT_EQ(client.ResultText(), "a-b");
  Variant skipped;  // how clients pass an optional argument they leave out
  skipped.get()->vt = VT_ERROR;
  skipped.get()->scode = DISP_E_PARAMNOTFOUND;
  ASSERT_EQ(client.Method(kConcat, {u"a", u"b", skipped}), S_OK);
  EXPECT_EQ(client.ResultText(), "a-b");
}

TEST_F(DispatchTest, WrongArgumentCountsNeverReachTheHandler) {
  EXPECT_EQ(client.Method(kAdd, {1}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(client.Method(kAdd, {1, 2, 3}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(client.Method(kConcat, {u"a", u"b", u"c", u"d"}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(calc->calls_, 0);
}

TEST_F(DispatchTest, PropertyPutThenGet) {
  ASSERT_EQ(client.Call(kValue, DISPATCH_PROPERTYPUT, {u"17"}), S_OK);
  ASSERT_EQ(client.Call(kValue, DISPATCH_PROPERTYGET, {}), S_OK);
  EXPECT_EQ(client.result.type(), VT_I4);
  EXPECT_EQ(client.result.raw().lVal, 17);
  // A put must name its value; other calls must not name anything.
  VARIANT value = Variant(5).Detach();
  DISPPARAMS unnamed{&value, nullptr, 1, 0};
  EXPECT_EQ(calc->Invoke(kValue, IID_NULL, 0, DISPATCH_PROPERTYPUT, &unnamed, nullptr, nullptr, nullptr),
            DISP_E_PARAMNOTFOUND);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS namedCall{&value, &named, 1, 1};
  EXPECT_EQ(calc->Invoke(kAdd, IID_NULL, 0, DISPATCH_METHOD, &namedCall, nullptr, nullptr, nullptr),
            DISP_E_NONAMEDARGS);
  EXPECT_EQ(calc->Invoke(kValue, ICalc::kIid, 0, DISPATCH_PROPERTYGET, &unnamed, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
}

TEST_F(DispatchTest, HandlersWriteThroughReferenceArguments) {
  BSTR head = SysAllocString(u"previous");  // replaced, and freed by the handler
  int32_t count = 0;
  ASSERT_EQ(client.Method(kSplit, {u"ab,c", Variant::ByRef(&head), Variant::ByRef(&count)}), S_OK);
  EXPECT_EQ(std::u16string_view(head), u"ab");
  EXPECT_EQ(count, 2);
  SysFreeString(head);

  VARIANT any;
  VariantInit(&any);
  double countAsDouble = 0;
  ASSERT_EQ(client.Method(kSplit, {u"abc", Variant::ByRef(&any), Variant::ByRef(&countAsDouble)}), S_OK);
  EXPECT_EQ(Variant::Attach(any).raw().vt, VT_BSTR);
  EXPECT_EQ(countAsDouble, 1.0);

  EXPECT_EQ(client.Method(kSplit, {u"abc", u"not a reference", Variant::ByRef(&count)}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(client.argError, 1u);  // rgvarg index of the second of three arguments
}

TEST_F(DispatchTest, TypeMismatchNamesTheArgument) {
  EXPECT_EQ(client.Method(kAdd, {u"x", 2}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(client.argError, 1u);  // the first argument sits last in rgvarg
  EXPECT_EQ(client.Method(kAdd, {1, u"y"}), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(client.argError, 0u);
  EXPECT_EQ(client.Method(kAdd, {1, 1e20}), DISP_E_OVERFLOW);
  EXPECT_EQ(client.argError, 0u);
  EXPECT_EQ(client.exception.scode, S_OK);  // argument failures are not exceptions
  EXPECT_EQ(client.result.type(), VT_EMPTY);
}

TEST_F(DispatchTest, ConvertibleArgumentsAreAccepted) {
  ASSERT_EQ(client.Method(kAdd, {u"40", true}), S_OK);  // true is -1
  EXPECT_EQ(client.ResultText(), "39");
  int32_t byRef = 5;
  ASSERT_EQ(client.Method(kAdd, {Variant::ByRef(&byRef), uint8_t{3}}), S_OK);
  EXPECT_EQ(client.ResultText(), "8");
}

TEST_F(DispatchTest, FailureWithErrorInformationFillsExcepinfo) {
  EXPECT_EQ(client.Method(kRefuse, {}), DISP_E_EXCEPTION);
  EXPECT_EQ(client.exception.scode, E_ACCESSDENIED);
  EXPECT_EQ(std::u16string_view(client.exception.bstrDescription), u"not allowed");
  EXPECT_EQ(std::u16string_view(client.exception.bstrSource), u"Calc");
  ComPtr<IErrorInfo> left;
  EXPECT_EQ(GetErrorInfo(left.put()), S_FALSE);  // moved into the EXCEPINFO

  EXPECT_EQ(client.Call(kRefuse, DISPATCH_METHOD, {}, /*wantExcepinfo=*/false), E_ACCESSDENIED);
  ASSERT_EQ(GetErrorInfo(left.put()), S_OK);  // still there for the caller
}

TEST_F(DispatchTest, FailureWithoutErrorInformationReturnsItsCode) {
  // Information some earlier call left on the thread must not be mistaken for this failure's.
  (void)SetErrorAndReturn(E_FAIL, ICalc::kIid, u"earlier", u"stale");
  EXPECT_EQ(client.Method(kRefusePlain, {}), E_ACCESSDENIED);
  EXPECT_EQ(client.exception.bstrDescription, nullptr);
}

TEST_F(DispatchTest, ExceptionsBecomeFailures) {
  EXPECT_EQ(client.Method(kThrow, {}), E_FAIL);
  EXPECT_EQ(client.result.type(), VT_EMPTY);
}

TEST_F(DispatchTest, ResultIsOptionalAndTypeInformationAbsent) {
  VARIANT args[2] = {Variant(1).Detach(), Variant(2).Detach()};
  DISPPARAMS params{args, nullptr, 2, 0};
  EXPECT_EQ(calc->Invoke(kAdd, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(calc->Invoke(kAdd, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  uint32_t count = 9;
  EXPECT_EQ(calc->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  void* typeInfo = &count;
  EXPECT_EQ(calc->GetTypeInfo(0, 0, &typeInfo), E_NOTIMPL);
  EXPECT_EQ(typeInfo, nullptr);
}

// The client side: the runtime's late-bound helpers against the same object.
TEST_F(DispatchTest, LateBoundCallsByIdAndByNameWithTypedResults) {
  IDispatch* target = client.target.get();
  int32_t sum = 0;
  EXPECT_EQ(CallMethodFor(target, kAdd, {Variant(2), Variant(40)}, &sum), S_OK);
  EXPECT_EQ(sum, 42);
  Variant joined;
  EXPECT_EQ(CallMethod(target, u"CONCAT", {Variant(u"a"), Variant(u"b"), Variant(u"+")}, joined.put()), S_OK);
  std::string text;
  EXPECT_EQ(ValueOf(joined, &text), S_OK);
  EXPECT_EQ(text, "a+b");
  EXPECT_EQ(CallMethod(target, u"NoSuchMember"), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(CallMethod(nullptr, kAdd), E_POINTER);

  EXPECT_EQ(PutProperty(target, kValue, Variant(u"17")), S_OK);  // converted by the callee
  int32_t value = 0;
  EXPECT_EQ(GetProperty(target, kValue, &value), S_OK);
  EXPECT_EQ(value, 17);
  std::string asText;
  EXPECT_EQ(GetProperty(target, kValue, &asText), S_OK);
  EXPECT_EQ(asText, "17");
  ComPtr<IDispatch> notAnObject;
  EXPECT_EQ(GetProperty(target, kValue, &notAnObject), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(calc->calls_, 2);  // Add and Concat, each once
}

TEST_F(DispatchTest, LateBoundOutArgumentsAndDescribedFailures) {
  IDispatch* target = client.target.get();
  BSTR head = nullptr;
  int32_t pieces = 0;
  EXPECT_EQ(CallMethod(target, kSplit, {Variant(u"left,right"), Variant::ByRef(&head), Variant::ByRef(&pieces)}), S_OK);
  EXPECT_EQ(Bstr::Attach(head).ToUtf8(), "left");
  EXPECT_EQ(pieces, 2);

  // The callee's EXCEPINFO comes back as its own code, described on this thread.
  EXPECT_EQ(CallMethod(target, kRefuse), E_ACCESSDENIED);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(info.put()), S_OK);
  BSTR description = nullptr;
  ASSERT_EQ(info->GetDescription(&description), S_OK);
  EXPECT_EQ(Bstr::Attach(description).ToUtf8(), "not allowed");
  EXPECT_EQ(CallMethod(target, kThrow), E_FAIL);
  EXPECT_EQ(CallMethod(target, kAdd, {Variant(1)}), DISP_E_BADPARAMCOUNT);
}

}  // namespace
}  // namespace vorlane::com
