// Tests for where the state directory and the endpoint record are.
#include "twk/state_paths.h"

#include <gtest/gtest.h>

#include "twk/testing/env.h"

namespace twk {
namespace {

TEST(StatePaths, StateDirectoryAndEndpointRecord) {
  const struct {
    std::map<std::string, std::string> env;
    const char* state_dir;
    const char* endpoint_file;
  } cases[] = {
      // TWK_ENDPOINT_FILE moves the record only, not the state directory.
      {{{"TWK_ENDPOINT_FILE", "/x/e.json"},
        {"TARNWICK_HOME", "/state"},
        {"HOME", "/home/u"}},
       "/state", "/x/e.json"},
      {{{"TWK_ENDPOINT_FILE", "/x/e.json"}, {"TARNWICK_HOME", "/state"}},
       "/state", "/x/e.json"},
      {{{"TWK_ENDPOINT_FILE", "/x/e.json"}, {"HOME", "/home/u"}},
       "/home/u/.tarnwick", "/x/e.json"},
      {{{"TARNWICK_HOME", "/state"}, {"HOME", "/home/u"}},
       "/state", "/state/endpoint.json"},
      {{{"HOME", "/home/u"}},
       "/home/u/.tarnwick", "/home/u/.tarnwick/endpoint.json"},
      {{{"HOME", "/h/"}}, "/h/.tarnwick", "/h/.tarnwick/endpoint.json"},
      // TARNWICK_HOME is taken unchanged.
      {{{"HOME", "/h"}, {"TARNWICK_HOME", "rel/st"}},
       "rel/st", "rel/st/endpoint.json"},
      {{{"USERPROFILE", "/profile"}},
       "/profile/.tarnwick", "/profile/.tarnwick/endpoint.json"},
      // Empty values count as unset, all the way down to a relative default.
      {{{"HOME", "/h"}, {"TARNWICK_HOME", ""}},
       "/h/.tarnwick", "/h/.tarnwick/endpoint.json"},
      {{{"HOME", ""}, {"USERPROFILE", "/u"}},
       "/u/.tarnwick", "/u/.tarnwick/endpoint.json"},
      {{{"TARNWICK_HOME", ""}, {"HOME", ""}, {"USERPROFILE", "/p"}},
       "/p/.tarnwick", "/p/.tarnwick/endpoint.json"},
      {{{"TWK_ENDPOINT_FILE", ""}, {"TARNWICK_HOME", ""}, {"HOME", ""}},
       ".tarnwick", ".tarnwick/endpoint.json"},
      {{}, ".tarnwick", ".tarnwick/endpoint.json"},
  };
  for (const auto& c : cases) {
    EnvLookup env = twk::testing::env_of(c.env);
    EXPECT_EQ(state_dir_path(env), c.state_dir);
    EXPECT_EQ(endpoint_file_path(env), c.endpoint_file);
  }
}

}  // namespace
}  // namespace twk
