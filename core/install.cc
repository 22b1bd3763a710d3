// Adding twk-hook to Claude Code's settings file and taking it out again.
#include "install.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <nlohmann/json.hpp>

#include "twk/sys/error.h"
#include "twk/sys/files.h"
#include "twk/utf8.h"

namespace twk::core {
namespace {

// ordered_json keeps the members in the order the file has them, so that
// the file the user sees afterwards differs only where it must.
using Json = nlohmann::ordered_json;

constexpr char kHookProgram[] = "twk-hook";
constexpr char kAgent[] = "claude-code";
constexpr mode_t kNewFileMode = 0600;
constexpr mode_t kNewDirectoryMode = 0700;
// Far beyond any settings file a person keeps; bounds what is read.
constexpr std::size_t kMaxSettingsBytes = 16 * 1024 * 1024;

struct HookEvent {
  const char* event;  // the member under "hooks"
  const char* hook;   // twk-hook's argument
};
constexpr HookEvent kEvents[] = {{"PreToolUse", "pre-tool-use"},
                                 {"PostToolUse", "post-tool-use"}};

// The words of a command as the shell splits them, for a simple command of
// literal words: blanks separate, single and double quotes and backslashes
// quote. Nothing for anything the shell would expand or treat as an
// operator, which no command of ours contains.
std::optional<std::vector<std::string>> shell_words(std::string_view s) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == ' ' || c == '\t') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    in_word = true;
    if (c == '\'') {
      std::size_t end = s.find('\'', i + 1);
      if (end == std::string_view::npos) return std::nullopt;
      word.append(s.substr(i + 1, end - i - 1));
      i = end;
    } else if (c == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i) {
        if (s[i] == '$' || s[i] == '`') return std::nullopt;
        if (s[i] == '\\' && i + 1 < s.size() &&
            std::strchr("\"\\$`", s[i + 1]) != nullptr) {
          ++i;
        }
        word += s[i];
      }
      if (i == s.size()) return std::nullopt;
    } else if (c == '\\') {
      if (++i == s.size()) return std::nullopt;
      word += s[i];
    } else if (std::strchr(";&|<>()$`\n", c) != nullptr) {
      return std::nullopt;
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

// The twk-hook path that `entry` runs for `hook`, when it is a twk entry.
std::optional<std::string> twk_hook_path(const Json& entry,
                                         std::string_view hook) {
  if (!entry.is_object()) return std::nullopt;
  auto command = entry.find("command");
  if (command == entry.end() || !command->is_string()) return std::nullopt;
  std::optional<std::vector<std::string>> words =
      shell_words(command->get_ref<const std::string&>());
  if (!words || words->size() != 3 || (*words)[1] != kAgent ||
      (*words)[2] != hook || sys::file_name((*words)[0]) != kHookProgram) {
    return std::nullopt;
  }
  return (*words)[0];
}

// Edits one event's list of matcher groups; appends what it did.
void edit_event(Json& groups, const HookEvent& event,
                const std::string& hook_path, InstallAction action,
                std::vector<std::string>& changes) {
  const std::string name = event.event;
  const std::string command = hook_command(hook_path, event.hook);
  bool kept = false;
  for (std::size_t g = 0; g < groups.size();) {
    // Malformed groups are not ours to judge: the host reports them.
    Json& group = groups[g];
    if (!group.is_object()) {
      ++g;
      continue;
    }
    auto hooks = group.find("hooks");
    if (hooks == group.end() || !hooks->is_array()) {
      ++g;
      continue;
    }
    bool removed = false;
    for (std::size_t h = 0; h < hooks->size();) {
      std::optional<std::string> path = twk_hook_path((*hooks)[h], event.hook);
      if (!path) {
        ++h;
        continue;
      }
      if (action == InstallAction::kInstall && !kept) {
        // The first one stays where the user may have put it (with its own
        // matcher or timeout); only a path that is not ours is rewritten.
        kept = true;
        if (*path != hook_path) {
          (*hooks)[h]["command"] = command;
          changes.push_back("replaced " + *path + " in the " + name +
                            " hook by " + hook_path);
        }
        ++h;
        continue;
      }
      hooks->erase(h);
      removed = true;
      changes.push_back(action == InstallAction::kInstall
                            ? "removed a second " + name + " hook (" + *path +
                                  ")"
                            : "removed the " + name + " hook (" + *path + ")");
    }
    // Only a group that we emptied goes; one the user left empty stays.
    if (removed && hooks->empty()) {
      groups.erase(g);
    } else {
      ++g;
    }
  }
  if (action == InstallAction::kInstall && !kept) {
    Json entry = Json::object();
    entry["type"] = "command";
    entry["command"] = command;
    Json group = Json::object();
    group["matcher"] = "*";
    group["hooks"] = Json::array({std::move(entry)});
    groups.push_back(std::move(group));
    changes.push_back("added the " + name + " hook: " + command);
  }
}

// "SOURCE:LINE:COLUMN: detail" for a parse error at the 1-based byte
// position `byte` of `text`; the column counts bytes.
std::string parse_error_text(std::string_view source, std::string_view text,
                             std::size_t byte, std::string_view what) {
  // The library reports the position of the byte it stopped at, one past
  // the end for a text that ends too soon.
  std::size_t at = std::min(byte, text.size() + 1);
  std::size_t before = at > 0 ? at - 1 : 0;
  std::string_view head = text.substr(0, before);
  std::size_t line = 1 + static_cast<std::size_t>(
                             std::count(head.begin(), head.end(), '\n'));
  std::size_t newline = head.rfind('\n');
  std::size_t column =
      newline == std::string_view::npos ? before + 1 : before - newline;
  // The library's message repeats its own idea of the position before the
  // first ": "; only the description after it is kept.
  std::size_t colon = what.find(": ");
  if (colon != std::string_view::npos) what.remove_prefix(colon + 2);
  return std::string(source) + ":" + std::to_string(line) + ":" +
         std::to_string(column) + ": not valid JSON: " + std::string(what);
}

// The lines of `text`, without their line feeds.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return lines;
}

