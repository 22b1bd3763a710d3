// Matching tool calls against rules.
#include "rules.h"

#include <re2/re2.h>
#include <re2/set.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

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

re2::RE2::Options pattern_options() {
  re2::RE2::Options options;
  options.set_log_errors(false);  // the caller reports the error its own way
  options.set_max_mem(kPatternMemory);
  return options;
}

// The text patterns on `field` are matched against: a string as it is,
// anything else as its compact JSON, written into `scratch`. Nothing when
// the input lacks it.
std::optional<std::string_view> field_text(const nlohmann::json* input,
                                           const std::string& field,
                                           std::string& scratch) {
  if (input == nullptr || !input->is_object()) return std::nullopt;
  auto it = input->find(field);
  if (it == input->end()) return std::nullopt;
  if (it->is_string()) return it->get_ref<const std::string&>();
  // The library's own dump, which throws when out of memory: an empty text
  // could let a deny pattern miss.
  scratch = it->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return scratch;
}

bool field_matches(const FieldPattern& pattern, const nlohmann::json* input) {
  std::string scratch;
  std::optional<std::string_view> text =
      field_text(input, pattern.field, scratch);
  return text &&
         re2::RE2::PartialMatch(re2::StringPiece(text->data(), text->size()),
                                *pattern.pattern);
}

}  // namespace

struct FieldScans {
  struct Group {
    explicit Group(std::string f)
        : field(std::move(f)), set(pattern_options(), re2::RE2::UNANCHORED) {}
    std::string field;
    re2::RE2::Set set;
    int size = 0;  // patterns added to `set`
    std::unordered_map<std::string, int> indexes;  // by expression
  };
  // Where a rule's pattern landed: its group and its index in that set.
  struct Ref {
    std::size_t group;
    int index;
  };
  std::vector<std::unique_ptr<Group>> groups;
  // For each rule, its `when` and its `unless` patterns, in order.
  std::vector<std::vector<Ref>> when;
  std::vector<std::vector<Ref>> unless;
};

namespace {

// What the scans found for one call. Each field is scanned the first time
// a rule asks about it, so a call that an early rule decides, or one whose
// tool no rule on that field names, scans little or nothing.
class ScanResults {
 public:
  ScanResults(const FieldScans& scans, const nlohmann::json* input)
      : scans_(scans), input_(input), results_(scans.groups.size()) {}

  bool matches(const FieldPattern& pattern, FieldScans::Ref ref) {
    Result& r = results_[ref.group];
    if (r.state == State::kNotRun) run(ref.group, r);
    switch (r.state) {
      case State::kAbsent:
        return false;
      case State::kScanned:
        return r.hits[static_cast<std::size_t>(ref.index)];
      default:
        // The scan ran out of memory: this pattern on its own.
        return field_matches(pattern, input_);
    }
  }

 private:
  enum class State { kNotRun, kAbsent, kScanned, kFailed };
  struct Result {
    State state = State::kNotRun;
    std::vector<bool> hits;
  };

  void run(std::size_t group, Result& r) {
    const FieldScans::Group& g = *scans_.groups[group];
    std::string scratch;
    std::optional<std::string_view> text = field_text(input_, g.field, scratch);
    if (!text) {
      r.state = State::kAbsent;
      return;
    }
    std::vector<int> found;
    re2::RE2::Set::ErrorInfo error{re2::RE2::Set::kNoError};
    if (!g.set.Match(re2::StringPiece(text->data(), text->size()), &found,
                     &error) &&
        error.kind != re2::RE2::Set::kNoError) {
      r.state = State::kFailed;
      return;
    }
    r.hits.assign(static_cast<std::size_t>(g.size), false);
    for (int i : found) r.hits[static_cast<std::size_t>(i)] = true;
    r.state = State::kScanned;
  }

  const FieldScans& scans_;
  const nlohmann::json* input_;
  std::vector<Result> results_;
};

// True when one of the commands a Bash call runs is what the rule names.
bool command_applies(const Rule& rule, const ToolCall& call) {
  if (rule.programs.empty() && !rule.args) return true;
  if (call.commands == nullptr) return false;
  for (const RunCommand& rc : call.commands->commands) {
    if (!rule.programs.empty() &&
        std::find(rule.programs.begin(), rule.programs.end(), rc.program) ==
            rule.programs.end()) {
      continue;
    }
    if (!rule.args) return true;
    std::string args;
    for (std::size_t k = 1; k < rc.argv.size(); ++k) {
      if (k > 1) args += ' ';
      args += rc.argv[k].text;
    }
    if (re2::RE2::PartialMatch(args, *rule.args)) return true;
  }
  return false;
}

bool rule_applies(const Rule& rule, const ToolCall& call) {
  return hook_applies(rule.hook, call.hook) && tool_applies(rule, call.tool) &&
         command_applies(rule, call);
}

}  // namespace

std::string_view decision_name(Decision decision) {
  // In the order of the enumeration, which is also that of strictness.
  static constexpr std::string_view kNames[] = {"none", "allow", "ask", "deny"};
  auto i = static_cast<std::size_t>(decision);
  return i < std::size(kNames) ? kNames[i] : kNames[0];
}

