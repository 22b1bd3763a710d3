// Core binary choice and the expected executable.
#include "start/binary.h"

#include <string_view>
#include <vector>

#include "start/records.h"
#include "twk/sys/files.h"
#include "twk/utf8.h"

namespace twk::start {
namespace {

// A "#!" line is read with one read of at most this many bytes, as the
// kernel itself reads only the start of a script.
constexpr std::size_t kShebangRead = 512;

constexpr char kBackendName[] = "twk-backend";

// The interpreter named by a script's "#!" text, or nothing.
std::optional<std::string> interpreter(std::string_view text,
                                       const std::optional<std::string>& path_env) {
  if (text.empty() || !utf8::valid(text)) return std::nullopt;
  std::string_view line = text.substr(0, text.find('\n'));
  if (line.size() < text.size() && !line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  std::vector<std::string_view> words = utf8::split_white_space(line);
  if (words.empty()) return std::nullopt;

  std::string first(words[0]);
  if (sys::file_name(first) != "env") return sys::canonical(first);

  // "#!/usr/bin/env [-options] program": options are skipped, and the first
  // other word is the program, looked up along PATH.
  std::string program;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (words[i].substr(0, 1) != "-") {
      program = std::string(words[i]);
      break;
    }
  }
  if (program.empty() || !path_env) return std::nullopt;
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = path_env->find(':', begin);
    std::string entry = path_env->substr(
        begin, end == std::string::npos ? std::string::npos : end - begin);
    std::string candidate = sys::join_path(entry, program);
    if (sys::is_regular_file(candidate)) return sys::canonical(candidate);
    if (end == std::string::npos) return std::nullopt;
    begin = end + 1;
  }
}

}  // namespace

Result<std::string> find_core_binary(const HookConfig& config) {
  if (config.core_binary) return *config.core_binary;
  if (config.exe_dir) {
    std::string beside = sys::join_path(*config.exe_dir, kBackendName);
    if (sys::is_regular_file(beside)) return beside;
  }
  if (std::optional<std::string> installed = runtime_binary(config.state_dir)) {
    return *installed;
  }
  return Failure{"no Core binary was found"};
}

Result<std::string> expected_executable(
    const std::string& binary, const std::optional<std::string>& path_env) {
  Failure missing{"no Core binary at " + sys::display_path(binary)};
  sys::ReadOnce head = sys::read_once(binary, kShebangRead);
  if (head.error != 0) return missing;
  std::optional<std::string> resolved;
  if (head.bytes.size() < 2 || head.bytes.compare(0, 2, "#!") != 0) {
    resolved = sys::canonical(binary);
  } else {
    resolved =
        interpreter(std::string_view(head.bytes).substr(2), path_env);
  }
  if (!resolved) return missing;
  return *resolved;
}

}  // namespace twk::start
