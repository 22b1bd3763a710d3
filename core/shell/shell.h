// The shell analyzer: what a Bash command line would run, without running
// it. A pure function of its input (no I/O, no environment): it turns the
// text into the simple commands a shell would execute, each with its words
// after expansion and quote removal, its assignments and redirections, and
// where it sits (pipeline, list, subshell, substitution, function body).
//
// What cannot be known without running anything (other variables, globs,
// arithmetic, the output of most commands) is marked as unknown, never
// guessed. The analyzer tracks plain variable assignments and `cd` through
// a list in execution order, so `f=.env; cat $f` and `cd ..; rm -rf x`
// come out as they would run.
//
// Time and memory are linear in the input; nesting (parentheses, quotes,
// substitutions) is bounded, and a construct past a limit or one the
// analyzer does not know ends the analysis with a problem noted, so callers
// can fail safe.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace twk::core::shell {

// Stands in a word's text for a part whose value cannot be known.
inline constexpr char kUnknown = '\x01';

// An absolute directory, or none (unknown). Every command carries the
// directory it runs in, and most commands of a text share one: copies
// share one string, so handing each its directory allocates nothing.
class Dir {
 public:
  Dir() = default;
  Dir(std::string path)  // NOLINT: a path is a directory
      : p_(path.empty() ? nullptr
                        : std::make_shared<const std::string>(std::move(path))) {}
  Dir(const char* path) : Dir(std::string(path)) {}  // NOLINT

  // The path; empty when unknown.
  const std::string& str() const { return p_ ? *p_ : none(); }
  operator const std::string&() const { return str(); }  // NOLINT
  operator std::string_view() const { return str(); }    // NOLINT
  bool empty() const { return p_ == nullptr; }
  void clear() { p_.reset(); }

  friend bool operator==(const Dir& a, const Dir& b) {
    return a.p_ == b.p_ || a.str() == b.str();
  }
  friend bool operator==(const Dir& a, std::string_view b) {
    return a.str() == b;
  }
  friend bool operator==(const Dir& a, const char* b) { return a.str() == b; }
  friend bool operator==(const Dir& a, const std::string& b) {
    return a.str() == b;
  }
  friend std::string operator+(std::string_view a, const Dir& b) {
    std::string out(a);
    return out += b.str();
  }

 private:
  static const std::string& none() {
    static const std::string empty;
    return empty;
  }
  std::shared_ptr<const std::string> p_;
};

// One word after expansion and quote removal.
struct Word {
  // The text, with each unknown part as one kUnknown byte.
  std::string text;
  bool unknown = false;  // some part is unknown (text holds kUnknown)
  bool glob = false;     // an unquoted *, ? or [, or brace expansion
  bool quoted = false;   // some part of it was quoted
  // Substitution groups ($(...), `...`, <(...), >(...)) whose output went
  // into this word; see Command::group.
  std::vector<int> substitutions;
  // True when the word is a process substitution, <(...) or >(...).
  bool process = false;
  // Some unknown part is a variable the text never sets: its value comes
  // from outside the command (the environment, an earlier call).
  bool outside = false;

  // The known text up to the first unknown part.
  std::string_view known_prefix() const;
};

enum class RedirectKind {
  kInput,       // <
  kOutput,      // > and >|
  kAppend,      // >>
  kReadWrite,   // <>
  kDuplicate,   // <& and >&
  kHereDoc,     // <<, <<-: target.text is the body (expanded when unquoted)
  kHereString,  // <<<: target.text is the string plus a newline
};

struct Redirect {
  int fd = -1;  // the descriptor named before the operator; -1 for none
  RedirectKind kind = RedirectKind::kInput;
  Word target;
};

// Where a command sits; a command may be in several at once.
enum Place : unsigned {
  kInPipeline = 1u << 0,      // a stage of a pipeline of two or more
  kInSubstitution = 1u << 1,  // inside $(...) or `...`
  kInProcess = 1u << 2,       // inside <(...) or >(...)
  kInSubshell = 1u << 3,      // inside ( ... )
  kBackground = 1u << 4,      // run with &
  kInFunction = 1u << 5,      // inside a function body
  kInCondition = 1u << 6,     // after && or ||, or in a loop or branch
  kInHereDoc = 1u << 7,       // a substitution inside a here-document body
};

struct Command {
  std::vector<Word> argv;  // may be empty: only assignments or redirects
  std::vector<std::pair<std::string, Word>> assignments;
  std::vector<Redirect> redirects;
  unsigned place = 0;  // bits of Place
  // The pipeline it belongs to (unique per pipeline) and its stage, from 0.
  int pipeline = 0;
  int stage = 0;
  bool stderr_piped = false;  // its output goes on with |&
  // The substitution group it runs in; 0 at the top level.
  int group = 0;
  // The directory the shell would be in when it runs: absolute, or empty
  // when unknown.
  Dir cwd;
  // The function whose body holds it (it runs when that is called);
  // empty outside function bodies. `definition` tells that body from
  // others of the same name: each definition has its own number.
  std::string function;
  int definition = 0;
  // The definition it calls when argv[0] names a function defined in its
  // shell at that point (a later definition replaces an earlier one, and
  // one made in a subshell is gone after it); 0 when it calls none; -1
  // in function bodies, loops and branches, where what is defined by the
  // time they run cannot be told from the order of the text.
  int calls = 0;
};

// Facts the caller knows about the shell that would run the text.
struct Environment {
  std::string cwd;  // absolute, or empty when unknown
  // Variables with known values (HOME, TMPDIR, positional parameters "0",
  // "1", ...). Others are unknown unless the text assigns them.
  std::map<std::string, std::string, std::less<>> variables;
};

struct Limits {
  std::size_t max_nesting = 64;     // parentheses, quotes, substitutions
  std::size_t max_commands = 4096;  // simple commands in one analysis
};

struct Analysis {
  std::vector<Command> commands;  // in the order a shell would meet them
  // What could not be followed: unbalanced quotes, nesting past the limit,
  // too many commands. Empty when the whole text was understood.
  std::vector<std::string> problems;
  // Where a quote that is never closed opens, as an offset into the text
  // (npos when there is none, or when it is in nested text such as a
  // backtick substitution's). A shell refuses the whole line it is on, and
  // what follows it is quoted text, not commands.
  std::size_t unclosed_quote = std::string::npos;
  // The directory after the last command, as far as it is known.
  std::string final_cwd;
};

// Analyses `text` as a Bash command line.
Analysis analyze(std::string_view text, const Environment& env,
                 const Limits& limits = {});

// The output of the stage before `command`'s in its pipeline, when it can
// be known: echo, printf, cat of a here-document or here-string, and
// base64 -d of any of these. Nothing when the command is the first stage or
// what the stage before prints cannot be known.
std::optional<std::string> piped_input(const Analysis& analysis,
                                       std::size_t command);

// The output of `command` itself when it can be known (see piped_input).
std::optional<std::string> known_output(const Analysis& analysis,
                                        std::size_t command);

// Splits `text` on blanks and newlines into words, as an unquoted known
// expansion would be split.
std::vector<std::string> split_fields(std::string_view text);

// Decodes base64 (standard or URL alphabet, padding optional, whitespace
// ignored); nothing when the text is not base64.
std::optional<std::string> decode_base64(std::string_view text);

// `path` made absolute against `cwd` and lexically normalised ("." and
// ".." resolved, repeated slashes folded, no trailing slash but for "/").
// Empty when `path` is relative and `cwd` is empty (unknown).
std::string resolve_path(std::string_view cwd, std::string_view path);

}  // namespace twk::core::shell
