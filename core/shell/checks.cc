// The built-in checks: the table of checks, the public entry points, and
// the checker's core: settings, findings, the dispatch of a call to the
// checks that look at it, and file tools.
#include "shell/checks.h"

#include <algorithm>
#include <span>
#include <unordered_map>

#include "shell/checker.h"
#include "shell/programs.h"

namespace twk::core {
namespace {

struct CheckInfo {
  std::string_view name;
  std::string_view summary;
};

constexpr std::array<CheckInfo, kCheckCount> kChecks = {{
    {"self-protection",
     "changes to Core's state directory, the hook and Core binaries, and "
     "Claude Code's hook settings"},
    {"recursive-delete",
     "deletes outside the project, of the project itself, its .git, or of "
     "what cannot be resolved"},
    {"destructive-git",
     "git commands that throw work away: reset --hard, clean -f, checkout "
     "--, restore, force pushes, branch -D, stash clear"},
    {"secret-files", "reading or copying private keys and credential files"},
    {"env-files", "reading or copying .env files"},
    {"disks", "writing to disks and devices, file systems and volumes"},
    {"permission-sweeps",
     "recursive or world-writable permission and owner changes of system or "
     "home trees, and changes to system files"},
    {"databases", "dropping, truncating or flushing databases"},
    {"containers", "forced removal of containers, images and volumes"},
    {"clusters", "deleting or draining cluster resources"},
    {"cloud", "deleting or destroying cloud resources and secrets"},
    {"sync-delete", "syncs that delete at the destination or the source"},
    {"download-to-shell", "running a script downloaded from the network"},
    {"unfollowable",
     "commands Core cannot follow that name a program another check cares "
     "about"},
}};

}  // namespace

namespace checks {

Checker::Checker(const CheckFacts& facts, const CheckSettings& settings)
    : f_(facts),
      s_(settings),
      prepared_(prepare()),
      secret_dirs_(prepared_->secret_dirs),
      protected_(prepared_->protected_list),
      protected_glob_(prepared_->protected_glob),
      protected_trees_(prepared_->protected_trees),
      protected_pattern_dirs_(prepared_->protected_pattern_dirs),
      protected_names_(prepared_->protected_names),
      ssh_dir_(prepared_->ssh_dir),
      credential_dirs_(prepared_->credential_dirs),
      project_git_(prepared_->project_git),
      project_git_hooks_(prepared_->project_git_hooks),
      project_git_config_(prepared_->project_git_config) {}

// The paths the checks compare with, built only when the facts or the
// settings they come from changed since this thread's last call: building
// them (resolving each path) cost more than most calls' checks.
std::shared_ptr<const Checker::Prepared> Checker::prepare() const {
  thread_local std::shared_ptr<const Prepared> last;
  bool self_protection = runs(Check::kSelfProtection);
  if (last && last->self_protection == self_protection &&
      last->home == f_.home && last->project == f_.project &&
      last->state_dir == f_.state_dir &&
      last->protected_files == f_.protected_files &&
      last->protected_paths == s_.protected_paths) {
    return last;
  }
  last = build_prepared(self_protection);
  return last;
}

std::shared_ptr<const Checker::Prepared> Checker::build_prepared(
    bool self_protection) const {
  auto p = std::make_shared<Prepared>();
  p->home = f_.home;
  p->project = f_.project;
  p->state_dir = f_.state_dir;
  p->protected_files = f_.protected_files;
  p->protected_paths = s_.protected_paths;
  p->self_protection = self_protection;
  if (!f_.home.empty()) {
    for (std::string_view d :
         {"/.ssh", "/.gnupg", "/.aws", "/.password-store", "/.config/gcloud",
          "/.azure", "/.kube", "/.docker"}) {
      p->secret_dirs.push_back(f_.home + std::string(d));
    }
    p->ssh_dir = f_.home + "/.ssh";
    for (std::string_view d : {"/.aws/", "/.kube/", "/.docker/", "/.config/gh/",
                               "/.gnupg/", "/.config/gcloud/"}) {
      p->credential_dirs.push_back(f_.home + std::string(d));
    }
  }
  if (!f_.project.empty()) {
    p->project_git = f_.project + "/.git";
    p->project_git_hooks = p->project_git + "/hooks";
    p->project_git_config = p->project_git + "/config";
  }
  if (!self_protection) return p;
  p->protected_list = protected_list(false);
  for (const std::string& path : p->protected_list) {
    p->protected_glob.push_back(path.find_first_of("*?[") != std::string::npos);
  }
  for (std::string& path : protected_list(true)) {
    if (path.find_first_of("*?[") == std::string::npos) {
      p->protected_trees.push_back(std::move(path));
    }
  }
  if (!f_.project.empty() && f_.project != f_.home) {
    p->protected_pattern_dirs.emplace_back(
        shell::resolve_path("/", f_.project + "/.claude"), "settings*.json");
  }
  for (const std::string& path : p->protected_list) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) continue;
    std::string dir = path.substr(0, slash);
    std::string name = path.substr(slash + 1);
    if (dir.find_first_of("*?[") == std::string::npos &&
        name.find_first_of("*?[") != std::string::npos) {
      p->protected_pattern_dirs.emplace_back(std::move(dir), std::move(name));
    }
  }
  for (const std::string& path : p->protected_list) {
    std::string name = basename_of(path);
    // A glob in the name: any word may match it.
    if (name.empty() || name.find_first_of("*?[") != std::string::npos) {
      p->protected_names.clear();
      break;
    }
    p->protected_names.push_back(name);
  }
  return p;
}

