// Faults around the hook: Cores that misbehave on the wire or die, records
// and state files that are broken or not files at all, and hosts that start
// the hook with odd standard streams. Whatever happens, a run must end with
// exit status 0, at most one line on stdout (the exact "ask" line where Core
// gave no decision), nothing on stderr, and within its deadline.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_core_fixture.h"
#include "harness.h"
#include "live_record_fixture.h"

namespace twk::testing {
namespace {

using namespace std::chrono_literals;

// How far past its deadline a run may end on a loaded machine.
constexpr auto kMargin = 1000ms;

// What every run owes the host, whatever went wrong; with `out`, what it
// printed exactly.
void expect_kept_promise(const RunResult& r, std::optional<std::string> out,
                         std::chrono::milliseconds deadline = 3000ms) {
  expect_clean(r);
  EXPECT_LE(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
  if (out) {
    EXPECT_EQ(r.out, *out);
  }
  EXPECT_LT(r.elapsed, deadline + kMargin);
}

// ---------------------------------------------------------------------------
// A running Core that misbehaves on the wire, with a live record (see
// live_record_fixture.h): a start of Core, which must not happen after a
// failure other than a refusal, would show as kExited.

class FaultLiveTest : public LiveRecordTest {
 protected:
  // A run against a live record for `port` in an endpoint file of its own,
  // so that several can run at once.
  ProgramRun live_run(int port, const std::string& name,
                      const std::string& input,
                      std::chrono::milliseconds deadline) {
    std::string file = state_ / (name + ".json");
    write_file(file, record_text(port, shell_.pid()));
    ProgramRun run = hook_run(input, env_);
    run.env["TWK_ENDPOINT_FILE"] = file;
    run.env["TWK_HOOK_DEADLINE_MS"] = std::to_string(deadline.count());
    run.kill_after = deadline + 10s;
    return run;
  }
};

using FaultTransport = FaultLiveTest;

// Peers that stall the exchange at some step: the run ends at its deadline
// with "timed out" (nothing for post-tool-use), however much of the request
// is still unsent, and neither starts Core nor repeats the request. The
// runs go in parallel to keep the test short.
TEST_F(FaultTransport, PeerThatStallsTheExchangeTimesOutAtTheDeadline) {
  constexpr auto kDeadline = 1200ms;
  // More than the kernel buffers of both ends hold (the peers' small
  // receive buffers keep the sender's from growing past 4 MB), so that the
  // send of the body blocks.
  const std::string large = big_input(8 << 20);
  const std::string reply =
      "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"output\":1}";
  struct Case {
    const char* name;
    Listener::Options options;
    Listener::Serve serve;
    std::string input;
    bool fill_queue = false;
    std::string hook = "pre-tool-use";
  };
  auto reply_then_hold = [reply](int fd, Listener& self) {
    read_request(fd, 5);
    send_all(fd, reply);
    Listener::drain_until_closed(fd, self);
  };
  std::vector<Case> cases = {
      {"connection never accepted", {.rcvbuf = 4096, .accept = false},
       nullptr, large},
      {"accepted, never read", {.rcvbuf = 4096},
       [](int, Listener& self) {
         while (!self.stopping()) std::this_thread::sleep_for(20ms);
       },
       large},
      {"read one byte per 50 ms", {.rcvbuf = 4096},
       [](int fd, Listener& self) {
         char c;
         while (!self.stopping()) {
           ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
           if (n == 0) return;
           if (n > 0) self.count(1);
           std::this_thread::sleep_for(50ms);
         }
       },
       large},
      {"listen queue full, connect never completes",
       {.backlog = 0, .accept = false}, nullptr, kEvent, true},
      {"half a head, then silence",
       {},
       [](int fd, Listener& self) {
         send_all(fd, "HTTP/1.1 200 OK\r\nContent-Le");
         Listener::drain_until_closed(fd, self);
       },
       kEvent},
      {"reply dripped one byte per 50 ms",
       {},
       [reply](int fd, Listener& self) {
         for (char c : reply) {
           if (self.stopping() || ::send(fd, &c, 1, MSG_NOSIGNAL) != 1) return;
           std::this_thread::sleep_for(50ms);
         }
       },
       kEvent},
      {"whole reply, connection kept open", {}, reply_then_hold, kEvent},
      {"request read, no reply", {}, Listener::drain_until_closed, kEvent},
      {"request read, no reply, post-tool-use", {},
       Listener::drain_until_closed, kEvent, false, "post-tool-use"},
  };
  std::vector<std::unique_ptr<Listener>> peers;
  std::vector<std::future<RunResult>> runs;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    peers.push_back(
        std::make_unique<Listener>(cases[i].options, cases[i].serve));
    if (cases[i].fill_queue) peers.back()->fill_queue();
    ProgramRun run = live_run(peers.back()->port(), "ep" + std::to_string(i),
                              cases[i].input, kDeadline);
    run.args[1] = cases[i].hook;
    runs.push_back(std::async(std::launch::async, run_program, run));
  }
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    RunResult r = runs[i].get();
    expect_kept_promise(
        r, cases[i].hook == "pre-tool-use" ? ask_line(kTimedOut) : "",
        kDeadline);
    EXPECT_GE(r.elapsed, kDeadline - 50ms);
    EXPECT_LE(peers[i]->connections(), 1);
  }
  // The slow reader did get part of the request: the run was stalled by the
  // peer, not refused by it.
  const Listener& slow = *peers[2];
  ASSERT_EQ(std::string(cases[2].name), "read one byte per 50 ms");
  EXPECT_GT(slow.received(), 0u);
  EXPECT_LT(slow.received(), large.size());
}

// Peers that end the exchange early or flood it: the answer comes at once,
// with the exact reason. A reply of up to 4 MiB is read to its end; a
// larger one, or one without end, is cut off.
TEST_F(FaultTransport, PeerThatBreaksOrFloodsTheExchange) {
  constexpr auto kDeadline = 4000ms;
  const std::size_t kFlood = 50 << 20;
  const std::string flood(kFlood, 'G');
  const std::string too_large =
      ask_line("Core didn't answer: Core's reply is larger than 4 MiB");
  std::string headers;
  while (headers.size() < (3 << 20)) headers += "X-Pad: 0123456789abcdef\r\n";
  // An answer full of line breaks is still one line for the host.
  std::string escaped_lines;
  while (escaped_lines.size() < (2 << 20)) escaped_lines += "line\\n";
  const std::string answer =
      "{\"output\":\"" + std::string(256 << 10, 'c') + "\"}";
  std::string one_byte_chunks;
  for (char c : answer) one_byte_chunks += std::string("1\r\n") + c + "\r\n";
  one_byte_chunks += "0\r\n\r\n";
  struct Case {
    const char* name;
    ScriptedCore::Handler handler;
    std::string out;
  } cases[] = {
      {"closes after half a head",
       ScriptedCore::raw("HTTP/1.1 200 OK\r\nContent-Le"), ask_line(kNotHttp)},
      {"closes in the middle of a chunked body",
       ScriptedCore::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n"
                         "\r\n5\r\n{\"out\r\nA\r\nput\""),
       ask_line(kNotHttp)},
      {"resets the connection",
       [](int fd, const std::string&) {
         linger hard{1, 0};
         ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
       },
       ask_line(kReset)},
      {"50 MB without the end of a head", ScriptedCore::raw(flood),
       too_large},
      {"a head, then 50 MB of garbage",
       ScriptedCore::raw("HTTP/1.1 200 OK\r\n\r\n" + flood), too_large},
      {"a head, then garbage without end",
       [](int fd, const std::string&) {
         send_all(fd, "HTTP/1.1 200 OK\r\n\r\n");
         const std::string chunk(64 << 10, 'G');
         while (::send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) > 0) {
         }
       },
       too_large},
      {"Content-Length cuts 3 MB down to the answer",
       ScriptedCore::raw("HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n"
                         "{\"output\":1}" + flood.substr(0, 3 << 20)),
       "1\n"},
      {"a 3 MB head",
       ScriptedCore::raw("HTTP/1.1 200 OK\r\n" + headers +
                         "\r\n{\"output\":2}"),
       "2\n"},
      {"a 2 MB answer of many lines",
       ScriptedCore::reply(200, "{\"output\":\"" + escaped_lines + "\"}"),
       "\"" + escaped_lines + "\"\n"},
      {"an answer in one-byte chunks",
       ScriptedCore::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                         one_byte_chunks),
       "\"" + std::string(256 << 10, 'c') + "\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedCore core(c.handler);
    RunResult r = run_program(live_run(core.port(), "ep", kEvent, kDeadline));
    expect_kept_promise(r, c.out, kDeadline);
    EXPECT_LT(r.elapsed, kDeadline / 2);
    // No start of Core and no second request after any of these.
    EXPECT_EQ(core.requests().size(), 1u);
  }
}

