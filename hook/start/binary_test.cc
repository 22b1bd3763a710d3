#include "start/binary.h"

#include <gtest/gtest.h>

#include "start/records.h"
#include "twk/testing/scratch_dir.h"

namespace twk::start {
namespace {

using twk::testing::ScratchDir;

std::string canon(const std::string& p) {
  return std::filesystem::canonical(p).string();
}

std::string expected(const std::string& binary,
                     std::optional<std::string> path = "/usr/bin:/bin") {
  Result<std::string> r = expected_executable(binary, path);
  return r ? r.value() : "error: " + r.reason();
}

TEST(ExpectedExecutable, BinariesAndPlainShebangs) {
  ScratchDir d;
  std::string elf = d.write("core", "\x7f" "ELF rest of a binary", 0755);
  EXPECT_EQ(expected(elf), elf);
  d.symlink(elf, "link");
  EXPECT_EQ(expected(d / "link"), elf);  // links resolve to the target
  EXPECT_EQ(expected(d.write("one", "#")), d / "one");

  EXPECT_EQ(expected(d.write("sh", "#!/bin/sh\necho hi\n")), canon("/bin/sh"));
  EXPECT_EQ(expected(d.write("sp", "#!  /bin/sh  -e \r\n")), canon("/bin/sh"));
  EXPECT_EQ(expected(d.write("nolf", "#!/bin/sh")), canon("/bin/sh"));

  std::string missing = "error: no Core binary at " + (d / "nope");
  EXPECT_EQ(expected(d / "nope"), missing);
  EXPECT_EQ(expected(d.write("empty", "#!\nrest")),
            "error: no Core binary at " + (d / "empty"));
  EXPECT_EQ(expected(d.write("blank", "#!   \n")),
            "error: no Core binary at " + (d / "blank"));
  EXPECT_EQ(expected(d.write("gone", "#!/no/such/interpreter\n")),
            "error: no Core binary at " + (d / "gone"));
  // Invalid UTF-8 anywhere in the bytes read fails, even past line one.
  EXPECT_EQ(expected(d.write("bad", "#!/bin/sh\n\xFF\n")),
            "error: no Core binary at " + (d / "bad"));
  // ... but only within the one 512-byte read.
  EXPECT_EQ(expected(d.write("far", "#!/bin/sh\n" + std::string(600, 'x') +
                                        "\xFF")),
            canon("/bin/sh"));
  // A directory cannot be read: the message shows the path as given.
  EXPECT_EQ(expected(d.mkdir("dir")), "error: no Core binary at " + (d / "dir"));
}

TEST(ExpectedExecutable, EnvShebangsSearchPath) {
  ScratchDir d;
  std::string tool = d.write("bin2/tool", "x", 0755);
  d.mkdir("bin1/tool");  // a directory of that name does not count
  std::string path = (d / "bin1") + ":" + (d / "bin2");

  EXPECT_EQ(expected(d.write("a", "#!/usr/bin/env tool\n"), path), tool);
  EXPECT_EQ(expected(d.write("b", "#!/usr/bin/env -S tool --flag\n"), path),
            tool);
  EXPECT_EQ(expected(d.write("c", "#!env -i --ignore tool\n"), path), tool);
  // Option arguments are not understood: "X" is taken as the program.
  EXPECT_EQ(expected(d.write("d", "#!/usr/bin/env -u X tool\n"), path),
            "error: no Core binary at " + (d / "d"));
  // NAME=value is taken as the program name like any other word.
  EXPECT_EQ(expected(d.write("e", "#!/usr/bin/env A=1 tool\n"), path),
            "error: no Core binary at " + (d / "e"));
  EXPECT_EQ(expected(d.write("f", "#!/usr/bin/env -S\n"), path),
            "error: no Core binary at " + (d / "f"));
  EXPECT_EQ(expected(d / "a", std::nullopt),
            "error: no Core binary at " + (d / "a"));
  // "envx" is not env.
  EXPECT_EQ(expected(d.write("g", "#!/usr/bin/envx tool\n"), path),
            "error: no Core binary at " + (d / "g"));
}

TEST(ExpectedExecutable, MessageShowsNonUtf8PathsLossily) {
  Result<std::string> r = expected_executable("/nope/\xFF", std::nullopt);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.reason(), "no Core binary at /nope/\xEF\xBF\xBD");
}

TEST(FindCoreBinary, SourcesInOrder) {
  ScratchDir d;
  HookConfig config;
  config.state_dir = d / "state";
  config.exe_dir = d / "bin";
  std::string installed = d.write("state/core/twk-backend", "x", 0755);
  d.write("state/endpoint.json.runtime.json",
          R"({"binaryPath":")" + installed + "\"}");

  // Only the runtime record applies.
  EXPECT_EQ(find_core_binary(config).value(), installed);
  // A directory beside the hook does not count...
  d.mkdir("bin/twk-backend");
  EXPECT_EQ(find_core_binary(config).value(), installed);
  // ... a regular file does, and wins over the runtime record.
  std::filesystem::remove(d / "bin/twk-backend");
  std::string beside = d.write("bin/twk-backend", "x", 0755);
  EXPECT_EQ(find_core_binary(config).value(), beside);
  // TWK_CORE_BINARY is used unchanged, even when it does not exist.
  config.core_binary = "/does/not/exist";
  EXPECT_EQ(find_core_binary(config).value(), "/does/not/exist");

  HookConfig none;
  none.state_dir = d / "empty";
  Result<std::string> r = find_core_binary(none);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.reason(), "no Core binary was found");
}

TEST(RuntimeBinary, TrustedOnlyInsideTheCoreDirectory) {
  ScratchDir d;
  std::string state = d.mkdir("state");
  std::string inside = d.write("state/core/v1/twk-backend", "x", 0755);
  std::string outside = d.write("state/core2/twk-backend", "x", 0755);
  auto record = [&](const std::string& json) {
    d.write("state/endpoint.json.runtime.json", json);
    return runtime_binary(state);
  };
  EXPECT_EQ(record(R"({"binaryPath":")" + inside + R"(","v":1})"), inside);
  // A sibling whose name merely starts with "core" is outside.
  EXPECT_EQ(record(R"({"binaryPath":")" + outside + "\"}"), std::nullopt);
  // A link outside pointing inside is accepted, and returned as written.
  std::string in_link = d.symlink(inside, "link-in");
  EXPECT_EQ(record(R"({"binaryPath":")" + in_link + "\"}"), in_link);
  // A link inside pointing outside is rejected.
  std::string out_link = d.symlink(outside, "state/core/link-out");
  EXPECT_EQ(record(R"({"binaryPath":")" + out_link + "\"}"), std::nullopt);
  // Not a regular file, missing, or a malformed record.
  EXPECT_EQ(record(R"({"binaryPath":")" + (d / "state/core/v1") + "\"}"),
            std::nullopt);
  EXPECT_EQ(record(R"({"binaryPath":")" + (d / "state/core/none") + "\"}"),
            std::nullopt);
  EXPECT_EQ(record(R"({"binaryPath":1})"), std::nullopt);
  EXPECT_EQ(record(R"([")" + inside + "\"]"), std::nullopt);
  EXPECT_EQ(record("{"), std::nullopt);
  // A relative binaryPath resolves against the working directory; one that
  // names a file inside the core directory only by accident of the cwd is
  // still judged by where it resolves.
  std::filesystem::remove(d / "state/endpoint.json.runtime.json");
  EXPECT_EQ(runtime_binary(state), std::nullopt);
}

}  // namespace
}  // namespace twk::start
