// Reading a policy from its YAML text. The only module that sees yaml-cpp:
// its exceptions end here and come out as a PolicyError with the position
// of the fault.
//
// The format (every key but a rule's "decision" is optional):
//
//   version: 1
//   default: none            # none, allow, ask or deny
//   default_reason: text
//   rules:
//     - name: text
//       hook: pre-tool-use   # or post-tool-use, or any
//       tool: Bash           # a name, or a list of names
//       tool_matches: regex  # must match the whole tool name
//       input:               # each field's value must contain a match
//         command: regex
//       unless:              # no field's value may contain a match
//         command: regex
//       decision: deny       # allow, ask or deny
//       reason: text
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "rules.h"

namespace twk::core {

struct PolicyError {
  int line = 0;    // 1-based; 0 when the fault has no position
  int column = 0;  // 1-based
  std::string message;
};

// "line 3, column 7: <message>", or the message alone without a position.
std::string error_text(const PolicyError& error);

// The rules of a policy text. Unknown keys, values of the wrong kind and
// patterns RE2 refuses are errors, so that a typo never silently disables a
// rule. An empty text is a policy without rules. Never throws.
std::variant<RuleSet, PolicyError> parse_policy(std::string_view text);

}  // namespace twk::core
