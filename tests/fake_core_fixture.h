// The fixture of tests in which the hook starts the stand-in Core
// (fake_core): a state directory, a scratch directory where the fake Core
// reports its starts, the requests it saw and what it was handed, and the
// environment the hook runs in. Every Core started for one of
// endpoint_files_ is killed at the end of the test.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace twk::testing {

// What the hook prints when the fake Core answers with its default output.
inline const std::string kFromCore = "{\"from\":\"core\"}\n";
// The line the fake Core logs for a policy request with its record's token.
inline const std::string kPolicyLine =
    "POST /v1/policy/hook HTTP/1.1 | Bearer t";

class FakeCoreTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& file : endpoint_files_) kill_cores_for(file);
  }

 public:  // also for the checks of table-driven cases
  std::string endpoint_file() const { return state_ / "endpoint.json"; }
  std::string lock_dir() const { return endpoint_file() + ".start-lock"; }
  std::string log_file() const { return state_ / "logs/backend.log"; }
  std::string starts_file() const { return scratch_ / "starts"; }
  std::string requests_file() const { return scratch_ / "requests"; }
  std::string report_file() const { return scratch_ / "report"; }

  // The hook's environment with the fake Core as its Core binary, in
  // TWK_FAKE_CORE_MODE `mode`, answering {"from":"core"}, with the variables
  // of `extra` set over it. The report file is only written in report mode.
  std::map<std::string, std::string> env(
      const std::string& mode = "ok",
      std::map<std::string, std::string> extra = {}) const {
    auto e = base_env(state_);
    e["TWK_CORE_BINARY"] = fake_core_path();
    e["TWK_CORE_IDLE_EXIT_SECONDS"] = "60";
    e["TWK_FAKE_CORE_MODE"] = mode;
    e["TWK_FAKE_CORE_STARTS"] = starts_file();
    e["TWK_FAKE_CORE_REQUESTS"] = requests_file();
    e["TWK_FAKE_CORE_REPORT"] = report_file();
    e["TWK_FAKE_CORE_OUTPUT"] = R"({"from":"core"})";
    extra.merge(e);  // takes only the variables `extra` does not set
    return extra;
  }

  // Whether the fake Core's report has this exact line.
  bool reported(const std::string& line) const {
    std::vector<std::string> report = lines_of(report_file());
    return std::find(report.begin(), report.end(), line) != report.end();
  }

  // The pids of the fake-core processes that began to run ("pid mode"
  // lines), in order.
  std::vector<pid_t> started_pids() const {
    std::vector<pid_t> pids;
    for (const std::string& line : lines_of(starts_file())) {
      pids.push_back(static_cast<pid_t>(std::stol(line)));
    }
    return pids;
  }

  // Forgets the starts and requests reported so far.
  void reset_scratch() const {
    ::unlink(starts_file().c_str());
    ::unlink(requests_file().c_str());
  }

 protected:
  ScratchDir state_;
  ScratchDir scratch_;
  std::vector<std::string> endpoint_files_{endpoint_file()};
};

}  // namespace twk::testing
