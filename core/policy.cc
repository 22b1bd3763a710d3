// Layering the user's and the project's policy, and the hook output.
#include "policy.h"

#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <iterator>
#include <mutex>

#include "log.h"
#include "policy_yaml.h"
#include "shell/shell.h"
#include "twk/host_output.h"
#include "twk/sys/files.h"
#include "twk/text.h"

namespace twk::core {
namespace {

// The built-in policy's rules, parsed once. The text is tested to parse;
// should it ever fail, every call is asked about rather than let through.
std::shared_ptr<const RuleSet> builtin_rules() {
  static const std::shared_ptr<const RuleSet> rules = [] {
    auto parsed = parse_policy(builtin_policy_text());
    if (RuleSet* set = std::get_if<RuleSet>(&parsed)) {
      return std::make_shared<const RuleSet>(std::move(*set));
    }
    auto fallback = std::make_shared<RuleSet>();
    fallback->default_decision = Decision::kAsk;
    fallback->default_reason = "The built-in policy couldn't be read: " +
                               error_text(std::get<PolicyError>(parsed));
    return std::shared_ptr<const RuleSet>(std::move(fallback));
  }();
  return rules;
}

std::string rule_reason(const Rule& rule) {
  if (!rule.reason.empty()) return rule.reason;
  switch (rule.decision) {
    case Decision::kAllow:
      return "Allowed by policy rule " + text::enclosed(rule.name, '"') + ".";
    case Decision::kAsk:
      return "Policy rule " + text::enclosed(rule.name, '"') +
             " asks for confirmation.";
    default:
      return "Denied by policy rule " + text::enclosed(rule.name, '"') + ".";
  }
}

std::string default_reason(const RuleSet& rules) {
  if (!rules.default_reason.empty()) return rules.default_reason;
  return "No policy rule matched; the policy's default is " +
         std::string(decision_name(rules.default_decision)) + ".";
}

// What one call is judged with besides the rules.
struct CallFacts {
  CheckFacts facts;
  const BashAnalysis* bash = nullptr;
  const nlohmann::json* input = nullptr;
};

void take_finding(const Finding& finding, LayerVerdict& out) {
  out.decision = finding.decision;
  out.check = std::string(check_name(finding.check));
  out.reason = finding.reason;
}

// What `rules` (which may be null: no rules at all) and the built-in checks
// say about `call`. Self-protection comes first, then the rules, then the
// other checks, then the default. `project`: a project's layer, which runs
// only the checks it names.
void apply_rules(const RuleSet* rules, const ToolCall& call,
                 const CallFacts& cf, bool project, LayerVerdict& out) {
  static const CheckSettings kDefaultChecks;
  bool before = call.hook == "pre-tool-use";
  std::optional<CheckSettings> project_checks;
  const CheckSettings* checks = rules ? &rules->checks : &kDefaultChecks;
  if (project) {
    project_checks = *checks;
    project_checks->others_run = false;
    project_checks->decisions[static_cast<std::size_t>(Check::kSelfProtection)]
        .reset();
    checks = &*project_checks;
  }
  CheckResults found;
  if (before) {
    found = run_checks(call.tool, cf.input, cf.bash, cf.facts, *checks);
  }
  if (found.guard && found.guard->decision == Decision::kDeny) {
    // Another check that denies too says more precisely why.
    take_finding(found.other && found.other->decision == Decision::kDeny
                     ? *found.other
                     : *found.guard,
                 out);
    return;
  }
  std::optional<Finding> strictest = found.other;
  if (found.guard && (!strictest || strictness(found.guard->decision) >
                                        strictness(strictest->decision))) {
    strictest = found.guard;
  }
  if (rules == nullptr) {
    if (strictest) take_finding(*strictest, out);
    return;
  }
  Match match = evaluate(*rules, call);
  if (!match.rule && strictest && strictest->decision != Decision::kNone) {
    take_finding(*strictest, out);
    return;
  }
  // Defaults speak for calls about to happen; after a call there is nothing
  // left to decide, so only a rule written for post-tool-use says anything.
  if (!match.rule && call.hook != "pre-tool-use") return;
  out.decision = match.decision;
  if (match.rule) {
    const Rule& rule = rules->rules[*match.rule];
    out.rule_index = *match.rule;
    out.rule_name = rule.name;
    out.reason = rule_reason(rule);
  } else if (match.decision != Decision::kNone) {
    out.reason = default_reason(*rules);
  }
}

// A broken file asks about everything its last good rules did not deny.
void mark_broken(const std::string& error, const ToolCall& call,
                 LayerVerdict& out) {
  out.error = error;
  if (out.decision == Decision::kDeny || call.hook != "pre-tool-use") return;
  out.decision = Decision::kAsk;
  out.reason = "The ";
  if (out.layer == Layer::kProject) out.reason += "project's ";
  if (out.layer == Layer::kManaged) out.reason += "managed ";
  out.reason += "policy file " + sys::display_path(out.path) + " is broken (" +
                error +
                "), so every tool call needs confirmation until it is fixed.";
}

LayerVerdict evaluate_file(Layer layer, const std::string& path,
                           const PolicySnapshot& snapshot, const ToolCall& call,
                           const CallFacts& cf) {
  LayerVerdict out;
  out.layer = layer;
  out.path = path;
  apply_rules(snapshot.rules.get(), call, cf, layer == Layer::kProject, out);
  if (snapshot.state == PolicyState::kBroken) {
    mark_broken(snapshot.error, call, out);
  }
  return out;
}

const std::string* string_member(const nlohmann::json& object,
                                 std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return nullptr;
  return &it->get_ref<const std::string&>();
}

}  // namespace

#ifndef TWK_MANAGED_POLICY
#define TWK_MANAGED_POLICY "/etc/tarnwick/policy.yaml"
#endif
const char* const kManagedPolicyPath = TWK_MANAGED_POLICY;

std::string_view layer_name(Layer layer) {
  // In the order of the enumeration; anything else reads as the user's.
  static constexpr std::string_view kNames[] = {"managed", "user", "built-in",
                                                "project"};
  auto i = static_cast<std::size_t>(layer);
  return i < std::size(kNames) ? kNames[i] : kNames[1];
}

const LayerVerdict* Verdict::decider() const {
  for (const LayerVerdict& layer : layers) {
    if (layer.decision == decision) return &layer;
  }
  return layers.empty() ? nullptr : &layers.front();
}

struct Policy::Layers {
  explicit Layers(PolicyConfig c)
      : config(std::move(c)),
        managed(config.managed_path, config.log, /*users_own=*/true),
        user(config.user_path, config.log, /*users_own=*/true),
        projects(config.project_cache, config.log),
        user_path_unsafe(!config.user_path_given &&
                         !config.user_path.starts_with('/')) {}

