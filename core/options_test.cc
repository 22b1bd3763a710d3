// Tests for the command-line parser.
#include "options.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "test_util.h"

namespace twk::core {
namespace {

using testing::Contains;

Result<Options> parse(std::initializer_list<std::string_view> args) {
  std::vector<std::string_view> v(args);
  return parse_options(v);
}

// The options `args` give; fails the test when they are refused.
Options parsed(std::initializer_list<std::string_view> args) {
  Result<Options> o = parse(args);
  EXPECT_TRUE(o) << o.reason();
  return o ? *o : Options{};
}

TEST(Options, DefaultsMatchWhatTheHookExpects) {
  Options o = parsed({});
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.idle_exit_seconds, 1800u);
  EXPECT_FALSE(o.help);
}

TEST(Options, AcceptsSeparateAndInlineValues) {
  // The hook's exact command line.
  Options o =
      parsed({"--host", "127.0.0.1", "--port", "43117", "--idle-exit", "60"});
  EXPECT_EQ(o.port, 43117);
  EXPECT_EQ(o.idle_exit_seconds, 60u);

  o = parsed({"--host=::1", "--port=65535", "--idle-exit=0"});
  EXPECT_EQ(o.host, "::1");
  EXPECT_EQ(o.port, 65535);
  EXPECT_EQ(o.idle_exit_seconds, 0u);
  // Brackets belong in URLs, not in the address.
  EXPECT_EQ(parsed({"--host", "[::1]"}).host, "::1");
  EXPECT_TRUE(parsed({"--port", "8080", "--help"}).help);
  // The hook passes any unsigned 64-bit number, and more digits than that
  // still mean "a very long time".
  for (std::string_view huge :
       {"18446744073709551615", "99999999999999999999999"}) {
    EXPECT_EQ(parsed({"--idle-exit", huge}).idle_exit_seconds,
              kMaxIdleExitSeconds)
        << huge;
  }
}

TEST(Options, RejectsBadArgumentsWithAMessageNamingThem) {
  struct Case {
    std::vector<std::string_view> args;
    std::string_view mentions;
  };
  const Case cases[] = {
      {{"--prot", "1"}, "'--prot'"},
      {{"-h"}, "'-h'"},
      {{"serve"}, "'serve'"},
      {{"--port"}, "'--port' needs a value"},
      {{"--port", "65536"}, "65536"},
      {{"--port", "-1"}, "-1"},
      {{"--port", "+80"}, "+80"},
      {{"--port", ""}, "--port"},
      {{"--port", "80x"}, "80x"},
      {{"--host", "localhost"}, "localhost"},
      {{"--host", "256.1.1.1"}, "256.1.1.1"},
      {{"--host", "127.1"}, "127.1"},
      {{"--host", ""}, "--host"},
      {{"--idle-exit", "1.5"}, "1.5"},
      {{"--idle-exit", "-3"}, "-3"},
      {{"--help=yes"}, "takes no value"},
  };
  for (const Case& c : cases) {
    Result<Options> o = parse_options(c.args);
    ASSERT_FALSE(o) << c.args[0];
    EXPECT_TRUE(Contains(o.reason(), c.mentions));
    EXPECT_EQ(o.reason().find('\n'), std::string::npos) << o.reason();
  }
}

TEST(Options, PolicyCommands) {
  Options o = parsed({"--policy", "/etc/twk.yaml", "--port", "1"});
  EXPECT_EQ(o.command, Command::kServe);
  EXPECT_EQ(o.policy_file, "/etc/twk.yaml");
  o = parsed({"check"});
  EXPECT_EQ(o.command, Command::kCheck);
  EXPECT_FALSE(o.policy_file);
  EXPECT_EQ(parsed({"check", "my.yaml"}).policy_file, "my.yaml");
  o = parsed({"explain", "--project", "/src/app", "p.yaml"});
  EXPECT_EQ(o.command, Command::kExplain);
  EXPECT_EQ(o.project_dir, "/src/app");
  EXPECT_EQ(o.policy_file, "p.yaml");
  EXPECT_TRUE(parsed({"explain", "--help"}).help);
  o = parsed({"install", "--settings=s.json", "--uninstall", "--dry-run"});
  EXPECT_EQ(o.command, Command::kInstall);
  EXPECT_EQ(o.settings_file, "s.json");
  EXPECT_TRUE(o.uninstall && o.dry_run);
  Result<Options> both =
      parse({"install", "--project", "/src/app", "--settings", "s.json"});
  ASSERT_FALSE(both);
  EXPECT_TRUE(Contains(both.reason(), "together"));

  // Each command takes only its own options, and one file.
  for (std::vector<std::string_view> args :
       {std::vector<std::string_view>{"check", "a.yaml", "b.yaml"},
        std::vector<std::string_view>{"check", "--port", "1"},
        std::vector<std::string_view>{"explain", "--policy", "x"},
        std::vector<std::string_view>{"--project", "/x"},
        std::vector<std::string_view>{"check", ""},
        std::vector<std::string_view>{"--policy", ""},
        std::vector<std::string_view>{"--port", "1", "check"},
        std::vector<std::string_view>{"install", "s.json"},
        std::vector<std::string_view>{"install", "--policy", "x"},
        std::vector<std::string_view>{"check", "--dry-run"},
        std::vector<std::string_view>{"--uninstall"},
        std::vector<std::string_view>{"install", "--settings", ""}}) {
    EXPECT_FALSE(parse_options(args)) << args.back();
  }
}

TEST(Options, UsageNamesEveryOption) {
  EXPECT_TRUE(Contains(usage_text(Command::kInstall), "--uninstall"));
  EXPECT_TRUE(Contains(usage_text(Command::kCheck), "check [FILE]"));
  EXPECT_TRUE(Contains(usage_text(Command::kExplain), "--project DIR"));
  std::string usage = usage_text();
  for (const char* name : {"--host", "--port", "--idle-exit", "--policy",
                           "--help", "check", "explain", "install"}) {
    EXPECT_TRUE(Contains(usage, name));
  }
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
}  // namespace twk::core
