// twk-backend: the reference Core. Reads its options, then serves policy
// decisions until it has been idle for a while or is told to stop.
//
// Exit status: 0 after a clean stop or --help, 1 when it could not start
// serving (port taken, record unwritable), 2 for a wrong command line.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"
#include "record.h"
#include "server.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

int run(int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  twk::Result<twk::core::Options> options = twk::core::parse_options(args);
  if (!options) {
    std::fprintf(stderr,
                 "twk-backend: %s\nRun 'twk-backend --help' for usage.\n",
                 options.reason().c_str());
    return kExitUsage;
  }
  if (options->help) {
    std::fputs(twk::core::usage_text().c_str(), stdout);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
  }

  twk::core::ServerConfig config;
  config.host = options->host;
  config.port = options->port;
  config.idle_exit_seconds = options->idle_exit_seconds;
  config.record_path = twk::core::endpoint_file_path(twk::core::process_env);
  if (std::optional<std::string> error = twk::core::serve(config)) {
    std::fprintf(stderr, "twk-backend: %s\n", error->c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "twk-backend: %s\n", e.what());
    return kExitFailure;
  }
}
