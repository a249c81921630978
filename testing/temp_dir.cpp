#include "testing/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

namespace vorlane::testkit {

namespace fs = std::filesystem;

TempDir::TempDir(std::string_view prefix) {
  const char* base = ::getenv("TMPDIR");
  std::string pattern = (fs::path(base != nullptr && *base != '\0' ? base : "/tmp") / prefix).string() + "-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) {
    path_ = pattern;
  } else {
    ADD_FAILURE() << "cannot make a temporary folder " << pattern << ": " << std::strerror(errno);
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  // Tests may leave folders without write or search permission; open them up first so that
  // everything below can be removed.
  ::chmod(path_.c_str(), 0700);
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0700);
  }
  fs::remove_all(path_, ec);
}

fs::path TempDir::WriteFile(std::string_view name, std::string_view text) const {
  fs::path file = path_ / name;
  std::error_code ignored;
  fs::create_directories(file.parent_path(), ignored);
  testkit::WriteFile(file, text);
  return file;
}

bool WriteFile(const fs::path& file, std::string_view text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  return out.good();
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  // libstdc++ throws from the stream buffer when read() fails once open, as it does for a /proc
  // file of a process that has just ended (ESRCH).
  try {
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::ios_base::failure&) {
    return {};
  }
}

}  // namespace vorlane::testkit
