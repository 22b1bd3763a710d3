// The secret-files and env-files checks: reading, copying, staging or
// deleting private keys, credentials and .env files, by path (the home's
// key directories, the policy's secret paths) and by name anywhere.
#include <fnmatch.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "shell/checker.h"
#include "twk/text.h"

namespace twk::core::checks {

namespace {

// True when `text` holds, in any case, one of the names that secret files
// and directories have (defined below, with the names).
bool has_secret_hint(std::string_view text);

// `name` without the endings that mark a copy kept aside (config.json.old,
// credentials-backup, .env.bak~): a copy holds what the original holds.
std::string_view without_backup_ending(std::string_view name) {
  static constexpr std::string_view kEndings[] = {
      "~",    ".bak", ".old",    ".orig", ".backup", ".save", ".copy",  ".swp",
      "-bak", "-old", "-backup", "-copy", "_bak",    "_old",  "_backup"};
  for (bool stripped = true; stripped;) {
    stripped = false;
    for (std::string_view e : kEndings) {
      if (name.size() > e.size() + 1 && name.ends_with(e)) {
        name.remove_suffix(e.size());
        stripped = true;
      }
    }
  }
  return name;
}

}  // namespace

// Why names are compared in ASCII lower case: the file systems of macOS
// and Windows ignore case, so ~/.AWS/credentials is the same file there.
Checker::SecretKind Checker::secret_kind(std::string_view path) const {
  if (!s_.secret_paths.empty() && matches_any(path, s_.secret_paths, f_)) {
    return SecretKind::kSecret;
  }
  std::string_view b = path.substr(path.rfind('/') + 1);
  if (b.empty()) return SecretKind::kNone;
  // Every name judged below holds one of kHints, every path the home's
  // rules judge is in one of its dot-directories, and the system's are in
  // /etc: most paths are none of these, and need no lower-case copy or
  // comparisons.
  std::string_view home = home_of(path);
  bool in_home_dot = !home.empty() && path.size() > home.size() + 1 &&
                     path[home.size() + 1] == '.';
  if (!in_home_dot && !path.starts_with("/etc/") && !has_secret_hint(b)) {
    return SecretKind::kNone;
  }
  std::string lb = lower(b);
  std::string_view name = without_backup_ending(lb);
  if (name.ends_with(".pub")) return SecretKind::kNone;
  if (path.starts_with("/etc/")) {
    bool system = has({"/etc/shadow", "/etc/gshadow", "/etc/shadow-",
                       "/etc/gshadow-", "/etc/sudoers", "/etc/master.passwd"},
                      path) ||
                  path.starts_with("/etc/sudoers.d/") ||
                  path.starts_with("/etc/ssh/ssh_host_");
    if (system) return SecretKind::kSecret;
  }
  if (std::optional<SecretKind> kind = home_secret(path, name)) return *kind;
  // A project's own agent settings, kept out of version control, are
  // where its API keys go.
  if (name == "settings.local.json" &&
      path.ends_with("/.claude/settings.local.json")) {
    return SecretKind::kMaybeSecret;
  }
  SecretKind kind = named_secret(name);
  // Key files that come inside installed packages are their test data
  // and examples, not the user's keys.
  if ((kind == SecretKind::kSecret || kind == SecretKind::kMaybeSecret) &&
      name.find('.', 1) != std::string_view::npos) {
    for (std::string_view dir :
         {"/node_modules/", "/site-packages/", "/dist-packages/",
          "/__pycache__/", "/.venv/", "/vendor/"}) {
      if (path.find(dir) != std::string_view::npos) return SecretKind::kNone;
    }
  }
  return kind;
}

// What `path` is below the home's dot-directories (`name` its last
// component, in lower case and without a backup ending); nothing when the
// home's rules do not decide it.
// The home directory `path` lies in: the user's, root's, or another
// account's under /home or /Users. Empty when none.
std::string_view Checker::home_of(std::string_view path) const {
  if (!f_.home.empty() && below(path, f_.home)) return f_.home;
  if (below(path, "/root")) return path.substr(0, 5);
  for (std::string_view homes : {"/home/", "/Users/"}) {
    if (path.starts_with(homes)) {
      std::size_t end = path.find('/', homes.size());
      if (end != std::string_view::npos && end > homes.size() &&
          path.substr(homes.size(), end - homes.size()) != "Shared") {
        return path.substr(0, end);
      }
    }
  }
  return {};
}

std::optional<Checker::SecretKind> Checker::home_secret(
    std::string_view path, std::string_view name) const {
  // Below a home's dot-directories: the user's, or another account's
  // (~root/.ssh holds root's keys).
  std::string_view home = home_of(path);
  if (home.empty() || path.size() <= home.size() + 1 ||
      path[home.size() + 1] != '.') {
    return std::nullopt;
  }
  // The directories below the home in lower case, then the name.
  std::size_t start = home.size() + 1;
  std::string rel_text = lower(path.substr(start, path.rfind('/') + 1 - start));
  rel_text += name;
  std::string_view rel = rel_text;
  if (rel.starts_with(".kube/config") || rel.starts_with(".aws/credentials") ||
      rel == ".claude/.credentials.json" || rel == ".codex/auth.json" ||
      rel == ".gemini/oauth_creds.json" ||
      rel == ".local/share/opencode/auth.json" ||
      rel.starts_with(".config/gcloud/") || rel == ".git-credentials") {
    return SecretKind::kSecret;
  }
  if (has({".npmrc", ".pypirc", ".docker/config.json", ".kube/config",
           ".config/gh/hosts.yml", ".aws/credentials", ".config/hub",
           ".terraform.d/credentials.tfrc.json", ".cargo/credentials",
           ".cargo/credentials.toml", ".gem/credentials",
           ".config/gcloud/credentials.db", ".config/gcloud/access_tokens.db",
           ".config/gcloud/application_default_credentials.json"},
          rel)) {
    return SecretKind::kSecret;
  }
  for (std::string_view dir :
       {".ssh/", ".gnupg/", ".password-store/", ".aws/sso/", ".aws/cli/cache/",
        ".azure/", ".config/gcloud/legacy_credentials/",
        ".local/share/keyrings/"}) {
    if (rel.starts_with(dir)) {
      // Host keys of servers and the client's settings (host aliases,
      // which key to use) hold no secret.
      if (dir == ".ssh/" &&
          (name.starts_with("known_hosts") || rel == ".ssh/config")) {
        return SecretKind::kNone;
      }
      return SecretKind::kSecret;
    }
  }
  // The rest of ~/.aws (config: profiles, SSO and credential_process
  // settings), and coding agents' own settings, which carry API keys in
  // their env and MCP server blocks.
  if (rel.starts_with(".aws/") ||
      has({".claude.json", ".claude/settings.json", ".claude/settings.local.json",
           ".codex/config.toml", ".gemini/settings.json", ".cursor/mcp.json",
           ".config/opencode/opencode.json", ".config/opencode/opencode.jsonc",
           ".copilot/config.json", ".copilot/mcp-config.json"},
          rel)) {
    return SecretKind::kMaybeSecret;
  }
  return std::nullopt;
}

// What a file named `b` (not empty; in lower case, without a backup
// ending) holds, wherever it is.
Checker::SecretKind Checker::named_secret(std::string_view b) {
  if (b[0] == '.') {
    if (b == ".env" || b.starts_with(".env.")) {
      // .env.example, .env.sample.local and their kin hold no secrets.
      for (std::string_view t : {".example", ".sample", ".template", ".dist",
                                 ".defaults", ".schema", ".tpl"}) {
        if (b.find(t, 4) != std::string::npos) return SecretKind::kNone;
      }
      return SecretKind::kEnv;
    }
    // A project's MCP servers are given their tokens here.
    if (b == ".mcp.json") return SecretKind::kMaybeSecret;
    // Tokens live in .npmrc and .pypirc wherever they are, not only in
    // the home's.
    if (has({".netrc", ".git-credentials", ".pgpass", ".my.cnf", ".vault-token",
             ".s3cfg", ".boto", ".npmrc", ".pypirc"},
            b)) {
      return SecretKind::kSecret;
    }
  } else if (b[0] == 'i' && b.starts_with("id_")) {
    // id_rsa and its kin, also id_rsa.1 or id_rsa_work; not id_rsafoo
    // or id_rsa_parser.go, which are named after them.
    for (std::string_view key :
         {"id_rsa", "id_dsa", "id_ecdsa", "id_ed25519"}) {
      if (!b.starts_with(key)) continue;
      std::string_view rest = b.substr(key.size());
      if (rest.empty() || rest[0] == '.' ||
          ((rest[0] == '_' || rest[0] == '-') &&
           rest.find('.') == std::string_view::npos)) {
        return SecretKind::kSecret;
      }
    }
  }
  if (b.find(' ') == std::string_view::npos &&
      (b.ends_with("_rsa") || b.ends_with("_ed25519") ||
       b.ends_with("_ecdsa") || b.ends_with("_dsa"))) {
    return SecretKind::kSecret;  // deploy_key_rsa and the like
  } else if (b == "_netrc" || b == "credentials") {
    return SecretKind::kSecret;
  }
  std::size_t dot = b.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return SecretKind::kNone;
  std::string_view ext = b.substr(dot);
  if (has({".key", ".p12", ".pfx", ".pkcs12", ".ppk", ".jks", ".keystore",
           ".kdbx", ".keychain", ".keychain-db", ".keyring", ".ovpn", ".pem",
           ".asc", ".gpg", ".age"},
          ext)) {
    if (ext == ".asc" || ext == ".gpg") {
      if (b.find("key") == std::string::npos &&
          b.find("private") == std::string::npos &&
          b.find("secret") == std::string::npos) {
        return SecretKind::kNone;  // signatures and encrypted files
      }
    } else if (ext == ".pem" && b.find("key") == std::string::npos &&
               b.find("private") == std::string::npos) {
      // A .pem may hold a private key beside its certificate (server.pem)
      // unless its name says it holds certificates or parameters only.
      for (std::string_view public_only : {"cert", "chain", "bundle", "pub",
                                           "ca.", "ca-", "ca_", "root",
                                           "dhparam"}) {
        if (b.find(public_only) != std::string::npos) return SecretKind::kNone;
      }
      return SecretKind::kMaybeSecret;
    }
    return SecretKind::kSecret;
  }
  return SecretKind::kNone;
}

// True when `path` is one of the directories that hold mostly secrets
// (a file below one is judged by secret_kind).
bool Checker::secret_root(std::string_view path) const {
  std::string folded = home_folded(path);
  for (const std::string& dir : secret_dirs_) {
    if (folded == dir) return true;
  }
  return matches_any(path, s_.secret_paths, f_);
}

// Directories whose contents are mostly secrets.
bool Checker::secret_directory(std::string_view path) const {
  std::string folded = home_folded(path);
  for (const std::string& dir : secret_dirs_) {
    if (within(folded, dir)) return true;
  }
  return matches_any(path, s_.secret_paths, f_);
}

// `path` with what lies below the home in lower case: ~/.AWS is ~/.aws
// where names are compared without case.
std::string Checker::home_folded(std::string_view path) const {
  if (f_.home.empty() || !below(path, f_.home)) return std::string(path);
  return std::string(path.substr(0, f_.home.size())) +
         lower(path.substr(f_.home.size()));
}

void Checker::secret_exact(const std::string& path, const std::string& what) {
  SecretKind kind = secret_kind(path);
  if (kind == SecretKind::kEnv) {
    found(Check::kEnvFiles, Decision::kAsk,
          what + " exposes the secrets in " + basename_of(path) +
              " to the agent.");
  } else if (kind == SecretKind::kSecret) {
    found(Check::kSecretFiles, Decision::kDeny,
          what + " exposes " + path + ", which holds a key or credentials.");
  } else if (kind == SecretKind::kMaybeSecret) {
    found(Check::kSecretFiles, Decision::kAsk,
          what + " exposes " + path + ", which may hold keys or credentials.");
  }
}

// Writing to where SSH looks for keys and who may log in grants access.
void Checker::access_grant(const std::string& path, const std::string& what) {
  if (f_.home.empty()) return;
  // Adding known hosts is routine; keys and who may log in are not.
  if (within(path, ssh_dir_) && !basename_of(path).starts_with("known_hosts")) {
    found(Check::kSecretFiles, Decision::kDeny,
          what + " changes " + path + ", which controls SSH access.");
  }
}

void Checker::secret_dir(const std::string& path, const std::string& what) {
  if (secret_directory(path)) {
    found(Check::kSecretFiles, Decision::kAsk,
          what + " reaches into " + path +
              ", which holds keys or "
              "credentials.");
  }
}

namespace {

// Beyond the name-only programs: those that act on files without
// printing them.
constexpr std::string_view kShowsNoContent =
    "touch mkdir chmod chown chgrp ssh ssh-add ssh-keygen ssh-copy-id "
    "which type rm unlink rmdir mv export unset true false sleep git "
    "shred sftp command hash source . find fd fdfind locate tee truncate";
}  // namespace

// Programs that do not show the contents of the files they are given.
bool Checker::reads_no_content(std::string_view p) {
  static const WordSet kPrograms({kNameOnlyPrograms, kShowsNoContent});
  return kPrograms.contains(p);
}

void Checker::secrets(const RunCommand& rc) {
  if (rc.remote) return;
  // Most commands name nothing that could be a secret: rule that out
  // before reading their options.
  if (!may_hold_secrets(rc)) return;
  std::string_view p = rc.program;
  if (p == "git") {
    git_secrets(rc);
    return;
  }
  if (reads_no_content(p)) return;
  std::vector<std::size_t> skip = not_read(rc);
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
    } else if (p == "curl" && (at = text.find('@')) != std::string_view::npos &&
               at > 0) {
      text.remove_prefix(at + 1);  // --data-urlencode name@file
    }
    if (text.empty()) continue;
    if (text.size() == w.text.size()) {
      secret_word(rc, w);
    } else {
      Word candidate;
      candidate.text = std::string(text);
      candidate.unknown = text.find(shell::kUnknown) != std::string_view::npos;
      candidate.glob = w.glob;
      secret_word(rc, candidate);
    }
  }
}

