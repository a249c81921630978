// What an HTTP CONNECT proxy, a SOCKS4 or a SOCKS5 server answers, fed to the firewall
// negotiation whole and again in chunks. The target is always an IP literal, so no name is
// resolved and nothing reaches the network.
//
// Properties: a Feed never takes more than it was given, and takes everything while the
// negotiation goes on; once done or failed, later Feeds take nothing and the step stays; a
// failure has a code and a text; the whole and the chunked feeding end alike (step, code, text,
// HTTP status, bytes taken, bytes to write up to a failure); there is something to write after the start, and
// later only for SOCKS5 once the server chose its method; an HTTP answer whose header does not
// end within kMaxHttpAnswer bytes fails.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tcpclient/firewall_negotiation.h"

namespace {

using vorlane::tcpclient::FirewallKind;
using vorlane::tcpclient::FirewallNegotiation;
using vorlane::tcpclient::FirewallTarget;
using vorlane::tcpclient::kMaxHttpAnswer;
using Step = FirewallNegotiation::Step;

struct Outcome {
  Step step;
  int32_t code;
  std::string text;
  int httpStatus;
  size_t consumed;
  std::string written;  // everything TakeOutput handed out, in order
};

// A failure drops what was not yet handed out, so a whole feed that fails may have written less
// than one in pieces, which handed out each request as its answer came: never anything else.
bool SameEnd(const Outcome& a, const Outcome& b) {
  const bool sameWritten = a.step == Step::kFailed
                               ? a.written.compare(0, b.written.size(), b.written) == 0 ||
                                     b.written.compare(0, a.written.size(), a.written) == 0
                               : a.written == b.written;
  return a.step == b.step && a.code == b.code && a.text == b.text && a.httpStatus == b.httpStatus &&
         a.consumed == b.consumed && sameWritten;
}

void CheckFailure(const FirewallNegotiation& negotiation) {
  if (negotiation.Current() != Step::kFailed) return;
  FUZZ_CHECK(negotiation.ErrorCode() != 0);
  FUZZ_CHECK(!negotiation.ErrorText().empty());
}

// Feeds `received` in pieces of the sizes in `pieces` (cycled; 0 means all that is left).
Outcome Negotiate(const FirewallTarget& target, std::string_view received, const std::vector<size_t>& pieces) {
  FirewallNegotiation negotiation(target);
  Outcome outcome{};
  outcome.written = negotiation.TakeOutput();
  CheckFailure(negotiation);
  // The first request is there to write unless the target could not be put into one.
  FUZZ_CHECK(outcome.written.empty() == (negotiation.Current() == Step::kFailed));

  size_t at = 0;
  for (size_t round = 0; round < received.size() + 2; ++round) {
    const size_t size = pieces.empty() || pieces[round % pieces.size()] == 0 ? received.size() - at
                                                                              : pieces[round % pieces.size()];
    const std::string_view piece = received.substr(at, size);
    const Step before = negotiation.Current();
    size_t consumed = 12345;
    const Step step = negotiation.Feed(piece, &consumed);
    FUZZ_CHECK(step == negotiation.Current());
    FUZZ_CHECK(consumed <= piece.size());
    if (before != Step::kNeedMore) {
      FUZZ_CHECK(consumed == 0 && step == before);
    } else if (step == Step::kNeedMore) {
      FUZZ_CHECK(consumed == piece.size());
    }
    CheckFailure(negotiation);
    at += consumed;
    outcome.consumed += consumed;

    const std::string output = negotiation.TakeOutput();
    if (!output.empty()) {
      // Only SOCKS5 writes again, after the server's method choice (its first two bytes).
      FUZZ_CHECK(target.kind == FirewallKind::kSocks5);
      FUZZ_CHECK(step != Step::kFailed);
      FUZZ_CHECK(outcome.consumed >= 2);
    }
    outcome.written += output;
    if (before != Step::kNeedMore || (piece.empty() && at == received.size())) break;
  }
  // Ended or not, one more Feed of what is left changes nothing once it has ended.
  if (negotiation.Current() != Step::kNeedMore) {
    const Step ended = negotiation.Current();
    size_t consumed = 12345;
    FUZZ_CHECK(negotiation.Feed(received.substr(at), &consumed) == ended);
    FUZZ_CHECK(consumed == 0);
    FUZZ_CHECK(negotiation.TakeOutput().empty() || ended == Step::kDone);
  }
  outcome.step = negotiation.Current();
  outcome.code = negotiation.ErrorCode();
  outcome.text = negotiation.ErrorText();
  outcome.httpStatus = negotiation.HttpStatus();
  if (target.kind != FirewallKind::kTunnel) FUZZ_CHECK(outcome.httpStatus == 0);
  if (outcome.step == Step::kDone && target.kind == FirewallKind::kTunnel) {
    FUZZ_CHECK(outcome.httpStatus >= 200 && outcome.httpStatus < 300);
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t flags = input.ConsumeIntegral<uint8_t>();
  FirewallTarget target;
  target.kind = static_cast<FirewallKind>(1 + flags % 3);
  // Literals only: a SOCKS4 name would be looked up by the resolver. SOCKS4 carries IPv4 only.
  target.host = (flags & 0x04) && target.kind != FirewallKind::kSocks4 ? "::1" : "127.0.0.1";
  target.port = input.ConsumeIntegral<uint16_t>();
  if (flags & 0x08) target.user = "user";
  if (flags & 0x10) target.password = "secret";
  if (flags & 0x20) target.extraHeaders = "User-Agent: probe\r\nX-Trace: 1";
  std::vector<size_t> pieces;
  const size_t pieceCount = input.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < pieceCount; ++i) pieces.push_back(input.ConsumeIntegralInRange<size_t>(0, 40));
  std::string received = input.ConsumeRemainingBytesAsString();
  // A flooding proxy: the answer repeated past the header limit.
  if ((flags & 0xC0) == 0xC0 && !received.empty()) {
    const std::string once = received;
    while (received.size() < kMaxHttpAnswer + 512) received += once;
  }

  const Outcome whole = Negotiate(target, received, {});
  const Outcome chunked = Negotiate(target, received, pieces);
  FUZZ_CHECK(SameEnd(whole, chunked));
  // Byte by byte too, short of a flood (which would make the run slow for little gain).
  if (received.size() <= 2048) FUZZ_CHECK(SameEnd(whole, Negotiate(target, received, {1})));

  if (target.kind == FirewallKind::kTunnel) {
    const size_t end = received.find("\r\n\r\n");
    const bool endWithinLimit = end != std::string::npos && end + 4 <= kMaxHttpAnswer;
    if (!endWithinLimit && received.size() >= kMaxHttpAnswer) FUZZ_CHECK(whole.step == Step::kFailed);
    FUZZ_CHECK(whole.consumed <= kMaxHttpAnswer);
  }
  return 0;
}
