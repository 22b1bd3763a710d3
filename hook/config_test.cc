#include "config.h"

#include <gtest/gtest.h>

#include <map>

namespace twk {
namespace {

EnvLookup env_of(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const char* name) -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

TEST(EnvNumber, AcceptsOnlyPlainPositiveDecimals) {
  const std::uint64_t d = 8000;
  struct Case {
    std::string value;
    std::uint64_t expected;
  } cases[] = {
      {"250", 250},
      {"+250", 250},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", d},
      {"99999999999999999999", d},
      {"0", d},
      {"+0", d},
      {"-5", d},
      {" 250", d},
      {"250 ", d},
      {"250ms", d},
      {"1e3", d},
      {"", d},
      {"+", d},
      {"++1", d},
      {"0x10", d},
      {"\xFF", d},
      {"007", 7},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(env_number(env_of({{"N", c.value}}), "N", d), c.expected)
        << "value: " << c.value;
  }
  EXPECT_EQ(env_number(env_of({}), "N", d), d);
}

TEST(LoadConfig, PathsFollowHomeStateAndEndpointRules) {
  HookConfig c = load_config(env_of({{"HOME", "/h"}}), "/opt/bin/twk-hook");
  EXPECT_EQ(c.state_dir, "/h/.tarnwick");
  EXPECT_EQ(c.endpoint_file, "/h/.tarnwick/endpoint.json");
  EXPECT_EQ(c.exe_dir, "/opt/bin");
  EXPECT_EQ(c.deadline, std::chrono::milliseconds(8000));
  EXPECT_EQ(c.core_idle_exit, 1800u);
  EXPECT_FALSE(c.core_binary);
  EXPECT_FALSE(c.project_dir);

  c = load_config(env_of({{"HOME", "/h/"}}), std::nullopt);
  EXPECT_EQ(c.state_dir, "/h/.tarnwick");
  EXPECT_FALSE(c.exe_dir);

  // USERPROFILE stands in for an empty HOME; with neither, the state
  // directory is relative.
  c = load_config(env_of({{"HOME", ""}, {"USERPROFILE", "/u"}}), std::nullopt);
  EXPECT_EQ(c.state_dir, "/u/.tarnwick");
  c = load_config(env_of({}), std::nullopt);
  EXPECT_EQ(c.state_dir, ".tarnwick");
  EXPECT_EQ(c.endpoint_file, ".tarnwick/endpoint.json");

  // TARNWICK_HOME is taken unchanged; an empty one counts as unset.
  c = load_config(env_of({{"HOME", "/h"}, {"TARNWICK_HOME", "rel/st"}}),
                  std::nullopt);
  EXPECT_EQ(c.state_dir, "rel/st");
  EXPECT_EQ(c.endpoint_file, "rel/st/endpoint.json");
  c = load_config(env_of({{"HOME", "/h"}, {"TARNWICK_HOME", ""}}), std::nullopt);
  EXPECT_EQ(c.state_dir, "/h/.tarnwick");

  c = load_config(env_of({{"TARNWICK_HOME", "/s"},
                          {"TWK_ENDPOINT_FILE", "/elsewhere/e.json"}}),
                  std::nullopt);
  EXPECT_EQ(c.endpoint_file, "/elsewhere/e.json");
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
