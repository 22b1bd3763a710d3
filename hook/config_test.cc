#include "config.h"

#include <gtest/gtest.h>

#include "twk/testing/env.h"

namespace twk {
namespace {

using twk::testing::env_of;

TEST(EnvNumber, AcceptsOnlyPlainPositiveDecimals) {
  constexpr std::uint64_t d = 8000;
  auto number = [](const std::string& value) {
    return env_number(env_of({{"N", value}}), "N", d);
  };
  EXPECT_EQ(number("250"), 250u);
  EXPECT_EQ(number("+250"), 250u);
  EXPECT_EQ(number("007"), 7u);
  EXPECT_EQ(number("18446744073709551615"), UINT64_MAX);
  // Anything else gives the fallback, as does no value at all.
  for (const char* value :
       {"18446744073709551616", "99999999999999999999", "0", "+0", "-5",
        " 250", "250 ", "250ms", "1e3", "", "+", "++1", "0x10", "\xFF"}) {
    EXPECT_EQ(number(value), d) << "value: " << value;
  }
  EXPECT_EQ(env_number(env_of({}), "N", d), d);
}

TEST(LoadConfig, DefaultsAndTheStatePaths) {
  // Where the state directory and the record are is state_paths' rule
  // (tested with it); the configuration holds both.
  HookConfig c = load_config(
      env_of({{"TARNWICK_HOME", "/s"}, {"TWK_ENDPOINT_FILE", "/e/e.json"}}),
      "/opt/bin/twk-hook");
  EXPECT_EQ(c.state_dir, "/s");
  EXPECT_EQ(c.endpoint_file, "/e/e.json");
  EXPECT_EQ(c.exe_dir, "/opt/bin");
  EXPECT_EQ(c.deadline, std::chrono::milliseconds(8000));
  EXPECT_EQ(c.core_idle_exit, 1800u);
  EXPECT_FALSE(c.core_binary);
  EXPECT_FALSE(c.project_dir);
  c = load_config(env_of({{"HOME", "/h"}}), std::nullopt);
  EXPECT_EQ(c.endpoint_file, "/h/.tarnwick/endpoint.json");
  EXPECT_FALSE(c.exe_dir);
}

TEST(LoadConfig, OptionalValuesAndNumbers) {
  HookConfig c = load_config(
      env_of({{"TWK_CORE_BINARY", "/x/\xFF-core"},
              {"CLAUDE_PROJECT_DIR", "/p/\xC3\xA9"},
              {"TWK_HOOK_DEADLINE_MS", "+250"},
              {"TWK_CORE_IDLE_EXIT_SECONDS", "60"}}),
      std::nullopt);
  EXPECT_EQ(c.core_binary, "/x/\xFF-core");  // any bytes
  EXPECT_EQ(c.project_dir, "/p/\xC3\xA9");
  EXPECT_EQ(c.deadline, std::chrono::milliseconds(250));
  EXPECT_EQ(c.core_idle_exit, 60u);

  c = load_config(env_of({{"CLAUDE_PROJECT_DIR", "/p/\xFF"},
                          {"TWK_CORE_BINARY", ""}}),
                  std::nullopt);
  EXPECT_FALSE(c.project_dir);  // not UTF-8
  EXPECT_FALSE(c.core_binary);

  // The largest accepted deadline must not overflow the clock arithmetic.
  c = load_config(env_of({{"TWK_HOOK_DEADLINE_MS", "18446744073709551615"}}),
                  std::nullopt);
  EXPECT_GT(c.deadline, std::chrono::hours(24 * 365));
  EXPECT_GT(std::chrono::steady_clock::now() + c.deadline,
            std::chrono::steady_clock::now());
}

}  // namespace
}  // namespace twk
