#include "platform/com/error_info.h"

#include <gtest/gtest.h>

#include <thread>

#include "platform/com/bstr.h"
#include "platform/com/com_object.h"

namespace vorlane::com {
namespace {

constexpr IID kIidSomething = GuidLiteral("E4404E10-0001-4000-8000-000000000001");

std::u16string Description(IErrorInfo* info) {
  Bstr text;
  EXPECT_EQ(info->GetDescription(text.put()), S_OK);
  return std::u16string(text.view());
}

// Error objects are the runtime's: each test must leave as many alive as it found.
class ErrorInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    (void)SetErrorInfo(nullptr);
    baseline_ = RuntimeObjectCount();
  }
  void TearDown() override {
    (void)SetErrorInfo(nullptr);
    EXPECT_EQ(RuntimeObjectCount(), baseline_);
  }

  long baseline_ = 0;
};

TEST_F(ErrorInfoTest, GetHandsTheInformationOutAndClearsTheSlot) {
  EXPECT_EQ(SetErrorAndReturn(E_ACCESSDENIED, kIidSomething, u"Probe", u"not allowed"), E_ACCESSDENIED);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(info.put()), S_OK);
  ASSERT_TRUE(info);
  EXPECT_EQ(Description(info.get()), u"not allowed");
  Bstr source;
  EXPECT_EQ(info->GetSource(source.put()), S_OK);
  EXPECT_EQ(source, u"Probe");
  IID iid{};
  EXPECT_EQ(info->GetGUID(&iid), S_OK);
  EXPECT_EQ(iid, kIidSomething);

  ComPtr<IErrorInfo> again;
  EXPECT_EQ(GetErrorInfo(again.put()), S_FALSE);
  EXPECT_FALSE(again);
  EXPECT_EQ(GetErrorInfo(nullptr), E_POINTER);
}

TEST_F(ErrorInfoTest, SetTakesAReferenceAndNullClears) {
  ComPtr<IErrorInfo> info = CreateErrorInfo(kIidSomething, u"s", u"kept by the slot");
  ASSERT_EQ(SetErrorInfo(info.get()), S_OK);
  info.reset();
  EXPECT_EQ(RuntimeObjectCount(), baseline_ + 1);  // the slot's reference keeps it
  ASSERT_EQ(SetErrorInfo(nullptr), S_OK);
  EXPECT_EQ(RuntimeObjectCount(), baseline_);
  EXPECT_EQ(GetErrorInfo(info.put()), S_FALSE);
}

TEST_F(ErrorInfoTest, SettingAgainReplacesAndReleasesThePrevious) {
  (void)SetErrorAndReturn(E_FAIL, kIidSomething, u"s", u"first");
  (void)SetErrorAndReturn(E_FAIL, kIidSomething, u"s", u"second");
  EXPECT_EQ(RuntimeObjectCount(), baseline_ + 1);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(info.put()), S_OK);
  EXPECT_EQ(Description(info.get()), u"second");
}

TEST_F(ErrorInfoTest, EachThreadHasItsOwnSlot) {
  (void)SetErrorAndReturn(E_FAIL, kIidSomething, u"main", u"main thread's");
  HRESULT otherSawBefore = E_UNEXPECTED;
  std::u16string otherSawAfter;
  std::thread other([&] {
    ComPtr<IErrorInfo> info;
    otherSawBefore = GetErrorInfo(info.put());
    (void)SetErrorAndReturn(E_FAIL, kIidSomething, u"other", u"other thread's");
    ASSERT_EQ(GetErrorInfo(info.put()), S_OK);
    otherSawAfter = Description(info.get());
  });
  other.join();
  EXPECT_EQ(otherSawBefore, S_FALSE);
  EXPECT_EQ(otherSawAfter, u"other thread's");
  ComPtr<IErrorInfo> mine;
  ASSERT_EQ(GetErrorInfo(mine.put()), S_OK);
  EXPECT_EQ(Description(mine.get()), u"main thread's");
}

TEST_F(ErrorInfoTest, EndingThreadReleasesWhatItLeftBehind) {
  std::thread other([] { (void)SetErrorAndReturn(E_FAIL, kIidSomething, u"other", u"never collected"); });
  other.join();
  EXPECT_EQ(RuntimeObjectCount(), baseline_);
}

TEST_F(ErrorInfoTest, ObjectAnswersItsInterfacesOnly) {
  ComPtr<IErrorInfo> info = CreateErrorInfo(kIidSomething, u"", u"");
  EXPECT_TRUE(info.As<IUnknown>());
  EXPECT_TRUE(info.As<IErrorInfo>());
  EXPECT_FALSE(info.As<IDispatch>());
  Bstr helpFile(u"stale");
  EXPECT_EQ(info->GetHelpFile(helpFile.put()), S_OK);
  EXPECT_EQ(helpFile.get(), nullptr);
  uint32_t context = 99;
  EXPECT_EQ(info->GetHelpContext(&context), S_OK);
  EXPECT_EQ(context, 0u);
  EXPECT_EQ(info->GetDescription(nullptr), E_POINTER);
  EXPECT_EQ(info->GetGUID(nullptr), E_POINTER);
}

}  // namespace
}  // namespace vorlane::com
