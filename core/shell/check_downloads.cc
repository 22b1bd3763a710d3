// The download-to-shell and unfollowable checks: running a script fetched
// from the network, and text Core could not follow that mentions a
// program another check cares about.
#include <cctype>

#include "shell/checker.h"

namespace twk::core::checks {

// A command that runs code a download tool fetched (see RunCommand's
// runs_download).
void Checker::download_to_shell(const RunCommand& rc) {
  if (rc.runs_download.size()) {
    found(Check::kDownloadToShell, Decision::kAsk,
          code_span(command_text(rc, 3)) + " runs a script downloaded with " +
              rc.runs_download + through(rc) +
              ". Check where it comes from first.");
  }
}

void Checker::unfollowable(const std::string& problem, std::string_view raw) {
  static constexpr std::string_view kWatched[] = {
      "rm",      "git",    "dd",     "mkfs",      "shred", "chmod",
      "chown",   "curl",   "wget",   "find",      "xargs", "kubectl",
      "helm",    "docker", "podman", "terraform", "aws",   "gcloud",
      "az",      "psql",   "mysql",  "redis-cli", "rsync", "rclone",
      "bash",    "sh",     "zsh",    "eval",      "sudo",  "python",
      "python3", "node",   "perl",   "ruby",      "ssh",   "wipefs",
      "dropdb",  "cat",    "cp",     "mv",        "tar",   "base64",
      "source",  "exec",   "env",    "awk",       "gawk",  "mawk",
      "at",      "batch",  "crontab"};
  std::string mentioned;
  if (raw.find(".env") != std::string_view::npos) mentioned = ".env";
  std::size_t i = 0;
  while (i < raw.size() && mentioned.empty()) {
    auto word_char = [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '-' ||
             c == '_' || c == '.';
    };
    while (i < raw.size() && !word_char(raw[i])) ++i;
    std::size_t start = i;
    while (i < raw.size() && word_char(raw[i])) ++i;
    std::string_view w = raw.substr(start, i - start);
    for (std::string_view name : kWatched) {
      if (w == name || (name == "mkfs" && w.starts_with("mkfs."))) {
        mentioned = std::string(w);
        break;
      }
    }
  }
  if (mentioned.empty()) return;
  found(Check::kUnfollowable, Decision::kAsk,
        "Core couldn't follow this command (" + problem + ") and it mentions " +
            code_span(mentioned) + ", so it needs confirmation.");
}

}  // namespace twk::core::checks
