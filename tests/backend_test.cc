// Runs the built twk-backend as the hook does (own environment, endpoint
// record path, stdout and stderr to files) and talks to it over raw
// sockets.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "twk/sys/fd.h"
#include "twk/sys/files.h"
#include "harness.h"

extern char** environ;

namespace twk::core {
namespace {

using namespace std::chrono_literals;
using twk::testing::ScratchDir;
using twk::testing::path_mode;
using Clock = std::chrono::steady_clock;

constexpr char kBackend[] = TWK_BACKEND_PATH;

// The test's environment without any variable that chooses the record's
// place, with `extra` set over it.
std::map<std::string, std::string> child_env(
    const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> env = extra;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string_view v(*e);
    std::string name(v.substr(0, v.find('=')));
    if (name != "TWK_ENDPOINT_FILE" && name != "TARNWICK_HOME") {
      env.emplace(name, v.substr(name.size() + 1));
    }
  }
  return env;
}

std::string read_text(const std::string& path) {
  return sys::read_file(path).value_or("");
}

// One client connection over a raw socket.
class Conn {
 public:
  explicit Conn(std::uint16_t port) : fd_(testing::connect_loopback(port)) {}

  bool connected() const { return fd_.valid(); }
  const std::string& received() const { return received_; }
  bool send(const std::string& data) {
    return testing::send_all(fd_.get(), data);
  }

  // Reads until `marker` has arrived (without one: until the peer closes);
  // false when the peer closed before the marker, or after `limit`.
  bool read_until(std::optional<std::string_view> marker,
                  std::chrono::milliseconds limit = 3000ms) {
    auto end = Clock::now() + limit;
    while (!marker || received_.find(*marker) == std::string::npos) {
      if (int r = read_once(end); r != 1) return !marker && r == 0;
    }
    return true;
  }
  bool read_to_close(std::chrono::milliseconds limit = 3000ms) {
    return read_until(std::nullopt, limit);
  }

 private:
  // 1: data, 0: closed by the peer (a reset after the reply included),
  // -1: timed out or failed.
  int read_once(Clock::time_point end) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - Clock::now());
    if (left.count() <= 0) return -1;
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return -1;
    char buffer[4096];
    ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
    if (n > 0) {
      received_.append(buffer, static_cast<std::size_t>(n));
      return 1;
    }
    return n == 0 || errno == ECONNRESET ? 0 : -1;
  }

  sys::UniqueFd fd_;
  std::string received_;
};

// What came back on one connection: all bytes until the peer closed, and
// whether it did close (rather than leaving the connection open).
struct Exchange {
  std::string bytes;
  bool closed = false;
  bool connected = false;
};

Exchange round_trip(std::uint16_t port, const std::string& request) {
  Exchange result;
  Conn conn(port);
  result.connected = conn.connected();
  if (!result.connected || !conn.send(request)) return result;
  result.closed = conn.read_to_close();
  result.bytes = conn.received();
  return result;
}

// The request bytes the hook sends (see the hook's HTTP client).
std::string hook_request(std::string_view method, std::string_view path,
                         std::uint16_t port,
                         std::optional<std::string> token = std::nullopt,
                         std::string_view body = "") {
  std::string r = std::string(method) + " " + std::string(path) +
                  " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                  "\r\nContent-Type: application/json\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n";
  if (token) r += "Authorization: Bearer " + *token + "\r\n";
  r += "\r\n";
  r += body;
  return r;
}

int status_of(const std::string& reply) {
  // "HTTP/1.1 200 OK"
  if (reply.size() < 12 || reply.compare(0, 5, "HTTP/") != 0) return -1;
  return std::atoi(reply.c_str() + 9);
}

std::string body_of(const std::string& reply) {
  std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(c));
  return s;
}

// True when the reply's head has `line` as one whole header line, compared
// without regard to case.
bool has_header_line(const std::string& reply, const std::string& line) {
  std::string head = reply.substr(0, reply.find("\r\n\r\n")) + "\r\n";
  return lower(head).find(lower("\r\n" + line + "\r\n")) != std::string::npos;
}

