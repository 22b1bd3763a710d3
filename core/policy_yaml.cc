// Parsing the YAML policy format into rules.
#include "policy_yaml.h"

#include <yaml-cpp/depthguard.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <exception>
#include <set>
#include <utility>

#include "shell/checks.h"
#include "twk/text.h"

namespace twk::core {
namespace {

// Thrown inside this file only, for faults found in a well-formed document.
struct SchemaError {
  YAML::Mark mark;
  std::string message;
};

[[noreturn]] void fail(const YAML::Node& at, std::string message) {
  throw SchemaError{at.Mark(), std::move(message)};
}

// What reading one file may cost: its patterns share one compile budget,
// and YAML aliases may not multiply the nodes read past kMaxNodes. Set by
// parse_policy() for the file it reads, on its own thread.
struct ReadLimits {
  // Far more than any hand-written policy holds; a few milliseconds' work.
  static constexpr std::size_t kMaxNodes = 100'000;
  PatternCompiler patterns;
  std::size_t nodes = 0;
};
thread_local ReadLimits* limits = nullptr;

// Counts one more node read; aliases count each time they are read.
void count_node(const YAML::Node& at) {
  if (limits != nullptr && ++limits->nodes > ReadLimits::kMaxNodes) {
    fail(at, "the policy is too large once its aliases are expanded (more "
             "than " + std::to_string(ReadLimits::kMaxNodes) + " values)");
  }
}

std::string text_of(const YAML::Node& node, std::string_view what) {
  count_node(node);
  if (!node.IsScalar()) {
    std::string message(what);
    message += " needs a text";
    fail(node, std::move(message));
  }
  return node.Scalar();
}

Pattern pattern_of(const YAML::Node& node, std::string_view what) {
  std::string expression = text_of(node, what);
  Result<Pattern> pattern = limits != nullptr
                                ? limits->patterns.compile(expression)
                                : compile_pattern(expression);
  if (!pattern) {
    std::string message = "bad regular expression in ";
    message += what;
    message += ": ";
    message += pattern.reason();
    fail(node, std::move(message));
  }
  return *pattern;
}

Decision decision_of(const YAML::Node& node, std::string_view what,
                     bool none_allowed) {
  std::string name = text_of(node, what);
  std::optional<Decision> d = decision_from_name(name);
  if (!d || (*d == Decision::kNone && !none_allowed)) {
    std::string message(what);
    message += none_allowed ? " must be none, allow, ask or deny, not "
                            : " must be allow, ask or deny, not ";
    message += text::enclosed(name, '"');
    fail(node, std::move(message));
  }
  return *d;
}

// What the keys of a mapping are, for messages.
struct KeyKind {
  std::string_view mapping;  // "keys to values": what `node` maps
  std::string_view one;      // "a key": how text_of names one key
  std::string_view noun;     // "key": the word before a repeated key
};

// Calls `handle(key, key_node, value)` for each entry of the mapping
// `node`, after checking that it is a mapping and that the key appears
// once.
template <class Handle>
void for_each_unique(const YAML::Node& node, std::string_view what,
                     const KeyKind& kind, Handle handle) {
  if (!node.IsMap()) {
    fail(node, std::string(what) + " needs to be a mapping of " +
                   std::string(kind.mapping));
  }
  std::set<std::string> seen;
  for (const auto& entry : node) {
    std::string key = text_of(entry.first, kind.one);
    if (!seen.insert(key).second) {
      fail(entry.first, std::string(kind.noun) + " " +
                            text::enclosed(key, '"') + " appears twice in " +
                            std::string(what));
    }
    handle(key, entry.first, entry.second);
  }
}

// Calls `handle(key, key_node, value)` for each entry of the mapping
// `node`, after checking that the key is one of `known` and appears once.
template <class Handle>
void for_each_entry(const YAML::Node& node, std::string_view what,
                    std::initializer_list<std::string_view> known,
                    Handle handle) {
  static constexpr KeyKind kKeys = {"keys to values", "a key", "key"};
  for_each_unique(
      node, what, kKeys,
      [&](const std::string& key, const YAML::Node& key_node,
          const YAML::Node& value) {
        // An unknown key fails here on its first appearance, so
        // it is never reported as repeated.
        if (std::find(known.begin(), known.end(), key) == known.end()) {
          std::string message = "unknown key " + text::enclosed(key, '"') +
                                " in " + std::string(what) + " (known: ";
          bool first = true;
          for (std::string_view k : known) {
            if (!first) message += ", ";
            message += k;
            first = false;
          }
          message += ")";
          fail(key_node, std::move(message));
        }
        handle(key, key_node, value);
      });
}

std::vector<FieldPattern> field_patterns(const YAML::Node& node,
                                         std::string_view what) {
  static constexpr KeyKind kFields = {"input fields to patterns",
                                      "an input field name", "field"};
  std::vector<FieldPattern> out;
  for_each_unique(node, what, kFields,
                  [&](const std::string& field, const YAML::Node&,
                      const YAML::Node& value) {
                    out.push_back({field, pattern_of(value, std::string(what) +
                                                                "." + field)});
                  });
  return out;
}

// The value of `key` ("tool", "program"): one name, or a list of at least
// one.
std::vector<std::string> names_of(const YAML::Node& value,
                                  const std::string& key) {
  if (!value.IsSequence()) return {text_of(value, key)};
  std::vector<std::string> names;
  for (const YAML::Node& item : value) {
    names.push_back(text_of(item, "each " + key));
  }
  if (names.empty()) fail(value, key + " lists no " + key);
  return names;
}

HookFilter hook_of(const YAML::Node& node) {
  static constexpr std::pair<std::string_view, HookFilter> kHooks[] = {
      {"pre-tool-use", HookFilter::kPreToolUse},
      {"post-tool-use", HookFilter::kPostToolUse},
      {"any", HookFilter::kAny},
  };
  std::string hook = text_of(node, "hook");
  for (const auto& [name, filter] : kHooks) {
    if (hook == name) return filter;
  }
  fail(node, "hook must be pre-tool-use, post-tool-use or any, not " +
                 text::enclosed(hook, '"'));
}

Rule rule_of(const YAML::Node& node, std::size_t index) {
  Rule rule;
  bool has_decision = false;
  for_each_entry(
      node, "a rule",
      {"name", "hook", "tool", "tool_matches", "program", "args", "input",
       "unless", "decision", "reason"},
      [&](const std::string& key, const YAML::Node&, const YAML::Node& value) {
        if (key == "name") {
          rule.name = text_of(value, "name");
        } else if (key == "hook") {
          rule.hook = hook_of(value);
        } else if (key == "tool") {
          rule.tools = names_of(value, "tool");
        } else if (key == "program") {
          rule.programs = names_of(value, "program");
          for (const std::string& p : rule.programs) {
            if (p.empty() || p.find('/') != std::string::npos) {
              fail(value,
                   "a program is a name without a directory, like "
                   "\"kubectl\", not " +
                       text::enclosed(p, '"'));
            }
          }
        } else if (key == "args") {
          rule.args = pattern_of(value, "args");
        } else if (key == "tool_matches") {
          rule.tool_pattern = pattern_of(value, "tool_matches");
        } else if (key == "input") {
          rule.when = field_patterns(value, "input");
        } else if (key == "unless") {
          rule.unless = field_patterns(value, "unless");
        } else if (key == "decision") {
          rule.decision = decision_of(value, "decision", false);
          has_decision = true;
        } else {
          rule.reason = text_of(value, "reason");
        }
      });
  if (!has_decision) fail(node, "the rule has no decision");
  if (!rule.tools.empty() && rule.tool_pattern) {
    fail(node, "a rule takes tool or tool_matches, not both");
  }
  if (rule.name.empty()) rule.name = "rule " + std::to_string(index + 1);
  return rule;
}

// checks: {name: off | on | allow | ask | deny, ...}
void checks_of(const YAML::Node& node, CheckSettings& settings) {
  if (node.IsNull()) return;
  if (!node.IsMap()) fail(node, "checks needs to be a mapping of check names to off, on, ask, deny or allow");
  std::set<std::string> seen;
  for (const auto& entry : node) {
    std::string name = text_of(entry.first, "a check name");
    std::optional<Check> check = check_from_name(name);
    if (!check) {
      std::string message =
          "unknown check " + text::enclosed(name, '"') + " (known: ";
      for (std::size_t i = 0; i < kCheckCount; ++i) {
        if (i > 0) message += ", ";
        message += check_name(static_cast<Check>(i));
      }
      fail(entry.first, message + ")");
    }
    if (!seen.insert(name).second) {
      fail(entry.first,
           "check " + text::enclosed(name, '"') + " appears twice");
    }
    std::string value = text_of(entry.second, "a check's setting");
    auto& slot = settings.decisions[static_cast<std::size_t>(*check)];
    if (value == "off") {
      slot = Decision::kNone;
    } else if (value == "on") {
      slot.reset();
    } else if (std::optional<Decision> d = decision_from_name(value);
               d && *d != Decision::kNone) {
      slot = *d;
    } else {
      fail(entry.second, "a check is off, on, allow, ask or deny, not " +
                             text::enclosed(value, '"'));
    }
  }
}

std::vector<std::string> path_list(const YAML::Node& node,
                                   std::string_view what) {
  std::vector<std::string> out;
  if (node.IsNull()) return out;
  if (!node.IsSequence()) {
    fail(node, std::string(what) + " needs to be a list of paths");
  }
  for (const YAML::Node& item : node) {
    std::string path = text_of(item, what);
    if (!(path.starts_with('/') || path == "~" || path.starts_with("~/"))) {
      fail(item, "a path in " + std::string(what) +
                     " is absolute or starts with ~/, not " +
                     text::enclosed(path, '"'));
    }
    out.push_back(std::move(path));
  }
  return out;
}

RuleSet rule_set_of(const YAML::Node& root) {
  RuleSet set;
  if (root.IsNull()) return set;  // an empty file: no rules
  for_each_entry(
      root, "the policy",
      {"version", "default", "default_reason", "checks", "paths", "rules"},
      [&](const std::string& key, const YAML::Node&, const YAML::Node& value) {
        if (key == "version") {
          if (text_of(value, "version") != "1") {
            fail(value, "this Core reads policy version 1 only");
          }
        } else if (key == "default") {
          set.default_decision = decision_of(value, "default", true);
        } else if (key == "default_reason") {
          set.default_reason = text_of(value, "default_reason");
        } else if (key == "checks") {
          checks_of(value, set.checks);
        } else if (key == "paths") {
          if (value.IsNull()) return;
          for_each_entry(
              value, "paths", {"protected", "secret", "deletable"},
              [&](const std::string& k, const YAML::Node&,
                  const YAML::Node& list) {
                std::vector<std::string> paths =
                    path_list(list, "paths." + k);
                if (k == "protected") {
                  set.checks.protected_paths = std::move(paths);
                } else if (k == "secret") {
                  set.checks.secret_paths = std::move(paths);
                } else {
                  set.checks.deletable_paths = std::move(paths);
                }
              });
        } else if (!value.IsNull()) {
          if (!value.IsSequence()) fail(value, "rules needs to be a list");
          for (const YAML::Node& item : value) {
            set.rules.push_back(rule_of(item, set.rules.size()));
          }
        }
      });
  return set;
}

PolicyError error_at(const YAML::Mark& mark, std::string message) {
  PolicyError error;
  if (!mark.is_null()) {
    error.line = mark.line + 1;
    error.column = mark.column + 1;
  }
  error.message = std::move(message);
  return error;
}

}  // namespace

std::string error_text(const PolicyError& error) {
  if (error.line <= 0) return error.message;
  std::string text = "line ";
  text += std::to_string(error.line);
  text += ", column ";
  text += std::to_string(error.column);
  text += ": ";
  text += error.message;
  return text;
}

std::variant<RuleSet, PolicyError> parse_policy(std::string_view text) {
  ReadLimits file_limits;
  ReadLimits* outer = std::exchange(limits, &file_limits);
  struct Restore {
    ReadLimits* outer;
    ~Restore() { limits = outer; }
  } restore{outer};
  try {
    std::vector<YAML::Node> documents = YAML::LoadAll(std::string(text));
    if (documents.empty()) return RuleSet{};
    if (documents.size() > 1) {
      return error_at(documents[1].Mark(),
                      "a policy file holds one YAML document, not several");
    }
    RuleSet rules = rule_set_of(documents[0]);
    prepare_scans(rules);
    return rules;
  } catch (const SchemaError& e) {
    return error_at(e.mark, e.message);
  } catch (const YAML::DeepRecursion& e) {
    return error_at(e.mark, "the policy is nested too deeply");
  } catch (const YAML::Exception& e) {
    // e.msg is the message without yaml-cpp's own position prefix.
    return error_at(e.mark, e.msg);
  } catch (const std::exception& e) {
    return PolicyError{0, 0,
                       std::string("couldn't read the policy: ") + e.what()};
  }
}

}  // namespace twk::core
