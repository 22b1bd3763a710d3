// What the built-in checks share: path relations, resolving words,
// reasons' text and options.
#include "shell/check_util.h"

#include <fnmatch.h>

#include <algorithm>
#include <utility>

#include "shell/text.h"
#include "twk/text.h"

namespace twk::core::checks {

bool has(std::initializer_list<std::string_view> list, std::string_view s) {
  return shell::one_of(list, s);
}

bool any_word(const std::vector<Word>& argv,
              std::initializer_list<std::string_view> list, std::size_t from) {
  for (std::size_t k = from; k < argv.size(); ++k) {
    if (has(list, argv[k].text)) return true;
  }
  return false;
}

std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t start = text.find_first_not_of(" \n", at);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find_first_of(" \n", start);
    if (end == std::string_view::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    at = end;
  }
  return out;
}

WordSet::WordSet(std::initializer_list<std::string_view> lists) {
  for (std::string_view list : lists) {
    for (std::string_view w : words_of(list)) {
      set_.insert(w);
      if (w.size() < 64) lengths_ |= std::uint64_t{1} << w.size();
      auto c = static_cast<unsigned char>(w[0]);
      firsts_[c >> 6] |= std::uint64_t{1} << (c & 63);
    }
  }
}

std::string lower(std::string_view s) { return text::ascii_lowercase(s); }

// Path relations, on normalised absolute paths.
bool within(std::string_view path, std::string_view dir) {
  if (dir.empty() || path.empty()) return false;
  if (dir == "/") return path.starts_with('/');
  return path == dir || (path.starts_with(dir) && path.size() > dir.size() &&
                         path[dir.size()] == '/');
}

bool below(std::string_view path, std::string_view dir) {
  return path != dir && within(path, dir);
}

std::string basename_of(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path
                                                     : path.substr(slash + 1));
}

std::string display(const Word& w) {
  std::string out;
  for (char c : w.text) {
    if (c == shell::kUnknown) {
      out += "…";
    } else {
      out += c;
    }
  }
  return out;
}

std::string command_text(const RunCommand& rc, std::size_t max_words) {
  std::string out;
  for (std::size_t k = 0; k < rc.argv.size() && k < max_words; ++k) {
    if (k > 0) out += ' ';
    out += display(rc.argv[k]);
  }
  if (rc.argv.size() > max_words) out += " …";
  if (out.size() > 160) out = out.substr(0, 157) + "…";
  return out;
}

std::string code_span(std::string_view s) { return text::enclosed(s, '`'); }

// Where a command was reached from, for reasons: " (through bash -c)".
std::string through(const RunCommand& rc) {
  if (rc.via.empty()) return {};
  return " (through " + rc.via + ")";
}

std::string said(const RunCommand& rc, std::size_t max_words) {
  return code_span(command_text(rc, max_words)) + through(rc);
}

Target resolve(const Word& w, const std::string& cwd, const CheckFacts& f) {
  Target t;
  std::string expanded;
  std::string_view text = w.text;
  if ((text == "~" || text.starts_with("~/")) && !f.home.empty()) {
    expanded = f.home;
    expanded += text.substr(1);
    text = expanded;
  }
  bool open = w.unknown || w.glob;
  if (!open) {
    t.path = shell::resolve_path(cwd, text);
    t.kind = t.path.empty() ? Target::kUnknown : Target::kExact;
    return t;
  }
  std::size_t cut = text.find(shell::kUnknown);
  if (w.glob) cut = std::min(cut, text.find_first_of(kGlobChars));
  if (cut == std::string_view::npos) cut = text.size();
  if (cut == 0 && !text.empty() && text[0] == shell::kUnknown) {
    return t;  // wholly unknown
  }
  std::string_view rest = std::string_view(text).substr(cut);
  // A ".." after the open part (/tmp/$X/.., /tmp/{a,../etc}) may lead
  // anywhere.
  if (rest.find("..") != std::string_view::npos) return t;
  std::string_view prefix = std::string_view(text).substr(0, cut);
  std::size_t slash = prefix.rfind('/');
  std::string dir = slash == std::string_view::npos
                        ? std::string()
                        : std::string(prefix.substr(0, slash + 1));
  // Open from the first character of a name (*, .*): it can be any entry,
  // .git included.
  std::string_view name =
      slash == std::string_view::npos ? prefix : prefix.substr(slash + 1);
  t.wild_top = name.empty() || name == ".";
  // ./*/build: only entries of that one name, a level or more down, go.
  if (std::size_t last = rest.rfind('/'); last != std::string_view::npos) {
    std::string_view leaf = rest.substr(last + 1);
    if (!leaf.empty() && leaf != "." &&
        leaf.find_first_of(kGlobChars) == std::string_view::npos &&
        leaf.find(shell::kUnknown) == std::string_view::npos) {
      t.wild_top = false;
    }
  }
  t.path = dir.empty() ? (cwd.empty() ? std::string() : cwd)
                       : shell::resolve_path(cwd, dir);
  t.kind = t.path.empty() ? Target::kUnknown : Target::kBelow;
  return t;
}

