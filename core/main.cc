// twk-backend: the reference Core. Reads its options, then serves policy
// decisions until it has been idle for a while or is told to stop; or runs
// one of the policy commands, check and explain, or install.
//
// Exit status: 0 after a clean stop or --help, 1 when it could not start
// serving (port taken, record unwritable), a policy command found errors or
// install could not edit the settings, 2 for a wrong command line.
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audit.h"
#include "log.h"
#include "log_command.h"
#include "status.h"
#include "http_request.h"
#include "install.h"
#include "options.h"
#include "policy_tools.h"
#include "record.h"
#include "server.h"
#include "twk/sys/files.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int fail(const std::string& reason) {
  std::fprintf(stderr, "twk-backend: %s\n", reason.c_str());
  return kExitFailure;
}

int install(const twk::core::Options& options) {
  using twk::core::InstallAction;
  twk::Result<std::string> settings = twk::core::settings_file_path(
      options.project_dir, options.settings_file, twk::core::process_env);
  if (!settings) return fail(settings.reason());
  std::optional<std::string> self = twk::sys::canonical("/proc/self/exe");
  if (!self) return fail("couldn't find this program's path in /proc/self/exe");
  twk::Result<std::string> hook = twk::core::hook_beside(*self);
  // Taking the hooks out needs no twk-hook: it may be gone already.
  if (!hook && !options.uninstall) return fail(hook.reason());
  twk::core::InstallRequest request;
  request.settings_path = *settings;
  request.hook_path = hook ? *hook : std::string();
  request.action =
      options.uninstall ? InstallAction::kUninstall : InstallAction::kInstall;
  request.dry_run = options.dry_run;
  twk::Result<std::string> report = twk::core::install_hooks(request);
  if (!report) return fail(report.reason());
  std::fputs(report->c_str(), stdout);
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

// twk-backend log: the audit log in the state directory.
int show_log(const twk::core::Options& options, const std::string& state_dir) {
  twk::core::LogCommand command;
  command.path = twk::core::audit_log_path(state_dir);
  command.json = options.json;
  command.follow = options.follow;
  command.filter.decision = options.decision;
  command.filter.session = options.session;
  if (options.project_dir) {
    // Records name the project as the hook saw it: absolute and resolved.
    std::optional<std::string> dir = twk::sys::canonical(*options.project_dir);
    command.filter.project = dir.value_or(*options.project_dir);
  }
  if (options.since) {
    twk::Result<std::string> since = twk::core::parse_since(
        *options.since,
        twk::core::log_timestamp(std::chrono::system_clock::now()));
    if (!since) {
      std::fprintf(stderr, "twk-backend: %s\n", since.reason().c_str());
      return kExitUsage;
    }
    command.filter.since = *since;
  }
  return twk::core::run_log_command(command, stdout, stderr);
}

// twk-backend status: everything the hook and Core depend on.
int show_status(const twk::core::Options& options,
                const std::string& state_dir) {
  twk::core::StatusInputs in;
  in.state_dir = state_dir;
  in.endpoint_file = twk::core::endpoint_file_path(twk::core::process_env);
  in.managed_policy = twk::core::kManagedPolicyPath;
  in.user_policy = twk::sys::join_path(state_dir, "policy.yaml");
  in.project_dir = twk::sys::canonical(options.project_dir.value_or("."));
  std::optional<std::string> home =
      twk::non_empty_env(twk::core::process_env, "HOME");
  if (home) in.user_settings = twk::sys::join_path(*home, ".claude/settings.json");
  in.self_exe = twk::sys::canonical("/proc/self/exe").value_or("");
  if (twk::Result<std::string> hook = twk::core::hook_beside(in.self_exe)) {
    in.hook_path = *hook;
  }
  twk::core::StatusReport report = twk::core::gather_status(in);
  std::fputs(report.text.c_str(), stdout);
  if (report.problems > 0) {
    std::printf("%d problem%s\n", report.problems,
                report.problems == 1 ? "" : "s");
  } else {
    std::printf("all in place\n");
  }
  if (std::fflush(stdout) != 0) return kExitFailure;
  return report.problems > 0 ? kExitFailure : kExitOk;
}

int run(int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  twk::Result<twk::core::Options> options = twk::core::parse_options(args);
  if (!options) {
    std::fprintf(stderr,
                 "twk-backend: %s\nRun 'twk-backend --help' for usage.\n",
                 options.reason().c_str());
    return kExitUsage;
  }
  if (options->help) {
    std::fputs(twk::core::usage_text(options->command).c_str(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
  }
  if (options->command == twk::core::Command::kInstall) {
    return install(*options);
  }

  const std::string state_dir =
      twk::core::state_dir_path(twk::core::process_env);
  if (options->command == twk::core::Command::kLog) {
    return show_log(*options, state_dir);
  }
  if (options->command == twk::core::Command::kStatus) {
    return show_status(*options, state_dir);
  }
  const bool policy_given = options->policy_file.has_value();
  const std::string policy_path = options->policy_file.value_or(
      twk::sys::join_path(state_dir, "policy.yaml"));
  if (options->command != twk::core::Command::kServe) {
    twk::core::ToolResult result;
    if (options->command == twk::core::Command::kCheck) {
      result = twk::core::check_policy(policy_path, policy_given);
    } else {
      std::string event;
      char buffer[64 * 1024];
      std::size_t n;
      // The limit of a policy request's body: an event larger than that
      // never reaches Core from a hook, and an endless input (/dev/zero)
      // must not grow this process without end.
      while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
        if (event.size() + n > twk::core::kMaxBodyBytes) {
          std::fprintf(stderr,
                       "twk-backend: the event on standard input is larger "
                       "than %llu bytes\n",
                       static_cast<unsigned long long>(
                           twk::core::kMaxBodyBytes));
          return kExitFailure;
        }
        event.append(buffer, n);
      }
      result = twk::core::explain_event(
          policy_path, policy_given, options->project_dir, event,
          twk::core::process_check_facts(state_dir));
    }
    std::fputs(result.out.c_str(), stdout);
    std::fputs(result.err.c_str(), stderr);
    if (std::fflush(stdout) != 0) return kExitFailure;
    return result.status;
  }

  twk::core::ServerConfig config;
  config.host = options->host;
  config.port = options->port;
  config.idle_exit_seconds = options->idle_exit_seconds;
  config.record_path = twk::core::endpoint_file_path(twk::core::process_env);
  config.policy_path = policy_path;
  config.policy_path_given = policy_given;
  config.audit_path = twk::core::audit_log_path(state_dir);
  config.check_facts = twk::core::process_check_facts(state_dir);
  if (twk::Status served = twk::core::serve(config); !served) {
    return fail(served.reason());
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "twk-backend: %s\n", e.what());
    return kExitFailure;
  }
}