bool Checker::runs(Check c) const {
  const auto& d = s_.decisions[static_cast<std::size_t>(c)];
  if (d) return *d != Decision::kNone;
  return s_.others_run;
}

void Checker::found(Check c, Decision natural, std::string reason) {
  if (!runs(c)) return;
  const auto& d = s_.decisions[static_cast<std::size_t>(c)];
  Decision decision = d ? *d : natural;
  std::optional<Finding>& best =
      c == Check::kSelfProtection ? results_.guard : results_.other;
  if (best && strictness(best->decision) >= strictness(decision)) return;
  best = Finding{c, decision, std::move(reason)};
}

// A Glob pattern, or a Grep's file filter, whose last part can name
// secret files (.env, .env*, *.pem, **/id_rsa, {.env,.env.local}): Grep
// reads what they hold, Glob tells which exist and where. A pattern may
// or may not meet a secret, so both ask.
void Checker::glob_names_secrets(std::string_view tool, const std::string& dir,
                                 std::string_view pattern) {
  std::size_t slash = pattern.rfind('/');
  std::string_view last =
      pattern.substr(slash == std::string_view::npos ? 0 : slash + 1);
  if (last.empty()) return;
  // One level of {a,b} alternatives, each read twice: with every wildcard
  // matching nothing (id_rsa* is id_rsa) and matching a letter (*.pem is
  // x.pem).
  std::vector<std::string> alternatives;
  std::size_t open = last.find('{');
  std::size_t close = open == std::string_view::npos
                          ? std::string_view::npos
                          : last.find('}', open);
  if (close != std::string_view::npos) {
    std::string_view inside = last.substr(open + 1, close - open - 1);
    for (std::size_t from = 0;;) {
      std::size_t comma = inside.find(',', from);
      std::string alt(last.substr(0, open));
      alt += inside.substr(from, comma == std::string_view::npos
                                     ? std::string_view::npos
                                     : comma - from);
      alt += last.substr(close + 1);
      alternatives.push_back(std::move(alt));
      if (comma == std::string_view::npos || alternatives.size() >= 16) break;
      from = comma + 1;
    }
  } else {
    alternatives.emplace_back(last);
  }
  for (const std::string& alt : alternatives) {
    for (std::string_view fill : {"", "x"}) {
      std::string name = pattern_instance(alt, fill);
      if (name.empty()) continue;
      SecretKind kind = secret_kind(dir + "/" + name);
      if (kind == SecretKind::kNone) continue;
      found(kind == SecretKind::kEnv ? Check::kEnvFiles : Check::kSecretFiles,
            Decision::kAsk,
            std::string(tool) + " of " + std::string(pattern) +
                (tool == "Grep" ? " reads" : " looks for") +
                " files that may hold secrets, such as " + name + ".");
      return;
    }
  }
}

