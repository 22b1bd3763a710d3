// Helpers shared by Core's tests.
#include "test_util.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include <fstream>

namespace twk::core::testing {

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::trunc | std::ios::binary) << text;
}

void replace_text(const std::string& path, const std::string& text) {
  write_text(path + ".new", text);
  ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0) << path;
}

}  // namespace twk::core::testing
