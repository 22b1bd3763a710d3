// The follower's internals: the class that walks the shell analyzer's
// commands, takes wrappers off and follows the code they carry, and the
// word helpers its parts share. Its members are defined by concern: the
// walk itself (follower.cc), wrappers such as sudo, env and timeout
// (wrappers.cc), programs that carry shell text (carriers.cc), xargs,
// parallel, find -exec and fd -x (xargs_find.cc), interpreters
// (interpreters.cc) and the code they run (code_scan.cc), and downloads
// (downloads.cc).
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "shell/commands.h"

namespace twk::core::commands {

using shell::Word;

// A known word with `text`; unknown when the text holds kUnknown.
Word word_of(std::string text);

// True when `s` is one of `list`.
bool has(std::initializer_list<std::string_view> list, std::string_view s);

// A known word starting with '-' (and more than just "-").
bool is_option(const Word& w);

// "NAME=value" with a valid variable name.
bool is_assignment(const Word& w);

// True when `w`, run or read as code, holds a variable's value that
// cannot be known: code carried over from an earlier call (X='rm -rf ~'
// then eval "$X") would pass unseen. Unknown output of a substitution does
// not count: the program that prints it is judged itself, and
// eval "$(ssh-agent -s)" is everyday work.
inline bool hidden_code(const Word& w) {
  return w.unknown && w.substitutions.empty() && !w.process;
}

// True when `w` is wholly a variable's value from outside the command
// ("$FILE"; a loop's or a read's variable is set by the text itself, and
// "$VENV/bin/activate" names a known script in an unknown place).
inline bool named_from_outside(const Word& w) {
  return hidden_code(w) && w.outside &&
         w.text.find_first_not_of(shell::kUnknown) == std::string::npos;
}

// The texts of argv[from...] joined with blanks, as shell text.
std::string join_words(const std::vector<Word>& argv, std::size_t from);

// What the follower needs to know of a program, found with one lookup:
// every command asks, and most programs are none of these.
enum ProgramTrait : unsigned {
  kWrapper = 1u << 0,   // runs the command given in its arguments
  kCarrier = 1u << 1,   // its arguments or input carry commands or code
  kShell = 1u << 2,     // a shell that reads a script
  kDownload = 1u << 3,  // fetches from the network: curl, wget, ...
};
unsigned program_traits(std::string_view p);

inline bool is_wrapper(std::string_view p) {
  return (program_traits(p) & kWrapper) != 0;
}
inline bool carries_code(std::string_view p) {
  return (program_traits(p) & kCarrier) != 0;
}

// String literals interpreter code gives names to, by name (views into
// the code), each with the offset where it is given.
using CodeNames =
    std::unordered_map<std::string_view,
                       std::vector<std::pair<std::size_t, std::string>>>;

enum class Language {
  kNone,
  kPython,
  kNode,
  kPerl,
  kRuby,
  kPhp,
  kAwk,
  kAppleScript
};

// The language an interpreter program runs; kNone for other programs.
Language language_of(std::string_view p);

class Follower {
 public:
  // Follows into `out`, with `facts`; both must outlive the follower.
  // `text_size`, the size of the text it starts from, sets how many words
  // it follows in all: eight for every two bytes (a word and its blank),
  // and never fewer than 4096.
  Follower(const FollowFacts& facts, CommandSet& out, std::size_t text_size = 0)
      : facts_(facts), out_(out), words_budget_(4096 + 4 * text_size) {}

  // Where and how the text being followed runs.
  struct Context {
    shell::Dir cwd;
    bool elevated = false;
    bool remote = false;
    bool container = false;
    int depth = 0;
    std::string via;
    // The text being followed holds parts an outer expansion left
    // unknown (eval "$(ssh-agent -s)"): an unknown word in it may be one.
    bool unknown_text = false;
  };

  // Analyses `text` as shell text run in `ctx` (with `positional` as $0,
  // $1, ...) and follows every command it runs.
  void follow_text(std::string_view text, const Context& ctx,
                   const std::vector<std::string>& positional = {});