void Checker::file_tool(std::string_view tool, const nlohmann::json& input) {
  auto text = [&](const char* key) -> std::string {
    auto it = input.find(key);
    return it != input.end() && it->is_string() ? it->get<std::string>()
                                                : std::string();
  };
  bool writes = has({"Write", "Edit", "MultiEdit", "NotebookEdit"}, tool);
  bool reads =
      has({"Read", "Edit", "MultiEdit", "NotebookEdit", "Write"}, tool);
  std::string file = text("file_path");
  if (file.empty()) file = text("notebook_path");
  if (!file.empty() && (reads || writes)) {
    Word w;
    w.text = file;
    Target t = resolve(w, f_.cwd, f_);
    if (t.kind == Target::kExact) {
      if (writes) {
        write_target(t.path,
                     [&] { return std::string(tool) + " of " + t.path; });
        protect_path(t.path, std::string(tool), "");
        access_grant(t.path, std::string(tool) + " of " + t.path);
      }
      secret_exact(t.path, std::string(tool) + " of " + t.path);
      // A link in the project reads and writes where it leads.
      if (std::optional<std::string> real = link_target(t.path)) {
        std::string said = std::string(tool) + " of " + t.path +
                           " (a link to " + *real + ")";
        if (writes) {
          write_target(*real, [&] { return said; });
          protect_path(t.path, std::string(tool), "");
        }
        secret_exact(*real, said);
      }
      if (!writes && secret_root(t.path)) {
        secret_dir(t.path, std::string(tool) + " of " + t.path);
      }
    }
  }
  if (tool == "Grep" || tool == "Glob") {
    std::string path = text("path");
    std::string dir = path.empty() ? f_.cwd : path;
    Word w;
    w.text = dir;
    Target t = resolve(w, f_.cwd, f_);
    if (t.kind == Target::kExact) {
      if (tool == "Grep") {
        secret_exact(t.path, "Grep in " + t.path);
        if (secret_root(t.path)) secret_dir(t.path, "Grep in " + t.path);
      } else {
        if (secret_directory(t.path)) secret_dir(t.path, "Glob in " + t.path);
      }
      std::string pattern = text(tool == "Glob" ? "pattern" : "glob");
      glob_names_secrets(tool, t.path, pattern);
      if (!pattern.empty() && pattern.find("..") == std::string::npos) {
        Word pw;
        pw.text = pattern.starts_with('/') || pattern.starts_with('~')
                      ? pattern
                      : t.path + "/" + pattern;
        pw.glob = pw.text.find_first_of(kGlobChars) != std::string::npos;
        Target pt = resolve(pw, f_.cwd, f_);
        if (pt.kind != Target::kUnknown) {
          secret_dir(pt.path, std::string(tool) + " of " + pattern);
        }
      }
    }
  }
}

void Checker::commands(const CommandSet& set, std::string_view raw) {
  set_ = &set;
  for (const RunCommand& rc : set.commands) {
    download_to_shell(rc);
    redirects(rc);
    if (rc.program.empty()) {
      unnamed_delete(rc);
      continue;
    }
    std::string_view p = rc.program;
    printed_credentials(rc);
    note_links_made(rc);
    secrets(rc);
    self_protection(rc);
    writes(rc);
    if (p == "git" || p.starts_with("git-")) {
      git(rc);  // reads help and rehearsals per subcommand
      continue;
    }
    // Asking for help or for a rehearsal changes nothing.
    if (only_describes(rc)) continue;
    if (p == "rm" || p == "unlink") {
      rm(rc);
    } else if (p == "tar" || p == "gtar" || p == "bsdtar") {
      tar_removes(rc);
    } else if (p == "find") {
      find(rc);
    } else if (has({"rsync", "rclone", "gsutil", "azcopy", "restic", "borg"},
                   p)) {
      sync(rc);
    }
    unsigned interest = interest_of(p);
    if (interest & kDisks) disks(rc);
    if (interest & kPermissions) permissions(rc);
    if (interest & kDatabases) databases(rc);
    if (interest & kContainers) containers(rc);
    if (interest & kClusters) clusters(rc);
    if (interest & kCloud) cloud(rc);
    if (p == "gpg" || p == "gpg2") gpg_exports(rc);
  }
  set_ = nullptr;
  if (!set.problems.empty()) {
    // Only the line's text before a quote that never closes can name a
    // program: the rest is quoted, and the shell runs none of that line.
    std::size_t quote = set.analyses.empty()
                            ? std::string_view::npos
                            : set.analyses.front().unclosed_quote;
    if (set.problems.size() == 1) raw = raw.substr(0, quote);
    unfollowable(set.problems.front(), raw);
  }
  if (!set.unseen.empty()) {
    found(Check::kUnfollowable, Decision::kAsk,
          "Core can't see the code this command runs (" + set.unseen.front() +
              "), so it needs confirmation.");
  }
}