bool all_of_chars(std::string_view s, std::string_view allowed) {
  return !s.empty() && s.find_first_not_of(allowed) == std::string_view::npos;
}

// True when `log` has a request line "<timestamp> <rest><micros>us".
bool has_request_line(const std::string& log, const std::string& rest) {
  std::size_t start = 0;
  while (start < log.size()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string::npos) return false;  // unterminated: not flushed
    std::string_view line(log.data() + start, end - start);
    start = end + 1;
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos || line[space - 1] != 'Z' ||
        line.substr(space + 1, rest.size()) != rest) {
      continue;
    }
    std::string_view micros = line.substr(space + 1 + rest.size());
    if (micros.size() > 2 && micros.ends_with("us") &&
        all_of_chars(micros.substr(0, micros.size() - 2), "0123456789")) {
      return true;
    }
  }
  return false;
}

std::size_t count_of(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

// The record at `path` once it parses and names `pid`.
std::optional<nlohmann::json> wait_for_record(const std::string& path,
                                              pid_t pid) {
  auto end = Clock::now() + 5s;
  while (Clock::now() < end) {
    if (auto text = sys::read_file(path)) {
      auto value = nlohmann::json::parse(*text, nullptr, false);
      if (value.is_object() && value.contains("pid") &&
          value["pid"] == static_cast<long long>(pid)) {
        return value;
      }
    }
    std::this_thread::sleep_for(2ms);
  }
  return std::nullopt;
}

class BackendTest : public ::testing::Test {
 protected:
  std::string record_path() const { return (dir_ / "state/endpoint.json"); }
  std::string out_path() const { return (dir_ / "stdout.log"); }
  std::string err_path() const { return (dir_ / "stderr.log"); }
  std::string state_dir() const { return (dir_ / "state"); }
  std::string audit_path() const { return (dir_ / "state/logs/audit.jsonl"); }

  // A whole policy request carrying `event` (see testing::body_for), with
  // Core's token.
  std::string policy_request(const std::string& event) const {
    return hook_request("POST", "/v1/policy/hook", port_, token_, event);
  }
  Exchange health() const {
    return round_trip(port_, hook_request("GET", "/health", port_));
  }

  // POSTs a pre-tool-use event for a Bash `command`; returns the reply.
  std::string ask(const std::string& command,
                  const std::string& session = "s") {
    nlohmann::json input = {{"session_id", session},
                            {"tool_name", "Bash"},
                            {"tool_input", {{"command", command}}}};
    return round_trip(port_, policy_request(testing::body_for(
                                 "pre-tool-use", input.dump())))
        .bytes;
  }

  // Starts the backend as the hook does (stdin from /dev/null, stdout and
  // stderr appended to files), with TWK_ENDPOINT_FILE in the temp
  // directory, and waits for its record. The state directory (policy,
  // audit log) is state_dir(), never the real home's.
  void start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {kBackend, "--host", "127.0.0.1", "--port", "0"});
    child_ = std::make_unique<testing::BackgroundProcess>(
        args,
        child_env({{"TWK_ENDPOINT_FILE", record_path()},
                   {"TARNWICK_HOME", state_dir()}}),
        out_path(), err_path());
    std::optional<nlohmann::json> record =
        wait_for_record(record_path(), child_->pid());
    ASSERT_TRUE(record) << "no record; stderr: " << read_text(err_path());
    record_ = *record;
    token_ = record_["token"].get<std::string>();
    port_ = static_cast<std::uint16_t>(
        testing::record_port(record_["url"].get<std::string>()));
  }

  ScratchDir dir_;
  std::unique_ptr<testing::BackgroundProcess> child_;
  nlohmann::json record_;
  std::string token_;
  std::uint16_t port_ = 0;
};

