// twk-backend status: is everything in place? Whether a Core runs and is
// the program it should be, the state directory and its permissions, every
// policy layer and whether it loads, whether Claude Code's settings run the
// hook, and what Core has decided since it started. Each problem comes with
// a line saying how to fix it.
#pragma once

#include <optional>
#include <string>

namespace twk::core {

struct StatusInputs {
  std::string state_dir;
  std::string endpoint_file;
  std::string managed_policy;  // empty: none configured
  std::string user_policy;
  std::optional<std::string> project_dir;  // the project to look at
  std::string user_settings;               // ~/.claude/settings.json
  std::string self_exe;    // this twk-backend, resolved
  std::string hook_path;   // the twk-hook beside it; empty when missing
};

struct StatusReport {
  std::string text;   // what status prints, a line per fact or problem
  int problems = 0;   // how many lines say something is wrong
};

// Looks at everything `inputs` names (files and /proc only; no network).
StatusReport gather_status(const StatusInputs& inputs);

}  // namespace twk::core
