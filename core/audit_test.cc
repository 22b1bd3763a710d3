// Audit records: what they hold, what they leave out, and appending them
// from many threads at once.
#include "audit.h"
#include "audit_view.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <thread>
#include <vector>

#include "sha256.h"
#include "twk/sys/files.h"
#include "twk/testing/faulty_io.h"
#include "test_util.h"

namespace twk::core {
namespace {

using testing::Contains;
using testing::ScratchDir;

TEST(Audit, LargeValuesAreRecordedBySizeAndHashOnly) {
  nlohmann::json small = {{"command", "ls"}};
  EXPECT_EQ(value_or_fingerprint(small, 100), small);
  // The limit is on the compact JSON text: {"command":"ls"} is 16 bytes.
  EXPECT_EQ(value_or_fingerprint(small, 16), small);
  nlohmann::json print = value_or_fingerprint(small, 15);
  EXPECT_EQ(print, (nlohmann::json{{"bytes", 16},
                                   {"sha256", sha256_hex(small.dump())}}));

  std::string secret(10000, 's');
  nlohmann::json big = {{"content", secret}};
  std::string text = value_or_fingerprint(big, kAuditInputBytes).dump();
  EXPECT_EQ(text.find("sss"), std::string::npos) << "recorded in full";
}

// A request as Core reads it off the wire.
Event request(const nlohmann::json& body) {
  Result<Event> event = Event::read(body.dump(), kMaxNesting);
  EXPECT_TRUE(event.ok()) << body;
  return *event;
}

nlohmann::json event() {
  return {{"agent", "claude-code"},
          {"context", {{"projectDir", "/work/app"}}},
          {"hook", "post-tool-use"},
          {"input",
           {{"session_id", "abc-123"},
            {"tool_name", "Read"},
            {"tool_input", {{"file_path", "/work/app/.env"}}},
            {"tool_response", {{"content", "API_KEY=hunter2"}}}}}};
}

TEST(Audit, ALineSaysWhoCalledWhatAndWhatWasDecided) {
  Verdict verdict;
  verdict.decision = Decision::kDeny;
  verdict.reason = "No secrets.";
  LayerVerdict user;
  user.layer = Layer::kUser;
  user.path = "/home/me/.tarnwick/policy.yaml";
  user.decision = Decision::kDeny;
  user.rule_index = 2;
  user.rule_name = "no-env";
  verdict.layers.push_back(user);

  std::string line = audit_line(WallTime(std::chrono::seconds(1714564800)),
                                request(event()), verdict);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  nlohmann::json record = nlohmann::json::parse(line);
  EXPECT_EQ(record["time"], "2024-05-01T12:00:00.000000Z");
  EXPECT_EQ(record["session"], "abc-123");
  EXPECT_EQ(record["hook"], "post-tool-use");
  EXPECT_EQ(record["agent"], "claude-code");
  EXPECT_EQ(record["tool"], "Read");
  EXPECT_EQ(record["project"], "/work/app");
  EXPECT_EQ(record["decision"], "deny");
  EXPECT_EQ(record["reason"], "No secrets.");
  EXPECT_EQ(record["rule"],
            (nlohmann::json{{"layer", "user"},
                            {"number", 3},
                            {"name", "no-env"},
                            {"file", "/home/me/.tarnwick/policy.yaml"}}));
  EXPECT_EQ(record["input"], event()["input"]["tool_input"]);
  // The response, however small, only by size and hash: it holds what
  // the tool read, and the log must not collect copies of it.
  EXPECT_EQ(line.find("hunter2"), std::string::npos) << line;
  std::string response = R"({"content":"API_KEY=hunter2"})";
  EXPECT_EQ(record["response"],
            (nlohmann::json{{"bytes", response.size()},
                            {"sha256", sha256_hex(response)}}));
}

TEST(Audit, ALineForAnEventWithoutDecisionOrRule) {
  nlohmann::json e = {{"hook", "pre-tool-use"}, {"input", "not an object"}};
  Verdict verdict;
  LayerVerdict broken;
  broken.path = "/p.yaml";
  broken.error = "line 1, column 2: bad";
  verdict.layers.push_back(broken);
  nlohmann::json record =
      nlohmann::json::parse(audit_line(WallTime(), request(e), verdict));
  EXPECT_EQ(record["decision"], "none");
  EXPECT_FALSE(record.contains("reason"));
  EXPECT_TRUE(record["rule"].is_null());
  EXPECT_TRUE(record["tool"].is_null());
  EXPECT_TRUE(record["session"].is_null());
  EXPECT_FALSE(record.contains("response"));
  EXPECT_EQ(record["policy_errors"][0]["error"], "line 1, column 2: bad");
}

TEST(Audit, LinesAreCompactWithSortedKeysWhateverTheEvent) {
  // Readers may rely on the form every other JSON Core writes: compact,
  // keys sorted, so the line is its own re-written parse.
  Verdict decided;
  decided.decision = Decision::kAsk;
  decided.reason = "Check \"this\"\n";
  LayerVerdict broken;
  broken.path = "/p.yaml";
  broken.error = "bad";
  decided.layers.push_back(broken);
  std::string big_command(5000, 'x');
  const std::vector<std::string> bodies = {
      event().dump(),
      // White space and unsorted keys in the request change nothing.
      R"({ "input" : { "tool_input" : { "z" : 1, "a" : [ 1.50, "s" ] },)"
      R"( "tool_name" : "Bash" }, "hook" : "pre-tool-use" })",
      R"({"input":{"tool_input":{"command":")" + big_command + R"("}}})",
      R"({"agent":{"input":null},"input":{"tool_response":null}})",
      "{}",
  };
  for (const std::string& body : bodies) {
    Result<Event> e = Event::read(body);
    ASSERT_TRUE(e.ok()) << body;
    for (const Verdict& verdict : {decided, Verdict{}}) {
      std::string line = audit_line(WallTime(), *e, verdict);
      nlohmann::json parsed = nlohmann::json::parse(line);
      EXPECT_EQ(line, parsed.dump()) << body;
      EXPECT_EQ(parsed.contains("policy_errors"), !verdict.layers.empty());
    }
  }
  Result<Event> large = Event::read(bodies[2]);
  std::string line = audit_line(WallTime(), *large, decided);
  EXPECT_EQ(line.find("xxxx"), std::string::npos);
  EXPECT_EQ(nlohmann::json::parse(line)["input"]["bytes"],
            large->tool_input_text().size());
}

TEST(Audit, ConcurrentAppendsNeverInterleaveNorGetLostInRotation) {
  ScratchDir dir;
  std::string path = audit_log_path((dir / "state"));
  // Small enough to rotate dozens of times under the writers' feet, and
  // enough copies kept that every line must still be somewhere.
  AuditLog log(path, nullptr, AuditRotation{64 << 10, 999});
  constexpr int kThreads = 8;
  constexpr int kLines = 100;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Lines long enough that a split write would show.
      std::string padding(3000 + t * 100, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        nlohmann::json line = {{"t", t}, {"i", i}, {"pad", padding}};
        EXPECT_TRUE(log.append(line.dump()));
      }
    });
  }
  for (std::thread& t : threads) t.join();

  std::vector<std::string> files = audit_log_files(path);
  EXPECT_GT(files.size(), 10u);
  std::vector<int> next(kThreads, 0);
  int count = 0;
  for (const std::string& file : files) {
    std::optional<std::string> text = sys::read_file(file, 1 << 30);
    ASSERT_TRUE(text) << file;
    // Past the size by at most the lines in flight when it was rotated.
    EXPECT_LE(text->size(), std::size_t(64 << 10) + kThreads * 4096) << file;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
      nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
      ASSERT_FALSE(record.is_discarded()) << "torn line " << count;
      int t = record["t"];
      EXPECT_EQ(record["i"], next[t]++);  // each thread's lines in order
      ++count;
    }
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_EQ(testing::path_mode(path), 0600);
  EXPECT_EQ(testing::path_mode((dir / "state/logs")), 0700);

  // Only `keep` copies stay.
  AuditLog few(path, nullptr, AuditRotation{4096, 2});
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(few.append(std::string(3000, 'x')));
  EXPECT_EQ(audit_log_files(path).size(), files.size());
  EXPECT_EQ(testing::path_mode(path + ".3"), 0600);  // left from before
}

