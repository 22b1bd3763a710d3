#include "start/binary.h"

#include <gtest/gtest.h>

#include "start/records.h"
#include "twk/testing/scratch_dir.h"

namespace twk::start {
namespace {

using namespace std::string_literals;
using twk::testing::ScratchDir;

// What expected_executable() makes of `binary`; "none" when it fails, which
// it must do with "no Core binary at" and `binary` as given.
std::string expected(const std::string& binary,
                     std::optional<std::string> path = "/usr/bin:/bin") {
  Result<std::string> r = expected_executable(binary, path);
  if (r) return r.value();
  EXPECT_EQ(r.reason(), "no Core binary at " + binary);
  return "none";
}

TEST(ExpectedExecutable, BinariesAndPlainShebangs) {
  ScratchDir d;
  std::string elf = d.write("core", "\x7f" "ELF rest of a binary", 0755);
  EXPECT_EQ(expected(elf), elf);
  EXPECT_EQ(expected(d.symlink(elf, "link")), elf);  // links resolve
  EXPECT_EQ(expected(d.write("one", "#")), d / "one");
  EXPECT_EQ(expected(d / "nope"), "none");
  // A directory cannot be read: the message shows the path as given.
  EXPECT_EQ(expected(d.mkdir("dir")), "none");

  // Invalid UTF-8 fails only within the one 512-byte read...
  const std::string sh = std::filesystem::canonical("/bin/sh").string();
  for (const std::string& script :
       {"#!/bin/sh\necho hi\n"s, "#!  /bin/sh  -e \r\n"s, "#!/bin/sh"s,
        "#!/bin/sh\n" + std::string(600, 'x') + "\xFF"}) {
    EXPECT_EQ(expected(d.write("sh", script)), sh) << script;
  }
  // ... but anywhere in it, even past line one.
  for (const char* script : {"#!\nrest", "#!   \n", "#!/no/such/interpreter\n",
                             "#!/bin/sh\n\xFF\n"}) {
    EXPECT_EQ(expected(d.write("no-sh", script)), "none") << script;
  }
}

TEST(ExpectedExecutable, EnvShebangsSearchPath) {
  ScratchDir d;
  std::string tool = d.write("bin2/tool", "x", 0755);
  d.mkdir("bin1/tool");  // a directory of that name does not count
  std::string path = (d / "bin1") + ":" + (d / "bin2");
  for (const char* script : {"#!/usr/bin/env tool\n",
                             "#!/usr/bin/env -S tool --flag\n",
                             "#!env -i --ignore tool\n"}) {
    std::string file = d.write("found", script);
    EXPECT_EQ(expected(file, path), tool) << script;
    EXPECT_EQ(expected(file, std::nullopt), "none") << script;  // no PATH
  }
  // Option arguments are not understood: "X" is taken as the program, and
  // NAME=value is a program name like any other word. "envx" is not env.
  for (const char* script :
       {"#!/usr/bin/env -u X tool\n", "#!/usr/bin/env A=1 tool\n",
        "#!/usr/bin/env -S\n", "#!/usr/bin/envx tool\n"}) {
    EXPECT_EQ(expected(d.write("not-found", script), path), "none") << script;
  }
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
  for (std::string bad :
       {R"({"binaryPath":1})"s, R"([")" + inside + "\"]", "{"s}) {
    EXPECT_EQ(record(bad), std::nullopt) << bad;
  }
  // A relative binaryPath resolves against the working directory, not the
  // state directory; without a record there is no binary at all.
  EXPECT_EQ(record(R"({"binaryPath":"core/v1/twk-backend"})"), std::nullopt);
  std::filesystem::remove(d / "state/endpoint.json.runtime.json");
  EXPECT_EQ(runtime_binary(state), std::nullopt);
}

}  // namespace
}  // namespace twk::start