std::optional<Decision> decision_from_name(std::string_view name) {
  for (Decision d :
       {Decision::kNone, Decision::kAllow, Decision::kAsk, Decision::kDeny}) {
    if (decision_name(d) == name) return d;
  }
  return std::nullopt;
}

Result<Pattern> compile_pattern(std::string_view expression) {
  re2::RE2::Options options = pattern_options();
  try {
    auto pattern = std::make_shared<const re2::RE2>(
        re2::StringPiece(expression.data(), expression.size()), options);
    if (!pattern->ok()) return Failure{pattern->error()};
    return Pattern(std::move(pattern));
  } catch (const std::bad_alloc&) {
    return Failure{"out of memory"};
  }
}

Result<Pattern> PatternCompiler::compile(std::string_view expression) {
  try {
    std::string key(expression);
    if (auto it = seen_.find(key); it != seen_.end()) return it->second;
    auto over = [this] {
      return Failure{"the file's patterns together need more than " +
                     std::to_string(budget_) +
                     " instructions of compiled program"};
    };
    if (left_ <= 0) return over();
    // RE2 gives about two thirds of max_mem to the program, at 16 bytes an
    // instruction, and stops compiling once it would need more: a pattern
    // too large for what is left fails after work in proportion to that.
    re2::RE2::Options options = pattern_options();
    options.set_max_mem(std::min<std::int64_t>(kPatternMemory,
                                               left_ * 24 + (64 << 10)));
    auto pattern = std::make_shared<const re2::RE2>(
        re2::StringPiece(expression.data(), expression.size()), options);
    if (!pattern->ok()) {
      if (pattern->error_code() == re2::RE2::ErrorPatternTooLarge &&
          options.max_mem() < kPatternMemory) {
        left_ = 0;
        return over();
      }
      return Failure{pattern->error()};
    }
    left_ -= pattern->ProgramSize();
    seen_.emplace(std::move(key), pattern);
    return Pattern(std::move(pattern));
  } catch (const std::bad_alloc&) {
    return Failure{"out of memory"};
  }
}

bool rule_matches(const Rule& rule, const ToolCall& call) {
  if (!rule_applies(rule, call)) return false;
  for (const FieldPattern& p : rule.when) {
    if (!field_matches(p, call.input)) return false;
  }
  for (const FieldPattern& p : rule.unless) {
    if (field_matches(p, call.input)) return false;
  }
  return true;
}

void prepare_scans(RuleSet& rules) {
  rules.scans.reset();
  try {
    auto scans = std::make_shared<FieldScans>();
    auto add =
        [&scans](const FieldPattern& p) -> std::optional<FieldScans::Ref> {
      std::size_t group = 0;
      while (group < scans->groups.size() &&
             scans->groups[group]->field != p.field) {
        ++group;
      }
      if (group == scans->groups.size()) {
        scans->groups.push_back(std::make_unique<FieldScans::Group>(p.field));
      }
      FieldScans::Group& g = *scans->groups[group];
      // A pattern repeated (through YAML aliases, say) is scanned once.
      auto known = g.indexes.find(p.pattern->pattern());
      if (known != g.indexes.end()) return FieldScans::Ref{group, known->second};
      int index = g.set.Add(p.pattern->pattern(), nullptr);
      if (index < 0) return std::nullopt;
      g.size = index + 1;
      g.indexes.emplace(p.pattern->pattern(), index);
      return FieldScans::Ref{group, index};
    };
    for (const Rule& rule : rules.rules) {
      std::vector<FieldScans::Ref> when, unless;
      for (const FieldPattern& p : rule.when) {
        std::optional<FieldScans::Ref> ref = add(p);
        if (!ref) return;
        when.push_back(*ref);
      }
      for (const FieldPattern& p : rule.unless) {
        std::optional<FieldScans::Ref> ref = add(p);
        if (!ref) return;
        unless.push_back(*ref);
      }
      scans->when.push_back(std::move(when));
      scans->unless.push_back(std::move(unless));
    }
    for (auto& group : scans->groups) {
      if (!group->set.Compile()) return;
    }
    rules.scans = std::move(scans);
  } catch (const std::bad_alloc&) {
    // Patterns are matched one at a time instead.
  }
}

Match evaluate(const RuleSet& rules, const ToolCall& call) {
  // Scans prepared for another list of rules (a copy changed since) are
  // not used.
  if (!rules.scans || rules.scans->when.size() != rules.rules.size()) {
    for (std::size_t i = 0; i < rules.rules.size(); ++i) {
      if (rule_matches(rules.rules[i], call)) {
        return {i, rules.rules[i].decision};
      }
    }
    return {std::nullopt, rules.default_decision};
  }
  const FieldScans& scans = *rules.scans;
  ScanResults results(scans, call.input);
  for (std::size_t i = 0; i < rules.rules.size(); ++i) {
    const Rule& rule = rules.rules[i];
    if (!rule_applies(rule, call)) continue;
    bool matched = true;
    for (std::size_t j = 0; matched && j < rule.when.size(); ++j) {
      matched = results.matches(rule.when[j], scans.when[i][j]);
    }
    for (std::size_t j = 0; matched && j < rule.unless.size(); ++j) {
      matched = !results.matches(rule.unless[j], scans.unless[i][j]);
    }
    if (matched) return {i, rule.decision};
  }
  return {std::nullopt, rules.default_decision};
}

}  // namespace twk::core
