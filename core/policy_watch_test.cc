// Policy files that change under a running Core: reloads, broken versions,
// removal, and the bounded cache of project policies.
#include "policy_watch.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>
#include <vector>

#include "test_util.h"
#include "twk/testing/faulty_io.h"

namespace twk::core {
namespace {

using testing::Contains;
using testing::replace_text;
using testing::ScratchDir;
using testing::write_text;

// A policy file in a scratch directory, and what its watcher logs.
class PolicyFileTest : public ::testing::Test {
 protected:
  PolicyFile watch() {
    return PolicyFile(path,
                      [this](std::string_view l) { log.emplace_back(l); });
  }
  ScratchDir dir;
  std::string path = (dir / "policy.yaml");
  std::vector<std::string> log;
};

TEST_F(PolicyFileTest, FollowsTheFileThroughItsVersions) {
  PolicyFile file = watch();

  PolicySnapshot s = file.current();
  EXPECT_EQ(s.state, PolicyState::kMissing);
  EXPECT_FALSE(s.rules);

  write_text(path, "default: deny\n");
  s = file.current();
  ASSERT_EQ(s.state, PolicyState::kLoaded);
  EXPECT_EQ(s.rules->default_decision, Decision::kDeny);

  // Unchanged: the same rules object, no new read and no new log line.
  std::size_t lines = log.size();
  EXPECT_EQ(file.current().rules, s.rules);

  // Rewritten in place within the same clock tick, same size: the stamp
  // may not change, but the text is compared while the file is recent.
  write_text(path, "default: ask \n");
  s = file.current();
  ASSERT_EQ(s.state, PolicyState::kLoaded);
  EXPECT_EQ(s.rules->default_decision, Decision::kAsk);
  EXPECT_GT(log.size(), lines);

  replace_text(path, "rules:\n  - tool: Bash\n    decision: allow\n");
  s = file.current();
  ASSERT_EQ(s.state, PolicyState::kLoaded);
  EXPECT_EQ(s.rules->rules.size(), 1u);

  ASSERT_EQ(::unlink(path.c_str()), 0);
  s = file.current();
  EXPECT_EQ(s.state, PolicyState::kMissing);
  EXPECT_FALSE(s.rules);
  EXPECT_TRUE(Contains(log.back(), "was removed"));
}

TEST_F(PolicyFileTest, ABrokenVersionKeepsTheLastGoodRulesUntilFixed) {
  PolicyFile file = watch();

  write_text(path, "rules:\n  - tool: Bash\n    decision: deny\n");
  std::shared_ptr<const RuleSet> good = file.current().rules;
  ASSERT_TRUE(good);

  replace_text(path,
               "rules:\n  - tool: Bash\n    decision: deny\n"
               "  - tool: Read\n    desicion: deny\n");
  PolicySnapshot s = file.current();
  EXPECT_EQ(s.state, PolicyState::kBroken);
  EXPECT_EQ(s.rules, good);
  EXPECT_EQ(s.error.rfind("line 5, column 5: unknown key \"desicion\"", 0), 0u)
      << s.error;
  // The log says where the fault is and what Core does about it.
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(Contains(log.back(), path));
  EXPECT_TRUE(Contains(log.back(), "line 5, column 5"));
  EXPECT_TRUE(Contains(log.back(), "last good"));

  // Asked again without a change: still broken, not logged again.
  std::size_t lines = log.size();
  EXPECT_EQ(file.current().state, PolicyState::kBroken);
  EXPECT_EQ(log.size(), lines);

  replace_text(path, "rules:\n  - tool: Read\n    decision: deny\n");
  s = file.current();
  EXPECT_EQ(s.state, PolicyState::kLoaded);
  EXPECT_TRUE(s.error.empty());
  ASSERT_TRUE(s.rules);
  EXPECT_EQ(s.rules->rules[0].tools[0], "Read");
}

TEST_F(PolicyFileTest, ASaveInProgressIsNotReadHalfDone) {
  // Saved in place: truncated, then written in pieces. The states in
  // between (empty, a prefix that parses) must never become the policy.
  write_text(path, "rules:\n  - tool: Bash\n    decision: deny\n");
  PolicyFile file(path, nullptr, /*users_own=*/true);
  ASSERT_EQ(file.current().state, PolicyState::kLoaded);

  const std::string first = "rules:\n  - tool: Read\n    decision: deny\n";
  const std::string rest = "  - tool: Bash\n    decision: deny\n";
  {
    std::ofstream out(path, std::ios::trunc);
    out << first;
  }
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::ofstream(path, std::ios::app) << rest;
  });
  PolicySnapshot s = file.current();
  writer.join();
  ASSERT_EQ(s.state, PolicyState::kLoaded);
  EXPECT_EQ(s.rules->rules.size(), 2u);