// False when no word of `rc` could name a secret, and no setting or
// placeholder brings one in.
bool Checker::may_hold_secrets(const RunCommand& rc) const {
  if (!s_.secret_paths.empty() || !rc.placeholder_roots.empty() ||
      cwd_in_secrets(rc.cwd)) {
    return true;
  }
  for (std::size_t k = 1; k < rc.argv.size(); ++k) {
    const Word& w = rc.argv[k];
    // What may_name_secret asks, loosened so that it also holds for every
    // part secrets() takes out of a word (the FILE of --opt=FILE, @FILE,
    // name=@FILE): a part inherits the word's flags, and any text it
    // holds, the word holds too.
    if (w.unknown || w.glob || w.text.find("{}") != std::string::npos ||
        has_secret_hint(w.text) ||
        (!f_.home.empty() && w.text.find(f_.home) != std::string::npos)) {
      return true;
    }
  }
  return false;
}

// git add and commit: staging a secret puts it in history, and often on a
// remote. git show REV:PATH, diff and log -p print what files hold.
void Checker::git_secrets(const RunCommand& rc) {
  std::size_t k = read_git_call(rc.argv, nullptr).subcommand;
  if (k >= rc.argv.size()) return;
  if (rc.argv[k].text == "add") {
    for (std::size_t m = k + 1; m < rc.argv.size(); ++m) {
      if (!rc.argv[m].text.starts_with('-')) secret_word(rc, rc.argv[m]);
    }
  } else if (rc.argv[k].text == "commit") {
    // git commit PATH... stages the paths it names, as add would.
    Options o = options_of(
        rc.argv, k + 1, "mFCct",
        {"--message", "--file", "--reuse-message", "--reedit-message",
         "--template", "--author", "--date", "--cleanup", "--fixup", "--squash",
         "--trailer", "--pathspec-from-file"});
    for (std::size_t m : o.operands) secret_word(rc, rc.argv[m]);
  } else if (has({"show", "cat-file"}, rc.argv[k].text)) {
    // git show HEAD:.env prints the file as a commit holds it, and
    // git show HEAD -- .env its changes.
    bool paths = false;
    for (std::size_t m = k + 1; m < rc.argv.size(); ++m) {
      const Word& w = rc.argv[m];
      if (paths) secret_word(rc, w);
      paths = paths || w.text == "--";
      std::size_t colon = w.text.find(':');
      if (w.text.starts_with('-') || colon == std::string::npos ||
          colon + 1 >= w.text.size()) {
        continue;
      }
      Word path;
      path.text = w.text.substr(colon + 1);
      path.unknown = path.text.find(shell::kUnknown) != std::string::npos;
      path.glob = w.glob;
      secret_word(rc, path);
    }
  } else if (rc.argv[k].text == "diff" || rc.argv[k].text == "blame") {
    // Its paths' changed lines (with --no-index, two files whole).
    for (std::size_t m = k + 1; m < rc.argv.size(); ++m) {
      if (!rc.argv[m].text.starts_with('-')) secret_word(rc, rc.argv[m]);
    }
  } else if (rc.argv[k].text == "log" &&
             any_word(rc.argv, {"-p", "-u", "--patch", "--follow"}, k + 1)) {
    // git log -p .env: every version the history holds. (Revisions
    // among the words name no file.)
    for (std::size_t m = k + 1; m < rc.argv.size(); ++m) {
      if (!rc.argv[m].text.starts_with('-')) secret_word(rc, rc.argv[m]);
    }
  }
}

