// The destructive-git check: git commands that throw work away, rewrite
// history or overwrite what a remote holds. Aliases given with -c are
// expanded, and the dashed builtins (git-reset) read as git's own.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "shell/checker.h"
#include "twk/text.h"

namespace twk::core::checks {

namespace {

using Spec = OptionSpec;

template <std::size_t A, std::size_t B>
constexpr std::array<Spec, A + B> joined(const std::array<Spec, A>& a,
                                         const std::array<Spec, B>& b) {
  std::array<Spec, A + B> out{};
  std::copy(a.begin(), a.end(), out.begin());
  std::copy(b.begin(), b.end(), out.begin() + A);
  return out;
}

// The options git checkout and git restore share, as git defines them,
// with -U, --inter-hunk-context and --auto-advance of later releases
// (an older git refuses them; a newer one takes the word after -U or
// --inter-hunk-context as its number, whatever it looks like).
constexpr auto kPathOptions = std::to_array<Spec>({
    {'q', "quiet"},
    {0, "recurse-submodules", Spec::kOptional},
    {0, "progress"},
    {'m', "merge"},
    {0, "conflict", Spec::kRequired},
    {'2', "ours", Spec::kNone, false},
    {'3', "theirs", Spec::kNone, false},
    {'p', "patch"},
    {'U', "unified", Spec::kRequired, false},
    {0, "inter-hunk-context", Spec::kRequired, false},
    {0, "auto-advance"},
    {0, "ignore-skip-worktree-bits"},
    {0, "pathspec-from-file", Spec::kRequired},
    {0, "pathspec-file-nul"},
    {0, "overlay"},
});

constexpr auto kCheckoutOnly = std::to_array<Spec>({
    {'b', {}, Spec::kRequired},
    {'B', {}, Spec::kRequired},
    {'l', {}},
    {0, "guess"},
    {'d', "detach"},
    // -t took no value before git 2.35: in -tf the f may be --force.
    {'t', {}},
    {0, "track", Spec::kOptional},
    {'f', "force"},
    {0, "orphan", Spec::kRequired},
    {0, "overwrite-ignore"},
    {0, "ignore-other-worktrees"},
});
constexpr auto kCheckoutOptions = joined(kPathOptions, kCheckoutOnly);

constexpr auto kRestoreOnly = std::to_array<Spec>({
    {'s', "source", Spec::kRequired},
    {'S', "staged"},
    {'W', "worktree"},
    {0, "ignore-unmerged"},
});
constexpr auto kRestoreOptions = joined(kPathOptions, kRestoreOnly);

constexpr auto kRmOptions = std::to_array<Spec>({
    {'n', "dry-run"},
    {'q', "quiet"},
    {0, "cached"},
    {'f', "force"},
    {'r', {}},
    {0, "ignore-unmatch"},
    {0, "sparse"},
    {0, "pathspec-from-file", Spec::kRequired},
    {0, "pathspec-file-nul"},
});

}  // namespace

void Checker::git(const RunCommand& rc) {
  std::vector<Word> args;
  if (!git_arguments(rc, args)) return;
  const std::string& sub = args[0].text;
  // Read against git's own option tables, help included.
  if (sub == "checkout") {
    git_checkout(rc, args);
    return;
  }
  if (sub == "restore" || sub == "rm") {
    git_restore_rm(rc, args);
    return;
  }
  // Asking for help or for a rehearsal changes nothing.
  if (only_describes(rc)) return;
  // Options whose value may be attached (-cNAME) or the next word.
  std::string_view with_value = sub == "switch" ? "cC" : "";
  Options o = options_of(args, 1, with_value,
                         {"--conflict", "--orphan", "--pathspec-from-file"});
  git_work_tree(rc, args, o);
  git_history(rc, args, o);
  git_unread_options(rc, args);
}

// Unquoted, a word Core can't read may split into any number of words,
// options among them: git branch $FLAGS may be git branch -D main, and
// git stash $CMD git stash clear. Values of options that take the next
// word, and words after "--", are never options.
void Checker::git_unread_options(const RunCommand& rc,
                                 const std::vector<Word>& args) {
  const std::string& sub = args[0].text;
  if (sub != "branch" && sub != "clean" && sub != "stash") return;
  static const WordSet kValues = {
      "--format --sort --contains --no-contains --merged --no-merged "
      "--points-at -u --set-upstream-to -e --exclude --message -m"};
  // After stash's own subcommand, no word makes it another one.
  std::size_t last = sub == "stash" ? std::min<std::size_t>(args.size(), 2)
                                    : args.size();
  for (std::size_t k = 1; k < last; ++k) {
    const Word& w = args[k];
    if (w.text == "--") return;
    if (!w.unknown && kValues.contains(w.text)) {
      ++k;
      continue;
    }
    if (w.unknown && !w.quoted) {
      found(Check::kDestructiveGit, Decision::kAsk,
            said(rc) + " has a word Core can't read, which may stand for "
                       "options or a subcommand that delete or overwrite, so "
                       "it needs confirmation.");
      return;
    }
  }
}

// The subcommand and its words in `args`, after git's global options and
// with an alias given by -c alias.NAME=... expanded. False when there is
// nothing to judge, or an alias that runs shell text was judged already.
bool Checker::git_arguments(const RunCommand& rc, std::vector<Word>& args) {
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
  GitCall call = read_git_call(
      a, rc.source != nullptr ? &rc.source->assignments : nullptr);
  if (call.subcommand >= a.size()) return false;
  // git NAME --help shows the manual, or what alias NAME stands for.
  if (call.subcommand + 1 < a.size() &&
      a[call.subcommand + 1].text == "--help") {
    return false;
  }
  args.assign(a.begin() + static_cast<long>(call.subcommand), a.end());
  // alias.NAME with its value, from wherever the call sets configuration.
  std::vector<std::pair<std::string, std::string_view>> aliases;
  for (auto [name, value] : call.settings) {
    if (name.size() > 6 && text::ascii_iequals(name.substr(0, 6), "alias.")) {
      aliases.emplace_back(lower(name.substr(6)), value);
    }
  }
  // An alias may name another alias, as git expands them in turn; one
  // that comes back to itself makes git refuse to run.
  std::vector<std::string> seen;
  for (bool expanded_one = true; expanded_one && !aliases.empty();) {
    expanded_one = false;
    if (std::find(seen.begin(), seen.end(), args[0].text) != seen.end()) {
      return false;
    }
    seen.push_back(args[0].text);
    // The last setting of a name wins.
    auto it = std::find_if(aliases.rbegin(), aliases.rend(),
                           [&](const auto& a) { return a.first == args[0].text; });
    if (it == aliases.rend()) break;
    std::string_view value = it->second;
    if (value.starts_with('!')) {
      found(Check::kDestructiveGit, Decision::kAsk,
            code_span(command_text(rc)) +
                " runs a git alias that is a shell "
                "command" +
                through(rc) + ".");
      return false;
    }
    std::vector<Word> expanded;
    for (std::string& part : shell::split_fields(value)) {
      Word w;
      w.text = part;
      expanded.push_back(w);
    }
    if (expanded.empty()) break;
    args.erase(args.begin());
    args.insert(args.begin(), expanded.begin(), expanded.end());
    expanded_one = true;
  }
  return true;
}

// Subcommands that throw away changes in the work tree or the index.
void Checker::git_work_tree(const RunCommand& rc, const std::vector<Word>& args,
                            const Options& o) {
  const std::string& sub = args[0].text;
  auto ask = [&](std::string why) {
    found(Check::kDestructiveGit, Decision::kAsk, said(rc) + " " + why);
  };
  if (sub == "reset") {
    if (o.long_abbrev("--hard", {"--hard", "--soft", "--mixed", "--merge",
                                 "--keep", "--help"}) ||
        o.long_abbrev("--merge", {"--hard", "--soft", "--mixed", "--merge",
                                  "--keep", "--help"})) {
      ask("throws away uncommitted changes.");
    }
  } else if (sub == "read-tree") {
    if (o.long_has("--reset") || o.short_has('u')) {
      ask("overwrites the work tree.");
    }
  } else if (sub == "clean") {
    bool force = o.short_has('f') || o.long_abbrev("--force", {"--force"});
    bool dry = o.short_has('n') || o.long_abbrev("--dry-run", {"--dry-run"});
    if (force && !dry) ask("deletes untracked files.");
  } else if ((sub == "show" || sub == "cat-file") && rc.source != nullptr &&
             !f_.project.empty()) {
    // git show REV:PATH > PATH puts an older version over the file, as
    // git checkout REV -- PATH would.
    for (const shell::Redirect& r : rc.source->redirects) {
      if (r.fd > 1 || r.kind != shell::RedirectKind::kOutput) continue;
      Target out = resolve(r.target, rc.source->cwd, f_);
      if (out.kind != Target::kExact) continue;
      for (std::size_t k : o.operands) {
        std::string_view t = args[k].text;
        std::size_t colon = t.find(':');
        if (colon == std::string_view::npos || colon + 1 >= t.size()) continue;
        // From the top of the work tree; ./ and ../ from where git runs.
        std::string_view path = t.substr(colon + 1);
        bool here = path.starts_with("./") || path.starts_with("../");
        if (shell::resolve_path(here ? rc.cwd.str() : f_.project, path) ==
            out.path) {
          ask("puts an older version over " + out.path +
              ", throwing away its uncommitted changes.");
          return;
        }
      }
    }
  } else if (sub == "switch") {
    if (o.short_has('f') || o.long_abbrev("--force", {"--force"}) ||
        o.long_abbrev("--discard-changes", {"--discard-changes", "--detach"})) {
      ask("throws away uncommitted changes.");
    }
  }
}

// git checkout: with paths, or forced, it throws away changes to files;
// creating a branch does not.
void Checker::git_checkout(const RunCommand& rc,
                           const std::vector<Word>& args) {
  ParsedOptions o = parse_options(args, 1, kCheckoutOptions);
  if (o.help) return;
  // -b, -B and --orphan name a branch to create: git refuses paths then.
  bool creates = o.has('b') || o.has('B') || o.on("orphan");
  // So it does once -t, --track or --no-track says how a new branch
  // tracks, even without them ("cannot be used with updating paths").
  bool tracks = false;
  for (const ParsedOptions::Given& g : o.given) {
    tracks = tracks || g.spec->letter == 't' || g.spec->name == "track";
  }
  // checkout [TREE-ISH] -- PATH..., checkout TREE-ISH PATH..., and -p,
  // which picks what to throw away hunk by hunk.
  bool paths = o.operands.size() > o.before_dashdash ||
               o.operands.size() >= 2 || o.on("patch") ||
               o.on("pathspec-from-file");
  for (std::size_t idx : o.operands) {
    std::string_view t = args[idx].text;
    paths = paths || t == "." || t == "./" || t == ":/" || args[idx].glob ||
            t.starts_with("./") || t.starts_with("../");
  }
  if (o.on("force") || (!creates && !tracks && paths)) {
    found(Check::kDestructiveGit, Decision::kAsk,
          said(rc) + " throws away uncommitted changes to files.");
  }
}

// git restore writes the work tree unless only --staged is in effect.
// git rm loses changes only when forced: unforced, it refuses to remove
// a file whose content is not committed. Both refuse to run without
// paths, save restore -p, which picks from every file.
void Checker::git_restore_rm(const RunCommand& rc,
                             const std::vector<Word>& args) {
  bool rm = args[0].text == "rm";
  ParsedOptions o = rm ? parse_options(args, 1, kRmOptions)
                       : parse_options(args, 1, kRestoreOptions);
  if (o.help) return;
  // restore -p with no paths picks from every file.
  bool files = !o.operands.empty() || o.on("pathspec-from-file") ||
               (!rm && o.on("patch"));
  if (!files) return;
  if (rm) {
    if (o.on("force") && !o.on("cached") && !o.on("dry-run")) {
      found(Check::kDestructiveGit, Decision::kAsk,
            said(rc) + " deletes files from the work tree, changes included.");
    }
    return;
  }
  // Once either location is given, only those left on are written; with
  // neither left on, git refuses.
  int staged = o.state("staged");
  int worktree = o.state("worktree");
  if (worktree > 0 || (staged < 0 && worktree < 0)) {
    found(Check::kDestructiveGit, Decision::kAsk,
          said(rc) + " throws away uncommitted changes to files.");
  }
}

// Subcommands that delete branches, stashes, refs, reflogs or commits, or
// overwrite what a remote holds.
void Checker::git_history(const RunCommand& rc, const std::vector<Word>& args,
                          const Options& o) {
  const std::string& sub = args[0].text;
  auto ask = [&](std::string why) {
    found(Check::kDestructiveGit, Decision::kAsk, said(rc) + " " + why);
  };
  if (sub == "branch") {
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
    // Git takes any unambiguous prefix of a long option; --force-with-lease
    // and --force-if-includes are longer than "--force", so never one.
    bool force = o.short_has('f') || o.long_abbrev("--force", {"--force"});
    for (std::size_t idx : o.operands) {
      force = force || args[idx].text.starts_with('+');
    }
    bool del = o.short_has('d') || o.long_abbrev("--delete", {"--delete"}) ||
               o.long_abbrev("--mirror", {"--mirror"}) ||
               o.long_abbrev("--prune", {"--prune", "--progress"});
    for (std::size_t n = 1; n < o.operands.size(); ++n) {
      del = del || args[o.operands[n]].text.starts_with(':');
    }
    if (force) {
      ask("can overwrite commits on the remote.");
    } else if (del) {
      ask("deletes branches or tags on the remote.");
    }
  } else if (has({"merge", "rebase", "cherry-pick", "revert", "am"}, sub)) {
    if (o.long_abbrev("--abort", {"--abort", "--autostash", "--autosquash",
                                  "--allow-empty",
                                  "--allow-unrelated-histories", "--apply"})) {
      ask("throws away the " + sub + " in progress.");
    }
  } else if (sub == "tag") {
    if (o.short_has('d') || o.long_abbrev("--delete", {"--delete"})) {
      ask("deletes a tag.");
    }
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
  } else if (sub == "lfs" && args.size() > 1) {
    // git lfs migrate import/export rewrites every commit it touches;
    // prune deletes the local copies of large files.
    std::string_view op = args[1].text;
    if (op == "migrate" && args.size() > 2 &&
        (args[2].text == "import" || args[2].text == "export")) {
      ask("rewrites the repository's history.");
    } else if (op == "prune" && !any_word(args, {"--dry-run", "-d"})) {
      ask("deletes local copies of large files.");
    } else if (op == "uninstall") {
      ask("takes large-file support out of git's settings.");
    }
  } else if (sub == "update-ref") {
    if (o.short_has('d') || o.long_has("--delete")) ask("deletes a ref.");
  } else if (sub == "worktree") {
    if (args.size() > 1 && args[1].text == "remove" &&
        (o.short_has('f') || o.long_abbrev("--force", {"--force"}))) {
      ask("removes a worktree with its uncommitted changes.");
    }
  }
}

}  // namespace twk::core::checks
