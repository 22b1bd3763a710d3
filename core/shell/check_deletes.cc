// The recursive-delete check: rm, unlink and find -delete, judged on what
// they would delete: the home, the project, its git data, system
// directories, temporary directories and caches.
#include <fnmatch.h>

#include <algorithm>
#include <iterator>

#include "shell/checker.h"

namespace twk::core::checks {

// What deleting `t` means; `recursive` for trees. `filtered`: only some
// entries below it go (find with tests).
void Checker::judge_delete(const RunCommand& rc, const Target& t,
                           bool recursive, const std::string& shown,
                           int hops) {
  if (rc.remote) {
    judge_remote_delete(rc, t, recursive, shown);
    return;
  }
  // Links made by the command that lead into each other: the system
  // gives up on such a path, and so does Core, as on any it can't resolve.
  constexpr int kMaxHops = 8;
  if (t.kind == Target::kUnknown || hops > kMaxHops) {
    if (recursive) {
      found(Check::kRecursiveDelete, Decision::kAsk,
            said(rc) + " deletes " + shown +
                ", which Core can't resolve before it runs.");
    }
    return;
  }
  // ln -s /etc /tmp/x && rm -rf /tmp/x/.: what the link leads to goes.
  if (std::optional<std::string> real = through_made_link(t.path)) {
    Target followed = t;
    followed.path = std::move(*real);
    judge_delete(rc, followed, recursive,
                 hops == 0 ? shown + " (through a link)" : shown, hops + 1);
    return;
  }
  const std::string& p = t.path;
  const std::string& proj = f_.project;
  bool exact = t.kind == Target::kExact;
  // The home directory and what holds it, wherever it is (a home under
  // /tmp is still a home).
  if (exact && !f_.home.empty() && within(f_.home, p) && p != "/") {
    found(Check::kRecursiveDelete, recursive ? Decision::kDeny : Decision::kAsk,
          said(rc) + " deletes " +
              (p == f_.home ? "the home directory " + p
                            : p + ", which holds the home directory") +
              ".");
    return;
  }
  if (matches_any(p, s_.deletable_paths, f_)) return;
  // Caches are there to be thrown away and made again.
  if (!f_.home.empty() && below(p, f_.home + "/.cache")) return;
  if (scratch(t)) return;
  if (exact && p == "/") {
    if (recursive) {
      found(Check::kRecursiveDelete, Decision::kDeny,
            said(rc) + " deletes the root directory.");
    }
    return;
  }
  if (exact && recursive && temp_root(p)) {
    found(Check::kRecursiveDelete, Decision::kAsk,
          said(rc) + " empties the temporary directory " + p +
              ", which other programs use too.");
    return;
  }
  if (!proj.empty() && exact && below(proj, p)) {
    found(
        Check::kRecursiveDelete, Decision::kDeny,
        said(rc) + " deletes " + p + ", which holds the project " + proj + ".");
    return;
  }
  if (!proj.empty() && within(p, proj)) {
    judge_project_delete(rc, t, recursive);
    return;  // inside the project: everyday work
  }
  judge_outside_delete(rc, t, recursive);
}

// A delete on another machine or in a container: only trees matter there.
void Checker::judge_remote_delete(const RunCommand& rc, const Target& t,
                                  bool recursive, const std::string& shown) {
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
          said(rc) + " deletes " + t.path + " on another machine.");
  } else {
    found(Check::kRecursiveDelete, Decision::kAsk,
          said(rc) + " deletes " + shown + " on another machine.");
  }
}

// A delete within the project: its git data and the whole project ask;
// anything else in it is everyday work.
void Checker::judge_project_delete(const RunCommand& rc, const Target& t,
                                   bool recursive) {
  const std::string& p = t.path;
  const std::string& proj = f_.project;
  bool exact = t.kind == Target::kExact;
  std::string git = proj + "/.git";
  // Lock files and messages in .git are git's own scratch; the
  // directory itself and trees in it are the history.
  if (within(p, git) && (recursive || p == git || !exact)) {
    found(Check::kRecursiveDelete, Decision::kAsk,
          said(rc) + " deletes the project's git data in " + p + ".");
    return;
  }
  if (within(p, git)) return;
  if (p == proj && (exact || (recursive && t.wild_top))) {
    if (recursive) {
      found(Check::kRecursiveDelete, Decision::kAsk,
            said(rc) + " deletes " +
                (exact ? "the whole project " + p
                       : "everything in the project " + p) +
                ".");
    }
    return;
  }
}

