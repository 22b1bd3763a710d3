// Starting Core on demand, seen from outside: the built twk-hook starts the
// stand-in fake-core and the tests look at what the hook printed, what the
// started process was handed, and what was left in the state directory.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_core_fixture.h"
#include "harness.h"

namespace twk::testing {
namespace {

using namespace std::chrono_literals;

bool running(pid_t pid) { return !ends_within(pid, 0ms); }

// Sets the modification time of `path` itself (not of what a link names) to
// now + `offset`.
void set_mtime(const std::string& path, std::chrono::seconds offset) {
  timespec times[2];
  ::clock_gettime(CLOCK_REALTIME, &times[0]);
  times[1] = times[0];
  times[1].tv_sec += offset.count();
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0)
      << std::strerror(errno);
}

// ---------------------------------------------------------------------------
// Successful starts.

using StartCore = FakeCoreTest;

TEST_F(StartCore, ColdStartThenWarmRunReusesTheSameCore) {
  auto e = env("ok", {{"TWK_FAKE_CORE_OUTPUT", R"({"b":1,"a":2})"}});
  write_file(log_file(), "line of an earlier start\n");

  RunResult cold = run_hook(kEvent, e);
  expect_answer(cold, "{\"a\":2,\"b\":1}\n");
  EXPECT_FALSE(exists(lock_dir())) << "the start lock must be released";

  std::vector<pid_t> pids = started_pids();
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_TRUE(running(pids[0])) << "a healthy Core outlives the hook";
  EXPECT_EQ(record_pid(read_file(endpoint_file()).value_or("")), pids[0]);

  // Both of Core's streams are appended to the log, after what was there.
  std::string log = read_file(log_file()).value_or("");
  EXPECT_EQ(log.rfind("line of an earlier start\n", 0), 0u) << log;
  std::string pid = std::to_string(pids[0]);
  EXPECT_NE(log.find("fake-core " + pid + " started in mode ok"),
            std::string::npos) << log;
  EXPECT_NE(log.find("fake-core " + pid + " stderr"), std::string::npos) << log;

  // While starting: health probes without a token; then one policy request
  // with the record's token.
  std::vector<std::string> requests = lines_of(requests_file());
  ASSERT_GE(requests.size(), 2u);
  for (std::size_t i = 0; i + 1 < requests.size(); ++i) {
    EXPECT_EQ(requests[i], "GET /health HTTP/1.1");
  }
  EXPECT_EQ(requests.back(), kPolicyLine);

  // A warm run asks the running Core directly: no start, no health check.
  RunResult warm = run_hook(kEvent, e);
  expect_answer(warm, "{\"a\":2,\"b\":1}\n");
  EXPECT_EQ(started_pids().size(), 1u);
  std::vector<std::string> after = lines_of(requests_file());
  ASSERT_EQ(after.size(), requests.size() + 1);
  EXPECT_EQ(after.back(), kPolicyLine);
}

// What the hook creates on the way (the state directory with its missing
// ancestors, the start lock, logs/ and the log) is its user's alone,
// whatever the umask: one of 0 must not open it to everyone, one of 0277
// must not leave directories the hook cannot write into. What exists
// already keeps its mode.
TEST_F(StartCore, CreatesMissingStatePrivateWhateverTheUmask) {
  for (unsigned mask : {022u, 0u, 0277u}) {
    SCOPED_TRACE(mask);
    std::string top = scratch_ / ("umask" + std::to_string(mask));
    std::string state = top + "/a/b";
    std::string endpoint = state + "/endpoint.json";
    endpoint_files_.push_back(endpoint);
    const std::string dirs[] = {top, top + "/a", state, state + "/logs"};
    const std::string log = state + "/logs/backend.log";
    auto expect_modes = [&](int dir_mode, int log_mode) {
      for (const std::string& dir : dirs) {
        EXPECT_EQ(path_mode(dir), dir_mode) << dir;
      }
      EXPECT_EQ(path_mode(log), log_mode);
    };
    ProgramRun run = hook_run(kEvent, env("report", {{"TARNWICK_HOME", state}}));
    run.umask = mask;
    expect_answer(run_program(run), kFromCore);
    EXPECT_EQ(record_pid(read_file(endpoint).value_or("")),
              started_pids().back());
    EXPECT_FALSE(exists(endpoint + ".start-lock"));
    EXPECT_TRUE(reported("lock_mode=700"));
    expect_modes(0700, 0600);

    // A later start finds them all in place, looser than it would make
    // them, and leaves them so.
    kill_cores_for(endpoint);
    ::unlink(endpoint.c_str());
    for (const std::string& dir : dirs) ::chmod(dir.c_str(), 0755);
    ::chmod(log.c_str(), 0644);
    expect_answer(run_program(run), kFromCore);
    expect_modes(0755, 0644);
  }
}

// An endpoint file outside the state directory, in directories that do not
// exist yet, at a path full of what a shell would act on: the lock lies
// beside the file, the log stays in the state directory, and the path is
// handed on as it is, never to a shell (any command a shell found in it
// would create "pwned" in the hook's working directory).
TEST_F(StartCore, EndpointFileElsewhereAtAPathAShellWouldActOn) {
  const std::string dir = scratch_ / "a dir/it's \"here\" $(touch pwned)";
  const std::string endpoint = dir + "/end point;`touch pwned`|x.json";
  endpoint_files_.push_back(endpoint);
  ProgramRun run =
      hook_run(kEvent, env("report", {{"TWK_ENDPOINT_FILE", endpoint}}));
  run.cwd = scratch_.path();
  RunResult cold = run_program(run);
  expect_answer(cold, kFromCore);
  EXPECT_LT(cold.elapsed, 4000ms);
  // Checked by Core while it started, when the hook held the lock.
  EXPECT_TRUE(reported("lock_held=yes"));
  EXPECT_TRUE(reported("state_dir_lock_held=no"));
  EXPECT_TRUE(reported("env=TWK_ENDPOINT_FILE=" + endpoint));
  EXPECT_FALSE(exists(endpoint + ".start-lock"));
  EXPECT_TRUE(exists(log_file()));
  EXPECT_FALSE(exists(endpoint_file()));
  EXPECT_TRUE(exists(endpoint));
  // Warm: the record at that path is found and its Core asked.
  RunResult warm = run_program(run);
  expect_answer(warm, kFromCore);
  EXPECT_LT(warm.elapsed, 4000ms);
  EXPECT_EQ(started_pids().size(), 1u);
  EXPECT_FALSE(exists(scratch_ / "pwned"));
}

// ---------------------------------------------------------------------------
// What the started process is handed.

using StartChild = FakeCoreTest;

struct Report {
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::map<std::string, std::string> facts;
};

Report read_report(const std::string& path) {
  Report r;
  for (const std::string& line : lines_of(path)) {
    std::size_t eq = line.find('=');
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "arg") {
      r.args.push_back(value);
    } else if (key == "env") {
      r.env.push_back(value);
    } else {
      r.facts[key] = value;
    }
  }
  return r;
}

