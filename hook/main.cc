// twk-hook <agent> <hook>: the program an agent host runs around each tool
// call. It reads the event on standard input, has Core decide, and prints
// the decision as one JSON line. It never fails towards the host: the exit
// status is 0 on every path, and only wrong arguments write to stderr.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli.h"
#include "config.h"
#include "hook.h"
#include "hook_input.h"
#include "core_exchange.h"
#include "twk/sys/clock.h"
#include "twk/sys/files.h"

namespace {

// Descriptors 0 to 2 that the host left closed are pointed at /dev/null, so
// that no socket or file the hook opens can land on them and receive the
// output line or be handed to Core as a standard stream.
void ensure_standard_fds() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int null = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
      if (null >= 0 && null != fd) {
        (void)::dup2(null, fd);
        (void)::close(null);
      }
    }
  }
}

void write_error(const std::string& line) {
  (void)twk::sys::write_all(STDERR_FILENO, line);  // a broken stderr is ignored
}

}  // namespace

int main(int argc, char** argv) {
  // A host that closed its end of a pipe turns writes into ignored errors
  // instead of ending the process.
  ::signal(SIGPIPE, SIG_IGN);
  ensure_standard_fds();

  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  twk::Invocation invocation = twk::parse_arguments(args);
  if (!invocation.error.empty()) {
    write_error(invocation.error);
    return 0;
  }

  twk::HookInput input;
  input.read_all(STDIN_FILENO);
  twk::HookConfig config = twk::load_config(
      twk::process_env, twk::sys::read_link("/proc/self/exe"));
  // Fixed after reading stdin and the environment, which do not count
  // against it; the run and the writing of its output keep to it.
  const twk::sys::Instant deadline = twk::sys::now() + config.deadline;
  twk::HookOutput output =
      twk::run(invocation.agent, invocation.hook, input, config,
               twk::process_env("PATH"), deadline);
  twk::write_hook_output(output, deadline);
  return 0;
}