// The words of `rc` that name no file it reads: the pattern of grep-like
// tools, the destination of a copy or move.
std::vector<std::size_t> Checker::not_read(const RunCommand& rc) {
  std::string_view p = rc.program;
  std::vector<std::size_t> skip;
  // The pattern operand of grep-like tools is text, not a file.
  if (!rc.from_code && has({"grep", "egrep", "fgrep", "zgrep", "rg", "ag",
                            "ack", "sed", "awk", "gawk", "mawk", "jq"},
                           p)) {
    Options o =
        options_of(rc.argv, 1, "eABCmgtTM",
                   {"--regexp", "--max-count", "--glob", "--type", "--context",
                    "--after-context", "--before-context"});
    bool pattern_given = o.short_has('e') || o.short_has('f') ||
                         o.long_has("--regexp") || o.long_has("--file") ||
                         o.long_has("--files");
    if (!pattern_given && !o.operands.empty()) skip.push_back(o.operands[0]);
    // Patterns given as options: -e PATTERN, --regexp=PATTERN, -ie PATTERN
    // and -ePATTERN. (-f FILE names a file it reads.)
    if (p != "sed" && p != "jq") {
      for (std::size_t k = 1; k < rc.argv.size(); ++k) {
        std::string_view t = rc.argv[k].text;
        if (t == "--") break;
        if (t == "--regexp" && k + 1 < rc.argv.size()) {
          skip.push_back(k + 1);
        } else if (t.starts_with("--regexp=")) {
          skip.push_back(k);
        } else if (t.size() > 1 && t[0] == '-' && t[1] != '-') {
          // The first letter that takes a value ends a short cluster.
          std::size_t v = t.find_first_of("eABCmgtTMf", 1);
          if (v == std::string_view::npos || t[v] != 'e') continue;
          skip.push_back(v + 1 < t.size() ? k : k + 1);
        }
      }
    }
  }
  // The destination of a copy or move is written, not read.
  if (has({"cp", "mv", "install", "ln", "rsync", "scp"}, p)) {
    Options o = options_of(rc.argv, 1, "tS", {"--target-directory"});
    bool target_option = o.short_has('t') || o.long_has("--target-directory");
    if (o.operands.size() >= 2 && !target_option) {
      skip.push_back(o.operands.back());
    }
  }
  // curl sends these as they are: an @ in them names no file. Its
  // certificates and keys authenticate the connection, as ssh -i does,
  // and are neither sent nor shown.
  if (p == "curl") {
    static const WordSet kTls = {
        "--cert -E --key --cacert --capath --proxy-cert --proxy-key "
        "--proxy-cacert --crlfile --pinnedpubkey"};
    for (std::size_t k = 1; k < rc.argv.size(); ++k) {
      std::string_view t = rc.argv[k].text;
      std::size_t eq = t.find('=');
      if (t.starts_with("--") && eq != std::string_view::npos &&
          kTls.contains(t.substr(0, eq))) {
        skip.push_back(k);
      } else if (k + 1 < rc.argv.size() &&
                 (t == "--form-string" || t == "--data-raw" ||
                  kTls.contains(t))) {
        skip.push_back(k + 1);
      }
    }
  }
  return skip;
}