// True for --help and for dry runs: the command only says what it would
// do. (kubectl's --dry-run=none is a real run, and a later --no-dry-run
// undoes an earlier --dry-run.)
bool Checker::only_describes(const RunCommand& rc) {
  // kubectl's options that take the next word as their value, whatever
  // it is: in kubectl delete ns prod --context --dry-run, --dry-run names
  // a context and the delete is real.
  static const WordSet kKubectlValues = {
      "--cache-dir --context --cluster --kubeconfig --namespace -n --user "
      "--server -s --token --as --as-group --as-uid --raw --selector -l "
      "--output -o --filename -f --timeout --grace-period --request-timeout "
      "--field-selector --template --username --password --profile "
      "--log-file --certificate-authority --client-certificate --client-key "
      "--tls-server-name --profile-output -k --kustomize --field-manager -p "
      "--patch --type --subresource -c --container"};
  bool kube = has({"kubectl", "oc", "k", "microk8s.kubectl"}, rc.program);
  bool dry = false;
  // To kubectl, a word Core can't read may be any option, --dry-run=none
  // included: unquoted, it may split into more words or vanish (then an
  // option before it takes the next word as its value); otherwise only
  // when nothing known starts it or it starts with a dash.
  auto may_be_option = [](const Word& w, bool value) {
    if (!w.unknown && !w.glob) return false;
    if (w.unknown && !w.quoted) return true;
    std::string_view known = w.known_prefix();
    if (value && w.unknown) return false;  // "$F" is one value
    return known.empty() || known.front() == '-';
  };
  bool unread = false;
  for (std::size_t k = 1; k < rc.argv.size(); ++k) {
    const Word& w = rc.argv[k];
    std::string_view t = w.text;
    if (kube && may_be_option(w, false)) unread = true;
    // Every word looked for is an option: others need no comparisons.
    if (t.size() < 2 || t[0] != '-') continue;
    if (t == "--") break;
    if (kube && (t == "--raw" || t.starts_with("--raw="))) {
      // The request goes to that path as it is: no dry run holds it.
      unread = true;
    }
    if (kube && kKubectlValues.contains(t)) {
      ++k;
      if (k < rc.argv.size() && may_be_option(rc.argv[k], true)) unread = true;
      continue;
    }
    if (t == "--help" || t == "-help") return true;
    // -h is help only to the programs whose option parsers say so (not
    // docker's: docker run -h names the container's host), and only as
    // the last word after one that is no option: in git clean -fdx -e -h
    // it is the value of -e, and the clean is real.
    if (t == "-h" && k + 1 == rc.argv.size() &&
        !rc.argv[k - 1].text.starts_with('-') &&
        has({"git", "kubectl", "helm", "gh", "az", "gcloud", "terraform",
             "tofu"},
            rc.program)) {
      return true;
    }
    if (t == "--dry-run" || t == "--dry-run=client" ||
        t == "--dry-run=server" || t == "--dry-run=true" || t == "--dryrun" ||
        t == "--what-if") {
      dry = true;
    } else if (t == "--no-dry-run" || t == "--dry-run=false" ||
               t == "--dry-run=none") {
      dry = false;
    }
  }
  // Database shells have no rehearsal: psql --dry-run -c 'DROP ...' is
  // a word they don't know, not a promise to change nothing.
  if (dry && has({"psql", "mysql", "mariadb", "sqlite3", "mongo", "mongosh",
                  "redis-cli", "valkey-cli", "cqlsh", "clickhouse-client",
                  "sqlcmd", "duckdb"},
                 rc.program)) {
    return false;
  }
  return dry && !unread;
}