 private:
  // What taking one wrapper off leaves to do.
  enum class Unwrap {
    kNext,  // look at the word the wrapper's command starts at
    kStop,  // no wrapper after all: follow the command from here
    kDone,  // the wrapper's command has been followed (or runs nothing)
  };

  // --- the walk (follower.cc)
  static std::unordered_set<int> called_functions(const shell::Analysis& a);
  // The program a word Core can't read runs when it is the output of
  // which NAME, command -v NAME or type -P NAME: NAME. Empty otherwise.
  static std::string located_program(const Word& w, const shell::Analysis& a);
  bool too_deep(const Context& ctx);
  void follow_shell_variables(const shell::Command& cmd, const Context& ctx);
  void note_aliases(const std::vector<Word>& argv, const Context& ctx);
  std::string alias_text(const shell::Command& cmd,
                         std::vector<std::string>& names);
  void problem(const Context& ctx, const std::string& what);
  // Moves `ctx` to the directory the text of `dir` names from `from` on.
  static void change_dir(Context& ctx, const Word& dir, std::size_t from = 0);
  std::string file_read_into(const shell::Analysis& a, const Word& w);
  static std::size_t read_find(const std::vector<Word>& argv,
                               std::vector<Word>& roots,
                               std::vector<std::string>& names);
  std::string follow_scheduled(const std::vector<Word>& argv,
                               const Context& ctx, const shell::Analysis& a,
                               std::size_t i);
  // Notes code that runs unseen (see CommandSet::unseen); not for code that
  // runs on another machine or in a container.
  void unseen(const Context& ctx, const std::string& what);
  static Context nested(const Context& ctx, std::string_view how);
  const Word* stdin_word(const shell::Command& cmd) const;
  // Adds a command as it runs; `extra` carries the fields the caller has
  // filled in already (its program, when the caller knows it: the name of
  // argv[0]).
  // `ctx` by value: the walk's last use of its context moves it in.
  void push(std::vector<Word> argv, Context ctx, const shell::Command* source,
            RunCommand&& extra = {});
  static std::size_t skip_options(
      const std::vector<Word>& argv, std::size_t k, std::string_view with_arg,
      std::initializer_list<std::string_view> long_with_arg = {});

  // --- wrappers (wrappers.cc)
  // Follows the command `argv` runs from word `k` on, as command `i` of
  // `a` runs it.
  void follow_command(std::vector<Word> argv, std::size_t k, Context ctx,
                      const shell::Analysis& a, std::size_t i);
  Unwrap unwrap(const std::string& p, const std::vector<Word>& argv,
                std::size_t& k, Context& ctx, const shell::Analysis& a,
                std::size_t i);
  static bool skip_wrapper(const std::string& p, const std::vector<Word>& argv,
                           std::size_t& k, Context& ctx);
  Unwrap unwrap_sudo(const std::string& p, const std::vector<Word>& argv,
                     std::size_t& k, Context& ctx);
  Unwrap unwrap_env(const std::vector<Word>& argv, std::size_t& k, Context& ctx,
                    const shell::Analysis& a, std::size_t i);
  Unwrap unwrap_flock(const std::vector<Word>& argv, std::size_t& k,
                      const Context& ctx);
  Unwrap unwrap_su(const std::string& p, const std::vector<Word>& argv,
                   std::size_t& k, Context& ctx);
  // Project tools that run a command in their environment: uv run,
  // poetry run, bundle exec, npx, mise exec --, direnv exec DIR, ...
  Unwrap unwrap_runner(const std::string& p, const std::vector<Word>& argv,
                       std::size_t& k, const Context& ctx);
  // Programs that run a command in a session or under a debugger: tmux,
  // screen, gdb --args, lldb --.
  Unwrap unwrap_session(const std::string& p, const std::vector<Word>& argv,
                        std::size_t& k, const Context& ctx);

