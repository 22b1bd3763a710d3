// Gathering what twk-backend status prints.
#include "status.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <variant>

#include "audit.h"
#include "install.h"
#include "log.h"
#include "policy.h"
#include "policy_watch.h"
#include "policy_yaml.h"
#include "twk/endpoint_record.h"
#include "twk/json.h"
#include "twk/sys/files.h"
#include "twk/sys/process.h"

namespace twk::core {
namespace {

constexpr std::size_t kMaxRecordBytes = 1 << 20;

class Report {
 public:
  void fact(const std::string& line) { text_ += "  " + line + "\n"; }
  void problem(const std::string& what, const std::string& fix) {
    text_ += "  PROBLEM: " + what + "\n    fix: " + fix + "\n";
    ++problems_;
  }
  void section(const std::string& name) { text_ += name + ":\n"; }
  StatusReport done() { return {text_, problems_}; }

 private:
  std::string text_;
  int problems_ = 0;
};

std::string shown(const std::string& path) { return sys::display_path(path); }

std::string mode_text(mode_t mode) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%04o", static_cast<unsigned>(mode & 07777));
  return buffer;
}

// The time a file was last modified, as an audit timestamp prefix.
std::optional<std::string> modified_at(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  auto time = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::seconds(st.st_mtim.tv_sec) +
          std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  return log_timestamp(time);
}

void state_directory(const StatusInputs& in, Report& r) {
  r.section("state directory " + shown(in.state_dir));
  struct stat st;
  if (::stat(in.state_dir.c_str(), &st) != 0) {
    r.fact("not created yet (the first tool call creates it)");
    return;
  }
  if (st.st_uid != ::geteuid()) {
    r.problem("it belongs to another user (uid " + std::to_string(st.st_uid) +
                  ")",
              "use a state directory of your own (TARNWICK_HOME)");
  } else if ((st.st_mode & 077) != 0) {
    r.problem("others may read or change it (mode " + mode_text(st.st_mode) +
                  ")",
              "chmod 700 " + shown(in.state_dir));
  } else {
    r.fact("yours, mode " + mode_text(st.st_mode));
  }
}

// Returns the time the running Core started (its record's), if one runs.
std::optional<std::string> core_process(const StatusInputs& in, Report& r) {
  r.section("Core");
  std::optional<std::string> text =
      sys::read_own_file(in.endpoint_file, kMaxRecordBytes);
  std::optional<Endpoint> record =
      text ? parse_endpoint_record(*text) : std::nullopt;
  if (!record || !record->pid) {
    r.fact("not running; the next tool call starts it");
    return std::nullopt;
  }
  std::optional<std::string> exe = sys::own_process_executable(*record->pid);
  if (!exe) {
    r.fact("not running (its record names pid " +
           std::to_string(*record->pid) +
           ", which has ended); the next tool call starts it");
    return std::nullopt;
  }
  std::optional<std::string> since = modified_at(in.endpoint_file);
  r.fact("pid " + std::to_string(*record->pid) + ", " +
         endpoint_url(record->address) + ", running " + shown(*exe) +
         (since ? ", since " + since->substr(0, 19) + "Z" : std::string()));
  if (!in.self_exe.empty() && !sys::same_path(*exe, in.self_exe)) {
    r.problem("the running Core is " + shown(*exe) + ", not this " +
                  shown(in.self_exe),
              "stop it (kill " + std::to_string(*record->pid) +
                  "); the next tool call starts this one");
  }
  return since;
}

void policy_file(const std::string& label, const std::string& path,
                 bool users_own, Report& r) {
  PolicyRead read = read_policy(path);
  if (read.missing) return;
  std::string error = read.error;
  if (error.empty() && users_own) {
    if (Status full = policy_not_empty(read.text); !full) {
      error = full.reason();
    }
  }
  if (error.empty()) {
    auto parsed = parse_policy(read.text);
    if (const RuleSet* rules = std::get_if<RuleSet>(&parsed)) {
      r.fact(label + " " + shown(path) + ": loads, " +
             std::to_string(rules->rules.size()) + " rules");
      return;
    }
    error = error_text(std::get<PolicyError>(parsed));
  }
  r.problem(label + " " + shown(path) + " is broken: " + error,
            "twk-backend check " + shown(path) +
                " shows where; until it is fixed every call in its scope is "
                "asked about");
}

void policies(const StatusInputs& in, Report& r) {
  r.section("policy");
  if (!in.managed_policy.empty()) {
    policy_file("managed policy", in.managed_policy, true, r);
  }
  if (read_policy(in.user_policy).missing) {
    r.fact("your policy: the built-in one (no " + shown(in.user_policy) + ")");
  } else {
    policy_file("your policy", in.user_policy, true, r);
  }
  if (in.project_dir) {
    std::string project =
        sys::join_path(*in.project_dir, std::string(kProjectPolicyPath));
    policy_file("this project's policy", project, false, r);
  }
}

// Whether `settings` runs `hook` for both events; a line either way.
bool hooks_in(const std::string& label, const std::string& settings,
              const StatusInputs& in, Report& r) {
  std::optional<std::string> text = sys::read_file(settings, 16 << 20);
  if (!text) return false;
  Result<SettingsEdit> edit =
      edit_settings(*text, in.hook_path, InstallAction::kInstall, settings);
  if (!edit) {
    r.problem(label + " " + shown(settings) + ": " + edit.reason(),
              "fix the file; Claude Code can't read it either");
    return false;
  }
  Result<SettingsEdit> removed =
      edit_settings(*text, in.hook_path, InstallAction::kUninstall, settings);
  bool any = removed && !removed->changes.empty();
  if (edit->changes.empty()) {
    r.fact(label + " " + shown(settings) + ": runs " + shown(in.hook_path));
    return true;
  }
  if (any) {
    r.problem(label + " " + shown(settings) + " runs another twk-hook (" +
                  edit->changes.front() + " is needed)",
              "twk-backend install" +
                  (label == "user settings" ? std::string()
                                            : " --settings " + shown(settings)));
    return true;
  }
  return false;
}

void host_settings(const StatusInputs& in, Report& r) {
  r.section("Claude Code");
  if (in.hook_path.empty()) {
    r.problem("there is no twk-hook beside " + shown(in.self_exe),
              "install twk-hook and twk-backend into one directory");
    return;
  }
  bool found = hooks_in("user settings", in.user_settings, in, r);
  if (in.project_dir) {
    found = hooks_in("project settings",
                     sys::join_path(*in.project_dir, ".claude/settings.json"),
                     in, r) ||
            found;
  }
  if (!found) {
    r.problem("no settings file runs twk-hook, so Claude Code never asks Core",
              "twk-backend install (or --project DIR for one project)");
  }
}

void decisions(const StatusInputs& in, const std::optional<std::string>& since,
               Report& r) {
  if (!since) return;
  r.section("decisions since Core started");
  std::map<std::string, int> counts;
  std::optional<std::string> text =
      sys::read_file(audit_log_path(in.state_dir), std::size_t(1) << 32);
  std::size_t start = 0;
  while (text && start < text->size()) {
    std::size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    Result<json::Value> record =
        json::parse(std::string_view(*text).substr(start, end - start));
    start = end + 1;
    if (!record || !record->is_object()) continue;
    auto time = record->find("time");
    if (time != record->end() && time->is_string() &&
        time->get_ref<const std::string&>() >= *since) {
      ++counts[record->value("decision", std::string("?"))];
    }
  }
  std::string line;
  for (const char* d : {"deny", "ask", "allow", "none"}) {
    if (!line.empty()) line += ", ";
    line += std::to_string(counts[d]) + " " + d;
  }
  r.fact(line);
}

}  // namespace

StatusReport gather_status(const StatusInputs& inputs) {
  Report r;
  state_directory(inputs, r);
  std::optional<std::string> since = core_process(inputs, r);
  policies(inputs, r);
  host_settings(inputs, r);
  decisions(inputs, since, r);
  return r.done();
}

}  // namespace twk::core
