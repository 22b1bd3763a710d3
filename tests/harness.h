// Shared helpers for the integration tests: running the built binaries as
// the agent host does, temporary state directories, and Cores scripted in
// the test process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "twk/testing/scratch_dir.h"
#include "wire.h"

namespace twk::testing {

// Paths of the binaries under test (set by the build).
std::string hook_path();
std::string backend_path();
std::string fake_core_path();

// The exact line twk-hook prints for a pre-tool-use event that Core did not
// decide, for `reason`.
std::string ask_line(const std::string& reason);

struct RunResult {
  int exit_status = -1;  // exit code; -1 when killed by a signal
  std::string out;
  std::string err;
  std::chrono::milliseconds elapsed{0};
  bool killed = false;  // ran past its kill time
  long max_rss_kb = 0;  // peak resident set size of the program
};

struct ProgramRun {
  std::string program;
  std::vector<std::string> args;       // after the program name
  std::optional<std::string> input;    // nothing: stdin is /dev/null
  std::map<std::string, std::string> env;  // the whole environment
  std::chrono::milliseconds kill_after{20000};
  // Keep stdin open after `input` has been fed, until the program's outputs
  // close: a program that reads stdin to its end then blocks until
  // kill_after.
  bool hold_stdin_open = false;
  std::optional<std::string> cwd;  // working directory; nothing: inherited
  std::optional<unsigned> umask;   // nothing: the test process's
  bool stdin_closed = false;   // start with descriptor 0 closed
  bool stdout_closed = false;  // stdout is a pipe whose reader has gone
  // Descriptors handed to the program without close-on-exec: each pair is
  // (descriptor in the test process, number it gets in the program).
  std::vector<std::pair<int, int>> inherit_fds;
  // Signals blocked in the program when it starts.
  std::vector<int> blocked_signals;
  // Signals the program starts with set to be ignored (SIG_IGN survives
  // exec), as a host that ignores them would pass them on.
  std::vector<int> ignored_signals;
  // Descriptors closed in the program when it starts (after the standard
  // streams and inherit_fds are set up), e.g. {1, 2} for a host that
  // started it without stdout and stderr.
  std::vector<int> closed_fds;
};

// Runs a program to its end, feeding `input` and collecting both outputs.
RunResult run_program(const ProgramRun& run);

// A run that ended as every run should: exit status 0, within its kill
// time, nothing on stderr.
void expect_clean(const RunResult& r);
// A clean run that printed exactly `out`.
void expect_answer(const RunResult& r, const std::string& out);
// A clean run that printed exactly the "ask" line for `reason`.
inline void expect_ask(const RunResult& r, const std::string& reason) {
  expect_answer(r, ask_line(reason));
}

// Runs f(0) ... f(n - 1) on threads of their own, all at once, and returns
// their results in that order.
template <typename F>
auto at_once(std::size_t n, F f) {
  std::vector<decltype(f(0))> results(n);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < n; ++i) {
    threads.emplace_back([&, i] { results[i] = f(i); });
  }
  for (std::thread& t : threads) t.join();
  return results;
}

// Whether the build has AddressSanitizer in it (GCC and Clang say so in
// different ways).
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAsan = true;
#elif defined(__has_feature)
inline constexpr bool kAsan = __has_feature(address_sanitizer);
#else
inline constexpr bool kAsan = false;
#endif

// A typical pre-tool-use event of the Bash tool.
inline constexpr char kEvent[] =
    R"({"session_id":"s1","hook_event_name":"PreToolUse","tool_name":"Bash",)"
    R"("tool_input":{"command":"ls"}})";

// A run of twk-hook as the host starts it, with `args` (default:
// claude-code pre-tool-use), to adjust before run_program().
ProgramRun hook_run(std::optional<std::string> input,
                    std::map<std::string, std::string> env,
                    std::vector<std::string> args = {"claude-code",
                                                     "pre-tool-use"});

// Runs twk-hook with `args` (default: claude-code pre-tool-use).
RunResult run_hook(const std::string& input,
                   const std::map<std::string, std::string>& env,
                   std::vector<std::string> args = {"claude-code",
                                                    "pre-tool-use"});

// A copy of twk-hook alone in `dir`, with no twk-backend beside it; its path.
std::string lone_hook_copy(const ScratchDir& dir);

void write_file(const std::string& path, const std::string& content,
                unsigned mode = 0644);
std::optional<std::string> read_file(const std::string& path);
bool exists(const std::string& path);
// The lines of the file at `path`; none when it is missing.
std::vector<std::string> lines_of(const std::string& path);
// Makes a FIFO at `path` and holds it open for writing (and reading, so that
// the writer's open does not wait), adding both descriptors to `held`; a
// reader of it then waits for data that never comes. False on failure.
bool make_held_fifo(const std::string& path, std::vector<int>& held,
                    unsigned mode = 0644);

// The canonical path of the executable `pid` runs, or "".
std::string exe_of(pid_t pid);
// Waits (at most 2 s) until `pid` runs the executable `exe`: until exec has
// happened, a child the test forked still shows the test executable.
void wait_for_exe(pid_t pid, const std::string& exe);

// Binds `fd` to 127.0.0.1 on a port the system picks; returns that port.
int bind_loopback(int fd);
// A new socket connecting to 127.0.0.1:`port`, or -1 when a blocking connect
// fails. A non-blocking one is returned while its connect is in progress.
int connect_loopback(int port, bool nonblocking = false);
// A port of 127.0.0.1 that nothing listens on (right now).
int closed_port();

// True once `pid` no longer runs (gone, or a zombie nobody reaped yet),
// looking every 10 ms for at most `limit`.
bool ends_within(pid_t pid, std::chrono::milliseconds limit);

