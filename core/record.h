// Core's side of the endpoint record (its format and atomic writing are in
// twk/endpoint_record.h): where it lives, the random bearer token it
// carries, whether the file there is still this Core's, and removing it on
// the way out.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "twk/endpoint_record.h"
#include "twk/result.h"
#include "twk/state_paths.h"

namespace twk::core {

// Where the record and the state directory are: the hook's own lookup.
using twk::Endpoint;
using twk::endpoint_file_path;
using twk::EnvLookup;
using twk::process_env;
using twk::state_dir_path;

// 32 bytes from the kernel's random source, as 64 lower-case hex digits.
Result<std::string> random_token();

// Compares two secrets in time that depends only on their lengths, so that a
// client cannot find the token byte by byte from response times.
bool constant_time_equal(std::string_view a, std::string_view b);

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
RecordOwner record_owner(const std::string& path, const Endpoint& record);

// Removes the record at `path` when it still names `record`'s pid and token
// (tampered with or not), so a Core never deletes the record of a successor
// that replaced it. True when it removed the file.
bool remove_record_if_ours(const std::string& path, const Endpoint& record);

}  // namespace twk::core
