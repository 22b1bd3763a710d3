// HookConfig: every setting of one hook run, read once from the environment
// before the run starts and read-only afterwards.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "twk/state_paths.h"

namespace twk {

inline constexpr std::uint64_t kDefaultDeadlineMs = 8000;
inline constexpr std::uint64_t kDefaultCoreIdleExitSeconds = 1800;

struct HookConfig {
  std::string state_dir;                   // bytes; may be relative
  std::string endpoint_file;               // bytes
  std::optional<std::string> core_binary;  // bytes, as given
  std::optional<std::string> exe_dir;      // directory of this executable
  std::optional<std::string> project_dir;  // valid UTF-8, non-empty
  std::chrono::nanoseconds deadline{std::chrono::milliseconds(
      kDefaultDeadlineMs)};
  std::uint64_t core_idle_exit = kDefaultCoreIdleExitSeconds;
};

// An unsigned 64-bit number from an environment value: an optional "+" and
// one or more ASCII digits, nothing else, at most 2^64-1. Unset, empty, not
// UTF-8, malformed, too large or 0 all give `fallback`, so the result is
// never 0.
std::uint64_t env_number(const EnvLookup& env, const char* name,
                         std::uint64_t fallback);

// Builds the configuration. `self_exe` is the path of the running executable
// (nothing when it cannot be read); exe_dir is its parent.
HookConfig load_config(const EnvLookup& env,
                       const std::optional<std::string>& self_exe);

}  // namespace twk
