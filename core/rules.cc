// Matching tool calls against rules.
#include "rules.h"

#include <re2/re2.h>

#include <new>

namespace twk::core {
namespace {

// Bytes of compiled program an expression may use. RE2's default; spelled
// out because the limit is what keeps a hostile pattern from taking memory.
constexpr std::int64_t kPatternMemory = 8 << 20;

bool hook_applies(HookFilter filter, std::string_view hook) {
  switch (filter) {
    case HookFilter::kPreToolUse:
      return hook == "pre-tool-use";
    case HookFilter::kPostToolUse:
      return hook == "post-tool-use";
    case HookFilter::kAny:
      return true;
  }
  return false;
}

bool tool_applies(const Rule& rule, std::string_view tool) {
  if (rule.tools.empty() && !rule.tool_pattern) return true;
  for (const std::string& name : rule.tools) {
    if (name == tool) return true;
  }
  return rule.tool_pattern &&
         re2::RE2::FullMatch(re2::StringPiece(tool.data(), tool.size()),
                             *rule.tool_pattern);
}

bool field_matches(const FieldPattern& pattern, const nlohmann::json* input) {
  if (input == nullptr || !input->is_object()) return false;
  auto it = input->find(pattern.field);
  if (it == input->end()) return false;
  if (it->is_string()) {
    const std::string& text = it->get_ref<const std::string&>();
    return re2::RE2::PartialMatch(text, *pattern.pattern);
  }
  std::string text =
      it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return re2::RE2::PartialMatch(text, *pattern.pattern);
}

}  // namespace

std::string_view decision_name(Decision decision) {
  switch (decision) {
    case Decision::kNone:
      return "none";
    case Decision::kAllow:
      return "allow";
    case Decision::kAsk:
      return "ask";
    case Decision::kDeny:
      return "deny";
  }
  return "none";
}

std::optional<Decision> decision_from_name(std::string_view name) {
  for (Decision d :
       {Decision::kNone, Decision::kAllow, Decision::kAsk, Decision::kDeny}) {
    if (decision_name(d) == name) return d;
  }
  return std::nullopt;
}

Result<Pattern> compile_pattern(std::string_view expression) {
  re2::RE2::Options options;
  options.set_log_errors(false);  // the caller reports the error its own way
  options.set_max_mem(kPatternMemory);
  try {
    auto pattern = std::make_shared<const re2::RE2>(
        re2::StringPiece(expression.data(), expression.size()), options);
    if (!pattern->ok()) return Failure{pattern->error()};
    return Pattern(std::move(pattern));
  } catch (const std::bad_alloc&) {
    return Failure{"out of memory"};
  }
}

bool rule_matches(const Rule& rule, const ToolCall& call) {
  if (!hook_applies(rule.hook, call.hook) || !tool_applies(rule, call.tool)) {
    return false;
  }
  for (const FieldPattern& p : rule.when) {
    if (!field_matches(p, call.input)) return false;
  }
  for (const FieldPattern& p : rule.unless) {
    if (field_matches(p, call.input)) return false;
  }
  return true;
}

Match evaluate(const RuleSet& rules, const ToolCall& call) {
  for (std::size_t i = 0; i < rules.rules.size(); ++i) {
    if (rule_matches(rules.rules[i], call)) {
      return {i, rules.rules[i].decision};
    }
  }
  return {std::nullopt, rules.default_decision};
}

}  // namespace twk::core
