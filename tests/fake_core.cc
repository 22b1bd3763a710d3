// fake-core: a stand-in Core for the start-up tests. The hook starts it as
//   fake-core --host 127.0.0.1 --port N --idle-exit S
// with TWK_ENDPOINT_FILE in its environment. What it does is chosen by
// TWK_FAKE_CORE_MODE:
//   ok                   bind the port, write the endpoint record, answer
//                        GET /health with 200 and POST /v1/policy/hook with
//                        200 {"output": $TWK_FAKE_CORE_OUTPUT or null}; one
//                        reply per connection; exit after S idle seconds
//   exit3                exit with status 3 at once
//   sigkill              end itself with SIGKILL at once
//   no-record            bind the port and wait, never writing a record
//   fork-pid             fork; the child writes the record with its own pid
//                        and serves as in ok, the parent only waits
//   health503            as ok, but GET /health answers 503
//   refuse-after-health  answer GET /health with 200 once, then close the
//                        listening socket and stay alive
//   report               write what the process was handed
//   (TWK_FAKE_CORE_REPORT)
//                        and then serve as in ok
//   hang-on-policy       as ok, but a POST /v1/policy/hook is read and never
//                        answered: the connection stays open until the peer
//                        closes it
//   die-on-policy        as ok, but on a POST /v1/policy/hook it reads the
//                        head only, waits until body bytes are pending and
//                        ends itself with SIGKILL (the unread bytes make the
//                        kernel reset the connection)
// With TWK_FAKE_CORE_DELAY_MS set, the record is written that many
// milliseconds after the port is bound (a Core that is slow to get ready).
// In every mode one line "<pid> <mode>" is appended to $TWK_FAKE_CORE_STARTS
// (when set) before anything else, and the first line of every request
// received is appended to $TWK_FAKE_CORE_REQUESTS (when set), followed by its
// Authorization header, if any, on the same line after " | ".
// Plain POSIX on purpose: nothing here may depend on the code under test.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "wire.h"

using twk::testing::read_request;
using twk::testing::send_all;

extern char** environ;

namespace {

std::string env_or(const char* name, const std::string& fallback) {
  const char* v = getenv(name);
  return v ? std::string(v) : fallback;
}

void append_line(const std::string& path, const std::string& line) {
  if (path.empty()) return;
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  (void)!write(fd, text.data(), text.size());  // one write: lines stay whole
  close(fd);
}

std::string read_link(const std::string& path) {
  char buf[4096];
  ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
  if (n < 0) return "?";
  return std::string(buf, static_cast<std::size_t>(n));
}

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  long idle_exit = 60;
};

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string key = argv[i];
    if (key == "--host") o.host = argv[i + 1];
    if (key == "--port") o.port = atoi(argv[i + 1]);
    if (key == "--idle-exit") o.idle_exit = atol(argv[i + 1]);
  }
  if (o.idle_exit <= 0) o.idle_exit = 60;
  return o;
}

int listen_on(const Options& o) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(o.port));
  if (inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(fd, 128) != 0) {
    fprintf(stderr, "fake-core: cannot listen on %s:%d: %s\n", o.host.c_str(),
            o.port, strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// Writes `text` beside `path` and renames it there, so that a reader never
// sees half of it.
void write_whole(const std::string& path, const std::string& text,
                 mode_t mode) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) {
    fprintf(stderr, "fake-core: cannot write %s: %s\n", tmp.c_str(),
            strerror(errno));
    return;
  }
  (void)fchmod(fd, mode);
  (void)!write(fd, text.data(), text.size());
  close(fd);
  rename(tmp.c_str(), path.c_str());
}

// Like Core's, the record is private to its owner whatever the umask: the
// hook ignores a record that others may write.
void write_record(const Options& o, pid_t pid) {
  std::string path = env_or("TWK_ENDPOINT_FILE", "");
  if (path.empty()) return;
  write_whole(path,
              "{\"url\":\"http://" + o.host + ":" + std::to_string(o.port) +
                  "\",\"token\":\"t\",\"pid\":" + std::to_string(pid) + "}",
              0600);
}

std::string header_value(const std::string& request, const std::string& name) {
  std::size_t head_end = request.find("\r\n\r\n");
  std::size_t at = request.find("\r\n" + name + ":");
  if (at == std::string::npos || at > head_end) return "";
  std::size_t start = at + 2 + name.size() + 1;
  while (start < request.size() && request[start] == ' ') ++start;
  std::size_t end = request.find("\r\n", start);
  return request.substr(start, end - start);
}