// ---------------------------------------------------------------------------
// Runs in which the hook starts the stand-in fake-core. (Starts that fail,
// whatever the cause, are the cases of StartOutcome in start_test.cc.)

// The token goes only to a process that runs the Core executable. A record
// that names some other listening program, with the pid of a process that
// is not Core (a reused pid), must not bring that program any connection:
// the hook starts its own Core and asks that one.
using FaultRecordOwner = FakeCoreTest;

TEST_F(FaultRecordOwner, TokenIsNeverSentToAProgramThatIsNotCore) {
  // A process that is not Core, for records whose pid was reused.
  BackgroundProcess sleeper({"/bin/sleep", "60"});
  wait_for_exe(sleeper.pid(), std::filesystem::canonical("/bin/sleep"));
  ScriptedCore http_404(ScriptedCore::reply(404, "{\"error\":\"no\"}"));
  Listener raw({}, Listener::drain_until_closed);
  struct Case {
    const char* name;
    int port;
    long long pid;
  } cases[] = {
      {"HTTP server answering 404, pid of a sleep", http_404.port(),
       sleeper.pid()},
      {"HTTP server answering 404, pid of the test", http_404.port(),
       static_cast<long long>(::getpid())},
      {"not HTTP, pid of a sleep", raw.port(), sleeper.pid()},
      {"not HTTP, pid 1", raw.port(), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_scratch();
    write_file(endpoint_file(), record_text(c.port, c.pid, "secret-token"));
    expect_kept_promise(run_hook(kEvent, env()), kFromCore);
    EXPECT_EQ(started_pids().size(), 1u);
    kill_cores_for(endpoint_file());
  }
  EXPECT_TRUE(http_404.requests().empty());
  EXPECT_EQ(raw.connections(), 0);
  EXPECT_EQ(raw.received(), 0u);
}

// ---------------------------------------------------------------------------
// The file system: state that is in the way, or not what it should be.

using FaultFileSystem = FakeCoreTest;

// A FIFO as the log that someone does read: Core starts, and gets it as
// ordinary blocking standard output and error.
TEST_F(FaultFileSystem, LogThatIsAFifoWithAReader) {
  std::filesystem::create_directories(state_ / "logs");
  ASSERT_EQ(::mkfifo(log_file().c_str(), 0644), 0);
  int reader = ::open(log_file().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::atomic<bool> stop{false};
  std::string logged;
  std::thread drain([&] {
    char buf[4096];
    while (!stop) {
      pollfd p{reader, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      ssize_t n = ::read(reader, buf, sizeof buf);
      if (n > 0) logged.append(buf, static_cast<std::size_t>(n));
    }
  });
  RunResult r = run_hook(kEvent, env("report"));
  kill_cores_for(endpoint_file());
  stop = true;
  drain.join();
  ::close(reader);
  expect_kept_promise(r, kFromCore);
  for (const char* fact : {"fd1_nonblock=no", "fd2_nonblock=no"}) {
    EXPECT_TRUE(reported(fact)) << fact;
  }
  EXPECT_NE(logged.find("started in mode report"), std::string::npos);
}

// The runtime record and the core directory are read when nothing else
// names a Core binary: a copy of the hook alone in a directory, so that no
// twk-backend lies beside it. Records that are not regular files, or are
// huge, are no records, and reading them does not block.
TEST_F(FaultFileSystem, RuntimeRecordThatIsNotUsable) {
  ScratchDir bin;
  const std::string hook = lone_hook_copy(bin);
  const std::string runtime = state_ / "endpoint.json.runtime.json";
  const std::string installed = state_ / "core/twk-backend";
  std::filesystem::create_directories(state_ / "core");
  std::filesystem::copy_file(fake_core_path(), installed);
  ::chmod(installed.c_str(), 0755);
  const std::string good = "{\"binaryPath\":\"" + installed + "\"}";
  struct Case {
    const char* name;
    std::function<void()> make;
  } cases[] = {
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(runtime.c_str(), 0644), 0); }},
      {"directory", [&] { ASSERT_EQ(::mkdir(runtime.c_str(), 0755), 0); }},
      {"100 GB sparse file",
       [&] {
         write_file(runtime, good);
         ASSERT_EQ(::truncate(runtime.c_str(), 100LL << 30), 0);
       }},
      {"binary path is a FIFO in the core directory",
       [&] {
         ASSERT_EQ(::mkfifo((state_ / "core/fifo").c_str(), 0755), 0);
         write_file(runtime, "{\"binaryPath\":\"" + (state_ / "core/fifo") +
                                 "\"}");
       }},
  };
  auto run_copy = [&] {
    ProgramRun run = hook_run(kEvent, env());
    run.program = hook;
    run.env.erase("TWK_CORE_BINARY");
    run.kill_after = 10s;
    return run_program(run);
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(runtime);
    c.make();
    expect_kept_promise(run_copy(), ask_line("no Core binary was found"));
  }
  EXPECT_TRUE(started_pids().empty());
  // The control: an ordinary runtime record starts the installed Core.
  std::filesystem::remove_all(runtime);
  write_file(runtime, good);
  expect_kept_promise(run_copy(), kFromCore);
  EXPECT_EQ(started_pids().size(), 1u);
}

