// Endpoint and runtime records.
#include "start/records.h"

#include "twk/json.h"
#include "twk/sys/files.h"
#include "twk/sys/process.h"

namespace twk::start {
namespace {

constexpr char kRuntimeRecordName[] = "endpoint.json.runtime.json";
constexpr char kCoreDirName[] = "core";
// A record is a few hundred bytes. Anything far larger is no record: reading
// and parsing it is not bounded by the run's deadline, so its size must be.
constexpr std::size_t kMaxRecordSize = 1 << 20;

}  // namespace

std::optional<Endpoint> read_endpoint(const std::string& path) {
  // The record decides where the event and the token go. One that another
  // user wrote or could rewrite (a shared TWK_ENDPOINT_FILE, a writable
  // directory) could send them to that user's listener.
  std::optional<std::string> text = sys::read_own_file(path, kMaxRecordSize);
  if (!text) return std::nullopt;
  return parse_endpoint_record(*text);
}

std::optional<Endpoint> live_endpoint(const std::string& endpoint_file,
                                      const std::string& expected_executable) {
  std::optional<Endpoint> endpoint = read_endpoint(endpoint_file);
  if (!endpoint || !endpoint->pid) return std::nullopt;
  // A Core of another user runs under that user's policy and log, not
  // this one's; only our own process counts, whatever it runs.
  std::optional<std::string> image = sys::own_process_executable(*endpoint->pid);
  if (!image) return std::nullopt;
  std::optional<std::string> resolved = sys::canonical(*image);
  if (!resolved || !sys::same_path(*resolved, expected_executable)) {
    return std::nullopt;
  }
  return endpoint;
}

std::optional<std::string> parse_runtime_record(std::string_view text) {
  Result<json::Value> record = json::parse(text);
  if (!record || !record->is_object()) return std::nullopt;
  auto binary = record->find("binaryPath");
  if (binary == record->end() || !binary->is_string()) return std::nullopt;
  return binary->get<std::string>();
}

std::optional<std::string> runtime_binary(const std::string& state_dir) {
  std::optional<std::string> text =
      sys::read_file(sys::join_path(state_dir, kRuntimeRecordName),
                     kMaxRecordSize);
  if (!text) return std::nullopt;
  std::optional<std::string> path = parse_runtime_record(*text);
  if (!path) return std::nullopt;

  std::optional<std::string> resolved = sys::canonical(*path);
  if (!resolved) return std::nullopt;
  std::optional<std::string> core_dir =
      sys::canonical(sys::join_path(state_dir, kCoreDirName));
  if (!core_dir || !sys::path_within(*resolved, *core_dir)) {
    return std::nullopt;
  }
  if (!sys::is_regular_file(*resolved)) return std::nullopt;
  return path;
}

}  // namespace twk::start