std::string reply(int status, const std::string& body) {
  const char* text = status == 200 ? "OK" : status == 503 ? "Unavailable" : "Not Found";
  return "HTTP/1.1 " + std::to_string(status) + " " + text +
         "\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void log_request(const std::string& request) {
  // A connection closed before a byte of a request came (a hook giving up
  // at its deadline while it connects) made no request.
  if (request.empty()) return;
  std::string line = request.substr(0, request.find("\r\n"));
  std::string auth = header_value(request, "Authorization");
  if (!auth.empty()) line += " | " + auth;
  append_line(env_or("TWK_FAKE_CORE_REQUESTS", ""), line);
}

// Waits until the peer closes the connection (or it fails), reading and
// dropping whatever arrives.
void hold_until_closed(int conn) {
  timeval none{0, 0};
  setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
  char buf[8192];
  for (;;) {
    ssize_t n = recv(conn, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EINTR)) return;
  }
}

// die-on-policy: takes the head off the connection without its body, a
// byte at a time (waiting 2 s at most for each). A policy request ends the
// process while the body is still unread; anything else is answered as
// usual.
void answer_or_die(int conn) {
  timeval two{2, 0};
  setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &two, sizeof two);
  std::string head;
  for (char c; !head.ends_with("\r\n\r\n"); head += c) {
    if (recv(conn, &c, 1, 0) != 1) return;
  }
  log_request(head);
  if (head.rfind("POST /v1/policy/hook ", 0) == 0) {
    pollfd p{conn, POLLIN, 0};
    poll(&p, 1, 2000);  // the body follows the head
    raise(SIGKILL);
  }
  if (head.rfind("GET /health ", 0) == 0) {
    send_all(conn, reply(200, "{\"status\":\"ok\"}"));
  } else {
    send_all(conn, reply(404, "{}"));
  }
  shutdown(conn, SHUT_WR);
}

// Answers one connection. With `close_on_health` set, the listening socket
// *close_on_health is closed (and set to -1) once a /health request was read,
// before it is answered: a connection the hook opens right after reading the
// reply must be refused, not queued on a socket that is about to close
// (which would reset it).
void answer(int conn, int health_status, int* close_on_health,
            bool hang_on_policy) {
  std::string request = read_request(conn, 2);
  std::string first_line = request.substr(0, request.find("\r\n"));
  log_request(request);

  if (first_line.rfind("GET /health ", 0) == 0) {
    if (close_on_health) {
      close(*close_on_health);
      *close_on_health = -1;
    }
    send_all(conn, reply(health_status, "{\"status\":\"ok\"}"));
  } else if (first_line.rfind("POST /v1/policy/hook ", 0) == 0) {
    if (hang_on_policy) {
      hold_until_closed(conn);
      return;
    }
    send_all(conn,
             reply(200, "{\"output\":" +
                            env_or("TWK_FAKE_CORE_OUTPUT", "null") + "}"));
  } else {
    send_all(conn, reply(404, "{}"));
  }
  shutdown(conn, SHUT_WR);
}

// Serves until `idle_exit` seconds pass without a connection. With
// `health_once`, the listening socket is closed after the first /health.
int serve(int listen_fd, const Options& o, int health_status,
          bool health_once, const std::string& mode = "ok") {
  for (;;) {
    pollfd p{listen_fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(o.idle_exit * 1000));
    if (r < 0 && errno == EINTR) continue;
    if (r == 0) return 0;  // idle
    int conn = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    if (mode == "die-on-policy") {
      answer_or_die(conn);
    } else {
      answer(conn, health_status, health_once ? &listen_fd : nullptr,
             mode == "hang-on-policy");
    }
    close(conn);
    if (listen_fd < 0) {
      sleep(static_cast<unsigned>(o.idle_exit));
      return 0;
    }
  }
}

std::string signal_set_text(const sigset_t& set) {
  std::string out;
  for (int s = 1; s < 65; ++s) {
    if (sigismember(&set, s) == 1) {
      if (!out.empty()) out += ",";
      out += std::to_string(s);
    }
  }
  return out;
}

std::string fd_flags(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return "?";
  std::string out = (flags & O_ACCMODE) == O_RDONLY   ? "r"
                    : (flags & O_ACCMODE) == O_WRONLY ? "w"
                                                      : "rw";
  if (flags & O_APPEND) out += ",append";
  return out;
}