namespace {

// What every secret name below holds (in any case), and so does any path
// into a home directory's dot-directories.
constexpr std::string_view kHints[] = {
    ".env",      "id_",      "netrc",   "credential",     "pgpass",
    ".my.cnf",   "vault",    "s3cfg",   "boto",           ".key",
    ".p12",      ".pfx",     ".ppk",    ".jks",           "keystore",
    ".pem",      "npmrc",    "pypirc",  ".docker",        ".kube",
    "hosts.yml", ".aws",     ".config", ".terraform",     ".cargo",
    ".gem",      ".ssh",     ".gnupg",  "password-store", ".azure",
    "keyrings",  "~",        ".pkcs12", ".kdbx",          ".ovpn",
    ".asc",      ".gpg",     ".age",    "_rsa",           "_dsa",
    "_ecdsa",    "_ed25519", "shadow",  "sudoers",        "master.passwd",
    "ssh_host_", "mcp.json", "settings.local.json"};

// True when `text`, in ASCII lower case, holds one of kHints. Every word
// of every command asks this, so it is one automaton over all the hints
// (Aho-Corasick): one table step per byte, whatever the number of hints.
// Bytes that appear in no hint share one column, which keeps the table
// (about 16 KB) in the cache.
bool has_secret_hint(std::string_view text) {
  struct Automaton {
    std::array<std::uint8_t, 256> column{};  // byte -> column; 0: in no hint
    std::vector<std::uint16_t> next;         // state * columns + column
    std::vector<std::uint8_t> accepts;
    std::size_t columns = 1;
  };
  static const Automaton kAutomaton = [] {
    Automaton a;
    for (std::string_view h : kHints) {
      for (char c : h) {
        auto u = static_cast<unsigned char>(c);
        if (a.column[u] == 0)
          a.column[u] = static_cast<std::uint8_t>(a.columns++);
      }
    }
    for (int c = 'A'; c <= 'Z'; ++c) a.column[c] = a.column[c - 'A' + 'a'];
    // The trie of the hints; 0 in `next` means no edge yet (the root has
    // no edge into itself, so 0 is free to mean that).
    std::vector<std::vector<std::uint16_t>> edge(
        1, std::vector<std::uint16_t>(a.columns));
    a.accepts.assign(1, false);
    for (std::string_view h : kHints) {
      std::size_t s = 0;
      for (char c : h) {
        std::uint8_t col = a.column[static_cast<unsigned char>(c)];
        if (edge[s][col] == 0) {
          edge[s][col] = static_cast<std::uint16_t>(edge.size());
          edge.emplace_back(a.columns);
          a.accepts.push_back(false);
        }
        s = edge[s][col];
      }
      a.accepts[s] = true;
    }
    // Breadth first: each state's missing edges are its longest proper
    // suffix state's, and it accepts when that suffix does.
    std::vector<std::uint16_t> fail(edge.size(), 0), queue;
    for (std::size_t col = 0; col < a.columns; ++col) {
      if (edge[0][col] != 0) queue.push_back(edge[0][col]);
    }
    for (std::size_t q = 0; q < queue.size(); ++q) {
      std::uint16_t s = queue[q];
      if (a.accepts[fail[s]]) a.accepts[s] = true;
      for (std::size_t col = 0; col < a.columns; ++col) {
        std::uint16_t t = edge[s][col];
        if (t == 0) {
          edge[s][col] = edge[fail[s]][col];
        } else {
          fail[t] = edge[fail[s]][col];
          queue.push_back(t);
        }
      }
    }
    for (const auto& row : edge)
      a.next.insert(a.next.end(), row.begin(), row.end());
    return a;
  }();
  const Automaton& a = kAutomaton;
  std::size_t s = 0;
  for (char c : text) {
    s = a.next[s * a.columns + a.column[static_cast<unsigned char>(c)]];
    if (a.accepts[s]) return true;
  }
  return false;
}

}  // namespace