// A delete outside the project (and outside what is scratch space).
void Checker::judge_outside_delete(const RunCommand& rc, const Target& t,
                                   bool recursive) {
  const std::string& p = t.path;
  bool exact = t.kind == Target::kExact;
  std::string where = p;
  if (!exact) where = "files in " + p;
  if (!f_.home.empty() && p == f_.home) where = "the home directory " + p;
  if (recursive) {
    found(Check::kRecursiveDelete, Decision::kDeny,
          said(rc) + " deletes " + where + ", outside the project.");
    return;
  }
  // One named file outside the project: worth a question where the
  // machine or a shell depends on it (the system's own directories, a
  // home's dot-files such as .bashrc), not for a user's document or a log.
  // Files a pattern selects are as many as it matches.
  std::string_view home = home_of(p);
  std::string_view in_home =
      home.empty() ? std::string_view() : std::string_view(p).substr(home.size() + 1);
  bool home_dotfile = in_home.starts_with('.') &&
                      in_home.find('/') == std::string_view::npos;
  bool system = home.empty() && in_system(p) && !within(p, "/home") &&
                !within(p, "/Users") && !within(p, "/var/log") &&
                !within(p, "/var/cache");
  if (home_dotfile || system || !exact) {
    found(Check::kRecursiveDelete, Decision::kAsk,
          said(rc) + " deletes " + where + ", outside the project.");
  }
}

bool Checker::rm_declines(const RunCommand& rc, bool recursive,
                          std::size_t operands) const {
  // The last of -f, -i, -I and --interactive[=WHEN] decides whether rm
  // asks: before each file (-i), or once (-I) for a tree or more than
  // three files.
  char mode = 0;
  for (std::size_t k = 1; k < rc.argv.size(); ++k) {
    const Word& w = rc.argv[k];
    std::string_view t = w.text;
    if (w.unknown) return false;  // may be -f
    if (t == "--") break;
    if (t.size() < 2 || t[0] != '-') continue;
    if (t[1] == '-') {
      std::size_t eq = t.find('=');
      std::string_view name = t.substr(0, eq);
      if (name.size() > 2 && std::string_view("--force").starts_with(name)) {
        mode = 'f';
      } else if (name.size() > 2 &&
                 std::string_view("--interactive").starts_with(name)) {
        std::string_view when =
            eq == std::string_view::npos ? "always" : t.substr(eq + 1);
        if (when == "always" || when == "yes") {
          mode = 'i';
        } else if (when == "once") {
          mode = 'I';
        } else {
          mode = 'f';
        }
      }
      continue;
    }
    for (char c : t.substr(1)) {
      if (c == 'f' || c == 'i' || c == 'I') mode = c;
    }
  }
  bool asks = mode == 'i' || (mode == 'I' && (recursive || operands > 3));
  if (!asks) return false;
  // Unanswered only where nothing can reach rm's input: not in a pipeline,
  // a function or nested code (whose input comes from outside), and no
  // redirection anywhere in the text that may bring input (its own, a
  // compound's around it, exec's).
  const shell::Command* c = rc.source;
  if (c == nullptr || rc.depth > 0 || !rc.via.empty() || set_ == nullptr) {
    return false;
  }
  constexpr unsigned kFed = shell::kInPipeline | shell::kInFunction |
                            shell::kInSubstitution | shell::kInProcess;
  if (c->place & kFed) return false;
  for (const shell::Analysis& a : set_->analyses) {
    for (const shell::Command& cmd : a.commands) {
      for (const shell::Redirect& r : cmd.redirects) {
        // <&N and >&N look alike here: a duplication counts as output
        // only when it names a descriptor other than input (2>&1).
        bool output = ((r.kind == shell::RedirectKind::kOutput ||
                        r.kind == shell::RedirectKind::kAppend) &&
                       r.fd != 0) ||
                      (r.kind == shell::RedirectKind::kDuplicate && r.fd > 0);
        if (!output) return false;
      }
    }
  }
  return true;
}

