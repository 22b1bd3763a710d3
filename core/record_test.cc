// Tests for the endpoint record: location, token, atomic writing, removal.
#include "record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "twk/sys/files.h"
#include "test_util.h"

namespace twk::core {
namespace {

using testing::file_mode;
using testing::TempDir;

// Restores the umask when a test ends, also on a failed assertion.
class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
  ~UmaskGuard() { ::umask(old_); }

 private:
  mode_t old_;
};

std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

EndpointRecord sample_record() {
  return {4242, std::string(64, 'a'), "http://127.0.0.1:43117"};
}

TEST(Record, TokensAreFreshHex) {
  Result<std::string> a = random_token();
  Result<std::string> b = random_token();
  ASSERT_TRUE(a) << a.reason();
  ASSERT_TRUE(b) << b.reason();
  EXPECT_EQ(a->size(), 64u);
  EXPECT_EQ(a->find_first_not_of("0123456789abcdef"), std::string::npos) << *a;
  EXPECT_NE(*a, *b);
}

TEST(Record, ConstantTimeEqualComparesEveryByte) {
  EXPECT_TRUE(constant_time_equal("", ""));
  EXPECT_TRUE(constant_time_equal("secret", "secret"));
  EXPECT_FALSE(constant_time_equal("secret", "Secret"));
  EXPECT_FALSE(constant_time_equal("secret", "secreT"));
  EXPECT_FALSE(constant_time_equal("secret", "secre"));
  EXPECT_FALSE(constant_time_equal("secret", ""));
  EXPECT_FALSE(constant_time_equal(std::string_view("a\0b", 3),
                                   std::string_view("a\0c", 3)));
}

TEST(Record, UrlBracketsIpv6Hosts) {
  EXPECT_EQ(endpoint_url("127.0.0.1", 43117), "http://127.0.0.1:43117");
  EXPECT_EQ(endpoint_url("::1", 9000), "http://[::1]:9000");
}

TEST(Record, WritesCompactJsonWithMode0600InNewPrivateDirectories) {
  TempDir dir;
  std::string path = dir.file("a/state/endpoint.json");
  {
    // A permissive umask must widen neither the record nor its directories.
    UmaskGuard umask(0);
    ASSERT_EQ(write_record(path, sample_record()), std::nullopt);
  }
  EXPECT_EQ(file_mode(path), 0600);
  EXPECT_EQ(file_mode(dir.file("a/state")), 0700);
  EXPECT_EQ(file_mode(dir.file("a")), 0700);
  std::optional<std::string> text = sys::read_file(path);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "{\"pid\":4242,\"token\":\"" + std::string(64, 'a') +
                       "\",\"url\":\"http://127.0.0.1:43117\"}\n");

  // A umask that strips the owner's bits must not leave a record its owner
  // cannot read back.
  UmaskGuard umask(0377);
  ASSERT_EQ(write_record(path, sample_record()), std::nullopt);
  EXPECT_EQ(file_mode(path), 0600);
}

TEST(Record, ReplacesAnOldRecordAndLeavesNoTemporaryFiles) {
  TempDir dir;
  std::string path = dir.file("endpoint.json");
  {
    std::ofstream old(path);
    old << "{\"pid\":1,\"token\":\"old\",\"url\":\"http://127.0.0.1:1\"}";
  }
  // A stale record of another user-visible mode is replaced, not patched.
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  ASSERT_EQ(write_record(path, sample_record()), std::nullopt);

  nlohmann::json value = nlohmann::json::parse(*sys::read_file(path));
  EXPECT_EQ(value["pid"], 4242);
  EXPECT_EQ(value["token"], std::string(64, 'a'));
  EXPECT_EQ(file_mode(path), 0600);
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"endpoint.json"});
}

TEST(Record, ReportsAnUnwritableLocation) {
  TempDir dir;
  std::string blocker = dir.file("not-a-dir");
  std::ofstream(blocker) << "x";
  std::optional<std::string> error =
      write_record(blocker + "/endpoint.json", sample_record());
  ASSERT_TRUE(error);
  EXPECT_NE(error->find(blocker), std::string::npos) << *error;
  EXPECT_NE(error->find("(os error"), std::string::npos) << *error;

  // A directory in the record's place: the rename fails, the temporary
  // file must not stay behind.
  std::string taken = dir.file("taken");
  ASSERT_EQ(::mkdir(taken.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((taken + "/endpoint.json").c_str(), 0700), 0);
  error = write_record(taken + "/endpoint.json", sample_record());
  ASSERT_TRUE(error);
  EXPECT_EQ(dir_entries(taken), std::vector<std::string>{"endpoint.json"});
}

TEST(Record, RemovesOnlyItsOwnRecord) {
  TempDir dir;
  std::string path = dir.file("endpoint.json");
  EndpointRecord ours = sample_record();

  ASSERT_EQ(write_record(path, ours), std::nullopt);
  EXPECT_TRUE(remove_record_if_ours(path, ours));
  EXPECT_EQ(file_mode(path), -1);
  EXPECT_FALSE(remove_record_if_ours(path, ours));  // nothing left to remove

  // A successor's record (another pid), a record that reuses our pid with
  // another token, and files that are no record at all all stay.
  EndpointRecord successor = ours;
  successor.pid = ours.pid + 1;
  EndpointRecord same_pid = ours;
  same_pid.token = std::string(64, 'b');
  for (const EndpointRecord& other : {successor, same_pid}) {
    ASSERT_EQ(write_record(path, other), std::nullopt);
    EXPECT_FALSE(remove_record_if_ours(path, ours));
    EXPECT_EQ(file_mode(path), 0600);
  }
  for (const char* junk :
       {"", "{", "[4242]", "{\"pid\":\"4242\",\"token\":\"aaaa\"}"}) {
    std::ofstream(path, std::ios::trunc) << junk;
    EXPECT_FALSE(remove_record_if_ours(path, ours)) << junk;
    EXPECT_NE(file_mode(path), -1) << junk;
  }
}

TEST(Record, TellsWhoseRecordIsThere) {
  TempDir dir;
  std::string path = dir.file("endpoint.json");
  EndpointRecord ours = sample_record();
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kOther);  // none at all
  ASSERT_EQ(write_record(path, ours), std::nullopt);
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kThis);
  EndpointRecord successor = ours;
  successor.pid += 1;
  ASSERT_EQ(write_record(path, successor), std::nullopt);
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kOther);
  std::ofstream(path, std::ios::trunc) << "garbage";
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kOther);
  // Our pid and token with the url pointed elsewhere: tampered, and still
  // ours to remove, so no hook keeps following it.
  EndpointRecord redirected = ours;
  redirected.url = "http://127.0.0.1:1";
  ASSERT_EQ(write_record(path, redirected), std::nullopt);
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kTampered);
  EXPECT_TRUE(remove_record_if_ours(path, ours));
  // Something that can't be read as a file: unknown, not "replaced".
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kUnknown);
}

}  // namespace
}  // namespace twk::core
