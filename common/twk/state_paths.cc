// Resolving the state directory and the endpoint record.
#include "twk/state_paths.h"

#include <stdlib.h>

#include "twk/sys/files.h"

namespace twk {

std::optional<std::string> non_empty_env(const EnvLookup& env,
                                         const char* name) {
  std::optional<std::string> value = env(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

std::optional<std::string> process_env(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string state_dir_path(const EnvLookup& env) {
  if (auto state = non_empty_env(env, "TARNWICK_HOME")) return *state;
  std::string home = non_empty_env(env, "HOME")
                         .value_or(non_empty_env(env, "USERPROFILE").value_or(""));
  return sys::join_path(home, ".tarnwick");
}

std::string endpoint_file_path(const EnvLookup& env) {
  if (auto file = non_empty_env(env, "TWK_ENDPOINT_FILE")) return *file;
  return sys::join_path(state_dir_path(env), "endpoint.json");
}

}  // namespace twk
