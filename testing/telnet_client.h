// A Telnet client for tests, over a loopback socket. It takes the Telnet commands out of what it
// reads (negotiation goes unanswered, a doubled IAC is one data byte) and keeps the rest as text
// that the reads below consume up to what they looked for.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/vorlane-query/telnet_filter.h"

namespace vorlane::testkit {

using namespace std::chrono_literals;

// The three bytes IAC `verb` `option`.
std::string TelnetCommand(uint8_t verb, uint8_t option);

class TelnetClient {
 public:
  // Connects to 127.0.0.1:`port`.
  explicit TelnetClient(int port);
  // Connects to the numeric IPv4 or IPv6 `address` at `port`; not connected for any other text.
  TelnetClient(const std::string& address, int port);
  // The same from the local address `source` (of the same family; any of 127/8 is loopback, so
  // a server on 127.0.0.1 sees a peer 127.0.0.2); not connected when it cannot be bound.
  TelnetClient(const std::string& address, int port, const std::string& source);
  ~TelnetClient();
  TelnetClient(const TelnetClient&) = delete;
  TelnetClient& operator=(const TelnetClient&) = delete;

  bool Connected() const { return connected_; }
  void Send(std::string_view bytes);
  void SendLine(std::string_view line) { Send(std::string(line) + "\r\n"); }
  // Shuts down the sending side: the server reads the end of the stream, and can still answer.
  void ShutdownSending();

  // Reads until `needle` arrives and consumes the text up to its end; false when the server
  // closed or `wait` passed first.
  bool ReadUntil(std::string_view needle, std::chrono::milliseconds wait = 10s);
  // The next record: from a '#' up to the last '#' before the output goes quiet ("" when none
  // came). Line ends inside the record are kept as sent; those after it are not part of it.
  std::string ReadRecord(std::chrono::milliseconds wait = 10s);
  // The next `count` records of a stream of them sent back to back (each begins "#keycount="),
  // in the order they came; fewer when the server closed or `wait` passed first. A record counts
  // once the next one begins, or, for the last one, once the output goes quiet after its '#'.
  std::vector<std::string> ReadRecords(size_t count, std::chrono::milliseconds wait = 10s);
  // True when text has arrived that no read has consumed yet; waits up to `wait` for some (by
  // default not at all).
  bool HasText(std::chrono::milliseconds wait = 0ms);
  // Sends `record` as a line and returns the answer record.
  std::string Request(std::string_view record, std::chrono::milliseconds wait = 10s);
  // Waits for the login and password prompts and answers them; false when one did not come.
  bool AnswerLoginPrompts(std::string_view user, std::string_view password);
  // Logs in to the agent; the login answer's session id, or "" when refused.
  std::string Login(std::string_view user, std::string_view password);
  // Ends the connection at once with a reset, as a client that vanished does: unlike a close,
  // which the server may take for a client done sending but still reading, it leaves nothing
  // to answer to.
  void Abort();
  // True when the server has closed the connection (waits up to 2 s for it).
  bool Closed();
  // True when a read has seen the server's close already (waits for nothing).
  bool SeenClosed() const { return closed_; }

 private:
  // Reads what arrives within `wait`; false when nothing did.
  bool Fill(std::chrono::milliseconds wait);

  int fd_;
  bool connected_ = false;
  bool closed_ = false;
  query::TelnetFilter filter_;  // takes Telnet commands out of what arrives
  std::string text_;
};

}  // namespace vorlane::testkit