TEST(Audit, RecordsGoToTheSystemLogAsWellOrInstead) {
  ScratchDir dir;
  std::string path = audit_log_path((dir / "state"));
  std::vector<std::string> sent;
  auto sink = [&](std::string_view line) { sent.emplace_back(line); };
  AuditLog also(path, nullptr, {}, AuditSyslog::kAlso, sink);
  ASSERT_TRUE(also.append("{\"n\":1}"));
  AuditLog only(path, nullptr, {}, AuditSyslog::kOnly, sink);
  ASSERT_TRUE(only.append("{\"n\":2}"));
  EXPECT_EQ(sent, (std::vector<std::string>{"{\"n\":1}", "{\"n\":2}"}));
  EXPECT_EQ(sys::read_file(path), "{\"n\":1}\n");
}

TEST(Audit, StartsAFreshFileWhenTheOldOneIsGoneAndReportsFailures) {
  ScratchDir dir;
  std::string path = (dir / "logs/audit.jsonl");
  std::vector<std::string> messages;
  AuditLog log(path, [&](std::string_view m) { messages.emplace_back(m); });
  // A strict umask would leave the owner unable to append.
  mode_t old = ::umask(0277);
  ASSERT_TRUE(log.append("{\"n\":1}"));
  ::umask(old);
  EXPECT_EQ(testing::path_mode(path), 0600);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_TRUE(log.append("{\"n\":2}"));
  EXPECT_EQ(sys::read_file(path), "{\"n\":2}\n");
  EXPECT_TRUE(messages.empty());

  // A directory where the file should be: the failure is logged once,
  // and recovery is logged too.
  ASSERT_EQ(::unlink(path.c_str()), 0);
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  EXPECT_FALSE(log.append("{}"));
  EXPECT_FALSE(log.append("{}"));
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_TRUE(Contains(messages[0], "couldn't open"));
  ASSERT_EQ(::rmdir(path.c_str()), 0);
  EXPECT_TRUE(log.append("{}"));
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_TRUE(Contains(messages[1], "works again"));
}