TEST_F(BackendTest, WritesARecordTheHookAccepts) {
  ASSERT_NO_FATAL_FAILURE(start());
  EXPECT_EQ(path_mode(record_path()), 0600);
  EXPECT_EQ(path_mode((dir_ / "state")), 0700);
  EXPECT_EQ(record_.size(), 3u) << record_.dump();
  EXPECT_EQ(record_["pid"], child_->pid());
  EXPECT_EQ(token_.size(), 64u);
  EXPECT_TRUE(all_of_chars(token_, "0123456789abcdef")) << token_;
  std::string url = record_["url"].get<std::string>();
  EXPECT_TRUE(url.starts_with("http://127.0.0.1:") &&
              all_of_chars(url.substr(17), "0123456789") && port_ != 0)
      << url;
  // The hook checks that the recorded pid runs the binary it started.
  EXPECT_EQ(sys::canonical("/proc/" + std::to_string(child_->pid()) + "/exe"),
            sys::canonical(kBackend));

  // The recorded port is really this process's.
  Exchange e = health();
  ASSERT_TRUE(e.connected);
  EXPECT_EQ(status_of(e.bytes), 200) << e.bytes;
  EXPECT_TRUE(e.closed) << "connection left open after the reply";
  EXPECT_TRUE(has_header_line(e.bytes, "Connection: close")) << e.bytes;
}

// Every request gets its status and one line in the log, already flushed
// when the reply has arrived; broken requests and clients that leave
// halfway do not stop Core from serving the next.
TEST_F(BackendTest, AnswersThePolicyExchangeAndRefusesBrokenRequests) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string event =
      testing::body_for("pre-tool-use", R"({"tool_name":"Bash"})");
  Exchange ok = round_trip(port_, policy_request(event));
  EXPECT_EQ(status_of(ok.bytes), 200) << ok.bytes;
  EXPECT_EQ(body_of(ok.bytes), R"({"output":null})");
  EXPECT_TRUE(has_header_line(ok.bytes, "Content-Type: application/json"))
      << ok.bytes;
  EXPECT_TRUE(ok.closed);

  std::string wrong = token_;
  wrong.back() = wrong.back() == '0' ? '1' : '0';
  const std::string hook = "/v1/policy/hook";
  const struct {
    std::string request;
    int status;
  } cases[] = {
      {hook_request("POST", hook, port_, wrong, event), 401},
      {hook_request("POST", hook, port_, std::nullopt, event), 401},
      {hook_request("POST", hook, port_, token_, "{not json"), 400},
      {hook_request("GET", "/elsewhere", port_), 404},
      {hook_request("GET", hook, port_), 405},
      {"GARBAGE\r\n\r\n", 400},
      {"GET /health HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n",
       431},
      {"POST /v1/policy/hook HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
       "0\r\n\r\n",
       501},
      {"POST /v1/policy/hook HTTP/1.1\r\nContent-Length: 999999999999\r\n\r\n",
       413},
      {"GET /health HTTP/3.0\r\n\r\n", 505},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 60));
    Exchange e = round_trip(port_, c.request);
    EXPECT_EQ(status_of(e.bytes), c.status) << e.bytes;
    EXPECT_TRUE(e.closed);
  }
  {
    Conn quitter(port_);
    ASSERT_TRUE(quitter.send("POST /v1/policy/hook HTTP/1.1\r\nContent-Le"));
  }
  {
    Conn quitter(port_);
    // The head promises 100 bytes of body; 5 arrive.
    ASSERT_TRUE(
        quitter.send("POST /v1/policy/hook HTTP/1.1\r\nAuthorization: Bearer " +
                     token_ + "\r\nContent-Length: 100\r\n\r\n{\"a\":"));
  }
  EXPECT_EQ(status_of(health().bytes), 200);

  std::string log = read_text(out_path());
  EXPECT_NE(log.find(" started: pid " + std::to_string(child_->pid())),
            std::string::npos)
      << log;
  EXPECT_TRUE(has_request_line(log, "POST /v1/policy/hook 200 ")) << log;
  EXPECT_EQ(count_of(log, " POST /v1/policy/hook 401 "), 2u) << log;
  EXPECT_EQ(count_of(log, " GET /elsewhere 404 "), 1u) << log;
  EXPECT_EQ(count_of(log, " - - 400 "), 1u) << log;
  EXPECT_EQ(count_of(log, " - - 431 "), 1u) << log;
  EXPECT_EQ(read_text(err_path()), "");
}

