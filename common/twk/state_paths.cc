// Resolving the state directory and the endpoint record.
#include "twk/state_paths.h"

#include <stdlib.h>

#include "twk/sys/files.h"

namespace twk {
namespace {

// A variable's value when it is set and non-empty.
std::optional<std::string> non_empty(const EnvLookup& env, const char* name) {
  std::optional<std::string> value = env(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::string> process_env(const char* name) {
  const char* value = ::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string state_dir_path(const EnvLookup& env) {
  if (auto state = non_empty(env, "TARNWICK_HOME")) return *state;
  std::string home = non_empty(env, "HOME")
                         .value_or(non_empty(env, "USERPROFILE").value_or(""));
  return sys::join_path(home, ".tarnwick");
}

std::string endpoint_file_path(const EnvLookup& env) {
  if (auto file = non_empty(env, "TWK_ENDPOINT_FILE")) return *file;
  return sys::join_path(state_dir_path(env), "endpoint.json");
}

}  // namespace twk
