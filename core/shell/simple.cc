// The shell analyzer's simple commands: assignments, words and
// redirections up to the end of the command, emitted in the order a
// shell would meet them.
#include "shell/reader.h"
#include "shell/text.h"

namespace twk::core::shell {

Command Reader::new_command() const {
  Command cmd;
  cmd.place = place_;
  cmd.group = group_;
  cmd.pipeline = pipeline_;
  cmd.stage = stage_;
  cmd.cwd = sh_.state.cwd();
  cmd.function = function_;
  cmd.definition = definition_;
  return cmd;
}

int Reader::called_definition(const Command& cmd) const {
  if (cmd.argv.empty() || cmd.argv[0].unknown) return 0;
  if (definition_ != 0 || (place_ & kInCondition) != 0) return -1;
  if (sh_.next_definition == 1) return 0;
  if (sh_.uncertain_functions.count(cmd.argv[0].text) > 0) return -1;
  const std::optional<std::string>* v =
      sh_.state.var(kFunctionMark + cmd.argv[0].text);
  return v != nullptr && *v ? std::stoi(**v) : 0;
}

void Reader::emit(Command&& cmd) {
  if (sh_.out.commands.size() >= sh_.limits.max_commands) {
    sh_.problem("more than " + std::to_string(sh_.limits.max_commands) +
                " commands");
    sh_.stopped = true;
    return;
  }
  sh_.out.commands.push_back(std::move(cmd));
}

// NAME= or NAME+= at the cursor: the length up to and including '='.
std::size_t Reader::assignment_length() const {
  if (i_ >= s_.size() || !is_name_start(s_[i_])) return 0;
  std::size_t j = i_ + 1;
  while (j < s_.size() && is_name_char(s_[j])) ++j;
  if (j < s_.size() && s_[j] == '=') return j + 1 - i_;
  if (j + 1 < s_.size() && s_[j] == '+' && s_[j + 1] == '=') {
    return j + 2 - i_;
  }
  return 0;
}

// NAME[SUBSCRIPT]= or NAME[SUBSCRIPT]+= at the cursor: the length up to
// and including '=', with the length of NAME in `name`; 0 for none.
std::size_t Reader::element_assignment_length(std::size_t& name) const {
  if (i_ >= s_.size() || !is_name_start(s_[i_])) return 0;
  std::size_t j = i_ + 1;
  while (j < s_.size() && is_name_char(s_[j])) ++j;
  if (j >= s_.size() || s_[j] != '[') return 0;
  name = j - i_;
  int depth = 0;
  for (; j < s_.size() && !is_blank(s_[j]) && s_[j] != '\n'; ++j) {
    if (s_[j] == '[') ++depth;
    if (s_[j] == ']' && --depth == 0) break;
  }
  if (j >= s_.size() || s_[j] != ']') return 0;
  ++j;
  if (j < s_.size() && s_[j] == '=') return j + 1 - i_;
  if (j + 1 < s_.size() && s_[j] == '+' && s_[j + 1] == '=') return j + 2 - i_;
  return 0;
}

void Reader::parse_simple() {
  Command cmd = new_command();
  // Most commands have a handful of words; growing the vector from one
  // would move every word several times.
  cmd.argv.reserve(8);
  std::size_t index = sh_.out.commands.size();
  arrays_.clear();
  // Filled in as here-documents are read; the command is emitted first so
  // that their bodies can find it.
  for (;;) {
    skip_blanks();
    if (at_end()) break;
    char c = s_[i_];
    if (c == '#' && cmd.argv.empty() && cmd.assignments.empty() &&
        cmd.redirects.empty()) {
      skip_blanks_and_comment();
      break;
    }
    if (c == '#') {
      skip_blanks_and_comment();
      break;
    }
    if ((c == '<' || c == '>') && peek(1) == '(') {
      Fields f(&cmd.argv);
      read_process_substitution(f);
      read_word_parts(f, false, true);
      f.finish();
      continue;
    }
    // Only these can start a redirection: most words need not be tried.
    bool may_redirect =
        is_digit(c) || c == '<' || c == '>' || c == '&' || c == '{';
    if (may_redirect && try_redirect(cmd, index)) continue;
    if (is_meta(c)) {
      if (try_function_definition(cmd)) return;
      break;
    }
    if (cmd.argv.empty()) {
      std::size_t len = assignment_length();
      if (len > 0) {
        read_assignment(cmd, len);
        continue;
      }
      // a[1]=VALUE: one element changes, so the array is no longer known.
      std::size_t name = 0;
      len = element_assignment_length(name);
      if (len > 0) {
        Word value;
        value.text.assign(1, kUnknown);
        value.unknown = true;
        cmd.assignments.emplace_back(std::string(s_.substr(i_, name)),
                                     std::move(value));
        i_ += len;
        Fields scratch;  // read for the substitutions it runs
        read_word_parts(scratch, false, false, /*tilde=*/true);
        (void)scratch.finish();
        continue;
      }
    }
    Fields f(&cmd.argv);
    read_word_parts(f, false, true, /*tilde=*/true);
    f.finish();
  }
  cmd.calls = called_definition(cmd);
  apply_effects(cmd);
  if (cmd.argv.empty()) {
    for (auto& [name, value] : arrays_) {
      sh_.state.set_marked(name, std::move(value));
    }
  }
  arrays_.clear();
  if (!cmd.argv.empty() || !cmd.assignments.empty() || !cmd.redirects.empty()) {
    // Here-documents recorded against `index` must land on this command.
    if (sh_.out.commands.size() != index) {
      fix_pending(index, sh_.out.commands.size());
    }
    emit(std::move(cmd));
  }
}

// name () body at the cursor, after the command's one word: a function
// definition, whose body is read here. False when it is not one.
bool Reader::try_function_definition(const Command& cmd) {
  if (s_[i_] == '(' && cmd.argv.size() == 1 && cmd.assignments.empty()) {
    // name () body: a function definition.
    std::size_t j = i_ + 1;
    while (j < s_.size() && is_blank(s_[j])) ++j;
    if (j < s_.size() && s_[j] == ')') {
      i_ = j + 1;
      parse_function_body(cmd.argv[0].text);
      return true;
    }
  }
  return false;
}

// NAME=value or NAME+=value at the cursor (`len` as assignment_length
// gives it), added to `cmd`. An array's value and an appended one are
// unknown.
void Reader::read_assignment(Command& cmd, std::size_t len) {
  std::string name(s_.substr(i_, len - 1));
  bool append = name.back() == '+';
  if (append) name.pop_back();
  i_ += len;
  Word value;
  if (peek() == '(') {
    // To the checks an array's value is unknown; the shell state keeps
    // its elements for ${NAME[@]} and the like.
    std::optional<std::string> array = read_array();
    if (array && !append && sh_.associative.count(name) == 0) {
      arrays_.emplace_back(name, std::move(*array));
    }
    value.text.assign(1, kUnknown);
    value.unknown = true;
  } else {
    Fields f;
    read_word_parts(f, false, false, /*tilde=*/true);
    value = f.joined();
  }
  if (append) {
    value.text.insert(0, 1, kUnknown);
    value.unknown = true;
  }
  cmd.assignments.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> Reader::read_array() {
  ++i_;  // (
  std::vector<Word> elements;
  bool known = true;
  for (;;) {
    skip_newlines();
    if (at_end()) {
      if (!sh_.stopped) sh_.stop("a \"(\" is never closed");
      return std::nullopt;
    }
    char c = s_[i_];
    if (c == ')') {
      ++i_;
      break;
    }
    if (is_meta(c)) {
      sh_.stop(std::string("unexpected \"") + c + "\" in an array");
      return std::nullopt;
    }
    known = known && c != '[';  // [index]=value
    std::size_t before = i_;
    Fields f(&elements);
    read_word_parts(f, false, true, /*tilde=*/true);
    f.finish();
    if (i_ == before) {
      sh_.stop("an array Core can't read");
      return std::nullopt;
    }
  }
  std::string out(1, kArrayMark);
  for (std::size_t k = 0; k < elements.size(); ++k) {
    const Word& w = elements[k];
    if (!known || w.unknown || w.glob || w.process ||
        w.text.find('\0') != std::string::npos) {
      return std::nullopt;
    }
    out += w.text;
    out += '\0';
  }
  return out;
}

void Reader::fix_pending(std::size_t from, std::size_t to) {
  for (Pending& p : pending_) {
    if (p.command == from) p.command = to;
  }
}

}  // namespace twk::core::shell
