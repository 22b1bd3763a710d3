// The two records that tie the hook to Core: the endpoint record (where a
// running Core listens, its token and pid), written by Core; and the runtime
// record (which Core executable is installed), written by its installer.
// Reading never reports anything: a missing or malformed record is no record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "twk/endpoint_record.h"

namespace twk::start {

// Where a running Core listens (the record's format is common to both
// programs).
using twk::Endpoint;

// Reads and validates the endpoint record at `path`. Only a regular file
// owned by this process's effective uid, and writable by no one else, is
// read at all.
std::optional<Endpoint> read_endpoint(const std::string& path);

// The record at `endpoint_file` when its pid is a process of this
// process's effective uid that runs `expected_executable` (by
// /proc/{pid}/exe, canonicalised). No network is used.
std::optional<Endpoint> live_endpoint(const std::string& endpoint_file,
                                      const std::string& expected_executable);

// The "binaryPath" string of a runtime record's text: an object with a
// string member "binaryPath". Nothing for anything else.
std::optional<std::string> parse_runtime_record(std::string_view text);

// The "binaryPath" of the runtime record in `state_dir`, exactly as
// written, when it resolves to a regular file inside the state directory's
// "core" directory (compared by whole path components after resolving
// links).
std::optional<std::string> runtime_binary(const std::string& state_dir);

}  // namespace twk::start