// True when commands run in `cwd` are inside a secret directory. Every
// word of a command asks this of the same directory, so the last answer
// is kept.
bool Checker::cwd_in_secrets(const std::string& cwd) const {
  if (cwd.empty()) return false;
  if (!cwd_secret_known_ || cwd != cwd_secret_path_) {
    cwd_secret_path_ = cwd;
    cwd_secret_ = secret_directory(cwd);
    cwd_secret_known_ = true;
  }
  return cwd_secret_;
}

// False when a plain word cannot name a secret: none of the names that
// secret files and directories have appears in it (in any case), and it
// is not used inside a secret directory.
bool Checker::may_name_secret(const Word& w, const RunCommand& rc) const {
  if (w.glob || w.unknown || !s_.secret_paths.empty()) return true;
  if (w.text.find("{}") != std::string::npos) return true;
  if (cwd_in_secrets(rc.cwd)) return true;
  if (has_secret_hint(w.text)) return true;
  // A home directory named in full.
  return !f_.home.empty() && w.text.find(f_.home) != std::string::npos &&
         (w.text.size() == f_.home.size() ||
          w.text.compare(f_.home.size(), 2, "/.") == 0);
}

void Checker::secret_word(const RunCommand& rc, const Word& w) {
  if (!may_name_secret(w, rc)) return;
  if (w.text.find("{}") != std::string::npos && !rc.placeholder_roots.empty()) {
    for (const Word& root : rc.placeholder_roots) {
      Target t = resolve(root, rc.cwd, f_);
      if (t.kind == Target::kUnknown) continue;
      for (const std::string& name : rc.placeholder_names) {
        std::string candidate = t.path + "/" + name;
        if (name.find_first_of("*?[") == std::string::npos) {
          if (secret_kind(candidate) != SecretKind::kNone)
            secret_exact(candidate, said(rc));
        }
      }
      if (secret_directory(t.path)) secret_dir(t.path, said(rc));
    }
    return;
  }
  Target t = resolve(w, rc.cwd, f_);
  if (t.kind == Target::kExact) {
    if (secret_kind(t.path) != SecretKind::kNone)
      secret_exact(t.path, said(rc));
    if (secret_root(t.path)) secret_dir(t.path, said(rc));
  } else if (t.kind == Target::kBelow) {
    if (secret_directory(t.path)) secret_dir(t.path, said(rc));
    glob_secrets(rc, w);
  } else {
    // Text that is partly unknown still shows what it names.
    std::string name = basename_of(w.text);
    if (name.find(shell::kUnknown) == std::string::npos &&
        secret_kind("/" + name) != SecretKind::kNone) {
      secret_exact("/" + name, said(rc));
    }
  }
}

