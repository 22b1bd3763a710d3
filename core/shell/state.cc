// The shell analyzer's state: the undo log of variables and the
// directory, and what commands do to them (assignments, export and its
// kin, cd, pushd and popd).
#include "shell/state.h"

#include "shell/reader.h"
#include "shell/text.h"

namespace twk::core::shell {

void ShellState::set_var(std::string_view name,
                         std::optional<std::string> value) {
  if (value && !value->empty() &&
      ((*value)[0] == kPatternMark || (*value)[0] == kArrayMark)) {
    value.reset();  // spelled by the text ($'\x03'): not ours to read
  }
  set_marked(name, std::move(value));
}

void ShellState::set_marked(std::string_view name,
                            std::optional<std::string> value) {
  auto it = vars_.find(name);
  Undo u;
  u.name = std::string(name);
  if (it != vars_.end()) {
    u.had = true;
    u.old_value = std::move(it->second);
    it->second = std::move(value);
  } else {
    vars_.emplace(std::string(name), std::move(value));
  }
  undo_.push_back(std::move(u));
}

void ShellState::forget_variables() {
  std::vector<std::string> names;
  for (const auto& [name, value] : vars_) {
    if (value && !name.starts_with(kFunctionMark)) names.push_back(name);
  }
  for (const std::string& name : names) set_var(name, std::nullopt);
}

void ShellState::set_cwd(Dir cwd) {
  Undo u;
  u.is_cwd = true;
  u.old_cwd = std::move(cwd_);
  undo_.push_back(std::move(u));
  cwd_ = std::move(cwd);
}

void ShellState::roll_back(std::size_t mark) {
  while (undo_.size() > mark) {
    Undo& u = undo_.back();
    if (u.is_cwd) {
      cwd_ = std::move(u.old_cwd);
    } else if (u.had) {
      vars_.find(u.name)->second = std::move(u.old_value);
    } else {
      vars_.erase(u.name);
    }
    undo_.pop_back();
  }
}

// What a command does to the shell that runs it: assignments without a
// command set variables; cd changes the directory; a call of a function
// does what its body does to the caller's shell.
void Reader::apply_effects(const Command& cmd) {
  if (!function_.empty() && sh_.replaying == 0 && changes_caller(cmd)) {
    sh_.function_effects[function_].push_back(cmd);
  }
  if (cmd.argv.empty()) {
    for (const auto& [name, value] : cmd.assignments) {
      if (value.unknown) {
        sh_.state.set_var(name, std::nullopt);
      } else if (value.glob && value.text.find('\0') == std::string::npos) {
        // y=$f after for f in .e*: still one of the pattern's matches.
        // (A glob written in an assignment is not expanded; taking it as
        // a pattern can only make more of it.)
        sh_.state.set_marked(name, kPatternMark + value.text);
      } else {
        sh_.state.set_var(name, value.text);
      }
    }
    return;
  }
  // Compared as string_views: their == looks at the sizes first.
  std::size_t at = 0;
  while (at + 1 < cmd.argv.size() && !cmd.argv[at].unknown &&
         (std::string_view(cmd.argv[at].text) == "builtin" ||
          std::string_view(cmd.argv[at].text) == "command")) {
    ++at;  // builtin cd, command cd
  }
  const Word& first = cmd.argv[at];
  if (first.unknown || first.text.empty()) return;
  if (at == 0 && !sh_.function_effects.empty()) {
    auto it = sh_.function_effects.find(first.text);
    // Only a function defined in this shell: one a subshell defined is
    // gone with it.
    if (it != sh_.function_effects.end() &&
        (sh_.state.var(kFunctionMark + first.text) != nullptr ||
         sh_.uncertain_functions.count(first.text) > 0)) {
      if (sh_.replaying >= 8) return;  // recursion: as deep as is useful
      ++sh_.replaying;
      // By index: a replayed call may define nothing, but keep the loop
      // safe should the map change under it.
      const std::vector<Command>& body = it->second;
      for (std::size_t k = 0; k < body.size(); ++k) {
        if (sh_.replay_budget == 0) {
          // Past the budget the directory is no longer known.
          sh_.state.set_cwd(std::string());
          break;
        }
        --sh_.replay_budget;
        apply_effects(body[k]);
      }
      --sh_.replaying;
      return;
    }
  }
  // Only export, declare, typeset, local, readonly, cd, pushd, popd,
  // read, mapfile, printf -v, eval and source change the shell; most
  // commands start with another letter.
  if (std::string_view("edtlrcpms.").find(first.text[0]) ==
      std::string_view::npos) {
    return;
  }
  std::string_view name = first.text;
  if (name == "export" || name == "declare" || name == "typeset" ||
      name == "local" || name == "readonly") {
    apply_declaration(cmd, at);
    return;
  }
  if (name == "eval" || name == "source" || name == ".") {
    // The code they run may assign any variable, and eval's may cd.
    sh_.state.forget_variables();
    if (name == "eval") sh_.state.set_cwd(std::string());
    return;
  }
  if (name == "mapfile" || name == "readarray" || name == "printf") {
    // mapfile [-opts] [NAME] (MAPFILE by default); printf -v NAME.
    std::size_t k = at + 1;
    bool named = false;
    for (; k < cmd.argv.size(); ++k) {
      std::string_view w = cmd.argv[k].text;
      if (name == "printf") {
        if (w == "-v" && k + 1 < cmd.argv.size()) {
          forget_name(cmd.argv[k + 1].text);
        } else if (w.starts_with("-v") && w.size() > 2) {
          forget_name(w.substr(2));
        }
        if (w.size() < 2 || w[0] != '-' || w == "--") break;
        continue;
      }
      if (w.size() > 1 && w[0] == '-') {
        if (w.size() == 2 && std::string_view("dnOsuCc").find(w[1]) !=
                                 std::string_view::npos) {
          ++k;  // an option's value
        }
        continue;
      }
      forget_name(w);
      named = true;
    }
    if (name != "printf" && !named) sh_.state.set_var("MAPFILE", std::nullopt);
    return;
  }
  if (name == "read") {
    apply_read(cmd, at);
  } else if (name == "cd" || name == "pushd") {
    apply_cd(cmd, at);
  } else if (name == "popd") {
    sh_.state.set_cwd(std::string());
  }
}

// True for a command of a function body that changes its caller's
// shell: cd, pushd, popd, export and assignments alone. local and declare
// do not outlive the call, so they are left out.
bool Reader::changes_caller(const Command& cmd) {
  // Not what runs in a copy of the shell within the body: a subshell, a
  // pipeline stage, a substitution or the background.
  constexpr unsigned kCopies =
      kInSubshell | kInPipeline | kInSubstitution | kInProcess | kBackground;
  if ((cmd.place & kCopies & ~function_place_) != 0) return false;
  if (cmd.argv.empty()) return !cmd.assignments.empty();
  std::string_view name = cmd.argv[0].text;
  return !cmd.argv[0].unknown &&
         (name == "cd" || name == "pushd" || name == "popd" ||
          name == "export" || sh_.function_effects.count(name) > 0);
}

void Reader::apply_read(const Command& cmd, std::size_t at) {
  std::size_t k = at + 1;
  bool named = false;
  for (; k < cmd.argv.size(); ++k) {
    std::string_view w = cmd.argv[k].text;
    if (w == "--") {
      ++k;
      break;
    }
    if (w.size() < 2 || w[0] != '-') break;
    // -a NAME, -d DELIM, -i TEXT, -n N, -N N, -p PROMPT, -t TIME, -u FD
    // take the rest of the word or the next one.
    std::size_t v = w.find_first_of("adinNptu", 1);
    if (v == std::string_view::npos) continue;
    std::string_view value = w.substr(v + 1);
    if (value.empty() && k + 1 < cmd.argv.size()) value = cmd.argv[++k].text;
    if (w[v] == 'a') {
      sh_.state.set_var(value, std::nullopt);
      named = true;
    }
  }
  for (; k < cmd.argv.size(); ++k) {
    sh_.state.set_var(cmd.argv[k].text, std::nullopt);
    named = true;
  }
  if (!named) sh_.state.set_var("REPLY", std::nullopt);
}

// export, declare, typeset, local and readonly at argv[at]: their
// NAME=value operands assign.
void Reader::forget_name(std::string_view name) {
  // NAME, or NAME[SUBSCRIPT]: the whole of NAME becomes unknown.
  name = name.substr(0, name.find('['));
  if (name.empty() || !is_name_start(name[0])) return;
  for (char c : name) {
    if (!is_name_char(c)) return;
  }
  sh_.state.set_var(name, std::nullopt);
}

void Reader::apply_declaration(const Command& cmd, std::size_t at) {
  // declare -A NAME: an associative array, whose ( ... ) holds keys and
  // values, which Core doesn't read.
  bool associative = false;
  for (std::size_t k = at + 1; k < cmd.argv.size(); ++k) {
    std::string_view w = cmd.argv[k].text;
    if (w.size() > 1 && w[0] == '-' && w.find('A') != std::string_view::npos) {
      associative = true;
    }
  }
  // export NAME=value and its kin assign like NAME=value does.
  for (std::size_t k = at + 1; k < cmd.argv.size(); ++k) {
    const Word& w = cmd.argv[k];
    if (associative && !w.text.starts_with('-')) {
      std::string_view n = std::string_view(w.text).substr(0, w.text.find('='));
      forget_name(n);
      sh_.associative.emplace(n.substr(0, n.find('[')));
      continue;
    }
    std::size_t eq = w.text.find('=');
    if (eq == std::string::npos || eq == 0 || w.text[0] == '-') continue;
    if (std::string_view(w.text).substr(0, eq).find('[') !=
        std::string_view::npos) {
      forget_name(std::string_view(w.text).substr(0, eq));  // NAME[I]=value
      continue;
    }
    std::string_view name = std::string_view(w.text).substr(0, eq);
    if (name.back() == '+') continue;
    bool valid = is_name_start(name[0]);
    for (char c : name) valid = valid && is_name_char(c);
    if (!valid) continue;
    if (w.unknown || w.glob) {
      sh_.state.set_var(name, std::nullopt);
    } else {
      sh_.state.set_var(name, w.text.substr(eq + 1));
    }
  }
}

// cd and pushd at argv[at]: the directory they change to, when it can be
// known (no operand: the home directory).
void Reader::apply_cd(const Command& cmd, std::size_t at) {
  const Word* target = nullptr;
  for (std::size_t k = at + 1; k < cmd.argv.size(); ++k) {
    std::string_view t = cmd.argv[k].text;
    if (t == "--") {
      if (k + 1 < cmd.argv.size()) target = &cmd.argv[k + 1];
      break;
    }
    if (t.size() > 1 && t[0] == '-') continue;
    target = &cmd.argv[k];
    break;
  }
  if (target == nullptr) {
    std::optional<std::string> home = lookup("HOME");
    sh_.state.set_cwd(home ? resolve_path("/", *home) : std::string());
  } else if (target->unknown || target->glob || target->text == "-") {
    sh_.state.set_cwd(std::string());
  } else {
    std::string cwd = resolve_path(sh_.state.cwd(), target->text);
    // A directory no system would accept is as good as unknown, and
    // keeps cd a; cd a; ... from growing every command's copy of it.
    if (cwd.size() > 4096) cwd.clear();
    sh_.state.set_cwd(std::move(cwd));
  }
}

}  // namespace twk::core::shell