std::string pattern_instance(std::string_view pattern, std::string_view fill) {
  std::string name;
  for (std::size_t k = 0; k < pattern.size(); ++k) {
    if (pattern[k] == '*' || pattern[k] == '?') {
      name += fill;
    } else if (pattern[k] == '[') {
      std::size_t end = pattern.find(']', k + 1);
      if (end == std::string_view::npos || end == k + 1) return {};
      bool negated = pattern[k + 1] == '!' || pattern[k + 1] == '^';
      name += negated ? 'x' : pattern[k + 1];
      k = end;
    } else {
      name += pattern[k];
    }
  }
  return name;
}

bool matches_pattern(std::string_view path, const std::string& pattern,
                     const CheckFacts& f) {
  std::string p = expand_home(pattern, f.home);
  while (p.ends_with("/**")) p.resize(p.size() - 3);
  if (p.empty()) return false;
  if (p.find_first_of("*?[") == std::string::npos) {
    return within(path, shell::resolve_path("/", p));
  }
  std::string s(path);
  if (fnmatch(p.c_str(), s.c_str(), 0) == 0) return true;
  // A pattern also covers what is below what it matches.
  for (std::size_t k = s.size(); k-- > 1;) {
    if (s[k] == '/' && fnmatch(p.c_str(), s.substr(0, k).c_str(), 0) == 0) {
      return true;
    }
  }
  return false;
}

bool matches_any(std::string_view path, const std::vector<std::string>& list,
                 const CheckFacts& f) {
  for (const std::string& p : list) {
    if (matches_pattern(path, p, f)) return true;
  }
  return false;
}

bool in_temp(std::string_view path, const CheckFacts& f, bool strictly) {
  for (std::string_view t : kTempDirs) {
    if (strictly ? below(path, t) : within(path, t)) return true;
  }
  // TMPDIR is absolute and normalised where the facts are gathered.
  if (!f.tmpdir.empty() && f.tmpdir != "/") {
    return strictly ? below(path, f.tmpdir) : within(path, f.tmpdir);
  }
  return false;
}

bool in_system(std::string_view path) {
  if (path == "/") return true;
  for (std::string_view d : kSystemDirs) {
    if (within(path, d)) return true;
  }
  return false;
}

// `with_value`: short options whose value is the next word.
Options options_of(const std::vector<Word>& argv, std::size_t from,
                   std::string_view with_value,
                   std::initializer_list<std::string_view> long_with_value) {
  Options o;
  if (from < argv.size()) o.operands.reserve(argv.size() - from);
  bool ended = false;
  for (std::size_t k = from; k < argv.size(); ++k) {
    std::string_view t = argv[k].text;
    if (ended || argv[k].unknown || t.size() < 2 || t[0] != '-') {
      o.operands.push_back(k);
      continue;
    }
    if (t == "--") {
      ended = true;
      continue;
    }
    if (t[1] == '-') {
      std::size_t eq = t.find('=');
      std::string_view name = t.substr(0, eq);
      o.longs.emplace_back(name);
      if (eq == std::string::npos && has(long_with_value, name)) ++k;
      continue;
    }
    for (std::size_t c = 1; c < t.size(); ++c) {
      o.shorts += t[c];
      if (with_value.find(t[c]) != std::string_view::npos) {
        if (c + 1 == t.size()) ++k;
        break;
      }
    }
  }
  return o;
}