TEST_F(StartChild, GetsItsCommandLineStreamsGroupAndSignalsFromTheHook) {
  auto e = env("report", {{"TWK_CORE_IDLE_EXIT_SECONDS", "77"},
                          {"TWK_TEST_MARKER", "passed on"}});
  // Set but empty: the endpoint file is the default one, and Core must be
  // told that path, not the inherited empty value.
  e["TWK_ENDPOINT_FILE"] = "";

  // The hook inherits an open pipe end that is not close-on-exec and runs
  // with signals blocked; Core must get neither.
  int leak[2];
  ASSERT_EQ(::pipe2(leak, O_CLOEXEC), 0);
  ProgramRun run = hook_run(kEvent, e);
  run.inherit_fds = {{leak[1], 5}};
  run.blocked_signals = {SIGUSR1, SIGTERM, SIGPIPE};
  RunResult r = run_program(run);
  ::close(leak[1]);

  expect_answer(r, kFromCore);
  ASSERT_EQ(started_pids().size(), 1u);

  Report report = read_report(report_file());
  int port = record_port(read_file(endpoint_file()).value_or(""));
  ASSERT_GT(port, 0);
  EXPECT_EQ(report.args,
            (std::vector<std::string>{"--host", "127.0.0.1", "--port",
                                      std::to_string(port), "--idle-exit",
                                      "77"}));

  std::vector<std::string> endpoint_vars;
  for (const std::string& v : report.env) {
    if (v.rfind("TWK_ENDPOINT_FILE=", 0) == 0) endpoint_vars.push_back(v);
  }
  EXPECT_EQ(endpoint_vars,
            std::vector<std::string>{"TWK_ENDPOINT_FILE=" + endpoint_file()});
  EXPECT_TRUE(reported("env=TWK_TEST_MARKER=passed on"))
      << "the rest of the hook's environment is passed on";

  EXPECT_EQ(report.facts["fds"], "0,1,2");
  EXPECT_EQ(report.facts["fd0"], "/dev/null");
  EXPECT_EQ(report.facts["fd0_flags"], "r");
  EXPECT_EQ(report.facts["fd1"], log_file());
  EXPECT_EQ(report.facts["fd2"], log_file());
  EXPECT_EQ(report.facts["fd1_flags"], "w,append");
  EXPECT_EQ(report.facts["fd2_flags"], "w,append");
  EXPECT_EQ(report.facts["pgid"], report.facts["pid"]);
  EXPECT_EQ(report.facts["blocked"], "");
  EXPECT_EQ(report.facts["sigpipe"], "default");
  EXPECT_EQ(report.facts["cwd"], std::filesystem::current_path().string());
  EXPECT_EQ(report.facts["lock_held"], "yes");

  // Nobody else holds the pipe's write end: the reader sees its end.
  char c;
  EXPECT_EQ(::read(leak[0], &c, 1), 0);
  ::close(leak[0]);
}

