// Tests for the endpoint record: location, token, atomic writing, removal.
#include "record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "test_util.h"
#include "twk/sys/files.h"
#include "twk/testing/endpoint_records.h"
#include "twk/testing/faulty_io.h"

namespace twk::core {
namespace {

using testing::path_mode;
using testing::ScratchDir;

using twk::testing::sample_record;
using twk::testing::write_record;

TEST(Record, TokensAreFreshHex) {
  Result<std::string> a = random_token();
  Result<std::string> b = random_token();
  ASSERT_TRUE(a) << a.reason();
  ASSERT_TRUE(b) << b.reason();
  EXPECT_EQ(a->size(), 64u);
  EXPECT_EQ(a->find_first_not_of("0123456789abcdef"), std::string::npos) << *a;
  EXPECT_NE(*a, *b);

  // No random bytes, no token: never a predictable one.
  twk::testing::FaultyIo io;
  io.getrandom_errno = ENOSYS;
  Result<std::string> none = random_token();
  ASSERT_FALSE(none);
  EXPECT_EQ(none.reason().rfind("couldn't read random bytes for the token", 0),
            0u)
      << none.reason();
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

TEST(Record, RemovesOnlyItsOwnRecord) {
  ScratchDir dir;
  std::string path = (dir / "endpoint.json");
  Endpoint ours = sample_record();

  write_record(path, ours);
  EXPECT_TRUE(remove_record_if_ours(path, ours));
  EXPECT_EQ(path_mode(path), -1);
  EXPECT_FALSE(remove_record_if_ours(path, ours));  // nothing left to remove

  // A successor's record (another pid), a record that reuses our pid with
  // another token, and files that are no record at all all stay.
  Endpoint successor = ours;
  successor.pid = *ours.pid + 1;
  Endpoint same_pid = ours;
  same_pid.token = std::string(64, 'b');
  for (const Endpoint& other : {successor, same_pid}) {
    write_record(path, other);
    EXPECT_FALSE(remove_record_if_ours(path, ours));
    EXPECT_EQ(path_mode(path), 0600);
  }
  for (const char* junk :
       {"", "{", "[4242]", "{\"pid\":\"4242\",\"token\":\"aaaa\"}"}) {
    std::ofstream(path, std::ios::trunc) << junk;
    EXPECT_FALSE(remove_record_if_ours(path, ours)) << junk;
    EXPECT_NE(path_mode(path), -1) << junk;
  }
}

TEST(Record, TellsWhoseRecordIsThere) {
  ScratchDir dir;
  std::string path = (dir / "endpoint.json");
  Endpoint ours = sample_record();
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kOther);  // none at all
  write_record(path, ours);
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kThis);
  Endpoint successor = ours;
  successor.pid = *successor.pid + 1;
  write_record(path, successor);
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kOther);
  std::ofstream(path, std::ios::trunc) << "garbage";
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kOther);
  // Our pid and token with the url pointed elsewhere: tampered, and still
  // ours to remove, so no hook keeps following it.
  Endpoint redirected = ours;
  redirected.address = *net::host_address("127.0.0.1", 1);
  write_record(path, redirected);
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kTampered);
  EXPECT_TRUE(remove_record_if_ours(path, ours));
  // Something that can't be read as a file: unknown, not "replaced".
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  EXPECT_EQ(record_owner(path, ours), RecordOwner::kUnknown);
}

}  // namespace
}  // namespace twk::core