int ParsedOptions::state(std::string_view name) const {
  int s = -1;
  for (const Given& g : given) {
    if (g.spec->name == name) s = g.off ? 0 : 1;
  }
  return s;
}

bool ParsedOptions::has(char letter) const {
  for (const Given& g : given) {
    if (g.spec->letter == letter) return true;
  }
  return false;
}

namespace {

// What long option `name` (its text without "--" and "=value") names in
// `specs`, and whether as --no-NAME: the option of that exact name, else
// the one option it is a prefix of. --n, --no and --no- are prefixes of
// every negation. Null when none, or several.
std::pair<const OptionSpec*, bool> long_option(
    std::string_view name, std::span<const OptionSpec> specs) {
  const OptionSpec* found = nullptr;
  bool found_off = false;
  int prefixes = 0;
  bool negated = name.starts_with("no-");
  std::string_view rest = negated ? name.substr(3) : std::string_view();
  for (const OptionSpec& s : specs) {
    if (s.name.empty()) continue;
    if (s.name == name) return {&s, false};
    if (negated && s.negatable && s.name == rest) return {&s, true};
    bool on = s.name.starts_with(name);
    bool off = !on && s.negatable &&
               (std::string_view("no-").starts_with(name) ||
                (negated && s.name.starts_with(rest)));
    if (!on && !off) continue;
    ++prefixes;
    found = &s;
    found_off = off;
  }
  if (prefixes != 1) return {nullptr, false};
  return {found, found_off};
}

}  // namespace

ParsedOptions parse_options(const std::vector<Word>& argv, std::size_t from,
                            std::span<const OptionSpec> specs) {
  ParsedOptions o;
  bool ended = false;
  for (std::size_t k = from; k < argv.size() && !o.help; ++k) {
    std::string_view t = argv[k].text;
    bool is_long = t.starts_with("--");
    // An unknown part makes a word an operand, unless it is only in a long
    // option's value (--source=$REV).
    bool open =
        argv[k].unknown && (!is_long || t.find(shell::kUnknown) < t.find('='));
    if (ended || open || t.size() < 2 || t[0] != '-') {
      o.operands.push_back(k);
      continue;
    }
    if (t == "--") {
      ended = true;
      o.before_dashdash = o.operands.size();
      continue;
    }
    if (is_long) {
      std::string_view body = t.substr(2);
      std::size_t eq = body.find('=');
      std::string_view name = body.substr(0, eq);
      bool bare = eq == std::string_view::npos;
      if (bare && (name == "help" || name == "help-all")) {
        o.help = true;
        continue;
      }
      auto [spec, off] = long_option(name, specs);
      if (spec == nullptr) {
        // No subcommand takes --version: git refuses it with its usage.
        o.help = bare && name == "version";
        continue;
      }
      o.given.push_back({spec, off});
      // A value: after "=", or the next word when one is required.
      if (!off && bare && spec->arg == OptionSpec::kRequired &&
          k + 1 < argv.size()) {
        ++k;
      }
      continue;
    }
    for (std::size_t c = 1; c < t.size(); ++c) {
      const OptionSpec* spec = nullptr;
      for (const OptionSpec& s : specs) {
        if (s.letter == t[c]) spec = &s;
      }
      if (spec == nullptr) {
        // -h is git's own wherever no option of that letter is defined.
        if (t[c] == 'h') {
          o.help = true;
          break;
        }
        continue;
      }
      o.given.push_back({spec, false});
      if (spec->arg == OptionSpec::kNone) continue;
      // The rest of the cluster is the value; a required one may be the
      // next word instead.
      if (c + 1 == t.size() && spec->arg == OptionSpec::kRequired &&
          k + 1 < argv.size()) {
        ++k;
      }
      break;
    }
  }
  if (!ended) o.before_dashdash = o.operands.size();
  return o;
}

}  // namespace twk::core::checks
