// Reading HookConfig from the environment.
#include "config.h"

#include <stdlib.h>

#include "twk/sys/files.h"
#include "twk/utf8.h"

namespace twk {
namespace {

std::optional<std::uint64_t> parse_u64(const std::string& text) {
  std::size_t i = text.size() > 0 && text[0] == '+' ? 1 : 0;
  if (i == text.size()) return std::nullopt;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return std::nullopt;
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

}  // namespace

std::uint64_t env_number(const EnvLookup& env, const char* name,
                         std::uint64_t fallback) {
  std::optional<std::string> value = env(name);
  if (!value || value->empty() || !utf8::valid(*value)) return fallback;
  std::optional<std::uint64_t> n = parse_u64(*value);
  if (!n || *n == 0) return fallback;
  return *n;
}

HookConfig load_config(const EnvLookup& env,
                       const std::optional<std::string>& self_exe) {
  HookConfig config;
  config.state_dir = state_dir_path(env);
  config.endpoint_file = endpoint_file_path(env);

  std::uint64_t ms =
      env_number(env, "TWK_HOOK_DEADLINE_MS", kDefaultDeadlineMs);
  // Held as seconds plus nanoseconds: a huge millisecond count must not
  // overflow a nanosecond counter, so it saturates far in the future.
  constexpr std::uint64_t kMaxMs = 100ull * 365 * 24 * 3600 * 1000;
  config.deadline = std::chrono::milliseconds(ms < kMaxMs ? ms : kMaxMs);

  config.core_idle_exit = env_number(env, "TWK_CORE_IDLE_EXIT_SECONDS",
                                     kDefaultCoreIdleExitSeconds);
  if (auto dir = non_empty_env(env, "CLAUDE_PROJECT_DIR"); dir && utf8::valid(*dir)) {
    config.project_dir = std::move(dir);
  }
  config.core_binary = non_empty_env(env, "TWK_CORE_BINARY");
  if (self_exe) {
    std::optional<std::string> parent = sys::parent_path(*self_exe);
    if (parent) config.exe_dir = std::move(parent);
  }
  return config;
}

}  // namespace twk
