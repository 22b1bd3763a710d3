// What a Bash call really runs: the shell analyzer's simple commands with
// their wrappers taken off (sudo, env, timeout, xargs, find -exec, ...) and
// the code they carry followed: the text of `bash -c`, `eval`, scripts fed
// to a shell on standard input, `ssh host CMD`, and the calls that run shell
// text or delete trees inside interpreter one-liners (python -c, node -e,
// perl -e, ruby -e, php -r, awk). No I/O: a pure function of the text and
// the facts it is given.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/shell.h"

namespace twk::core {

// One command as it would run.
struct RunCommand {
  // The words from the program on; argv[0] as written after unwrapping.
  std::vector<shell::Word> argv;
  // The program's name: the last component of argv[0]; empty when argv[0]
  // is not known.
  std::string program;
  shell::Dir cwd;  // absolute, or empty when unknown
  // The simple command it came from (for redirections and where it sits);
  // null for commands read out of interpreter code. Its words may have been
  // moved into `argv`: read them here.
  const shell::Command* source = nullptr;
  bool elevated = false;   // under sudo, doas, su and the like
  bool remote = false;     // runs on another machine (ssh) or in a container
  bool container = false;  // runs in a container (docker exec, kubectl exec)
  int depth = 0;           // levels of code it is nested in
  // How it was reached, outermost first, e.g. "bash -c", "xargs".
  std::string via;
  // Code it runs from a download: a shell or interpreter whose script comes
  // from curl, wget and the like. Names the download, e.g. "curl".
  std::string runs_download;
  // For find -exec: the names find selects (-name, -iname, -path), which
  // the "{}" among the words stands for.
  std::vector<std::string> placeholder_names;
  // For find -exec: the directories find starts from.
  std::vector<shell::Word> placeholder_roots;
  // What reaches its standard input when that is known: a here-document,
  // a here-string, or the known output of the stage before it. Only filled
  // in for programs that read commands or queries there (database
  // clients).
  std::optional<std::string> stdin_text;
  // True when this command is an interpreter's call read out of its code
  // (the words are string literals of that code).
  bool from_code = false;
};

struct FollowFacts {
  std::string cwd;   // where the call runs; empty when unknown
  std::string home;  // the user's home; empty when unknown
  std::string tmpdir = "/tmp";
  int max_depth = 8;  // levels of nested code followed
};

struct CommandSet {
  std::vector<RunCommand> commands;
  // What could not be followed, from every level of the analysis.
  std::vector<std::string> problems;
  // Code a shell runs that Core can't see at all: a script named by an
  // unknown variable, read from a file, or printed by another program.
  std::vector<std::string> unseen;
  // The analyses the commands point into.
  std::deque<shell::Analysis> analyses;
};

// Every command `text` runs, as far as it can be known.
CommandSet follow(std::string_view text, const FollowFacts& facts);

// The program name of a word: the last path component of its known text.
std::string program_name(const shell::Word& word);

// A git call's global options, read: where its subcommand is, and the
// configuration the call is given for itself, as (name, value) views into
// the words: -c NAME=VALUE (also -cNAME=VALUE as one word) and, among
// `assignments` (when given), GIT_CONFIG_COUNT with GIT_CONFIG_KEY_n and
// GIT_CONFIG_VALUE_n, and GIT_CONFIG_PARAMETERS ('alias.x=y' 'alias.z=w').
struct GitCall {
  std::size_t subcommand = 0;  // index into argv; argv.size() when none
  std::vector<std::pair<std::string_view, std::string_view>> settings;
};
GitCall read_git_call(
    const std::vector<shell::Word>& argv,
    const std::vector<std::pair<std::string, shell::Word>>* assignments);

// True for download tools: curl, wget and the like.
bool is_download_program(std::string_view program);
// True for shells that read a script: bash, sh, zsh, dash, ksh, ...
bool is_shell_program(std::string_view program);

}  // namespace twk::core
