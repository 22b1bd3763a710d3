// The built-in checks.
#include "checks.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <unordered_map>
#include <unordered_set>

namespace twk::core {
namespace {

using shell::Word;

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
     "home trees"},
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

bool has(std::initializer_list<std::string_view> list, std::string_view s) {
  return std::find(list.begin(), list.end(), s) != list.end();
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// Path relations, on normalised absolute paths.
bool within(std::string_view path, std::string_view dir) {
  if (dir.empty() || path.empty()) return false;
  if (dir == "/") return path.starts_with('/');
  return path == dir || (path.starts_with(dir) && path.size() > dir.size() &&
                         path[dir.size()] == '/');
}
bool below(std::string_view path, std::string_view dir) {
  return path != dir && within(path, dir);
}

std::string basename_of(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path
                                                     : path.substr(slash + 1));
}

std::string display(const Word& w) {
  std::string out;
  for (char c : w.text) {
    if (c == shell::kUnknown) {
      out += "…";
    } else {
      out += c;
    }
  }
  return out;
}

std::string command_text(const RunCommand& rc, std::size_t max_words = 8) {
  std::string out;
  for (std::size_t k = 0; k < rc.argv.size() && k < max_words; ++k) {
    if (k > 0) out += ' ';
    out += display(rc.argv[k]);
  }
  if (rc.argv.size() > max_words) out += " …";
  if (out.size() > 160) out = out.substr(0, 157) + "…";
  return out;
}

std::string code_span(std::string_view s) {
  std::string out = "`";
  out += s;
  out += '`';
  return out;
}

// Where a command was reached from, for reasons: " (through bash -c)".
std::string through(const RunCommand& rc) {
  if (rc.via.empty()) return {};
  return " (through " + rc.via + ")";
}

// What a word names as a path.
struct Target {
  enum Kind { kExact, kBelow, kUnknown } kind = kUnknown;
  std::string path;       // kExact: the path; kBelow: the directory
  bool wild_top = false;  // kBelow: its first component is wholly open
};

const char* const kGlobChars = "*?[{";

Target resolve(const Word& w, const std::string& cwd, const CheckFacts& f) {
  Target t;
  std::string expanded;
  std::string_view text = w.text;
  if ((text == "~" || text.starts_with("~/")) && !f.home.empty()) {
    expanded = f.home;
    expanded += text.substr(1);
    text = expanded;
  }
  bool open = w.unknown || w.glob;
  if (!open) {
    t.path = shell::resolve_path(cwd, text);
    t.kind = t.path.empty() ? Target::kUnknown : Target::kExact;
    return t;
  }
  std::size_t cut = text.find(shell::kUnknown);
  if (w.glob) cut = std::min(cut, text.find_first_of(kGlobChars));
  if (cut == std::string_view::npos) cut = text.size();
  if (cut == 0 && !text.empty() && text[0] == shell::kUnknown) {
    return t;  // wholly unknown
  }
  std::string_view rest = std::string_view(text).substr(cut);
  // A ".." after the open part (/tmp/$X/.., /tmp/{a,../etc}) may lead
  // anywhere.
  if (rest.find("..") != std::string_view::npos) return t;
  std::string_view prefix = std::string_view(text).substr(0, cut);
  std::size_t slash = prefix.rfind('/');
  std::string dir = slash == std::string_view::npos
                        ? std::string()
                        : std::string(prefix.substr(0, slash + 1));
  // Open from the first character of a name (*, .*): it can be any entry,
  // .git included.
  std::string_view name =
      slash == std::string_view::npos ? prefix : prefix.substr(slash + 1);
  t.wild_top = name.empty() || name == ".";
  t.path = dir.empty() ? (cwd.empty() ? std::string() : cwd)
                       : shell::resolve_path(cwd, dir);
  t.kind = t.path.empty() ? Target::kUnknown : Target::kBelow;
  return t;
}

bool matches_pattern(std::string_view path, const std::string& pattern,
                     const CheckFacts& f) {
  std::string p = expand_home(pattern, f.home);
  while (p.ends_with("/**")) p.resize(p.size() - 3);
  if (p.empty()) return false;
  if (p.find_first_of("*?[") == std::string::npos) {
    return within(path, shell::resolve_path("/", p));
  }
  std::string s(path);
  if (fnmatch(p.c_str(), s.c_str(), 0) == 0) return true;
  // A pattern also covers what is below what it matches.
  for (std::size_t k = s.size(); k-- > 1;) {
    if (s[k] == '/' && fnmatch(p.c_str(), s.substr(0, k).c_str(), 0) == 0) {
      return true;
    }
  }
  return false;
}

bool matches_any(std::string_view path, const std::vector<std::string>& list,
                 const CheckFacts& f) {
  for (const std::string& p : list) {
    if (matches_pattern(path, p, f)) return true;
  }
  return false;
}

bool in_temp(std::string_view path, const CheckFacts& f, bool strictly) {
  for (std::string_view t : {"/tmp", "/var/tmp", "/dev/shm"}) {
    if (strictly ? below(path, t) : within(path, t)) return true;
  }
  // TMPDIR is absolute and normalised where the facts are gathered.
  if (!f.tmpdir.empty() && f.tmpdir != "/") {
    return strictly ? below(path, f.tmpdir) : within(path, f.tmpdir);
  }
  return false;
}

constexpr std::array<std::string_view, 19> kSystemDirs = {
    "/etc",  "/usr",  "/bin",  "/sbin",   "/lib",  "/lib32", "/lib64",
    "/boot", "/var",  "/opt",  "/root",   "/srv",  "/sys",   "/proc",
    "/dev",  "/home", "/snap", "/System", "/Users"};

bool in_system(std::string_view path) {
  if (path == "/") return true;
  for (std::string_view d : kSystemDirs) {
    if (within(path, d)) return true;
  }
  return false;
}

// The options of a command as a set of flags: short clusters and long
// names, up to "--".
struct Options {
  std::string shorts;                 // every short option letter seen
  std::vector<std::string> longs;     // long options, without any "=value"
  std::vector<std::size_t> operands;  // indexes of the other words

  bool short_has(char c) const { return shorts.find(c) != std::string::npos; }
  bool long_has(std::string_view name) const {
    return std::find(longs.begin(), longs.end(), name) != longs.end();
  }
  // A long option given by an unambiguous prefix of `name` among `known`.
  bool long_abbrev(std::string_view name,
                   std::initializer_list<std::string_view> known) const {
    for (const std::string& l : longs) {
      if (l.size() < 3 || !name.starts_with(l)) continue;
      int hits = 0;
      for (std::string_view k : known) hits += k.starts_with(l) ? 1 : 0;
      if (l == name || hits <= 1) return true;
    }
    return false;
  }
};

// `with_value`: short options whose value is the next word.
Options options_of(
    const std::vector<Word>& argv, std::size_t from,
    std::string_view with_value = "",
    std::initializer_list<std::string_view> long_with_value = {}) {
  Options o;
  bool ended = false;
  for (std::size_t k = from; k < argv.size(); ++k) {
    const std::string& t = argv[k].text;
    if (ended || argv[k].unknown || t.size() < 2 || t[0] != '-') {
      o.operands.push_back(k);
      continue;
    }
    if (t == "--") {
      ended = true;
      continue;
    }
    if (t[1] == '-') {
      std::size_t eq = t.find('=');
      std::string name = t.substr(0, eq);
      o.longs.push_back(name);
      if (eq == std::string::npos && has(long_with_value, name)) ++k;
      continue;
    }
    for (std::size_t c = 1; c < t.size(); ++c) {
      o.shorts += t[c];
      if (with_value.find(t[c]) != std::string_view::npos) {
        if (c + 1 == t.size()) ++k;
        break;
      }
    }
  }
  return o;
}

class Checker {
 public:
  Checker(const CheckFacts& facts, const CheckSettings& settings)
      : f_(facts), s_(settings) {
    if (!f_.home.empty()) {
      for (std::string_view d :
           {"/.ssh", "/.gnupg", "/.aws", "/.password-store", "/.config/gcloud",
            "/.azure", "/.kube", "/.docker"}) {
        secret_dirs_.push_back(f_.home + std::string(d));
      }
    }
    if (runs(Check::kSelfProtection)) {
      protected_ = protected_list(false);
      for (const std::string& p : protected_) {
        protected_glob_.push_back(p.find_first_of("*?[") != std::string::npos);
      }
      for (std::string& p : protected_list(true)) {
        if (p.find_first_of("*?[") == std::string::npos) {
          protected_trees_.push_back(std::move(p));
        }
      }
      for (const std::string& p : protected_) {
        std::string name = basename_of(p);
        // A glob in the name: any word may match it.
        if (name.empty() || name.find_first_of("*?[") != std::string::npos) {
          protected_names_.clear();
          break;
        }
        protected_names_.push_back(name);
      }
    }
  }

  CheckResults result() const { return results_; }

  bool runs(Check c) const {
    const auto& d = s_.decisions[static_cast<std::size_t>(c)];
    if (d) return *d != Decision::kNone;
    return s_.others_run;
  }

  void found(Check c, Decision natural, std::string reason) {
    if (!runs(c)) return;
    const auto& d = s_.decisions[static_cast<std::size_t>(c)];
    Decision decision = d ? *d : natural;
    std::optional<Finding>& best =
        c == Check::kSelfProtection ? results_.guard : results_.other;
    if (best && strictness(best->decision) >= strictness(decision)) return;
    best = Finding{c, decision, std::move(reason)};
  }

  // --------------------------------------------------------- file tools

