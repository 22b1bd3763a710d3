// Tests for install: the settings edit over the shapes of file the host
// writes, and the file handling around it (modes, backup, refusals).
#include "install.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "test_util.h"
#include "twk/sys/files.h"

namespace twk::core {
namespace {

using testing::Contains;

using Json = nlohmann::ordered_json;
using testing::ScratchDir;

const std::string kHook = "/opt/twk/bin/twk-hook";
const std::string kPre =
    R"({"matcher":"*","hooks":[{"type":"command","command":"/opt/twk/bin/twk-hook claude-code pre-tool-use"}]})";
const std::string kPost =
    R"({"matcher":"*","hooks":[{"type":"command","command":"/opt/twk/bin/twk-hook claude-code post-tool-use"}]})";
const std::string kOurs =
    R"("hooks":{"PreToolUse":[)" + kPre + R"(],"PostToolUse":[)" + kPost + "]}";
const std::string kLint =
    R"({"matcher":"Bash","hooks":[{"type":"command","command":"lint.sh"}]})";

// The value of a JSON text with its members' order, as compact text.
std::string value_of(std::string_view text) {
  return Json::parse(text).dump();
}

SettingsEdit edit(std::string_view text, InstallAction action,
                  const std::string& hook = kHook) {
  Result<SettingsEdit> result = edit_settings(text, hook, action);
  EXPECT_TRUE(result) << text << ": " << result.reason();
  return result ? *result : SettingsEdit{};
}

TEST(Install, EditsEachShapeOfSettings) {
  constexpr auto kIn = InstallAction::kInstall;
  constexpr auto kOut = InstallAction::kUninstall;
  struct Case {
    std::string before;
    InstallAction action;
    std::string after;  // "" when nothing may change
  };
  const Case cases[] = {
      {"{}", kIn, "{" + kOurs + "}"},
      {" \n", kIn, "{" + kOurs + "}"},
      // Other keys stay, in their order; the hooks come after them.
      {R"({"model":"opus","env":{"A":"1"}})", kIn,
       R"({"model":"opus","env":{"A":"1"},)" + kOurs + "}"},
      // Other tools' and events' hooks stay, ours go after them.
      {R"({"hooks":{"Stop":[)" + kLint + R"(],"PreToolUse":[)" + kLint +
           "]}}",
       kIn,
       R"({"hooks":{"Stop":[)" + kLint + R"(],"PreToolUse":[)" + kLint +
           "," + kPre + R"(],"PostToolUse":[)" + kPost + "]}}"},
      {"{" + kOurs + "}", kIn, ""},
      // At an old path, quoted or not, the entry is pointed here, keeping
      // its matcher and timeout; a second copy goes.
      {R"({"hooks":{"PreToolUse":[{"matcher":"Bash","hooks":[{"type":"command","command":"'/old dir/twk-hook' claude-code pre-tool-use","timeout":9}]}],"PostToolUse":[)" +
           kPost + "," + kPost + "]}}",
       kIn,
       R"({"hooks":{"PreToolUse":[{"matcher":"Bash","hooks":[{"type":"command","command":"/opt/twk/bin/twk-hook claude-code pre-tool-use","timeout":9}]}],"PostToolUse":[)" +
           kPost + "]}}"},
      // Look-alikes are not ours: another program, the other event's
      // argument, or more than the hook on the command line.
      {R"({"hooks":{"PreToolUse":[{"hooks":[{"command":"/x/twk-hook2 claude-code pre-tool-use"},{"command":"/x/twk-hook claude-code post-tool-use"},{"command":"/x/twk-hook claude-code pre-tool-use; rm x"}]}]}})",
       kOut, ""},
      // A group holding ours and another command keeps the other; an
      // event list, and then "hooks", that we empty go.
      {R"({"a":1,"hooks":{"PreToolUse":[{"matcher":"*","hooks":[{"type":"command","command":"/opt/twk/bin/twk-hook claude-code pre-tool-use"},{"type":"command","command":"lint.sh"}]}]}})",
       kOut,
       R"({"a":1,"hooks":{"PreToolUse":[{"matcher":"*","hooks":[{"type":"command","command":"lint.sh"}]}]}})"},
      {R"({"a":1,)" + kOurs + "}", kOut, R"({"a":1})"},
      // What the user left empty is not ours to tidy.
      {R"({"hooks":{"Stop":[],"PreToolUse":[)" + kPre + "]}}", kOut,
       R"({"hooks":{"Stop":[]}})"},
      {R"({"hooks":{}})", kOut, ""},
  };
  for (const Case& c : cases) {
    SettingsEdit result = edit(c.before, c.action);
    if (c.after.empty()) {
      EXPECT_TRUE(result.changes.empty()) << c.before;
      EXPECT_EQ(result.text, c.before);
      continue;
    }
    EXPECT_FALSE(result.changes.empty()) << c.before;
    EXPECT_EQ(value_of(result.text), value_of(c.after)) << c.before;
    EXPECT_EQ(result.text, Json::parse(c.after).dump(2) + "\n");
  }
}

TEST(Install, UninstallUndoesInstallAndASecondInstallChangesNothing) {
  for (std::string before :
       {std::string("{}"), R"({"model":"opus","hooks":{"Stop":[)" + kLint +
                               R"(],"PreToolUse":[)" + kLint + "]}}",
        std::string(R"({"hooks":{"PostToolUse":[{"matcher":"*","hooks":[]}]}})")}) {
    SettingsEdit installed = edit(before, InstallAction::kInstall);
    EXPECT_EQ(installed.changes.size(), 2u) << before;
    SettingsEdit again = edit(installed.text, InstallAction::kInstall);
    EXPECT_TRUE(again.changes.empty()) << installed.text;
    EXPECT_EQ(value_of(edit(installed.text, InstallAction::kUninstall).text),
              value_of(before));
  }
  // A path that needs quoting is quoted, and recognised as ours afterwards.
  const std::string odd = "/home/o'neil/my tools/twk-hook";
  EXPECT_EQ(hook_command(odd, "pre-tool-use"),
            R"('/home/o'\''neil/my tools/twk-hook' claude-code pre-tool-use)");
  SettingsEdit installed = edit("{}", InstallAction::kInstall, odd);
  EXPECT_TRUE(edit(installed.text, InstallAction::kInstall, odd).changes.empty());
  EXPECT_EQ(value_of(edit(installed.text, InstallAction::kUninstall).text),
            "{}");
}

TEST(Install, RefusesWhatItCannotEditSafely) {
  const std::pair<std::string, std::string> cases[] = {
      {"{\"a\": 1,\n  \"b\": }", "settings:2:8: not valid JSON"},
      {"{\"a\": 1,}", "settings:1:9:"},
      {"{\"hooks\": {", "settings:1:12:"},
      {"// comment\n{}", "settings:1:1:"},
      {"[]", "not a JSON object"},
      {R"({"hooks": []})", "\"hooks\" is not an object"},
      {R"({"hooks": {"PostToolUse": {}}})", "\"PostToolUse\" is not an array"},
  };
  for (const auto& [text, message] : cases) {
    for (InstallAction action :
         {InstallAction::kInstall, InstallAction::kUninstall}) {
      Result<SettingsEdit> result = edit_settings(text, kHook, action);
      ASSERT_FALSE(result) << text;
      EXPECT_TRUE(Contains(result.reason(), message));
    }
  }
  EXPECT_FALSE(edit_settings("{}", "/bad/\xff/twk-hook", InstallAction::kInstall));
}

TEST(Install, FindsItsFilesAndTheHook) {
  auto env = [](std::optional<std::string> home) {
    return [home](const char* name) {
      return std::string_view(name) == "HOME" ? home : std::nullopt;
    };
  };
  ScratchDir dir;
  EXPECT_EQ(*settings_file_path({}, {}, env("/home/u")),
            "/home/u/.claude/settings.json");
  EXPECT_EQ(*settings_file_path(dir.path(), {}, env({})),
            dir.path() + "/.claude/settings.json");
  EXPECT_EQ(*settings_file_path({}, "s.json", env({})), "s.json");
  EXPECT_FALSE(settings_file_path({}, {}, env("")));
  EXPECT_FALSE(settings_file_path((dir / "typo"), {}, env("/h")));
  EXPECT_FALSE(settings_file_path(dir.path(), "s.json", env("/h")));

  Result<std::string> missing = hook_beside((dir / "twk-backend"));
  ASSERT_FALSE(missing);
  EXPECT_TRUE(Contains(missing.reason(), (dir / "twk-hook")));
  testing::write_text((dir / "twk-hook"), "#!/bin/sh\n");
  EXPECT_FALSE(hook_beside((dir / "twk-backend")));  // not executable
  ASSERT_EQ(::chmod((dir / "twk-hook").c_str(), 0755), 0);
  EXPECT_EQ(*hook_beside((dir / "twk-backend")), (dir / "twk-hook"));
}

class InstallFile : public ::testing::Test {
 protected:
  Result<std::string> run(InstallAction action = InstallAction::kInstall,
                          bool dry_run = false) {
    return install_hooks({path_, kHook, action, dry_run});
  }
  std::string text() { return sys::read_file(path_).value_or("<none>"); }

