// The endpoint record that tells hooks where this Core listens: where it
// lives, its random bearer token, writing it atomically, and removing it on
// the way out.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "twk/result.h"
#include "twk/state_paths.h"

namespace twk::core {

// Where the record and the state directory are: the hook's own lookup.
using twk::endpoint_file_path;
using twk::EnvLookup;
using twk::process_env;
using twk::state_dir_path;

// 32 bytes from the kernel's random source, as 64 lower-case hex digits.
Result<std::string> random_token();

// Compares two secrets in time that depends only on their lengths, so that a
// client cannot find the token byte by byte from response times.
bool constant_time_equal(std::string_view a, std::string_view b);

// "http://127.0.0.1:43117", or "http://[::1]:9000" for an IPv6 host given
// without brackets.
std::string endpoint_url(std::string_view host, std::uint16_t port);

struct EndpointRecord {
  pid_t pid = 0;
  std::string token;
  std::string url;
};

// The record as compact JSON, {"pid":..,"token":"..","url":".."}, followed by
// a line feed.
std::string record_json(const EndpointRecord& record);

// Writes the record at `path` so that readers see either the old file or
// the whole new one: a temporary file in the same directory, mode 0600,
// synced, then renamed over `path`. Missing parent directories are created
// with mode 0700. Returns nothing on success, else a reason naming the step
// and the system error.
std::optional<std::string> write_record(const std::string& path,
                                        const EndpointRecord& record);

enum class RecordOwner {
  kThis,     // the file is exactly the record this Core wrote
  kOther,    // the file is gone, or names another process or token
  // The file names this Core's pid and token but is not the text it wrote
  // (its url, say, was pointed elsewhere): someone who read the token is
  // redirecting the hooks.
  kTampered,
  kUnknown,  // the file could not be read just now (e.g. out of descriptors)
};

// Whose record is at `path`. A Core whose record is kOther has been
// replaced (or given up for dead): no hook will find it any more.
RecordOwner record_owner(const std::string& path, const EndpointRecord& record);

// Removes the record at `path` when it still names `record`'s pid and token
// (tampered with or not), so a Core never deletes the record of a successor
// that replaced it. True when it removed the file.
bool remove_record_if_ours(const std::string& path,
                           const EndpointRecord& record);

}  // namespace twk::core
