// Core's life as a server: bind, publish the endpoint record, answer
// requests until idle or told to stop, withdraw the record.
#pragma once

#include <cstdint>
#include <string>

#include "shell/checks.h"

#include "twk/result.h"

namespace twk::core {

struct ServerConfig {
  std::string host;        // numeric IPv4 or IPv6 address, without brackets
  std::uint16_t port = 0;  // 0: any free port
  std::uint64_t idle_exit_seconds = 0;  // 0: never exit for idleness
  std::string record_path;              // where the endpoint record goes
  std::string policy_path;              // the user's policy file
  bool policy_path_given = false;       // named on the command line
  CheckFacts check_facts;               // what the built-in checks know
  std::string audit_path;               // where audit records are appended
};

// Runs Core until it has been idle for the configured time (no connection
// open and none accepted), receives SIGTERM, SIGINT or SIGHUP, or finds
// (checking every second) that its endpoint record names another Core or is
// gone, so that a replaced Core does not linger unused. Binds first;
// only a bound server writes its record, and the record is removed on the way
// out if it is still this process's. Blocks those three signals and ignores
// SIGPIPE for the whole process, so call it from the main thread before any
// other thread exists. Each connection gets one reply and is then closed;
// requests in progress when it stops are still answered. Ok after a clean
// stop, else why the server could not start (bind failure, unwritable
// record, no worker thread) or could not go on (watching for signals
// failed); in the latter case it has stopped in order all the same.
Status serve(const ServerConfig& config);

}  // namespace twk::core
