// The shell analyzer's entry point and its small pure helpers: field
// splitting, base64 and path resolution.
//
// The analyzer is a recursive-descent reader of Bash's grammar that
// expands words as it goes, with the state a shell would carry from one
// command to the next (variables, the working directory); see reader.h
// for how its parts are laid out.
//
// Every character is looked at a bounded number of times: nested text
// ($(...), ${...}, here-document bodies) is read by a child reader over the
// same bytes, which the parent then skips. Recursion is bounded by
// Limits::max_nesting.
#include "shell/shell.h"

#include <algorithm>
#include <cstdint>

#include "shell/reader.h"

namespace twk::core::shell {

std::string_view Word::known_prefix() const {
  std::string_view t = text;
  std::size_t cut = t.find(kUnknown);
  return cut == std::string_view::npos ? t : t.substr(0, cut);
}

// What expansions may add to the words of one analysis, in bytes: a
// fixed allowance and a multiple of the text.
constexpr std::size_t kExpandBase = 64 * 1024;
constexpr std::size_t kExpandPerByte = 8;
// What loop bodies may be read again, in bytes, likewise.
constexpr std::size_t kLoopBase = 16 * 1024;
constexpr std::size_t kLoopPerByte = 4;

Analysis analyze(std::string_view text, const Environment& env,
                 const Limits& limits) {
  Analysis out;
  // Most commands end at one of these: growing the vector one command at
  // a time would move every command several times.
  std::size_t ends = 1;
  for (char c : text) ends += c == '\n' || c == ';' || c == '|' || c == '&';
  out.commands.reserve(std::min(ends, limits.max_commands));
  Shared shared(env, limits, out);
  shared.top = text;
  shared.state.set_cwd(Dir(env.cwd));
  shared.expand_budget = kExpandBase + kExpandPerByte * text.size();
  shared.loop_budget = kLoopBase + kLoopPerByte * text.size();
  Reader reader(shared, text, 0, 0, 0);
  reader.run();
  out.final_cwd = shared.state.cwd().str();
  return out;
}

std::vector<std::string> split_fields(std::string_view text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n') {
      if (!cur.empty()) out.push_back(std::move(cur));
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) out.push_back(std::move(cur));
  return out;
}

std::optional<std::string> decode_base64(std::string_view text) {
  std::string out;
  std::uint32_t acc = 0;
  int bits = 0;
  bool padding = false;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+' || c == '-') {
      v = 62;
    } else if (c == '/' || c == '_') {
      v = 63;
    } else if (c == '=') {
      padding = true;
      continue;
    } else if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
      continue;
    } else {
      return std::nullopt;
    }
    if (padding) return std::nullopt;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string resolve_path(std::string_view cwd, std::string_view path) {
  const bool relative = !path.starts_with('/');
  if (relative && !cwd.starts_with('/')) return {};
  // One pass over cwd (for a relative path) and then the path, component
  // by component, straight into the result: ".." takes the last component
  // off what is there so far, so it may climb into cwd as the joined path
  // would.
  std::string out;
  out.reserve((relative ? cwd.size() + 1 : 0) + path.size());
  auto add = [&out](std::string_view text) {
    std::size_t at = 0;
    while (at < text.size()) {
      std::size_t slash = text.find('/', at);
      if (slash == std::string_view::npos) slash = text.size();
      std::string_view part = text.substr(at, slash - at);
      at = slash + 1;
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        std::size_t cut = out.rfind('/');
        if (cut != std::string::npos) out.resize(cut);
        continue;
      }
      out += '/';
      out += part;
    }
  };
  if (relative) add(cwd);
  add(path);
  if (out.empty()) out = "/";
  return out;
}

}  // namespace twk::core::shell
