// The shell analyzer's reader: a recursive-descent reader of Bash's
// grammar that expands words as it goes. One Reader walks one text (the
// command line, or nested text such as a backtick substitution or a
// here-document body, read by a child reader); all readers of an analysis
// share one Shared. Its members are defined by concern across the files
// of this directory: the cursor and tokens (reader.cc), lists, pipelines
// and compound commands (parse.cc), simple commands (simple.cc),
// redirections (redirect.cc), here-documents (here_doc.cc), words
// (expand.cc), parameters (parameter.cc), substitutions (substitution.cc)
// and the effects of commands on the shell's state (state.cc).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/fields.h"
#include "shell/shell.h"
#include "shell/state.h"

namespace twk::core::shell {

enum class Mode {
  kShell,     // command text
  kFragment,  // the word of ${NAME:-word}: blanks are part of the word
  kHereDoc,   // an unquoted here-document body: only $, ` and \ act
};

class Reader {
 public:
  // A reader of `text` (which must outlive it) at nesting `depth`, whose
  // commands get the bits of Place in `place` and substitution `group`.
  Reader(Shared& shared, std::string_view text, std::size_t depth,
         unsigned place, int group)
      : sh_(shared), s_(text), depth_(depth), place_(place), group_(group) {}

  // Reads a whole command text.
  void run();

  // Expands the whole text as one word (kFragment or kHereDoc).
  Word expand(Mode mode, bool quoted);

 private:
  // Where a list ends: at the end of the text, at a ")", at the end of a
  // case item, or once the "}" that closes brace group `brace_stop_` is
  // read.
  enum class Stop { kEnd, kParen, kCase, kBrace };

  // A here-document whose body is still to come, after the next newline.
  struct Pending {
    std::string delimiter;
    bool quoted = false;
    bool strip = false;
    std::size_t command = 0;
    std::size_t redirect = 0;
  };

  // --- the cursor and tokens (reader.cc)
  // True at the end of the text, or once the analysis has stopped.
  bool at_end() const { return i_ >= s_.size() || sh_.stopped; }
  // The character `ahead` places past the cursor; '\0' past the end.
  char peek(std::size_t ahead = 0) const {
    return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0';
  }
  // One level deeper; false (and the analysis stopped) past the limit.
  bool enter();
  void leave() { --depth_; }
  // Ends a nested list that began with `opener` ("(" or "$("): rolls the
  // shell state back to `saved`, leaves the level and steps over the ")".
  // False (and the analysis stopped) when the text ends first.
  bool close_nested(std::size_t saved, std::string_view opener);
  // Blanks and escaped newlines.
  void skip_blanks();
  // Blanks and a comment up to (not including) the newline.
  void skip_blanks_and_comment();
  // Steps over a newline and reads the here-documents it starts.
  void newline();
  // Blank lines and comments.
  void skip_newlines();
  // The reserved word at the cursor, if one is there in command position.
  std::string_view keyword() const;
  // Stops the analysis where the text ends before a command it needs.
  void missing_command();
  // True at ;; or ;& (;;& starts with ;;), which end a case item.
  bool at_case_end() const;

  // --- lists, pipelines and compound commands (parse.cc)
  // Each reads its construct from the cursor and emits its commands.
  void parse_list(Stop stop);
  void parse_and_or();
  void parse_pipeline();
  void parse_command();
  void parse_subshell();
  // Redirections after a compound command: they apply to every command
  // in it, and become a command of their own (no words) run in `cwd`,
  // where the compound began; null for the present directory.
  void parse_trailing_redirects(const Dir* cwd = nullptr);
  void skip_arithmetic_command();
  // `opened`: the loop's start was noted on open_marks_.
  void parse_for(bool select, bool opened);
  // The words after "in", expanded.
  std::vector<Word> read_for_words();
  void parse_case();
  void parse_case_patterns();
  void parse_function_keyword();
  void parse_function_body(std::string name);
  void parse_test();

  // --- simple commands (simple.cc)
  // A command where the cursor is, in this reader's place and state.
  Command new_command() const;
  // Adds `cmd` to the analysis, unless that is past the command limit.
  void emit(Command&& cmd);
  // NAME= or NAME+= at the cursor: the length up to and including '='.
  std::size_t assignment_length() const;
  std::size_t element_assignment_length(std::size_t& name) const;
  void parse_simple();
  bool try_function_definition(const Command& cmd);
  // The definition `cmd` calls, as Command::calls says.
  int called_definition(const Command& cmd) const;
  void read_assignment(Command& cmd, std::size_t len);
  // ( words ) after NAME=, the cursor at "(": the array's value as the
  // shell state keeps it (see kArrayMark), or nothing when an element
  // can't be known.
  std::optional<std::string> read_array();
  // Moves pending here-documents noted for command `from` to `to`.
  void fix_pending(std::size_t from, std::size_t to);

  // --- redirections (redirect.cc) and here-documents (here_doc.cc)
  bool try_redirect(Command& cmd, std::size_t index);
  bool redirect_prefix(std::size_t& j, int& fd) const;
  void note_here_doc(const Command& cmd, std::size_t index, bool strip);
  void read_here_docs();
  std::string read_here_doc_body(const Pending& p);
  Word expand_here_doc();