void Checker::rm(const RunCommand& rc) {
  Options o = options_of(rc.argv, 1);
  bool recursive = o.short_has('r') || o.short_has('R') ||
                   o.long_abbrev("--recursive", {"--recursive"});
  if (rc.program == "unlink") recursive = false;
  // Each prompt is answered no: nothing goes.
  if (rc.program == "rm" && rm_declines(rc, recursive, o.operands.size())) {
    return;
  }
  bool placeholder_judged = false;
  for (std::size_t k : o.operands) {
    const Word& w = rc.argv[k];
    if (w.text.empty()) continue;  // rm '' removes nothing
    if (w.text.find("{}") != std::string::npos &&
        !rc.placeholder_roots.empty()) {
      // Once per command, however many "{}" it has.
      if (!placeholder_judged) {
        bool forced = o.short_has('f') || o.long_abbrev("--force", {"--force"});
        rm_placeholder(rc, recursive, recursive && forced);
      }
      placeholder_judged = true;
      continue;
    }
    Target t = resolve(w, rc.cwd, f_);
    if (recursive && empties_temp_unseen(rc, w, t)) continue;
    // Paths fed by xargs or parallel that Core can't see: a bulk delete.
    bool fed = rc.via.find("xargs") != std::string::npos ||
               rc.via.find("parallel") != std::string::npos;
    judge_delete(rc, t, recursive || (fed && t.kind == Target::kUnknown),
                 display(w));
    SecretKind kind =
        t.kind == Target::kExact ? secret_kind(t.path) : SecretKind::kNone;
    if (kind == SecretKind::kSecret || kind == SecretKind::kMaybeSecret) {
      found(Check::kSecretFiles, Decision::kAsk,
            code_span(command_text(rc)) + through(rc) + " deletes " + t.path +
                ", a key or credentials that may exist nowhere else.");
    } else if (kind == SecretKind::kEnv) {
      found(Check::kEnvFiles, Decision::kAsk,
            code_span(command_text(rc)) + through(rc) +
                " deletes the secrets in " + basename_of(t.path) +
                ", which may exist nowhere else.");
    }
  }
}

void Checker::unnamed_delete(const RunCommand& rc) {
  if (rc.argv.empty() || !rc.argv[0].unknown || rc.remote) return;
  Options o = options_of(rc.argv, 1);
  bool recursive = o.short_has('r') || o.short_has('R') ||
                   o.long_has("--recursive");
  bool forced = o.short_has('f') || o.long_has("--force");
  if (!recursive || !forced) return;
  const std::string& proj = f_.project;
  for (std::size_t k : o.operands) {
    Target t = resolve(rc.argv[k], rc.cwd, f_);
    if (t.kind == Target::kUnknown) continue;
    const std::string& p = t.path;
    std::string what;
    if (t.kind == Target::kBelow) {
      // ~/*, /*: everything in the directory.
      bool grave = p == "/" || (!f_.home.empty() && within(f_.home, p)) ||
                   (!proj.empty() && within(proj, p)) ||
                   (in_system(p) && !scratch(t) &&
                    !(!f_.home.empty() && within(p, f_.home)) &&
                    !(!proj.empty() && within(p, proj)));
      if (!grave) continue;
      what = "everything in " + p;
    } else if (p == "/") {
      what = "the root directory";
    } else if (!f_.home.empty() && within(f_.home, p)) {
      what = p == f_.home ? "the home directory " + p
                          : p + ", which holds the home directory";
    } else if (!proj.empty() && within(proj, p)) {
      what = p == proj ? "the project " + p : p + ", which holds the project";
    } else if (in_system(p) && !scratch(t) &&
               !(!f_.home.empty() && within(p, f_.home)) &&
               !(!proj.empty() && within(p, proj))) {
      what = p;
    } else {
      continue;
    }
    found(Check::kRecursiveDelete, Decision::kAsk,
          said(rc) + " runs a program Core can't name with the options of a "
                     "forced recursive delete; were it rm, it would delete " +
              what + ".");
    return;
  }
}

