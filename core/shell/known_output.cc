// What a command prints, when the analyzer can know it without running
// anything: echo, printf, cat of a here-document, here-string or the
// stage before, and base64 -d of any of these. Substitutions and pipes use
// it to follow text such as `echo cm0gLXJmIC8= | base64 -d | sh`.
#include "shell/shell.h"
#include "shell/text.h"

namespace twk::core::shell {
namespace {

// Appends `text` to `out` with its backslash escapes decoded, as echo -e
// and printf's %b do.
void append_unescaped(std::string_view text, std::string& out) {
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\\') {
      ++i;
      decode_escape(text, i, out, false);
    } else {
      out += text[i++];
    }
  }
}

// printf's format applied to `args`, as far as this analyzer follows it:
// %s, %b, %c, %d and %i, %%, and backslash escapes.
std::optional<std::string> format_printf(const std::vector<Word>& argv,
                                         std::size_t first) {
  if (first >= argv.size()) return std::nullopt;
  const std::string& format = argv[first].text;
  std::size_t arg = first + 1;
  std::string out;
  for (int round = 0; round < 64; ++round) {
    bool used = false;
    for (std::size_t i = 0; i < format.size();) {
      char c = format[i];
      if (c == '\\') {
        ++i;
        decode_escape(format, i, out, false);
        continue;
      }
      if (c != '%') {
        out += c;
        ++i;
        continue;
      }
      ++i;
      while (i < format.size() &&
             std::string_view("-+ #0123456789.").find(format[i]) !=
                 std::string_view::npos) {
        ++i;
      }
      if (i >= format.size()) break;
      char conv = format[i++];
      if (conv == '%') {
        out += '%';
        continue;
      }
      std::string value = arg < argv.size() ? argv[arg].text : std::string();
      if (arg < argv.size()) {
        ++arg;
        used = true;
      }
      if (conv == 's' || conv == 'd' || conv == 'i' || conv == 'q') {
        out += value;
      } else if (conv == 'b') {
        append_unescaped(value, out);
      } else if (conv == 'c') {
        if (!value.empty()) out += value[0];
      } else {
        return std::nullopt;
      }
    }
    if (!used || arg >= argv.size()) break;
  }
  return out;
}

// Standard input as a here-document or here-string gives it: the last
// such redirection wins, and a later < file drops it. False when that
// text is not known.
bool here_input(const Command& cmd, std::optional<std::string>& input) {
  for (const Redirect& r : cmd.redirects) {
    if (r.kind == RedirectKind::kHereDoc ||
        r.kind == RedirectKind::kHereString) {
      if (r.target.unknown) return false;
      input = r.target.text;
    } else if (r.kind == RedirectKind::kInput) {
      input.reset();
    }
  }
  return true;
}

// What echo prints with the words `argv` (-n, -e and -E understood).
std::string echo_output(const std::vector<Word>& argv) {
  std::size_t k = 1;
  bool newline = true, escapes = false;
  while (k < argv.size()) {
    const std::string& a = argv[k].text;
    if (a.size() < 2 || a[0] != '-' ||
        a.find_first_not_of("neE", 1) != std::string::npos) {
      break;
    }
    for (char c : a.substr(1)) {
      if (c == 'n') newline = false;
      if (c == 'e') escapes = true;
      if (c == 'E') escapes = false;
    }
    ++k;
  }
  std::string out;
  for (std::size_t j = k; j < argv.size(); ++j) {
    if (j > k) out += ' ';
    if (escapes) {
      append_unescaped(argv[j].text, out);
    } else {
      out += argv[j].text;
    }
  }
  if (newline) out += '\n';
  return out;
}

// What base64 -d of command `index` prints: it decodes `input` (from a
// here-document or here-string) or else the stage before. Nothing when
// it encodes, reads a file or has options this does not follow.
std::optional<std::string> base64_output(const Analysis& analysis,
                                         std::size_t index,
                                         std::optional<std::string> input) {
  const Command& cmd = analysis.commands[index];
  bool decode = false;
  for (std::size_t k = 1; k < cmd.argv.size(); ++k) {
    const std::string& a = cmd.argv[k].text;
    if (a == "-d" || a == "--decode" || a == "-D" || a == "-di" || a == "-id") {
      decode = true;
    } else if (a == "-i" || a == "--ignore-garbage" || a == "-w0") {
    } else {
      return std::nullopt;  // a file, or options not followed
    }
  }
  if (!decode) return std::nullopt;
  if (!input) input = piped_input(analysis, index);
  if (!input) return std::nullopt;
  return decode_base64(*input);
}

}  // namespace

std::optional<std::string> known_output(const Analysis& analysis,
                                        std::size_t index) {
  if (index >= analysis.commands.size()) return std::nullopt;
  const Command& cmd = analysis.commands[index];
  if (cmd.argv.empty()) return std::nullopt;
  for (const Word& w : cmd.argv) {
    if (w.unknown || w.glob) return std::nullopt;
  }
  // Standard input as a here-document or here-string gives.
  std::optional<std::string> input;
  if (!here_input(cmd, input)) return std::nullopt;
  const std::string& name = cmd.argv[0].text;
  if (name == "echo") return echo_output(cmd.argv);
  if (name == "printf") {
    std::size_t k = 1;
    if (k < cmd.argv.size() && cmd.argv[k].text == "--") ++k;
    return format_printf(cmd.argv, k);
  }
  if (name == "cat" && (cmd.argv.size() == 1 ||
                        (cmd.argv.size() == 2 && cmd.argv[1].text == "-"))) {
    if (input) return input;
    return piped_input(analysis, index);
  }
  if (name == "base64") return base64_output(analysis, index, input);
  return std::nullopt;
}

std::optional<std::string> piped_input(const Analysis& analysis,
                                       std::size_t index) {
  if (index >= analysis.commands.size()) return std::nullopt;
  const Command& cmd = analysis.commands[index];
  if (!(cmd.place & kInPipeline) || cmd.stage == 0) return std::nullopt;
  // The stage before is close behind: only its substitutions lie between.
  std::optional<std::size_t> before;
  for (std::size_t k = index, steps = 0; k-- > 0 && steps < 256; ++steps) {
    const Command& c = analysis.commands[k];
    if (c.pipeline != cmd.pipeline || c.group != cmd.group) continue;
    if (c.stage == cmd.stage - 1) {
      if (before) return std::nullopt;  // a compound stage: not followed
      before = k;
    } else if (c.stage < cmd.stage - 1) {
      break;
    }
  }
  if (!before) return std::nullopt;
  return known_output(analysis, *before);
}

}  // namespace twk::core::shell
