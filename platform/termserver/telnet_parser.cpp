#include "platform/termserver/telnet_parser.h"

#include "platform/termserver/limits.h"

namespace vorlane::termserver {
namespace {

using namespace telnet;
using Q = TelnetParser::Q;
using Side = TelnetParser::Side;

// The verbs that say yes and no for one side: WILL/WONT when we speak about our side,
// DO/DONT when we speak about the client's.
struct Verbs {
  uint8_t yes;
  uint8_t no;
};
constexpr Verbs kLocalVerbs{kWill, kWont};
constexpr Verbs kRemoteVerbs{kDo, kDont};

void AppendCommand(std::string& out, uint8_t verb, uint8_t option) {
  out += static_cast<char>(kIac);
  out += static_cast<char>(verb);
  out += static_cast<char>(option);
}

// The peer asks to enable (WILL for its side, DO for ours). Returns the verb to answer, or 0.
uint8_t ReceivedEnable(Side& s, Verbs verbs) {
  switch (s.q) {
    case Q::kNo:
      if (s.allowed) {
        s.q = Q::kYes;
        return verbs.yes;
      }
      // Refusing once is enough: a peer that asks again and again must not get a reply each
      // time, or a broken peer and we could keep each other busy for ever.
      if (s.refused) return 0;
      s.refused = true;
      return verbs.no;
    case Q::kYes:
      return 0;
    case Q::kWantNo:  // it answered our "no" with "yes": take it as settled, as RFC 1143 does
      s.q = s.opposite ? Q::kYes : Q::kNo;
      s.opposite = false;
      return 0;
    case Q::kWantYes:
      if (!s.opposite) {
        s.q = Q::kYes;
        return 0;
      }
      s.q = Q::kWantNo;
      s.opposite = false;
      return verbs.no;
  }
  return 0;
}

// The peer asks to disable (WONT for its side, DONT for ours), which must always be granted.
uint8_t ReceivedDisable(Side& s, Verbs verbs) {
  switch (s.q) {
    case Q::kNo:
      return 0;
    case Q::kYes:
      s.q = Q::kNo;
      return verbs.no;
    case Q::kWantNo:
      if (!s.opposite) {
        s.q = Q::kNo;
        return 0;
      }
      s.q = Q::kWantYes;
      s.opposite = false;
      return verbs.yes;
    case Q::kWantYes:
      s.q = Q::kNo;
      s.opposite = false;
      return 0;
  }
  return 0;
}

uint8_t AskEnable(Side& s, Verbs verbs) {
  s.allowed = true;
  s.refused = false;
  switch (s.q) {
    case Q::kNo:
      s.q = Q::kWantYes;
      return verbs.yes;
    case Q::kYes:
      return 0;
    case Q::kWantNo:
      s.opposite = true;
      return 0;
    case Q::kWantYes:
      s.opposite = false;
      return 0;
  }
  return 0;
}

uint8_t AskDisable(Side& s, Verbs verbs) {
  s.allowed = false;
  switch (s.q) {
    case Q::kNo:
      return 0;
    case Q::kYes:
      s.q = Q::kWantNo;
      return verbs.no;
    case Q::kWantNo:
      s.opposite = false;
      return 0;
    case Q::kWantYes:
      s.opposite = true;
      return 0;
  }
  return 0;
}

}  // namespace

TelnetParser::TelnetParser() {
  // We never send GA, and ignore it from the client, so both sides may suppress it.
  local_[kOptionSuppressGoAhead].allowed = true;
  remote_[kOptionSuppressGoAhead].allowed = true;
}

TelnetOutput TelnetParser::Feed(std::string_view bytes) {
  TelnetOutput out;
  for (char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    switch (state_) {
      case State::kData:
        if (byte == kIac) {
          state_ = State::kIac;
        } else {
          DataByte(byte, out);
        }
        break;
      case State::kIac:
        if (byte == kIac) {
          state_ = State::kData;
          DataByte(byte, out);
        } else {
          CommandByte(byte);
        }
        break;
      case State::kVerb:
        state_ = State::kData;
        Negotiate(verb_, byte, out);
        break;
      case State::kSbOption:
        // Which option does not matter: we implement no subnegotiation, and in particular
        // environment options must never reach the login.
        state_ = State::kSbData;
        break;
      case State::kSbData:
        if (byte == kIac) {
          state_ = State::kSbIac;
        } else if (subnegotiation_.size() < kMaxSubnegotiationBytes) {
          subnegotiation_ += c;
        } else {
          subnegotiationTooLong_ = true;
        }
        break;
      case State::kSbIac:
        if (byte == kIac) {
          state_ = State::kSbData;
          if (subnegotiation_.size() < kMaxSubnegotiationBytes) {
            subnegotiation_ += c;
          } else {
            subnegotiationTooLong_ = true;
          }
        } else {
          EndSubnegotiation();
          // Anything but SE means the client forgot the end; the byte is a command of its own.
          if (byte != kSe) CommandByte(byte);
        }
        break;
    }
  }
  return out;
}

void TelnetParser::DataByte(uint8_t byte, TelnetOutput& out) {
  const bool padding = afterCr_ && byte == 0;
  afterCr_ = byte == '\r';
  if (!padding) out.data += static_cast<char>(byte);
}

void TelnetParser::CommandByte(uint8_t byte) {
  switch (byte) {
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      verb_ = byte;
      state_ = State::kVerb;
      return;
    case kSb:
      subnegotiation_.clear();
      // Reserving the limit at once keeps the buffer at exactly that size, where growing it
      // byte by byte would double past it.
      subnegotiation_.reserve(kMaxSubnegotiationBytes);
      subnegotiationTooLong_ = false;
      state_ = State::kSbOption;
      return;
    default:
      // NOP, data mark, break, interrupt, abort output, are-you-there, erase, go-ahead, a stray
      // SE and unassigned codes: nothing we act on.
      state_ = State::kData;
      return;
  }
}

void TelnetParser::Negotiate(uint8_t verb, uint8_t option, TelnetOutput& out) {
  ++requestsReceived_;
  uint8_t answer = 0;
  switch (verb) {
    case kWill: answer = ReceivedEnable(remote_[option], kRemoteVerbs); break;
    case kWont: answer = ReceivedDisable(remote_[option], kRemoteVerbs); break;
    case kDo: answer = ReceivedEnable(local_[option], kLocalVerbs); break;
    case kDont: answer = ReceivedDisable(local_[option], kLocalVerbs); break;
    default: break;
  }
  if (answer != 0) AppendCommand(out.reply, answer, option);
}

void TelnetParser::EndSubnegotiation() {
  state_ = State::kData;
  if (subnegotiationTooLong_) {
    ++subnegotiationsDropped_;
  } else {
    ++subnegotiationsIgnored_;
  }
  subnegotiation_.clear();
  subnegotiationTooLong_ = false;
}

std::string TelnetParser::EnableLocal(uint8_t option) {
  std::string out;
  if (uint8_t verb = AskEnable(local_[option], kLocalVerbs)) AppendCommand(out, verb, option);
  return out;
}

std::string TelnetParser::DisableLocal(uint8_t option) {
  std::string out;
  if (uint8_t verb = AskDisable(local_[option], kLocalVerbs)) AppendCommand(out, verb, option);
  return out;
}

bool TelnetParser::LocalEnabled(uint8_t option) const { return local_[option].q == Q::kYes; }
bool TelnetParser::RemoteEnabled(uint8_t option) const { return remote_[option].q == Q::kYes; }

std::string EscapeOutgoing(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    out += c;
    if (static_cast<uint8_t>(c) == kIac) out += c;
  }
  return out;
}

}  // namespace vorlane::termserver