// tar --remove-files deletes what it archives once it is in: each
// operand goes as rm -rf would take it, relative to -C's directory.
void Checker::tar_removes(const RunCommand& rc) {
  const auto& a = rc.argv;
  if (!any_word(a, {"--remove-files"}, 1)) return;
  // Short options that take the next word: the archive, -C's directory,
  // file lists, block size, and their kin.
  constexpr std::string_view kShortValues = "fCTXbLHKNVgI";
  static const WordSet kLongValues = {
      "--file --directory --files-from --exclude-from --exclude --transform "
      "--owner --group --mode --mtime --label --newer --newer-mtime "
      "--blocking-factor --format --use-compress-program --tape-length "
      "--volno-file --listed-incremental --xform --suffix --backup"};
  std::string cwd = rc.cwd;
  bool options_done = false;
  for (std::size_t k = 1; k < a.size(); ++k) {
    std::string_view t = a[k].text;
    bool old_style = k == 1 && !t.starts_with('-') && !t.empty();
    if (!options_done && t == "--") {
      options_done = true;
      continue;
    }
    if (!options_done && t.starts_with("--")) {
      std::size_t eq = t.find('=');
      std::string_view name = t.substr(0, eq);
      std::string value;
      if (eq != std::string_view::npos) {
        value = std::string(t.substr(eq + 1));
      } else if (kLongValues.contains(name) && k + 1 < a.size()) {
        value = a[++k].text;
      }
      if (name == "--directory" && !value.empty()) {
        cwd = shell::resolve_path(cwd, value);
      }
      continue;
    }
    if (!options_done && (old_style || (t.size() > 1 && t[0] == '-'))) {
      // A cluster: each letter that takes a value takes the next word
      // (old style) or the rest of the word or the next one.
      for (std::size_t c = old_style ? 0 : 1; c < t.size(); ++c) {
        if (kShortValues.find(t[c]) == std::string_view::npos) continue;
        std::string value;
        if (!old_style && c + 1 < t.size()) {
          value = std::string(t.substr(c + 1));
        } else if (k + 1 < a.size()) {
          value = a[++k].text;
        }
        if (t[c] == 'C' && !value.empty()) {
          cwd = shell::resolve_path(cwd, value);
        }
        if (!old_style) break;
      }
      continue;
    }
    Target target = resolve(a[k], cwd, f_);
    judge_delete(rc, target, true, display(a[k]));
  }
}

// rm -rf "/tmp/$NAME", find /tmp/$NAME -delete: the entry a name Core
// can't know picks, and all of the temporary directory when it is empty.
bool Checker::empties_temp_unseen(const RunCommand& rc, const Word& w,
                                  const Target& t) {
  if (!w.unknown || t.kind != Target::kBelow || !t.wild_top ||
      !temp_root(t.path)) {
    return false;
  }
  found(Check::kRecursiveDelete, Decision::kAsk,
        said(rc) + " deletes " + display(w) +
            ", a name Core can't know: empty, it is all of " + t.path +
            ", which other programs use too.");
  return true;
}

// A temporary directory is scratch space, unless the home or the project
// is in it: then their rules apply.
bool Checker::scratch(const Target& t) const {
  const std::string& p = t.path;
  const std::string& proj = f_.project;
  bool exact = t.kind == Target::kExact;
  bool guarded =
      (!proj.empty() && (within(p, proj) || (exact && within(proj, p)))) ||
      (!f_.home.empty() && within(p, f_.home));
  return t.kind != Target::kUnknown && !guarded && in_temp(p, f_, exact);
}

