// The Telnet byte stream as a pure push parser: bytes from the client go in, in chunks of any
// size, and come out as data for the application plus the negotiation answers to send back.
// No I/O, no clock, so every byte position can be tested on its own.
//
// Option negotiation follows the Q method (RFC 1143): each option has a state for our side and
// one for the client's side, so a request that only confirms the current state is never
// answered, and two peers can never talk each other into a loop.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/termserver/telnet_codes.h"

namespace vorlane::termserver {

namespace telnet = vorlane::telnet;

struct TelnetOutput {
  std::string data;   // bytes for the application, Telnet commands removed
  std::string reply;  // negotiation answers to send to the client, in order
};

class TelnetParser {
 public:
  TelnetParser();

  TelnetOutput Feed(std::string_view bytes);

  // Starts or stops offering an option on our side (WILL / WONT); returns the bytes to send,
  // empty when nothing needs saying (already so, or already asked).
  std::string EnableLocal(uint8_t option);
  std::string DisableLocal(uint8_t option);

  bool LocalEnabled(uint8_t option) const;   // we do it (the client said DO)
  bool RemoteEnabled(uint8_t option) const;  // the client does it (we said DO)

  // For checks: negotiation requests seen, subnegotiations ignored whole or dropped as too long,
  // and the memory held for collecting one.
  size_t RequestsReceived() const { return requestsReceived_; }
  size_t SubnegotiationsIgnored() const { return subnegotiationsIgnored_; }
  size_t SubnegotiationsDropped() const { return subnegotiationsDropped_; }
  size_t SubnegotiationCapacity() const { return subnegotiation_.capacity(); }

  // The Q method's four states, with the queue bit kept apart.
  enum class Q : uint8_t { kNo, kYes, kWantNo, kWantYes };
  struct Side {
    Q q = Q::kNo;
    bool opposite = false;  // a change back was asked for while waiting for an answer
    bool allowed = false;   // whether we agree when the peer asks to enable
    bool refused = false;   // already refused once: a repeated request gets no answer
  };

 private:
  enum class State : uint8_t { kData, kIac, kVerb, kSbOption, kSbData, kSbIac };

  void DataByte(uint8_t byte, TelnetOutput& out);
  void CommandByte(uint8_t byte);
  void Negotiate(uint8_t verb, uint8_t option, TelnetOutput& out);
  void EndSubnegotiation();

  State state_ = State::kData;
  uint8_t verb_ = 0;
  bool afterCr_ = false;  // the last data byte was CR, so a NUL after it is padding
  std::array<Side, 256> local_{};
  std::array<Side, 256> remote_{};
  std::string subnegotiation_;
  bool subnegotiationTooLong_ = false;
  size_t requestsReceived_ = 0;
  size_t subnegotiationsIgnored_ = 0;
  size_t subnegotiationsDropped_ = 0;
};

// Text for the client with every IAC byte doubled, so it arrives as data.
std::string EscapeOutgoing(std::string_view text);

}  // namespace vorlane::termserver
