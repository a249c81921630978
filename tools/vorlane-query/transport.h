// A logged-in byte stream to the agent: a Telnet connection past its password prompt, or an
// SSH shell channel.
#pragma once

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "tools/vorlane-query/options.h"

namespace vorlane::query {

enum class ReadStatus { kData, kTimeout, kClosed };

class Transport {
 public:
  virtual ~Transport() = default;
  virtual bool Send(std::string_view text) = 0;
  // Waits up to `wait` for bytes and appends what the application sees of them to `out`
  // (kData may append nothing, when only protocol bytes came).
  virtual ReadStatus Read(std::string& out, std::chrono::milliseconds wait) = 0;
};

struct OpenResult {
  std::unique_ptr<Transport> transport;
  std::string error;     // when transport is empty
  bool refused = false;  // the login was refused (rather than the connection failing)
};

// Connects and goes through the Telnet login dialogue up to sending the password.
OpenResult OpenTelnet(const Settings& settings);
// Connects, authenticates and opens a shell channel; reports the host key on `diagnostics`.
OpenResult OpenSsh(const Settings& settings, std::ostream& diagnostics);

}  // namespace vorlane::query
