// An environment for tests of code that reads variables through an
// EnvLookup: exactly the given variables are set.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>

#include "twk/state_paths.h"

namespace twk::testing {

inline EnvLookup env_of(std::map<std::string, std::string> vars) {
  return [vars = std::move(vars)](const char* name)
             -> std::optional<std::string> {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  };
}

}  // namespace twk::testing
