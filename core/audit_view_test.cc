// The audit log as people read it: filters, the table row, --since.
#include "audit_view.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "log_command.h"
#include "test_util.h"

namespace twk::core {
namespace {

using testing::Contains;

constexpr char kDeny[] =
    R"({"agent":"claude-code","decision":"deny","hook":"pre-tool-use",)"
    R"("input":{"command":"rm -rf ~\n# and more"},"project":"/home/me/app",)"
    R"("reason":"No.","rule":{"check":"recursive-delete","layer":"built-in"},)"
    R"("session":"s1","time":"2026-12-08T09:15:02.000123Z","tool":"Bash"})";
constexpr char kNone[] =
    R"({"agent":"claude-code","decision":"none","hook":"post-tool-use",)"
    R"("input":{"bytes":9000,"sha256":"ab"},"project":null,"rule":null,)"
    R"("session":"s2","time":"2026-12-07T23:59:59.000000Z","tool":"Read"})";

TEST(AuditView, FiltersByEveryField) {
  auto filter = [](auto set) {
    LogFilter f;
    set(f);
    return f;
  };
  struct Case {
    LogFilter filter;
    bool deny, none;
  } cases[] = {
      {LogFilter(), true, true},
      {filter([](LogFilter& f) { f.decision = "deny"; }), true, false},
      {filter([](LogFilter& f) { f.since = "2026-12-08"; }), true, false},
      {filter([](LogFilter& f) { f.since = "2026-12-07T23:59:59"; }), true,
       true},
      {filter([](LogFilter& f) { f.session = "s2"; }), false, true},
      {filter([](LogFilter& f) { f.project = "/home/me/app"; }), true, false},
      {filter([](LogFilter& f) { f.project = "/home/me"; }), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(log_line_matches(kDeny, c.filter), c.deny);
    EXPECT_EQ(log_line_matches(kNone, c.filter), c.none);
  }
  // A torn line (a full disk) is no record and never shown.
  EXPECT_FALSE(log_line_matches(R"({"decision":"deny","ti)", {}));
  EXPECT_FALSE(log_table_row(R"({"decision":"deny","ti)"));
}

TEST(AuditView, RowsAreOneLineAndSayWhoDecided) {
  std::string row = *log_table_row(kDeny);
  EXPECT_EQ(row.find('\n'), std::string::npos) << row;
  EXPECT_TRUE(row.starts_with("2026-12-08 09:15:02  deny")) << row;
  EXPECT_TRUE(Contains(row, "rm -rf ~ # and more"));
  EXPECT_TRUE(Contains(row, "built-in check recursive-delete"));
  EXPECT_TRUE(row.ends_with("/home/me/app")) << row;
  row = *log_table_row(kNone);
  EXPECT_TRUE(Contains(row, "(9000 bytes)"));
  EXPECT_TRUE(Contains(row, "no opinion"));
}

TEST(AuditView, SinceTakesDatesAndTimesBack) {
  const std::string now = "2026-12-08T09:30:00.000000Z";
  EXPECT_EQ(*parse_since("2026-12-08", now), "2026-12-08");
  EXPECT_EQ(*parse_since("2026-12-08 09:15", now), "2026-12-08T09:15");
  EXPECT_EQ(*parse_since("15m", now), "2026-12-08T09:15:00");
  EXPECT_EQ(*parse_since("10h", now), "2026-12-07T23:30:00");
  for (const char* bad : {"yesterday", "15x", "2026-1-8", "09:15", ""}) {
    EXPECT_FALSE(parse_since(bad, now)) << bad;
  }
}

TEST(AuditView, ReadsRotatedFilesOldestFirst) {
  testing::ScratchDir dir;
  std::string log = (dir / "audit.jsonl");
  auto line = [](const char* session) {
    return std::string(R"({"decision":"deny","session":")") + session +
           R"(","time":"2026-12-08T09:00:00Z","tool":"Bash"})" "\n";
  };
  testing::write_text(log + ".2", line("a"));
  testing::write_text(log + ".1", line("b") + "torn {\n");
  testing::write_text(log, line("c"));
  LogCommand command;
  command.path = log;
  command.json = true;
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(run_log_command(command, out, stderr), 0);
  std::rewind(out);
  std::string printed;
  for (int c; (c = std::fgetc(out)) != EOF;) printed += static_cast<char>(c);
  std::fclose(out);
  EXPECT_EQ(printed, line("a") + line("b") + line("c"));

  command.path = (dir / "none.jsonl");
  std::FILE* err = std::tmpfile();
  ASSERT_NE(err, nullptr);
  EXPECT_EQ(run_log_command(command, stdout, err), 1);
  std::fclose(err);
}

}  // namespace
}  // namespace twk::core
