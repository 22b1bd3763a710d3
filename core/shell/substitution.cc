// The shell analyzer's substitutions: $(...), `...`, <(...) and >(...)
// are read in place as commands of their own group, and their output is
// used when it can be known. Also the balanced parentheses of arithmetic
// and arrays, whose substitutions still run.
#include "shell/reader.h"

namespace twk::core::shell {

// Steps over a balanced ( ... ) whose value is of no interest (an
// arithmetic expression, an array); substitutions inside it still run
// and are read as commands.
void Reader::skip_balanced_parens() {
  int level = 0;
  while (i_ < s_.size() && !sh_.stopped) {
    char c = s_[i_];
    if (c == '\\') {
      i_ += 2;
      continue;
    }
    if ((c == '$' && peek(1) == '(' && peek(2) != '(') || c == '`') {
      Fields scratch;
      if (c == '$') {
        read_dollar(scratch, true);
      } else {
        read_backtick(scratch, true);
      }
      continue;
    }
    if (c == '\'' || c == '"') {
      Fields scratch;
      read_word_parts(scratch, false, false);
      continue;
    }
    ++i_;
    if (c == '(') {
      ++level;
    } else if (c == ')' && --level == 0) {
      return;
    }
  }
  sh_.problem("a \"(\" is never closed");
  sh_.stopped = true;
}

void Reader::read_backtick(Fields& f, bool quoted) {
  // The text up to the closing backtick, with \\, \` and \$ unescaped.
  std::string inner;
  std::size_t j = i_ + 1;
  bool closed = false;
  while (j < s_.size()) {
    char c = s_[j];
    if (c == '\\' && j + 1 < s_.size() &&
        (s_[j + 1] == '\\' || s_[j + 1] == '`' || s_[j + 1] == '$')) {
      inner += s_[j + 1];
      j += 2;
      continue;
    }
    if (c == '`') {
      closed = true;
      break;
    }
    inner += c;
    ++j;
  }
  i_ = closed ? j + 1 : s_.size();
  if (!closed) {
    sh_.problem("a backtick is never closed");
    sh_.stopped = true;
  }
  sh_.texts.push_back(std::move(inner));
  std::string_view text = sh_.texts.back();
  if (!enter()) return;
  int group = sh_.next_group++;
  std::size_t saved = sh_.state.mark();
  Reader child(sh_, text, depth_, place_ | kInSubstitution, group);
  std::size_t first = sh_.out.commands.size();
  child.run();
  sh_.state.roll_back(saved);
  leave();
  f.substitution(group);
  std::optional<std::string> value = group_output(first, group);
  if (value) {
    while (!value->empty() && value->back() == '\n') value->pop_back();
  }
  f.value(value, quoted, true);
}

void Reader::read_process_substitution(Fields& f) {
  i_ += 2;
  int group = 0;
  (void)substitution(kInProcess, Stop::kParen, group);
  if (group > 0) f.substitution(group);
  f.unknown(false);
  f.mark_process();
}

// Reads the commands of $( ... ) or <( ... ) in place, up to the closing
// parenthesis; their known output, if any.
std::optional<std::string> Reader::substitution(unsigned place, Stop stop,
                                                int& group) {
  if (!enter()) return std::nullopt;
  group = sh_.next_group++;
  std::size_t saved = sh_.state.mark();
  unsigned saved_place = place_;
  int saved_group = group_;
  int saved_pipeline = pipeline_, saved_stage = stage_;
  std::vector<Pending> saved_pending = std::move(pending_);
  pending_.clear();
  Mode saved_mode = mode_;
  mode_ = Mode::kShell;  // also inside a here-document or ${X:-...}
  place_ |= place;
  group_ = group;
  std::size_t first = sh_.out.commands.size();
  parse_list(stop);
  place_ = saved_place;
  group_ = saved_group;
  pipeline_ = saved_pipeline;
  stage_ = saved_stage;
  pending_ = std::move(saved_pending);
  mode_ = saved_mode;
  if (!close_nested(saved, "$(")) return std::nullopt;
  return group_output(first, group);
}

// The output of a substitution group that is one known pipeline.
std::optional<std::string> Reader::group_output(std::size_t first, int group) {
  const auto& cmds = sh_.out.commands;
  std::optional<std::size_t> last;
  int pipeline = -1;
  for (std::size_t k = first; k < cmds.size(); ++k) {
    if (cmds[k].group != group) continue;
    if (pipeline == -1) pipeline = cmds[k].pipeline;
    if (cmds[k].pipeline != pipeline) return std::nullopt;
    last = k;
  }
  if (!last) return std::string();
  return known_output(sh_.out, *last);
}

}  // namespace twk::core::shell
