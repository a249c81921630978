#include "platform/com/guid.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace vorlane::com {
namespace {

TEST(Guid, FormatsFieldsInOrderUpperCase) {
  Guid g{0x6B29FC40, 0xCA47, 0x1067, {0xB3, 0x1D, 0x00, 0xDD, 0x01, 0x06, 0x62, 0xDA}};
  EXPECT_EQ(FormatGuid(g), "6B29FC40-CA47-1067-B31D-00DD010662DA");
  EXPECT_EQ(FormatGuidBraced(g), "{6B29FC40-CA47-1067-B31D-00DD010662DA}");
  Guid small{0x1, 0x2, 0x3, {0, 0, 0, 0, 0, 0, 0, 4}};
  EXPECT_EQ(FormatGuid(small), "00000001-0002-0003-0000-000000000004");
}

TEST(Guid, ParsesBothFormsAndRefusesOthers) {
  auto plain = ParseGuid("b1acea20-274f-4de0-aec6-bbd3dd88d0e0");
  auto braced = ParseGuid("{B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0E0}");
  ASSERT_TRUE(plain && braced);
  EXPECT_EQ(*plain, *braced);
  EXPECT_EQ(FormatGuid(*plain), "B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0E0");
  for (const char* bad : {"", "{B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0E0", "B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0E",
                          "B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0EG", "B1ACEA20274F-4DE0-AEC6-BBD3DD88D0E0-",
                          "B1ACEA20-274F-4DE0-AEC6-BBD3DD88D0E00"}) {
    EXPECT_FALSE(ParseGuid(bad)) << bad;
  }
}

TEST(Guid, CreatedGuidsAreVersion4AndDistinct) {
  const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    auto guid = CreateGuid();
    ASSERT_TRUE(guid.ok());
    std::string text = FormatGuid(guid.value());
    EXPECT_TRUE(std::regex_match(text, shape)) << text;
    EXPECT_EQ(ParseGuid(text), guid.value());
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace vorlane::com
