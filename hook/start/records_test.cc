#include "start/records.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "twk/testing/scratch_dir.h"

namespace twk::start {
namespace {

using twk::testing::ScratchDir;

std::optional<Endpoint> parse(const std::string& url, const std::string& rest) {
  return parse_endpoint_record(R"({"url":")" + url + "\"" + rest + "}");
}

TEST(ParseEndpoint, UrlForms) {
  auto e = parse("http://127.0.0.1:43117/", R"(,"token":"t","pid":12)");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->address.to_string(), "127.0.0.1:43117");
  EXPECT_EQ(e->token, "t");
  EXPECT_EQ(e->pid, 12u);

  e = parse("http://[::1]:9000/anything", R"(,"token":"")");
  ASSERT_TRUE(e);
  EXPECT_EQ(e->address.to_string(), "[::1]:9000");
  EXPECT_EQ(e->token, "");
  EXPECT_FALSE(e->pid);

  EXPECT_TRUE(parse("http://127.0.0.1:0", R"(,"token":"t")"));
  for (std::string bad :
       {"http://localhost:80", "HTTP://127.0.0.1:80", "https://127.0.0.1:80",
        "http://127.0.0.1", "http://", "http:/", "", "http://127.0.0.1:65536",
        "http://::1:80", "http://[::1]", "http://example.com:80",
        "http://127.0.0.1:80 ", "http://127.0.0.1:-1"}) {
    EXPECT_FALSE(parse(bad, R"(,"token":"t")")) << bad;
  }
}

TEST(ParseEndpoint, TokenAndPidRules) {
  const std::string url = "http://127.0.0.1:1";
  EXPECT_FALSE(parse(url, ""));                 // no token
  EXPECT_FALSE(parse(url, R"(,"token":5)"));    // not a string
  EXPECT_FALSE(parse(url, R"(,"token":null)"));
  EXPECT_FALSE(parse_endpoint_record(R"({"token":"t"})"));
  EXPECT_FALSE(parse_endpoint_record(R"({"url":1,"token":"t"})"));
  EXPECT_FALSE(parse_endpoint_record("[]"));
  EXPECT_FALSE(parse_endpoint_record(R"({"url":"http://127.0.0.1:1","token":"t"} x)"));

  EXPECT_EQ(parse(url, R"(,"token":"t","pid":4294967295)")->pid, 4294967295u);
  EXPECT_EQ(parse(url, R"(,"token":"t","pid":0)")->pid, 0u);
  // Forms that leave a valid record without a pid.
  for (std::string pid : {"4294967296", "-1", "12.0", "1e1", "\"12\"", "null",
                          "true", "[1]", "18446744073709551615"}) {
    auto e = parse(url, R"(,"token":"t","pid":)" + pid);
    ASSERT_TRUE(e) << pid;
    EXPECT_FALSE(e->pid) << pid;
  }
}

TEST(LiveEndpoint, OnlyAProcessRunningTheExpectedExecutable) {
  ScratchDir d;
  std::string self = std::filesystem::canonical("/proc/self/exe").string();
  const std::string start = R"({"url":"http://127.0.0.1:9","token":"t")";
  std::string record = d.write(
      "endpoint.json", start + ",\"pid\":" + std::to_string(::getpid()) + "}");
  EXPECT_TRUE(live_endpoint(record, self));
  EXPECT_FALSE(live_endpoint(record, "/bin/sh"));
  EXPECT_FALSE(live_endpoint(d.write("nopid.json", start + "}"), self));
  std::string dead = d.write("dead.json", start + ",\"pid\":4294967295}");
  EXPECT_FALSE(live_endpoint(dead, self));
  EXPECT_FALSE(live_endpoint(d / "missing.json", self));
}

TEST(ReadEndpoint, DirectoryOrFifoIsNoRecordAndDoesNotBlock) {
  ScratchDir d;
  EXPECT_FALSE(read_endpoint(d.mkdir("dir.json")));
  ASSERT_EQ(::mkfifo((d / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(read_endpoint(d / "fifo"));
}

}  // namespace
}  // namespace twk::start