  void file_tool(std::string_view tool, const nlohmann::json& input) {
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

  // --------------------------------------------------------- commands

  void commands(const CommandSet& set, std::string_view raw) {
    for (const RunCommand& rc : set.commands) {
      if (rc.runs_download.size()) {
        found(Check::kDownloadToShell, Decision::kAsk,
              code_span(command_text(rc, 3)) +
                  " runs a script downloaded with " + rc.runs_download +
                  through(rc) + ". Check where it comes from first.");
      }
      redirects(rc);
      if (rc.program.empty()) continue;
      const std::string& p = rc.program;
      secrets(rc);
      self_protection(rc);
      writes(rc);
      // Asking for help or for a rehearsal changes nothing.
      if (only_describes(rc)) continue;
      if (p == "rm" || p == "unlink") {
        rm(rc);
      } else if (p == "find") {
        find(rc);
      } else if (p == "git" || p.starts_with("git-")) {
        git(rc);
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
      if (p == "gpg" || p == "gpg2") {
        for (const Word& w : rc.argv) {
          if (w.text.starts_with("--export-secret")) {
            found(Check::kSecretFiles, Decision::kDeny,
                  code_span(command_text(rc)) + through(rc) +
                      " exports private keys.");
          }
        }
      }
    }
    if (!set.problems.empty()) unfollowable(set.problems.front(), raw);
  }

 private:
  // True for --help and for dry runs: the command only says what it would
  // do. (kubectl's --dry-run=none is a real run.)
  static bool only_describes(const RunCommand& rc) {
    for (std::size_t k = 1; k < rc.argv.size(); ++k) {
      const std::string& t = rc.argv[k].text;
      if (t == "--") break;
      if (t == "--help" || t == "-help") return true;
      if (t == "--dry-run" || t == "--dry-run=client" ||
          t == "--dry-run=server" || t == "--dry-run=true" || t == "--dryrun" ||
          t == "--what-if") {
        return true;
      }
    }
    return false;
  }

  // Which of the program-specific checks look at a program.
  enum Interest : unsigned {
    kDisks = 1,
    kPermissions = 2,
    kDatabases = 4,
    kContainers = 8,
    kClusters = 16,
    kCloud = 32,
  };
  static unsigned interest_of(std::string_view program) {
    static const std::unordered_map<std::string_view, unsigned> kTable = [] {
      std::unordered_map<std::string_view, unsigned> t;
      for (std::string_view p :
           {"dd",        "mke2fs",   "mkswap",     "mkdosfs",    "mkntfs",
            "mkexfatfs", "wipefs",   "blkdiscard", "sgdisk",     "sfdisk",
            "shred",     "fdisk",    "parted",     "gdisk",      "lvremove",
            "vgremove",  "pvremove", "lvreduce",   "vgreduce",   "dmsetup",
            "btrfs",     "zfs",      "zpool",      "cryptsetup", "mdadm",
            "diskutil"}) {
        t[p] |= kDisks;
      }
      for (std::string_view p : {"chmod", "chown", "chgrp", "setfacl"}) {
        t[p] |= kPermissions;
      }
      for (std::string_view p : {"dropdb",
                                 "mysqladmin",
                                 "redis-cli",
                                 "valkey-cli",
                                 "keydb-cli",
                                 "psql",
                                 "mysql",
                                 "mariadb",
                                 "sqlite3",
                                 "sqlite",
                                 "clickhouse-client",
                                 "clickhouse",
                                 "cockroach",
                                 "mongo",
                                 "mongosh",
                                 "cqlsh",
                                 "duckdb",
                                 "sqlcmd",
                                 "prisma",
                                 "rails",
                                 "rake",
                                 "sequelize",
                                 "sequelize-cli",
                                 "typeorm",
                                 "knex",
                                 "python",
                                 "python3",
                                 "php",
                                 "artisan",
                                 "npx",
                                 "dotnet",
                                 "flask",
                                 "alembic",
                                 "kafka-topics",
                                 "kafka-topics.sh",
                                 "kafka-consumer-groups",
                                 "kafka-consumer-groups.sh",
                                 "rabbitmqctl",
                                 "rabbitmqadmin",
                                 "nats"}) {
        t[p] |= kDatabases;
      }
      for (std::string_view p :
           {"docker", "podman", "nerdctl", "docker-compose"}) {
        t[p] |= kContainers;
      }
      for (std::string_view p :
           {"kubectl", "oc", "k", "microk8s.kubectl", "helm"}) {
        t[p] |= kClusters;
      }
      for (std::string_view p :
           {"aws",        "gcloud",     "az",       "doctl",    "hcloud",
            "linode-cli", "scw",        "oci",      "ibmcloud", "gsutil",
            "flyctl",     "fly",        "heroku",   "firebase", "vercel",
            "netlify",    "wrangler",   "supabase", "gh",       "terraform",
            "tofu",       "terragrunt", "pulumi",   "cdk",      "cdktf",
            "vault",      "curl",       "wget",     "http",     "https",
            "xh",         "op",         "doppler",  "velero",   "gitlab-runner",
            "circleci"}) {
        t[p] |= kCloud;
      }
      return t;
    }();
    if (program.starts_with("mkfs")) return kDisks;
    auto it = kTable.find(program);
    return it == kTable.end() ? 0u : it->second;
  }

  // --------------------------------------------------------- deletes

  // What deleting `t` means; `recursive` for trees. `filtered`: only some
  // entries below it go (find with tests).
  void judge_delete(const RunCommand& rc, const Target& t, bool recursive,
                    const std::string& shown) {
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    if (rc.remote) {
      if (!recursive) return;
      // A relative path in a container is in its working directory,
      // which lives and dies with the container.
      if (rc.container && t.kind == Target::kUnknown && shown.find('/') != 0 &&
          !shown.starts_with("~") && shown.find("..") == std::string::npos &&
          shown.find("…") == std::string::npos) {
        return;
      }
      if (t.kind == Target::kExact && (t.path == "/" || in_system(t.path))) {
        found(Check::kRecursiveDelete, Decision::kDeny,
              said() + " deletes " + t.path + " on another machine.");
      } else {
        found(Check::kRecursiveDelete, Decision::kAsk,
              said() + " deletes " + shown + " on another machine.");
      }
      return;
    }
    if (t.kind == Target::kUnknown) {
      if (recursive) {
        found(Check::kRecursiveDelete, Decision::kAsk,
              said() + " deletes " + shown +
                  ", which Core can't resolve before it runs.");
      }
      return;
    }
    const std::string& p = t.path;
    const std::string& proj = f_.project;
    bool exact = t.kind == Target::kExact;
    // The home directory and what holds it, wherever it is (a home under
    // /tmp is still a home).
    if (exact && !f_.home.empty() && within(f_.home, p) && p != "/") {
      found(Check::kRecursiveDelete,
            recursive ? Decision::kDeny : Decision::kAsk,
            said() + " deletes " +
                (p == f_.home ? "the home directory " + p
                              : p + ", which holds the home directory") +
                ".");
      return;
    }
    if (matches_any(p, s_.deletable_paths, f_)) return;
    // Caches are there to be thrown away and made again.
    if (!f_.home.empty() && below(p, f_.home + "/.cache")) return;
    // A temporary directory is scratch space, unless the home or the
    // project is in it: then their rules apply.
    bool guarded =
        (!proj.empty() && (within(p, proj) || (exact && within(proj, p)))) ||
        (!f_.home.empty() && within(p, f_.home));
    if (!guarded && (exact ? in_temp(p, f_, true) : in_temp(p, f_, false))) {
      return;
    }
    if (exact && p == "/") {
      if (recursive) {
        found(Check::kRecursiveDelete, Decision::kDeny,
              said() + " deletes the root directory.");
      }
      return;
    }
    if (exact && recursive &&
        (p == "/tmp" || p == "/var/tmp" || p == "/dev/shm" || p == f_.tmpdir)) {
      found(Check::kRecursiveDelete, Decision::kAsk,
            said() + " empties the temporary directory " + p +
                ", which other programs use too.");
      return;
    }
    if (!proj.empty() && exact && below(proj, p)) {
      found(
          Check::kRecursiveDelete, Decision::kDeny,
          said() + " deletes " + p + ", which holds the project " + proj + ".");
      return;
    }
    if (!proj.empty() && within(p, proj)) {
      std::string git = proj + "/.git";
      // Lock files and messages in .git are git's own scratch; the
      // directory itself and trees in it are the history.
      if (within(p, git) && (recursive || p == git || !exact)) {
        found(Check::kRecursiveDelete, Decision::kAsk,
              said() + " deletes the project's git data in " + p + ".");
        return;
      }
      if (within(p, git)) return;
      if (p == proj && (exact || (recursive && t.wild_top))) {
        if (recursive) {
          found(Check::kRecursiveDelete, Decision::kAsk,
                said() + " deletes " +
                    (exact ? "the whole project " + p
                           : "everything in the project " + p) +
                    ".");
        }
        return;
      }
      return;  // inside the project: everyday work
    }
    std::string where = p;
    if (!exact) where = "files in " + p;
    if (!f_.home.empty() && p == f_.home) where = "the home directory " + p;
    if (recursive) {
      found(Check::kRecursiveDelete, Decision::kDeny,
            said() + " deletes " + where + ", outside the project.");
      return;
    }
    // One file outside the project: worth a question where files matter
    // (system directories, the home's own dot-files), not elsewhere.
    bool home_level =
        !f_.home.empty() && below(p, f_.home) &&
        std::string_view(p).substr(f_.home.size() + 1).find('/') ==
            std::string_view::npos;
    bool system = in_system(p) && !(!f_.home.empty() && within(p, f_.home));
    if (home_level || system || !exact) {
      found(Check::kRecursiveDelete, Decision::kAsk,
            said() + " deletes " + where + ", outside the project.");
    }
  }

  void rm(const RunCommand& rc) {
    Options o = options_of(rc.argv, 1);
    bool recursive = o.short_has('r') || o.short_has('R') ||
                     o.long_abbrev("--recursive", {"--recursive"});
    if (rc.program == "unlink") recursive = false;
    for (std::size_t k : o.operands) {
      const Word& w = rc.argv[k];
      if (w.text.find("{}") != std::string::npos &&
          !rc.placeholder_roots.empty()) {
        // find selects by name: only entries of that name go, and the
        // project's .git only if the name could be it.
        bool named = !rc.placeholder_names.empty();
        // find goes into .git too: a name that git's own entries can have
        // reaches them.
        for (const std::string& n : rc.placeholder_names) {
          if (n.empty()) named = false;
          for (const char* git_entry :
               {".git", "hooks", "objects", "refs", "config", "HEAD", "index",
                "logs", "info", "packed-refs", "description", "x.sample",
                "pack-x.pack", "pack-x.idx", "ORIG_HEAD", "FETCH_HEAD"}) {
            if (fnmatch(n.c_str(), git_entry, 0) == 0) named = false;
          }
        }
        for (const Word& root : rc.placeholder_roots) {
          Target t = resolve(root, rc.cwd, f_);
          if (t.kind == Target::kExact) {
            t.kind = Target::kBelow;
            t.wild_top = !named;
          }
          // Every file find comes to, unnamed, goes: as good as a tree.
          judge_delete(rc, t, recursive || !named,
                       "what find selects in " + display(root));
        }
        continue;
      }
      Target t = resolve(w, rc.cwd, f_);
      // Paths fed by xargs or parallel that Core can't see: a bulk delete.
      bool fed = rc.via.find("xargs") != std::string::npos ||
                 rc.via.find("parallel") != std::string::npos;
      judge_delete(rc, t, recursive || (fed && t.kind == Target::kUnknown),
                   display(w));
      if (t.kind == Target::kExact &&
          secret_kind(t.path) == SecretKind::kSecret) {
        found(Check::kSecretFiles, Decision::kAsk,
              code_span(command_text(rc)) + through(rc) + " deletes " + t.path +
                  ", a key or credentials that may exist nowhere else.");
      }
    }
  }

  // True when find's expression holds the -delete action (and not, say,
  // a file named "-delete" after -name).
  static bool find_deletes(const RunCommand& rc) {
    bool in_expression = false;
    for (std::size_t k = 1; k < rc.argv.size(); ++k) {
      const std::string& t = rc.argv[k].text;
      if (!in_expression && !t.starts_with('-') && t != "(" && t != "!") {
        continue;  // a starting point
      }
      in_expression = true;
      if (t == "-delete") return true;
      if (t == "-exec" || t == "-execdir" || t == "-ok" || t == "-okdir") {
        while (k + 1 < rc.argv.size() && rc.argv[k + 1].text != ";" &&
               rc.argv[k + 1].text != "+") {
          ++k;
        }
        ++k;
        continue;
      }
      if (t.starts_with('-') &&
          !has({"-print",  "-print0",   "-ls",       "-prune",
                "-quit",   "-depth",    "-empty",    "-true",
                "-false",  "-readable", "-writable", "-executable",
                "-nouser", "-nogroup",  "-xdev",     "-mount",
                "-follow", "-daystart", "-noleaf",   "-ignore_readdir_race",
                "-not",    "-and",      "-or",       "-a",
                "-o",      "-H",        "-L",        "-P"},
               t)) {
        ++k;  // a test or option with a value
      }
    }
    return false;
  }

  void find(const RunCommand& rc) {
    if (!find_deletes(rc)) return;
    bool follows_links = false;
    for (const Word& w : rc.argv)
      follows_links = follows_links || w.text == "-L";
    if (follows_links) {
      found(Check::kRecursiveDelete, Decision::kAsk,
            code_span(command_text(rc)) + through(rc) +
                " follows symbolic links, so it can delete outside where it "
                "starts.");
    }
    std::vector<Word> roots;
    for (std::size_t k = 1; k < rc.argv.size(); ++k) {
      const Word& w = rc.argv[k];
      if (w.text.starts_with('-') || w.text == "(" || w.text == "!") {
        if (w.text == "-H" || w.text == "-L" || w.text == "-P") continue;
        break;
      }
      roots.push_back(w);
    }
    if (roots.empty()) {
      Word dot;
      dot.text = ".";
      roots.push_back(dot);
    }
    for (const Word& root : roots) {
      Target t = resolve(root, rc.cwd, f_);
      bool selects =
          std::any_of(rc.argv.begin(), rc.argv.end(), [](const Word& w) {
            return has({"-name", "-iname", "-path", "-ipath", "-type", "-empty",
                        "-mtime", "-mmin", "-newer", "-size", "-user", "-regex",
                        "-atime", "-ctime", "-perm"},
                       w.text);
          });
      if (!selects && t.kind == Target::kExact &&
          (t.path == "/tmp" || t.path == "/var/tmp" || t.path == "/dev/shm" ||
           t.path == f_.tmpdir)) {
        found(Check::kRecursiveDelete, Decision::kAsk,
              code_span(command_text(rc)) + through(rc) +
                  " empties the temporary directory " + t.path +
                  ", which other programs use too.");
        continue;
      }
      if (t.kind == Target::kExact) {
        t.kind = Target::kBelow;
        t.wild_top = true;
      }
      judge_delete(rc, t, true, "what find selects in " + display(root));
    }
  }

  // --------------------------------------------------------- git

  void git(const RunCommand& rc) {
    // git-reset, /usr/lib/git-core/git-clean: the builtins by their own name.
    std::vector<Word> dashed;
    if (rc.program.starts_with("git-")) {
      Word g, sub;
      g.text = "git";
      sub.text = rc.program.substr(4);
      dashed = {g, sub};
      dashed.insert(dashed.end(), rc.argv.begin() + 1, rc.argv.end());
    }
    const std::vector<Word>& a = dashed.empty() ? rc.argv : dashed;
    std::size_t k = 1;
    std::vector<std::pair<std::string, std::string>> aliases;
    while (k < a.size() && a[k].text.starts_with('-')) {
      const std::string& t = a[k].text;
      if (t == "-C" || t == "-c" || t == "--git-dir" || t == "--work-tree" ||
          t == "--namespace" || t == "--exec-path" || t == "--config-env") {
        if (t == "-c" && k + 1 < a.size()) {
          const std::string& kv = a[k + 1].text;
          if (kv.starts_with("alias.")) {
            std::size_t eq = kv.find('=');
            if (eq != std::string::npos) {
              aliases.emplace_back(lower(kv.substr(6, eq - 6)),
                                   kv.substr(eq + 1));
            }
          }
        }
        k += 2;
        continue;
      }
      ++k;
    }
    if (k >= a.size()) return;
    std::vector<Word> args(a.begin() + static_cast<long>(k), a.end());
    for (const auto& [name, value] : aliases) {
      if (args[0].text != name) continue;
      if (value.starts_with('!')) {
        found(Check::kDestructiveGit, Decision::kAsk,
              code_span(command_text(rc)) +
                  " runs a git alias that is a shell "
                  "command" +
                  through(rc) + ".");
        return;
      }
      std::vector<Word> expanded;
      for (const std::string& part : shell::split_fields(value)) {
        Word w;
        w.text = part;
        expanded.push_back(w);
      }
      if (expanded.empty()) break;
      args.erase(args.begin());
      args.insert(args.begin(), expanded.begin(), expanded.end());
      break;
    }
    const std::string& sub = args[0].text;
    // Options whose value may be attached (-bNAME, -cNAME).
    std::string_view with_value = sub == "switch"     ? "cC"
                                  : sub == "checkout" ? "bB"
                                                      : "";
    Options o = options_of(args, 1, with_value);
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    auto ask = [&](std::string why) {
      found(Check::kDestructiveGit, Decision::kAsk, said() + " " + why);
    };
    auto operand_count = [&]() { return o.operands.size(); };
    if (sub == "reset") {
      if (o.long_abbrev("--hard", {"--hard", "--soft", "--mixed", "--merge",
                                   "--keep", "--help"}) ||
          o.long_abbrev("--merge", {"--hard", "--soft", "--mixed", "--merge",
                                    "--keep", "--help"})) {
        ask("throws away uncommitted changes.");
      }
    } else if (sub == "rm") {
      bool cached = o.long_has("--cached");
      bool dry = o.short_has('n') || o.long_has("--dry-run");
      if (!cached && !dry &&
          (o.short_has('f') || o.long_has("--force") || o.short_has('r'))) {
        ask("deletes files from the work tree, changes included.");
      }
    } else if (sub == "read-tree") {
      if (o.long_has("--reset") || o.short_has('u')) {
        ask("overwrites the work tree.");
      }
    } else if (sub == "clean") {
      bool force = o.short_has('f') || o.long_abbrev("--force", {"--force"});
      bool dry = o.short_has('n') || o.long_abbrev("--dry-run", {"--dry-run"});
      if (force && !dry) ask("deletes untracked files.");
    } else if (sub == "checkout") {
      bool force = o.short_has('f') || o.long_has("--force");
      bool dashdash = false;
      for (std::size_t m = 1; m < args.size(); ++m) {
        if (args[m].text == "--" && m + 1 < args.size()) dashdash = true;
      }
      bool dot = false;
      for (std::size_t idx : o.operands) {
        const std::string& t = args[idx].text;
        dot = dot || t == "." || t == "./" || t == ":/" || args[idx].glob;
      }
      bool creates =
          o.short_has('b') || o.short_has('B') || o.long_has("--orphan");
      // checkout TREE-ISH PATH...: the paths come back as they were there.
      bool paths = !creates && o.operands.size() >= 2;
      for (std::size_t idx : o.operands) {
        const std::string& t = args[idx].text;
        paths = paths ||
                (!creates && (t.starts_with("./") || t.starts_with("../")));
      }
      for (const std::string& l : o.longs) {
        paths = paths || l == "--pathspec-from-file";
      }
      if (force || (!creates && (dashdash || dot || paths))) {
        ask("throws away uncommitted changes to files.");
      }
    } else if (sub == "restore") {
      bool staged = o.short_has('S') || o.long_abbrev("--staged", {"--staged"});
      bool worktree =
          o.short_has('W') || o.long_abbrev("--worktree", {"--worktree"});
      if ((!staged || worktree) && operand_count() > 0) {
        ask("throws away uncommitted changes to files.");
      }
    } else if (sub == "switch") {
      if (o.short_has('f') || o.long_has("--force") ||
          o.long_abbrev("--discard-changes",
                        {"--discard-changes", "--detach"})) {
        ask("throws away uncommitted changes.");
      }
    } else if (sub == "branch") {
      bool del = o.short_has('d') || o.long_has("--delete");
      bool force =
          o.short_has('f') || o.long_abbrev("--force", {"--force", "--format"});
      if (o.short_has('D') || (del && force)) {
        ask("deletes a branch even if it isn't merged.");
      } else if (o.short_has('M') || o.short_has('C') || (force && !del)) {
        ask("overwrites an existing branch.");
      }
    } else if (sub == "stash") {
      if (args.size() > 1 &&
          (args[1].text == "clear" || args[1].text == "drop")) {
        ask("deletes stashed changes.");
      }
    } else if (sub == "push") {
      bool force = o.short_has('f') || o.long_has("--force");
      for (std::size_t idx : o.operands) {
        force = force || args[idx].text.starts_with('+');
      }
      bool del = o.short_has('d') || o.long_has("--delete") ||
                 o.long_has("--mirror") || o.long_has("--prune");
      for (std::size_t n = 1; n < o.operands.size(); ++n) {
        del = del || args[o.operands[n]].text.starts_with(':');
      }
      if (force) {
        ask("can overwrite commits on the remote.");
      } else if (del) {
        ask("deletes branches or tags on the remote.");
      }
    } else if (sub == "merge") {
      if (o.long_has("--abort")) ask("throws away the merge in progress.");
    } else if (sub == "reflog") {
      bool now = false;
      for (const Word& w : args) {
        now = now || w.text.starts_with("--expire=now") ||
              w.text.starts_with("--expire=all") ||
              w.text.starts_with("--expire-unreachable=now");
      }
      if (args.size() > 1 &&
          (args[1].text == "delete" || (args[1].text == "expire" && now))) {
        ask("deletes reflog entries, the way back to lost commits.");
      }
    } else if (sub == "gc" || sub == "prune") {
      for (const Word& w : args) {
        if (w.text == "--prune=now" || w.text == "--prune=all" ||
            w.text == "--expire=now") {
          ask("deletes unreachable commits at once.");
          break;
        }
      }
    } else if (sub == "filter-branch" || sub == "filter-repo") {
      ask("rewrites the repository's history.");
    } else if (sub == "update-ref") {
      if (o.short_has('d') || o.long_has("--delete")) ask("deletes a ref.");
    } else if (sub == "worktree") {
      if (args.size() > 1 && args[1].text == "remove" &&
          (o.short_has('f') || o.long_has("--force"))) {
        ask("removes a worktree with its uncommitted changes.");
      }
    }
  }

  // --------------------------------------------------------- secrets

  enum class SecretKind { kNone, kEnv, kSecret };

  SecretKind secret_kind(std::string_view path) const {
    if (!s_.secret_paths.empty() && matches_any(path, s_.secret_paths, f_)) {
      return SecretKind::kSecret;
    }
    std::string_view b = path.substr(path.rfind('/') + 1);
    if (b.empty() || b.ends_with(".pub")) return SecretKind::kNone;
    if (path.starts_with("/etc/")) {
      bool system = has({"/etc/shadow", "/etc/gshadow", "/etc/shadow-",
                         "/etc/gshadow-", "/etc/sudoers", "/etc/master.passwd"},
                        path) ||
                    path.starts_with("/etc/sudoers.d/") ||
                    path.starts_with("/etc/ssh/ssh_host_");
      if (system) return SecretKind::kSecret;
    }
    // Below the home's dot-directories.
    if (!f_.home.empty() && path.size() > f_.home.size() + 1 &&
        path[f_.home.size() + 1] == '.' && below(path, f_.home)) {
      std::string_view rel = path.substr(f_.home.size() + 1);
      if (rel.starts_with(".kube/config") ||
          rel.starts_with(".aws/credentials") ||
          rel == ".claude/.credentials.json" || rel == ".codex/auth.json" ||
          rel.starts_with(".config/gcloud/") || rel == ".git-credentials") {
        return SecretKind::kSecret;
      }
      if (has({".npmrc", ".pypirc", ".docker/config.json", ".kube/config",
               ".config/gh/hosts.yml", ".aws/credentials", ".config/hub",
               ".terraform.d/credentials.tfrc.json", ".cargo/credentials",
               ".cargo/credentials.toml", ".gem/credentials",
               ".config/gcloud/credentials.db",
               ".config/gcloud/access_tokens.db",
               ".config/gcloud/application_default_credentials.json"},
              rel)) {
        return SecretKind::kSecret;
      }
      for (std::string_view dir :
           {".ssh/", ".gnupg/", ".password-store/", ".aws/sso/",
            ".aws/cli/cache/", ".azure/", ".config/gcloud/legacy_credentials/",
            ".local/share/keyrings/"}) {
        if (rel.starts_with(dir)) {
          if (dir == ".ssh/" && b.starts_with("known_hosts")) {
            return SecretKind::kNone;
          }
          return SecretKind::kSecret;
        }
      }
    }
    // By name, anywhere.
    if (b[0] == '.') {
      std::string lb = lower(b);
      if (lb == ".env" || lb.starts_with(".env.")) {
        // .env.example, .env.sample.local and their kin hold no secrets.
        for (std::string_view t : {".example", ".sample", ".template", ".dist",
                                   ".defaults", ".schema", ".tpl"}) {
          if (lb.find(t, 4) != std::string::npos) return SecretKind::kNone;
        }
        return SecretKind::kEnv;
      }
      if (has({".netrc", ".git-credentials", ".pgpass", ".my.cnf",
               ".vault-token", ".s3cfg", ".boto"},
              b)) {
        return SecretKind::kSecret;
      }
    } else if (b[0] == 'i' && b.starts_with("id_")) {
      // id_rsa, and its copies: id_rsa.bak, id_ed25519.old, ...
      for (std::string_view key :
           {"id_rsa", "id_dsa", "id_ecdsa", "id_ed25519"}) {
        if (b.starts_with(key)) return SecretKind::kSecret;
      }
    }
    if (b.find(' ') == std::string_view::npos &&
        (b.ends_with("_rsa") || b.ends_with("_ed25519") ||
         b.ends_with("_ecdsa") || b.ends_with("_dsa"))) {
      return SecretKind::kSecret;  // deploy_key_rsa and the like
    } else if (b == "_netrc") {
      return SecretKind::kSecret;
    }
    std::size_t dot = b.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return SecretKind::kNone;
    std::string ext = lower(b.substr(dot));
    if (has({".key", ".p12", ".pfx", ".ppk", ".jks", ".keystore", ".kdbx",
             ".ovpn", ".pem", ".asc", ".gpg", ".age"},
            ext)) {
      if (ext == ".pem" || ext == ".asc" || ext == ".gpg") {
        std::string lb = lower(b);
        if (lb.find("key") == std::string::npos &&
            lb.find("private") == std::string::npos &&
            lb.find("secret") == std::string::npos) {
          return SecretKind::kNone;  // certificates and signatures
        }
      }
      return SecretKind::kSecret;
    }
    if (ext == ".pem") {
      std::string lb = lower(b);
      if (lb.find("key") != std::string::npos ||
          lb.find("private") != std::string::npos) {
        return SecretKind::kSecret;
      }
    }
    return SecretKind::kNone;
  }

  // True when `path` is one of the directories that hold mostly secrets
  // (a file below one is judged by secret_kind).
  bool secret_root(std::string_view path) const {
    for (const std::string& dir : secret_dirs_) {
      if (path == dir) return true;
    }
    return matches_any(path, s_.secret_paths, f_);
  }

  // Directories whose contents are mostly secrets.
  bool secret_directory(std::string_view path) const {
    for (const std::string& dir : secret_dirs_) {
      if (within(path, dir)) return true;
    }
    return matches_any(path, s_.secret_paths, f_);
  }

  void secret_exact(const std::string& path, const std::string& what) {
    SecretKind kind = secret_kind(path);
    if (kind == SecretKind::kEnv) {
      found(Check::kEnvFiles, Decision::kAsk,
            what + " exposes the secrets in " + basename_of(path) +
                " to the agent.");
    } else if (kind == SecretKind::kSecret) {
      found(Check::kSecretFiles, Decision::kDeny,
            what + " exposes " + path + ", which holds a key or credentials.");
    }
  }

  // Writing to where SSH looks for keys and who may log in grants access.
  void access_grant(const std::string& path, const std::string& what) {
    if (f_.home.empty()) return;
    // Adding known hosts is routine; keys and who may log in are not.
    if (within(path, f_.home + "/.ssh") &&
        !basename_of(path).starts_with("known_hosts")) {
      found(Check::kSecretFiles, Decision::kDeny,
            what + " changes " + path + ", which controls SSH access.");
    }
  }

  void secret_dir(const std::string& path, const std::string& what) {
    if (secret_directory(path)) {
      found(Check::kSecretFiles, Decision::kAsk,
            what + " reaches into " + path +
                ", which holds keys or "
                "credentials.");
    }
  }

  // Programs that do not show the contents of the files they are given.
  static bool reads_no_content(std::string_view p) {
    static const std::unordered_set<std::string_view> kPrograms = {
        "echo",        "printf",   "ls",       "stat",     "test",
        "[",           "[[",       "touch",    "mkdir",    "chmod",
        "chown",       "chgrp",    "ssh",      "ssh-add",  "ssh-keygen",
        "ssh-copy-id", "realpath", "readlink", "basename", "dirname",
        "which",       "type",     "file",     "rm",       "unlink",
        "rmdir",       "mv",       "du",       "cd",       "pushd",
        "export",      "unset",    "true",     "false",    "sleep",
        "git",         "shred",    "wc",       "sftp",     "twk-backend",
        "twk-hook",    "[",        "command",  "hash",     "source",
        ".",           "find",     "fd",       "fdfind",   "locate",
        "tree"};
    return kPrograms.count(p) > 0;
  }

  void secrets(const RunCommand& rc) {
    if (rc.remote) return;
    // Most commands name nothing that could be a secret: rule that out
    // before reading their options.
    bool candidates = !s_.secret_paths.empty() ||
                      !rc.placeholder_roots.empty() ||
                      (!rc.cwd.empty() && secret_directory(rc.cwd));
    for (std::size_t k = 1; k < rc.argv.size() && !candidates; ++k) {
      const Word& w = rc.argv[k];
      candidates = w.unknown || w.glob ||
                   w.text.find_first_of("._~@") != std::string::npos;
    }
    if (!candidates) return;
    const std::string& p = rc.program;
    if (p == "git") {
      // Staging a secret puts it in history, and often on a remote.
      std::size_t k = 1;
      while (k < rc.argv.size() && rc.argv[k].text.starts_with('-')) {
        k += rc.argv[k].text == "-C" || rc.argv[k].text == "-c" ? 2 : 1;
      }
      if (k < rc.argv.size() && rc.argv[k].text == "add") {
        for (std::size_t m = k + 1; m < rc.argv.size(); ++m) {
          if (!rc.argv[m].text.starts_with('-')) secret_word(rc, rc.argv[m]);
        }
      }
      return;
    }
    if (reads_no_content(p)) return;
    std::vector<std::size_t> skip;
    // The pattern operand of grep-like tools is text, not a file.
    if (!rc.from_code && has({"grep", "egrep", "fgrep", "zgrep", "rg", "ag",
                              "ack", "sed", "awk", "gawk", "mawk", "jq"},
                             p)) {
      Options o =
          options_of(rc.argv, 1, "eABCmgtTM",
                     {"--regexp", "--max-count", "--glob", "--type",
                      "--context", "--after-context", "--before-context"});
      bool pattern_given = o.short_has('e') || o.short_has('f') ||
                           o.long_has("--regexp") || o.long_has("--file") ||
                           o.long_has("--files");
      if (!pattern_given && !o.operands.empty()) skip.push_back(o.operands[0]);
    }
    // The destination of a copy or move is written, not read.
    if (has({"cp", "mv", "install", "ln", "rsync", "scp"}, p)) {
      Options o = options_of(rc.argv, 1, "tS", {"--target-directory"});
      bool target_option = o.short_has('t') || o.long_has("--target-directory");
      if (o.operands.size() >= 2 && !target_option) {
        skip.push_back(o.operands.back());
      }
    }
    for (std::size_t k = 1; k < rc.argv.size(); ++k) {
      if (std::find(skip.begin(), skip.end(), k) != skip.end()) continue;
      const Word& w = rc.argv[k];
      // The file in --opt=FILE, @FILE (curl -d @f) and name=@FILE (-F).
      std::string_view text = w.text;
      if (text.starts_with("if=") && p == "dd") text.remove_prefix(3);
      if (text.starts_with("-")) {
        std::size_t eq = text.find('=');
        std::size_t at = text.find('@');
        std::size_t f = text.find('f');
        if (eq != std::string_view::npos) {
          text.remove_prefix(eq + 1);
        } else if (at != std::string_view::npos && p == "curl") {
          text.remove_prefix(at);  // -d@file, -sd@file
        } else if (f != std::string_view::npos && text[1] != '-' &&
                   f + 1 < text.size() &&
                   has({"grep", "egrep", "fgrep", "zgrep", "rg"}, p)) {
          text.remove_prefix(f + 1);  // -f.env, -Ef.env
        } else {
          continue;
        }
      }
      if (text.find("://") != std::string_view::npos) continue;  // a URL
      if (text.starts_with('@')) text.remove_prefix(1);
      if (text.starts_with('<') && p == "curl") text.remove_prefix(1);
      std::size_t at = text.find("=@");
      if (at == std::string_view::npos) at = text.find("=<");
      if (at != std::string_view::npos) {
        text.remove_prefix(at + 2);
      } else if (p == "curl" &&
                 (at = text.find('@')) != std::string_view::npos && at > 0) {
        text.remove_prefix(at + 1);  // --data-urlencode name@file
      }
      if (text.empty()) continue;
      if (text.size() == w.text.size()) {
        secret_word(rc, w);
      } else {
        Word candidate;
        candidate.text = std::string(text);
        candidate.unknown =
            text.find(shell::kUnknown) != std::string_view::npos;
        candidate.glob = w.glob;
        secret_word(rc, candidate);
      }
    }
  }

  // False when a plain word cannot name a secret: none of the names that
  // secret files and directories have appears in it (in any case), and it
  // is not used inside a secret directory.
  bool may_name_secret(const Word& w, const RunCommand& rc) const {
    if (w.glob || w.unknown || !s_.secret_paths.empty()) return true;
    if (w.text.find("{}") != std::string::npos) return true;
    if (!rc.cwd.empty() && secret_directory(rc.cwd)) return true;
    // Every secret name below holds one of these, and so does any path
    // into a home directory's dot-directories.
    if (w.text.find_first_of("._~") == std::string::npos) return false;
    static constexpr std::string_view kHints[] = {
        ".env",      "id_",   "netrc",   "credential",     "pgpass",
        ".my.cnf",   "vault", "s3cfg",   "boto",           ".key",
        ".p12",      ".pfx",  ".ppk",    ".jks",           "keystore",
        ".pem",      "npmrc", "pypirc",  ".docker",        ".kube",
        "hosts.yml", ".aws",  ".config", ".terraform",     ".cargo",
        ".gem",      ".ssh",  ".gnupg",  "password-store", ".azure",
        "keyrings",  "~"};
    std::string text = lower(w.text);
    for (std::string_view hint : kHints) {
      if (text.find(hint) != std::string::npos) return true;
    }
    // A home directory named in full.
    return !f_.home.empty() && w.text.find(f_.home) != std::string::npos &&
           (w.text.size() == f_.home.size() ||
            w.text.compare(f_.home.size(), 2, "/.") == 0);
  }

  void secret_word(const RunCommand& rc, const Word& w) {
    if (!may_name_secret(w, rc)) return;
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    if (w.text.find("{}") != std::string::npos &&
        !rc.placeholder_roots.empty()) {
      for (const Word& root : rc.placeholder_roots) {
        Target t = resolve(root, rc.cwd, f_);
        if (t.kind == Target::kUnknown) continue;
        for (const std::string& name : rc.placeholder_names) {
          std::string candidate = t.path + "/" + name;
          if (name.find_first_of("*?[") == std::string::npos) {
            if (secret_kind(candidate) != SecretKind::kNone)
              secret_exact(candidate, said());
          }
        }
        if (secret_directory(t.path)) secret_dir(t.path, said());
      }
      return;
    }
    Target t = resolve(w, rc.cwd, f_);
    if (t.kind == Target::kExact) {
      if (secret_kind(t.path) != SecretKind::kNone)
        secret_exact(t.path, said());
      if (secret_root(t.path)) secret_dir(t.path, said());
    } else if (t.kind == Target::kBelow) {
      if (secret_directory(t.path)) secret_dir(t.path, said());
      if (t.path == f_.cwd || t.path == f_.project) {
        // A glob in the project that may pick up .env files.
        std::string name = basename_of(w.text);
        if (name.starts_with(".env")) {
          found(Check::kEnvFiles, Decision::kAsk,
                said() + " may expose .env files to the agent.");
        }
      }
    } else {
      // Text that is partly unknown still shows what it names.
      std::string name = basename_of(w.text);
      if (name.find(shell::kUnknown) == std::string::npos &&
          secret_kind("/" + name) != SecretKind::kNone) {
        secret_exact("/" + name, said());
      }
    }
  }

  // --------------------------------------------------------- self-protection

  // What self-protection guards. `whole_trees`: only what lies outside the
  // project, where deleting a directory that holds it counts too (the
  // project's own settings go with the project, which recursive-delete
  // judges).
  std::vector<std::string> protected_list(bool whole_trees = false) const {
    std::vector<std::string> out;
    if (!f_.state_dir.empty()) out.push_back(f_.state_dir);
    for (const std::string& p : f_.protected_files) out.push_back(p);
    auto settings = [&](const std::string& base) {
      if (base.empty()) return;
      out.push_back(base + "/.claude/settings.json");
      out.push_back(base + "/.claude/settings.local.json");
    };
    settings(f_.home);
    if (f_.project != f_.home && !whole_trees) settings(f_.project);
    for (const std::string& p : s_.protected_paths) {
      out.push_back(expand_home(p, f_.home));
    }
    for (std::string& p : out) {
      if (p.find_first_of("*?[") == std::string::npos) {
        p = shell::resolve_path("/", p);
      }
    }
    return out;
  }

  // True when changing `path` changes something protected. `tree`: the
  // command acts on whole trees, so an ancestor counts too.
  std::optional<std::string> touches_protected(const Target& t,
                                               bool tree) const {
    if (t.kind == Target::kUnknown) return std::nullopt;
    for (std::size_t k = 0; k < protected_.size(); ++k) {
      const std::string& p = protected_[k];
      bool hit = protected_glob_[k] ? matches_pattern(t.path, p, f_)
                                    : within(t.path, p);
      if (hit) return p;
    }
    if (!tree && t.kind != Target::kBelow) return std::nullopt;
    for (const std::string& p : protected_trees_) {
      if (t.kind == Target::kBelow ? within(p, t.path) : below(p, t.path)) {
        return p;
      }
    }
    return std::nullopt;
  }

  void protect_path(const std::string& path, const std::string& tool,
                    const std::string&) {
    Target t;
    t.kind = Target::kExact;
    t.path = path;
    if (auto p = touches_protected(t, false)) {
      found(Check::kSelfProtection, Decision::kDeny,
            tool + " of " + path + " would change " + *p +
                ", which keeps the agent's guard working.");
    }
  }

  static bool read_only(const RunCommand& rc) {
    const std::string& p = rc.program;
    if (p == "sed") {
      for (const Word& w : rc.argv) {
        if (w.text.starts_with("-i") || w.text.starts_with("--in-place")) {
          return false;
        }
      }
      return true;
    }
    if (p == "find") {
      for (const Word& w : rc.argv) {
        if (w.text.starts_with("-fprint")) return false;
      }
      return !find_deletes(rc);
    }
    static const std::unordered_set<std::string_view> kPrograms = {
        "cat",         "less",     "more",     "head",    "tail",
        "grep",        "egrep",    "fgrep",    "rg",      "ag",
        "ls",          "stat",     "wc",       "file",    "diff",
        "cmp",         "jq",       "md5sum",   "sha1sum", "sha256sum",
        "sha512sum",   "b2sum",    "test",     "[",       "[[",
        "realpath",    "readlink", "basename", "dirname", "bat",
        "batcat",      "xxd",      "od",       "hexdump", "strings",
        "tree",        "echo",     "printf",   "cd",      "pushd",
        "twk-backend", "twk-hook", "du",       "awk",     "view",
        "column",      "sort",     "uniq",     "nl",      "tac"};
    return kPrograms.count(p) > 0;
  }

  static bool tree_command(const RunCommand& rc) {
    // cp and ln into a directory write one entry there, not the tree; rm
    // takes a tree only when recursive.
    if (rc.program == "rm") {
      for (const Word& w : rc.argv) {
        if (w.text == "--") break;
        if (w.text == "--recursive" ||
            (w.text.size() > 1 && w.text[0] == '-' && w.text[1] != '-' &&
             w.text.find_first_of("rR") != std::string::npos)) {
          return true;
        }
      }
      return false;
    }
    return has({"mv", "rsync", "chmod", "chown", "chgrp", "shred", "rmdir",
                "trash", "gio"},
               rc.program);
  }

  // False when `w` cannot name anything self-protection guards: a plain
  // word that holds none of the protected names, used outside them, and
  // not by a command that acts on whole trees. Saves resolving most words.
  bool may_touch_protected(const Word& w, const RunCommand& rc,
                           bool tree) const {
    if (tree || w.glob || w.unknown || protected_names_.empty()) return true;
    if (!rc.cwd.empty()) {
      for (const std::string& p : protected_) {
        if (within(rc.cwd, p)) return true;
      }
    }
    for (const std::string& name : protected_names_) {
      if (w.text.find(name) != std::string::npos) return true;
    }
    return false;
  }

  void self_protection(const RunCommand& rc) {
    if (rc.remote || read_only(rc)) return;
    bool tree = tree_command(rc);
    for (std::size_t k = 1; k < rc.argv.size(); ++k) {
      Word w = rc.argv[k];
      if (w.text.starts_with('-')) {
        std::size_t eq = w.text.find('=');
        if (eq == std::string::npos) continue;
        w.text = w.text.substr(eq + 1);
      }
      if (w.text.empty() || !may_touch_protected(w, rc, tree)) continue;
      Target t = resolve(w, rc.cwd, f_);
      if (auto p = touches_protected(t, tree)) {
        found(Check::kSelfProtection, Decision::kDeny,
              code_span(command_text(rc)) + through(rc) + " would change " +
                  *p + ", which keeps the agent's guard working.");
        return;
      }
    }
  }

  void redirects(const RunCommand& rc) {
    if (rc.source == nullptr || rc.from_code || rc.remote) return;
    if (!seen_sources_.insert(rc.source).second) return;
    for (const shell::Redirect& r : rc.source->redirects) {
      if (r.target.process) continue;
      bool out = r.kind == shell::RedirectKind::kOutput ||
                 r.kind == shell::RedirectKind::kAppend ||
                 r.kind == shell::RedirectKind::kReadWrite;
      bool in = r.kind == shell::RedirectKind::kInput ||
                r.kind == shell::RedirectKind::kReadWrite;
      if (!out && !in) continue;
      Target t = resolve(r.target, rc.source->cwd, f_);
      if (out) {
        if (t.kind == Target::kExact) {
          if (!f_.home.empty() && within(t.path, f_.home + "/.ssh"))
            access_grant(t.path,
                         "Writing to " + display(r.target) + through(rc));
        }
        if (auto p = touches_protected(t, false)) {
          found(Check::kSelfProtection, Decision::kDeny,
                "Writing to " + display(r.target) + through(rc) +
                    " would change " + *p +
                    ", which keeps the agent's guard working.");
        }
        if (t.kind == Target::kExact) {
          write_target(t.path, [&] {
            return "Writing to " + display(r.target) + through(rc);
          });
        }
      }
      if (r.kind == shell::RedirectKind::kOutput && t.kind == Target::kExact &&
          secret_kind(t.path) == SecretKind::kEnv) {
        found(Check::kEnvFiles, Decision::kAsk,
              "Writing to " + display(r.target) + through(rc) +
                  " replaces the secrets in " + basename_of(t.path) + ".");
      }
      if (in && t.kind == Target::kExact) {
        if (secret_kind(t.path) != SecretKind::kNone)
          secret_exact(t.path, "Reading " + display(r.target) + through(rc));
      }
    }
  }

  // --------------------------------------------------------- writes

  // What writing `path` changes, beyond the protected files: credentials,
  // shell start-up files, who may log in or act as root, disk devices,
  // the project's git hooks and configuration.
  template <class Said>
  void write_target(const std::string& path, const Said& said) {
    if (is_disk_device(path)) {
      found(Check::kDisks, Decision::kDeny,
            said() + " overwrites the device " + path + ".");
      return;
    }
    // Writing a .env file exposes nothing; overwriting credentials or keys
    // can lock the user out or plant someone else's.
    SecretKind kind = secret_kind(path);
    if (kind == SecretKind::kSecret) {
      found(Check::kSecretFiles, Decision::kDeny,
            said() + " changes " + path + ", which holds keys or credentials.");
    }
    if (!f_.home.empty() && within(path, f_.home + "/.ssh") &&
        !basename_of(path).starts_with("known_hosts")) {
      found(Check::kSecretFiles, Decision::kDeny,
            said() + " changes " + path + ", which controls SSH access.");
    }
    if (!f_.home.empty() && below(path, f_.home)) {
      std::string_view rel = std::string_view(path).substr(f_.home.size() + 1);
      if (has({".bashrc", ".bash_profile", ".bash_login", ".profile", ".zshrc",
               ".zprofile", ".zshenv", ".zlogin", ".kshrc", ".tcshrc", ".cshrc",
               ".xprofile", ".pam_environment", ".config/fish/config.fish"},
              rel) ||
          rel.starts_with(".config/autostart/") ||
          rel.starts_with(".bashrc.d/") || rel.starts_with(".zshrc.d/") ||
          rel.starts_with(".profile.d/")) {
        found(Check::kSecretFiles, Decision::kAsk,
              said() + " changes " + path +
                  ", which every new shell or session runs.");
      }
    }
    if (has({"/etc/passwd", "/etc/shadow", "/etc/group", "/etc/gshadow",
             "/etc/sudoers", "/etc/crontab", "/etc/hosts", "/etc/environment",
             "/etc/profile", "/etc/ld.so.preload"},
            path) ||
        path.starts_with("/etc/sudoers.d/") || path.starts_with("/etc/ssh/") ||
        path.starts_with("/etc/pam.d/") || path.starts_with("/etc/cron") ||
        path.starts_with("/etc/systemd/") ||
        path.starts_with("/etc/profile.d/")) {
      found(Check::kPermissionSweeps, Decision::kDeny,
            said() + " changes " + path +
                ", which decides who may log in or act as root.");
    }
    if (!f_.home.empty()) {
      for (std::string_view d :
           {"/.aws/", "/.kube/", "/.docker/", "/.config/gh/", "/.gnupg/",
            "/.config/gcloud/"}) {
        std::string dir = f_.home + std::string(d);
        if (path.starts_with(dir)) {
          found(Check::kSecretFiles, Decision::kAsk,
                said() + " changes " + path +
                    ", which decides what credentials tools use.");
          break;
        }
      }
    }
    if (!f_.project.empty()) {
      std::string git = f_.project + "/.git";
      if (path == git) {
        found(Check::kDestructiveGit, Decision::kAsk,
              said() + " replaces the project's git data.");
      }
      if (within(path, git + "/hooks") || path == git + "/config") {
        found(Check::kDestructiveGit, Decision::kAsk,
              said() + " changes " + path + ", which git runs or obeys.");
      }
    }
  }

  // The files a command writes besides its redirections: tee's files, the
  // destination of cp, mv, install and ln, dd's of=, the files sed -i and
  // perl -i edit, truncate's files. mv also takes its sources away.
  void writes(const RunCommand& rc) {
    if (rc.remote) return;
    const std::string& p = rc.program;
    static const std::unordered_set<std::string_view> kWriters = {
        "tee", "sponge", "cp",  "mv",   "install", "ln",      "rsync",
        "scp", "dd",     "sed", "perl", "ruby",    "truncate"};
    if (kWriters.count(p) == 0) return;
    const auto& a = rc.argv;
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    auto target = [&](const Word& w) {
      Target t = resolve(w, rc.cwd, f_);
      if (t.kind == Target::kExact) write_target(t.path, said);
    };
    if (p == "tee" || p == "sponge") {
      Options o = options_of(a, 1);
      for (std::size_t k : o.operands) target(a[k]);
    } else if (has({"cp", "mv", "install", "ln", "rsync", "scp"}, p)) {
      Options o = options_of(a, 1, "tSm", {"--target-directory", "--suffix"});
      for (std::size_t k = 1; k + 1 < a.size(); ++k) {
        if (a[k].text == "-t" || a[k].text == "--target-directory") {
          target(a[k + 1]);
        }
      }
      if (o.operands.size() >= 2) {
        const Word& dest = a[o.operands.back()];
        target(dest);
        // Into a directory: each source lands there under its own name.
        Target d = resolve(dest, rc.cwd, f_);
        if (d.kind == Target::kExact &&
            (dest.text.ends_with('/') || d.path == f_.home)) {
          for (std::size_t n = 0; n + 1 < o.operands.size(); ++n) {
            std::string name = basename_of(a[o.operands[n]].text);
            if (name.empty() || name == "." || name == ".." ||
                a[o.operands[n]].unknown) {
              continue;
            }
            write_target(shell::resolve_path(d.path, name), said);
          }
        }
      }
      if (p == "mv") {
        for (std::size_t n = 0; n + 1 < o.operands.size(); ++n) {
          moved_away(rc, a[o.operands[n]]);
        }
      }
    } else if (p == "dd") {
      for (const Word& w : a) {
        if (w.text.starts_with("of=")) {
          Word out = w;
          out.text = w.text.substr(3);
          target(out);
        }
      }
    } else if (p == "sed" || p == "perl" || p == "ruby") {
      bool in_place = false, script_given = false;
      for (const Word& w : a) {
        in_place = in_place || w.text.starts_with("-i") ||
                   w.text.starts_with("--in-place") ||
                   (w.text.size() > 2 && w.text[0] == '-' && w.text[1] != '-' &&
                    w.text.find('i') != std::string::npos && p != "sed");
        script_given = script_given || w.text == "-e" || w.text == "-f" ||
                       w.text == "--expression";
      }
      if (!in_place) return;
      Options o = options_of(a, 1, "ef", {"--expression", "--file"});
      for (std::size_t n = script_given || p != "sed" ? 0 : 1;
           n < o.operands.size(); ++n) {
        target(a[o.operands[n]]);
      }
    } else if (p == "truncate") {
      Options o = options_of(a, 1, "sr", {"--size", "--reference"});
      for (std::size_t k : o.operands) target(a[k]);
    }
  }

  // mv SOURCE: it is gone from where it was. The project's .git, the
  // project, the home and system directories moved away are as good as
  // deleted.
  void moved_away(const RunCommand& rc, const Word& w) {
    Target t = resolve(w, rc.cwd, f_);
    if (t.kind != Target::kExact) return;
    const std::string& p = t.path;
    bool own = (!f_.home.empty() && below(p, f_.home)) ||
               (!f_.project.empty() && below(p, f_.project));
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    if (!f_.project.empty() && within(p, f_.project + "/.git")) {
      found(Check::kDestructiveGit, Decision::kAsk,
            said() + " moves the project's git data away.");
    } else if (own && !(!f_.project.empty() && within(f_.project, p))) {
      return;  // within the home or the project: the user's own files
    } else if (p == "/" ||
               (in_system(p) && p.find('/', 1) == std::string::npos) ||
               (!f_.home.empty() && within(f_.home, p)) ||
               (!f_.project.empty() && within(f_.project, p))) {
      found(Check::kRecursiveDelete, Decision::kDeny,
            said() + " moves " + p + " away.");
    } else if (in_system(p) && !in_temp(p, f_, false)) {
      found(Check::kRecursiveDelete, Decision::kAsk,
            said() + " moves " + p + " out of a system directory.");
    }
  }

  // --------------------------------------------------------- disks

  static bool is_disk_device(std::string_view p) {
    if (!p.starts_with("/dev/")) return false;
    std::string_view d = p.substr(5);
    if (has({"null", "zero", "stdout", "stderr", "stdin", "tty", "random",
             "urandom", "full", "ptmx"},
            d) ||
        d.starts_with("fd/") || d.starts_with("pts/") ||
        d.starts_with("shm/") || d.starts_with("tty")) {
      return false;
    }
    return true;
  }

  void disks(const RunCommand& rc) {
    const std::string& p = rc.program;
    const auto& a = rc.argv;
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    auto any_device = [&]() -> std::string {
      for (std::size_t k = 1; k < a.size(); ++k) {
        Target t = resolve(a[k], rc.cwd, f_);
        if (t.kind == Target::kExact && is_disk_device(t.path)) return t.path;
        if (t.kind == Target::kBelow && within(t.path, "/dev") &&
            t.path != "/dev/shm") {
          return t.path + "/…";
        }
      }
      return {};
    };
    auto deny = [&](std::string why) {
      found(Check::kDisks, Decision::kDeny, said() + " " + why);
    };
    if (p == "dd") {
      for (std::size_t k = 1; k < a.size(); ++k) {
        if (!a[k].text.starts_with("of=")) continue;
        Word w = a[k];
        w.text = w.text.substr(3);
        Target t = resolve(w, rc.cwd, f_);
        if (t.kind == Target::kExact && is_disk_device(t.path)) {
          deny("overwrites the device " + t.path + ".");
        }
      }
      return;
    }
    bool mkfs = p.starts_with("mkfs") ||
                has({"mke2fs", "mkswap", "mkdosfs", "mkntfs", "mkexfatfs"}, p);
    if (mkfs || has({"wipefs", "blkdiscard", "sgdisk", "sfdisk"}, p)) {
      bool dry = false;
      for (const Word& w : a) {
        dry = dry || w.text == "-n" || w.text == "--no-act" ||
              (p == "mkswap" && (w.text == "-c" || w.text == "--check")) ||
              w.text == "--print" || w.text == "-p" || w.text == "-l" ||
              w.text == "--list";
      }
      std::string dev = any_device();
      if (!dev.empty() && !(dry && (!mkfs || p == "mkswap"))) {
        deny("erases the device " + dev + ".");
      }
      return;
    }
    if (p == "shred") {
      std::string dev = any_device();
      if (!dev.empty()) {
        deny("overwrites the device " + dev + ".");
      } else {
        found(Check::kDisks, Decision::kAsk,
              said() + " destroys files beyond recovery.");
      }
      return;
    }
    if (p == "fdisk" || p == "parted" || p == "gdisk") {
      bool list = false, change = p == "fdisk" || p == "gdisk";
      for (const Word& w : a) {
        list =
            list || w.text == "-l" || w.text == "--list" || w.text == "print";
        change = change || has({"mklabel", "mkpart", "rm", "resizepart", "mkfs",
                                "rescue"},
                               w.text);
      }
      std::string dev = any_device();
      if (!dev.empty() && change && (!list || p == "parted")) {
        deny("changes the partitions of " + dev + ".");
      }
      return;
    }
    if (has({"lvremove", "vgremove", "pvremove", "lvreduce", "vgreduce"}, p)) {
      deny("removes LVM volumes.");
      return;
    }
    if (p == "dmsetup") {
      for (const Word& w : a) {
        if (has({"remove", "remove_all", "wipe_table", "clear"}, w.text)) {
          deny("removes device-mapper devices.");
          return;
        }
      }
      return;
    }
    if (p == "diskutil") {
      for (const Word& w : a) {
        if (has({"eraseDisk", "eraseVolume", "zeroDisk", "randomDisk",
                 "secureErase", "partitionDisk", "deleteVolume",
                 "deleteContainer", "reformat"},
                w.text)) {
          deny("erases or repartitions a disk.");
          return;
        }
      }
      return;
    }
    if (p == "btrfs") {
      std::string joined;
      for (const Word& w : a) joined += " " + w.text;
      if (joined.find(" --repair") != std::string::npos ||
          joined.find(" subvolume delete") != std::string::npos ||
          joined.find(" subvol delete") != std::string::npos ||
          joined.find(" device delete") != std::string::npos ||
          joined.find(" device remove") != std::string::npos ||
          joined.find(" check --init") != std::string::npos) {
        deny("can destroy data on a btrfs file system.");
      }
      return;
    }
    if ((p == "zfs" || p == "zpool") && a.size() > 1 &&
        has({"destroy", "labelclear"}, a[1].text)) {
      deny("destroys a ZFS data set or pool.");
      return;
    }
    if (p == "cryptsetup" && a.size() > 1 &&
        has({"luksFormat", "erase", "luksErase", "luksKillSlot"}, a[1].text)) {
      deny("destroys encryption keys of a volume.");
      return;
    }
    if (p == "mdadm") {
      for (const Word& w : a) {
        if (w.text == "--zero-superblock" || w.text == "--stop" ||
            w.text == "-S" || w.text == "--create" || w.text == "-C" ||
            w.text == "--remove" || w.text == "--fail") {
          deny("stops, rebuilds or erases a RAID array.");
          return;
        }
      }
    }
  }

  // --------------------------------------------------------- permissions

  static bool world_writable(std::string_view mode) {
    if (!mode.empty() &&
        mode.find_first_not_of("01234567") == std::string_view::npos) {
      char other = mode.back();
      return other == '2' || other == '3' || other == '6' || other == '7';
    }
    // Symbolic: o+w, a+w, +w, o=rwx, a=...
    std::size_t start = 0;
    while (start <= mode.size()) {
      std::size_t end = mode.find(',', start);
      std::string_view part = mode.substr(start, end == std::string_view::npos
                                                     ? std::string_view::npos
                                                     : end - start);
      std::size_t op = part.find_first_of("+=");
      if (op != std::string_view::npos) {
        std::string_view who = part.substr(0, op);
        std::string_view perms = part.substr(op + 1);
        bool others =
            who.empty() || who.find_first_of("oa") != std::string_view::npos;
        if (others && perms.find('w') != std::string_view::npos) return true;
      }
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
    return false;
  }

  // Modes that set the set-user-ID or set-group-ID bit.
  static bool sets_id(std::string_view mode) {
    if (!mode.empty() &&
        mode.find_first_not_of("01234567") == std::string_view::npos) {
      if (mode.size() < 4) return false;
      char special = mode[mode.size() - 4];
      return special != '0' && special != '1';
    }
    std::size_t op = mode.find_first_of("+=");
    return op != std::string_view::npos &&
           mode.find('s', op) != std::string_view::npos;
  }

  bool sweep_root(std::string_view path) const {
    if (path == "/") return true;
    for (std::string_view d : kSystemDirs) {
      if (path == d) return true;
    }
    if (!f_.home.empty()) {
      if (path == f_.home || within(f_.home, path)) return true;
      if (below(path, f_.home) &&
          path.substr(f_.home.size() + 1).find('/') == std::string_view::npos &&
          basename_of(path).starts_with('.')) {
        return true;  // ~/.ssh, ~/.config and their kin
      }
    }
    return within(path, "/etc") || within(path, "/usr") ||
           within(path, "/boot") || within(path, "/bin") ||
           within(path, "/sbin") || within(path, "/lib");
  }

  void permissions(const RunCommand& rc) {
    const std::string& p = rc.program;
    if (!has({"chmod", "chown", "chgrp", "setfacl"}, p) || rc.remote) return;
    Options o = options_of(rc.argv, 1);
    bool recursive = o.short_has('R') || o.long_has("--recursive");
    if (o.operands.empty()) return;
    // --reference=FILE takes the mode from a file: every operand is a path.
    bool reference = false;
    for (const std::string& l : o.longs)
      reference = reference || l == "--reference";
    std::size_t first = o.operands.front();
    bool wide =
        p == "chmod" && !reference && world_writable(rc.argv[first].text);
    bool setid = p == "chmod" && !reference && sets_id(rc.argv[first].text);
    std::vector<Word> targets;
    for (std::size_t n = reference ? 0 : 1; n < o.operands.size(); ++n) {
      const Word& w = rc.argv[o.operands[n]];
      if (w.text.find("{}") != std::string::npos &&
          !rc.placeholder_roots.empty()) {
        // find ROOT -exec chmod ... {}: everything below the roots.
        for (const Word& root : rc.placeholder_roots) targets.push_back(root);
        recursive = true;
      } else {
        targets.push_back(w);
      }
    }
    for (const Word& w : targets) {
      Target t = resolve(w, rc.cwd, f_);
      if (t.kind == Target::kUnknown) continue;
      bool system =
          in_system(t.path) || (!f_.home.empty() && t.path == f_.home);
      if (!f_.project.empty() && within(t.path, f_.project)) system = false;
      if (in_temp(t.path, f_, true)) system = false;
      auto said = [&] { return code_span(command_text(rc)) + through(rc); };
      if (recursive && (sweep_root(t.path) ||
                        (t.kind == Target::kBelow && in_system(t.path)))) {
        if (!f_.project.empty() && within(t.path, f_.project)) continue;
        found(Check::kPermissionSweeps, Decision::kDeny,
              said() + " changes " + (p == "chmod" ? "permissions" : "owners") +
                  " of everything in " + t.path + ".");
        return;
      }
      if (wide && system) {
        found(Check::kPermissionSweeps, Decision::kDeny,
              said() + " makes " + t.path + " writable by every user.");
        return;
      }
      if (setid && system) {
        found(Check::kPermissionSweeps, Decision::kDeny,
              said() + " makes " + t.path + " run with its owner's rights.");
        return;
      }
    }
  }

  // --------------------------------------------------------- databases

  void sql(const RunCommand& rc, std::string_view text) {
    std::string s = lower(text);
    // Collapse runs of blanks so that keywords are one space apart.
    std::string t;
    for (char c : s) {
      if (c == '\n' || c == '\t' || c == '\r') c = ' ';
      if (c == ' ' && !t.empty() && t.back() == ' ') continue;
      t += c;
    }
    auto said = [&] { return code_span(command_text(rc, 4)) + through(rc); };
    if (t.find("drop database") != std::string::npos ||
        t.find("drop schema") != std::string::npos) {
      found(Check::kDatabases, Decision::kDeny, said() + " drops a database.");
    } else if (t.find("drop table") != std::string::npos ||
               t.find("drop view") != std::string::npos ||
               t.find("drop index") != std::string::npos ||
               t.find("drop collection") != std::string::npos ||
               t.find("drop user") != std::string::npos ||
               t.find("drop role") != std::string::npos) {
      found(Check::kDatabases, Decision::kAsk,
            said() + " drops tables or data.");
    } else if (t.find("truncate ") != std::string::npos) {
      found(Check::kDatabases, Decision::kAsk, said() + " empties tables.");
    } else {
      std::size_t pos = 0;
      while ((pos = t.find("delete from ", pos)) != std::string::npos) {
        std::size_t end = t.find(';', pos);
        std::string_view stmt = std::string_view(t).substr(
            pos, end == std::string::npos ? std::string::npos : end - pos);
        if (stmt.find(" where ") == std::string_view::npos) {
          found(Check::kDatabases, Decision::kAsk,
                said() + " deletes every row of a table.");
          return;
        }
        pos += 12;
      }
    }
    if (t.find("dropdatabase(") != std::string::npos) {
      found(Check::kDatabases, Decision::kDeny, said() + " drops a database.");
    } else if (t.find(".drop(") != std::string::npos ||
               t.find("deletemany({})") != std::string::npos) {
      found(Check::kDatabases, Decision::kAsk, said() + " drops collections.");
    }
  }

  void databases(const RunCommand& rc) {
    const std::string& p = rc.program;
    const auto& a = rc.argv;
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    if (p == "dropdb") {
      found(Check::kDatabases, Decision::kDeny, said() + " drops a database.");
      return;
    }
    if (p == "mysqladmin") {
      for (const Word& w : a) {
        if (w.text == "drop" || w.text == "DROP") {
          found(Check::kDatabases, Decision::kDeny,
                said() + " drops a database.");
        }
      }
      return;
    }
    if (has({"kafka-topics", "kafka-topics.sh", "kafka-consumer-groups",
             "kafka-consumer-groups.sh", "rabbitmqctl", "rabbitmqadmin",
             "nats"},
            p)) {
      for (const Word& w : a) {
        const std::string& t = w.text;
        if (t == "--delete" || t.starts_with("delete_") || t == "delete" ||
            t == "purge" || t == "rm" || t == "reset" || t == "force_reset") {
          found(Check::kDatabases, Decision::kAsk,
                said() + " deletes topics, queues or the messages in them.");
          return;
        }
      }
      return;
    }
    if (p == "redis-cli" || p == "valkey-cli" || p == "keydb-cli") {
      for (std::size_t k = 1; k < a.size(); ++k) {
        std::string l = lower(a[k].text);
        if (l == "flushall" || l == "flushdb") {
          found(Check::kDatabases, Decision::kDeny,
                said() + " deletes every key.");
        }
      }
      return;
    }
    if (has({"prisma", "rails", "rake", "sequelize", "sequelize-cli", "typeorm",
             "knex", "python", "python3", "php", "artisan", "npx", "dotnet",
             "flask", "alembic"},
            p)) {
      std::string joined;
      for (const Word& w : a) joined += " " + w.text;
      joined += " ";
      for (std::string_view reset :
           {" migrate reset ", " db:drop ", " db:reset ", " db:schema:load ",
            " db:purge ", " flush ", " reset_db ", " schema:drop ",
            " migrate:fresh ", " migrate:reset ", " --force-reset ",
            " database drop ", " downgrade base "}) {
        if (joined.find(reset) != std::string::npos) {
          found(Check::kDatabases, Decision::kAsk,
                said() + " drops or resets a database.");
          return;
        }
      }
      return;
    }
    bool client = has({"psql", "mysql", "mariadb", "sqlite3", "sqlite",
                       "clickhouse-client", "clickhouse", "cockroach", "mongo",
                       "mongosh", "cqlsh", "duckdb", "sqlcmd"},
                      p);
    if (!client) return;
    for (std::size_t k = 1; k < a.size(); ++k) {
      const std::string& t = a[k].text;
      if (has({"-c", "--command", "-e", "--execute", "--eval", "-q", "--query",
               "-Q"},
              t) &&
          k + 1 < a.size()) {
        sql(rc, a[k + 1].text);
        ++k;
      } else if (t.starts_with("--command=") || t.starts_with("--execute=") ||
                 t.starts_with("--query=") || t.starts_with("--eval=")) {
        sql(rc, t.substr(t.find('=') + 1));
      } else if ((p == "sqlite3" || p == "sqlite" || p == "duckdb") &&
                 !t.starts_with('-')) {
        sql(rc, t);  // the database, then SQL
      }
    }
    if (rc.source != nullptr && !rc.from_code) {
      for (const shell::Redirect& r : rc.source->redirects) {
        if (r.kind == shell::RedirectKind::kHereDoc ||
            r.kind == shell::RedirectKind::kHereString) {
          sql(rc, r.target.text);
        }
      }
    }
    if (rc.stdin_text) sql(rc, *rc.stdin_text);
  }

  // --------------------------------------------------------- containers

  // The operands of a CLI after its global options.
  static std::vector<std::string> operands_after(
      const std::vector<Word>& a, std::string_view with_value,
      std::initializer_list<std::string_view> long_with_value) {
    Options o = options_of(a, 1, with_value, long_with_value);
    std::vector<std::string> out;
    for (std::size_t k : o.operands) out.push_back(a[k].text);
    return out;
  }

  void containers(const RunCommand& rc) {
    const std::string& p = rc.program;
    if (!has({"docker", "podman", "nerdctl", "docker-compose"}, p)) return;
    const auto& a = rc.argv;
    std::vector<std::string> ops = operands_after(
        a, "Hc", {"--context", "--host", "--config", "--log-level"});
    Options o = options_of(a, 1);
    bool force = o.short_has('f') || o.long_has("--force");
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    auto ask = [&](std::string why) {
      found(Check::kContainers, Decision::kAsk, said() + " " + why);
    };
    if (p == "docker-compose") ops.insert(ops.begin(), "compose");
    if (ops.empty()) return;
    const std::string& sub = ops[0];
    std::string verb = ops.size() > 1 ? ops[1] : std::string();
    if ((sub == "rm" ||
         (sub == "container" && (verb == "rm" || verb == "remove"))) &&
        force) {
      ask("removes running containers.");
    } else if ((sub == "rmi" ||
                (sub == "image" && (verb == "rm" || verb == "remove"))) &&
               force) {
      ask("removes images by force.");
    } else if (sub == "volume" &&
               (verb == "rm" || verb == "remove" || verb == "prune")) {
      ask("deletes volumes and the data in them.");
    } else if (verb == "prune" || sub == "prune") {
      ask("deletes unused " +
          (sub == "system" ? std::string("containers, "
                                         "images and "
                                         "networks")
                           : sub + "s") +
          ".");
    } else if ((sub == "stop" || sub == "kill") &&
               std::any_of(a.begin() + 1, a.end(),
                           [](const Word& w) { return w.unknown; })) {
      ask("stops every container a command lists.");
    } else if (sub == "compose" && verb == "down" &&
               (o.short_has('v') || o.long_has("--volumes") ||
                o.long_has("--rmi"))) {
      ask("deletes the project's volumes or images.");
    }
  }

  void clusters(const RunCommand& rc) {
    const std::string& p = rc.program;
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    if (p == "kubectl" || p == "oc" || p == "k" || p == "microk8s.kubectl") {
      std::vector<std::string> ops = operands_after(
          rc.argv, "nsl",
          {"--context", "--namespace", "--kubeconfig", "--cluster", "--user",
           "--server", "--selector", "--token"});
      if (ops.empty()) return;
      if (ops[0] == "delete") {
        found(Check::kClusters, Decision::kAsk,
              said() + " deletes cluster resources.");
      } else if (ops[0] == "scale") {
        for (const Word& w : rc.argv) {
          if (w.text == "--replicas=0") {
            found(Check::kClusters, Decision::kAsk,
                  said() + " stops every replica.");
          }
        }
      } else if (ops[0] == "cordon" ||
                 (ops[0] == "taint" &&
                  std::any_of(rc.argv.begin(), rc.argv.end(),
                              [](const Word& w) {
                                return w.text.ends_with(":NoExecute");
                              }))) {
        found(Check::kClusters, Decision::kAsk,
              said() + " takes a node out of service.");
      } else if (ops[0] == "apply" &&
                 std::any_of(rc.argv.begin(), rc.argv.end(), [](const Word& w) {
                   return w.text == "--force";
                 })) {
        found(Check::kClusters, Decision::kAsk,
              said() + " deletes and recreates resources.");
      } else if (ops[0] == "drain") {
        found(Check::kClusters, Decision::kAsk,
              said() + " evicts everything from a node.");
      } else if (ops[0] == "replace") {
        for (const Word& w : rc.argv) {
          if (w.text == "--force") {
            found(Check::kClusters, Decision::kAsk,
                  said() + " deletes and recreates resources.");
          }
        }
      }
      return;
    }
    if (p == "helm") {
      std::vector<std::string> ops = operands_after(
          rc.argv, "n", {"--namespace", "--kube-context", "--kubeconfig"});
      if (!ops.empty() && has({"uninstall", "delete", "del", "un"}, ops[0])) {
        found(Check::kClusters, Decision::kAsk,
              said() + " uninstalls a release.");
      }
    }
  }

  void cloud(const RunCommand& rc) {
    const std::string& p = rc.program;
    const auto& a = rc.argv;
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    auto ask = [&](std::string why) {
      found(Check::kCloud, Decision::kAsk, said() + " " + why);
    };
    if (p == "aws") {
      std::vector<std::string> ops =
          operands_after(a, "",
                         {"--region", "--profile", "--output", "--endpoint-url",
                          "--query", "--cli-read-timeout",
                          "--cli-connect-timeout", "--ca-bundle", "--color"});
      if (ops.size() < 2) return;
      const std::string& op = ops[1];
      if (op.starts_with("delete") || op.starts_with("terminate") ||
          op.starts_with("remove") || op.starts_with("deregister") ||
          op.starts_with("destroy") || op.starts_with("purge") ||
          op.starts_with("schedule-key-deletion")) {
        ask("deletes cloud resources.");
      } else if (ops[0] == "s3" && (op == "rm" || op == "rb")) {
        ask("deletes from S3.");
      } else if (ops[0] == "s3" && op == "sync") {
        for (const Word& w : a) {
          if (w.text == "--delete") ask("deletes from the destination.");
        }
      }
      return;
    }
    if (has({"gcloud", "az", "doctl", "hcloud", "linode-cli", "scw", "oci",
             "ibmcloud", "gsutil", "flyctl", "fly", "heroku", "firebase",
             "vercel", "netlify", "wrangler", "supabase"},
            p)) {
      for (std::size_t k = 1; k < a.size(); ++k) {
        const std::string& t = a[k].text;
        if (t.starts_with('-')) continue;
        std::string l = lower(t);
        if (has({"delete", "destroy", "rm", "rb", "remove", "purge"}, l) ||
            l.ends_with(":destroy") || l.ends_with(":delete") ||
            l.ends_with(":remove") || l == "pg:reset") {
          ask("deletes cloud resources.");
          return;
        }
      }
      return;
    }
    if (has({"curl", "wget", "http", "https", "xh"}, p)) {
      for (std::size_t k = 1; k < a.size(); ++k) {
        std::string t = lower(a[k].text);
        bool del = t == "-xdelete" || t == "--request=delete" ||
                   t == "--method=delete" ||
                   ((t == "-x" || t == "--request" || t == "--method") &&
                    k + 1 < a.size() && lower(a[k + 1].text) == "delete") ||
                   (p != "curl" && p != "wget" && t == "delete");
        if (del) {
          ask("sends an HTTP DELETE.");
          return;
        }
      }
      return;
    }
    if (p == "gh") {
      std::vector<std::string> ops = operands_after(a, "R", {"--repo"});
      if (ops.size() >= 2 && ops[1] == "delete") {
        ask("deletes a " + ops[0] + " on GitHub.");
        return;
      }
      for (std::size_t k = 1; k + 1 < a.size(); ++k) {
        if ((a[k].text == "-X" || a[k].text == "--method") &&
            lower(a[k + 1].text) == "delete") {
          ask("sends a DELETE to GitHub.");
        }
      }
      return;
    }
    if (has({"terraform", "tofu", "terragrunt", "pulumi", "cdk", "cdktf"}, p)) {
      std::vector<std::string> ops = operands_after(a, "", {"-chdir"});
      bool destroy = !ops.empty() && ops[0] == "destroy";
      for (const Word& w : a) destroy = destroy || w.text == "-destroy";
      if (destroy) {
        ask("destroys the infrastructure it manages.");
      } else if (ops.size() >= 2 && ops[0] == "state" &&
                 (ops[1] == "rm" || ops[1] == "remove")) {
        ask("removes resources from the state.");
      } else if (ops.size() >= 2 && ops[0] == "stack" &&
                 (ops[1] == "rm" || ops[1] == "remove")) {
        ask("removes a stack.");
      }
      return;
    }
    // Other services' command lines: a destructive verb among the words.
    if (has({"op", "doppler", "velero", "gitlab-runner", "circleci"}, p)) {
      for (std::size_t k = 1; k < a.size(); ++k) {
        const std::string& t = a[k].text;
        if (has({"delete", "destroy", "remove", "rm", "purge", "unregister",
                 "remove-secret"},
                t)) {
          ask("deletes resources or secrets of a service.");
          return;
        }
      }
      return;
    }
    if (p == "vault") {
      for (const Word& w : a) {
        if (has({"destroy", "delete", "disable", "revoke"}, w.text)) {
          ask("deletes secrets or engines from Vault.");
          return;
        }
      }
    }
  }

  void sync(const RunCommand& rc) {
    const auto& a = rc.argv;
    auto said = [&] { return code_span(command_text(rc)) + through(rc); };
    if (rc.program == "rsync") {
      Options o = options_of(a, 1);
      bool dry = o.short_has('n') || o.long_has("--dry-run") ||
                 o.long_has("--list-only");
      bool del = o.long_has("--remove-source-files");
      for (const std::string& l : o.longs) {
        del = del || l.starts_with("--del");
      }
      if (del && !dry) {
        found(Check::kSyncDelete, Decision::kAsk,
              said() +
                  " deletes files that are not in the source, or the "
                  "source files themselves.");
      }
      return;
    }
    if (rc.program == "restic" || rc.program == "borg") {
      for (const Word& w : a) {
        if (has({"forget", "prune", "delete", "--prune", "compact"}, w.text)) {
          found(Check::kSyncDelete, Decision::kAsk,
                said() + " deletes backups.");
          return;
        }
      }
      return;
    }
    if (rc.program == "gsutil" || rc.program == "azcopy") {
      bool sync_op = false, del = false;
      for (const Word& w : a) {
        sync_op = sync_op || w.text == "rsync" || w.text == "sync";
        del = del || w.text == "-d" || w.text == "--delete-destination=true" ||
              w.text == "--delete-destination=prompt";
      }
      if (sync_op && del) {
        found(Check::kSyncDelete, Decision::kAsk,
              said() + " deletes files at the destination.");
      }
      return;
    }
    std::vector<std::string> ops = operands_after(a, "", {"--config"});
    bool dry = false;
    for (const Word& w : a)
      dry = dry || w.text == "--dry-run" || w.text == "-n";
    if (!ops.empty() && !dry &&
        has({"purge", "delete", "deletefile", "rmdirs", "cleanup", "sync",
             "dedupe", "move"},
            ops[0])) {
      found(Check::kSyncDelete, Decision::kAsk,
            said() + " deletes files from a remote.");
    }
  }

  // --------------------------------------------------------- unfollowable

  void unfollowable(const std::string& problem, std::string_view raw) {
    static constexpr std::string_view kWatched[] = {
        "rm",      "git",    "dd",     "mkfs",      "shred", "chmod",
        "chown",   "curl",   "wget",   "find",      "xargs", "kubectl",
        "helm",    "docker", "podman", "terraform", "aws",   "gcloud",
        "az",      "psql",   "mysql",  "redis-cli", "rsync", "rclone",
        "bash",    "sh",     "zsh",    "eval",      "sudo",  "python",
        "python3", "node",   "perl",   "ruby",      "ssh",   "wipefs",
        "dropdb",  "cat",    "cp",     "mv",        "tar",   "base64",
        "source",  "exec",   "env"};
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
          "Core couldn't follow this command (" + problem +
              ") and it mentions " + code_span(mentioned) +
              ", so it needs confirmation.");
  }

  const CheckFacts& f_;
  const CheckSettings& s_;
  CheckResults results_;
  std::unordered_set<const void*> seen_sources_;
  std::vector<std::string> secret_dirs_;      // the home's key directories
  std::vector<std::string> protected_;        // protected_list(false)
  std::vector<bool> protected_glob_;          // which of protected_ are globs
  std::vector<std::string> protected_trees_;  // protected_list(true), no globs
  // The last components of protected_; empty when a word cannot be ruled
  // out by its text.
  std::vector<std::string> protected_names_;
};

}  // namespace

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
  Checker checker(facts, settings);
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
    std::string line = command_text(rc, 16);
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
