// The built-in checks' internals: the class that runs the checks a policy
// layer asks for over one call and keeps the strictest finding of each
// group. Its members are defined by check family: the dispatch and file
// tools (checks.cc), deletes (check_deletes.cc), git (check_git.cc),
// secrets (check_secrets.cc), writes and self-protection
// (check_writes.cc), disks and permissions (check_disks.cc), databases,
// containers, clusters, cloud and sync (check_services.cc), and
// downloads and what cannot be followed (check_downloads.cc).
#pragma once

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "shell/check_util.h"
#include "shell/checks.h"

namespace twk::core::checks {

class Checker {
 public:
  // Checks with `facts` and `settings`, which must outlive the checker.
  Checker(const CheckFacts& facts, const CheckSettings& settings);

  // The strictest findings so far.
  CheckResults result() const { return results_; }

  // True when the settings run check `c`.
  bool runs(Check c) const;

  // Notes a finding of check `c`, whose own decision is `natural`; the
  // settings may replace the decision. Ties go to the first found.
  void found(Check c, Decision natural, std::string reason);

  // Checks a call of file tool `tool` (Read, Write, Edit, Grep, ...).
  void file_tool(std::string_view tool, const nlohmann::json& input);

  // Checks every command of a Bash call; `raw` is the call's text.
  void commands(const CommandSet& set, std::string_view raw);

 private:
  // Builds a reason lazily: only a finding needs its text.
  using Said = std::function<std::string()>;

  // Which of the program-specific checks look at a program.
  enum Interest : unsigned {
    kDisks = 1,
    kPermissions = 2,
    kDatabases = 4,
    kContainers = 8,
    kClusters = 16,
    kCloud = 32,
  };

  // kMaybeSecret: a file that may hold a key or only a certificate
  // (server.pem), asked about where a key is denied.
  enum class SecretKind { kNone, kEnv, kSecret, kMaybeSecret };

  // --- dispatch (checks.cc)
  static bool only_describes(const RunCommand& rc);
  static unsigned interest_of(std::string_view program);
  static std::unordered_map<std::string_view, unsigned> interest_table();

  // --- deletes (check_deletes.cc)
  // `hops`: links made earlier in the command already followed to get
  // here; past a few, the path is taken as one Core can't resolve.
  void judge_delete(const RunCommand& rc, const Target& t, bool recursive,
                    const std::string& shown, int hops = 0);
  void judge_remote_delete(const RunCommand& rc, const Target& t,
                           bool recursive, const std::string& shown);
  void judge_project_delete(const RunCommand& rc, const Target& t,
                            bool recursive);
  void judge_outside_delete(const RunCommand& rc, const Target& t,
                            bool recursive);
  void rm(const RunCommand& rc);
  // A program Core can't name ($RM, "$(which rm; …)") given the options
  // of a forced recursive delete: asks when what it names would be gone
  // for good were it rm (the root, the home, system directories, the
  // project whole).
  void unnamed_delete(const RunCommand& rc);
  // True when rm's prompts (-i, or -I on a tree or more than three files)
  // would get no answer: its standard input is nothing the command feeds.
  bool rm_declines(const RunCommand& rc, bool recursive,
                   std::size_t operands) const;
  void tar_removes(const RunCommand& rc);
  bool empties_temp_unseen(const RunCommand& rc, const Word& w,
                           const Target& t);
  void rm_placeholder(const RunCommand& rc, bool recursive, bool sweeping);
  static bool find_deletes(const RunCommand& rc);
  void find(const RunCommand& rc);

  // --- git (check_git.cc)
  void git(const RunCommand& rc);
  bool git_arguments(const RunCommand& rc, std::vector<Word>& args);
  void git_work_tree(const RunCommand& rc, const std::vector<Word>& args,
                     const Options& o);
  void git_checkout(const RunCommand& rc, const std::vector<Word>& args);
  void git_restore_rm(const RunCommand& rc, const std::vector<Word>& args);
  void git_history(const RunCommand& rc, const std::vector<Word>& args,
                   const Options& o);
  // git branch, clean and stash given a word Core can't read where an
  // option may stand.
  void git_unread_options(const RunCommand& rc, const std::vector<Word>& args);

