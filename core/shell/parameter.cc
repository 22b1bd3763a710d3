// The shell analyzer's parameter expansion: $NAME, ${NAME}, the default,
// assign, error and alternate forms of ${NAME:-word}, positional and
// special parameters, $'...' and $"...", and the $ of $(...) and $((...)).
#include "shell/reader.h"
#include "shell/text.h"

namespace twk::core::shell {

// A $ at the cursor and what follows it. `quoted` is set inside double
// quotes (where $'...' and $"..." are not special); `split` says whether
// an unquoted value splits into fields.
void Reader::read_dollar(Fields& f, bool quoted, bool split) {
  char n = peek(1);
  if (n == '\'' && !quoted) {
    read_ansi_c_quoted(f);
    return;
  }
  if (n == '"' && !quoted) {
    i_ += 2;
    if (!enter()) return;
    read_double_quoted(f);
    leave();
    return;
  }
  if (n == '(' && peek(2) == '(') {
    // $(( ... )): arithmetic; the value is unknown, but substitutions
    // inside it still run.
    i_ += 1;
    std::size_t start = i_;
    skip_balanced_parens();
    (void)start;
    f.unknown(quoted);
    return;
  }
  if (n == '(') {
    read_command_substitution(f, quoted, split);
    return;
  }
  if (n == '{') {
    read_braced_parameter(f, quoted, split);
    return;
  }
  if (is_name_start(n)) {
    std::size_t j = i_ + 1;
    while (j < s_.size() && is_name_char(s_[j])) ++j;
    std::string_view name = s_.substr(i_ + 1, j - i_ - 1);
    i_ = j;
    put_variable(f, name, quoted, split);
    return;
  }
  if (is_digit(n)) {
    i_ += 2;
    put_variable(f, s_.substr(i_ - 1, 1), quoted, split);
    return;
  }
  if (n == '@' || n == '*') {
    read_all_positional(f, quoted, split);
    return;
  }
  if (n == '#' || n == '?' || n == '$' || n == '!' || n == '-') {
    i_ += 2;
    f.unknown(quoted);
    return;
  }
  f.literal("$", quoted);
  ++i_;
}

// $'...': ANSI-C quoting.
void Reader::read_ansi_c_quoted(Fields& f) {
  const std::size_t opened = i_;
  i_ += 2;
  std::string out;
  while (i_ < s_.size() && s_[i_] != '\'') {
    if (s_[i_] == '\\') {
      ++i_;
      decode_escape(s_, i_, out, true);
    } else {
      out += s_[i_++];
    }
  }
  if (i_ >= s_.size()) {
    sh_.problem("a $' quote is never closed");
    sh_.unclosed_quote(s_, opened);
    sh_.stopped = true;
  } else {
    ++i_;
  }
  f.literal(out, true);
}

// $( ... ): its commands are read in place; the value is their output
// without trailing newlines, when that can be known.
void Reader::read_command_substitution(Fields& f, bool quoted, bool split) {
  i_ += 2;
  int group = 0;
  std::optional<std::string> value =
      substitution(kInSubstitution, Stop::kParen, group);
  if (group > 0) f.substitution(group);
  if (value) {
    while (!value->empty() && value->back() == '\n') value->pop_back();
  }
  put_value(f, value, quoted, split);
}

// $@ and $*: the positional parameters, when the caller knows them (bash
// -c TEXT ARG0 ARGS...). Unquoted, each is split into fields; "$@" keeps
// each as one field, and "$*" joins them into one at IFS's first
// character. Where no splitting happens (x=$@), $@ joins with a space.
void Reader::read_all_positional(Fields& f, bool quoted, bool split) {
  const bool star = s_[i_ + 1] == '*';
  i_ += 2;
  std::vector<std::string> params;
  std::size_t bytes = 0;
  for (int k = 1; k < 64; ++k) {
    std::optional<std::string> v = lookup(std::to_string(k));
    if (!v) break;
    bytes += v->size() + 1;
    params.push_back(std::move(*v));
  }
  const std::optional<std::string>* ifs = sh_.state.var("IFS");
  const bool ifs_known = ifs == nullptr || ifs->has_value();
  const bool joins_at_ifs = star || (!quoted && split);
  if (params.empty() || (!ifs_known && joins_at_ifs) || !spend(bytes)) {
    f.unknown(quoted);
    return;
  }
  // IFS never set separates with a space; set empty, with nothing.
  std::string_view separator = " ";
  if (joins_at_ifs && ifs != nullptr) {
    separator = std::string_view(**ifs).substr(0, 1);
  }
  auto joined = [&] {
    std::string out;
    for (std::size_t k = 0; k < params.size(); ++k) {
      if (k > 0) out += separator;
      out += params[k];
    }
    return out;
  };
  if (quoted && !star) {
    for (std::size_t k = 0; k < params.size(); ++k) {
      if (k > 0) f.separate();
      f.literal(params[k], true);
    }
  } else if (quoted || !split) {
    f.literal(joined(), quoted);
  } else if (separator.empty()) {
    // Nothing to split at: each parameter is a field of its own, and
    // empty ones vanish.
    bool first = true;
    for (const std::string& param : params) {
      if (param.empty()) continue;
      if (!first) f.separate();
      f.literal(param, false);
      first = false;
    }
  } else {
    // Joined at a separator, so that splitting parts them again.
    put_value(f, joined(), false, split);
  }
}

// ${ ... } at the cursor: a plain parameter, or one of the forms with a
// word (-, =, ?, +, each with or without a colon). Other forms are
// unknown.
bool Reader::put_subscript(Fields& f, std::string_view name,
                           std::string_view sub, bool quoted, bool split) {
  const std::optional<std::string>* raw = sh_.state.var(name);
  if (raw == nullptr || !*raw || (*raw)->starts_with(kPatternMark)) {
    return false;
  }
  std::vector<std::string_view> elements;
  std::string_view v(**raw);
  if (v.starts_with(kArrayMark)) {
    v.remove_prefix(1);
    for (std::size_t start = 0; start < v.size();) {
      std::size_t end = v.find('\0', start);
      if (end == std::string_view::npos) break;
      elements.push_back(v.substr(start, end - start));
      start = end + 1;
    }
  } else {
    elements.push_back(v);  // a plain variable is an array of one
  }
  if (sub == "@" || sub == "*") {
    std::size_t bytes = 0;
    for (std::string_view e : elements) bytes += e.size() + 1;
    // Joined at the first character of IFS, which only the default is
    // known to be; "${a[@]}" keeps each element a field of its own.
    bool joins = sub == "*" || (!quoted && split);
    // No element: no field, which a word's other parts may still make.
    if (elements.empty() ||
        (joins && sh_.state.var("IFS") != nullptr) || !spend(bytes)) {
      return false;
    }
    if (quoted && sub == "@") {
      for (std::size_t k = 0; k < elements.size(); ++k) {
        if (k > 0) f.separate();
        f.literal(elements[k], true);
      }
      return true;
    }
    std::string joined;
    for (std::size_t k = 0; k < elements.size(); ++k) {
      if (k > 0) joined += ' ';
      joined += elements[k];
    }
    f.value(joined, quoted, split);
    return true;
  }
  if (sub.empty() || sub.size() > 4 || (sub.size() > 1 && sub[0] == '0') ||
      sub.find_first_not_of("0123456789") != std::string_view::npos) {
    return false;  // arithmetic, octal, negative or associative subscripts
  }
  std::size_t index = std::stoul(std::string(sub));
  std::string element =
      index < elements.size() ? std::string(elements[index]) : std::string();
  put_value(f, element, quoted, split);
  return true;
}

void Reader::read_braced_parameter(Fields& f, bool quoted, bool split) {
  std::size_t start = i_ + 2;
  std::size_t j = braced_parameter_end(start, quoted);
  if (j >= s_.size()) {
    sh_.problem("a \"${\" is never closed");
    sh_.stopped = true;
    i_ = s_.size();
    f.unknown(quoted);
    return;
  }
  std::string_view inner = s_.substr(start, j - start);
  i_ = j + 1;
  std::size_t k = 0;
  while (k < inner.size() && is_name_char(inner[k])) ++k;
  std::string_view name = inner.substr(0, k);
  bool valid_name = !name.empty() && (is_name_start(name[0]) ||
                                      name.find_first_not_of("0123456789") ==
                                          std::string_view::npos);
  if (!valid_name) {
    f.unknown(quoted);  // ${#x}, ${!x}, ${@...}
    return;
  }
  if (k < inner.size() && inner[k] == '[') {
    std::size_t close = inner.find(']', k);
    if (close == std::string_view::npos || close + 1 != inner.size() ||
        !put_subscript(f, name, inner.substr(k + 1, close - k - 1), quoted,
                       split)) {
      f.unknown(quoted);
    }
    return;
  }
  std::optional<std::string> value = lookup(name);
  std::string_view op = inner.substr(k);
  if (op.empty()) {
    put_variable(f, name, quoted, split);
    return;
  }
  bool colon = op[0] == ':';
  std::string_view rest = colon ? op.substr(1) : op;
  char kind = rest.empty() ? '\0' : rest[0];
  if (kind != '-' && kind != '=' && kind != '?' && kind != '+') {
    f.unknown(quoted);  // substrings, pattern removal, case changes
    return;
  }
  std::optional<std::string> word;
  if (!read_parameter_word(f, rest.substr(1), quoted, word)) return;
  const std::optional<std::string>* raw = sh_.state.var(name);
  if (raw != nullptr && *raw && (*raw)->starts_with(kPatternMark)) {
    // One of a glob's matches: set, and never empty.
    if (kind == '+') {
      put_value(f, word, quoted, split);
    } else {
      put_variable(f, name, quoted, split);
    }
    return;
  }
  bool set = value && (!colon || !value->empty());
  switch (kind) {
    case '-':
    case '=':
      if (value) {
        put_value(f, set ? value : word, quoted, split);
      } else {
        // Not known to be set: the default is what a check should see
        // (${ENVFILE:=.env}, ${DIR:-/}), and it stays unknown only when
        // the default is unknown too.
        put_value(f, word, quoted, split);
      }
      // := assigns whenever the default was used: unset, or (with the
      // colon) set but empty.
      if (kind == '=' && !set) sh_.state.set_var(name, word);
      return;
    case '?':
      // Unset means the shell stops here; set means the value.
      put_value(f, value, quoted, split);
      return;
    default:  // '+'
      if (value) {
        put_value(f, set ? word : std::optional<std::string>(""), quoted, split);
      } else {
        f.unknown(quoted);
      }
      return;
  }
}

// Where the ${ whose name starts at `start` closes: the index of its
// "}", or the end of the text when nothing closes it.
std::size_t Reader::braced_parameter_end(std::size_t start, bool quoted) const {
  // Find the closing brace, stepping over quotes and nested ${...}.
  std::size_t j = start;
  int level = 1;
  while (j < s_.size()) {
    char c = s_[j];
    if (c == '\\') {
      j += 2;
      continue;
    }
    if (c == '\'' && !quoted) {
      std::size_t end = s_.find('\'', j + 1);
      j = end == std::string_view::npos ? s_.size() : end + 1;
      continue;
    }
    if (c == '{') ++level;
    if (c == '}' && --level == 0) break;
    ++j;
  }
  return j;
}

// The word of ${NAME:-word} and its kin, `text`, expanded by a child
// reader in this one's pipeline; its substitutions feed the field. `word`
// is left empty when its value is unknown. False (the analysis stopped)
// past the nesting limit.
bool Reader::read_parameter_word(Fields& f, std::string_view text, bool quoted,
                                 std::optional<std::string>& word) {
  if (!enter()) return false;
  Reader child(sh_, text, depth_, place_, group_);
  child.pipeline_ = pipeline_;
  child.stage_ = stage_;
  Word w = child.expand(Mode::kFragment, quoted);
  leave();
  for (int g : w.substitutions) f.substitution(g);
  if (!w.unknown) word = w.text;
  return true;
}

}  // namespace twk::core::shell