TEST_F(StartChild, IdleExitDefaultsTo1800Seconds) {
  auto e = env("report");
  e.erase("TWK_CORE_IDLE_EXIT_SECONDS");
  expect_answer(run_hook(kEvent, e), kFromCore);
  Report report = read_report(report_file());
  ASSERT_EQ(report.args.size(), 6u);
  EXPECT_EQ(report.args[4], "--idle-exit");
  EXPECT_EQ(report.args[5], "1800");
}

// ---------------------------------------------------------------------------
// Starts that fail, runs in odd conditions and start locks in the way, one
// case each: the run ends cleanly with exactly `out`, having started
// `starts` Cores (-1: at least one), within the times given, and leaves no
// start lock behind unless it found one that it could not remove.
// "{scratch}" and "{state}" in `out` and in the environment stand for those
// directories.

class StartOutcome;

struct StartCase {
  const char* name;
  std::string mode = "ok";
  std::map<std::string, std::string> extra = {};  // over FakeCoreTest::env
  std::string out;
  int starts = 0;
  std::function<void(StartOutcome&)> setup = nullptr;
  std::function<void(StartOutcome&)> then = nullptr;  // further checks
  std::chrono::milliseconds at_least = 0ms;
  std::chrono::milliseconds below = std::chrono::milliseconds::max();
  bool lock_left = false;
  std::vector<int> ignored_signals = {};  // by the host that starts the hook
  std::string hook = "pre-tool-use";
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class StartOutcome : public FakeCoreTest,
                     public ::testing::WithParamInterface<StartCase> {
 public:
  std::string scratch(const std::string& name) const { return scratch_ / name; }
  std::string state(const std::string& name) const { return state_ / name; }
  ~StartOutcome() override {
    for (int fd : held) ::close(fd);
  }
  std::vector<int> held;  // descriptors kept open during the run

 protected:
  std::string expand(std::string text) const {
    for (const auto& [key, value] :
         {std::pair{std::string("{scratch}"), scratch_.path()},
          std::pair{std::string("{state}"), state_.path()}}) {
      for (std::size_t at; (at = text.find(key)) != std::string::npos;) {
        text.replace(at, key.size(), value);
      }
    }
    return text;
  }
};

TEST_P(StartOutcome, EndsCleanlyWithTheExpectedAnswer) {
  const StartCase& c = GetParam();
  if (c.setup) {
    ASSERT_NO_FATAL_FAILURE(c.setup(*this));
  }
  auto extra = c.extra;
  for (auto& [key, value] : extra) value = expand(value);
  ProgramRun run = hook_run(kEvent, env(c.mode, extra), {"claude-code", c.hook});
  run.ignored_signals = c.ignored_signals;
  run.kill_after = 10s;
  RunResult r = run_program(run);
  expect_answer(r, expand(c.out));
  if (c.starts >= 0) {
    EXPECT_EQ(started_pids().size(), static_cast<std::size_t>(c.starts));
  } else {
    EXPECT_FALSE(started_pids().empty());
  }
  EXPECT_EQ(exists(lock_dir()), c.lock_left);
  EXPECT_GE(r.elapsed, c.at_least);
  EXPECT_LT(r.elapsed, c.below);
  if (c.then) c.then(*this);
}

const std::string kLocked = ask_line("another start of Core is taking too long");
const std::string kLinkLoop = ask_line(
    "couldn't open Core's log: Too many levels of symbolic links (os error 40)");
const std::string kNotADir = " Not a directory (os error 20)";

// The process the hook started ends soon (killed by the hook, or by itself).
void first_start_ends(StartOutcome& t, std::chrono::milliseconds within) {
  std::vector<pid_t> pids = t.started_pids();
  ASSERT_FALSE(pids.empty());
  EXPECT_TRUE(ends_within(pids[0], within));
}

// A Core that never became acceptable was killed and got no policy request.
void killed_after_health_probes(StartOutcome& t) {
  first_start_ends(t, 2000ms);
  for (const std::string& line : lines_of(t.requests_file())) {
    EXPECT_EQ(line, "GET /health HTTP/1.1");
  }
}

// A Core in `mode` runs but never becomes acceptable: it is killed when the
// start budget (here the 1.5 s deadline) runs out. (The forked child of
// fork-pid is not the hook's to kill.)
StartCase never_acceptable(const char* name, const char* mode) {
  return {.name = name, .mode = mode,
          .extra = {{"TWK_HOOK_DEADLINE_MS", "1500"}},
          .out = ask_line("Core didn't start in time"), .starts = -1,
          .then = killed_after_health_probes, .at_least = 1400ms,
          .below = 2500ms};
}

// The start lock, a directory modified at now + `offset`.
std::function<void(StartOutcome&)> lock_at(std::chrono::seconds offset) {
  return [offset](StartOutcome& t) {
    ASSERT_EQ(::mkdir(t.lock_dir().c_str(), 0777), 0);
    set_mtime(t.lock_dir(), offset);
  };
}

// A start lock that the start waits on until its budget (the deadline, in
// ms) ends; then it gives up, starting nothing, and leaves the lock, which
// it did not take, where it is.
StartCase waits_for_lock(const char* name,
                         std::function<void(StartOutcome&)> setup,
                         const char* deadline_ms = "800",
                         std::chrono::milliseconds at_least = 750ms,
                         std::chrono::milliseconds below = 1800ms) {
  return {.name = name, .extra = {{"TWK_HOOK_DEADLINE_MS", deadline_ms}},
          .out = kLocked, .setup = std::move(setup), .at_least = at_least,
          .below = below, .lock_left = true};
}

void link_log_to(StartOutcome& t, const std::string& target) {
  std::filesystem::create_directories(t.state("logs"));
  std::filesystem::create_symlink(target, t.log_file());
}

const StartCase kStartCases[] = {
    {.name = "CoreExitsWhileStarting", .mode = "exit3",
     .out = ask_line("Core exited while starting (exit status: 3)"),
     .starts = 1, .below = 2000ms},
    {.name = "CoreIsKilledWhileStarting", .mode = "sigkill",
     .out = ask_line("Core exited while starting (signal: 9 (SIGKILL))"),
     .starts = 1, .below = 2000ms},
    // A host that ignores SIGCHLD passes that on to the hook. The Core it
    // starts must still be its own child to wait for: an exit while
    // starting is seen at once, and a Core that does start is used.
    {.name = "HostIgnoresChildSignalsAndCoreExits", .mode = "exit3",
     .out = ask_line("Core exited while starting (exit status: 3)"),
     .starts = 1, .below = 2000ms, .ignored_signals = {SIGCHLD}},
    {.name = "HostIgnoresChildSignalsAndCoreStarts", .out = kFromCore,
     .starts = 1, .below = 2000ms,
     .ignored_signals = {SIGCHLD}},
    {.name = "PostToolUseStartsCoreAndPrintsNothing",
     .extra = {{"TWK_FAKE_CORE_OUTPUT", R"({"decision":"block","reason":"x"})"}},
     .out = "", .starts = 1,
     .then = [](StartOutcome& t) {
       EXPECT_EQ(lines_of(t.requests_file()).back(), kPolicyLine);
     },
     .hook = "post-tool-use"},
    never_acceptable("CoreNeverWritesARecord", "no-record"),
    never_acceptable("CoreNeverHealthy", "health503"),
    never_acceptable("RecordNamesAnotherProcess", "fork-pid"),
    // A directory where the endpoint record belongs: the started Core
    // cannot write its record, so it never counts as started.
    {.name = "EndpointRecordPathIsADirectory",
     .extra = {{"TWK_HOOK_DEADLINE_MS", "1000"}},
     .out = ask_line("Core didn't start in time"), .starts = 1,
     .setup = [](StartOutcome& t) {
       ASSERT_TRUE(std::filesystem::create_directories(t.endpoint_file()));
     },
     .then = [](StartOutcome& t) { first_start_ends(t, 2000ms); },
     .below = 2000ms},
    {.name = "CoreRefusesRightAfterItsHealthCheck",
     .mode = "refuse-after-health",
     .out = ask_line("Core stopped right after starting"), .starts = 1,
     .then = [](StartOutcome& t) {
       EXPECT_EQ(lines_of(t.requests_file()),
                 std::vector<std::string>{"GET /health HTTP/1.1"});
     }},
    // Failures after the start are not retried.
    {.name = "CoreKilledInTheMiddleOfThePolicyRequest", .mode = "die-on-policy",
     .out = ask_line(kReset), .starts = 1,
     .then = [](StartOutcome& t) {
       first_start_ends(t, 1000ms);
       EXPECT_EQ(lines_of(t.requests_file()).back(), kPolicyLine);
     },
     .below = 4000ms},
    {.name = "CoreHealthyButSilentOnThePolicyRequest",
     .mode = "hang-on-policy", .extra = {{"TWK_HOOK_DEADLINE_MS", "1200"}},
     .out = ask_line(kTimedOut), .starts = 1,
     .then = [](StartOutcome& t) {
       std::vector<std::string> requests = lines_of(t.requests_file());
       ASSERT_FALSE(requests.empty());
       EXPECT_EQ(requests.front(), "GET /health HTTP/1.1");
       EXPECT_EQ(requests.back(), kPolicyLine);
     },
     .at_least = 1150ms, .below = 2200ms},
    {.name = "CoreFileWithoutExecutePermission",
     .extra = {{"TWK_CORE_BINARY", "{scratch}/core"}},
     .out = ask_line("couldn't start Core at {scratch}/core: Permission "
                     "denied (os error 13)"),
     .setup = [](StartOutcome& t) {
       std::filesystem::copy_file(fake_core_path(), t.scratch("core"));
       ASSERT_EQ(::chmod(t.scratch("core").c_str(), 0644), 0);
     }},
    // A FIFO named as the Core binary: looking into it for a "#!" line must
    // not wait for a writer, nor for data from a writer that sends none.
    // Without a writer it reads as empty, so it is started like a binary,
    // which the system refuses; held open by a writer it cannot be read.
    {.name = "CoreBinaryIsAFifo",
     .extra = {{"TWK_CORE_BINARY", "{scratch}/fifo"},
               {"TWK_HOOK_DEADLINE_MS", "1000"}},
     .out = ask_line("couldn't start Core at {scratch}/fifo: Permission "
                     "denied (os error 13)"),
     .setup = [](StartOutcome& t) {
       ASSERT_EQ(::mkfifo(t.scratch("fifo").c_str(), 0755), 0);
     },
     .below = 2000ms},
    {.name = "CoreBinaryIsAFifoWithASilentWriter",
     .extra = {{"TWK_CORE_BINARY", "{scratch}/fifo"},
               {"TWK_HOOK_DEADLINE_MS", "1000"}},
     .out = ask_line("no Core binary at {scratch}/fifo"),
     .setup = [](StartOutcome& t) {
       ASSERT_TRUE(make_held_fifo(t.scratch("fifo"), t.held, 0755));
     },
     .below = 2000ms},
    // A stale record (its pid runs no Core) is dropped before the log is
    // opened, even though the start then fails.
    {.name = "LogIsADirectory",
     .out = ask_line("couldn't open Core's log: Is a directory (os error 21)"),
     .setup = [](StartOutcome& t) {
       ASSERT_TRUE(std::filesystem::create_directories(t.log_file()));
       write_file(t.endpoint_file(),
                  R"({"url":"http://127.0.0.1:9","token":"t","pid":1})");
     },
     .then = [](StartOutcome& t) { EXPECT_FALSE(exists(t.endpoint_file())); }},
    {.name = "LogsIsARegularFile",
     .out = ask_line("couldn't open Core's log:" + kNotADir),
     .setup = [](StartOutcome& t) { write_file(t.state("logs"), "x"); }},
    {.name = "LogIsAFifoNobodyReads",
     .out = ask_line(
         "couldn't open Core's log: No such device or address (os error 6)"),
     .setup = [](StartOutcome& t) {
       std::filesystem::create_directories(t.state("logs"));
       ASSERT_EQ(::mkfifo(t.log_file().c_str(), 0644), 0);
     }},
    // Links are never followed, wherever they point: Core's output must not
    // be appended to, nor a log created in, what a link names.
    {.name = "LogIsALinkToItself", .out = kLinkLoop,
     .setup = [](StartOutcome& t) { link_log_to(t, "backend.log"); }},
    {.name = "LogIsALinkIntoAMissingDirectory", .out = kLinkLoop,
     .setup = [](StartOutcome& t) {
       link_log_to(t, t.scratch("missing/backend.log"));
     },
     .then = [](StartOutcome& t) { EXPECT_FALSE(exists(t.scratch("missing"))); }},
    {.name = "LogIsALinkToAnotherFile", .out = kLinkLoop,
     .setup = [](StartOutcome& t) {
       write_file(t.scratch("other-file"), "kept\n");
       link_log_to(t, t.scratch("other-file"));
     },
     .then = [](StartOutcome& t) {
       EXPECT_EQ(read_file(t.scratch("other-file")), "kept\n");
     }},
    // A link is not a directory to an open that does not follow it.
    {.name = "LogsIsALinkToAnotherDirectory",
     .out = ask_line("couldn't open Core's log:" + kNotADir),
     .setup = [](StartOutcome& t) {
       std::filesystem::create_directories(t.scratch("other-dir"));
       std::filesystem::create_symlink(t.scratch("other-dir"), t.state("logs"));
     },
     .then = [](StartOutcome& t) {
       EXPECT_FALSE(exists(t.scratch("other-dir/backend.log")));
     }},
    {.name = "StateDirectoryUnderARegularFile",
     .extra = {{"TARNWICK_HOME", "{scratch}/plain/state"},
               {"HOME", "{scratch}"}},
     .out = ask_line("couldn't take Core's start lock:" + kNotADir),
     .setup = [](StartOutcome& t) { write_file(t.scratch("plain"), "x"); }},
    {.name = "LockWhoseParentIsARegularFile",
     .extra = {{"TWK_ENDPOINT_FILE", "{scratch}/plain/ep.json"}},
     .out = ask_line("couldn't take Core's start lock:" + kNotADir),
     .setup = [](StartOutcome& t) { write_file(t.scratch("plain"), "x"); }},
    // A deadline that has passed when the start begins ends it before any
    // attempt at the lock. The endpoint record, which the hook reads before
    // it goes to start Core, is large (though within what counts as a
    // record) and names no running Core, so reading and parsing it takes
    // the hook well past its 1 ms deadline; any attempt at the lock would
    // succeed and start Core.
    {.name = "DeadlineAlreadyPassedWhenTheStartBegins",
     .extra = {{"TWK_HOOK_DEADLINE_MS", "1"}}, .out = kLocked,
     .setup = [](StartOutcome& t) {
       std::string padding;
       while (padding.size() < (900 << 10)) padding += "{\"a\":[0]},";
       write_file(t.endpoint_file(),
                  R"({"url":"http://127.0.0.1:9","token":"t","pad":[)" +
                      padding + "{}]}");
     }},
    // The start lock. One modified more than 30 s ago was left by a hook
    // that died holding it; so was one modified more than 30 s in the future
    // (the clock was set back after that hook died), which would otherwise
    // block every start until the clock caught up. Such a lock is broken and
    // the start proceeds.
    {.name = "LockLeft31SecondsAgoIsBroken", .out = kFromCore, .starts = 1,
     .setup = lock_at(-31s), .below = 2000ms},
    {.name = "Lock31SecondsAheadIsBroken", .out = kFromCore, .starts = 1,
     .setup = lock_at(31s), .below = 2000ms},
    {.name = "LockADayAheadIsBroken", .out = kFromCore, .starts = 1,
     .setup = lock_at(86400s), .below = 2000ms},
    // A lock that is held (young, or a little in the future of a clock that
    // stepped back a few seconds) is waited on until the start budget ends:
    // the deadline, or 5 s when the deadline is later.
    waits_for_lock("LockTaken10SecondsAgoIsWaitedOn", lock_at(-10s)),
    waits_for_lock("LockTaken29SecondsAgoIsWaitedOn", lock_at(-29s)),
    waits_for_lock("Lock10SecondsAheadIsWaitedOn", lock_at(10s)),
    waits_for_lock("Lock29SecondsAheadIsWaitedOn", lock_at(29s)),
    waits_for_lock("FreshLockIsWaitedOnFor5SecondsAtMost", lock_at(0s),
                   "20000", 4900ms, 6500ms),
    // Locks that cannot be broken although they are old: the start waits
    // for them in the same way.
    waits_for_lock("OldLockThatIsADirectoryNotEmpty",
                   [](StartOutcome& t) {
                     write_file(t.lock_dir() + "/left-behind", "x");
                     set_mtime(t.lock_dir(), -120s);
                   }),
    waits_for_lock("OldLockThatIsARegularFile",
                   [](StartOutcome& t) {
                     write_file(t.lock_dir(), "x");
                     set_mtime(t.lock_dir(), -120s);
                   }),
};

INSTANTIATE_TEST_SUITE_P(Start, StartOutcome, ::testing::ValuesIn(kStartCases),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

// ---------------------------------------------------------------------------
// Several hooks and Cores at once.

using StartConcurrency = FakeCoreTest;

TEST_F(StartConcurrency, SixteenHooksAtOnceStartOneCore) {
  auto e = env("ok", {{"TWK_HOOK_DEADLINE_MS", "6000"}});
  std::vector<RunResult> results =
      at_once(16, [&](std::size_t) { return run_hook(kEvent, e); });
  for (std::size_t i = 0; i < results.size(); ++i) {
    SCOPED_TRACE(i);
    expect_answer(results[i], kFromCore);
  }
  EXPECT_EQ(started_pids().size(), 1u);
  EXPECT_FALSE(exists(lock_dir()));
}

// A recorded Core refuses the first request, so the hook goes to start one;
// by the time it gets the lock (held by the test for a while), the record
// names a running Core that answers. Under the lock that Core is used when
// it is healthy; when its /health answers 503 the record is dropped and a
// new Core is started, while the old process is left alone.
class StartRecheck : public FakeCoreTest,
                     public ::testing::WithParamInterface<const char*> {};

TEST_P(StartRecheck, LiveCoreFoundUnderTheLock) {
  const std::string old_mode = GetParam();
  std::string old_endpoint = scratch_ / "old-endpoint.json";
  std::string old_requests = scratch_ / "old-requests";
  endpoint_files_.push_back(old_endpoint);
  BackgroundProcess old_core(
      {fake_core_path(), "--host", "127.0.0.1", "--port",
       std::to_string(closed_port()), "--idle-exit", "60"},
      std::map<std::string, std::string>{
          {"PATH", "/usr/bin:/bin"},
          {"TWK_ENDPOINT_FILE", old_endpoint},
          {"TWK_FAKE_CORE_MODE", old_mode},
          {"TWK_FAKE_CORE_OUTPUT", R"({"from":"old"})"},
          {"TWK_FAKE_CORE_REQUESTS", old_requests}});
  for (int i = 0; i < 300 && !exists(old_endpoint); ++i) ::usleep(10000);
  std::string live_record = read_file(old_endpoint).value_or("");
  ASSERT_EQ(record_pid(live_record), old_core.pid());

  // First a record naming the old process but a port nobody listens on.
  write_file(endpoint_file(), record_text(closed_port(), old_core.pid()));
  ASSERT_EQ(::mkdir(lock_dir().c_str(), 0777), 0);

  auto e = env("ok", {{"TWK_FAKE_CORE_OUTPUT", R"({"from":"new"})"},
                      {"TWK_HOOK_DEADLINE_MS", "4000"}});
  RunResult r;
  std::thread hook([&] { r = run_hook(kEvent, e); });
  std::this_thread::sleep_for(500ms);  // the hook now waits for the lock
  write_file(endpoint_file() + ".new", live_record);
  EXPECT_EQ(::rename((endpoint_file() + ".new").c_str(),
                     endpoint_file().c_str()), 0);
  ::rmdir(lock_dir().c_str());
  hook.join();

  EXPECT_TRUE(old_core.alive()) << "the hook never signals a Core it found";
  EXPECT_FALSE(exists(lock_dir()));
  std::vector<std::string> old_seen = lines_of(old_requests);
  if (old_mode == "ok") {
    expect_answer(r, "{\"from\":\"old\"}\n");
    EXPECT_TRUE(started_pids().empty());
    EXPECT_EQ(old_seen, (std::vector<std::string>{"GET /health HTTP/1.1",
                                                  kPolicyLine}));
  } else {
    expect_answer(r, "{\"from\":\"new\"}\n");
    std::vector<pid_t> pids = started_pids();
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_NE(pids[0], old_core.pid());
    EXPECT_EQ(record_pid(read_file(endpoint_file()).value_or("")), pids[0]);
    EXPECT_EQ(old_seen, std::vector<std::string>{"GET /health HTTP/1.1"});
  }
}

INSTANTIATE_TEST_SUITE_P(StartWithOldCore, StartRecheck,
                         ::testing::Values("ok", "health503"),
                         [](const auto& info) {
                           return std::string(info.param) == "ok"
                                      ? std::string("Healthy")
                                      : std::string("Answers503");
                         });

}  // namespace
}  // namespace twk::testing