unsigned Checker::interest_of(std::string_view program) {
  static const std::unordered_map<std::string_view, unsigned> kTable =
      interest_table();
  if (program.starts_with("mkfs")) return kDisks;
  auto it = kTable.find(program);
  return it == kTable.end() ? 0u : it->second;
}

std::unordered_map<std::string_view, unsigned> Checker::interest_table() {
  struct Interest {
    unsigned check;
    std::string_view programs;  // words_of
  };
  static constexpr Interest kInterests[] = {
      {kDisks, kDiskPrograms},         {kPermissions, kPermissionPrograms},
      {kDatabases, kDatabasePrograms}, {kContainers, kContainerPrograms},
      {kClusters, kClusterPrograms},   {kCloud, kCloudPrograms},
  };
  std::unordered_map<std::string_view, unsigned> t;
  for (const Interest& interest : kInterests) {
    for (std::string_view p : words_of(interest.programs)) {
      t[p] |= interest.check;
    }
  }
  return t;
}

}  // namespace checks

std::string_view check_name(Check check) {
  return kChecks[static_cast<std::size_t>(check)].name;
}

std::optional<Check> check_from_name(std::string_view name) {
  for (std::size_t i = 0; i < kCheckCount; ++i) {
    if (kChecks[i].name == name) return static_cast<Check>(i);
  }
  return std::nullopt;
}

std::string_view check_summary(Check check) {
  return kChecks[static_cast<std::size_t>(check)].summary;
}

std::string expand_home(std::string_view path, std::string_view home) {
  if (home.empty()) return std::string(path);
  if (path == "~") return std::string(home);
  if (path.starts_with("~/")) {
    std::string out(home);
    out += path.substr(1);
    return out;
  }
  return std::string(path);
}

BashAnalysis analyze_bash(std::string_view command, const CheckFacts& facts) {
  FollowFacts ff;
  ff.cwd = facts.cwd;
  ff.home = facts.home;
  ff.tmpdir = facts.tmpdir;
  return BashAnalysis{follow(command, ff)};
}

CheckResults run_checks(std::string_view tool, const nlohmann::json* input,
                        const BashAnalysis* bash, const CheckFacts& facts,
                        const CheckSettings& settings) {
  checks::Checker checker(facts, settings);
  if (input == nullptr || !input->is_object()) return {};
  if (tool == "Bash" && bash != nullptr) {
    std::string_view raw;
    auto it = input->find("command");
    if (it != input->end() && it->is_string()) {
      raw = it->get_ref<const std::string&>();
    }
    checker.commands(bash->commands, raw);
  } else {
    checker.file_tool(tool, *input);
  }
  return checker.result();
}

std::vector<std::string> describe_commands(const BashAnalysis& bash) {
  std::vector<std::string> out;
  for (const RunCommand& rc : bash.commands.commands) {
    std::string line = checks::command_text(rc, 16);
    std::string notes;
    auto note = [&](std::string_view n) {
      notes += notes.empty() ? " (" : ", ";
      notes += n;
    };
    if (!rc.via.empty()) note("through " + rc.via);
    if (rc.elevated) note("as root");
    if (rc.remote) note("on another machine");
    if (!rc.cwd.empty()) note("in " + rc.cwd);
    if (!rc.runs_download.empty()) note("runs a download");
    if (!notes.empty()) notes += ')';
    out.push_back(line + notes);
    if (out.size() >= 64) break;
  }
  for (const std::string& p : bash.commands.problems) {
    out.push_back("couldn't follow: " + p);
  }
  return out;
}

}  // namespace twk::core
