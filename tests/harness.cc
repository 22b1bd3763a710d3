// Integration-test helpers.
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace twk::testing {
namespace {

using Clock = std::chrono::steady_clock;

// The null-terminated array of pointers into `strings` that exec takes.
std::vector<char*> exec_array(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> env_strings(
    const std::map<std::string, std::string>& env) {
  std::vector<std::string> strings;
  for (const auto& [k, v] : env) strings.push_back(k + "=" + v);
  return strings;
}

sockaddr_in loopback_address(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

}  // namespace

std::string hook_path() { return TWK_HOOK_PATH; }
std::string backend_path() { return TWK_BACKEND_PATH; }
std::string fake_core_path() { return TWK_FAKE_CORE_PATH; }

std::string ask_line(const std::string& reason) {
  std::string message = "Vantorel couldn't check this call (" + reason +
                        "). Approve it only if you expect it.";
  // The reasons used in tests hold no characters that JSON escapes, except
  // the ones handled here.
  std::string escaped;
  for (char c : message) {
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return "{\"hookSpecificOutput\":{\"hookEventName\":\"PreToolUse\","
         "\"permissionDecision\":\"ask\",\"permissionDecisionReason\":\"" +
         escaped + "\"},\"systemMessage\":\"" + escaped + "\"}\n";
}

void expect_clean(const RunResult& r) {
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_FALSE(r.killed);
  EXPECT_EQ(r.err, "");
}

void expect_answer(const RunResult& r, const std::string& out) {
  expect_clean(r);
  EXPECT_EQ(r.out, out);
}

RunResult run_program(const ProgramRun& run) {
  // A program that exits without reading its input closes the pipe; the
  // write to it must fail with EPIPE instead of killing the test process.
  ::signal(SIGPIPE, SIG_IGN);
  RunResult result;
  int in_pipe[2] = {-1, -1}, out_pipe[2], err_pipe[2];
  if (run.input && pipe2(in_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    return result;
  }
  std::vector<std::string> env = env_strings(run.env), args = run.args;
  args.insert(args.begin(), run.program);
  std::vector<char*> envp = exec_array(env), argv = exec_array(args);
  std::string cwd = run.cwd.value_or("");
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int s : run.blocked_signals) sigaddset(&blocked, s);

  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (run.umask) ::umask(static_cast<mode_t>(*run.umask));
    if (run.stdin_closed) {
      close(0);
    } else if (run.input) {
      dup2(in_pipe[0], 0);
    } else {
      int null = open("/dev/null", O_RDONLY);
      dup2(null, 0);
    }
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (const auto& [from, to] : run.inherit_fds) {
      if (from == to) {
        fcntl(to, F_SETFD, 0);
      } else {
        dup2(from, to);  // the copy is not close-on-exec
      }
    }
    for (int fd : run.closed_fds) close(fd);
    if (!run.blocked_signals.empty()) sigprocmask(SIG_SETMASK, &blocked, nullptr);
    // The test process ignores SIGPIPE, and an ignored signal stays
    // ignored across exec; a program under test starts as a host would
    // start it, with the default action.
    signal(SIGPIPE, SIG_DFL);
    for (int s : run.ignored_signals) signal(s, SIG_IGN);
    execve(run.program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (run.input) close(in_pipe[0]);

  // Feed stdin and drain both outputs together, so that neither side can
  // block the other on a full pipe.
  std::size_t fed = 0;
  int in_fd = run.input ? in_pipe[1] : -1;
  int held_fd = -1;  // fed completely, but kept open
  auto input_done = [&] {
    if (run.hold_stdin_open) {
      held_fd = in_fd;
    } else {
      close(in_fd);
    }
    in_fd = -1;
  };
  if (in_fd >= 0) fcntl(in_fd, F_SETFL, O_NONBLOCK);
  if (in_fd >= 0 && run.input->empty()) input_done();
  int out_fd = out_pipe[0], err_fd = err_pipe[0];
  if (run.stdout_closed) {
    close(out_fd);
    out_fd = -1;
  }
  auto kill_at = start + run.kill_after;
  while (out_fd >= 0 || err_fd >= 0) {
    pollfd fds[3];
    int n = 0;
    int idx_out = -1, idx_err = -1, idx_in = -1;
    if (out_fd >= 0) idx_out = n, fds[n++] = {out_fd, POLLIN, 0};
    if (err_fd >= 0) idx_err = n, fds[n++] = {err_fd, POLLIN, 0};
    if (in_fd >= 0) idx_in = n, fds[n++] = {in_fd, POLLOUT, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        kill_at - Clock::now());
    if (left.count() <= 0) {
      kill(pid, SIGKILL);
      result.killed = true;
      break;
    }
    int r = poll(fds, n, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    char buf[65536];
    auto drain = [&](int idx, int& fd, std::string& into) {
      if (idx < 0 || !(fds[idx].revents & (POLLIN | POLLHUP | POLLERR))) return;
      ssize_t got = read(fd, buf, sizeof buf);
      if (got > 0) {
        into.append(buf, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fd);
        fd = -1;
      }
    };
    drain(idx_out, out_fd, result.out);
    drain(idx_err, err_fd, result.err);
    if (idx_in >= 0 && (fds[idx_in].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t w = write(in_fd, run.input->data() + fed,
                        std::min<std::size_t>(run.input->size() - fed, 1 << 20));
      if (w > 0) fed += static_cast<std::size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR) fed = run.input->size();
      if (fed >= run.input->size()) input_done();
    }
  }
  if (in_fd >= 0) close(in_fd);
  if (held_fd >= 0) close(held_fd);
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);
  int status = 0;
  // The outputs are closed once the process has ended (or was killed); only
  // a child that handed its descriptors on can still be running here.
  // A program that closed its outputs itself (see closed_fds) may still
  // run; it is held to the same kill time.
  rusage usage{};
  for (;;) {
    pid_t r = wait4(pid, &status, WNOHANG, &usage);
    if (r == pid || (r < 0 && errno != EINTR)) break;
    if (r == 0 && !result.killed && Clock::now() >= kill_at) {
      kill(pid, SIGKILL);
      result.killed = true;
    }
    if (r == 0) usleep(1000);
  }
  result.max_rss_kb = usage.ru_maxrss;
  result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::now() - start);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

ProgramRun hook_run(std::optional<std::string> input,
                    std::map<std::string, std::string> env,
                    std::vector<std::string> args) {
  ProgramRun run;
  run.program = hook_path();
  run.args = std::move(args);
  run.input = std::move(input);
  run.env = std::move(env);
  return run;
}

RunResult run_hook(const std::string& input,
                   const std::map<std::string, std::string>& env,
                   std::vector<std::string> args) {
  return run_program(hook_run(input, env, std::move(args)));
}

std::string lone_hook_copy(const ScratchDir& dir) {
  std::filesystem::copy_file(hook_path(), dir / "twk-hook");
  ::chmod((dir / "twk-hook").c_str(), 0755);
  return dir / "twk-hook";
}

void write_file(const std::string& path, const std::string& content,
                unsigned mode) {
  std::error_code ec;
  std::filesystem::create_directories(
      std::filesystem::path(path).parent_path(), ec);
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
  }
  chmod(path.c_str(), mode);
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return std::nullopt;
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::map<std::string, std::string> base_env(const ScratchDir& state) {
  const char* path = getenv("PATH");
  return {
      {"PATH", path ? path : "/usr/local/bin:/usr/bin:/bin"},
      {"HOME", state.path()},
      {"TARNWICK_HOME", state.path()},
      {"TWK_HOOK_DEADLINE_MS", "3000"},
  };
}

std::vector<std::string> lines_of(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(read_file(path).value_or(""));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool make_held_fifo(const std::string& path, std::vector<int>& held,
                    unsigned mode) {
  if (::mkfifo(path.c_str(), static_cast<mode_t>(mode)) != 0) return false;
  held.push_back(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  held.push_back(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
  return held.back() >= 0;
}

std::string exe_of(pid_t pid) {
  std::error_code ec;
  auto exe = std::filesystem::canonical(
      "/proc/" + std::to_string(pid) + "/exe", ec);
  return ec ? "" : exe.string();
}

void wait_for_exe(pid_t pid, const std::string& exe) {
  for (int i = 0; i < 400 && exe_of(pid) != exe; ++i) usleep(5000);
}

int bind_loopback(int fd) {
  sockaddr_in addr = loopback_address(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

int closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = bind_loopback(fd);
  ::close(fd);
  return port;
}

int connect_loopback(int port, bool nonblocking) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC |
                                 (nonblocking ? SOCK_NONBLOCK : 0), 0);
  sockaddr_in addr = loopback_address(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
      !nonblocking) {
    ::close(fd);
    return -1;
  }
  return fd;
}

BackgroundProcess::BackgroundProcess(
    std::vector<std::string> argv,
    std::optional<std::map<std::string, std::string>> env,
    const std::string& out, const std::string& err) {
  std::vector<std::string> env_text = env_strings(env.value_or(
      std::map<std::string, std::string>{}));
  std::vector<char*> args = exec_array(argv), envp = exec_array(env_text);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(::open("/dev/null", O_RDONLY), 0);
    ::dup2(::open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 1);
    ::dup2(::open(err.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644), 2);
    ::execve(args[0], args.data(), env ? envp.data() : environ);
    ::_exit(127);
  }
}

BackgroundProcess::~BackgroundProcess() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

bool BackgroundProcess::alive() const {
  int status;
  if (reaped_ || ::waitpid(pid_, &status, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

std::optional<int> BackgroundProcess::wait_exit(
    std::chrono::milliseconds limit) {
  auto end = Clock::now() + limit;
  for (;;) {
    int status;
    if (!reaped_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      return status;
    }
    if (reaped_ || Clock::now() >= end) return std::nullopt;
    ::usleep(5000);
  }
}

bool ends_within(pid_t pid, std::chrono::milliseconds limit) {
  auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    auto stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::size_t paren = stat->rfind(')');
    if (paren != std::string::npos && paren + 2 < stat->size() &&
        (*stat)[paren + 2] == 'Z') {
      return true;
    }
    if (std::chrono::steady_clock::now() >= until) return false;
    ::usleep(10000);
  }
}

long long record_pid(const std::string& record) {
  std::size_t at = record.find("\"pid\":");
  if (at == std::string::npos) return -1;
  return std::stoll(record.substr(at + 6));
}

int record_port(const std::string& record) {
  std::size_t at = record.find("127.0.0.1:");
  return at == std::string::npos ? -1 : std::atoi(record.c_str() + at + 10);
}

std::string record_text(int port, long long pid, const std::string& token) {
  return "{\"url\":\"http://127.0.0.1:" + std::to_string(port) +
         "\",\"token\":\"" + token + "\",\"pid\":" + std::to_string(pid) +
         "}";
}

std::string big_input(std::size_t n) {
  return "{\"data\":\"" + std::string(n, 'x') + "\"}";
}

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string nested_objects(std::size_t depth) {
  std::string s;
  for (std::size_t i = 0; i < depth; ++i) s += "{\"k\":";
  return s + "0" + std::string(depth, '}');
}

std::string body_for(const std::string& hook, const std::string& input,
                     const std::string& context) {
  return "{\"agent\":\"claude-code\",\"context\":" + context +
         ",\"hook\":\"" + hook + "\",\"input\":" + input + "}";
}

std::string forwarded(const ScriptedCore& core, const std::string& hook) {
  std::vector<std::string> requests = core.requests();
  if (requests.size() != 1) {
    return "requests: " + std::to_string(requests.size());
  }
  std::size_t head_end = requests[0].find("\r\n\r\n");
  std::string body =
      head_end == std::string::npos ? "" : requests[0].substr(head_end + 4);
  std::string before = body_for(hook, "");
  before.pop_back();  // the frame's closing brace
  if (!body.starts_with(before) || !body.ends_with('}')) {
    return "unexpected body: " + body;
  }
  return body.substr(before.size(), body.size() - before.size() - 1);
}

int kill_cores_for(const std::string& endpoint_file) {
  // One whole variable: NUL before and after it.
  const std::string needle =
      std::string(1, '\0') + "TWK_ENDPOINT_FILE=" + endpoint_file + '\0';
  int killed = 0;
  std::vector<pid_t> victims;
  if (DIR* proc = opendir("/proc")) {
    while (dirent* e = readdir(proc)) {
      char* end;
      long pid = strtol(e->d_name, &end, 10);
      if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
      auto environ_text =
          read_file("/proc/" + std::string(e->d_name) + "/environ");
      if (environ_text &&
          ('\0' + *environ_text).find(needle) != std::string::npos) {
        victims.push_back(static_cast<pid_t>(pid));
      }
    }
    closedir(proc);
  }
  for (pid_t pid : victims) {
    if (kill(pid, SIGKILL) == 0) ++killed;
  }
  // Cores are not our children (the hook started them), so a zombie is as
  // far as they get.
  for (pid_t pid : victims) ends_within(pid, std::chrono::seconds(1));
  return killed;
}

WaitingShell::WaitingShell(std::optional<uid_t> uid) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  const std::string shell = std::filesystem::canonical("/bin/sh");
  pid_ = fork();
  if (pid_ == 0) {
    if (uid && (setgid(static_cast<gid_t>(*uid)) != 0 || setuid(*uid) != 0)) {
      _exit(126);
    }
    dup2(fds[0], 0);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl("/bin/sh", "sh", "-s", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[0]);
  stdin_fd_ = fds[1];
  wait_for_exe(pid_, shell);
}

WaitingShell::~WaitingShell() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (stdin_fd_ >= 0) close(stdin_fd_);
}

Listener::Listener(Options options, Serve serve) : serve_(std::move(serve)) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (options.rcvbuf > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &options.rcvbuf,
                 sizeof options.rcvbuf);
  }
  port_ = bind_loopback(fd_);
  ::listen(fd_, options.backlog);
  if (options.accept) thread_ = std::thread([this] { accept_loop(); });
}

Listener::~Listener() {
  stop_ = true;
  ::shutdown(fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  {
    // Wake servers that still wait on their connection.
    std::lock_guard<std::mutex> lock(mu_);
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& w : workers_) w.join();
  for (int fd : fillers_) ::close(fd);
  ::close(fd_);
}

void Listener::fill_queue() {
  for (int i = 0; i < 64; ++i) {
    int fd = connect_loopback(port_, true);
    fillers_.push_back(fd);
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 200) == 0) return;  // this one hangs: full
  }
}

void Listener::drain_until_closed(int fd, Listener& self) {
  char buf[65536];
  while (!self.stopping()) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return;
    self.count(static_cast<std::size_t>(n));
  }
}

void Listener::accept_loop() {
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    ++connections_;
    std::lock_guard<std::mutex> lock(mu_);
    open_.push_back(fd);
    workers_.emplace_back([this, fd] {
      serve_(fd, *this);
      std::lock_guard<std::mutex> inner(mu_);
      std::erase(open_, fd);
      ::close(fd);
    });
  }
}

ScriptedCore::ScriptedCore(Handler handler)
    : handler_(std::move(handler)),
      listener_({}, [this](int fd, Listener&) {
        std::string request = read_request(fd, 5);
        {
          std::lock_guard<std::mutex> lock(mu_);
          requests_.push_back(request);
        }
        handler_(fd, request);
      }) {}

std::string ScriptedCore::url() const {
  return "http://127.0.0.1:" + std::to_string(port());
}

void ScriptedCore::write_record(const std::string& endpoint_file,
                                const std::string& token,
                                std::optional<long long> pid) const {
  write_file(endpoint_file,
             record_text(port(), pid.value_or(getpid()), token));
}

std::vector<std::string> ScriptedCore::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

ScriptedCore::Handler ScriptedCore::reply(int status, const std::string& body) {
  return [status, body](int fd, const std::string&) {
    send_all(fd, "HTTP/1.1 " + std::to_string(status) +
                     " X\r\nContent-Type: application/json\r\nContent-Length: " +
                     std::to_string(body.size()) + "\r\n\r\n" + body);
  };
}

ScriptedCore::Handler ScriptedCore::raw(const std::string& bytes) {
  return [bytes](int fd, const std::string&) { send_all(fd, bytes); };
}

ScriptedCore::Handler ScriptedCore::hang() {
  return [](int fd, const std::string&) {
    char buf[4096];
    for (;;) {
      ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
  };
}

}  // namespace twk::testing
