// What the built-in checks share: path relations on normalised absolute
// paths, resolving a word to what it names, the text of reasons, and
// reading a command's options as a set of flags.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "shell/checks.h"

namespace twk::core::checks {

using shell::Word;

// True when `s` is one of `list`.
bool has(std::initializer_list<std::string_view> list, std::string_view s);

// The words of `text`, separated by blanks and newlines: lists of program
// names kept as one literal each. The views point into `text`.
std::vector<std::string_view> words_of(std::string_view text);

// Programs that look at names and sizes only: they neither write the
// files they are given nor show what is in them.
inline constexpr std::string_view kNameOnlyPrograms =
    "echo printf ls stat test [ [[ realpath readlink basename dirname file "
    "du wc cd pushd tree twk-backend twk-hook";

// A set of the words of one or more such lists, for lookups by hashing.
// The lists must outlive it (string literals).
class WordSet {
 public:
  WordSet(std::initializer_list<std::string_view> lists);
  bool contains(std::string_view word) const {
    // Most words asked about are in no list: their length or first byte
    // says so without hashing them.
    if (word.size() < 64) {
      if ((lengths_ >> word.size() & 1) == 0) return false;
      auto c = static_cast<unsigned char>(word[0]);
      if ((firsts_[c >> 6] >> (c & 63) & 1) == 0) return false;
    }
    return set_.count(word) > 0;
  }

 private:
  std::unordered_set<std::string_view> set_;
  std::uint64_t lengths_ = 0;    // bit n: a word of n bytes (n < 64)
  std::uint64_t firsts_[4] = {};  // bit c: a word that starts with byte c
};

// True when a word of `argv` from index `from` on is one of `list`.
bool any_word(const std::vector<Word>& argv,
              std::initializer_list<std::string_view> list,
              std::size_t from = 0);

// True when `s` holds one of the characters of `set`. For hot paths:
// find_first_of calls memchr over the set for each character of `s`,
// which costs far more than a few comparisons.
inline bool holds_any(std::string_view s, std::string_view set) {
  for (char c : s) {
    for (char d : set) {
      if (c == d) return true;
    }
  }
  return false;
}

// `s` in ASCII lower case.
std::string lower(std::string_view s);

// Path relations, on normalised absolute paths: `path` is `dir` or below
// it (within), or strictly below it (below). "/" holds every absolute path.
bool within(std::string_view path, std::string_view dir);
bool below(std::string_view path, std::string_view dir);

// The last component of `path`, trailing slashes ignored.
std::string basename_of(std::string_view path);

// A word for reasons, with each unknown part shown as "…".
std::string display(const Word& w);

// The first `max_words` words of a command for reasons, shortened to 160
// bytes.
std::string command_text(const RunCommand& rc, std::size_t max_words = 8);

// `s` in backticks.
std::string code_span(std::string_view s);

// Where a command was reached from, for reasons: " (through bash -c)".
std::string through(const RunCommand& rc);

// How reasons begin: the command in backticks, shortened to `max_words`
// words, and where it was reached from: "`rm -rf /` (through bash -c)".
std::string said(const RunCommand& rc, std::size_t max_words = 8);

// What a word names as a path.
struct Target {
  enum Kind { kExact, kBelow, kUnknown } kind = kUnknown;
  std::string path;       // kExact: the path; kBelow: the directory
  bool wild_top = false;  // kBelow: its first component is wholly open
};

inline constexpr const char* kGlobChars = "*?[{";

// What `w` names, resolved against `cwd` with ~ as the facts' home: one
// path, everything below a directory (a glob or an unknown part after
// it), or unknown.
Target resolve(const Word& w, const std::string& cwd, const CheckFacts& f);

// True when `path` is covered by a policy's path `pattern` (absolute or
// ~/..., a trailing /** or a glob allowed): the pattern's path itself or
// anything below it.
bool matches_pattern(std::string_view path, const std::string& pattern,
                     const CheckFacts& f);
bool matches_any(std::string_view path, const std::vector<std::string>& list,
                 const CheckFacts& f);

// True when `path` is in a temporary directory (strictly: below it).
bool in_temp(std::string_view path, const CheckFacts& f, bool strictly);

// The system's temporary directories; /private/tmp and /private/var/tmp
// are what /tmp and /var/tmp lead to on macOS. TMPDIR comes on top.
inline constexpr std::string_view kTempDirs[] = {
    "/tmp", "/var/tmp", "/dev/shm", "/private/tmp", "/private/var/tmp"};

inline constexpr std::array<std::string_view, 19> kSystemDirs = {
    "/etc",  "/usr",  "/bin",  "/sbin",   "/lib",  "/lib32", "/lib64",
    "/boot", "/var",  "/opt",  "/root",   "/srv",  "/sys",   "/proc",
    "/dev",  "/home", "/snap", "/System", "/Users"};

// True for "/" and what is within the system's directories.
bool in_system(std::string_view path);

// The options of a command as a set of flags: short clusters and long
// names, up to "--".
struct Options {
  std::string shorts;  // every short option letter seen
  // Long options without any "=value": views into the words read, which
  // must outlive the Options.
  std::vector<std::string_view> longs;
  std::vector<std::size_t> operands;  // indexes of the other words