// The temporary directories themselves, which other programs use too.
bool Checker::temp_root(std::string_view path) const {
  return path == f_.tmpdir || std::find(std::begin(kTempDirs),
                                        std::end(kTempDirs),
                                        path) != std::end(kTempDirs);
}

// rm with find's "{}": what find selects below its roots goes.
void Checker::rm_placeholder(const RunCommand& rc, bool recursive,
                             bool sweeping) {
  // find selects by name: only entries of that name go, and the
  // project's .git only if the name could be it. rm -rf on what find
  // gives is judged as find -delete is: names or not, a sweep of the
  // tree it walks.
  bool named = !rc.placeholder_names.empty();
  // find goes into .git too: a name that git's own entries can have
  // reaches them.
  for (const std::string& n : rc.placeholder_names) {
    if (n.empty()) named = false;
    for (const char* git_entry :
         {".git", "hooks", "objects", "refs", "config", "HEAD", "index", "logs",
          "info", "packed-refs", "description", "x.sample", "pack-x.pack",
          "pack-x.idx", "ORIG_HEAD", "FETCH_HEAD"}) {
      if (fnmatch(n.c_str(), git_entry, 0) == 0) named = false;
    }
  }
  for (const Word& root : rc.placeholder_roots) {
    Target t = resolve(root, rc.cwd, f_);
    // find tests its starting point too: a name it has selects the root
    // itself (find ~/app -name app).
    if (named && t.kind == Target::kExact) {
      std::string base = basename_of(t.path);
      bool root_named = false;
      for (const std::string& n : rc.placeholder_names) {
        root_named = root_named || ::fnmatch(n.c_str(), base.c_str(), 0) == 0;
      }
      if (root_named) {
        judge_delete(rc, t, recursive, display(root));
        continue;
      }
    }
    // find gives its starting point first: unnamed, /tmp itself goes.
    if (!named && recursive && t.kind == Target::kExact && temp_root(t.path)) {
      found(Check::kRecursiveDelete, Decision::kAsk,
            said(rc) + " empties the temporary directory " + t.path +
                ", which other programs use too.");
      continue;
    }
    if (t.kind == Target::kExact) {
      t.kind = Target::kBelow;
      t.wild_top = !named || sweeping;
    }
    // Every file find comes to, unnamed, goes: as good as a tree.
    judge_delete(rc, t, recursive || !named,
                 "what find selects in " + display(root));
  }
}

// True when find's expression holds the -delete action (and not, say,
// a file named "-delete" after -name).
bool Checker::find_deletes(const RunCommand& rc) {
  bool in_expression = false;
  for (std::size_t k = 1; k < rc.argv.size(); ++k) {
    std::string_view t = rc.argv[k].text;
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
    if (t == "-fprintf") {
      k += 2;  // a file and a format: -fprintf out -delete deletes nothing
      continue;
    }
    static const WordSet kNoValue = {
        "-print -print0 -ls -prune -quit -depth -empty -true -false "
        "-readable -writable -executable -nouser -nogroup -xdev -mount "
        "-follow -daystart -noleaf -ignore_readdir_race -not -and -or -a -o "
        "-H -L -P"};
    if (t.starts_with('-') && !kNoValue.contains(t)) {
      ++k;  // a test or option with a value
    }
  }
  return false;
}

void Checker::find(const RunCommand& rc) {
  if (!find_deletes(rc)) return;
  bool follows_links = false;
  for (const Word& w : rc.argv) follows_links = follows_links || w.text == "-L";
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
    if (empties_temp_unseen(rc, root, t)) continue;
    bool selects =
        std::any_of(rc.argv.begin(), rc.argv.end(), [](const Word& w) {
          return has({"-name", "-iname", "-path", "-ipath", "-type", "-empty",
                      "-mtime", "-mmin", "-newer", "-size", "-user", "-regex",
                      "-atime", "-ctime", "-perm"},
                     w.text);
        });
    if (!selects && t.kind == Target::kExact && temp_root(t.path)) {
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

}  // namespace twk::core::checks