TEST_F(BackendTest, SendsOneReplyPerConnection) {
  ASSERT_NO_FATAL_FAILURE(start());
  // Two requests in one write: a server that kept the connection alive
  // would answer both (or keep reading); Core answers the first and closes.
  std::string two = hook_request("GET", "/health", port_) +
                    hook_request("GET", "/health", port_);
  Exchange e = round_trip(port_, two);
  EXPECT_TRUE(e.closed);
  EXPECT_EQ(count_of(e.bytes, "HTTP/1.1 "), 1u) << e.bytes;
  EXPECT_EQ(status_of(e.bytes), 200);
}

TEST_F(BackendTest, ReadsRequestsThatArriveInPieces) {
  ASSERT_NO_FATAL_FAILURE(start());
  const std::string event = testing::body_for("post-tool-use", "null");
  std::string request = policy_request(event);

  // Byte by byte up to the middle of the blank line that ends the head,
  // then the rest of it with half the body, then the other half: the blank
  // line and the body both straddle reads.
  Conn slow(port_);
  ASSERT_TRUE(slow.connected());
  std::size_t split = request.find("\r\n\r\n") + 2;
  for (std::size_t i = 0; i < split; ++i) {
    ASSERT_TRUE(slow.send(request.substr(i, 1)));
  }
  std::size_t half = split + 2 + event.size() / 2;
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(slow.send(request.substr(split, half - split)));
  std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(slow.send(request.substr(half)));
  ASSERT_TRUE(slow.read_to_close());
  EXPECT_EQ(status_of(slow.received()), 200) << slow.received();
  EXPECT_EQ(body_of(slow.received()), R"({"output":null})");

  // A client that waits for "100 Continue" before it sends the body.
  std::string head = request.substr(0, request.find("\r\n\r\n"));
  Conn polite(port_);
  ASSERT_TRUE(polite.send(head + "\r\nExpect: 100-continue\r\n\r\n"));
  ASSERT_TRUE(polite.read_until("HTTP/1.1 100 Continue\r\n\r\n"))
      << polite.received();
  ASSERT_TRUE(polite.send(event));
  ASSERT_TRUE(polite.read_to_close());
  EXPECT_NE(polite.received().find("\r\n\r\nHTTP/1.1 200 OK\r\n"),
            std::string::npos)
      << polite.received();

  // HEAD gets the headers of GET without the body.
  Exchange e = round_trip(port_, hook_request("HEAD", "/health", port_));
  EXPECT_EQ(status_of(e.bytes), 200);
  EXPECT_TRUE(has_header_line(e.bytes, "Content-Length: 15")) << e.bytes;
  EXPECT_EQ(body_of(e.bytes), "");
}

TEST_F(BackendTest, StalledClientsDelayNoOne) {
  ASSERT_NO_FATAL_FAILURE(start());
  // Connections that send nothing, or half a request, hold no one up, also
  // when there are more of them than workers waiting for connections.
  std::vector<std::unique_ptr<Conn>> stalled;
  for (int i = 0; i < 5; ++i) stalled.push_back(std::make_unique<Conn>(port_));
  Conn half(port_);
  ASSERT_TRUE(half.send("GET /hea"));
  // Each exchange must end within read_to_close's 3 s, far inside the
  // 10 s that a stalled connection may hold its worker.
  for (int i = 0; i < 3; ++i) {
    Exchange e = health();
    EXPECT_EQ(status_of(e.bytes), 200);
    EXPECT_TRUE(e.closed);
  }
}

TEST_F(BackendTest, HoldsNoBodyForClientsWithoutTheToken) {
  ASSERT_NO_FATAL_FAILURE(start());
  // Without the token a request is refused from its head: no "100
  // Continue", no wait for the body, no memory for it, however many such
  // clients there are.
  const std::string head =
      "POST /v1/policy/hook HTTP/1.1\r\nContent-Length: 67108864\r\n"
      "Expect: 100-continue\r\n\r\n";
  const std::string chunk(2 << 20, '{');
  std::vector<std::unique_ptr<Conn>> clients;
  for (int i = 0; i < 48; ++i) {
    clients.push_back(std::make_unique<Conn>(port_));
    ASSERT_TRUE(clients.back()->send(head));
    (void)clients.back()->send(chunk);  // fails once Core has closed
  }
  std::this_thread::sleep_for(300ms);  // for Core to take what was sent
  std::string status = read_text("/proc/" + std::to_string(child_->pid()) +
                                 "/status");
  std::size_t at = status.find("VmHWM:");  // the peak resident size
  ASSERT_NE(at, std::string::npos);
  EXPECT_LT(std::atol(status.c_str() + at + 6), 64 * 1024) << "kB";
  for (auto& c : clients) {
    c->read_to_close(1000ms);
    EXPECT_EQ(status_of(c->received()), 401) << c->received().substr(0, 60);
  }
}