// A full disk that cuts a record short loses that record only: the next
// one starts on a line of its own, and the failure is reported once.
TEST(Audit, ATornLineCostsOnlyItsOwnRecord) {
  ScratchDir dir;
  std::string path = (dir / "logs/audit.jsonl");
  std::vector<std::string> messages;
  AuditLog log(path, [&](std::string_view m) { messages.emplace_back(m); });
  ASSERT_TRUE(log.append("{\"n\":1}"));
  {
    twk::testing::FaultyIo io;
    io.bytes_left = 4;
    EXPECT_FALSE(log.append("{\"n\":2}"));
    io.bytes_left = 0;
    EXPECT_FALSE(log.append("{\"n\":3}"));
  }
  ASSERT_TRUE(log.append("{\"n\":4}"));
  EXPECT_EQ(sys::read_file(path), "{\"n\":1}\n{\"n\"\n{\"n\":4}\n");
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_TRUE(Contains(messages[0], "couldn't write a whole line"));
  EXPECT_TRUE(Contains(messages[1], "works again"));
}

TEST(Audit, RefusesPlantedFilesInsteadOfBlockingOrWritingThere) {
  ScratchDir dir;
  std::string logs = (dir / "logs");
  std::string path = logs + "/audit.jsonl";
  ASSERT_EQ(::mkdir(logs.c_str(), 0700), 0);
  // A FIFO nobody reads: the open fails at once instead of blocking the
  // request that wants to record its decision.
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  AuditLog log(path, nullptr);
  EXPECT_FALSE(log.append("{}"));
  ASSERT_EQ(::unlink(path.c_str()), 0);

  // logs/ swapped for a link to a directory of someone else's choosing:
  // nothing is written through it.
  std::string elsewhere = (dir / "elsewhere");
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(::rmdir(logs.c_str()), 0);
  ASSERT_EQ(::symlink(elsewhere.c_str(), logs.c_str()), 0);
  EXPECT_FALSE(log.append("{}"));
  EXPECT_EQ(testing::path_mode(elsewhere + "/audit.jsonl"), -1);
}

}  // namespace
}  // namespace twk::core
