#include "twk/sys/files.h"

#include <gtest/gtest.h>

#include <optional>

#include "twk/testing/faulty_io.h"
#include "twk/testing/scratch_dir.h"

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

// What a path reaches through links: the fast path (no link), links in
// the middle and at the end, relative, dangling, chained and looping.
TEST(Files, LinkedPathFollowsEveryLinkOnTheWay) {
  testing::ScratchDir dir;
  const std::string d = dir.path();
  dir.write("real/settings.json", "{}");
  dir.symlink(d + "/real", "abs");
  dir.symlink("real", "rel");
  dir.symlink("./real/../real/settings.json", "up");
  dir.symlink("rel", "chain");
  dir.symlink("real/none.json", "dangling");
  dir.symlink("loop", "loop");
  struct Case {
    std::string path;
    std::optional<std::string> reaches;
  };
  const Case cases[] = {
      {d + "/real/settings.json", std::nullopt},
      {d + "/real/new/file", std::nullopt},
      {d + "/abs/settings.json", d + "/real/settings.json"},
      {d + "/rel/settings.json", d + "/real/settings.json"},
      {d + "/up", d + "/real/settings.json"},
      {d + "/chain/new/x", d + "/real/new/x"},
      {d + "/dangling", d + "/real/none.json"},
      {d + "/loop/x", std::nullopt},
      {"relative/path", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(linked_path(c.path), c.reaches) << c.path;
  }
}

// What a full disk, short writes and a failed fsync do to writing a file
// in place of another: the old file stays whole and no temporary file is
// left behind.
TEST(Files, AtomicWriteSurvivesFaults) {
  struct Case {
    const char* name;
    void (*fault)(testing::FaultyIo&);
    const char* reason;  // empty: the write succeeds
  };
  const Case cases[] = {
      {"short writes and interruptions",
       [](testing::FaultyIo& io) {
         io.max_write = 3;
         io.interruptions = 2;
       },
       ""},
      {"disk full", [](testing::FaultyIo& io) { io.bytes_left = 5; },
       "couldn't write "},
      {"fsync fails", [](testing::FaultyIo& io) { io.fsync_errno = EIO; },
       "couldn't sync "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::ScratchDir dir;
    std::string path = dir.write("record.json", "old text");
    Status written = Ok{};
    {
      testing::FaultyIo io;
      c.fault(io);
      written = write_file_atomically(path, "the new text, longer", 0600);
    }
    if (*c.reason == '\0') {
      ASSERT_TRUE(written) << written.reason();
      EXPECT_EQ(read_file(path), "the new text, longer");
    } else {
      ASSERT_FALSE(written);
      EXPECT_EQ(written.reason().rfind(c.reason, 0), 0u) << written.reason();
      EXPECT_EQ(read_file(path), "old text");
    }
    EXPECT_EQ(testing::dir_entries(dir.path()),
              std::vector<std::string>{"record.json"})
        << "a temporary file was left behind";
  }
}

}  // namespace
}  // namespace twk::sys
