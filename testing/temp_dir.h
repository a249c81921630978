// A fresh folder under the temporary folder for one test, removed with all it holds.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vorlane::testkit {

class TempDir {
 public:
  // The folder's name starts with `prefix`; it lies in $TMPDIR, or /tmp when that is not set.
  explicit TempDir(std::string_view prefix = "vorlane-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // Empty when the folder could not be made (the test has then failed).
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }
  // Writes `text` to `name` inside the folder (made with its parents); the file's path.
  std::filesystem::path WriteFile(std::string_view name, std::string_view text) const;

 private:
  std::filesystem::path path_;
};

// Replaces `file` with `text`; false when it could not be written.
bool WriteFile(const std::filesystem::path& file, std::string_view text);
// The whole of `file`, "" when it cannot be read.
std::string ReadFile(const std::filesystem::path& file);

}  // namespace vorlane::testkit