namespace {

// The alternatives of the brace expansions in `pattern` ({a,b}x gives ax
// and bx), at most `limit` of them; a brace with no comma stays as it is.
// Nothing when the pattern has more alternatives than that, or is too
// long to be worth trying: such a pattern is judged as it is written.
std::vector<std::string> brace_alternatives(const std::string& pattern,
                                            std::size_t limit) {
  constexpr std::size_t kMaxPattern = 4096;
  if (pattern.size() > kMaxPattern ||
      std::count(pattern.begin(), pattern.end(), '{') > 64) {
    return {};
  }
  std::vector<std::string> done;
  std::vector<std::string> todo{pattern};
  // Each step takes one brace group off one pattern; every pattern in
  // `todo` is at most kMaxPattern bytes and there are at most `limit`
  // of them, so the work is bounded whatever the input.
  while (!todo.empty()) {
    std::string p = std::move(todo.back());
    todo.pop_back();
    std::size_t open = p.find('{');
    std::size_t close = std::string::npos;
    std::vector<std::size_t> commas;
    while (open != std::string::npos) {
      int depth = 0;
      commas.clear();
      close = std::string::npos;
      for (std::size_t i = open; i < p.size(); ++i) {
        if (p[i] == '{') ++depth;
        if (p[i] == '}' && --depth == 0) {
          close = i;
          break;
        }
        if (p[i] == ',' && depth == 1) commas.push_back(i);
      }
      if (close == std::string::npos || !commas.empty()) break;
      open = p.find('{', open + 1);
    }
    if (open == std::string::npos || close == std::string::npos) {
      done.push_back(std::move(p));
    } else {
      commas.push_back(close);
      std::size_t from = open + 1;
      for (std::size_t c : commas) {
        todo.push_back(p.substr(0, open) + p.substr(from, c - from) +
                       p.substr(close + 1));
        from = c + 1;
      }
    }
    if (done.size() + todo.size() > limit) return {};
  }
  return done;
}

}  // namespace

