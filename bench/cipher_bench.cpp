// Throughput of the AES block functions and the cost of deciphering one stored password, which
// the agent pays on every login.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>

#include "cipher/aes.h"
#include "cipher/password.h"

namespace vorlane::cipher {
namespace {

AesKeySchedule MakeSchedule256() {
  std::array<uint8_t, 32> key{};
  for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(i * 7 + 1);
  AesKeySchedule schedule;
  CipherSetKey(schedule, key.data(), 256);
  return schedule;
}

// Each block is fed back in as the next input so that the calls form one dependency chain and
// none can be optimised away.
void BM_Aes256EncryptBlock(benchmark::State& state) {
  const AesKeySchedule schedule = MakeSchedule256();
  std::array<uint8_t, 16> block{};
  for (auto _ : state) {
    CipherEncryptBlock(schedule, block.data(), block.data());
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_Aes256EncryptBlock);

void BM_Aes256DecryptBlock(benchmark::State& state) {
  const AesKeySchedule schedule = MakeSchedule256();
  std::array<uint8_t, 16> block{};
  for (auto _ : state) {
    CipherDecryptBlock(schedule, block.data(), block.data());
    benchmark::DoNotOptimize(block);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}
BENCHMARK(BM_Aes256DecryptBlock);

void BM_Aes256KeySchedule(benchmark::State& state) {
  std::array<uint8_t, 32> key{};
  AesKeySchedule schedule;
  for (auto _ : state) {
    CipherSetKey(schedule, key.data(), 256);
    benchmark::DoNotOptimize(schedule);
    ++key[0];
  }
}
BENCHMARK(BM_Aes256KeySchedule);

void BM_DecipherPassword(benchmark::State& state) {
  const PasswordCipher cipher;
  const std::string stored = cipher.EncipherPassword("s3cret-Passw0rd");
  for (auto _ : state) {
    std::string plain = cipher.DecipherPassword(stored);
    benchmark::DoNotOptimize(plain);
  }
}
BENCHMARK(BM_DecipherPassword);

}  // namespace
}  // namespace vorlane::cipher
