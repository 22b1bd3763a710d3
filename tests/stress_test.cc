// Many hooks at once, round after round: each round begins with no Core
// running, and however many hooks arrive together, exactly one Core is
// started, every hook gets its answer, and the start lock is gone when
// they are done. TWK_STRESS_ROUNDS sets the number of rounds (default 3).
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_core_fixture.h"
#include "harness.h"

namespace twk::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kHooks = 32;

int rounds() {
  const char* v = std::getenv("TWK_STRESS_ROUNDS");
  int n = v ? std::atoi(v) : 0;
  return n > 0 ? n : 3;
}

class StressTest : public FakeCoreTest {
 protected:
  // The fake Core answering kFromCore, with the deadline every hook runs
  // with.
  std::map<std::string, std::string> fake_core_env() const {
    return env("ok", {{"TWK_HOOK_DEADLINE_MS", "8000"}});
  }

  // Runs `kHooks` hooks at the same moment (the i-th after i * stagger).
  static std::vector<RunResult> burst(
      const std::map<std::string, std::string>& env,
      std::chrono::milliseconds stagger = 0ms) {
    return at_once(kHooks, [&](std::size_t i) {
      std::this_thread::sleep_for(stagger * i);
      return run_hook(kEvent, env);
    });
  }

  // Hooks that start the reference Core, with the deadline every hook runs
  // with.
  std::map<std::string, std::string> reference_core_env() const {
    auto e = base_env(state_);
    e["TWK_CORE_BINARY"] = backend_path();
    e["TWK_CORE_IDLE_EXIT_SECONDS"] = "60";
    e["TWK_HOOK_DEADLINE_MS"] = "8000";
    return e;
  }

  // A clean run whose answer came from Core, not the hook's own ask.
  static void expect_answered_by_core(const RunResult& r) {
    expect_clean(r);
    EXPECT_EQ(r.out.find("couldn't check this call"), std::string::npos)
        << r.out;
  }

  // A clean run (harness.h) that ended within its deadline.
  static void expect_clean(const RunResult& r) {
    twk::testing::expect_clean(r);
    EXPECT_LT(r.elapsed, 8000ms + 1000ms);
  }
};

using StressColdStart = StressTest;