TEST_F(BackendTest, AnswersTheRequestInProgressWhenStopped) {
  ASSERT_NO_FATAL_FAILURE(start());
  std::string request = policy_request(testing::body_for("pre-tool-use", "{}"));
  Conn conn(port_);
  ASSERT_TRUE(conn.send(request.substr(0, request.size() - 5)));
  std::this_thread::sleep_for(50ms);  // let Core take the connection
  ASSERT_EQ(::kill(child_->pid(), SIGTERM), 0);

  // The record goes at once, so no new hook finds this Core...
  auto end = Clock::now() + 2s;
  while (path_mode(record_path()) != -1 && Clock::now() < end) {
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_EQ(path_mode(record_path()), -1);
  EXPECT_FALSE(child_->wait_exit(100ms)) << "left a request unanswered";
  // ...but the hook that is already talking to it gets its answer.
  ASSERT_TRUE(conn.send(request.substr(request.size() - 5)));
  ASSERT_TRUE(conn.read_to_close());
  EXPECT_EQ(status_of(conn.received()), 200) << conn.received();
  std::optional<int> status = child_->wait_exit(3s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_NE(read_text(out_path()).find("stopping: received SIGTERM"),
            std::string::npos);
}

TEST_F(BackendTest, IdleTimeStartsWhenTheLastConnectionEnds) {
  ASSERT_NO_FATAL_FAILURE(start({"--idle-exit", "1"}));
  Conn conn(port_);
  ASSERT_TRUE(conn.send("GET /health HTTP/1.1\r\n"));
  // Longer than the idle time, but a request is in progress.
  EXPECT_FALSE(child_->wait_exit(1500ms)) << "exited during a request";
  ASSERT_TRUE(conn.send("\r\n"));
  ASSERT_TRUE(conn.read_to_close());
  EXPECT_EQ(status_of(conn.received()), 200);
  EXPECT_TRUE(child_->wait_exit(4s));
}

TEST_F(BackendTest, ExitsWhenIdleAndRemovesItsRecord) {
  auto started = Clock::now();
  ASSERT_NO_FATAL_FAILURE(start({"--idle-exit", "1"}));
  std::optional<int> status = child_->wait_exit(6s);
  ASSERT_TRUE(status) << "still running after 6 s with --idle-exit 1";
  EXPECT_GE(Clock::now() - started, 900ms) << "exited before its idle time";
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
  EXPECT_EQ(path_mode(record_path()), -1) << "record left behind";
  EXPECT_NE(read_text(out_path()).find("stopping: idle for 1s"),
            std::string::npos)
      << read_text(out_path());
}

// The permission decision in an answer body, or "" for {"output":null}.
std::string decision_of(const std::string& reply) {
  nlohmann::json body = nlohmann::json::parse(body_of(reply), nullptr, false);
  if (!body.is_object() || !body["output"].is_object()) return "";
  return body["output"]["hookSpecificOutput"]["permissionDecision"];
}

TEST_F(BackendTest, DecidesByItsPolicyFileAndFollowsItsChanges) {
  ASSERT_NO_FATAL_FAILURE(start());
  // No policy file: the built-in policy.
  EXPECT_EQ(decision_of(ask("rm -rf ~")), "deny");
  EXPECT_EQ(decision_of(ask("ls")), "");

  const std::string policy = state_dir() + "/policy.yaml";
  std::ofstream(policy + ".new")
      << "checks: {recursive-delete: off}\n"
         "rules:\n  - tool: Bash\n    input: {command: '^ls'}\n"
         "    decision: deny\n";
  ASSERT_EQ(::rename((policy + ".new").c_str(), policy.c_str()), 0);
  EXPECT_EQ(decision_of(ask("ls")), "deny");
  EXPECT_EQ(decision_of(ask("rm -rf /srv/x")), "");  // the file switched it off

  std::ofstream(policy + ".new") << "rules:\n  - tool: Bash\n  decision: x\n";
  ASSERT_EQ(::rename((policy + ".new").c_str(), policy.c_str()), 0);
  EXPECT_EQ(decision_of(ask("ls")), "deny");  // the last good rules deny it
  std::string reply = ask("pwd");
  EXPECT_EQ(decision_of(reply), "ask");
  EXPECT_NE(reply.find("is broken (line 3, column 3"), std::string::npos)
      << reply;
  std::string log = read_text(out_path());
  EXPECT_NE(log.find("policy.yaml is broken: line 3, column 3: "),
            std::string::npos)
      << log;

  // Every event left one audit line.
  std::optional<std::string> audit = sys::read_file(audit_path());
  ASSERT_TRUE(audit);
  EXPECT_EQ(count_of(*audit, "\n"), 6u) << *audit;
  EXPECT_EQ(path_mode(audit_path()), 0600);
  nlohmann::json last = nlohmann::json::parse(
      audit->substr(audit->rfind('\n', audit->size() - 2) + 1));
  EXPECT_EQ(last["decision"], "ask");
  EXPECT_EQ(last["input"]["command"], "pwd");
  EXPECT_EQ(last["tool"], "Bash");
}

TEST_F(BackendTest, ConcurrentRequestsEachLeaveOneWholeAuditLine) {
  ASSERT_NO_FATAL_FAILURE(start());
  constexpr int kClients = 24;
  std::vector<std::thread> clients;
  std::vector<std::string> replies(kClients);
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      // Long commands, so that a line written in pieces would show.
      replies[i] = ask("echo " + std::string(2000 + i, 'x') + " && rm -rf ~",
                       "session-" + std::to_string(i));
    });
  }
  for (std::thread& t : clients) t.join();
  for (const std::string& reply : replies) {
    EXPECT_EQ(decision_of(reply), "deny") << reply.substr(0, 200);
  }
  std::optional<std::string> audit = sys::read_file(audit_path());
  ASSERT_TRUE(audit);
  std::set<std::string> sessions;
  std::size_t start = 0;
  while (start < audit->size()) {
    std::size_t end = audit->find('\n', start);
    ASSERT_NE(end, std::string::npos) << "unterminated last line";
    nlohmann::json line = nlohmann::json::parse(
        audit->substr(start, end - start), nullptr, false);
    ASSERT_TRUE(line.is_object()) << audit->substr(start, 100);
    EXPECT_EQ(line["rule"]["check"], "recursive-delete");
    sessions.insert(line["session"].get<std::string>());
    start = end + 1;
  }
  EXPECT_EQ(sessions.size(), static_cast<std::size_t>(kClients));
}