  ScratchDir dir_;
  std::string path_ = (dir_ / "home/.claude/settings.json");
};

TEST_F(InstallFile, CreatesKeepsModeBacksUpAndUndoes) {
  // Nothing to take out of a missing file, and nothing created for it.
  ASSERT_TRUE(run(InstallAction::kUninstall));
  EXPECT_EQ(testing::path_mode((dir_ / "home")), -1);

  Result<std::string> dry = run(InstallAction::kInstall, true);
  ASSERT_TRUE(dry) << dry.reason();
  EXPECT_TRUE(Contains(*dry, "\n+  \"hooks\": {\n"));
  EXPECT_EQ(testing::path_mode((dir_ / "home")), -1);

  ASSERT_TRUE(run());
  EXPECT_EQ(testing::path_mode((dir_ / "home/.claude")), 0700);
  EXPECT_EQ(testing::path_mode(path_), 0600);
  EXPECT_EQ(value_of(text()), value_of("{" + kOurs + "}"));
  EXPECT_EQ(testing::dir_entries((dir_ / "home/.claude")),
            std::vector<std::string>{"settings.json"});

  // An existing file keeps its mode, and its old text is in the backup.
  const std::string old = "{\"model\": \"opus\"}";
  testing::write_text(path_, old);
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  ASSERT_TRUE(run());
  EXPECT_EQ(testing::path_mode(path_), 0640);
  EXPECT_EQ(sys::read_file(path_ + ".bak"), old);
  EXPECT_EQ(testing::path_mode(path_ + ".bak"), 0640);
  const std::string installed = text();

  Result<std::string> again = run();
  ASSERT_TRUE(again);
  EXPECT_TRUE(Contains(*again, "nothing to change"));
  EXPECT_EQ(text(), installed);
  EXPECT_EQ(sys::read_file(path_ + ".bak"), old);

  ASSERT_TRUE(run(InstallAction::kUninstall));
  EXPECT_EQ(value_of(text()), value_of(old));
  EXPECT_EQ(testing::dir_entries((dir_ / "home/.claude")),
            (std::vector<std::string>{"settings.json", "settings.json.bak"}));
}

TEST_F(InstallFile, EditsTheFileALinkNamesAndKeepsTheLink) {
  ASSERT_TRUE(sys::make_dirs((dir_ / "home/.claude"), 0700));
  ASSERT_TRUE(sys::make_dirs((dir_ / "dotfiles"), 0700));
  testing::write_text((dir_ / "dotfiles/settings.json"), "{}");
  ASSERT_EQ(::symlink("../../dotfiles/settings.json", path_.c_str()), 0);
  ASSERT_TRUE(run());
  EXPECT_TRUE(sys::read_link(path_));
  EXPECT_EQ(value_of(*sys::read_file((dir_ / "dotfiles/settings.json"))),
            value_of("{" + kOurs + "}"));
}

TEST_F(InstallFile, LeavesTheFileAsItWasWhenItCannot) {
  const std::string dir = (dir_ / "home/.claude");
  ASSERT_TRUE(sys::make_dirs(dir, 0700));
  const bool root = ::geteuid() == 0;  // root writes whatever the modes say
  struct Case {
    std::string text;
    int file_mode;
    int dir_mode;
    std::string message;
  };
  const Case cases[] = {
      {"{\n  \"a\": 1,\n}\n", 0600, 0700, path_ + ":3:1: not valid JSON"},
      {R"({"hooks": []})", 0600, 0700, "\"hooks\" is not an object"},
      {"{}", 0400, 0700, "is not writable"},
      {"{}", 0200, 0700, "couldn't read"},
      {"{}", 0600, 0500, "Permission denied"},
  };
  for (const Case& c : cases) {
    if (root && (c.file_mode != 0600 || c.dir_mode != 0700)) continue;
    testing::write_text(path_, c.text);
    ASSERT_EQ(::chmod(path_.c_str(), c.file_mode), 0);
    ASSERT_EQ(::chmod(dir.c_str(), c.dir_mode), 0);
    Result<std::string> result = run();
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
    ASSERT_FALSE(result) << c.text;
    EXPECT_TRUE(Contains(result.reason(), c.message));
    EXPECT_EQ(text(), c.text);
    EXPECT_EQ(testing::dir_entries(dir),
              std::vector<std::string>{"settings.json"});
  }
}

}  // namespace
}  // namespace twk::core
