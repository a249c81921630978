#include "cipher/password.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cipher/base64.h"

namespace vorlane::cipher {
namespace {

class PasswordCipherTest : public testing::Test {
 protected:
  PasswordCipher cipher_;
};

TEST_F(PasswordCipherTest, ShortPasswordHasTheStoredShapeAndRoundTrips) {
  const std::string stored = cipher_.EncipherPassword("abc");
  ASSERT_EQ(stored.size(), kStoredPasswordLength);
  EXPECT_EQ(stored.back(), '=');
  EXPECT_NE(stored[stored.size() - 2], '=');
  EXPECT_EQ(cipher_.DecipherPassword(stored), "abc");
}

TEST_F(PasswordCipherTest, StoredFormIsTheCipherBlockPlusAZeroByte) {
  const auto bytes = Base64DecodeToString(cipher_.EncipherPassword("abc"));
  ASSERT_TRUE(bytes.has_value());
  ASSERT_EQ(bytes->size(), 17u);
  EXPECT_EQ(bytes->back(), '\0');
  EXPECT_NE(bytes->substr(0, 3), "abc");  // the block really is enciphered
}

TEST_F(PasswordCipherTest, LongerPasswordIsCutToSixteen) {
  EXPECT_EQ(cipher_.EncipherPassword("0123456789abcdefXYZ"),
            cipher_.EncipherPassword("0123456789abcdef"));
}

// Sixteen characters, and characters of eight bits.
TEST_F(PasswordCipherTest, SixteenAndEightBitCharactersRoundTrip) {
  for (const std::string password : {"0123456789abcdeF", "p\xe4ss\xff"}) {
    EXPECT_EQ(cipher_.DecipherPassword(cipher_.EncipherPassword(password)), password);
  }
}

TEST_F(PasswordCipherTest, IsDeterministicAndMatchesTheSharedCipher) {
  EXPECT_EQ(cipher_.EncipherPassword("secret"), cipher_.EncipherPassword("secret"));
  EXPECT_EQ(EncipherPassword("secret"), cipher_.EncipherPassword("secret"));
  EXPECT_NE(cipher_.EncipherPassword("secret"), cipher_.EncipherPassword("secreu"));
  EXPECT_EQ(DecipherPassword(cipher_.EncipherPassword("secret")), "secret");
}

TEST_F(PasswordCipherTest, EmptyStoredValueMatchesNoShortPassword) {
  // An empty value deciphers an all-zero block. Under this key that gives sixteen non-zero
  // bytes, several of them control characters, so no password that can be typed matches it.
  const std::string empty = cipher_.DecipherPassword("");
  EXPECT_EQ(empty.size(), kMaxPasswordLength);
  for (const char* offered : {"a", "abc", "password", "KoV1996"}) EXPECT_NE(empty, offered);
  EXPECT_NE(cipher_.EncipherPassword(""), "");
  EXPECT_EQ(cipher_.DecipherPassword(cipher_.EncipherPassword("")), "");
}

TEST_F(PasswordCipherTest, MalformedStoredValuesGiveSomeShortString) {
  std::mt19937 rng(1996u);
  std::vector<std::string> inputs = {"!!!!",
                                     "YWJj",
                                     "====",
                                     std::string(100, 'A'),
                                     std::string(100, '/'),
                                     "AAAAAAAAAAAAAAAAAAAAAQ==",
                                     "AAAAAAAAAAAAAAAAAAAAAAAA",
                                     std::string(3, '\0')};
  for (int i = 0; i < 200; ++i) {
    std::string text(rng() % 64, '\0');
    for (char& c : text) c = static_cast<char>(rng());
    inputs.push_back(text);
  }
  for (const std::string& text : inputs) {
    const std::string plain = cipher_.DecipherPassword(text);
    EXPECT_LE(plain.size(), kMaxPasswordLength);
    EXPECT_EQ(plain.find('\0'), std::string::npos);
  }
}

}  // namespace
}  // namespace vorlane::cipher
