// The whole program behind main(), on streams, so that it can be driven in-process.
#pragma once

#include <istream>
#include <ostream>

#include "tools/vorlane-query/options.h"

namespace vorlane::query {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoAnswer = 3;
inline constexpr int kExitFailed = 4;

// Logs in, prints the login answer, then sends options.records (or each non-empty line of
// `in` when there are none) and prints each answer. Returns the exit status.
int RunQuery(const Options& options, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace vorlane::query
