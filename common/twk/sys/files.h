// File-system operations the program needs, over byte paths. Reading
// functions never report why they failed: to their callers a missing or
// unreadable file is simply no file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "twk/result.h"
#include "twk/sys/fd.h"

namespace twk::sys {

// Joins `name` onto `base` with one "/" between, unless `base` is empty (the
// result is `name`) or already ends in "/".
std::string join_path(const std::string& base, const std::string& name);

// The path without its last component, or nothing when the last component
// is not a normal name, "." or ".." (e.g. "/" or "").
std::optional<std::string> parent_path(const std::string& path);

// The last component of `path` ("env" for "/usr/bin/env").
std::string file_name(const std::string& path);

// The whole content of a regular file, or nothing when it is not one, cannot
// be opened or read, or holds more than `max_size` bytes.
std::optional<std::string> read_file(const std::string& path,
                                     std::size_t max_size = SIZE_MAX);

// As read_file, but only for a file owned by this process's effective uid
// that neither its group nor others may write: what another user wrote, or
// could have rewritten, is no file to this program.
std::optional<std::string> read_own_file(const std::string& path,
                                         std::size_t max_size = SIZE_MAX);

// One read(2) of at most `limit` bytes from the start of a file. On failure
// the errno value.
struct ReadOnce {
  std::string bytes;
  int error = 0;  // 0 on success
};
ReadOnce read_once(const std::string& path, std::size_t limit);

// realpath(3): absolute, with every link, "." and ".." resolved. Nothing when
// the path does not exist or cannot be resolved.
std::optional<std::string> canonical(const std::string& path);

// When a component of the absolute path `path` is a symbolic link: the
// path it reaches, links followed (at most 40), "." and ".." resolved,
// and the part that does not exist yet kept as written. Nothing when no
// component is a link, or it can't be told. One system call when no link
// is on the way.
std::optional<std::string> linked_path(const std::string& path);

// True when `path` names a regular file, following symbolic links.
bool is_regular_file(const std::string& path);

// The target of a symbolic link, or nothing.
std::optional<std::string> read_link(const std::string& path);

// The target of the symbolic link `path`, relative to the directory open as
// `dir_fd` (AT_FDCWD: the working directory), or nothing.
std::optional<std::string> read_link_at(int dir_fd, const std::string& path);

// Compares two absolute paths component by component ("/a//b" equals "/a/b").
bool same_path(const std::string& a, const std::string& b);

// True when `path` lies inside `dir` (or is `dir`), by whole components.
bool path_within(const std::string& path, const std::string& dir);

// mkdir(2) that gives the new directory exactly `mode`, whatever the
// umask (the umask itself is left alone). Something already at `path` is
// left as it is (EEXIST), a link there is not followed. 0, or the errno
// value.
int make_dir(const std::string& path, unsigned mode);

// mkdir -p: every missing directory is made with exactly `mode` (see
// make_dir); existing ones keep theirs. Failures are ignored by the
// callers, so the result only says whether the directory exists afterwards.
bool make_dirs(const std::string& path, unsigned mode);

// Opens the directory `path` for use with the *at calls, refusing a
// symbolic link in its place (ELOOP). Invalid on failure, with errno set.
UniqueFd open_dir_no_follow(const std::string& path);

// Opens `name` in the directory open as `dir_fd` with `flags` (O_CLOEXEC
// added), creating it with exactly `mode`, whatever the umask, when it does
// not exist; an existing file keeps its mode. A symbolic link at `name` is
// never followed (ELOOP). Invalid on failure, with errno set.
UniqueFd open_or_create_at(int dir_fd, const std::string& name, int flags,
                           unsigned mode);

// Text of a path for messages: the bytes as UTF-8, with every invalid
// sequence replaced by U+FFFD.
std::string display_path(const std::string& path);

// Writes all of `data` to `fd`, going on after short writes and
// interruptions. 0 on success, else the errno value of the failed write.
int write_all(int fd, std::string_view data);

// Writes `text` at `path` so that readers see either the old file or the
// whole new one: a temporary file in the same directory, given exactly
// `mode` whatever the umask, synced, then renamed over `path`. The
// directory must exist. On failure nothing is left behind and `path` is as
// it was; the reason names the step and the system error.
Status write_file_atomically(const std::string& path, std::string_view text,
                             unsigned mode);

}  // namespace twk::sys