// A program the test runs in the background, stdin on /dev/null and its
// outputs appended to `out` and `err`; killed and reaped when this goes,
// unless it was reaped before. `env` is its whole environment; without it,
// it gets the test's own.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(
      std::vector<std::string> argv,
      std::optional<std::map<std::string, std::string>> env = std::nullopt,
      const std::string& out = "/dev/null",
      const std::string& err = "/dev/null");
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;
  pid_t pid() const { return pid_; }
  // Still running (the test is its parent, so it cannot vanish unseen).
  bool alive() const;
  // The wait status once it ends within `limit`, or nothing.
  std::optional<int> wait_exit(std::chrono::milliseconds limit);

 private:
  pid_t pid_ = -1;
  mutable bool reaped_ = false;
};

// The pid in an endpoint record's text, or -1.
long long record_pid(const std::string& record);
// The port of the 127.0.0.1 url in an endpoint record's text, or -1.
int record_port(const std::string& record);

// The text of an endpoint record naming a Core at 127.0.0.1:`port`.
std::string record_text(int port, long long pid,
                        const std::string& token = "t");

// A JSON object whose one string member holds `n` bytes of x.
std::string big_input(std::size_t n);

// `depth` empty JSON arrays, one inside the other.
std::string nested(std::size_t depth);
// `depth` JSON objects {"k":...}, one inside the other, around a 0.
std::string nested_objects(std::size_t depth);

// The environment a hook test starts from: PATH, HOME and TARNWICK_HOME in
// `state`, a short deadline.
std::map<std::string, std::string> base_env(const ScratchDir& state);

// Sends SIGKILL to every process whose /proc/{pid}/environ holds
// TWK_ENDPOINT_FILE=`endpoint_file`, and waits until they are gone. Used to
// clean up Cores the hook started.
int kill_cores_for(const std::string& endpoint_file);

// A peer at the socket level on 127.0.0.1, for Cores that misbehave below
// HTTP: it may never accept, or take a request at its own pace. Each
// accepted connection goes to `serve` on a thread of its own and is closed
// when that returns.
class Listener {
 public:
  struct Options {
    int rcvbuf = 0;  // SO_RCVBUF, inherited by accepted sockets; 0: default
    int backlog = 64;
    bool accept = true;  // false: connections wait in the queue forever
  };
  using Serve = std::function<void(int fd, Listener& self)>;
  Listener(Options options, Serve serve);
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  int port() const { return port_; }
  int connections() const { return connections_; }
  std::size_t received() const { return received_; }
  bool stopping() const { return stop_; }
  void count(std::size_t n) { received_ += n; }
  // Connects from the test until the listen queue of a non-accepting
  // listener is full, i.e. until a connection no longer completes.
  void fill_queue();
  // A Serve that reads and drops what arrives until the peer closes or the
  // listener stops.
  static void drain_until_closed(int fd, Listener& self);

 private:
  void accept_loop();
  Serve serve_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> connections_{0};
  std::atomic<std::size_t> received_{0};
  std::mutex mu_;
  std::vector<int> open_;  // guarded by mu_
  std::vector<std::thread> workers_;
  std::vector<int> fillers_;
  std::thread thread_;
};

// A Core played by the test process: it reads each request (head, then
// Content-Length bytes of body) and hands it to the handler, which writes
// whatever it likes on the connection fd.
class ScriptedCore {
 public:
  using Handler = std::function<void(int fd, const std::string& request)>;
  explicit ScriptedCore(Handler handler);

  int port() const { return listener_.port(); }
  std::string url() const;
  // Writes an endpoint record naming this Core; the pid defaults to the test
  // process's.
  void write_record(const std::string& endpoint_file,
                    const std::string& token = "secret",
                    std::optional<long long> pid = std::nullopt) const;
  // Every request received so far, in order.
  std::vector<std::string> requests() const;

  // Handlers for the common cases.
  static Handler reply(int status, const std::string& body);
  static Handler raw(const std::string& bytes);
  // Keeps the connection open without answering until the peer closes it
  // (or the Core is destroyed).
  static Handler hang();

 private:
  Handler handler_;
  mutable std::mutex mu_;
  std::vector<std::string> requests_;
  Listener listener_;  // last: its threads stop before the rest goes
};

// The body of a policy request from claude-code for `hook` with `input` (in
// the form the hook forwards it) and `context`.
std::string body_for(const std::string& hook, const std::string& input,
                     const std::string& context = "{}");

// The input forwarded in the one request `core` received, for `hook` with
// an empty context; else a text that says what `core` got instead.
std::string forwarded(const ScriptedCore& core, const std::string& hook);

// A /bin/sh process that waits for commands on a pipe until it is
// destroyed. Its /proc/{pid}/exe is the canonical /bin/sh, which is the
// expected executable of a Core binary that is a "#!/bin/sh" script: an
// endpoint record naming this pid counts as a live Core for such a binary,
// and starting that binary runs no test code. With `uid`, the shell runs
// as that user (the test must be root for that).
class WaitingShell {
 public:
  explicit WaitingShell(std::optional<uid_t> uid = std::nullopt);
  ~WaitingShell();
  WaitingShell(const WaitingShell&) = delete;
  WaitingShell& operator=(const WaitingShell&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_fd_ = -1;
};

// The reasons of the "ask" lines that tests check most often.
inline const std::string kExited =
    "Core exited while starting (exit status: 3)";
inline const std::string kTimedOut = "Core didn't answer: timed out";
inline const std::string kReset =
    "Core didn't answer: Connection reset by peer (os error 104)";
inline const std::string kNotHttp =
    "Core didn't answer: Core's reply wasn't HTTP";
inline const std::string kNotValid = "Core's answer wasn't valid";

}  // namespace twk::testing
