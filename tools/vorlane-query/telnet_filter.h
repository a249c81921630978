// The client side of Telnet option negotiation, as a pure push filter: bytes from the server in,
// data for the application and the answers to send back out. The server may echo and suppress
// go-ahead (we answer DO); everything else is refused.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/termserver/telnet_codes.h"

namespace vorlane::query {

namespace telnet = vorlane::telnet;

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