  // --- programs that carry shell text (carriers.cc)
  void follow_carrier(const std::vector<Word>& argv, const std::string& p,
                      const Context& ctx, const shell::Analysis& a,
                      std::size_t i, RunCommand& extra);
  std::optional<std::string> known_stdin(const shell::Analysis& a,
                                            std::size_t i) const;
  std::string follow_shell(const std::vector<Word>& argv, const Context& ctx,
                           const shell::Analysis& a, std::size_t i);
  std::string follow_stdin(const shell::Analysis& a, std::size_t i,
                           const Context& ctx, const std::string& p);
  void follow_container(const std::vector<Word>& argv, const Context& ctx,
                        const shell::Analysis& a, std::size_t i);
  void follow_ssh(const std::vector<Word>& argv, const Context& ctx);
  void follow_tar(const std::vector<Word>& argv, const Context& ctx);
  void follow_git_settings(const std::vector<Word>& argv, const Context& ctx,
                           const shell::Command& source);

  // --- xargs, parallel, find -exec, fd -x (xargs_find.cc)
  void follow_fd(const std::vector<Word>& argv, const Context& ctx,
                 const shell::Analysis& a, std::size_t i);
  void follow_find(const std::vector<Word>& argv, const Context& ctx,
                   const shell::Analysis& a, std::size_t i);
  std::vector<std::string> fed_words(const shell::Analysis& a, std::size_t i,
                                     bool lines, bool& known) const;
  static Word fed_word(const std::string& text);
  static void replace_all(Word& w, std::string_view from,
                          const std::string& to);
  void follow_xargs(std::vector<Word> argv, const Context& ctx,
                    const shell::Analysis& a, std::size_t i);
  void find_feeding(const shell::Analysis& a, std::size_t i,
                    std::vector<Word>& roots,
                    std::vector<std::string>& names) const;
  void follow_parallel(std::vector<Word> argv, const Context& ctx,
                       const shell::Analysis& a, std::size_t i);

  // --- interpreters (interpreters.cc) and their code (code_scan.cc)
  std::string follow_interpreter(const std::vector<Word>& argv, Language lang,
                                 const Context& ctx, const shell::Analysis& a,
                                 std::size_t i);
  // Follows the shell text and file operations in interpreter `code`.
  void scan_code(std::string_view code, Language lang, const Context& ctx);
  void scan_calls(std::string_view code, Language lang, const Context& ctx,
                  std::span<const std::string_view> calls,
                  const std::vector<std::string_view>& as,
                  std::vector<const char*>& seen,
                  std::optional<CodeNames>& names);
  void push_code_operation(const std::vector<std::string_view>& as,
                           const std::vector<std::string>& lits,
                           const Context& ctx);
  void follow_call_text(const std::vector<std::string>& lits,
                        const Context& ctx);
  void scan_perl_qx(std::string_view code, const Context& ctx);
  void scan_awk(std::string_view code, const Context& ctx);
  void note_code_files(std::string_view code, const Context& ctx);
  static std::string interpreter_name(const Context& ctx);

  // --- downloads (downloads.cc)
  std::string download_in_group(const shell::Analysis& a, int group) const;
  std::string download_in_word(const shell::Analysis& a, const Word& w) const;
  std::string download_feeding(const shell::Analysis& a, std::size_t i) const;
  static std::string download_of(const std::vector<Word>& argv);
  void note_download(const std::vector<Word>& argv, const Context& ctx,
                     const shell::Command& source);
  std::string downloaded_file(const Word& w, const Context& ctx) const;

  const FollowFacts& facts_;
  CommandSet& out_;
  int analyses_ = 0;
  int followed_ = 0;  // follow_command calls, against the budget
  std::size_t words_followed_ = 0;  // their words, against words_budget_
  std::size_t words_budget_;
  bool words_exceeded_ = false;
  std::vector<std::pair<std::string, std::string>> downloads_;
  // The aliases defined so far (the last definition of each name), the
  // ones being expanded, and the bytes of alias text expanded in all.
  std::unordered_map<std::string, std::string> aliases_;
  std::vector<std::string> expanding_;
  std::size_t alias_bytes_ = 0;
};

}  // namespace twk::core::commands
