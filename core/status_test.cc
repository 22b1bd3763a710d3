// What status reports as wrong, and what it finds in place.
#include "status.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "install.h"
#include "test_util.h"

namespace twk::core {
namespace {

using testing::Contains;
using testing::ScratchDir;
using testing::write_text;

struct StatusSetup {
  StatusSetup() {
    ::mkdir((dir / "state").c_str(), 0700);
    ::mkdir((dir / "project").c_str(), 0700);
    in.state_dir = (dir / "state");
    in.endpoint_file = (dir / "state/endpoint.json");
    in.user_policy = (dir / "state/policy.yaml");
    in.project_dir = (dir / "project");
    in.user_settings = (dir / "settings.json");
    in.self_exe = "/opt/twk/twk-backend";
    in.hook_path = "/opt/twk/twk-hook";
  }
  ScratchDir dir;
  StatusInputs in;
};

TEST(Status, EachProblemSaysHowToFixIt) {
  StatusSetup s;
  // Not installed anywhere: the one problem of a fresh machine.
  StatusReport r = gather_status(s.in);
  EXPECT_EQ(r.problems, 1) << r.text;
  EXPECT_TRUE(Contains(r.text, "fix: twk-backend install"));

  Result<SettingsEdit> installed =
      edit_settings("{}", s.in.hook_path, InstallAction::kInstall);
  ASSERT_TRUE(installed);
  write_text(s.in.user_settings, installed->text);
  r = gather_status(s.in);
  EXPECT_EQ(r.problems, 0) << r.text;
  EXPECT_TRUE(Contains(r.text, "runs /opt/twk/twk-hook"));

  // A hook that runs another twk-hook, a broken policy and a state
  // directory others can read: three problems, each with its fix.
  Result<SettingsEdit> other =
      edit_settings("{}", "/old/twk-hook", InstallAction::kInstall);
  ASSERT_TRUE(other);
  write_text(s.in.user_settings, other->text);
  write_text(s.in.user_policy, "rules: [\n");
  ASSERT_EQ(::chmod(s.in.state_dir.c_str(), 0755), 0);
  r = gather_status(s.in);
  EXPECT_EQ(r.problems, 3) << r.text;
  EXPECT_TRUE(Contains(r.text, "runs another twk-hook"));
  EXPECT_TRUE(Contains(r.text, "is broken: line 2"));
  EXPECT_TRUE(Contains(r.text, "fix: chmod 700"));
}

TEST(Status, AStaleRecordIsNoRunningCore) {
  StatusSetup s;
  write_text(s.in.endpoint_file,
             R"({"pid":2147483000,"token":"t","url":"http://127.0.0.1:1"})");
  ::chmod(s.in.endpoint_file.c_str(), 0600);
  StatusReport r = gather_status(s.in);
  EXPECT_TRUE(Contains(r.text, "which has ended"));
  EXPECT_EQ(r.text.find("decisions since"), std::string::npos) << r.text;
}

}  // namespace
}  // namespace twk::core
