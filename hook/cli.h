// The command line of twk-hook: which arguments are accepted, and the three
// messages for the ones that are not.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace twk {

inline constexpr std::string_view kAgentClaudeCode = "claude-code";

// The accepted (agent, hook), or the one line (with its "\n") to write to
// standard error. `args` are the arguments after the program name; only
// the first two count.
struct Invocation {
  std::string agent;
  std::string hook;
  std::string error;  // non-empty when the arguments are not accepted
};
Invocation parse_arguments(const std::vector<std::string>& args);

// The argument between double quotes, escaped so that it stays on one line:
// \" \\ \0 \t \r \n, other non-printable characters as \u{hex}; bytes that
// are not UTF-8 are shown as U+FFFD.
std::string quote_argument(std::string_view argument);

}  // namespace twk
