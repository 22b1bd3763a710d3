// A policy's rules and how one tool call is matched against them: checked
// in order, the first rule that matches decides, and the default covers the
// rest. Every pattern is an RE2 expression, so matching takes time linear in
// the input whatever the pattern and the input are.
#pragma once

#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "decision.h"
#include "shell/checks.h"
#include "shell/commands.h"
#include "twk/result.h"

namespace re2 {
class RE2;
}

namespace twk::core {

// The hook events a rule applies to.
enum class HookFilter { kPreToolUse, kPostToolUse, kAny };

using Pattern = std::shared_ptr<const re2::RE2>;

// Compiles an RE2 expression; on failure RE2's description of the error.
Result<Pattern> compile_pattern(std::string_view expression);

// Compiles the patterns of one policy file within a bound on the work:
// identical expressions are compiled once, and together they may take at
// most `instructions` of compiled program. Compiling costs about half a
// microsecond per instruction, so a file (a cloned project's, say) cannot
// make Core spend more than a few tens of milliseconds reading it,
// whatever it repeats through YAML aliases or counted repetitions.
class PatternCompiler {
 public:
  static constexpr std::int64_t kDefaultBudget = 200'000;
  explicit PatternCompiler(std::int64_t instructions = kDefaultBudget)
      : left_(instructions), budget_(instructions) {}

  // compile_pattern(), within what is left of the budget.
  Result<Pattern> compile(std::string_view expression);

 private:
  std::int64_t left_;
  const std::int64_t budget_;
  std::unordered_map<std::string, Pattern> seen_;
};

// One named field of the tool input and the expression it must contain a
// match for (unanchored: use ^ and $ to match the whole value).
struct FieldPattern {
  std::string field;
  Pattern pattern;
};

struct Rule {
  std::string name;  // never empty: the file's name or "rule N"
  HookFilter hook = HookFilter::kPreToolUse;
  // The tool names that match exactly. With `tool_pattern` unset and no
  // names, every tool matches.
  std::vector<std::string> tools;
  Pattern tool_pattern;  // matched against the whole tool name
  // Every one of these must match...
  std::vector<FieldPattern> when;
  // ...and none of these, for the rule to apply.
  std::vector<FieldPattern> unless;
  // For Bash calls: the rule applies when one of the commands the call
  // runs (after unwrapping sudo, bash -c and the like) is one of these
  // programs (any, when empty) and its arguments, joined by single spaces,
  // contain a match for `args`. Both unset: no condition.
  std::vector<std::string> programs;
  Pattern args;
  Decision decision = Decision::kAsk;
  std::string reason;  // may be empty
};

// The patterns of a rule set grouped by field, each group compiled together
// so that a field's text is scanned once for all of its patterns.
struct FieldScans;

struct RuleSet {
  std::vector<Rule> rules;
  // What applies when no rule matches.
  Decision default_decision = Decision::kNone;
  std::string default_reason;
  // How the policy sets the built-in checks and the paths they know.
  CheckSettings checks;
  // Set by prepare_scans(); without it, evaluate() matches each pattern on
  // its own, with the same results.
  std::shared_ptr<const FieldScans> scans;
};

// Compiles the grouped scans of `rules` for evaluate(). Leaves them unset
// when the patterns cannot be compiled together (too large, say).
void prepare_scans(RuleSet& rules);

// The parts of a hook event that rules look at. Views into the event, valid
// for the duration of one evaluation.
struct ToolCall {
  std::string_view hook;                  // "pre-tool-use" or "post-tool-use"
  std::string_view tool;                  // "" when the event names none
  const nlohmann::json* input = nullptr;  // the tool input; may be null
  // The commands a Bash call runs; null for other tools. Rules with
  // `programs` or `args` never match without them.
  const CommandSet* commands = nullptr;
};

struct Match {
  // Index into RuleSet::rules of the rule that decided; nothing when the
  // default applied.
  std::optional<std::size_t> rule;
  Decision decision = Decision::kNone;
};

// True when `rule` applies to `call`. A field the input lacks matches no
// pattern. String fields are matched as they are; other values as their
// compact JSON text, so numbers, lists and objects can be matched too.
bool rule_matches(const Rule& rule, const ToolCall& call);

// The first rule of `rules` that applies to `call`, or the default.
// Thread-safe for a shared RuleSet.
Match evaluate(const RuleSet& rules, const ToolCall& call);

}  // namespace twk::core
