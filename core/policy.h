// The decision seam: what Core answers for one hook event. Everything about
// HTTP, tokens and body checks stays outside; this module sees only events
// that arrived as JSON objects from an authenticated hook.
//
// Up to three layers decide. A machine's managed policy file (written by an
// administrator, kManagedPolicyPath), when there is one, says what happens;
// otherwise the user's policy file (or, without one, the built-in default
// policy) does. Every later layer, the user's under a managed policy and a
// project's policy file, {projectDir}/.tarnwick/policy.yaml, can only make
// that stricter: its "deny" and "ask" count when they are stricter than the
// decision so far, its "allow" never counts. A broken file makes its layer ask about every
// call (its last good rules still deny what they denied) until it is fixed.
#pragma once

#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "policy_watch.h"
#include "rules.h"

namespace twk::core {

// Where a layer's rules came from.
enum class Layer { kManaged, kUser, kBuiltin, kProject };

// Where a machine's managed policy lives (set when Core is built).
extern const char* const kManagedPolicyPath;

// "managed", "user", "built-in", "project".
std::string_view layer_name(Layer layer);

// What one layer said about an event.
struct LayerVerdict {
  Layer layer = Layer::kUser;
  std::string path;  // the policy file; empty for the built-in policy
  Decision decision = Decision::kNone;
  // The rule that decided: index into its rule set and its name. Nothing
  // when the default applied or the layer has no rules at all.
  std::optional<std::size_t> rule_index;
  std::string rule_name;
  // The built-in check that decided, when no rule did; empty otherwise.
  std::string check;
  std::string reason;
  // Set when the layer's file is broken; then `decision` is at least ask.
  std::string error;
};

struct Verdict {
  Decision decision = Decision::kNone;
  std::string reason;
  // The layers that were consulted, in order: managed, user (or built-in),
  // project. The first one whose decision equals `decision` is the one
  // that decided.
  std::vector<LayerVerdict> layers;
  // What the hook passes to the agent host: null, or for pre-tool-use
  // events with a decision the hook-specific permission output.
  nlohmann::json output;

  // The deciding layer, or null when no layer was consulted.
  const LayerVerdict* decider() const;
};

struct PolicyConfig {
  // The machine's managed policy file; empty for none. Core passes
  // kManagedPolicyPath; it is not configurable at run time, so that no
  // user setting can drop it.
  std::string managed_path;
  // The user's policy file.
  std::string user_path;
  // True when the path was given on the command line: then a missing file
  // is an error, not a reason to fall back to the built-in policy.
  bool user_path_given = false;
  // Project policies held at most at once.
  std::size_t project_cache = 32;
  // Messages about loading the files; Core's log in the server.
  PolicyLog log;
  // What the built-in checks know about this machine: the home and state
  // directories and the files to protect. Each call adds its own working
  // and project directories.
  CheckFacts facts;
};

// The facts of the running process: HOME, TMPDIR, `state_dir`, and this
// executable with the hook binary beside it as files to protect.
CheckFacts process_check_facts(const std::string& state_dir);

// The directory of the project policy inside a project.
inline constexpr std::string_view kProjectPolicyPath = ".tarnwick/policy.yaml";

// The text of the built-in default policy.
std::string_view builtin_policy_text();

class Policy {
 public:
  // A policy without rules. It has nothing to say about any event.
  Policy() = default;

  // The layered policy of `config`. Reads nothing yet: the first decide()
  // or load() does.
  explicit Policy(PolicyConfig config);

  // Reads the user's policy file (and the built-in policy, when there is no
  // file), logging what is wrong with it. Core calls this at start, on a
  // thread of its own, so that reading and compiling the rules overlaps with
  // getting ready to serve; a decide() meanwhile waits for it. Thread-safe.
  void load() const noexcept;

  // The verdict for `event` (a JSON object with "agent", "context", "hook"
  // and "input" as the hook sends it). Thread-safe; never throws: a
  // failure inside gives an ask verdict that says so.
  Verdict decide(const nlohmann::json& event) const noexcept;

  // decide(), also handing out the analysis of a Bash command (left empty
  // for other tools), for explain.
  Verdict decide(const nlohmann::json& event,
                 std::optional<BashAnalysis>& bash) const noexcept;

 private:
  struct Layers;
  std::shared_ptr<Layers> layers_;  // null: the rule-less policy
};

// The hook output for `decision` and `reason`: null for no decision and
// for every hook but pre-tool-use, otherwise the permission decision.
nlohmann::json hook_output(std::string_view hook, Decision decision,
                           const std::string& reason);

}  // namespace twk::core
