// The client side of Telnet option negotiation, as a pure push filter: bytes from the server in,
// data for the application and the answers to send back out. The server may echo and suppress
// go-ahead (we answer DO); everything else is refused.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorlane::query {

namespace telnet {
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kOptionEcho = 1;
inline constexpr uint8_t kOptionSuppressGoAhead = 3;
}  // namespace telnet

class TelnetFilter {
 public:
  struct Output {
    std::string data;
    std::string reply;
  };

  Output Feed(std::string_view bytes);

 private:
  enum class State { kData, kCommand, kOption, kSub, kSubIac };
  void Negotiate(uint8_t verb, uint8_t option, std::string& reply);

  State state_ = State::kData;
  uint8_t verb_ = 0;
  std::array<bool, 256> serverDoes_{};  // options we said DO to and the server does
};

}  // namespace vorlane::query
