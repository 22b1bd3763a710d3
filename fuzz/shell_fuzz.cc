// Fuzzes Core's reading of Bash commands, which the agent writes: the shell
// analyzer, the follower that unwraps wrappers and follows nested code, and
// the checks judged on what it finds. Besides the sanitizers it holds them
// to what their headers promise:
//
// - a word is marked unknown exactly when its text holds a kUnknown byte,
//   so no part that cannot be known passes for known text, and holds the
//   loop variables' pattern mark only when the input can spell it;
// - working directories are empty or normalised absolute paths, and so is
//   whatever resolve_path makes;
// - an analysis never holds more commands than its limit, and one that
//   stays within tighter limits without noting a problem is the same
//   analysis as with the defaults;
// - only a later pipeline stage has piped input;
// - every followed command but a bare redirection has a program word, and
//   points at the simple command it came from (or at none, when read out
//   of interpreter code);
// - findings land in their group (self-protection or the others), carry a
//   decision and a reason, checks do not move one another, and a layer's
//   settings pick which checks may report and with what decision.
//
//   shell_fuzz -dict=fuzz/shell.dict fuzz/corpus/shell
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "shell/checks.h"
#include "shell/commands.h"
#include "shell/shell.h"
#include "shell/state.h"

namespace {

using namespace twk::core;
using shell::kUnknown;
using shell::Word;

std::string_view g_input;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "shell_fuzz: %s", what);
  if (!detail.empty()) {
    std::fprintf(stderr, " [");
    for (char c : detail.substr(0, 200)) {
      auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u == 0x7f || c == '\\') {
        std::fprintf(stderr, "\\x%02x", u);
      } else {
        std::fputc(c, stderr);
      }
    }
    std::fprintf(stderr, "]");
  }
  std::fprintf(stderr, " for input of %zu bytes\n", g_input.size());
  __builtin_trap();
}

void check_word(const Word& w) {
  // The mark that keeps a loop variable's pattern in the shell's state
  // never reaches a word the input did not put in, itself or through an
  // escape ($'\x02', or a string of interpreter code).
  if (w.text.find(shell::kPatternMark) != std::string::npos &&
      g_input.find(shell::kPatternMark) == std::string_view::npos &&
      g_input.find('\\') == std::string_view::npos) {
    fail("a pattern mark leaked into a word", w.text);
  }
  bool marked = w.text.find(kUnknown) != std::string::npos;
  if (w.unknown && !marked) {
    fail("unknown word without a kUnknown byte", w.text);
  }
  if (!w.unknown && marked) fail("known word holding a kUnknown byte", w.text);
  if (w.unknown &&
      w.known_prefix() != w.text.substr(0, w.text.find(kUnknown))) {
    fail("known_prefix past the first unknown part", w.text);
  }
  for (int g : w.substitutions) {
    if (g <= 0) fail("substitution group at the top level", w.text);
  }
}

// Absolute, no empty, "." or ".." components, no trailing slash but "/".
bool normalised(std::string_view p) {
  if (p.empty() || p[0] != '/') return false;
  if (p == "/") return true;
  if (p.back() == '/') return false;
  std::size_t start = 1;
  while (start <= p.size()) {
    std::size_t end = p.find('/', start);
    if (end == std::string_view::npos) end = p.size();
    std::string_view part = p.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return false;
    start = end + 1;
  }
  return true;
}

void check_cwd(std::string_view cwd) {
  if (!cwd.empty() && !normalised(cwd)) fail("cwd not normalised", cwd);
}

// resolve_path gives a normalised absolute path, or nothing exactly when
// a relative path meets an unknown directory; its result is a fixed point.
void check_resolve(std::string_view cwd, std::string_view path) {
  std::string r = shell::resolve_path(cwd, path);
  bool unresolvable = cwd.empty() && !path.starts_with('/');
  if (r.empty() != unresolvable) {
    fail(unresolvable ? "resolve_path guessed a directory"
                      : "resolve_path lost a path",
         path);
  }
  if (r.empty()) return;
  if (!normalised(r)) fail("resolve_path not normalised", r);
  if (shell::resolve_path("/", r) != r) fail("resolve_path not idempotent", r);
}

