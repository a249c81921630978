// Shared helpers for the profile tests: whole-file I/O that fails the test when it cannot write.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "testing/temp_dir.h"

namespace vorlane::profile::testing {

using testkit::ReadFile;
using testkit::TempDir;

inline void WriteText(const std::filesystem::path& file, std::string_view text) {
  ASSERT_TRUE(testkit::WriteFile(file, text)) << "cannot write " << file;
}

inline ino_t InodeOf(const std::filesystem::path& file) {
  struct stat st {};
  EXPECT_EQ(::stat(file.c_str(), &st), 0) << file;
  return st.st_ino;
}

}  // namespace vorlane::profile::testing