// A glob that a secret file's name matches may pick it up: .e*, .en?,
// {.env,x} in the project, ~/.ss?/id_rsa in the home. Each pattern is
// tried on a file of each kind the names above judge, in the pattern's
// own directory and in the home's dot-directories, as the shell would
// match it (a leading dot matched only by a dot). A pattern that takes
// ordinary names too (*, src/*) is aimed at none of them, unless at
// dot-files, which are few. Brace alternatives without a glob are judged
// as the paths they are.
void Checker::glob_secrets(const RunCommand& rc, const Word& w) {
  static constexpr std::string_view kOrdinary[] = {"README.md", "main.py",
                                                   "index.js", "Makefile"};
  static constexpr std::string_view kNames[] = {
      ".env",     ".env.local", ".env.production", "id_rsa", "id_ed25519",
      "id_ecdsa", "id_dsa",     "credentials",     ".netrc", ".git-credentials",
      ".pgpass",  ".npmrc",     ".pypirc",         "server.key", "private.pem"};
  static constexpr std::string_view kHomeFiles[] = {
      "/.ssh/id_rsa",        "/.ssh/id_ed25519",      "/.aws/credentials",
      "/.kube/config",       "/.docker/config.json",  "/.config/gh/hosts.yml",
      "/.gnupg/secring.gpg", "/.git-credentials",     "/.netrc"};
  if (w.unknown || w.text.find("{}") != std::string::npos) return;
  std::string full = shell::resolve_path(rc.cwd.str(), w.text);
  if (full.empty()) full = w.text;  // relative, where it runs is unknown
  std::vector<std::string> patterns = brace_alternatives(full, 16);
  for (const std::string& pattern : patterns) {
    // fnmatch backtracks at each star: a pattern with many stars in one
    // component could take time exponential in them. Such patterns, and
    // long ones, are judged as they are written.
    std::size_t stars = 0;
    bool tame = pattern.size() <= 512;
    for (char c : pattern) {
      stars = c == '/' ? 0 : stars + (c == '*');
      tame = tame && stars <= 3;
    }
    if (!tame) continue;
    if (pattern.find_first_of("*?[") == std::string::npos) {
      if (!pattern.starts_with('/')) continue;
      if (secret_kind(pattern) != SecretKind::kNone) {
        secret_exact(pattern, said(rc));
      }
      if (secret_root(pattern)) secret_dir(pattern, said(rc));
      continue;
    }
    std::vector<std::string> candidates;
    std::size_t slash = pattern.rfind('/');
    std::string dir = slash == std::string::npos ? "" : pattern.substr(0, slash);
    auto matches = [&](const std::string& path) {
      std::string_view subject = path;
      if (dir.empty()) subject.remove_prefix(1);  // matched as a name
      return ::fnmatch(pattern.c_str(), std::string(subject).c_str(),
                       FNM_PATHNAME | FNM_PERIOD) == 0;
    };
    bool ordinary = std::any_of(
        std::begin(kOrdinary), std::end(kOrdinary),
        [&](std::string_view n) { return matches(dir + "/" + std::string(n)); });
    if (dir.find_first_of(kGlobChars) == std::string::npos) {
      for (std::string_view name : kNames) {
        if (ordinary && !name.starts_with('.')) continue;
        candidates.push_back(dir + "/" + std::string(name));
      }
    } else {
      // */.env, src/*/.env*: the names it takes, wherever they are.
      std::string base = pattern.substr(slash + 1);
      auto takes = [&](std::string_view n) {
        return ::fnmatch(base.c_str(), std::string(n).c_str(), FNM_PERIOD) == 0;
      };
      bool plain = std::any_of(std::begin(kOrdinary), std::end(kOrdinary), takes);
      for (std::string_view name : kNames) {
        if ((plain && !name.starts_with('.')) || !takes(name)) continue;
        SecretKind kind = secret_kind("/" + std::string(name));
        if (kind == SecretKind::kEnv) {
          found(Check::kEnvFiles, Decision::kAsk,
                said(rc) + " may expose .env files to the agent.");
          return;
        }
        if (kind != SecretKind::kNone) {
          found(Check::kSecretFiles, Decision::kAsk,
                said(rc) + " may pick up a file named " + std::string(name) +
                    ", which would hold a key or credentials.");
          return;
        }
      }
    }
    if (!f_.home.empty() && pattern.starts_with(f_.home + "/")) {
      for (std::string_view file : kHomeFiles) {
        candidates.push_back(f_.home + std::string(file));
      }
    }
    for (const std::string& c : candidates) {
      if (!matches(c)) continue;
      SecretKind kind = secret_kind(c);
      if (kind == SecretKind::kEnv) {
        found(Check::kEnvFiles, Decision::kAsk,
              said(rc) + " may expose .env files to the agent.");
        return;
      }
      if (kind != SecretKind::kNone) {
        found(Check::kSecretFiles, Decision::kAsk,
              said(rc) + " may pick up " + c +
                  ", which would hold a key or credentials.");
        return;
      }
    }
  }
}

// gpg --export-secret-keys and its kin.
void Checker::gpg_exports(const RunCommand& rc) {
  for (const Word& w : rc.argv) {
    if (w.text.starts_with("--export-secret")) {
      found(
          Check::kSecretFiles, Decision::kDeny,
          code_span(command_text(rc)) + through(rc) + " exports private keys.");
    }
  }
}

}  // namespace twk::core::checks