// Core stops once its record no longer names it: replaced by another
// Core's, removed (e.g. by a hook that gave this Core up), or with only the
// url pointed elsewhere. A successor's record is left alone, also when Core
// is stopped by a signal; a tampered one goes with Core.
TEST_F(BackendTest, ExitsOnceItsRecordNamesAnotherCore) {
  const std::string successor =
      R"({"pid":1,"token":"other","url":"http://127.0.0.1:1"})";
  struct Case {
    const char* name;
    std::optional<std::string> record;  // written over it; nothing: removed
    bool redirect = false;  // the own record with the url pointed elsewhere
    int signal = 0;         // sent right after
    std::optional<std::string> left = std::nullopt;  // the record afterwards
    std::string log = "";
  } cases[] = {
      {"successor's record", successor, false, 0, successor,
       "stopping: the endpoint record no longer names this Core"},
      {"removed", std::nullopt},
      {"url pointed elsewhere", std::nullopt, true, 0, std::nullopt,
       "changed by someone else"},
      {"successor's record, then SIGINT", successor, false, SIGINT, successor},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_NO_FATAL_FAILURE(start());
    if (c.redirect) {
      nlohmann::json tampered = record_;
      tampered["url"] = "http://127.0.0.1:1";
      std::ofstream(record_path(), std::ios::trunc) << tampered.dump();
    } else if (c.record) {
      std::ofstream(record_path(), std::ios::trunc) << *c.record;
    } else {
      ASSERT_EQ(::unlink(record_path().c_str()), 0);
    }
    if (c.signal) {
      ASSERT_EQ(::kill(child_->pid(), c.signal), 0);
    }
    std::optional<int> status = child_->wait_exit(5s);
    ASSERT_TRUE(status) << "still running";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    if (c.left) {
      EXPECT_EQ(read_text(record_path()), *c.left);
    } else {
      EXPECT_EQ(path_mode(record_path()), -1);
    }
    EXPECT_NE(read_text(out_path()).find(c.log), std::string::npos)
        << read_text(out_path());
  }
}