  // The user's policy as of now: nothing (the built-in policy applies)
  // when its path is not one to trust.
  PolicySnapshot user_policy() {
    if (!user_path_unsafe) return user.current();
    std::call_once(unsafe_logged, [this] {
      config.log("policy " + log_field(config.user_path) +
                 " is not read: its path is relative (HOME is unset, empty or "
                 "relative), so it would lie in whatever project Core was "
                 "started in; using the built-in policy");
    });
    return PolicySnapshot{};
  }

  void apply(const ToolCall& call, const CallFacts& cf,
             const std::string* project, Verdict& verdict);

  PolicyConfig config;
  PolicyFile managed;  // unused when config.managed_path is empty
  PolicyFile user;
  PolicyCache projects;
  const bool user_path_unsafe;
  std::once_flag unsafe_logged;
};

Policy::Policy(PolicyConfig config) {
  if (!config.log) config.log = [](std::string_view) {};
  layers_ = std::make_shared<Layers>(std::move(config));
}

void Policy::load() const noexcept {
  if (!layers_) return;
  try {
    if (!layers_->config.managed_path.empty()) (void)layers_->managed.current();
    if (layers_->user_policy().state == PolicyState::kMissing &&
        !layers_->config.user_path_given) {
      (void)builtin_rules();
    }
  } catch (const std::exception&) {
    // Out of memory: decide() will try again, and answer ask if it fails.
  }
}

Verdict Policy::decide(const nlohmann::json& event) const noexcept {
  std::optional<BashAnalysis> bash;
  return decide(event, bash);
}

namespace {

// What deciding on `event` needs of it: the call, the facts its checks
// use (the Bash command analysed into `bash`), and the project directory
// (null when there is none, or it is not absolute).
void read_call(const nlohmann::json& event, std::string_view hook,
               const PolicyConfig& config, std::optional<BashAnalysis>& bash,
               ToolCall& call, CallFacts& cf, const std::string*& project) {
  static const nlohmann::json kNull;
  const nlohmann::json& input =
      event.is_object() && event.contains("input") ? event["input"] : kNull;
  call.hook = hook;
  if (const std::string* tool = string_member(input, "tool_name")) {
    call.tool = *tool;
  }
  if (input.is_object()) {
    auto it = input.find("tool_input");
    if (it != input.end()) call.input = &*it;
  }
  const nlohmann::json& context =
      event.is_object() && event.contains("context") ? event["context"] : kNull;
  project = string_member(context, "projectDir");
  // Only absolute directories: a relative one would be resolved against
  // wherever Core happens to run. A NUL would cut the path short.
  if (project != nullptr && (!project->starts_with('/') ||
                             project->find('\0') != std::string::npos)) {
    project = nullptr;
  }
  cf.facts = config.facts;
  cf.input = call.input;
  if (const std::string* cwd = string_member(input, "cwd");
      cwd != nullptr && cwd->starts_with('/') &&
      cwd->find('\0') == std::string::npos) {
    cf.facts.cwd = shell::resolve_path("/", *cwd);
  }
  cf.facts.project =
      project != nullptr ? shell::resolve_path("/", *project) : cf.facts.cwd;
  if (call.tool == "Bash" && call.input != nullptr && hook == "pre-tool-use") {
    if (const std::string* command = string_member(*call.input, "command")) {
      bash = analyze_bash(*command, cf.facts);
      cf.bash = &*bash;
      call.commands = &bash->commands;
    }
  }
}

// Adds `layer` to `verdict`. A later layer may only tighten: its allow
// never counts, its ask and deny only when stricter than the decision so
// far.
void tighten(Verdict& verdict, LayerVerdict layer) {
  if (verdict.layers.empty() ||
      (layer.decision != Decision::kAllow &&
       strictness(layer.decision) > strictness(verdict.decision))) {
    verdict.decision = layer.decision;
    verdict.reason = layer.reason;
  }
  verdict.layers.push_back(std::move(layer));
}

}  // namespace

// The layers in order (managed, the user's or the built-in policy, the
// project's), each judging `call` into `verdict`.
void Policy::Layers::apply(const ToolCall& call, const CallFacts& cf,
                           const std::string* project, Verdict& verdict) {
  if (!config.managed_path.empty()) {
    PolicySnapshot snapshot = managed.current();
    if (snapshot.state != PolicyState::kMissing) {
      tighten(verdict, evaluate_file(Layer::kManaged, config.managed_path,
                                     snapshot, call, cf));
    }
  }
  PolicySnapshot own = user_policy();
  if (own.state == PolicyState::kMissing && !config.user_path_given) {
    LayerVerdict builtin;
    builtin.layer = Layer::kBuiltin;
    apply_rules(builtin_rules().get(), call, cf, false, builtin);
    tighten(verdict, std::move(builtin));
  } else {
    if (own.state == PolicyState::kMissing) {
      own.state = PolicyState::kBroken;
      own.error = "there is no such file";
    }
    tighten(verdict,
            evaluate_file(Layer::kUser, config.user_path, own, call, cf));
  }
  if (project != nullptr) {
    std::string path =
        sys::join_path(*project, std::string(kProjectPolicyPath));
    // A project that is the home directory would otherwise apply the
    // user's own file a second time.
    if (user_path_unsafe || !sys::same_path(path, config.user_path)) {
      std::shared_ptr<PolicyFile> file = projects.get(path);
      PolicySnapshot snapshot = file->current();
      if (snapshot.state != PolicyState::kMissing) {
        tighten(verdict,
                evaluate_file(Layer::kProject, path, snapshot, call, cf));
      }
    }
  }
}

Verdict Policy::decide(const nlohmann::json& event,
                       std::optional<BashAnalysis>& bash) const noexcept {
  std::string_view hook;
  try {
    if (const std::string* h = string_member(event, "hook")) hook = *h;
    Verdict verdict;
    verdict.output = nullptr;
    if (!layers_) return verdict;
    ToolCall call;
    CallFacts cf;
    const std::string* project = nullptr;
    read_call(event, hook, layers_->config, bash, call, cf, project);
    layers_->apply(call, cf, project, verdict);
    verdict.output = hook_output(hook, verdict.decision, verdict.reason);
    return verdict;
  } catch (const std::exception& e) {
    // Out of memory, most likely. Nothing was decided, so ask.
    Verdict verdict;
    verdict.decision = Decision::kAsk;
    try {
      verdict.reason = std::string("Core couldn't apply its policy (") +
                       e.what() + "), so this call needs confirmation.";
      verdict.output = hook_output(hook, verdict.decision, verdict.reason);
    } catch (...) {
      verdict.output = nullptr;
    }
    return verdict;
  }
}

CheckFacts process_check_facts(const std::string& state_dir) {
  CheckFacts facts;
  auto env = [](const char* name) -> std::string {
    const char* v = std::getenv(name);
    return v != nullptr && v[0] == '/' ? shell::resolve_path("/", v)
                                       : std::string();
  };
  facts.home = env("HOME");
  // The account's home from the password database: where HOME is unset
  // or not absolute it is the home, and where HOME names another, the
  // settings kept there are guarded as well.
  // Read from /etc/passwd itself: Core is linked statically, where the
  // C library's lookups would load shared modules at run time.
  std::string account_home;
  sys::ReadOnce passwd = sys::read_once("/etc/passwd", 1 << 20);
  const std::string uid = std::to_string(::getuid());
  for (std::string_view rest = passwd.bytes; !rest.empty();) {
    std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view()
                                         : rest.substr(end + 1);
    // name:password:uid:gid:gecos:home:shell
    std::string_view field[7];
    std::size_t n = 0;
    for (std::size_t start = 0; n < 7; ++n) {
      std::size_t colon = line.find(':', start);
      field[n] = line.substr(start, colon - start);
      if (colon == std::string_view::npos) {
        ++n;
        break;
      }
      start = colon + 1;
    }
    if (n >= 6 && field[2] == uid && field[5].starts_with('/')) {
      account_home = shell::resolve_path("/", field[5]);
      break;
    }
  }
  if (facts.home.empty()) facts.home = account_home;
  if (!account_home.empty() && account_home != facts.home &&
      account_home != "/") {
    facts.protected_files.push_back(account_home + "/.claude/settings.json");
    facts.protected_files.push_back(account_home +
                                    "/.claude/settings.local.json");
  }
  std::string tmp = env("TMPDIR");
  if (!tmp.empty() && tmp != "/") facts.tmpdir = tmp;
  if (!state_dir.empty()) {
    std::optional<std::string> real = sys::canonical(state_dir);
    std::string cwd;
    if (!state_dir.starts_with('/')) {
      char buffer[4096];
      if (::getcwd(buffer, sizeof buffer) != nullptr) cwd = buffer;
    }
    facts.state_dir = real ? *real : shell::resolve_path(cwd, state_dir);
  }
  if (std::optional<std::string> self = sys::canonical("/proc/self/exe")) {
    facts.protected_files.push_back(*self);
    std::size_t slash = self->rfind('/');
    if (slash != std::string::npos) {
      facts.protected_files.push_back(self->substr(0, slash + 1) + "twk-hook");
    }
  }
  facts.linked_path = &sys::linked_path;
  // ~/.claude kept elsewhere (a dotfiles checkout, linked in): the
  // settings are guarded where they really are, too.
  if (!facts.home.empty()) {
    std::string claude = facts.home + "/.claude";
    if (std::optional<std::string> real = sys::canonical(claude);
        real && *real != claude) {
      facts.protected_files.push_back(*real + "/settings.json");
      facts.protected_files.push_back(*real + "/settings.local.json");
    }
  }
  // The managed policy is the administrator's: no tool call changes it.
  facts.protected_files.push_back(kManagedPolicyPath);
  return facts;
}

nlohmann::json hook_output(std::string_view hook, Decision decision,
                           const std::string& reason) {
  if (hook != "pre-tool-use" || decision == Decision::kNone) return nullptr;
  return permission_output(decision_name(decision), reason);
}

}  // namespace twk::core
