// EXPECT_TRUE(Contains(text, part)): on failure, says what was looked for
// and shows the whole text it was not found in.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

namespace twk::testing {

inline ::testing::AssertionResult Contains(std::string_view text,
                                           std::string_view part) {
  if (text.find(part) != std::string_view::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure()
         << "\"" << part << "\" is not in:\n" << text;
}

}  // namespace twk::testing