  // --- secrets (check_secrets.cc)
  SecretKind secret_kind(std::string_view path) const;
  bool temp_root(std::string_view path) const;
  // True for an exact path strictly inside a temporary directory, or a
  // pattern within one, where neither the home nor the project lies.
  bool scratch(const Target& t) const;
  // A Glob or Grep whose file pattern names secret files.
  void glob_names_secrets(std::string_view tool, const std::string& dir,
                          std::string_view pattern);
  std::optional<SecretKind> home_secret(std::string_view path,
                                        std::string_view b) const;
  static SecretKind named_secret(std::string_view b);
  bool secret_root(std::string_view path) const;
  bool secret_directory(std::string_view path) const;
  std::string home_folded(std::string_view path) const;
  std::string_view home_of(std::string_view path) const;
  void secret_exact(const std::string& path, const std::string& what);
  void access_grant(const std::string& path, const std::string& what);
  void secret_dir(const std::string& path, const std::string& what);
  static bool reads_no_content(std::string_view p);
  void secrets(const RunCommand& rc);
  bool may_hold_secrets(const RunCommand& rc) const;
  void git_secrets(const RunCommand& rc);
  // A glob word that a secret file's name would match.
  void glob_secrets(const RunCommand& rc, const Word& w);
  static std::vector<std::size_t> not_read(const RunCommand& rc);
  bool may_name_secret(const Word& w, const RunCommand& rc) const;
  bool cwd_in_secrets(const std::string& cwd) const;
  void secret_word(const RunCommand& rc, const Word& w);
  void gpg_exports(const RunCommand& rc);
  // Commands that print credentials kept elsewhere (gh auth token,
  // kubectl config view --raw), and the environment printed after a
  // .env file was sourced into it.
  void printed_credentials(const RunCommand& rc);
  // True when what `rc` prints reaches the agent: not captured by a
  // substitution, piped on, or sent to a file.
  bool output_seen(const RunCommand& rc) const;

  // --- writes and self-protection (check_writes.cc)
  std::vector<std::string> protected_list(bool whole_trees = false) const;
  std::optional<std::string> touches_protected(const Target& t,
                                               bool tree) const;
  std::optional<std::string> touches_protected_as_written(const Target& t,
                                                          bool tree) const;
  // Where `path` leads when the project holds it and a link is on the
  // way; nothing otherwise. Asked once per path in a call.
  std::optional<std::string> link_target(const std::string& path) const;
  void protect_path(const std::string& path, const std::string& tool,
                    const std::string&);
  static bool read_only(const RunCommand& rc);
  static bool tree_command(const RunCommand& rc);
  bool may_touch_protected(const Word& w, const RunCommand& rc,
                           bool tree) const;
  bool cwd_in_protected(const std::string& cwd) const;
  bool names_protected(std::string_view name) const;
  void self_protection(const RunCommand& rc);
  // Copies and links into a directory: where each source lands there.
  // True when one lands on something protected; `read` gets the words
  // that are only read (the sources of copies that neither link nor
  // take them away).
  bool copy_landings(const RunCommand& rc, std::vector<std::size_t>& read);
  // Archives unpacked into a directory that holds protected files.
  void unpacked_over(const RunCommand& rc);
  void redirects(const RunCommand& rc);
  void write_target(const std::string& path, const Said& said);
  // write_target for the word `w` of `rc`, when it resolves to one path.
  void write_word(const RunCommand& rc, const Word& w);
  void emptied(const RunCommand& rc, const Word& w);
  void content_lost(const RunCommand& rc, const Word& w, std::string_view how);
  void writes(const RunCommand& rc);
  void copy_writes(const RunCommand& rc);
  void in_place_writes(const RunCommand& rc);
  static std::vector<std::size_t> in_place_files(const RunCommand& rc);
  void moved_away(const RunCommand& rc, const Word& w);

  // --- disks and permissions (check_disks.cc)
  static bool is_disk_device(std::string_view p);
  std::string any_device(const RunCommand& rc) const;
  void deny_disk(const RunCommand& rc, const std::string& why);
  void disks(const RunCommand& rc);
  void volume_tools(const RunCommand& rc);
  static bool world_writable(std::string_view mode);
  static bool sets_id(std::string_view mode);
  bool sweep_root(std::string_view path) const;
  void permissions(const RunCommand& rc);

