// Where the hook and Core keep their state, from the environment. Both
// programs resolve it here, so that a hook always looks for the record where
// Core writes it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace twk {

// Looks an environment variable up: its bytes, or nothing when unset.
using EnvLookup = std::function<std::optional<std::string>(const char*)>;

// A variable's value when it is set and non-empty: the settings of both
// programs treat an empty variable as unset.
std::optional<std::string> non_empty_env(const EnvLookup& env,
                                         const char* name);

// The real process environment.
std::optional<std::string> process_env(const char* name);

// The state directory: TARNWICK_HOME; else the home directory (HOME, then
// USERPROFILE) joined with ".tarnwick". Empty variables count as unset.
std::string state_dir_path(const EnvLookup& env);

// The endpoint record: TWK_ENDPOINT_FILE; else the state directory joined
// with "endpoint.json". Empty variables count as unset.
std::string endpoint_file_path(const EnvLookup& env);

}  // namespace twk