void check_analysis(const shell::Analysis& a, const shell::Limits& limits) {
  if (a.commands.size() > limits.max_commands) {
    fail("more commands than allowed");
  }
  check_cwd(a.final_cwd);
  constexpr unsigned kAllPlaces = (1u << 8) - 1;
  for (std::size_t i = 0; i < a.commands.size(); ++i) {
    const shell::Command& c = a.commands[i];
    if ((c.place & ~kAllPlaces) != 0) fail("unknown place bits");
    if (c.group < 0 || c.pipeline < 0 || c.stage < 0) fail("negative position");
    check_cwd(c.cwd);
    for (const Word& w : c.argv) check_word(w);
    for (const auto& [name, value] : c.assignments) {
      if (name.empty() || (name[0] >= '0' && name[0] <= '9') ||
          !std::all_of(name.begin(), name.end(), [](char ch) {
            return ch == '_' || (ch >= 'a' && ch <= 'z') ||
                   (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
          })) {
        fail("assignment to an invalid name", name);
      }
      check_word(value);
    }
    for (const shell::Redirect& r : c.redirects) {
      if (r.fd < -1) fail("redirection of a negative descriptor");
      check_word(r.target);
    }
    bool first_stage = !(c.place & shell::kInPipeline) || c.stage == 0;
    if (first_stage && shell::piped_input(a, i)) {
      fail("piped input for a first stage");
    }
    (void)shell::known_output(a, i);
    for (const Word& w : c.argv) {
      if (!w.unknown) check_resolve(c.cwd, w.text);
    }
  }
  if (shell::piped_input(a, a.commands.size()) ||
      shell::known_output(a, a.commands.size())) {
    fail("output of a command past the end");
  }
}

// Two analyses of the same text agree on what they found.
bool same_commands(const shell::Analysis& x, const shell::Analysis& y) {
  if (x.commands.size() != y.commands.size()) return false;
  for (std::size_t i = 0; i < x.commands.size(); ++i) {
    const shell::Command& a = x.commands[i];
    const shell::Command& b = y.commands[i];
    if (a.argv.size() != b.argv.size() || a.cwd != b.cwd ||
        a.place != b.place || a.redirects.size() != b.redirects.size()) {
      return false;
    }
    for (std::size_t k = 0; k < a.argv.size(); ++k) {
      if (a.argv[k].text != b.argv[k].text ||
          a.argv[k].unknown != b.argv[k].unknown) {
        return false;
      }
    }
  }
  return x.final_cwd == y.final_cwd;
}

void check_shell(std::string_view text) {
  shell::Environment env;
  env.cwd = "/home/u/src/app";
  env.variables = {
      {"HOME", "/home/u"}, {"TMPDIR", "/tmp"}, {"0", "bash"}, {"1", "a b*"}};
  const shell::Limits defaults;
  shell::Analysis full = shell::analyze(text, env, defaults);
  check_analysis(full, defaults);
  // A quote that never closes is one the text holds, and the text noted
  // a problem for it.
  if (std::size_t q = full.unclosed_quote; q != std::string::npos) {
    if (q >= text.size() || (text[q] != '\'' && text[q] != '"' &&
                             text.substr(q, 2) != "$'")) {
      fail("an unclosed quote points at no quote");
    }
    if (full.problems.empty()) fail("an unclosed quote noted no problem");
  }

  // Limits small enough for the fuzzer to cross: within them, nothing
  // changes; past them, a problem says so.
  shell::Limits tight;
  tight.max_nesting = 3;
  tight.max_commands = 6;
  shell::Analysis small = shell::analyze(text, env, tight);
  check_analysis(small, tight);
  if (small.problems.empty()) {
    if (!full.problems.empty()) fail("tight limits missed a problem");
    if (!same_commands(full, small)) fail("tight limits changed the analysis");
  }

  // Without a known directory, nothing relative may be resolved.
  shell::Analysis lost = shell::analyze(text, {}, defaults);
  check_analysis(lost, defaults);

  for (const std::string& field : shell::split_fields(text)) {
    if (field.empty() || field.find_first_of(" \t\n") != std::string::npos) {
      fail("split_fields made a bad field", field);
    }
  }
  if (auto bytes = shell::decode_base64(text)) {
    if (bytes->size() > text.size() * 3 / 4 + 3) fail("base64 grew");
  }
}

const CheckFacts& facts() {
  static const CheckFacts f = [] {
    CheckFacts f;
    f.home = "/home/u";
    f.cwd = "/home/u/src/app";
    f.project = "/home/u/src/app";
    f.state_dir = "/home/u/.tarnwick";
    f.protected_files = {"/usr/bin/twk-hook", "/usr/bin/twk-backend"};
    return f;
  }();
  return f;
}

void check_follow(const CommandSet& set) {
  for (const RunCommand& rc : set.commands) {
    // Only redirections run without a program: alone (> file), or those
    // of a wrapper left with nothing to run (nice -n > file).
    if (rc.argv.empty() &&
        (rc.source == nullptr || rc.source->redirects.empty())) {
      fail("followed command without argv");
    }
    for (const Word& w : rc.argv) check_word(w);
    for (const Word& w : rc.placeholder_roots) check_word(w);
    check_cwd(rc.cwd);
    if (rc.from_code && rc.source != nullptr) {
      fail("command read out of code with a source");
    }
    if (rc.source != nullptr &&
        std::none_of(set.analyses.begin(), set.analyses.end(),
                     [&](const shell::Analysis& a) {
                       return !a.commands.empty() &&
                              rc.source >= a.commands.data() &&
                              rc.source < a.commands.data() + a.commands.size();
                     })) {
      fail("source outside the analyses");
    }
    if (rc.depth < 0) fail("negative depth");
  }
}

bool valid(Decision d) {
  return d == Decision::kAllow || d == Decision::kAsk || d == Decision::kDeny;
}

void check_finding(const std::optional<Finding>& f, bool guard) {
  if (!f) return;
  if (static_cast<std::size_t>(f->check) >= kCheckCount) fail("unknown check");
  if ((f->check == Check::kSelfProtection) != guard) {
    fail("finding in the wrong group", check_name(f->check));
  }
  if (!valid(f->decision)) fail("finding without a decision", f->reason);
  if (f->reason.empty()) fail("finding without a reason");
}

bool same(const std::optional<Finding>& a, const std::optional<Finding>& b) {
  if (!a || !b) return !a && !b;
  return a->check == b->check && a->decision == b->decision &&
         a->reason == b->reason;
}

void check_checks(std::string_view text) {
  BashAnalysis bash = analyze_bash(text, facts());
  check_follow(bash.commands);
  for (const std::string& line : describe_commands(bash)) (void)line;

  const nlohmann::json input = {{"command", std::string(text)},
                                {"description", "fuzz"}};
  const CheckSettings defaults;
  CheckResults all = run_checks("Bash", &input, &bash, facts(), defaults);
  check_finding(all.guard, true);
  check_finding(all.other, false);

  // Checks are independent: switching self-protection off leaves what the
  // others find as it was.
  CheckSettings unguarded;
  unguarded.decisions[static_cast<std::size_t>(Check::kSelfProtection)] =
      Decision::kNone;
  CheckResults open = run_checks("Bash", &input, &bash, facts(), unguarded);
  if (open.guard) fail("a check switched off still reported");
  if (!same(open.other, all.other)) fail("one check's setting moved another");

  // A project's layer: only the checks it names run, with its decisions,
  // and paths of its own (globs included).
  CheckSettings layer;
  layer.others_run = false;
  layer.decisions[static_cast<std::size_t>(Check::kRecursiveDelete)] =
      Decision::kDeny;
  layer.decisions[static_cast<std::size_t>(Check::kSecretFiles)] =
      Decision::kAsk;
  layer.decisions[static_cast<std::size_t>(Check::kDestructiveGit)] =
      Decision::kNone;
  layer.protected_paths = {"~/notes/**", "/srv/*/data"};
  layer.secret_paths = {"~/.config/app/token*", "/home/u/src/app/keys/**"};
  layer.deletable_paths = {"~/src/app/build/**", "/home/u/scratch"};
  CheckResults named = run_checks("Bash", &input, &bash, facts(), layer);
  check_finding(named.other, false);
  if (named.guard) fail("a check the layer does not name ran");
  if (named.other &&
      !(named.other->check == Check::kRecursiveDelete &&
        named.other->decision == Decision::kDeny) &&
      !(named.other->check == Check::kSecretFiles &&
        named.other->decision == Decision::kAsk)) {
    fail("a layer's settings not followed", named.other->reason);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  g_input = text;

  check_shell(text);

  // As follow() is called for any Bash tool call, with and without a known
  // home and directory.
  FollowFacts ff;
  ff.cwd = "/home/u/src/app";
  ff.home = "/home/u";
  check_follow(follow(text, ff));
  check_follow(follow(text, FollowFacts{}));

  check_checks(text);
  return 0;
}
