// The endpoint record's one format: its text, parsing it back, and the
// atomic write (mode, directories, no temporary files left behind).
#include "twk/endpoint_record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "twk/sys/files.h"
#include "twk/testing/contains.h"
#include "twk/testing/endpoint_records.h"
#include "twk/testing/scratch_dir.h"

namespace twk {
namespace {

// Restores the umask when a test ends, also on a failed assertion.
class UmaskGuard {
 public:
  explicit UmaskGuard(mode_t mask) : old_(::umask(mask)) {}
  ~UmaskGuard() { ::umask(old_); }

 private:
  mode_t old_;
};

using twk::testing::dir_entries;
using twk::testing::path_mode;
using twk::testing::sample_record;
using twk::testing::write_record;

TEST(EndpointRecord, TextAndParseAgree) {
  EXPECT_EQ(endpoint_url(*net::host_address("127.0.0.1", 43117)),
            "http://127.0.0.1:43117");
  EXPECT_EQ(endpoint_url(*net::host_address("::1", 9000)),
            "http://[::1]:9000");
  Endpoint v6{*net::host_address("[::1]", 9000), "t", std::nullopt};
  EXPECT_EQ(endpoint_record_text(v6),
            "{\"token\":\"t\",\"url\":\"http://[::1]:9000\"}\n");
  std::optional<Endpoint> back = parse_endpoint_record(
      endpoint_record_text(sample_record()));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->pid, 4242u);
  EXPECT_EQ(back->token, std::string(64, 'a'));
  EXPECT_EQ(back->address.to_string(), "127.0.0.1:43117");
}

TEST(EndpointRecord, WritesCompactJsonWithMode0600InNewPrivateDirectories) {
  testing::ScratchDir dir;
  std::string path = (dir / "a/state/endpoint.json");
  {
    // A permissive umask must widen neither the record nor its directories.
    UmaskGuard umask(0);
    write_record(path, sample_record());
  }
  EXPECT_EQ(path_mode(path), 0600);
  EXPECT_EQ(path_mode((dir / "a/state")), 0700);
  EXPECT_EQ(path_mode((dir / "a")), 0700);
  EXPECT_EQ(sys::read_file(path),
            "{\"pid\":4242,\"token\":\"" + std::string(64, 'a') +
                "\",\"url\":\"http://127.0.0.1:43117\"}\n");

  // A umask that strips the owner's bits must not leave a record its owner
  // cannot read back.
  UmaskGuard umask(0377);
  write_record(path, sample_record());
  EXPECT_EQ(path_mode(path), 0600);
}

TEST(EndpointRecord, ReplacesAnOldRecordAndLeavesNoTemporaryFiles) {
  testing::ScratchDir dir;
  // A stale record of another user-visible mode is replaced, not patched.
  std::string path = dir.write(
      "endpoint.json",
      "{\"pid\":1,\"token\":\"old\",\"url\":\"http://127.0.0.1:1\"}", 0644);
  write_record(path, sample_record());
  EXPECT_EQ(sys::read_file(path), endpoint_record_text(sample_record()));
  EXPECT_EQ(path_mode(path), 0600);
  EXPECT_EQ(dir_entries(dir.path()), std::vector<std::string>{"endpoint.json"});
}

TEST(EndpointRecord, ReportsAnUnwritableLocation) {
  testing::ScratchDir dir;
  std::string blocker = dir.write("not-a-dir", "x");
  Status error = write_endpoint_record(blocker + "/endpoint.json",
                                       endpoint_record_text(sample_record()));
  ASSERT_FALSE(error);
  EXPECT_TRUE(testing::Contains(error.reason(), blocker));
  EXPECT_TRUE(testing::Contains(error.reason(), "(os error"));

  // A directory in the record's place: the rename fails, the temporary
  // file must not stay behind.
  std::string taken = dir.mkdir("taken");
  dir.mkdir("taken/endpoint.json");
  error = write_endpoint_record(taken + "/endpoint.json",
                                endpoint_record_text(sample_record()));
  ASSERT_FALSE(error);
  EXPECT_EQ(dir_entries(taken), std::vector<std::string>{"endpoint.json"});
}

}  // namespace
}  // namespace twk
