// The commands for people who write policies: "check" validates a policy
// file, "explain" shows how the policy decides one event. Both are plain
// functions of their inputs that return what to print, so that the tests
// need no process.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "policy.h"
#include "shell/checks.h"

namespace twk::core {

struct ToolResult {
  int status = 0;   // the exit status: 0 fine, 1 errors found
  std::string out;  // for standard output
  std::string err;  // for standard error
};

// check [FILE]: `path` is the file to check; `given` says whether the user
// named it (a missing default file is no error: Core then uses the built-in
// policy). Errors are printed as "FILE:LINE:COLUMN: message". Without a
// FILE, the machine's managed policy at `managed_path` is checked too when
// there is one.
ToolResult check_policy(const std::string& path, bool given,
                        const std::string& managed_path = kManagedPolicyPath);

// explain [--project DIR] [FILE] < EVENT: `event_text` is either a hook
// event as Claude Code sends it to twk-hook, or a request body as the hook
// sends it to Core ({"agent","context","hook","input"}). It lists the
// commands a Bash call runs, as the checks see them. `facts` are what the
// checks know of this machine (see process_check_facts).
ToolResult explain_event(const std::string& path, bool given,
                         const std::optional<std::string>& project_dir,
                         std::string_view event_text,
                         const CheckFacts& facts = {},
                         const std::string& managed_path = kManagedPolicyPath);

}  // namespace twk::core
