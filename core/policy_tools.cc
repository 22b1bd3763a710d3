// check and explain.
#include "policy_tools.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <variant>

#include "policy.h"
#include "policy_watch.h"
#include "policy_yaml.h"
#include "twk/json.h"
#include "twk/sys/files.h"
#include "twk/text.h"

namespace twk::core {
namespace {

std::string display(const std::string& path) { return sys::display_path(path); }

std::string rule_list(const RuleSet& rules) {
  std::string out;
  for (std::size_t i = 0; i < rules.rules.size(); ++i) {
    const Rule& rule = rules.rules[i];
    out += "  ";
    out += std::to_string(i + 1);
    out += ". ";
    out += rule.name;
    out += ": ";
    out += decision_name(rule.decision);
    out += '\n';
  }
  out += "  default: ";
  out += decision_name(rules.default_decision);
  out += '\n';
  std::string set;
  for (std::size_t i = 0; i < kCheckCount; ++i) {
    const auto& setting = rules.checks.decisions[i];
    if (!setting) continue;
    if (!set.empty()) set += ", ";
    set += check_name(static_cast<Check>(i));
    set += ' ';
    set += *setting == Decision::kNone ? std::string_view("off")
                                       : decision_name(*setting);
  }
  out += set.empty() ? "  checks: all on\n"
                     : "  checks: " + set + "; the others on\n";
  return out;
}

// One line about what a layer said.
std::string layer_line(const LayerVerdict& layer) {
  std::string line;
  if (layer.layer == Layer::kBuiltin) {
    line = "built-in policy: ";
  } else {
    line = std::string(layer_name(layer.layer)) + " policy " +
           display(layer.path) + ": ";
  }
  if (!layer.error.empty()) {
    line += "BROKEN (" + layer.error + "); ";
    if (layer.decision != Decision::kDeny) {
      return line + "asks about every call until it is fixed\n";
    }
    line += "its last good version's ";
  }
  if (layer.rule_index) {
    line += "rule " + std::to_string(*layer.rule_index + 1) + " " +
            text::enclosed(layer.rule_name, '"') + " matches: ";
  } else if (!layer.check.empty()) {
    line += "check " + text::enclosed(layer.check, '"') + " finds: ";
  } else {
    line += "no rule matches, default: ";
  }
  line += decision_name(layer.decision);
  if (layer.layer == Layer::kProject && layer.decision == Decision::kAllow) {
    line += " (ignored: a project policy cannot allow)";
  }
  line += '\n';
  return line;
}

}  // namespace

namespace {

// check of one file, as check_policy describes.
ToolResult check_one(const std::string& path, bool given) {
  ToolResult result;
  PolicyRead read = read_policy(path);
  if (read.missing && !given) {
    result.out = "There is no policy file at " + display(path) +
                 "; Core uses the built-in default policy:\n";
    auto builtin = parse_policy(builtin_policy_text());
    if (const RuleSet* rules = std::get_if<RuleSet>(&builtin)) {
      result.out += rule_list(*rules);
    } else {
      result.status = 1;
      result.err = "The built-in policy is broken: " +
                   error_text(std::get<PolicyError>(builtin)) + "\n";
    }
    return result;
  }
  if (read.error.empty()) {
    if (Status full = policy_not_empty(read.text); !full) {
      read.error = full.reason();
    }
  }
  if (!read.error.empty()) {
    result.status = 1;
    result.err = display(path) + ": " + read.error + "\n";
    return result;
  }
  auto parsed = parse_policy(read.text);
  if (const PolicyError* error = std::get_if<PolicyError>(&parsed)) {
    result.status = 1;
    result.err = display(path) + ":";
    if (error->line > 0) {
      result.err += std::to_string(error->line) + ":" +
                    std::to_string(error->column) + ":";
    }
    result.err += " error: " + error->message + "\n";
    return result;
  }
  const RuleSet& rules = std::get<RuleSet>(parsed);
  result.out = display(path) + ": OK, " + std::to_string(rules.rules.size()) +
               (rules.rules.size() == 1 ? " rule\n" : " rules\n") +
               rule_list(rules);
  return result;
}

}  // namespace

ToolResult check_policy(const std::string& path, bool given,
                        const std::string& managed_path) {
  ToolResult result = check_one(path, given);
  if (given || managed_path.empty() ||
      read_policy(managed_path).missing) {
    return result;
  }
  ToolResult managed = check_one(managed_path, true);
  result.out = "Managed policy (it decides first; yours can only tighten "
               "it):\n" + managed.out + "Your policy:\n" + result.out;
  result.err = managed.err + result.err;
  result.status = std::max(result.status, managed.status);
  return result;
}

namespace {

// A request body as the hook sends it, or the agent's event itself
// wrapped as one (pre-tool-use unless its hook_event_name says
// PostToolUse).
nlohmann::json as_request(nlohmann::json parsed) {
  if (parsed.contains("hook") && parsed.contains("input")) return parsed;
  std::string hook = "pre-tool-use";
  auto name = parsed.find("hook_event_name");
  if (name != parsed.end() && *name == "PostToolUse") hook = "post-tool-use";
  return {{"agent", "claude-code"},
          {"context", nlohmann::json::object()},
          {"hook", hook},
          {"input", std::move(parsed)}};
}

// explain's lines up to the decision: the event, the commands a Bash call
// runs, and what each layer found. `broken` is set when a layer's file
// could not be used.
std::string explain_layers(const nlohmann::json& request,
                           const std::optional<BashAnalysis>& bash,
                           const Verdict& verdict, bool& broken) {
  std::string hook = request["hook"].is_string()
                         ? request["hook"].get<std::string>()
                         : std::string("?");
  const nlohmann::json& input = request["input"];
  std::string tool = input.is_object() && input.contains("tool_name") &&
                             input["tool_name"].is_string()
                         ? input["tool_name"].get<std::string>()
                         : std::string("(none)");
  std::string out = "event: " + hook + ", tool " + tool + "\n";
  if (bash) {
    std::vector<std::string> lines = describe_commands(*bash);
    out += lines.empty() ? "commands: none\n" : "commands:\n";
    for (const std::string& line : lines) out += "  " + line + "\n";
  }
  for (const LayerVerdict& layer : verdict.layers) {
    out += layer_line(layer);
    broken = broken || !layer.error.empty();
  }
  const nlohmann::json& context = request["context"];
  if (context.is_object() && context.contains("projectDir") &&
      context["projectDir"].is_string()) {
    bool seen = false;
    for (const LayerVerdict& layer : verdict.layers) {
      seen = seen || layer.layer == Layer::kProject;
    }
    if (!seen) {
      out += "project policy: none (no " + std::string(kProjectPolicyPath) +
             " in " + display(context["projectDir"].get<std::string>()) +
             ")\n";
    }
  }
  return out;
}

}  // namespace

ToolResult explain_event(const std::string& path, bool given,
                         const std::optional<std::string>& project_dir,
                         std::string_view event_text,
                         const CheckFacts& facts,
                         const std::string& managed_path) {
  ToolResult result;
  // Read as strictly as the hook reads the event it forwards.
  Result<json::Value> read = json::parse(event_text);
  if (!read || !read->is_object()) {
    result.status = 1;
    result.err = "The event on standard input isn't a JSON object.\n";
    return result;
  }

  nlohmann::json request = as_request(std::move(*read));
  if (project_dir) {
    std::optional<std::string> absolute = sys::canonical(*project_dir);
    if (!absolute) {
      result.status = 1;
      result.err =
          "There is no project directory " + display(*project_dir) + ".\n";
      return result;
    }
    request["context"] = {{"projectDir", *absolute}};
  }

  PolicyConfig config;
  config.managed_path = managed_path;
  config.user_path = path;
  config.user_path_given = given;
  config.facts = facts;
  Policy policy(std::move(config));
  std::optional<BashAnalysis> bash;
  Verdict verdict = policy.decide(request, bash);

  bool broken = false;
  result.out = explain_layers(request, bash, verdict, broken);
  result.out += "decision: " + std::string(decision_name(verdict.decision));
  if (!verdict.reason.empty()) result.out += " (" + verdict.reason + ")";
  result.out += '\n';
  if (verdict.output.is_null()) {
    result.out += "twk-hook prints nothing\n";
  } else {
    result.out += "twk-hook prints:\n" + json::dump(verdict.output) + "\n";
  }
  if (broken) {
    result.status = 1;
    result.err = "A policy file is broken; run 'twk-backend check' on it.\n";
  }
  return result;
}

}  // namespace twk::core