  // --- databases, containers, clusters, cloud, sync (check_services.cc)
  void sql(const RunCommand& rc, std::string_view text);
  void databases(const RunCommand& rc);
  void migration_resets(const RunCommand& rc);
  void database_client(const RunCommand& rc);
  static std::vector<std::string> operands_after(
      const std::vector<Word>& a, std::string_view with_value,
      std::initializer_list<std::string_view> long_with_value);
  void containers(const RunCommand& rc);
  void clusters(const RunCommand& rc);
  void cloud(const RunCommand& rc);
  void ask_cloud(const RunCommand& rc, const std::string& why);
  void cloud_aws(const RunCommand& rc);
  void cloud_http(const RunCommand& rc);
  void cloud_gh(const RunCommand& rc);
  void cloud_infrastructure(const RunCommand& rc);
  void sync(const RunCommand& rc);

  // --- downloads and what cannot be followed (check_downloads.cc)
  void download_to_shell(const RunCommand& rc);
  void unfollowable(const std::string& problem, std::string_view raw);

  const CheckFacts& f_;
  const CheckSettings& s_;
  CheckResults results_;
  std::unordered_set<const void*> seen_sources_;
  // What the checker builds from the facts and settings before judging
  // anything. The calls of a policy all build the same, so the last one
  // is kept per thread and used again while they stay the same.
  struct Prepared {
    // What it was built from.
    std::string home, project, state_dir;
    std::vector<std::string> protected_files, protected_paths;
    bool self_protection = false;
    // What was built.
    std::vector<std::string> secret_dirs;      // the home's key directories
    std::vector<std::string> protected_list;   // protected_list(false)
    std::vector<bool> protected_glob;          // which of those are globs
    std::vector<std::string> protected_trees;  // protected_list(true), no globs
    // Directories whose protected files go when the directory itself is
    // removed, moved or emptied, but whose ancestors are not protected
    // trees (the project is worked on whole every day): the project's
    // .claude, and the directory of each protected pattern whose last
    // component alone is a glob; as (directory, name pattern).
    std::vector<std::pair<std::string, std::string>> protected_pattern_dirs;
    // The last components of protected_list; empty when a word cannot be
    // ruled out by its text.
    std::vector<std::string> protected_names;
    // The home's .ssh and credential directories (with a trailing slash),
    // the project's .git, its hooks and config.
    std::string ssh_dir;
    std::vector<std::string> credential_dirs;
    std::string project_git, project_git_hooks, project_git_config;
  };
  std::shared_ptr<const Prepared> prepare() const;
  std::shared_ptr<const Prepared> build_prepared(bool self_protection) const;

  const std::shared_ptr<const Prepared> prepared_;
  const std::vector<std::string>& secret_dirs_;
  const std::vector<std::string>& protected_;
  const std::vector<bool>& protected_glob_;
  const std::vector<std::string>& protected_trees_;
  const std::vector<std::pair<std::string, std::string>>&
      protected_pattern_dirs_;
  const std::vector<std::string>& protected_names_;
  const std::string& ssh_dir_;
  const std::vector<std::string>& credential_dirs_;
  const std::string& project_git_;
  const std::string& project_git_hooks_;
  const std::string& project_git_config_;
  mutable std::vector<std::pair<std::string, std::optional<std::string>>>
      links_seen_;
  // Symbolic links the call's own commands make (ln -s TARGET LINK), as
  // (link, target): later commands reach the target through them.
  std::vector<std::pair<std::string, std::string>> links_made_;
  void note_links_made(const RunCommand& rc);
  // Where `path` leads through a link made earlier in the call; nothing
  // when it goes through none.
  std::optional<std::string> through_made_link(std::string_view path) const;
  // The call's commands, while commands() judges them.
  const CommandSet* set_ = nullptr;
  // A .env file sourced into the shell by an earlier command; empty when
  // none was.
  std::string sourced_env_;
  // A terraform plan -destroy saved to a file earlier in the command.
  bool destroy_plan_ = false;
  // The last working directory asked about, with the answers: the
  // commands of a call mostly share one.
  mutable std::string cwd_secret_path_;
  mutable bool cwd_secret_known_ = false;
  mutable bool cwd_secret_ = false;
  mutable std::string cwd_protected_path_;
  mutable bool cwd_protected_known_ = false;
  mutable bool cwd_protected_ = false;
};

}  // namespace twk::core::checks
