// The word builder: field splitting of expansion values and joining.
#include "shell/fields.h"

namespace twk::core::shell {

void Fields::value(const std::optional<std::string>& v, bool quoted,
                   bool split, std::string_view ifs) {
  if (!v) {
    unknown(quoted);
    return;
  }
  if (quoted || !split) {
    literal(*v, quoted);
    return;
  }
  // Field splitting: runs of IFS white space separate fields and vanish at
  // either end; every other IFS character ends a field, which may be
  // empty, taking the white space around it with it.
  auto white = [&](char c) {
    return (c == ' ' || c == '\t' || c == '\n') &&
           ifs.find(c) != std::string_view::npos;
  };
  for (char c : *v) {
    if (white(c)) {
      if (started_) {
        flush();
        ended_by_white_ = true;
      }
    } else if (ifs.find(c) != std::string_view::npos) {
      if (started_) {
        flush();
      } else if (!ended_by_white_) {
        started_ = true;  // an empty field
        flush();
      }
      ended_by_white_ = false;
    } else if (c == '*' || c == '?' || c == '[') {
      glob(c);
      ended_by_white_ = false;
    } else {
      cur_.text += c;
      started_ = true;
      if (c == kUnknown) cur_.unknown = true;
      ended_by_white_ = false;
    }
  }
}

Word Fields::joined() {
  std::vector<Word> all = finish();
  Word out;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (i > 0) out.text += ' ';
    out.text += all[i].text;
    out.unknown = out.unknown || all[i].unknown;
    out.glob = out.glob || all[i].glob;
    out.quoted = out.quoted || all[i].quoted;
    out.process = out.process || all[i].process;
    out.substitutions.insert(out.substitutions.end(),
                             all[i].substitutions.begin(),
                             all[i].substitutions.end());
  }
  return out;
}

void Fields::flush() {
  (sink_ != nullptr ? *sink_ : fields_).push_back(std::move(cur_));
  // What the move left behind, reset field by field: cheaper than a new
  // Word for every word read.
  cur_.text.clear();
  cur_.substitutions.clear();
  cur_.unknown = cur_.glob = cur_.quoted = cur_.process = cur_.outside =
      false;
  started_ = false;
}

}  // namespace twk::core::shell
