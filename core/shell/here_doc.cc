// The shell analyzer's here-documents: the delimiter read at the << operator,
// the body read after the next newline, and the expansion of an unquoted
// body, where only $, ` and \ act.
#include <cstdint>

#include "shell/reader.h"
#include "shell/text.h"

namespace twk::core::shell {

// The delimiter word after << or <<- at the cursor: noted as pending
// against redirection number cmd.redirects.size() of command `index`,
// for read_here_docs to fill in. Quoting any part of the delimiter leaves
// the body unexpanded. Nothing is noted for SIZE_MAX (a compound
// command's redirection), though the delimiter is still stepped over.
void Reader::note_here_doc(const Command& cmd, std::size_t index, bool strip) {
  std::size_t start = i_;
  while (i_ < s_.size() && !is_meta(s_[i_])) {
    if (s_[i_] == '\'' || s_[i_] == '"') {
      char q = s_[i_++];
      while (i_ < s_.size() && s_[i_] != q) ++i_;
      if (i_ < s_.size()) ++i_;
    } else if (s_[i_] == '\\' && i_ + 1 < s_.size()) {
      i_ += 2;
    } else {
      ++i_;
    }
  }
  std::string_view raw = s_.substr(start, i_ - start);
  Pending p;
  p.quoted = raw.find_first_of("'\"\\") != std::string_view::npos;
  for (std::size_t k = 0; k < raw.size(); ++k) {
    char c = raw[k];
    if (c == '\'' || c == '"') continue;
    if (c == '\\' && k + 1 < raw.size()) c = raw[++k];
    p.delimiter += c;
  }
  p.strip = strip;
  p.command = index;
  p.redirect = cmd.redirects.size();
  if (index != SIZE_MAX) pending_.push_back(std::move(p));
}

// The body of `p` from the cursor, up to the line that is its delimiter;
// the cursor is left after that line.
std::string Reader::read_here_doc_body(const Pending& p) {
  std::string body;
  bool closed = false;
  while (i_ < s_.size()) {
    std::size_t eol = s_.find('\n', i_);
    std::size_t end = eol == std::string_view::npos ? s_.size() : eol;
    std::string_view line = s_.substr(i_, end - i_);
    i_ = eol == std::string_view::npos ? s_.size() : eol + 1;
    if (p.strip) {
      while (!line.empty() && line[0] == '\t') line.remove_prefix(1);
    }
    if (line == p.delimiter) {
      closed = true;
      break;
    }
    body += line;
    body += '\n';
  }
  (void)closed;  // bash takes an unclosed body to the end, and so do we
  return body;
}

// Here-document bodies start on the line after their operator.
void Reader::read_here_docs() {
  if (pending_.empty()) return;
  std::vector<Pending> pending = std::move(pending_);
  pending_.clear();
  for (Pending& p : pending) {
    std::string body = read_here_doc_body(p);
    Word target;
    if (p.quoted) {
      target.text = std::move(body);
      target.quoted = true;
      target.unknown = target.text.find(kUnknown) != std::string::npos;
    } else {
      sh_.texts.push_back(std::move(body));
      Reader child(sh_, sh_.texts.back(), depth_, place_ | kInHereDoc, group_);
      if (!enter()) return;
      target = child.expand(Mode::kHereDoc, true);
      leave();
    }
    if (p.command < sh_.out.commands.size()) {
      Command& cmd = sh_.out.commands[p.command];
      if (p.redirect < cmd.redirects.size()) {
        cmd.redirects[p.redirect].target = std::move(target);
      }
    }
  }
}

// The whole text as the body of an unquoted here-document: \ quotes only
// $, ` and \ (and joins lines); $ and ` expand.
Word Reader::expand_here_doc() {
  Fields f;
  while (i_ < s_.size() && !sh_.stopped) {
    char c = s_[i_];
    if (c == '\\' && i_ + 1 < s_.size() &&
        (s_[i_ + 1] == '$' || s_[i_ + 1] == '`' || s_[i_ + 1] == '\\')) {
      f.literal(s_.substr(i_ + 1, 1), true);
      i_ += 2;
    } else if (c == '\\' && i_ + 1 < s_.size() && s_[i_ + 1] == '\n') {
      i_ += 2;
    } else if (c == '$') {
      read_dollar(f, true);
    } else if (c == '`') {
      read_backtick(f, true);
    } else {
      f.literal(s_.substr(i_, 1), true);
      ++i_;
    }
  }
  return f.joined();
}

}  // namespace twk::core::shell
