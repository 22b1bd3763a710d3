#include "twk/sys/files.h"

#include <gtest/gtest.h>

namespace twk::sys {
namespace {

TEST(Paths, JoinParentAndName) {
  EXPECT_EQ(join_path("", "a"), "a");
  EXPECT_EQ(join_path("/", "a"), "/a");
  EXPECT_EQ(join_path("/x/", "a"), "/x/a");
  EXPECT_EQ(join_path("/x", "a"), "/x/a");
  EXPECT_EQ(join_path("x", "a.json"), "x/a.json");

  EXPECT_EQ(parent_path("/usr/bin/twk-hook"), "/usr/bin");
  EXPECT_EQ(parent_path("/twk-hook"), "/");
  EXPECT_EQ(parent_path("twk-hook"), "");
  EXPECT_EQ(parent_path("/a//b/"), "/a");
  EXPECT_EQ(parent_path("/"), std::nullopt);
  EXPECT_EQ(parent_path(""), std::nullopt);

  EXPECT_EQ(file_name("/usr/bin/env"), "env");
  EXPECT_EQ(file_name("env"), "env");
  EXPECT_EQ(file_name("/usr/bin/env/"), "env");
}

TEST(Paths, ComparedByComponents) {
  EXPECT_TRUE(same_path("/a/b", "/a//b/"));
  EXPECT_TRUE(same_path("/a/./b", "/a/b"));
  EXPECT_FALSE(same_path("/a/b", "/a/bc"));
  EXPECT_FALSE(same_path("/a/b", "a/b"));

  EXPECT_TRUE(path_within("/s/core/x", "/s/core"));
  EXPECT_TRUE(path_within("/s/core", "/s/core/"));
  EXPECT_FALSE(path_within("/s/core2/x", "/s/core"));
  EXPECT_FALSE(path_within("/s", "/s/core"));
}

TEST(Paths, DisplayIsLossyUtf8) {
  EXPECT_EQ(display_path("/a/\xC3\xA9/\xFF"), "/a/\xC3\xA9/\xEF\xBF\xBD");
}

}  // namespace
}  // namespace twk::sys