  bool short_has(char c) const { return shorts.find(c) != std::string::npos; }
  // True when --name was given and no --no-name after it: the last of
  // the two wins, as most programs that take both read them.
  bool long_has(std::string_view name) const {
    bool on = false;
    for (std::string_view l : longs) {
      if (l == name) on = true;
      if (negates(l, name)) on = false;
    }
    return on;
  }
  // True when `l` is --no-NAME for `name` --NAME.
  static bool negates(std::string_view l, std::string_view name) {
    return l.starts_with("--no-") && name.starts_with("--") &&
           l.substr(5) == name.substr(2);
  }
  // A long option given by an unambiguous prefix of `name` among `known`.
  // As with long_has, a later --no-name turns it off again.
  bool long_abbrev(std::string_view name,
                   std::initializer_list<std::string_view> known) const {
    bool on = false;
    for (std::string_view l : longs) {
      if (negates(l, name)) {
        on = false;
        continue;
      }
      if (l.size() < 3 || !name.starts_with(l)) continue;
      int hits = 0;
      for (std::string_view k : known) hits += k.starts_with(l) ? 1 : 0;
      if (l == name || hits <= 1) on = true;
    }
    return on;
  }
};

// The options of argv[from...]. `with_value`: short options whose value is
// the next word; `long_with_value`: long options whose value is the next
// word unless given with "=".
Options options_of(
    const std::vector<Word>& argv, std::size_t from,
    std::string_view with_value = "",
    std::initializer_list<std::string_view> long_with_value = {});

// A name that shell pattern `pattern` matches: each * and ? matching
// `fill`, each [class] its first character (x for a negated one). Empty
// for a malformed class.
std::string pattern_instance(std::string_view pattern, std::string_view fill);

// One option of a command that reads its options as git's parse-options
// does: a short letter, a long name, or both.
struct OptionSpec {
  enum Arg : unsigned char {
    kNone,      // a flag
    kRequired,  // the value is attached (-sX, --name=X) or the next word
    kOptional,  // the value is attached only; the next word is its own
  };
  char letter = 0;        // 0: long name only
  std::string_view name;  // without "--"; empty: letter only
  Arg arg = kNone;
  bool negatable = true;  // --no-NAME sets it back
};

// A command's options as git reads them against its option table.
struct ParsedOptions {
  struct Given {
    const OptionSpec* spec;
    bool off;  // given as --no-NAME
  };
  std::vector<Given> given;           // in order; values are passed over
  std::vector<std::size_t> operands;  // indexes of the other words
  // How many operands came before "--"; all of them when there is none.
  std::size_t before_dashdash = 0;
  // An -h, --help or --version that no option took as its value: git
  // prints its usage and does nothing else.
  bool help = false;

  // The last of --name and --no-name wins: 1 on, 0 off, -1 never given.
  int state(std::string_view name) const;
  bool on(std::string_view name) const { return state(name) > 0; }
  // True when the option whose short name is `letter` was given: for
  // options with no long name, which nothing takes back.
  bool has(char letter) const;
};

// The options of argv[from...] read as git reads them against `specs`:
// short letters in clusters, long names or any unambiguous prefix of one,
// --no-NAME, and values after the option or in the next word, whatever
// that word looks like. An option not in the table is passed over without
// a value (git refuses it, but a later git may know it), as is an
// ambiguous prefix.
ParsedOptions parse_options(const std::vector<Word>& argv, std::size_t from,
                            std::span<const OptionSpec> specs);

}  // namespace twk::core::checks