// ---------------------------------------------------------------------------
// The host's side: standard streams and input of every kind.

using FaultHost = FakeCoreTest;

// A host that starts the hook without stdout and stderr: the hook must not
// hand anything of its own to Core in their place. Core gets /dev/null as
// stdin and the log as stdout and stderr, nothing else.
TEST_F(FaultHost, StdoutAndStderrClosedAtStart) {
  ProgramRun run = hook_run(kEvent, env("report"));
  run.closed_fds = {1, 2};
  run.kill_after = 10s;
  expect_kept_promise(run_program(run), std::nullopt);
  ASSERT_EQ(started_pids().size(), 1u);
  EXPECT_TRUE(reported("fds=0,1,2"));
  EXPECT_TRUE(reported("fd0=/dev/null"));
  EXPECT_TRUE(reported("fd1=" + log_file()));
  EXPECT_TRUE(reported("fd2=" + log_file()));
  // The Core answered the policy request: the start went all the way.
  EXPECT_EQ(lines_of(requests_file()).back(), kPolicyLine);
  EXPECT_FALSE(exists(lock_dir()));
}

// A host that does not read the hook's stdout (its pipe is full): the
// write of the output line is given up at the run's deadline and the hook
// ends with status 0, also when the host started it with SIGALRM blocked
// or ignored. The pipe stays blocking: its open file description is the
// host's too.
TEST_F(FaultHost, StdoutThatNobodyReadsIsGivenUpAtTheDeadline) {
  constexpr auto kDeadline = 800ms;
  struct Case {
    const char* name;
    std::vector<int> blocked;
    std::vector<int> ignored;
  } cases[] = {
      {"plain", {}, {}},
      {"SIGALRM blocked", {SIGALRM}, {}},
      {"SIGALRM ignored", {}, {SIGALRM}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
    const std::string fill(64 << 10, 'f');
    while (::write(out[1], fill.data(), fill.size()) > 0) {
    }
    while (::write(out[1], "f", 1) == 1) {
    }
    ASSERT_EQ(::fcntl(out[1], F_SETFL, 0), 0);
    ProgramRun run =
        hook_run("not JSON", env("ok", {{"TWK_HOOK_DEADLINE_MS", "800"}}));
    run.inherit_fds = {{out[1], 1}};
    run.blocked_signals = c.blocked;
    run.ignored_signals = c.ignored;
    run.kill_after = 5s;
    RunResult r = run_program(run);
    expect_kept_promise(r, std::nullopt, kDeadline);
    EXPECT_GE(r.elapsed, kDeadline - 50ms) << "the write was tried";
    EXPECT_EQ(::fcntl(out[1], F_GETFL) & O_NONBLOCK, 0);
    ::close(out[0]);
    ::close(out[1]);
  }
}

// Hook input past what Core accepts in a request (64 MiB, less 64 KiB for
// the rest of the request) could never be decided. The hook stops reading
// there, whatever its stdin is, answers that it could not check the call
// (nothing for post-tool-use) and holds no more than about that much
// memory. An input at the limit is still read whole, built into a request
// over its own memory and sent.
using FaultHostInput = FaultLiveTest;

TEST_F(FaultHostInput, InputLargerThanCoreAcceptsIsNotReadToItsEnd) {
  constexpr std::size_t kLimit = (64 << 20) - (64 << 10);
  constexpr std::size_t kFrame = sizeof "{\"data\":\"\"}" - 1;
  const std::string too_large = ask_line(
      "the hook input is larger than Core accepts (64 MiB)");
  ScriptedCore core(ScriptedCore::reply(200, "{\"output\":\"ok\"}"));
  const std::string sparse = state_ / "sparse";
  write_file(sparse, "");
  ASSERT_EQ(::truncate(sparse.c_str(), 1LL << 40), 0);
  struct Case {
    const char* name;
    std::size_t piped;       // input of this size through a pipe, or
    std::string stdin_path;  // this file as stdin
    const char* hook;
    std::string out;
  } cases[] = {
      {"/dev/zero", 0, "/dev/zero", "pre-tool-use", too_large},
      {"1 TB sparse file", 0, sparse, "pre-tool-use", too_large},
      {"one byte too many", kLimit + 1, "", "pre-tool-use", too_large},
      {"200 MB", 200 << 20, "", "pre-tool-use", too_large},
      {"200 MB, post-tool-use", 200 << 20, "", "post-tool-use", ""},
      {"exactly at the limit", kLimit, "", "pre-tool-use", "\"ok\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ProgramRun run = live_run(core.port(), "ep", "", 8000ms);
    run.args[1] = c.hook;
    run.input.reset();
    // Reading stdin does not count against the deadline; an endless one
    // is held to a few seconds here.
    run.kill_after = 5s;
    int fd = -1;
    if (c.piped > 0) {
      run.input = big_input(c.piped - kFrame);
    } else {
      fd = ::open(c.stdin_path.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      run.inherit_fds = {{fd, 0}};
    }
    RunResult r = run_program(run);
    if (fd >= 0) ::close(fd);
    expect_answer(r, c.out);
    // The peak counts the test's own memory shared with the program until
    // it runs the hook, so it tells only where the test holds no input.
    // Under AddressSanitizer freed buffers sit in quarantine for a while,
    // so growing one takes several times its size; without the limit the
    // peak runs to gigabytes either way.
    if (c.piped == 0) {
      EXPECT_LT(r.max_rss_kb,
                (kAsan ? 3 : 1) *
                    static_cast<long>(kLimit / 1024 + (16 << 10)))
          << "peak resident set in kB";
    }
  }
  std::vector<std::string> requests = core.requests();
  ASSERT_EQ(requests.size(), 1u) << "only the input at the limit is sent";
  EXPECT_GT(requests[0].size(), kLimit);
}

// ---------------------------------------------------------------------------
// Paths from the environment are bytes handed to the system as they are,
// never to a shell (for the endpoint file's, see start_test.cc).

using FaultSecurity = FakeCoreTest;

// Every command a shell would find in these paths creates "pwned" in the
// hook's working directory.
TEST_F(FaultSecurity, CoreBinaryPathIsNeverGivenToAShell) {
  const std::string pwned = scratch_ / "pwned";
  // A Core binary in a directory whose name a shell would act on.
  const std::string odd_dir =
      scratch_ / "dir with 'quotes' \"and\" $(touch pwned) `touch pwned`;";
  std::filesystem::create_directories(odd_dir);
  const std::string odd_core = odd_dir + "/fake core; touch pwned";
  std::filesystem::copy_file(fake_core_path(), odd_core);
  ::chmod(odd_core.c_str(), 0755);
  // A file a shell would run as a script; the system does not.
  const std::string script = scratch_ / "no-interpreter";
  write_file(script, "touch pwned\n", 0755);
  struct Case {
    std::string binary;
    std::string out;
  } cases[] = {
      {scratch_ / "x; touch pwned",
       ask_line("no Core binary at " + scratch_ / "x; touch pwned")},
      {scratch_ / "x$(touch pwned)",
       ask_line("no Core binary at " + scratch_ / "x$(touch pwned)")},
      {"`touch pwned`", ask_line("no Core binary at `touch pwned`")},
      {"x|touch pwned", ask_line("no Core binary at x|touch pwned")},
      {script, ask_line("couldn't start Core at " + script +
                        ": Exec format error (os error 8)")},
      {odd_core, "{\"from\":\"core\"}\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.binary);
    ProgramRun run =
        hook_run(kEvent, env("ok", {{"TWK_CORE_BINARY", c.binary}}));
    run.cwd = scratch_.path();
    expect_kept_promise(run_program(run), c.out);
    EXPECT_FALSE(exists(pwned));
    kill_cores_for(endpoint_file());
  }
}

}  // namespace
}  // namespace twk::testing
