// What the shell analyzer carries from one command to the next: the
// variables the text assigned and the working directory, with an undo log
// for the places a shell runs in a copy of itself, and everything the
// readers of one analysis share.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "shell/shell.h"

namespace twk::core::shell {

// Starts the name under which ShellState keeps a function's definition;
// no variable name holds it.
inline constexpr char kFunctionMark = '\x1f';

// Starts a variable's value that is one match of the pattern after it: a
// for loop's variable over a glob (`for f in src/*.py`) holds one of the
// files it matches, whose names can't be known. Expanded, quoted or not,
// it is that pattern; taken apart (${f%.py}), it is unknown.
inline constexpr char kPatternMark = '\x02';

// Starts the value of an array the text assigned (a=(x y)): its elements
// follow, each ended by a NUL byte.
inline constexpr char kArrayMark = '\x03';

// The shell's variables and directory, with an undo log: subshells,
// substitutions and pipeline stages roll back what they changed instead of
// copying the whole state on the way in.
class ShellState {
 public:
  // The directory: absolute, or empty when unknown.
  const Dir& cwd() const { return cwd_; }
  // Nothing when the text never assigned `name`; else its value, or
  // nothing inside when the value is unknown.
  const std::optional<std::string>* var(std::string_view name) const {
    auto it = vars_.find(name);
    return it == vars_.end() ? nullptr : &it->second;
  }
  // Assigns `name`; nothing for a value that is not known. The functions
  // defined are kept here too, under their names after kFunctionMark, so
  // that subshells forget theirs as they forget their variables.
  void set_var(std::string_view name, std::optional<std::string> value);
  // Assigns a value that may start with kPatternMark or kArrayMark, which
  // set_var takes as unknown: only the analyzer's own loops and arrays
  // make such values, never the text (which can spell those bytes).
  void set_marked(std::string_view name, std::optional<std::string> value);
  // Every variable the text assigned becomes unknown (after eval or
  // source, which may assign any of them).
  void forget_variables();
  // Changes the directory (empty: unknown).
  void set_cwd(Dir cwd);
  // A point to roll back to.
  std::size_t mark() const { return undo_.size(); }
  // Undoes every change made since `mark`.
  void roll_back(std::size_t mark);

 private:
  struct Undo {
    bool is_cwd = false;
    bool had = false;  // the variable existed before
    std::string name;
    std::optional<std::string> old_value;
    Dir old_cwd;
  };
  std::map<std::string, std::optional<std::string>, std::less<>> vars_;
  Dir cwd_;
  std::vector<Undo> undo_;
};

// What every reader of one analysis shares.
struct Shared {
  Shared(const Environment& e, const Limits& l, Analysis& o)
      : env(e), limits(l), out(o) {}

  const Environment& env;
  const Limits& limits;
  Analysis& out;
  std::string_view top;  // the text analyze() was given
  ShellState state;
  std::deque<std::string> texts;  // bodies read by child readers
  int next_group = 1;
  int next_pipeline = 1;
  int next_definition = 1;  // numbers function definitions
  // Functions defined where a call cannot be tied to one definition.
  std::set<std::string, std::less<>> uncertain_functions;
  bool stopped = false;  // a limit was hit or the text cannot be followed
  // For each function defined so far, the commands of its body that change
  // the shell for its caller (cd, pushd, popd, export, assignments): a call
  // replays them where it runs. `replaying` bounds calls within calls and
  // `replay_budget` the commands replayed in all, which keeps functions
  // that call each other many times over linear in the text.
  std::map<std::string, std::vector<Command>, std::less<>> function_effects;
  int replaying = 0;
  std::size_t replay_budget = 4096;
  // Bytes of loop bodies that may still be read again, once for each
  // word of their loop (see Reader::parse_for); it keeps loops within
  // loops linear in the text.
  std::size_t loop_budget = 0;
  // Names declared associative arrays (declare -A): their ( ... ) holds
  // keys and values, which are not read.
  std::set<std::string, std::less<>> associative;
  // Bytes that expansions may still put into words: a value used many
  // times over ("$@" "$@" ..., $x $x ...) would otherwise make the work
  // grow with the square of the text. Past it, values are unknown.
  std::size_t expand_budget = 0;

  // Notes that a quote opening at `at` in `text` is never closed.
  void unclosed_quote(std::string_view text, std::size_t at) {
    if (text.data() == top.data() && out.unclosed_quote == std::string::npos) {
      out.unclosed_quote = at;
    }
  }

  // Notes what could not be followed; the first few are kept.
  void problem(std::string what) {
    if (out.problems.size() < 8) out.problems.push_back(std::move(what));
  }

  // Stops the analysis at text it cannot follow, noting `what` unless it
  // had stopped already (then that first cause is the one that explains).
  void stop(std::string what) {
    if (!stopped) problem(std::move(what));
    stopped = true;
  }
};

}  // namespace twk::core::shell