// A one-hunk line diff: the lines between the common head and tail, old
// ones marked "-" and new ones "+", with up to three unchanged lines either
// side. Linear, so a large file costs nothing; an edit in two places shows
// the lines between them as removed and added again.
std::string line_diff(std::string_view old_text, std::string_view new_text) {
  constexpr std::size_t kContext = 3;
  std::vector<std::string_view> a = split_lines(old_text);
  std::vector<std::string_view> b = split_lines(new_text);
  std::size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
  std::size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head &&
         a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) {
    ++tail;
  }
  std::string out;
  auto emit = [&out](char mark, std::string_view line) {
    out += mark;
    out += line;
    out += '\n';
  };
  for (std::size_t i = head - std::min(head, kContext); i < head; ++i) {
    emit(' ', a[i]);
  }
  for (std::size_t i = head; i < a.size() - tail; ++i) emit('-', a[i]);
  for (std::size_t i = head; i < b.size() - tail; ++i) emit('+', b[i]);
  for (std::size_t i = a.size() - tail;
       i < a.size() - tail + std::min(tail, kContext); ++i) {
    emit(' ', a[i]);
  }
  return out;
}

Failure os_failure(const std::string& what, const std::string& path,
                   int err) {
  return Failure{"couldn't " + what + " " + sys::display_path(path) + ": " +
                 sys::os_error_text(err)};
}

}  // namespace

std::string hook_command(const std::string& hook_path, std::string_view hook) {
  static constexpr std::string_view kPlain =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
      "_@%+=:,./-";
  std::string command;
  if (!hook_path.empty() &&
      hook_path.find_first_not_of(kPlain) == std::string::npos) {
    command = hook_path;
  } else {
    command = "'";
    for (char c : hook_path) {
      if (c == '\'') {
        command += "'\\''";  // close, an escaped quote, reopen
      } else {
        command += c;
      }
    }
    command += '\'';
  }
  command += ' ';
  command += kAgent;
  command += ' ';
  command += hook;
  return command;
}