// One "key=value" line per fact; repeated keys for lists.
void write_report(int argc, char** argv) {
  std::string path = env_or("TWK_FAKE_CORE_REPORT", "");
  if (path.empty()) return;
  std::string out;
  auto line = [&](const std::string& key, const std::string& value) {
    out += key + "=" + value + "\n";
  };
  for (int i = 1; i < argc; ++i) line("arg", argv[i]);
  for (char** e = environ; *e; ++e) line("env", *e);

  // Open descriptors, without the one that lists them.
  std::string fds;
  if (DIR* d = opendir("/proc/self/fd")) {
    int own = dirfd(d);
    std::vector<int> seen;
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      int fd = atoi(e->d_name);
      if (fd != own) seen.push_back(fd);
    }
    closedir(d);
    std::sort(seen.begin(), seen.end());
    for (int fd : seen) fds += (fds.empty() ? "" : ",") + std::to_string(fd);
  }
  line("fds", fds);
  for (int fd = 0; fd <= 2; ++fd) {
    line("fd" + std::to_string(fd), read_link("/proc/self/fd/" + std::to_string(fd)));
    line("fd" + std::to_string(fd) + "_flags", fd_flags(fd));
    int flags = fcntl(fd, F_GETFL);
    line("fd" + std::to_string(fd) + "_nonblock",
         flags < 0 ? "?" : (flags & O_NONBLOCK) ? "yes" : "no");
  }
  line("pid", std::to_string(getpid()));
  line("pgid", std::to_string(getpgid(0)));
  line("ppid", std::to_string(getppid()));

  sigset_t blocked;
  sigemptyset(&blocked);
  sigprocmask(SIG_BLOCK, nullptr, &blocked);
  line("blocked", signal_set_text(blocked));
  struct sigaction sa {};
  sigaction(SIGPIPE, nullptr, &sa);
  line("sigpipe", sa.sa_handler == SIG_DFL   ? "default"
                  : sa.sa_handler == SIG_IGN ? "ignore"
                                             : "handler");
  char cwd[4096];
  line("cwd", getcwd(cwd, sizeof cwd) ? cwd : "?");

  // The hook holds its start lock while Core starts.
  std::string endpoint_file = env_or("TWK_ENDPOINT_FILE", "");
  struct stat st;
  bool lock_held = stat((endpoint_file + ".start-lock").c_str(), &st) == 0;
  line("lock_held", lock_held ? "yes" : "no");
  char mode[8];
  snprintf(mode, sizeof mode, "%o", lock_held ? st.st_mode & 07777 : 0);
  line("lock_mode", mode);
  std::string state_dir = env_or("TARNWICK_HOME", "");
  line("state_dir_lock_held",
       !state_dir.empty() &&
               stat((state_dir + "/endpoint.json.start-lock").c_str(), &st) == 0
           ? "yes"
           : "no");

  write_whole(path, out, 0644);
}

void sleep_ms(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string mode = env_or("TWK_FAKE_CORE_MODE", "ok");
  append_line(env_or("TWK_FAKE_CORE_STARTS", ""),
              std::to_string(getpid()) + " " + mode);
  Options o = parse_options(argc, argv);
  // Both streams go to Core's log; tests look for these lines there.
  printf("fake-core %d started in mode %s\n", static_cast<int>(getpid()),
         mode.c_str());
  fflush(stdout);
  fprintf(stderr, "fake-core %d stderr\n", static_cast<int>(getpid()));

  if (mode == "exit3") return 3;
  if (mode == "sigkill") {
    raise(SIGKILL);
    return 1;
  }
  if (mode == "report") write_report(argc, argv);

  int listen_fd = listen_on(o);
  if (listen_fd < 0) return 1;

  if (mode == "no-record") {
    sleep_ms(o.idle_exit * 1000);
    return 0;
  }
  if (mode == "fork-pid") {
    pid_t child = fork();
    if (child == 0) {
      write_record(o, getpid());
      return serve(listen_fd, o, 200, false);
    }
    close(listen_fd);
    sleep_ms(o.idle_exit * 1000);
    return 0;
  }
  sleep_ms(atol(env_or("TWK_FAKE_CORE_DELAY_MS", "0").c_str()));
  write_record(o, getpid());
  if (mode == "health503") return serve(listen_fd, o, 503, false);
  if (mode == "refuse-after-health") return serve(listen_fd, o, 200, true);
  return serve(listen_fd, o, 200, false, mode);  // ok, report, and the rest
}
