// The self-protection check and writes: what a command or file tool
// would change among the files that keep the agent's guard working (Core's
// state, the hook and Core binaries, the agent's hook settings), and what
// writing a file means beyond them (keys, shell start-up files, system
// configuration, devices, the project's git hooks). Also mv taking a
// tree away.
#include <fnmatch.h>

#include <unordered_set>

#include "shell/checker.h"

namespace twk::core::checks {

// What self-protection guards. `whole_trees`: only what lies outside the
// project, where deleting a directory that holds it counts too (the
// project's own settings go with the project, which recursive-delete
// judges).
std::vector<std::string> Checker::protected_list(bool whole_trees) const {
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
std::optional<std::string> Checker::touches_protected(const Target& t,
                                                      bool tree) const {
  if (auto hit = touches_protected_as_written(t, tree)) return hit;
  if (t.kind == Target::kUnknown) return std::nullopt;
  // docs/notes.md -> ../../.claude/settings.json, shipped in a repository:
  // writing the one writes the other.
  if (std::optional<std::string> real = link_target(t.path)) {
    Target followed = t;
    followed.path = std::move(*real);
    return touches_protected_as_written(followed, tree);
  }
  return std::nullopt;
}

void Checker::note_links_made(const RunCommand& rc) {
  bool symbolic = rc.program == "ln" || rc.program == "cp";
  if (!symbolic || rc.remote || links_made_.size() >= 64) return;
  Options o = options_of(rc.argv, 1, "tS", {"--target-directory", "--suffix"});
  if (!o.short_has('s') && !o.long_has("--symbolic") &&
      !o.long_has("--symbolic-link")) {
    return;
  }
  if (o.operands.size() != 2 || o.short_has('t')) return;
  const Word& target = rc.argv[o.operands[0]];
  Target link = resolve(rc.argv[o.operands[1]], rc.cwd, f_);
  if (link.kind != Target::kExact || target.unknown || target.text.empty()) {
    return;
  }
  // A relative target is found from the link's own directory.
  std::string dir = link.path.substr(0, link.path.rfind('/'));
  Word w = target;
  Target to = resolve(w, target.text.starts_with('/') ||
                                 target.text.starts_with('~')
                             ? rc.cwd.str()
                             : (dir.empty() ? "/" : dir),
                      f_);
  if (to.kind != Target::kExact) return;
  // Into an existing directory, ln makes LINK/NAME; Core can't tell, so
  // both places count. A link that leads to itself or below it (and "/",
  // which is no link) leads nowhere: the system refuses paths through it.
  auto note = [&](std::string from) {
    if (from != "/" && !within(to.path, from)) {
      links_made_.emplace_back(std::move(from), to.path);
    }
  };
  note(link.path);
  note(shell::resolve_path(link.path, basename_of(to.path)));
}

std::optional<std::string> Checker::through_made_link(
    std::string_view path) const {
  for (const auto& [link, target] : links_made_) {
    if (within(path, link)) {
      return shell::resolve_path(target, path.substr(link.size()).empty()
                                             ? std::string_view(".")
                                             : path.substr(link.size() + 1));
    }
  }
  return std::nullopt;
}

std::optional<std::string> Checker::link_target(const std::string& path) const {
  if (std::optional<std::string> made = through_made_link(path)) return made;
  if (f_.linked_path == nullptr || f_.project.empty() ||
      !within(path, f_.project)) {
    return std::nullopt;
  }
  for (const auto& [seen, real] : links_seen_) {
    if (seen == path) return real;
  }
  std::optional<std::string> real = f_.linked_path(path);
  if (links_seen_.size() < 256) links_seen_.emplace_back(path, real);
  return real;
}

std::optional<std::string> Checker::touches_protected_as_written(
    const Target& t, bool tree) const {
  if (t.kind == Target::kUnknown) return std::nullopt;
  for (std::size_t k = 0; k < protected_.size(); ++k) {
    const std::string& p = protected_[k];
    bool hit =
        protected_glob_[k] ? matches_pattern(t.path, p, f_) : within(t.path, p);
    if (hit) return p;
  }
  if (!tree && t.kind != Target::kBelow) return std::nullopt;
  // The directory that holds protected files named by a pattern
  // (.claude for .claude/settings*.json): removed or moved whole, or
  // emptied, they go with it.
  for (const auto& [dir, name] : protected_pattern_dirs_) {
    if (t.path == dir) return dir + "/" + name;
  }
  for (const std::string& p : protected_trees_) {
    if (t.kind == Target::kBelow ? within(p, t.path) : below(p, t.path)) {
      return p;
    }
  }
  return std::nullopt;
}

void Checker::protect_path(const std::string& path, const std::string& tool,
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

namespace {
// Beyond the name-only programs: those that only read the files they are
// given (sed and find are judged by their options).
constexpr std::string_view kReaders =
    "cat less more head tail grep egrep fgrep rg ag diff cmp jq md5sum "
    "sha1sum sha256sum sha512sum b2sum bat batcat xxd od hexdump strings "
    "awk view column sort uniq nl tac";
}  // namespace

bool Checker::read_only(const RunCommand& rc) {
  // The files an interpreter's code names may be written by it (awk's
  // print > "FILE"), whatever the interpreter's own arguments do.
  if (rc.from_code) return false;
  std::string_view p = rc.program;
  // rsync -n, --dry-run and --list-only only say what they would do.
  if (p == "rsync") {
    Options o = options_of(rc.argv, 1);
    if (o.short_has('n') || o.long_has("--dry-run") ||
        o.long_has("--list-only")) {
      return true;
    }
  }
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
  static const WordSet kPrograms({kNameOnlyPrograms, kReaders});
  return kPrograms.contains(p);
}

bool Checker::tree_command(const RunCommand& rc) {
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
bool Checker::may_touch_protected(const Word& w, const RunCommand& rc,
                                  bool tree) const {
  if (tree || w.glob || w.unknown || protected_names_.empty()) return true;
  if (cwd_in_protected(rc.cwd)) return true;
  for (const std::string& name : protected_names_) {
    if (w.text.find(name) != std::string::npos) return true;
  }
  return false;
}

// True when `name` is the last component of something protected, or of
// the directory that holds protected files named by a pattern.
bool Checker::names_protected(std::string_view name) const {
  if (name.empty()) return false;
  for (const std::string& n : protected_names_) {
    if (n == name) return true;
  }
  std::string copy(name);
  for (const std::string& p : protected_) {
    std::string last = basename_of(p);
    if (last.find_first_of("*?[") != std::string::npos &&
        ::fnmatch(last.c_str(), copy.c_str(), 0) == 0) {
      return true;
    }
  }
  for (const auto& [dir, pattern] : protected_pattern_dirs_) {
    if (basename_of(dir) == name) return true;
  }
  return false;
}

// True when `cwd` is within something protected. Every word of a command
// asks this of the same directory, so the last answer is kept.
bool Checker::cwd_in_protected(const std::string& cwd) const {
  if (cwd.empty()) return false;
  if (!cwd_protected_known_ || cwd != cwd_protected_path_) {
    cwd_protected_path_ = cwd;
    cwd_protected_ = false;
    for (const std::string& p : protected_) {
      if (within(cwd, p)) cwd_protected_ = true;
    }
    cwd_protected_known_ = true;
  }
  return cwd_protected_;
}

void Checker::self_protection(const RunCommand& rc) {
  if (rc.remote || read_only(rc)) return;
  std::vector<std::size_t> read;
  if (copy_landings(rc, read)) return;
  unpacked_over(rc);
  // Programs known to change the files they are given are judged on
  // where each leads, whatever its name: a link in the project may lead
  // to the guard's files.
  static const WordSet kChangers = {
      "rm unlink rmdir shred truncate tee sponge cp mv install ln rsync dd "
      "sed perl ruby chmod chown chgrp touch mkdir trash patch ed"};
  bool follow_links = f_.linked_path != nullptr && !f_.project.empty() &&
                      kChangers.contains(rc.program);
  // sed -i and its kin change only the files after their script.
  std::vector<std::size_t> edited;
  bool editor = follow_links && has({"sed", "perl", "ruby"}, rc.program);
  if (editor) edited = in_place_files(rc);
  bool tree = tree_command(rc);
  bool placeholder_judged = false;
  for (std::size_t k = 1; k < rc.argv.size(); ++k) {
    if (std::find(read.begin(), read.end(), k) != read.end()) continue;
    // A copy only for --opt=VALUE and NAME=VALUE (dd's of=FILE): most
    // words are judged as they are.
    const Word* word = &rc.argv[k];
    Word value;
    std::size_t eq = word->text.find('=');
    if (word->text.starts_with('-')) {
      if (eq == std::string::npos) continue;
    } else if (word->text.starts_with("of=")) {
      // dd's of=FILE: the file it writes.
      if (may_touch_protected(*word, rc, tree)) {
        Target whole = resolve(*word, rc.cwd, f_);
        if (auto p = touches_protected(whole, tree)) {
          found(Check::kSelfProtection, Decision::kDeny,
                code_span(command_text(rc)) + through(rc) + " would change " +
                    *p + ", which keeps the agent's guard working.");
          return;
        }
      }
    } else {
      eq = std::string::npos;
    }
    if (eq != std::string::npos) {
      value = *word;
      value.text = word->text.substr(eq + 1);
      word = &value;
    }
    const Word& w = *word;
    // find ROOT -exec CMD {}: what find selects below its roots.
    if (!rc.placeholder_roots.empty() &&
        w.text.find("{}") != std::string::npos) {
      // Once per command, however many "{}" it has.
      if (placeholder_judged) continue;
      placeholder_judged = true;
      // Below a root that holds protected files, names that none of them
      // has select nothing of ours; inside one, any name may.
      bool named_ours =
          rc.placeholder_names.empty() || protected_names_.empty();
      for (const std::string& pattern : rc.placeholder_names) {
        named_ours = named_ours || pattern.empty();
        for (const std::string& name : protected_names_) {
          named_ours =
              named_ours || ::fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
        }
      }
      // A name pattern the find may select: one that can name a file the
      // protected pattern names (settings.json for settings*.json).
      // Without a name, find takes the project whole, as rm -rf . does,
      // which the recursive-delete check asks about.
      auto selects = [&](const std::string& pattern) {
        for (std::string_view fill : {"", "x"}) {
          std::string instance = pattern_instance(pattern, fill);
          for (const std::string& n : rc.placeholder_names) {
            if (!n.empty() && ::fnmatch(n.c_str(), instance.c_str(), 0) == 0) {
              return true;
            }
          }
        }
        return false;
      };
      for (const Word& root : rc.placeholder_roots) {
        Target t = resolve(root, rc.cwd, f_);
        std::optional<std::string> p = touches_protected(t, false);
        if (!p && named_ours) p = touches_protected(t, true);
        for (const auto& [dir, name] : protected_pattern_dirs_) {
          if (!p && t.kind == Target::kExact && within(dir, t.path) &&
              selects(name)) {
            p = dir + "/" + name;
          }
        }
        if (p) {
          found(Check::kSelfProtection, Decision::kDeny,
                code_span(command_text(rc)) + through(rc) + " would change " +
                    *p + ", which keeps the agent's guard working.");
          return;
        }
      }
      continue;
    }
    bool may_lead = follow_links && !w.glob &&
                    (!editor || std::find(edited.begin(), edited.end(), k) !=
                                    edited.end());
    if (w.text.empty() || (!may_touch_protected(w, rc, tree) && !may_lead)) {
      continue;
    }
    Target t = resolve(w, rc.cwd, f_);
    if (t.kind == Target::kUnknown && rc.cwd.empty() && !w.unknown &&
        !w.text.starts_with('/') && !w.text.starts_with('~') &&
        names_protected(basename_of(w.text))) {
      // cd "$(dirname "$F")" && rm settings.json: where it runs is
      // unknown, and the name is one of the guard's.
      found(Check::kSelfProtection, Decision::kAsk,
            code_span(command_text(rc)) + through(rc) +
                " runs in a directory Core can't know and names " +
                basename_of(w.text) +
                ", which may be a file that keeps the agent's guard working.");
      return;
    }
    if (auto p = touches_protected(t, tree)) {
      found(Check::kSelfProtection, Decision::kDeny,
            code_span(command_text(rc)) + through(rc) + " would change " + *p +
                ", which keeps the agent's guard working.");
      return;
    }
  }
}

// cp, mv, install, ln, rsync and scp put each source into a destination
// that is a directory under the source's own name: `cp s/settings.json
// ~/.claude` replaces the settings as surely as naming them would. The
// destination may be a directory whatever its spelling, so each landing
// is judged; a recursive copy lands a whole tree there.
bool Checker::copy_landings(const RunCommand& rc,
                            std::vector<std::size_t>& read) {
  std::string_view p = rc.program;
  if (!has({"cp", "mv", "install", "ln", "rsync", "scp"}, p)) return false;
  const auto& a = rc.argv;
  Options o = options_of(a, 1, "tSm", {"--target-directory", "--suffix"});
  const Word* dest = nullptr;
  for (std::size_t k = 1; k + 1 < a.size(); ++k) {
    if (a[k].text == "-t" || a[k].text == "--target-directory") {
      dest = &a[k + 1];
    }
  }
  std::vector<std::size_t> sources = o.operands;
  if (dest == nullptr) {
    if (sources.size() < 2) return false;
    dest = &a[sources.back()];
    sources.pop_back();
  }
  // A link to a protected file is a way to change it later, and mv and
  // --remove-source-files take the sources away; other copies only read
  // them.
  bool links =
      p == "ln" ||
      (p == "cp" && (o.short_has('l') || o.short_has('s') ||
                     o.long_has("--link") || o.long_has("--symbolic-link")));
  if (p != "mv" && !links && !o.long_has("--remove-source-files")) {
    read = sources;
  }
  // A link to a directory that holds the guard's files (ln -s ~/.claude
  // cfg) is a way to change them under another name.
  if (links) {
    for (std::size_t n : sources) {
      Target s = resolve(a[n], rc.cwd, f_);
      if (auto hit = touches_protected(s, true)) {
        found(Check::kSelfProtection, Decision::kDeny,
              code_span(command_text(rc)) + through(rc) +
                  " would make a way to change " + *hit +
                  ", which keeps the agent's guard working.");
        return true;
      }
    }
  }
  Target d = resolve(*dest, rc.cwd, f_);
  if (d.kind != Target::kExact) return false;
  bool recursive = p == "mv" || o.short_has('r') || o.short_has('R') ||
                   o.long_has("--recursive") ||
                   ((p == "cp" || p == "rsync") &&
                    (o.short_has('a') || o.long_has("--archive")));
  // cp -T copies onto the destination itself: a tree, when recursive,
  // merges into what is there.
  if (p == "cp" && (o.short_has('T') || o.long_has("--no-target-directory"))) {
    if (auto hit = touches_protected(d, recursive)) {
      found(Check::kSelfProtection, Decision::kDeny,
            code_span(command_text(rc)) + through(rc) + " would change " +
                *hit + ", which keeps the agent's guard working.");
      return true;
    }
  }
  for (std::size_t n : sources) {
    const Word& src = a[n];
    // rsync's SRC/ copies what is inside SRC: the destination itself,
    // which the words' own check judges.
    if (src.unknown || (p == "rsync" && src.text.ends_with('/'))) continue;
    std::string name = basename_of(src.text);
    if (name.empty() || name == "..") continue;
    Target landing;
    if (name == ".") {
      // SRC/. is what is inside SRC: it lands in the destination itself.
      landing = d;
    } else if (name.find_first_of(kGlobChars) != std::string::npos) {
      // SRC/*: what the pattern matches lands under the names it has.
      Word w;
      w.text = d.path + "/" + name;
      w.glob = true;
      landing = resolve(w, rc.cwd, f_);
    } else {
      landing.kind = Target::kExact;
      landing.path = shell::resolve_path(d.path, name);
    }
    if (auto hit = touches_protected(landing, recursive)) {
      // A pattern that doesn't start with a dot takes no dot-file:
      // conf/* lands nothing on ~/.claude.
      bool dotted = hit->size() > d.path.size() + 1 && within(*hit, d.path) &&
                    (*hit)[d.path == "/" ? 1 : d.path.size() + 1] == '.';
      if (landing.kind == Target::kBelow && !name.starts_with('.') && dotted) {
        continue;
      }
      found(Check::kSelfProtection, Decision::kDeny,
            code_span(command_text(rc)) + through(rc) + " would change " +
                *hit + ", which keeps the agent's guard working.");
      return true;
    }
  }
  return false;
}

// tar -x, unzip and 7z x write whatever the archive holds, which Core
// can't see: unpacked at or above the home directory, or inside one of
// the guard's own directories, an entry may replace the guard's files.
// The project is unpacked into every day, and its own settings are judged
// when named.
void Checker::unpacked_over(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  std::optional<std::string> dir;  // where it unpacks, as written
  const Word* dir_word = nullptr;
  if (p == "tar" || p == "gtar" || p == "bsdtar") {
    bool extract = false;
    for (std::size_t k = 1; k < a.size(); ++k) {
      std::string_view t = a[k].text;
      if (t == "--") break;
      if (t == "-x" || t == "--extract" || t == "--get" ||
          (k == 1 && !t.starts_with('-') && t.find('x') != std::string::npos) ||
          (t.size() > 1 && t[0] == '-' && t[1] != '-' &&
           t.find('x') != std::string::npos)) {
        extract = true;
      }
      if ((t == "-C" || t == "--directory") && k + 1 < a.size()) {
        dir_word = &a[k + 1];
      } else if (t.starts_with("--directory=")) {
        dir = std::string(t.substr(12));
      } else if (t.size() > 2 && t.starts_with("-C")) {
        dir = std::string(t.substr(2));
      }
    }
    if (!extract) return;
  } else if (p == "unzip") {
    for (std::size_t k = 1; k < a.size(); ++k) {
      std::string_view t = a[k].text;
      // Listing, testing and printing to standard output write nothing.
      if (t == "-l" || t == "-t" || t == "-p" || t == "-v" || t == "-Z" ||
          t == "-c") {
        return;
      }
      if (t == "-d" && k + 1 < a.size()) {
        dir_word = &a[k + 1];
        dir.reset();
      } else if (t.size() > 2 && t.starts_with("-d")) {
        dir = std::string(t.substr(2));
        dir_word = nullptr;
      }
    }
  } else if (p == "7z" || p == "7za" || p == "7zz") {
    if (a.size() < 2 || (a[1].text != "x" && a[1].text != "e")) return;
    for (std::size_t k = 2; k < a.size(); ++k) {
      if (a[k].text.starts_with("-o")) dir = a[k].text.substr(2);
    }
  } else {
    return;
  }
  Target where;
  if (dir_word != nullptr) {
    where = resolve(*dir_word, rc.cwd, f_);
  } else if (dir) {
    Word w;
    w.text = *dir;
    w.unknown = dir->find(shell::kUnknown) != std::string::npos;
    where = resolve(w, rc.cwd, f_);
  } else if (!rc.cwd.empty()) {
    where.kind = Target::kExact;
    where.path = rc.cwd;
  }
  if (where.kind != Target::kExact) return;
  bool at_or_above_home = !f_.home.empty() && within(f_.home, where.path);
  std::optional<std::string> hit = touches_protected(where, false);
  if (!hit && (at_or_above_home || f_.project.empty() ||
               !within(where.path, f_.project))) {
    hit = touches_protected(where, true);
  }
  if (hit) {
    found(Check::kSelfProtection, Decision::kAsk,
          code_span(command_text(rc)) + through(rc) +
              " unpacks an archive Core can't see into " + where.path +
              ", where it may replace " + *hit +
              ", which keeps the agent's guard working.");
  }
}

void Checker::redirects(const RunCommand& rc) {
  if (rc.source == nullptr || rc.from_code || rc.remote) return;
  // Nothing to judge: whether it was seen before makes no difference, and
  // most commands need no entry in the set.
  if (rc.source->redirects.empty()) return;
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
        if (!f_.home.empty() && within(t.path, ssh_dir_))
          access_grant(t.path, "Writing to " + display(r.target) + through(rc));
      }
      if (t.kind == Target::kUnknown && rc.source->cwd.empty() &&
          !r.target.unknown && !r.target.text.starts_with('/') &&
          !r.target.text.starts_with('~') &&
          names_protected(basename_of(r.target.text))) {
        found(Check::kSelfProtection, Decision::kAsk,
              "Writing to " + display(r.target) + through(rc) +
                  " in a directory Core can't know may change a file that "
                  "keeps the agent's guard working.");
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

// What writing `path` changes, beyond the protected files: credentials,
// shell start-up files, who may log in or act as root, disk devices,
// the project's git hooks and configuration.
void Checker::write_target(const std::string& path, const Said& said) {
  if (is_disk_device(path)) {
    found(Check::kDisks, Decision::kDeny,
          said() + " overwrites the device " + path + ".");
    return;
  }
  // Writing a .env file exposes nothing (cp .env.example .env is how
  // projects are set up); overwriting credentials or keys can lock the
  // user out or plant someone else's.
  SecretKind kind = secret_kind(path);
  if (kind == SecretKind::kSecret) {
    found(Check::kSecretFiles, Decision::kDeny,
          said() + " changes " + path + ", which holds keys or credentials.");
  } else if (kind == SecretKind::kMaybeSecret) {
    found(Check::kSecretFiles, Decision::kAsk,
          said() + " changes " + path + ", which may hold keys or credentials.");
  }
  // Any account's home: ~root/.ssh/authorized_keys lets in whoever's key
  // is written there.
  std::string_view home = home_of(path);
  if (!home.empty() && below(path, std::string(home) + "/.ssh") &&
      !basename_of(path).starts_with("known_hosts")) {
    found(Check::kSecretFiles, Decision::kDeny,
          said() + " changes " + path + ", which controls SSH access.");
  }
  if (!home.empty()) {
    std::string_view rel = std::string_view(path).substr(home.size() + 1);
    // Each name below starts with '.': other paths need no comparisons.
    if (rel.starts_with('.') &&
        (has({".bashrc", ".bash_profile", ".bash_login", ".profile", ".zshrc",
              ".zprofile", ".zshenv", ".zlogin", ".kshrc", ".tcshrc", ".cshrc",
              ".xprofile", ".pam_environment", ".config/fish/config.fish"},
             rel) ||
         rel.starts_with(".config/autostart/") ||
         rel.starts_with(".bashrc.d/") || rel.starts_with(".zshrc.d/") ||
         rel.starts_with(".profile.d/"))) {
      found(Check::kSecretFiles, Decision::kAsk,
            said() + " changes " + path +
                ", which every new shell or session runs.");
    }
  }
  // Each path below is in /etc: other paths need no comparisons.
  if (path.starts_with("/etc/") &&
      (has({"/etc/passwd", "/etc/shadow", "/etc/group", "/etc/gshadow",
            "/etc/sudoers", "/etc/crontab", "/etc/hosts", "/etc/environment",
            "/etc/profile", "/etc/ld.so.preload"},
           path) ||
       path.starts_with("/etc/sudoers.d/") || path.starts_with("/etc/ssh/") ||
       path.starts_with("/etc/pam.d/") || path.starts_with("/etc/cron") ||
       path.starts_with("/etc/systemd/") ||
       path.starts_with("/etc/profile.d/"))) {
    std::string_view what = "decides who may log in or act as root";
    if (path == "/etc/hosts") {
      what = "decides where host names lead for every program";
    } else if (path == "/etc/ld.so.preload") {
      what = "loads code into every program";
    } else if (path.starts_with("/etc/cron") ||
               path.starts_with("/etc/systemd/")) {
      what = "decides what the system runs on its own, as root";
    } else if (path == "/etc/environment" || path.starts_with("/etc/profile")) {
      what = "sets up every user's login";
    }
    found(Check::kPermissionSweeps, Decision::kDeny,
          said() + " changes " + path + ", which " + std::string(what) + ".");
  }
  // The system's programs, libraries and boot files: replaced, the
  // machine may not start or may run someone else's code as root.
  static constexpr std::string_view kSystemCode[] = {
      "/bin/",     "/sbin/",      "/usr/bin/", "/usr/sbin/",     "/lib/",
      "/lib32/",   "/lib64/",     "/usr/lib/", "/usr/libexec/", "/boot/",
      "/usr/lib32/", "/usr/lib64/"};
  static constexpr std::string_view kSystemData[] = {"/etc/", "/usr/", "/opt/",
                                                     "/sys/", "/proc/"};
  // (Each system directory's name starts with one of these letters after
  // the slash; the project's and the home's paths are none of them.)
  if (path.size() > 4 && path[0] == '/' &&
      std::string_view("bulseop").find(path[1]) != std::string_view::npos &&
      !(!f_.project.empty() && within(path, f_.project)) &&
      !path.starts_with("/proc/self/fd/")) {
    bool code = std::any_of(std::begin(kSystemCode), std::end(kSystemCode),
                            [&](std::string_view d) {
                              return path.starts_with(d);
                            });
    bool data = !code && std::any_of(std::begin(kSystemData),
                                     std::end(kSystemData),
                                     [&](std::string_view d) {
                                       return path.starts_with(d);
                                     });
    if (code) {
      found(Check::kPermissionSweeps, Decision::kDeny,
            said() + " changes " + path +
                ", one of the system's programs, libraries or boot files.");
    } else if (data) {
      found(Check::kPermissionSweeps, Decision::kAsk,
            said() + " changes " + path + ", a system file.");
    }
  }
  for (const std::string& dir : credential_dirs_) {
    if (path.starts_with(dir)) {
      found(Check::kSecretFiles, Decision::kAsk,
            said() + " changes " + path +
                ", which decides what credentials tools use.");
      break;
    }
  }
  if (!f_.project.empty()) {
    if (path == project_git_) {
      found(Check::kDestructiveGit, Decision::kAsk,
            said() + " replaces the project's git data.");
    }
    if (within(path, project_git_hooks_) || path == project_git_config_) {
      found(Check::kDestructiveGit, Decision::kAsk,
            said() + " changes " + path + ", which git runs or obeys.");
    }
  }
  // Any repository's own data (HEAD, refs, objects, the index, config,
  // hooks), here or in a nested one: written by hand it may lose commits
  // or make git run code. Its exclude list and messages are the user's.
  if (std::size_t g = path.find("/.git/"); g != std::string::npos &&
                                          path != project_git_config_ &&
                                          !within(path, project_git_hooks_)) {
    std::string_view inside = std::string_view(path).substr(g + 6);
    if (!inside.starts_with("info/exclude") &&
        !inside.starts_with("COMMIT_EDITMSG") &&
        !inside.starts_with("description") && !inside.empty()) {
      bool runs = inside == "config" || inside.starts_with("hooks/");
      found(Check::kDestructiveGit, Decision::kAsk,
            said() + " changes " + path +
                (runs ? ", which git runs or obeys." : ", git's own data."));
    }
  }
}

// The files a command writes besides its redirections: tee's files, the
// destination of cp, mv, install and ln, dd's of=, the files sed -i and
// perl -i edit, truncate's files, find's -fprint files. mv also takes its
// sources away.
void Checker::writes(const RunCommand& rc) {
  if (rc.remote) return;
  std::string_view p = rc.program;
  static const std::unordered_set<std::string_view> kWriters = {
      "tee", "sponge", "cp",  "mv",   "install", "ln",       "rsync",
      "scp", "dd",     "sed", "perl", "ruby",    "truncate", "find"};
  if (kWriters.count(p) == 0) return;
  const auto& a = rc.argv;
  auto target = [&](const Word& w) { write_word(rc, w); };
  if (p == "tee" || p == "sponge") {
    Options o = options_of(a, 1);
    for (std::size_t k : o.operands) target(a[k]);
  } else if (has({"cp", "mv", "install", "ln", "rsync", "scp"}, p)) {
    if (p == "rsync" && read_only(rc)) return;  // a dry run
    copy_writes(rc);
  } else if (p == "dd") {
    for (const Word& w : a) {
      if (w.text.starts_with("of=")) {
        Word out = w;
        out.text = w.text.substr(3);
        target(out);
        emptied(rc, out);
      }
    }
  } else if (p == "sed" || p == "perl" || p == "ruby") {
    in_place_writes(rc);
  } else if (p == "find") {
    // -fprint FILE and its kin start FILE afresh, as > FILE does.
    for (std::size_t k = 1; k + 1 < a.size(); ++k) {
      if (has({"-fprint", "-fprint0", "-fls", "-fprintf"}, a[k].text)) {
        target(a[k + 1]);
        emptied(rc, a[k + 1]);
      }
    }
  } else if (p == "truncate") {
    Options o = options_of(a, 1, "sr", {"--size", "--reference"});
    // -s 0, -s -N, -s <N cut the file down; +N, >N and a size taken
    // from a reference file are how files are grown or made.
    bool cuts = false;
    for (std::size_t k = 1; k < a.size(); ++k) {
      std::string_view t = a[k].text;
      std::string_view size;
      if ((t == "-s" || t == "--size") && k + 1 < a.size()) {
        size = a[k + 1].text;
      } else if (t.starts_with("--size=")) {
        size = t.substr(7);
      } else if (t.size() > 2 && t.starts_with("-s")) {
        size = t.substr(2);
      }
      if (!size.empty()) {
        cuts = size == "0" || size.starts_with('-') || size.starts_with('<') ||
               size.starts_with('/') || size.starts_with('%') ||
               size.find(shell::kUnknown) != std::string_view::npos;
      }
    }
    for (std::size_t k : o.operands) {
      target(a[k]);
      emptied(rc, a[k]);
      if (cuts) content_lost(rc, a[k], "cuts");
    }
  }
}

// truncate -s 0 destroys what a file held, with no copy anywhere: outside
// the project and the temporary directories, ask, as for deleting a file
// there. (Devices and system files are judged by what they are. dd of=
// FILE makes a file, an image, as often as it wipes one, and is left to
// those.)
void Checker::content_lost(const RunCommand& rc, const Word& w,
                           std::string_view how) {
  Target t = resolve(w, rc.cwd, f_);
  if (t.kind == Target::kExact &&
      (in_temp(t.path, f_, true) || t.path.starts_with("/dev/") ||
       (!f_.project.empty() && within(t.path, f_.project)))) {
    return;
  }
  std::string what = t.kind == Target::kExact ? t.path : display(w);
  found(Check::kRecursiveDelete, Decision::kAsk,
        code_span(command_text(rc)) + through(rc) + " " + std::string(how) +
            " the content of " + what + ", which can't be had back.");
}

// dd of= and truncate overwrite what a file held in place: a .env file's
// secrets are lost, as with a redirection into it.
void Checker::emptied(const RunCommand& rc, const Word& w) {
  Target t = resolve(w, rc.cwd, f_);
  if (t.kind == Target::kExact && secret_kind(t.path) == SecretKind::kEnv) {
    found(Check::kEnvFiles, Decision::kAsk,
          code_span(command_text(rc)) + through(rc) +
              " replaces the secrets in " + basename_of(t.path) + ".");
  }
}

void Checker::write_word(const RunCommand& rc, const Word& w) {
  Target t = resolve(w, rc.cwd, f_);
  if (t.kind != Target::kExact) return;
  write_target(t.path,
               [&] { return code_span(command_text(rc)) + through(rc); });
}

// cp, mv, install, ln, rsync and scp: the destination, and each source's
// name in it when it is a directory; mv also takes its sources away.
void Checker::copy_writes(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  auto target = [&](const Word& w) { write_word(rc, w); };
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
        write_target(shell::resolve_path(d.path, name),
                     [&] { return said(rc); });
      }
    }
  }
  if (p == "mv") {
    // With -t DIR every operand is a source.
    bool target_option = o.short_has('t') || o.long_has("--target-directory");
    std::size_t sources = target_option || o.operands.empty()
                              ? o.operands.size()
                              : o.operands.size() - 1;
    for (std::size_t n = 0; n < sources; ++n) {
      moved_away(rc, a[o.operands[n]]);
    }
  }
}

// sed -i, perl -i and ruby -i: the files they edit in place.
void Checker::in_place_writes(const RunCommand& rc) {
  for (std::size_t k : in_place_files(rc)) write_word(rc, rc.argv[k]);
}

// The words sed -i, perl -i and ruby -i name as files to edit: their
// operands after the script. None without -i.
std::vector<std::size_t> Checker::in_place_files(const RunCommand& rc) {
  std::string_view p = rc.program;
  const auto& a = rc.argv;
  std::vector<std::size_t> files;
  bool in_place = false, script_given = false;
  for (const Word& w : a) {
    in_place = in_place || w.text.starts_with("-i") ||
               w.text.starts_with("--in-place") ||
               (w.text.size() > 2 && w.text[0] == '-' && w.text[1] != '-' &&
                w.text.find('i') != std::string::npos && p != "sed");
    script_given = script_given || w.text == "-e" || w.text == "-f" ||
                   w.text == "--expression";
  }
  if (!in_place) return files;
  Options o = options_of(a, 1, "ef", {"--expression", "--file"});
  for (std::size_t n = script_given || p != "sed" ? 0 : 1;
       n < o.operands.size(); ++n) {
    files.push_back(o.operands[n]);
  }
  return files;
}

// mv SOURCE: it is gone from where it was. The project's .git, the
// project, the home and system directories moved away are as good as
// deleted.
void Checker::moved_away(const RunCommand& rc, const Word& w) {
  Target t = resolve(w, rc.cwd, f_);
  if (t.kind != Target::kExact) return;
  const std::string& p = t.path;
  bool own = (!f_.home.empty() && below(p, f_.home)) ||
             (!f_.project.empty() && below(p, f_.project));
  if (!f_.project.empty() && within(p, project_git_)) {
    found(Check::kDestructiveGit, Decision::kAsk,
          said(rc) + " moves the project's git data away.");
  } else if (!f_.project.empty() && below(p, f_.project)) {
    return;  // within the project: its own files
  } else if (own && !(!f_.project.empty() && within(f_.project, p))) {
    // The user's files outside the project: moved elsewhere they are lost
    // to whatever expects them there (into /tmp, as good as deleted).
    if (!in_temp(p, f_, false)) {
      found(Check::kRecursiveDelete, Decision::kAsk,
            said(rc) + " moves " + p + ", outside the project, away.");
    }
  } else if (p == "/" ||
             (in_system(p) && p.find('/', 1) == std::string::npos) ||
             (!f_.home.empty() && within(f_.home, p)) ||
             (!f_.project.empty() && within(f_.project, p))) {
    found(Check::kRecursiveDelete, Decision::kDeny,
          said(rc) + " moves " + p + " away.");
  } else if (in_system(p) && !in_temp(p, f_, false)) {
    found(Check::kRecursiveDelete, Decision::kAsk,
          said(rc) + " moves " + p + " out of a system directory.");
  }
}

}  // namespace twk::core::checks