Result<SettingsEdit> edit_settings(std::string_view text,
                                   const std::string& hook_path,
                                   InstallAction action,
                                   std::string_view source) {
  const std::string name(source);
  // The writer would put U+FFFD in place of the bad bytes: a command that
  // runs nothing.
  if (!utf8::valid(hook_path)) {
    return Failure{"the path of twk-hook, " + sys::display_path(hook_path) +
                   ", is not valid UTF-8, which JSON cannot hold"};
  }
  try {
    Json root = Json::object();
    // A file the host or an editor left empty holds no settings to lose.
    if (text.find_first_not_of(" \t\r\n") != std::string_view::npos) {
      // The library's reader, not the strict one: the file is the user's
      // and is written back with its members in their order, and an error
      // must say where it is; the strict reader sorts members and says
      // only why.
      try {
        root = Json::parse(text);
      } catch (const Json::parse_error& e) {
        return Failure{parse_error_text(source, text, e.byte, e.what())};
      }
    }
    if (!root.is_object()) {
      return Failure{name + ": the settings are not a JSON object"};
    }
    auto hooks = root.find("hooks");
    if (hooks != root.end()) {
      if (!hooks->is_object()) {
        return Failure{name + ": \"hooks\" is not an object"};
      }
      for (const HookEvent& event : kEvents) {
        auto groups = hooks->find(event.event);
        if (groups != hooks->end() && !groups->is_array()) {
          return Failure{name + ": \"hooks\".\"" + event.event +
                         "\" is not an array"};
        }
      }
    }

    SettingsEdit edit;
    if (action == InstallAction::kInstall) {
      // Members are added at the end, after everything the user has.
      Json& all = root["hooks"];
      if (all.is_null()) all = Json::object();
      for (const HookEvent& event : kEvents) {
        Json& groups = all[event.event];
        if (groups.is_null()) groups = Json::array();
        edit_event(groups, event, hook_path, action, edit.changes);
      }
    } else if (hooks != root.end()) {
      bool emptied = false;
      for (const HookEvent& event : kEvents) {
        auto groups = hooks->find(event.event);
        if (groups == hooks->end()) continue;
        std::size_t before = edit.changes.size();
        edit_event(*groups, event, hook_path, action, edit.changes);
        if (edit.changes.size() > before && groups->empty()) {
          hooks->erase(groups);
          emptied = hooks->empty();
        }
      }
      if (emptied) root.erase(hooks);
    }

    if (edit.changes.empty()) {
      edit.text = std::string(text);
    } else {
      // Strings are valid UTF-8 after parsing; `replace` only rules out a
      // throw from the writer.
      edit.text =
          root.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    }
    return edit;
  } catch (const Json::exception& e) {
    // Not expected for a parsed object; reported rather than let through.
    return Failure{name + ": " + e.what()};
  }
}