// The Core takes a while to get ready, so that the hooks of a burst pile up
// on the start lock and each must find, under the lock, the Core that the
// first one started.
TEST_F(StressColdStart, BurstsOfHooksStartOneFakeCorePerRound) {
  auto env = fake_core_env();
  env["TWK_FAKE_CORE_DELAY_MS"] = "300";
  for (int round = 0; round < rounds(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::size_t starts_before = started_pids().size();
    std::vector<RunResult> results = burst(env);
    for (int i = 0; i < kHooks; ++i) {
      SCOPED_TRACE("hook " + std::to_string(i));
      expect_clean(results[i]);
      EXPECT_EQ(results[i].out, kFromCore);
    }
    EXPECT_EQ(started_pids().size() - starts_before, 1u);
    EXPECT_FALSE(exists(lock_dir()));
    // The one Core that runs is ended, so that the next round starts cold.
    EXPECT_EQ(kill_cores_for(endpoint_file()), 1);
  }
}

// The same with the reference Core, which the test cannot count from the
// inside: each round's record names a new process, and it is the only Core
// process found running.
TEST_F(StressColdStart, BurstsOfHooksStartOneReferenceCorePerRound) {
  auto env = reference_core_env();
  std::set<long long> pids;
  const std::string backend = std::filesystem::canonical(backend_path());
  for (int round = 0; round < rounds(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::vector<RunResult> results = burst(env);
    for (int i = 0; i < kHooks; ++i) {
      SCOPED_TRACE("hook " + std::to_string(i));
      expect_answered_by_core(results[i]);
      EXPECT_EQ(results[i].out, results[0].out) << "one Core, one answer";
    }
    long long pid = record_pid(read_file(endpoint_file()).value_or(""));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(exe_of(static_cast<pid_t>(pid)), backend);
    pids.insert(pid);
    EXPECT_FALSE(exists(lock_dir()));
    EXPECT_EQ(kill_cores_for(endpoint_file()), 1);
  }
  EXPECT_EQ(pids.size(), static_cast<std::size_t>(rounds()));
}

// Core dies while a burst is using it. Hooks in the middle of an exchange
// report it; the others find the Core gone and start a new one, at most
// one between them, and get its answer.
TEST_F(StressColdStart, CoreKilledInTheMiddleOfABurst) {
  const auto env = fake_core_env();
  int restarted_rounds = 0;
  for (int round = 0; round < rounds(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    RunResult first = run_hook(kEvent, env);
    ASSERT_EQ(first.out, kFromCore);
    long long pid = record_pid(read_file(endpoint_file()).value_or(""));
    ASSERT_GT(pid, 0);
    std::size_t starts_before = started_pids().size();

    std::thread killer([pid] {
      std::this_thread::sleep_for(60ms);
      ::kill(static_cast<pid_t>(pid), SIGKILL);
    });
    std::vector<RunResult> results = burst(env, 4ms);
    killer.join();

    // What a hook in the middle of an exchange sees depends on how far it
    // got: a reset, a close before any reply, or, when the close came
    // before the reset, a broken pipe.
    const std::set<std::string> allowed = {
        kFromCore,
        ask_line(kReset),
        ask_line("Core didn't answer: Core's reply wasn't HTTP"),
        ask_line("Core didn't answer: Broken pipe (os error 32)"),
    };
    for (int i = 0; i < kHooks; ++i) {
      SCOPED_TRACE("hook " + std::to_string(i));
      expect_clean(results[i]);
      EXPECT_TRUE(allowed.count(results[i].out)) << results[i].out;
    }
    std::size_t new_starts = started_pids().size() - starts_before;
    EXPECT_LE(new_starts, 1u);
    restarted_rounds += new_starts == 1 ? 1 : 0;
    EXPECT_FALSE(exists(lock_dir()));
    // The killed Core is gone; what runs now is the one new Core, if any.
    EXPECT_EQ(kill_cores_for(endpoint_file()),
              static_cast<int>(new_starts));
  }
  // The later hooks of a burst begin after the kill, so in some round at
  // least the Core must have died under the burst's feet.
  EXPECT_GT(restarted_rounds, 0);
}

// Any local process can connect to Core. Hundreds of connections that
// never send a request (or never finish one) must not keep a burst of hooks
// from Core: every hook gets Core's own answer within its deadline, and
// every event is audited exactly once.
TEST_F(StressTest, IdleConnectionsWithoutTheTokenDelayNoHook) {
  auto env = reference_core_env();
  // A log rotated many times during the burst: every event must still be
  // in one of the files, once.
  env["TWK_AUDIT_MAX_BYTES"] = "4096";
  env["TWK_AUDIT_KEEP"] = "999";
  ASSERT_EQ(run_hook(kEvent, env).exit_status, 0);
  std::string record = read_file(endpoint_file()).value_or("");
  const int port = record_port(record);
  ASSERT_GT(port, 0) << record;

  std::vector<int> idle;
  for (int i = 0; i < 200; ++i) {
    // Non-blocking: past the accept queue the handshake waits for a retry.
    int fd = connect_loopback(port, true);
    ASSERT_GE(fd, 0);
    // Half of them start a request and stop half way.
    if (i % 2 == 1) (void)::send(fd, "POST /v1/pol", 12, MSG_NOSIGNAL);
    idle.push_back(fd);
  }
  std::this_thread::sleep_for(200ms);  // let them take Core's workers

  std::vector<RunResult> results = at_once(kHooks, [&](std::size_t i) {
    std::string event = kEvent;
    event.replace(event.find("\"s1\""), 4,
                  "\"stress-" + std::to_string(i) + "\"");
    return run_hook(event, env);
  });
  for (int fd : idle) ::close(fd);

  std::map<std::string, int> audited;
  int files = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(state_ / "logs")) {
    if (!entry.path().filename().string().starts_with("audit.jsonl")) continue;
    ++files;
    for (const std::string& line : lines_of(entry.path().string())) {
      std::size_t at = line.find("\"session\":\"stress-");
      if (at != std::string::npos) {
        ++audited[line.substr(at + 11, line.find('"', at + 11) - at - 11)];
      }
    }
  }
  EXPECT_GT(files, 1) << "the log was never rotated";
  for (int i = 0; i < kHooks; ++i) {
    SCOPED_TRACE("hook " + std::to_string(i));
    expect_answered_by_core(results[i]);
    EXPECT_EQ(audited["stress-" + std::to_string(i)], 1);
  }
  EXPECT_EQ(audited.size(), static_cast<std::size_t>(kHooks));
}

}  // namespace
}  // namespace twk::testing
