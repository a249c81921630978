// Profile strings: small INI files ("[section]" headers, "key=value" lines, ';' comments) read
// and written by the classic profile-string rules, which the configuration files rely on.
//
// Reading never fails: a missing, unreadable or malformed file simply has fewer entries, so
// callers get their defaults. Writing edits only the line it is about, keeps every other byte
// of the file, and replaces the file atomically under an exclusive lock so that concurrent
// readers see either the old or the new file and concurrent writers never lose an update.
//
// Names match without regard to ASCII case; the first section with a given name and, inside
// it, the first line of a given key are the ones that count.
//
// Strings handed back stop at an embedded NUL byte, as a C caller of the classic API would see
// them; the bufferSize parameters reproduce that API's truncation rules so that code ported
// from it behaves the same.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/result.h"

namespace vorlane::profile {

// The value of `key` in `section`, without one pair of enclosing quotes, cut to
// bufferSize - 1 bytes (nothing when bufferSize is 0). `defaultValue` (cut the same way) when
// the section or key is missing. A key that is present with an empty value yields "".
std::string GetString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                      std::string_view defaultValue, size_t bufferSize);

// The leading decimal integer of the value: blanks skipped, optional sign, digits up to the
// first non-digit; no digits gives 0, out-of-range values saturate at INT_MIN / INT_MAX.
// `defaultValue` when the key is missing or its value is empty.
int GetInt(const std::filesystem::path& file, std::string_view section, std::string_view key, int defaultValue);

// Section names in file order, each listed once under its first spelling. A C caller receives
// them packed as "name\0name\0\0" in bufferSize chars; the listing stops before the first name
// that would not fit whole together with its terminator and the final terminator (a name is
// never cut short). Sections with an empty name are not listed: in the packed form they would
// end the list.
std::vector<std::string> GetSectionNames(const std::filesystem::path& file, size_t bufferSize);

// The key/value pairs of the first section named `section`, in file order, values unquoted as
// GetString returns them. A key that occurs more than once is listed once, with the value that
// GetString would return. Packed as "key=value\0...\0" in bufferSize chars; pairs that would
// not fit whole end the listing.
std::vector<std::pair<std::string, std::string>> GetSection(const std::filesystem::path& file,
                                                            std::string_view section, size_t bufferSize);

// One reading of a file, for a caller with several questions about it: the answers are those of
// the functions above, all from the same version of the file (a writer replaces it whole), for
// the cost of one read.
class Snapshot {
 public:
  explicit Snapshot(const std::filesystem::path& file);
  ~Snapshot();
  Snapshot(Snapshot&&) noexcept;
  Snapshot& operator=(Snapshot&&) noexcept;

  std::string GetString(std::string_view section, std::string_view key, std::string_view defaultValue,
                        size_t bufferSize) const;
  int GetInt(std::string_view section, std::string_view key, int defaultValue) const;
  std::vector<std::string> GetSectionNames(size_t bufferSize) const;
  std::vector<std::pair<std::string, std::string>> GetSection(std::string_view section, size_t bufferSize) const;

 private:
  struct Parsed;
  std::unique_ptr<const Parsed> parsed_;
};

// Sets `key` in `section`, creating the key, the section or the file as needed. Values that
// would not read back unchanged (blank-edged, or enclosed in a pair of equal quotes) are
// written inside double quotes. Names or values that could form extra lines or could not be
// found again are refused with EINVAL before the file is touched.
//
// Common to the writers: new lines use the file's line end (judged by its first one; "\n" for
// new files and files without any); a symbolic link is followed so the file behind it is
// replaced and the link kept; the file must be writable by the caller, as a read-only file is
// refused rather than replaced; the replacement keeps the file's mode (and, for root, owner).
// Errors carry the errno value and a message naming the file.
Status WriteString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                   std::string_view value);

// Removes every line of `key` in the first section named `section`.
Status DeleteKey(const std::filesystem::path& file, std::string_view section, std::string_view key);

// Removes every section named `section`: its headers and all lines up to the next header.
Status DeleteSection(const std::filesystem::path& file, std::string_view section);

}  // namespace vorlane::profile
