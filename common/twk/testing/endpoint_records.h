// Endpoint records for the tests of the code that writes, reads and
// removes them.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "twk/endpoint_record.h"
#include "twk/net/address.h"

namespace twk::testing {

// The record of a Core at 127.0.0.1:43117 with pid 4242 and a token of 64
// 'a's.
inline Endpoint sample_record() {
  return {*net::host_address("127.0.0.1", 43117), std::string(64, 'a'), 4242};
}

// Writes `record` to `path` as Core does; fails the test when it cannot.
inline void write_record(const std::string& path, const Endpoint& record) {
  Status written = write_endpoint_record(path, endpoint_record_text(record));
  ASSERT_TRUE(written) << written.reason();
}

}  // namespace twk::testing