  // --- words (expand.cc)
  // A variable's value: assigned by the text, $PWD from the tracked
  // directory, or given by the environment; nothing when unknown.
  std::optional<std::string> lookup(std::string_view name) const;
  // Puts an expansion's value into `f`, split at the IFS the text has set
  // (unknown when the text set it to something unknown).
  // Takes `bytes` from the expansion budget; false (once noted as a
  // problem) when too little is left.
  bool spend(std::size_t bytes);
  void put_value(Fields& f, const std::optional<std::string>& v, bool quoted,
                 bool split);
  // $NAME: the variable's value put into `f` as put_value does; an
  // unknown one the text never set is marked as coming from outside.
  void put_variable(Fields& f, std::string_view name, bool quoted,
                    bool split);
  // Reads the parts of one word into `f`; see expand.cc.
  void read_word_parts(Fields& f, bool quoted, bool split, bool tilde = false);
  void read_backslash(Fields& f);
  bool read_single_quoted(Fields& f);
  void read_bracket_or_brace(Fields& f, char c);
  // Whether the [ at the cursor opens a bracket expression, the { a brace
  // expansion.
  bool closes_bracket() const;
  bool is_brace_expansion() const;
  // ~ and ~user at the start of a word (or after : and = in assignments).
  void read_tilde(Fields& f);
  // The inside of "...", the cursor just past the opening quote.
  void read_double_quoted(Fields& f);

  // --- parameters (parameter.cc)
  void read_dollar(Fields& f, bool quoted, bool split = true);
  void read_ansi_c_quoted(Fields& f);
  void read_command_substitution(Fields& f, bool quoted, bool split);
  void read_all_positional(Fields& f, bool quoted, bool split);
  void read_braced_parameter(Fields& f, bool quoted, bool split);
  std::size_t braced_parameter_end(std::size_t start, bool quoted) const;
  bool read_parameter_word(Fields& f, std::string_view text, bool quoted,
                           std::optional<std::string>& word);

  // --- substitutions (substitution.cc)
  void skip_balanced_parens();
  // `...`: its text, unescaped, read by a child reader as a group of its
  // own; its output, when known, is the value.
  void read_backtick(Fields& f, bool quoted);
  // <(...) and >(...): read as a group of their own; the word is unknown.
  void read_process_substitution(Fields& f);
  std::optional<std::string> substitution(unsigned place, Stop stop,
                                          int& group);
  std::optional<std::string> group_output(std::size_t first, int group);

  // --- effects on the shell's state (state.cc)
  void apply_effects(const Command& cmd);
  bool changes_caller(const Command& cmd);
  void apply_declaration(const Command& cmd, std::size_t at);
  // read at argv[at]: the variables it names (REPLY when none) hold what
  // it reads, which can't be known.
  void apply_read(const Command& cmd, std::size_t at);
  void apply_cd(const Command& cmd, std::size_t at);
  // Makes NAME (or the array of NAME[...]) unknown.
  void forget_name(std::string_view name);

  Shared& sh_;
  std::string_view s_;
  std::size_t i_ = 0;
  std::size_t depth_;
  unsigned place_;
  int group_;
  int pipeline_ = 0;
  int stage_ = 0;
  Mode mode_ = Mode::kShell;
  std::string function_;         // the function whose body is being read
  int definition_ = 0;           // and the number of its definition
  unsigned function_place_ = 0;  // place_ where that body began
  int braces_ = 0;               // brace groups open where the cursor is
  // In a function body: the level whose closing brace ends it (a list,
  // and-or list or pipeline stops there); -1 elsewhere.
  int brace_stop_ = -1;
  bool body_closed() const {
    return brace_stop_ >= 0 && braces_ <= brace_stop_;
  }
  std::vector<Pending> pending_;
  // Arrays the simple command being read assigns: they take effect with
  // its other assignments, and only when it runs no program.
  std::vector<std::pair<std::string, std::string>> arrays_;
  // ${NAME[...]}: `sub` the subscript; true when handled.
  bool put_subscript(Fields& f, std::string_view name, std::string_view sub,
                     bool quoted, bool split);
  // The shell state's marks where the compound commands still open began,
  // and the earliest one closed in the and-or list being read: an & after
  // it rolls the state back to there.
  std::vector<std::size_t> open_marks_;
  std::size_t closed_mark_ = 0;
  // The directory each of those began in: its redirections open there.
  std::vector<Dir> open_dirs_;
  // A for loop over known words, open where the cursor is: its body is
  // read once for each word, the variable bound to it.
  struct Loop {
    std::string name;
    std::vector<std::string> values;
    std::size_t next = 1;   // the value the next reading binds
    std::size_t body = 0;   // where each reading of the body starts
    std::size_t marks = 0;  // open_marks_.size() while it is open
    std::size_t depth = 0;  // depth_ and braces_ where it began
    int braces = 0;
  };
  std::vector<Loop> loops_;
  // A for loop's header over known words, waiting for its "do": the body
  // is read again only when it starts with "do", where the variable is
  // bound (a pipeline stage's state is rolled back before that).
  std::optional<Loop> header_;
  std::size_t header_commands_ = 0;  // commands emitted when it was read
  // At the "do" just read: starts the loop whose header waits for it.
  void start_loop();
  // At the "done" just read: reads the innermost loop's body again for
  // its next word, if it has one (true: the cursor went back).
  bool repeat_loop();
};

}  // namespace twk::core::shell
