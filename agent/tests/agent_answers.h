// Answers of the agent that the end-to-end tests compare whole, with the parts that depend on
// the host or the moment taken care of.
#pragma once

#include <string>
#include <string_view>

namespace vorlane::agent::testing {

// The agent information answer, whatever system the host runs (a regular expression).
inline const std::string kAgentInfoShape =
    "#keycount=4#responseaction=ageninfo#agentversion=1\\.5\\.6\\.3#agentos=[^#]+ \\(Kernel [^#]+\\)#protocolversion=1\\.9#";

// An answer whose result text ends in "@@RTO=<digits>" with the digits taken out, so that it can
// be compared whole; an answer without a round trip time is returned as it is, which then fails
// the comparison.
inline std::string WithoutRoundTripValue(const std::string& answer) {
  constexpr std::string_view kRoundTripKey = "@@RTO=";
  const size_t key = answer.rfind(kRoundTripKey);
  if (key == std::string::npos || answer.empty() || answer.back() != '#') return answer;
  const size_t digits = key + kRoundTripKey.size();
  const std::string value = answer.substr(digits, answer.size() - 1 - digits);
  if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos) return answer;
  return answer.substr(0, digits) + "#";
}

}  // namespace vorlane::agent::testing