TEST_F(BackendTest, FindsItsRecordPathWithoutTwkEndpointFile) {
  child_ = std::make_unique<testing::BackgroundProcess>(
      std::vector<std::string>{kBackend, "--port", "0"},
      child_env({{"TARNWICK_HOME", dir_ / "home"}}), out_path(), err_path());
  EXPECT_TRUE(wait_for_record((dir_ / "home/endpoint.json"), child_->pid()))
      << read_text(err_path());
}

// Runs that end at once: help, wrong command lines, and a Core that cannot
// serve, which says why and exits with status 1. None of them gets as far
// as writing a record.
TEST_F(BackendTest, CommandLineHelpErrorsAndFailuresToStart) {
  // A listener with SO_REUSEPORT: a server that also set it could share the
  // port and silently take half of its connections.
  sys::UniqueFd taken(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int yes = 1;
  ::setsockopt(taken.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  ::setsockopt(taken.get(), SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
  std::string port = std::to_string(testing::bind_loopback(taken.get()));
  ASSERT_NE(port, "0");
  ASSERT_EQ(::listen(taken.get(), 1), 0);
  sys::UniqueFd zero(::open("/dev/zero", O_RDONLY | O_CLOEXEC));
  struct Case {
    std::vector<std::string> args;  // after the backend
    int status;
    std::string text;  // in stderr, or at the start of stdout for status 0
    std::vector<std::string> wrapper = {};
    bool zero_stdin = false;
  } cases[] = {
      {{"--help"}, 0, "Usage: twk-backend"},
      {{"--port", "70000"}, 2, "--port"},
      {{"--bogus"}, 2, "--bogus"},
      {{"--port", port}, 1, "couldn't listen on 127.0.0.1:" + port},
      // Each thread's stack is the size of the stack limit, which no
      // mapping fits in under the address space limit: not one thread can
      // be had. (The sanitizers' own mappings would not fit either.)
      {{"--port", "0"}, 1,
       "couldn't start the workers: couldn't start a worker thread",
       {"/bin/sh", "-c",
        "ulimit -s 1048576 && ulimit -v 262144 && exec \"$0\" \"$@\""}},
      // explain reads an event, not whatever standard input can produce.
      {{"explain"}, 1, "larger than", {}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.text);
    if (testing::kAsan && !c.wrapper.empty()) continue;
    std::vector<std::string> argv = c.wrapper;
    argv.push_back(kBackend);
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    testing::ProgramRun run;
    run.program = argv.front();
    run.args.assign(argv.begin() + 1, argv.end());
    run.env = child_env({{"TWK_ENDPOINT_FILE", record_path()}});
    if (c.zero_stdin) run.inherit_fds = {{zero.get(), 0}};
    testing::RunResult r = testing::run_program(run);
    EXPECT_FALSE(r.killed) << "still running";
    EXPECT_EQ(r.exit_status, c.status);
    if (c.status == 0) {
      EXPECT_TRUE(r.out.starts_with(c.text)) << r.out;
    } else {
      EXPECT_NE(r.err.find(c.text), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(path_mode(record_path()), -1);
}

}  // namespace
}  // namespace twk::core