Result<std::string> settings_file_path(
    const std::optional<std::string>& project_dir,
    const std::optional<std::string>& settings_file, const EnvLookup& env) {
  constexpr char kRelative[] = ".claude/settings.json";
  if (project_dir && settings_file) {
    return Failure{"--project and --settings cannot be used together"};
  }
  if (settings_file) return *settings_file;
  if (project_dir) {
    // A mistyped directory must not be created, settings and all.
    struct stat st;
    if (::stat(project_dir->c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      return Failure{"the project directory " +
                     sys::display_path(*project_dir) + " does not exist"};
    }
    return sys::join_path(*project_dir, kRelative);
  }
  std::optional<std::string> home = non_empty_env(env, "HOME");
  if (!home) {
    return Failure{"HOME is not set; name the settings file with --settings"};
  }
  return sys::join_path(*home, kRelative);
}

Result<std::string> hook_beside(const std::string& exe) {
  std::optional<std::string> dir = sys::parent_path(exe);
  std::string hook = sys::join_path(dir.value_or(""), kHookProgram);
  if (!sys::is_regular_file(hook) || ::access(hook.c_str(), X_OK) != 0) {
    return Failure{"there is no " + std::string(kHookProgram) + " beside " +
                   sys::display_path(exe) + " (looked for " +
                   sys::display_path(hook) +
                   "); install twk-hook and twk-backend in one directory"};
  }
  return hook;
}

namespace {

// The settings file as it is: where it really lives (a link is followed),
// its text (nothing when it does not exist yet) and the mode to keep.
struct CurrentSettings {
  std::string path;
  std::optional<std::string> text;
  mode_t mode = kNewFileMode;
};

Result<CurrentSettings> read_current_settings(std::string path) {
  struct stat st;
  // Settings kept elsewhere behind a link (a dotfiles checkout, say) are
  // edited where they are: a rename over the link would replace it.
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    std::optional<std::string> target = sys::canonical(path);
    if (!target) {
      return Failure{sys::display_path(path) +
                     " is a symbolic link to nothing; not replacing it"};
    }
    path = *target;
  }
  CurrentSettings current;
  current.path = path;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return os_failure("look at", path, errno);
    return current;
  }
  const std::string shown = sys::display_path(path);
  if (!S_ISREG(st.st_mode)) return Failure{shown + " is not a regular file"};
  // Unreadable must not pass for missing: that would write over it.
  current.text = sys::read_file(path, kMaxSettingsBytes);
  if (!current.text) {
    return Failure{"couldn't read " + shown +
                   (static_cast<std::uintmax_t>(st.st_size) > kMaxSettingsBytes
                        ? " (larger than 16 MiB)"
                        : "")};
  }
  current.mode = st.st_mode & 07777;
  return current;
}

// Writes `text` over the settings: the old file copied to .bak first, or
// the directory made for a new one.
Status write_settings(const CurrentSettings& current, const std::string& text) {
  const std::string& path = current.path;
  const std::string shown = sys::display_path(path);
  if (current.text) {
    // rename(2) needs only the directory to be writable; a file the user
    // made read-only says "leave me alone", and is left.
    if (::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
      return Failure{shown + " is not writable (" +
                     sys::os_error_text(errno) + "); nothing was changed"};
    }
    // The copy goes first: when it fails, nothing has been changed.
    if (Status saved = sys::write_file_atomically(path + ".bak", *current.text,
                                                  current.mode);
        !saved) {
      return Failure{"couldn't back up " + shown + ": " + saved.reason()};
    }
  } else if (std::optional<std::string> dir = sys::parent_path(path);
             dir && !dir->empty() && !sys::make_dirs(*dir, kNewDirectoryMode)) {
    return Failure{"couldn't create the directory " + sys::display_path(*dir) +
                   " for " + shown};
  }
  return sys::write_file_atomically(path, text, current.mode);
}

}  // namespace

Result<std::string> install_hooks(const InstallRequest& request) {
  Result<CurrentSettings> current =
      read_current_settings(request.settings_path);
  if (!current) return Failure{current.reason()};
  const std::optional<std::string>& old_text = current->text;
  const std::string shown = sys::display_path(current->path);

  Result<SettingsEdit> edit = edit_settings(old_text.value_or(""),
                                            request.hook_path, request.action,
                                            shown);
  if (!edit) return Failure{edit.reason()};
  if (edit->changes.empty()) {
    if (request.action == InstallAction::kInstall) {
      return shown + " already runs " + request.hook_path +
             " as its PreToolUse and PostToolUse hook; nothing to change\n";
    }
    return shown + " has no twk-hook hooks; nothing to change\n";
  }

  std::string report;
  for (const std::string& change : edit->changes) {
    report += "  " + change + "\n";
  }
  if (request.dry_run) {
    return "Would " + std::string(old_text ? "change " : "create ") + shown +
           " (dry run, nothing written):\n" + report + "\n--- " + shown +
           (old_text ? "" : " (missing)") + "\n+++ " + shown + "\n" +
           line_diff(old_text.value_or(""), edit->text);
  }
  if (Status written = write_settings(*current, edit->text); !written) {
    return Failure{written.reason()};
  }
  std::string done =
      old_text ? "Changed " + shown + " (the old file is " +
                     sys::display_path(current->path + ".bak") + "):\n"
               : "Created " + shown + ":\n";
  return done + report;
}

}  // namespace twk::core
