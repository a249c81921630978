#include "cipher/aes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace vorlane::cipher {
namespace {

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return bytes;
}

struct KnownAnswer {
  std::string name, key, plain, cipher;
  // Keeps the test names that CTest discovers short and stable.
  friend void PrintTo(const KnownAnswer& k, std::ostream* os) { *os << k.name; }
};

class AesKnownAnswer : public testing::TestWithParam<KnownAnswer> {};

TEST_P(AesKnownAnswer, EncryptsAndDecrypts) {
  const auto key = FromHex(GetParam().key);
  const auto plain = FromHex(GetParam().plain);
  const auto expected = FromHex(GetParam().cipher);
  AesKeySchedule schedule;
  ASSERT_EQ(CipherSetKey(schedule, key.data(), static_cast<int>(key.size() * 8)), 0);
  EXPECT_EQ(schedule.rounds, static_cast<int>(key.size() / 4 + 6));

  std::vector<uint8_t> out(16);
  CipherEncryptBlock(schedule, plain.data(), out.data());
  EXPECT_EQ(out, expected);
  CipherDecryptBlock(schedule, expected.data(), out.data());
  EXPECT_EQ(out, plain);
}

// FIPS-197 Appendix B and the three Appendix C examples.
INSTANTIATE_TEST_SUITE_P(
    Fips197, AesKnownAnswer,
    testing::Values(
        KnownAnswer{"AppendixB", "2b7e151628aed2a6abf7158809cf4f3c",
                    "3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"},
        KnownAnswer{"AppendixC128", "000102030405060708090a0b0c0d0e0f",
                    "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        KnownAnswer{"AppendixC192", "000102030405060708090a0b0c0d0e0f1011121314151617",
                    "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        KnownAnswer{"AppendixC256",
                    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
                    "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"}),
    [](const testing::TestParamInfo<KnownAnswer>& info) { return info.param.name; });

TEST(Aes, WorksInPlace) {
  const auto key = FromHex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  AesKeySchedule schedule;
  ASSERT_EQ(CipherSetKey(schedule, key.data(), 256), 0);
  auto block = FromHex("00112233445566778899aabbccddeeff");
  CipherEncryptBlock(schedule, block.data(), block.data());
  EXPECT_EQ(block, FromHex("8ea2b7ca516745bfeafc49904b496089"));
  CipherDecryptBlock(schedule, block.data(), block.data());
  EXPECT_EQ(block, FromHex("00112233445566778899aabbccddeeff"));
}

TEST(Aes, RefusesOtherKeySizes) {
  const std::vector<uint8_t> key(64, 0x5a);
  for (int bits : {0, 64, 129, 512}) {
    AesKeySchedule schedule;
    EXPECT_EQ(CipherSetKey(schedule, key.data(), bits), 1) << bits;
    EXPECT_EQ(schedule.rounds, 0) << bits;
  }
}

// Runs OpenSSL's AES in ECB mode without padding over a run of blocks.
std::vector<uint8_t> OpenSslEcb(const std::vector<uint8_t>& key, const std::vector<uint8_t>& in,
                                bool encrypt) {
  const EVP_CIPHER* type = key.size() == 16   ? EVP_aes_128_ecb()
                           : key.size() == 24 ? EVP_aes_192_ecb()
                                              : EVP_aes_256_ecb();
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  std::vector<uint8_t> out(in.size());
  int written = 0;
  if (EVP_CipherInit_ex(ctx.get(), type, nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), out.data(), &written, in.data(), static_cast<int>(in.size())) !=
          1 ||
      written != static_cast<int>(in.size())) {
    ADD_FAILURE() << "OpenSSL refused the operation";
  }
  return out;
}

class AesAgainstOpenSsl : public testing::TestWithParam<int> {};

TEST_P(AesAgainstOpenSsl, RandomBlocksAgreeBothWays) {
  const int keyBits = GetParam();
  std::mt19937 rng(20240611u + static_cast<unsigned>(keyBits));
  auto randomBytes = [&rng](size_t n) {
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    return bytes;
  };

  constexpr int kKeys = 16;
  constexpr int kBlocksPerKey = 256;
  for (int k = 0; k < kKeys; ++k) {
    const auto key = randomBytes(static_cast<size_t>(keyBits / 8));
    const auto data = randomBytes(16 * kBlocksPerKey);
    AesKeySchedule schedule;
    ASSERT_EQ(CipherSetKey(schedule, key.data(), keyBits), 0);

    std::vector<uint8_t> encrypted(data.size()), decrypted(data.size());
    for (size_t off = 0; off < data.size(); off += 16) {
      CipherEncryptBlock(schedule, data.data() + off, encrypted.data() + off);
      CipherDecryptBlock(schedule, data.data() + off, decrypted.data() + off);
    }
    ASSERT_EQ(encrypted, OpenSslEcb(key, data, true)) << "key " << k;
    ASSERT_EQ(decrypted, OpenSslEcb(key, data, false)) << "key " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(KeySizes, AesAgainstOpenSsl, testing::Values(128, 192, 256));

}  // namespace
}  // namespace vorlane::cipher
