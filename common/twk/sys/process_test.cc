#include "twk/sys/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "twk/sys/error.h"

namespace twk::sys {
namespace {

TEST(ExitStatusText, ExitCodesAndSignals) {
  EXPECT_EQ(exit_status_text(3 << 8), "exit status: 3");
  EXPECT_EQ(exit_status_text(0), "exit status: 0");
  EXPECT_EQ(exit_status_text(9), "signal: 9 (SIGKILL)");
  EXPECT_EQ(exit_status_text(11 | 0x80), "signal: 11 (SIGSEGV) (core dumped)");
  EXPECT_EQ(exit_status_text(16), "signal: 16 (SIGSTKFLT)");
  EXPECT_EQ(exit_status_text(29), "signal: 29 (SIGIO)");
  EXPECT_EQ(exit_status_text(30), "signal: 30 (SIGPWR)");
  EXPECT_EQ(exit_status_text(31), "signal: 31 (SIGSYS)");
  EXPECT_EQ(exit_status_text(34), "signal: 34");  // real-time: no name
  EXPECT_EQ(signal_name(0), nullptr);
  EXPECT_STREQ(signal_name(1), "SIGHUP");
}

std::optional<int> wait_for(Child& child) {
  for (int i = 0; i < 500; ++i) {
    if (auto status = child.poll()) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return std::nullopt;
}

TEST(Spawn, RunsWithPathSearchAndReportsFailures) {
  int log = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  int high = ::fcntl(log, F_DUPFD_CLOEXEC, 10);
  SpawnSpec spec;
  spec.program = "sh";  // found along PATH
  spec.args = {"-c", "test \"$X\" = 1 && exit 4"};
  spec.env_overrides = {{"X", "1"}};
  spec.stdout_fd = high;
  spec.stderr_fd = high;
  Result<Child> child = spawn(spec);
  ASSERT_TRUE(child) << child.reason();
  std::optional<int> status = wait_for(*child);
  ASSERT_TRUE(status);
  EXPECT_EQ(exit_status_text(*status), "exit status: 4");

  spec.program = "/definitely/not/here";
  Result<Child> missing = spawn(spec);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.reason(), os_error_text(ENOENT));

  // A set-up step that fails (an output that is no descriptor) fails the
  // spawn instead of starting a child without it.
  spec.program = "sh";
  spec.stdout_fd = -1;
  Result<Child> unset = spawn(spec);
  ASSERT_FALSE(unset);
  EXPECT_EQ(unset.reason(), os_error_text(EBADF));
  spec.stdout_fd = high;

  spec.program = "sleep";
  spec.args = {"10"};
  child = spawn(spec);
  ASSERT_TRUE(child) << child.reason();
  EXPECT_FALSE(child->poll());
  child->kill();
  status = wait_for(*child);
  ASSERT_TRUE(status);
  EXPECT_EQ(exit_status_text(*status), "signal: 9 (SIGKILL)");
  ::close(high);
  ::close(log);
}

}  // namespace
}  // namespace twk::sys
