// twk-backend install: puts twk-hook into Claude Code's settings file as its
// PreToolUse and PostToolUse hook, or takes it out again (--uninstall). The
// edit is a pure function of the file's text (edit_settings); install_hooks
// wraps it in the reading, the backup and the atomic write.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "twk/result.h"
#include "twk/state_paths.h"

namespace twk::core {

enum class InstallAction { kInstall, kUninstall };

// The outcome of an edit.
struct SettingsEdit {
  // The new settings text: pretty-printed with 2-space indentation and a
  // final line feed. The old text, unchanged, when there was nothing to do.
  std::string text;
  // One lower-case phrase per change ("added the PreToolUse hook ...");
  // empty when nothing changed.
  std::vector<std::string> changes;
};

// The command line the host runs for `hook` ("pre-tool-use" or
// "post-tool-use"): `hook_path`, single-quoted for the shell when it holds
// anything but letters, digits and _@%+=:,./-, then "claude-code" and
// `hook`.
std::string hook_command(const std::string& hook_path, std::string_view hook);

// Edits the text of a settings file. Install makes each of "PreToolUse" and
// "PostToolUse" under "hooks" hold exactly one twk entry running
// `hook_path`: it appends {"matcher": "*", "hooks": [...]} when there is
// none, rewrites the command of one that runs another twk-hook, and drops
// further copies. Uninstall removes every twk entry, then the matcher
// groups, event lists and "hooks" object that this leaves empty. A twk
// entry is a hook whose command is a program named twk-hook followed by
// exactly "claude-code pre-tool-use" (in PreToolUse) or "... post-tool-use"
// (in PostToolUse). Everything else, key order included, is kept. An empty
// or all-blank text counts as {}.
//
// Fails, with `source` (the file's name) at the start of the reason, on
// text that is not JSON ("SOURCE:LINE:COLUMN: ..."), a top level that is
// not an object, a "hooks" that is not an object, or an event member of it
// that is not an array.
Result<SettingsEdit> edit_settings(std::string_view text,
                                   const std::string& hook_path,
                                   InstallAction action,
                                   std::string_view source = "settings");

// The settings file to edit: `settings_file` when given; else
// DIR/.claude/settings.json for `project_dir` (which must be an existing
// directory); else $HOME/.claude/settings.json. Fails when both are given
// or HOME is unset or empty.
Result<std::string> settings_file_path(
    const std::optional<std::string>& project_dir,
    const std::optional<std::string>& settings_file, const EnvLookup& env);

// The executable file named twk-hook in the directory of `exe` (the
// running twk-backend's absolute path), or a reason naming where it looked.
Result<std::string> hook_beside(const std::string& exe);

struct InstallRequest {
  std::string settings_path;
  std::string hook_path;  // absolute
  InstallAction action = InstallAction::kInstall;
  bool dry_run = false;  // show the change, write nothing
};

// Reads the settings file (a missing one is {}; a symbolic link is followed
// and the file it names edited), edits it, and unless there is nothing to do
// or this is a dry run, copies the old file to FILE.bak and writes the new
// one atomically with the old one's mode (0600 for a new file, whose missing
// directories are made 0700). On success, the lines to print: what changed,
// and for a dry run a line diff of the text. On failure the file is as it
// was and no temporary file is left.
Result<std::string> install_hooks(const InstallRequest& request);

}  // namespace twk::core
