// The shell analyzer's redirections: the descriptor before the operator,
// the operator, and the target word (a here-document's body comes later,
// see here_doc.cc).
#include "shell/reader.h"
#include "shell/text.h"

namespace twk::core::shell {
namespace {

// The redirection operator at the start of `rest` (which starts with < or
// >): its kind, its length in `len`, and in `strip` whether it is <<-.
RedirectKind redirect_operator(std::string_view rest, std::size_t& len,
                               bool& strip) {
  struct Operator {
    std::string_view text;
    RedirectKind kind;
  };
  // Longest first, so that each is taken before its prefixes.
  static constexpr Operator kOperators[] = {
      {"<<<", RedirectKind::kHereString}, {"<<-", RedirectKind::kHereDoc},
      {"<<", RedirectKind::kHereDoc},     {"<>", RedirectKind::kReadWrite},
      {"<&", RedirectKind::kDuplicate},   {">&", RedirectKind::kDuplicate},
      {">>", RedirectKind::kAppend},      {">|", RedirectKind::kOutput},
      {"<", RedirectKind::kInput},
  };
  for (const Operator& op : kOperators) {
    if (rest.starts_with(op.text)) {
      len = op.text.size();
      strip = op.text == "<<-";
      return op.kind;
    }
  }
  len = 1;
  strip = false;
  return RedirectKind::kOutput;
}

}  // namespace

// What may come before a redirection operator at `j`: a descriptor
// number (kept in `fd`), & of &> and &>>, or {varname}. Moves `j` to the
// operator; false when the text there is no redirection after all.
bool Reader::redirect_prefix(std::size_t& j, int& fd) const {
  if (j < s_.size() && is_digit(s_[j])) {
    std::size_t k = j;
    int v = 0;
    while (k < s_.size() && is_digit(s_[k]) && k - j < 4) {
      v = v * 10 + (s_[k] - '0');
      ++k;
    }
    if (k < s_.size() && (s_[k] == '<' || s_[k] == '>')) {
      fd = v;
      j = k;
    } else {
      return false;
    }
  } else if (j + 1 < s_.size() && s_[j] == '&' && s_[j + 1] == '>') {
    ++j;  // &> and &>>: output and errors
  } else if (j < s_.size() && s_[j] == '{') {
    // {varname}>file
    std::size_t k = j + 1;
    while (k < s_.size() && is_name_char(s_[k])) ++k;
    if (k > j + 1 && k + 1 < s_.size() && s_[k] == '}' &&
        (s_[k + 1] == '<' || s_[k + 1] == '>')) {
      j = k + 1;
    } else {
      return false;
    }
  }
  return true;
}

// A redirection at the cursor, added to `cmd`; false when there is none.
// `index` is where `cmd` will be in the analysis (SIZE_MAX for the
// redirections of a compound command, which belong to no command).
bool Reader::try_redirect(Command& cmd, std::size_t index) {
  std::size_t j = i_;
  int fd = -1;
  if (!redirect_prefix(j, fd)) return false;
  if (j >= s_.size() || (s_[j] != '<' && s_[j] != '>')) return false;
  std::size_t len = 1;
  bool heredoc_strip = false;
  RedirectKind kind = redirect_operator(s_.substr(j), len, heredoc_strip);
  i_ = j + len;
  skip_blanks();
  if (at_end() || (is_meta(s_[i_]) &&
                   !((s_[i_] == '<' || s_[i_] == '>') && peek(1) == '('))) {
    sh_.problem("a redirection without a target");
    sh_.stopped = true;
    return true;
  }
  // >& WORD and <& WORD duplicate a descriptor when WORD is a number or
  // "-"; otherwise >& WORD sends output and errors to the file WORD, as
  // &> WORD does.
  if (kind == RedirectKind::kDuplicate && s_[j] == '>' && fd == -1) {
    std::size_t e = i_;
    while (e < s_.size() && is_digit(s_[e])) ++e;
    if (e == i_ && s_[i_] == '-') ++e;
    bool descriptor = e > i_ && (e >= s_.size() || is_meta(s_[e]));
    if (!descriptor) kind = RedirectKind::kOutput;
  }
  Redirect r;
  r.fd = fd;
  r.kind = kind;
  if (kind == RedirectKind::kHereDoc) {
    note_here_doc(cmd, index, heredoc_strip);
  } else if ((s_[i_] == '<' || s_[i_] == '>') && peek(1) == '(') {
    Fields f;
    read_process_substitution(f);
    r.target = f.joined();
  } else {
    Fields f;
    read_word_parts(f, false, false, /*tilde=*/true);
    r.target = f.joined();
    if (kind == RedirectKind::kHereString) r.target.text += '\n';
  }
  cmd.redirects.push_back(std::move(r));
  return true;
}

}  // namespace twk::core::shell
