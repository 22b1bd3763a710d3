// Tests for where the state directory and the endpoint record are.
#include "twk/state_paths.h"

#include <gtest/gtest.h>

#include <map>

namespace twk {
namespace {

EnvLookup env_of(std::map<std::string, std::string> vars) {
  return
      [vars = std::move(vars)](const char* name) -> std::optional<std::string> {
        auto it = vars.find(name);
        if (it == vars.end()) return std::nullopt;
        return it->second;
      };
}

TEST(StatePaths, EndpointRecord) {
  EXPECT_EQ(endpoint_file_path(env_of({{"TWK_ENDPOINT_FILE", "/x/e.json"},
                                       {"TARNWICK_HOME", "/state"},
                                       {"HOME", "/home/u"}})),
            "/x/e.json");
  EXPECT_EQ(endpoint_file_path(
                env_of({{"TARNWICK_HOME", "/state"}, {"HOME", "/home/u"}})),
            "/state/endpoint.json");
  EXPECT_EQ(endpoint_file_path(env_of({{"HOME", "/home/u"}})),
            "/home/u/.tarnwick/endpoint.json");
  EXPECT_EQ(endpoint_file_path(env_of({{"USERPROFILE", "/profile"}})),
            "/profile/.tarnwick/endpoint.json");
  // Empty values count as unset, all the way down to a relative default.
  EXPECT_EQ(
      endpoint_file_path(env_of(
          {{"TWK_ENDPOINT_FILE", ""}, {"TARNWICK_HOME", ""}, {"HOME", ""}})),
      ".tarnwick/endpoint.json");
}

TEST(StatePaths, StateDirectory) {
  // TWK_ENDPOINT_FILE moves the record only, not the state directory.
  EXPECT_EQ(state_dir_path(env_of({{"TWK_ENDPOINT_FILE", "/x/e.json"},
                                   {"TARNWICK_HOME", "/state"}})),
            "/state");
  EXPECT_EQ(state_dir_path(env_of(
                {{"TWK_ENDPOINT_FILE", "/x/e.json"}, {"HOME", "/home/u"}})),
            "/home/u/.tarnwick");
  EXPECT_EQ(state_dir_path(env_of(
                {{"TARNWICK_HOME", ""}, {"HOME", ""}, {"USERPROFILE", "/p"}})),
            "/p/.tarnwick");
}

}  // namespace
}  // namespace twk
