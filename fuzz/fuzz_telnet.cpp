// The Telnet parser on an arbitrary client byte stream cut into arbitrary chunks.
//
// Input: the stream; a second parser is fed the same bytes one at a time, a third in the chunks
// the input's own bytes choose. All three must agree byte for byte (the parser keeps its state
// between pushes), the answers must be whole negotiation commands, the data can only shrink, a
// subnegotiation never holds more than its limit, and text escaped for the client reads back
// as the same data.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "platform/termserver/limits.h"
#include "platform/termserver/telnet_parser.h"

namespace {

using vorlane::termserver::TelnetOutput;
using vorlane::termserver::TelnetParser;
namespace telnet = vorlane::telnet;

void Append(TelnetOutput& total, const TelnetOutput& part) {
  total.data += part.data;
  total.reply += part.reply;
}

void CheckReplies(std::string_view reply) {
  FUZZ_CHECK(reply.size() % 3 == 0);
  for (size_t i = 0; i < reply.size(); i += 3) {
    const auto verb = static_cast<uint8_t>(reply[i + 1]);
    FUZZ_CHECK(static_cast<uint8_t>(reply[i]) == telnet::kIac);
    FUZZ_CHECK(verb == telnet::kWill || verb == telnet::kWont || verb == telnet::kDo || verb == telnet::kDont);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);

  TelnetParser whole;
  const TelnetOutput once = whole.Feed(stream);
  CheckReplies(once.reply);
  FUZZ_CHECK(once.data.size() <= stream.size());
  // Each request gets at most one answer.
  FUZZ_CHECK(once.reply.size() / 3 <= whole.RequestsReceived());
  FUZZ_CHECK(whole.SubnegotiationCapacity() <= 2 * vorlane::termserver::kMaxSubnegotiationBytes);

  TelnetParser bytewise;
  TelnetOutput byByte;
  for (char c : stream) Append(byByte, bytewise.Feed(std::string_view(&c, 1)));
  FUZZ_CHECK(byByte.data == once.data && byByte.reply == once.reply);

  // Chunk lengths taken from the stream itself, 1..16 bytes each.
  TelnetParser chunked;
  TelnetOutput inChunks;
  for (size_t pos = 0; pos < stream.size();) {
    const size_t length = std::min<size_t>(static_cast<uint8_t>(stream[pos]) % 16 + 1, stream.size() - pos);
    Append(inChunks, chunked.Feed(stream.substr(pos, length)));
    pos += length;
  }
  FUZZ_CHECK(inChunks.data == once.data && inChunks.reply == once.reply);

  // Text sent to a client with its IAC bytes doubled is plain data to a parser: everything but
  // the NUL that pads a CR comes through, and nothing is answered.
  TelnetParser reader;
  const TelnetOutput echoed = reader.Feed(vorlane::termserver::EscapeOutgoing(stream));
  FUZZ_CHECK(echoed.reply.empty());
  std::string expected;
  bool afterCr = false;
  for (char c : stream) {
    if (!(afterCr && c == '\0')) expected += c;
    afterCr = c == '\r';
  }
  FUZZ_CHECK(echoed.data == expected);
  return 0;
}
