// Helpers shared by Core's tests.
#include "test_util.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <stdio.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace twk::core::testing {

int file_mode(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc | std::ios::binary) << text;
}

void replace_text(const std::string& path, const std::string& text) {
  write_text(path + ".new", text);
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0) << path;
}

}  // namespace twk::core::testing
