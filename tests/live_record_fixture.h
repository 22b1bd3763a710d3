// The fixture of tests against a running Core played by the test: the
// endpoint record names a waiting /bin/sh process (shell_) and the Core
// binary is a "#!/bin/sh" script that exits at once with status 3, whose
// expected executable is /bin/sh (see WaitingShell in harness.h). So a
// record written by record() is live, and any start of Core the hook makes
// ends with kExited. Every Core started for endpoint_file() is killed at the
// end of the test.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "harness.h"

namespace twk::testing {

class LiveRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(core_binary(), "#!/bin/sh\nexit 3\n", 0755);
    env_ = base_env(state_);
    env_["TWK_CORE_BINARY"] = core_binary();
  }
  void TearDown() override { kill_cores_for(endpoint_file()); }

  std::string core_binary() const { return state_ / "core.sh"; }
  std::string endpoint_file() const { return state_ / "endpoint.json"; }

  // Writes a live record for `core` at `file` (default: endpoint_file()).
  void record(const ScriptedCore& core, const std::string& file,
              const std::string& token = "secret") const {
    core.write_record(file, token, shell_.pid());
  }
  void record(const ScriptedCore& core) const { record(core, endpoint_file()); }

  ScratchDir state_;
  WaitingShell shell_;
  std::map<std::string, std::string> env_;
};

}  // namespace twk::testing
