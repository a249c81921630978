#include "tools/vorlane-query/telnet_filter.h"

namespace vorlane::query {
namespace {

void Append(std::string& out, uint8_t verb, uint8_t option) {
  out += static_cast<char>(telnet::kIac);
  out += static_cast<char>(verb);
  out += static_cast<char>(option);
}

}  // namespace

TelnetFilter::Output TelnetFilter::Feed(std::string_view bytes) {
  Output out;
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    switch (state_) {
      case State::kData:
        if (byte == telnet::kIac) {
          state_ = State::kCommand;
        } else {
          out.data += c;
        }
        break;
      case State::kCommand:
        if (byte == telnet::kIac) {
          out.data += c;  // an escaped 0xFF data byte
          state_ = State::kData;
        } else if (byte == telnet::kSb) {
          state_ = State::kSub;
        } else if (byte >= telnet::kWill && byte <= telnet::kDont) {
          verb_ = byte;
          state_ = State::kOption;
        } else {
          state_ = State::kData;  // NOP, GA and the other two-byte commands carry nothing for us
        }
        break;
      case State::kOption:
        Negotiate(verb_, byte, out.reply);
        state_ = State::kData;
        break;
      case State::kSub:
        if (byte == telnet::kIac) state_ = State::kSubIac;
        break;
      case State::kSubIac:
        state_ = byte == telnet::kSe ? State::kData : State::kSub;
        break;
    }
  }
  return out;
}

void TelnetFilter::Negotiate(uint8_t verb, uint8_t option, std::string& reply) {
  bool& does = serverDoes_[option];
  switch (verb) {
    case telnet::kWill:
      if (does) return;  // already agreed: answering again could loop
      if (option == telnet::kOptionEcho || option == telnet::kOptionSuppressGoAhead) {
        does = true;
        Append(reply, telnet::kDo, option);
      } else {
        Append(reply, telnet::kDont, option);
      }
      return;
    case telnet::kWont:
      if (!does) return;
      does = false;
      Append(reply, telnet::kDont, option);
      return;
    case telnet::kDo:
      Append(reply, telnet::kWont, option);  // we offer nothing
      return;
    default:
      return;  // DONT: we do nothing already
  }
}

}  // namespace vorlane::query