namespace twk::core::checks {

bool Checker::output_seen(const RunCommand& rc) const {
  const shell::Command* c = rc.source;
  if (c == nullptr || rc.from_code) return false;
  if ((c->place & (shell::kInSubstitution | shell::kInProcess)) != 0) {
    return false;
  }
  for (const shell::Redirect& r : c->redirects) {
    bool to_file = r.kind == shell::RedirectKind::kOutput ||
                   r.kind == shell::RedirectKind::kAppend;
    if (to_file && (r.fd == -1 || r.fd == 1)) return false;
  }
  if ((c->place & shell::kInPipeline) == 0 || set_ == nullptr) return true;
  // Piped on (gcloud auth print-access-token | docker login
  // --password-stdin): the next stage takes it, not the agent.
  for (const shell::Analysis& a : set_->analyses) {
    if (a.commands.empty() || c < &a.commands.front() ||
        c > &a.commands.back()) {
      continue;
    }
    for (const shell::Command& other : a.commands) {
      if (other.pipeline == c->pipeline && other.stage > c->stage) {
        return false;
      }
    }
  }
  return true;
}

void Checker::printed_credentials(const RunCommand& rc) {
  std::string_view p = rc.program;
  // After . .env, a variable the text never set came from the file:
  // echo $API_KEY prints it.
  if (!sourced_env_.empty() && (p == "echo" || p == "printf")) {
    bool from_env = std::any_of(rc.argv.begin() + 1, rc.argv.end(),
                                [](const Word& w) { return w.outside; });
    if (from_env && output_seen(rc)) {
      found(Check::kEnvFiles, Decision::kAsk,
            code_span(command_text(rc)) + through(rc) +
                " prints a value that may come from " + sourced_env_ +
                ", which the command loaded into the environment.");
    }
    return;
  }
  // Most programs are none of those below: one lookup rules them out.
  static const WordSet kPrograms = {
      "source . env printenv set export declare typeset gh kubectl oc aws "
      "gcloud az heroku security git op vault"};
  if (!kPrograms.contains(p) && !p.starts_with("docker-credential-")) return;
  const auto& a = rc.argv;
  // The words after the program, up to the first option, as one text:
  // "auth token", "config view".
  auto words = [&](std::size_t from) {
    std::string out;
    for (std::size_t k = from; k < a.size() && out.size() < 64; ++k) {
      if (a[k].text.starts_with('-')) continue;
      if (!out.empty()) out += ' ';
      out += a[k].text;
    }
    return out;
  };
  auto option = [&](std::string_view name) {
    return std::any_of(a.begin(), a.end(), [&](const Word& w) {
      return w.text == name || w.text.starts_with(std::string(name) + "=");
    });
  };
  std::string what;  // what it prints, when it prints credentials
  if (p == "source" || p == ".") {
    if (a.size() >= 2) {
      Target t = resolve(a[1], rc.cwd, f_);
      if (t.kind == Target::kExact &&
          secret_kind(t.path) == SecretKind::kEnv) {
        sourced_env_ = basename_of(t.path);
      }
    }
    return;
  }
  if (!sourced_env_.empty() &&
      (has({"env", "printenv"}, p) ||
       (has({"set", "export", "declare", "typeset"}, p) &&
        (a.size() == 1 ||
         (a.size() == 2 && has({"-p", "-x", "-px", "-xp"}, a[1].text)))))) {
    what = "the secrets " + sourced_env_ + " loaded into the environment";
  } else if (p == "gh") {
    if (words(1).starts_with("auth token")) what = "the GitHub token";
  } else if (has({"kubectl", "oc"}, p)) {
    if (words(1).starts_with("config view") && option("--raw")) {
      what = "the cluster credentials";
    }
  } else if (p == "aws") {
    std::string w = lower(words(1));
    if (w.starts_with("configure export-credentials") ||
        w.starts_with("sts get-session-token") ||
        (w.starts_with("configure get") &&
         (w.find("secret") != std::string::npos ||
          w.find("token") != std::string::npos))) {
      what = "AWS credentials";
    }
  } else if (p == "gcloud") {
    std::string w = words(1);
    if (w.starts_with("auth print-") ||
        w.starts_with("auth application-default print-") ||
        w.starts_with("config config-helper")) {
      what = "a Google Cloud token";
    }
  } else if (p == "az") {
    if (words(1).starts_with("account get-access-token")) {
      what = "an Azure token";
    }
  } else if (p == "heroku") {
    if (words(1).starts_with("auth:token")) what = "the Heroku token";
  } else if (p == "security") {
    std::string w = words(1);
    if ((w.starts_with("find-generic-password") ||
         w.starts_with("find-internet-password")) &&
        std::any_of(a.begin(), a.end(), [](const Word& x) {
          return x.text.size() > 1 && x.text[0] == '-' && x.text[1] != '-' &&
                 x.text.find_first_of("wg") != std::string::npos;
        })) {
      what = "a password from the keychain";
    }
  } else if (p == "git") {
    std::size_t k = read_git_call(a, nullptr).subcommand;
    if (k + 1 < a.size() && a[k].text == "credential" &&
        has({"fill", "get"}, a[k + 1].text)) {
      what = "a stored git password";
    }
  } else if (p.starts_with("docker-credential-")) {
    if (words(1) == "get") what = "registry credentials";
  } else if (p == "op") {
    std::string w = words(1);
    if (w.starts_with("read") ||
        (w.starts_with("item get") && option("--reveal"))) {
      what = "a secret from 1Password";
    }
  } else if (p == "vault") {
    std::string w = words(1);
    if (w.starts_with("print token") || w.starts_with("kv get") ||
        w.starts_with("read")) {
      what = "a secret from Vault";
    }
  }
  if (what.empty() || !output_seen(rc)) return;
  found(Check::kSecretFiles, Decision::kAsk,
        code_span(command_text(rc)) + through(rc) + " prints " + what +
            " where the agent sees it.");
}

}  // namespace twk::core::checks