  // Left empty: broken, and the last good rules stay.
  { std::ofstream out(path, std::ios::trunc); }
  s = file.current();
  EXPECT_EQ(s.state, PolicyState::kBroken);
  EXPECT_TRUE(Contains(s.error, "empty"));
  ASSERT_TRUE(s.rules);
  EXPECT_EQ(s.rules->rules.size(), 2u);
}

TEST_F(PolicyFileTest, BrokenFromTheStartHasNoRules) {
  write_text(path, "rules: [\n");
  PolicySnapshot s = watch().current();
  EXPECT_EQ(s.state, PolicyState::kBroken);
  EXPECT_FALSE(s.rules);
  EXPECT_TRUE(Contains(s.error, "line 2, column 1"));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_TRUE(Contains(log[0], "no good version yet"));
}

TEST(PolicyFile, RefusesWhatIsNotASmallRegularFile) {
  ScratchDir dir;
  PolicyFile directory(dir.path(), nullptr);
  PolicySnapshot s = directory.current();
  EXPECT_EQ(s.state, PolicyState::kBroken);
  EXPECT_TRUE(Contains(s.error, "regular file"));

  std::string fifo = (dir / "fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(PolicyFile(fifo, [](std::string_view) {}).current().state,
            PolicyState::kBroken);  // and returns at once, without a writer

  std::string big = (dir / "big.yaml");
  write_text(big, "# " + std::string(kMaxPolicyBytes, 'x') + "\n");
  s = PolicyFile(big, [](std::string_view) {}).current();
  EXPECT_EQ(s.state, PolicyState::kBroken);
  EXPECT_TRUE(Contains(s.error, "larger than"));

  // A read that fails part way is a broken file, never the part that was
  // read (here a policy that would allow everything).
  std::string cut = (dir / "cut.yaml");
  write_text(cut, "default: allow\n# " + std::string(64 << 10, 'x') +
                      "\nrules: [{tool: Bash, decision: deny}]\n");
  {
    twk::testing::FaultyIo io;
    io.read_bytes_left = 16 << 10;
    s = PolicyFile(cut, [](std::string_view) {}).current();
  }
  EXPECT_EQ(s.state, PolicyState::kBroken);
  EXPECT_TRUE(Contains(s.error, "couldn't read it"));
}

TEST(PolicyCache, HoldsABoundedNumberOfFilesAndForgetsTheOldest) {
  ScratchDir dir;
  PolicyCache cache(2, [](std::string_view) {});
  auto a = cache.get((dir / "a"));
  auto b = cache.get((dir / "b"));
  EXPECT_EQ(cache.get((dir / "a")), a);  // a is now the most recent
  auto c = cache.get((dir / "c"));       // evicts b
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.get((dir / "a")), a);
  EXPECT_NE(cache.get((dir / "b")), b);  // b was forgotten: a new watcher
  EXPECT_EQ(cache.size(), 2u);
  // A caller still holding an evicted file can go on using it.
  EXPECT_EQ(c->current().state, PolicyState::kMissing);
}

}  // namespace
}  // namespace twk::core
