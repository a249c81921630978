// The INI reader and writer on arbitrary files.
//
// Input: a key, a value and a section choice, then the file's bytes. The reader's three views of
// the file must agree with each other (every listed section and pair reads back through
// GetString, truncation only ever cuts a prefix); a write that succeeds must read back exactly
// and leave every other entry as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/profile/profile.h"

namespace {

namespace fs = std::filesystem;
namespace profile = vorlane::profile;

constexpr size_t kLarge = 1 << 20;
constexpr std::string_view kAbsent = "\x01" "absent" "\x01";

// One folder per process, so parallel fuzzing jobs never share a file.
const fs::path& WorkFile() {
  static const fs::path file = [] {
    std::string folder = (fs::temp_directory_path() / "vorlane-fuzz-profile-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(folder.data()) != nullptr);
    return fs::path(folder) / "fuzz.ini";
  }();
  return file;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

using Entries = std::map<std::pair<std::string, std::string>, std::string>;

// Every entry the reader lists, checked against GetString on the way. Names and values are
// handed back cut at a NUL byte, as a C caller sees them, and a name cut that way need not find
// its line again: files holding a NUL skip that cross-check.
Entries ReadAll(const fs::path& file, bool holdsNul, std::vector<std::string>& sections) {
  const profile::Snapshot snapshot(file);
  sections = snapshot.GetSectionNames(kLarge);
  Entries entries;
  std::map<std::string, int> seenSections;
  for (const std::string& section : sections) {
    FUZZ_CHECK(!section.empty());
    if (!holdsNul) FUZZ_CHECK(++seenSections[Lower(section)] == 1);
    std::map<std::string, int> seenKeys;
    for (const auto& [key, value] : snapshot.GetSection(section, kLarge)) {
      if (!holdsNul) {
        FUZZ_CHECK(++seenKeys[Lower(key)] == 1);
        FUZZ_CHECK(snapshot.GetString(section, key, kAbsent, kLarge) == value);
        FUZZ_CHECK(profile::GetString(file, section, key, kAbsent, kLarge) == value);
        // A small buffer cuts the value, never changes it.
        const std::string cut = snapshot.GetString(section, key, kAbsent, 4);
        FUZZ_CHECK(cut.size() <= 3 && value.starts_with(cut));
      }
      entries[{Lower(section), Lower(key)}] = value;
    }
  }
  return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string key = input.ConsumeRandomLengthString(16);
  const std::string value = input.ConsumeRandomLengthString(32);
  const std::string newSection = input.ConsumeRandomLengthString(16);
  const bool existingSection = input.ConsumeBool();
  const std::string contents = input.ConsumeRemainingBytesAsString();

  const fs::path& file = WorkFile();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << contents;
    FUZZ_CHECK(out.good());
  }

  std::vector<std::string> sections;
  const bool holdsNul = contents.find('\0') != std::string::npos;
  const Entries before = ReadAll(file, holdsNul, sections);
  const std::string section = existingSection && !sections.empty() ? sections.front() : newSection;

  if (!profile::WriteString(file, section, key, value)) return 0;

  std::vector<std::string> sectionsAfter;
  Entries after = ReadAll(file, holdsNul, sectionsAfter);
  FUZZ_CHECK(profile::GetString(file, section, key, kAbsent, kLarge) == value);
  // The sections keep their order; at most the written one is added at the end.
  FUZZ_CHECK(sectionsAfter.size() == sections.size() || sectionsAfter.size() == sections.size() + 1);
  for (size_t i = 0; i < sections.size(); ++i) FUZZ_CHECK(sectionsAfter[i] == sections[i]);
  // Everything else reads as it did.
  after.erase({Lower(section), Lower(key)});
  Entries expected = before;
  expected.erase({Lower(section), Lower(key)});
  FUZZ_CHECK(after == expected);
  return 0;
}
