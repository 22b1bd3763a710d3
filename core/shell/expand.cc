// The shell analyzer's words: quoting, tilde expansion, glob characters
// and brace expansion, and variable lookup; $ and ` are read by
// parameter.cc and substitution.cc.
#include "shell/reader.h"
#include "shell/text.h"

namespace twk::core::shell {

// Expands the whole text as one word (kFragment or kHereDoc).
Word Reader::expand(Mode mode, bool quoted) {
  mode_ = mode;
  if (mode == Mode::kHereDoc) return expand_here_doc();
  Fields f;
  read_word_parts(f, quoted, false);
  return f.joined();
}

std::optional<std::string> Reader::lookup(std::string_view name) const {
  if (const std::optional<std::string>* v = sh_.state.var(name)) {
    if (*v && (*v)->starts_with(kPatternMark)) return std::nullopt;
    if (*v && (*v)->starts_with(kArrayMark)) {
      // An array's name alone is its first element.
      // An array with no elements is as good as unset.
      std::string_view a(**v);
      std::size_t end = a.find('\0');
      if (end == std::string_view::npos) return std::nullopt;
      return std::string(a.substr(1, end - 1));
    }
    return *v;
  }
  if (name == "PWD" && !sh_.state.cwd().empty()) return sh_.state.cwd().str();
  // The shell sets IFS at start-up, whatever its environment holds.
  if (name == "IFS") return std::string(kDefaultIfs);
  auto env = sh_.env.variables.find(name);
  if (env != sh_.env.variables.end()) return env->second;
  return std::nullopt;
}

bool Reader::spend(std::size_t bytes) {
  if (bytes <= sh_.expand_budget) {
    sh_.expand_budget -= bytes;
    return true;
  }
  if (sh_.expand_budget != 0) sh_.problem("expansions past their limit");
  sh_.expand_budget = 0;
  return false;
}

void Reader::put_value(Fields& f, const std::optional<std::string>& v,
                       bool quoted, bool split) {
  if (v && !spend(v->size())) {
    f.unknown(quoted);
    return;
  }
  const std::optional<std::string>* ifs = sh_.state.var("IFS");
  if (ifs == nullptr || quoted || !split || !v) {
    f.value(v, quoted, split);
  } else if (!*ifs) {
    f.unknown(quoted);  // split at separators that cannot be known
  } else {
    f.value(v, quoted, split, **ifs);
  }
}

void Reader::put_variable(Fields& f, std::string_view name, bool quoted,
                          bool split) {
  const std::optional<std::string>* raw = sh_.state.var(name);
  if (raw != nullptr && *raw && (*raw)->starts_with(kPatternMark)) {
    // One match of a pattern: a pattern however it is quoted, and one
    // field (a name with blanks in it is not known to be there).
    std::string_view pattern = std::string_view(**raw).substr(1);
    if (!spend(pattern.size())) {
      f.unknown(quoted);
      return;
    }
    for (char c : pattern) {
      if (c == '*' || c == '?' || c == '[' || c == '{') {
        f.glob(c);
      } else {
        f.literal(std::string_view(&c, 1), quoted);
      }
    }
    return;
  }
  std::optional<std::string> v = lookup(name);
  // Only where the order of the text tells what is set: a function's
  // parameters, a loop's or a pipeline's variables (read in a piped
  // while loop) may be set where the flat reading can't see it.
  constexpr unsigned kOrderUnknown = kInFunction | kInCondition | kInPipeline;
  const bool outside = !v && (place_ & kOrderUnknown) == 0 &&
                       sh_.state.var(name) == nullptr;
  put_value(f, v, quoted, split);
  if (outside) f.mark_outside();
}

// True for a character read_word_parts takes as it is written: none that
// quotes, expands or ends a word (`shell`: in command text, where
// metacharacters end it).
static bool is_plain(char c, bool shell) {
  unsigned char stops = shell ? (kSpecialChar | kMetaChar) : kSpecialChar;
  return (char_class(c) & stops) == 0;
}

// Reads the parts of one word into `f`. `quoted` is set inside double
// quotes; `split` says whether unquoted expansions split into fields.
void Reader::read_word_parts(Fields& f, bool quoted, bool split, bool tilde) {
  bool at_start = true;
  while (!at_end()) {
    char c = s_[i_];
    if (mode_ == Mode::kShell && is_meta(c)) break;
    switch (c) {
      case '\\':
        read_backslash(f);
        break;
      case '\'':
        if (!read_single_quoted(f)) return;
        break;
      case '"':
        ++i_;
        if (!enter()) return;
        read_double_quoted(f);
        leave();
        break;
      case '$':
        read_dollar(f, quoted, split);
        break;
      case '`':
        read_backtick(f, quoted);
        break;
      case '~':
        if (at_start && tilde) {
          read_tilde(f);
        } else {
          f.literal("~", false);
          ++i_;
        }
        break;
      case '*':
      case '?':
        f.glob(c);
        ++i_;
        break;
      case '[':
      case '{':
        read_bracket_or_brace(f, c);
        break;
      case kUnknown:
        // Text built by an earlier analysis: a part that was unknown there.
        f.unknown(quoted);
        ++i_;
        break;
      default: {
        // A run of plain characters goes in as one literal: one at a time
        // cost a call and a search for kUnknown per character.
        std::size_t j = i_ + 1;
        while (j < s_.size() && is_plain(s_[j], mode_ == Mode::kShell)) ++j;
        f.plain(s_.substr(i_, j - i_));
        c = s_[j - 1];  // the last one decides whether a tilde may follow
        i_ = j;
        break;
      }
    }
    at_start = false;
    // Tilde expansion also follows ':' and '=' in assignments.
    if (tilde && (c == ':' || c == '=')) at_start = true;
  }
}

// A backslash outside quotes: it quotes the next character, or joins
// lines; a trailing one stands for itself.
void Reader::read_backslash(Fields& f) {
  if (peek(1) == '\n') {
    i_ += 2;
  } else if (i_ + 1 < s_.size()) {
    f.literal(s_.substr(i_ + 1, 1), true);
    i_ += 2;
  } else {
    f.literal("\\", false);
    ++i_;
  }
}

// '...': its text as written. False (and the analysis stopped, the rest
// of the text taken as quoted) when no quote closes it.
bool Reader::read_single_quoted(Fields& f) {
  std::size_t end = s_.find('\'', i_ + 1);
  if (end == std::string_view::npos) {
    sh_.problem("a single quote is never closed");
    sh_.unclosed_quote(s_, i_);
    sh_.stopped = true;
    f.literal(s_.substr(i_ + 1), true);
    i_ = s_.size();
    return false;
  }
  f.literal(s_.substr(i_ + 1, end - i_ - 1), true);
  i_ = end + 1;
  return true;
}

// An unquoted [ or { (`c`): a glob when it opens a bracket expression or
// a brace expansion, else a literal.
void Reader::read_bracket_or_brace(Fields& f, char c) {
  if (c == '[') {
    // A bracket expression only when a ']' closes it in this word.
    if (closes_bracket()) {
      f.glob(c);
    } else {
      f.literal("[", false);
    }
  } else if (is_brace_expansion()) {
    f.glob('{');
  } else {
    f.literal("{", false);
  }
  ++i_;
}

bool Reader::closes_bracket() const {
  for (std::size_t j = i_ + 1; j < s_.size() && j - i_ < 256; ++j) {
    if (s_[j] == ']') return true;
    if (is_meta(s_[j])) return false;
  }
  return false;
}

bool Reader::is_brace_expansion() const {
  int level = 0;
  bool sep = false;
  for (std::size_t j = i_; j < s_.size() && j - i_ < 4096; ++j) {
    char c = s_[j];
    if (is_meta(c) || c == '\'' || c == '"') return false;
    if (c == '{') ++level;
    if (c == '}' && --level == 0) return sep;
    if (level == 1 &&
        (c == ',' || (c == '.' && j + 1 < s_.size() && s_[j + 1] == '.'))) {
      sep = true;
    }
  }
  return false;
}

void Reader::read_tilde(Fields& f) {
  std::size_t j = i_ + 1;
  while (j < s_.size() && !is_meta(s_[j]) && s_[j] != '/' && s_[j] != ':') {
    ++j;
  }
  std::string_view user = s_.substr(i_ + 1, j - i_ - 1);
  i_ = j;
  if (user.empty()) {
    std::optional<std::string> home = lookup("HOME");
    if (home) {
      f.literal(*home, true);
    } else {
      f.unknown(true);
    }
  } else if (user == "root") {
    f.literal("/root", true);
  } else if (user == "+") {
    f.value(
        sh_.state.cwd().empty() ? std::nullopt : std::optional(sh_.state.cwd().str()),
        true, false);
  } else {
    f.unknown(true);  // another user's home, or ~- and friends
  }
}

void Reader::read_double_quoted(Fields& f) {
  const std::size_t opened = i_ - 1;
  bool empty = true;
  while (i_ < s_.size() && !sh_.stopped) {
    char c = s_[i_];
    if (c == '"') {
      ++i_;
      if (empty) f.literal("", true);
      return;
    }
    empty = false;
    if (c == '\\') {
      char n = peek(1);
      if (n == '\n') {
        i_ += 2;
      } else if (n == '$' || n == '`' || n == '"' || n == '\\') {
        f.literal(s_.substr(i_ + 1, 1), true);
        i_ += 2;
      } else {
        f.literal("\\", true);
        ++i_;
      }
    } else if (c == '$') {
      read_dollar(f, true);
    } else if (c == '`') {
      read_backtick(f, true);
    } else {
      std::size_t j = i_;
      while (j < s_.size() && s_[j] != '"' && s_[j] != '\\' && s_[j] != '$' &&
             s_[j] != '`') {
        ++j;
      }
      f.literal(s_.substr(i_, j - i_), true);
      i_ = j;
    }
  }
  if (!sh_.stopped) sh_.unclosed_quote(s_, opened);
  sh_.stop("a double quote is never closed");
}

}  // namespace twk::core::shell
