// File-system operations over byte paths.
#include "twk/sys/files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include <cstdint>
#include <new>
#include <vector>

#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/sys/io.h"
#include "twk/utf8.h"

namespace twk::sys {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

// Splits at "/" and drops empty and "." components. Views into `path`.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i <= path.size()) {
    std::size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view part = path.substr(i, j - i);
    if (!part.empty() && part != ".") out.push_back(part);
    i = j + 1;
  }
  return out;
}

}  // namespace

std::string join_path(const std::string& base, const std::string& name) {
  if (base.empty()) return name;
  if (base.back() == '/') return base + name;
  return base + "/" + name;
}

std::optional<std::string> parent_path(const std::string& path) {
  // Strip trailing slashes, then the last component.
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  if (end == 0) return std::nullopt;  // "" or "/"
  std::size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return std::string();
  std::size_t keep = slash;
  while (keep > 0 && path[keep - 1] == '/') --keep;
  if (keep == 0) return std::string("/");
  return path.substr(0, keep);
}

std::string file_name(const std::string& path) {
  std::size_t end = path.size();
  while (end > 0 && path[end - 1] == '/') --end;
  std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
  std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
  if (end < begin) return std::string();
  return path.substr(begin, end - begin);
}

namespace {

// read_file and read_own_file: the whole content of the regular file at
// `path`, when its metadata, taken from the opened descriptor, passes
// `accept`.
template <class Accept>
std::optional<std::string> read_regular_file(const std::string& path,
                                             std::size_t max_size,
                                             Accept accept) {
  // O_NONBLOCK so that a FIFO planted where a record belongs cannot block
  // the open; anything but a regular file is then refused.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return std::nullopt;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || !accept(st)) {
    return std::nullopt;
  }
  // Checked before any memory is taken: a sparse file can claim terabytes.
  if (static_cast<std::uintmax_t>(st.st_size) > max_size) return std::nullopt;
  std::string out;
  try {
    // The first read asks for the size fstat gave (plus one byte to see the
    // end), so a 100-byte record does not zero-fill a whole chunk on every
    // hook run; a file that grows meanwhile is read on in chunks. A read of
    // a regular file that returns less than it asked for has reached the
    // end, so the common case takes one read.
    std::size_t chunk = st.st_size > 0
                            ? static_cast<std::size_t>(st.st_size) + 1
                            : kReadChunk;
    for (;;) {
      std::size_t old = out.size();
      out.resize(old + chunk);
      ssize_t n = ::read(fd.get(), out.data() + old, chunk);
      if (n < 0) {
        if (errno == EINTR) {
          out.resize(old);
          continue;
        }
        return std::nullopt;
      }
      out.resize(old + static_cast<std::size_t>(n));
      if (out.size() > max_size) return std::nullopt;  // grew while read
      if (static_cast<std::size_t>(n) < chunk) return out;
      chunk = kReadChunk;
    }
  } catch (const std::bad_alloc&) {
    return std::nullopt;  // too large to hold counts as unreadable
  }
}

}  // namespace

std::optional<std::string> read_file(const std::string& path,
                                     std::size_t max_size) {
  return read_regular_file(path, max_size,
                           [](const struct stat&) { return true; });
}

std::optional<std::string> read_own_file(const std::string& path,
                                         std::size_t max_size) {
  // The metadata comes from the descriptor that is read, so a file swapped
  // in after the check cannot be read in place of the one checked.
  return read_regular_file(path, max_size, [](const struct stat& st) {
    return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  });
}

ReadOnce read_once(const std::string& path, std::size_t limit) {
  ReadOnce result;
  // O_NONBLOCK so that a FIFO named as the Core binary cannot block the
  // open (no writer) or the read (a writer that never writes); for regular
  // files it changes nothing.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) {
    result.error = errno;
    return result;
  }
  result.bytes.assign(limit, '\0');
  ssize_t n = ::read(fd.get(), result.bytes.data(), limit);
  if (n < 0) {
    result.error = errno;
    result.bytes.clear();
    return result;
  }
  result.bytes.resize(static_cast<std::size_t>(n));
  return result;
}

std::optional<std::string> canonical(const std::string& path) {
  if (path.empty()) return std::nullopt;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (!resolved) return std::nullopt;
  std::string out(resolved);
  ::free(resolved);
  return out;
}

namespace {

// Follows `path` one component at a time with readlink(2): what
// linked_path() returns, or nothing when no component is a link.
std::optional<std::string> walk_links(const std::string& path) {
  std::vector<std::string> todo;  // components still to walk, last first
  auto push_components = [&](std::string_view p) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= p.size()) {
      std::size_t slash = p.find('/', start);
      if (slash == std::string_view::npos) slash = p.size();
      if (slash > start) parts.emplace_back(p.substr(start, slash - start));
      start = slash + 1;
    }
    todo.insert(todo.end(), parts.rbegin(), parts.rend());
  };
  push_components(path);
  std::string out;
  bool linked = false;
  bool missing = false;  // what follows does not exist: no more links
  int links = 0;
  while (!todo.empty()) {
    std::string part = std::move(todo.back());
    todo.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      std::size_t slash = out.rfind('/');
      out.resize(slash == std::string::npos ? 0 : slash);
      continue;
    }
    std::string next = out + "/" + part;
    if (missing) {
      out = std::move(next);
      continue;
    }
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(next.c_str(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == ENOENT) {
        missing = true;
      } else if (errno != EINVAL) {
        return std::nullopt;  // can't be told
      }
      out = std::move(next);
      continue;
    }
    if (++links > 40 || static_cast<std::size_t>(n) >= sizeof buffer) {
      return std::nullopt;
    }
    linked = true;
    std::string_view target(buffer, static_cast<std::size_t>(n));
    if (target.starts_with('/')) out.clear();
    push_components(target);
  }
  if (!linked) return std::nullopt;
  return out.empty() ? std::string("/") : out;
}

}  // namespace

std::optional<std::string> linked_path(const std::string& path) {
  if (path.empty() || path[0] != '/') return std::nullopt;
#if defined(SYS_openat2) && defined(RESOLVE_NO_SYMLINKS)
  // One call for the common case: the kernel walks the path and fails
  // with ELOOP at the first link. A missing component ends the walk
  // before any link after it, so ENOENT means none was met.
  struct open_how how = {};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
  if (fd >= 0) {
    ::close(static_cast<int>(fd));
    return std::nullopt;
  }
  if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
  if (errno != ELOOP && errno != ENOSYS && errno != EINVAL && errno != EPERM) {
    return std::nullopt;
  }
#endif
  return walk_links(path);
}

bool is_regular_file(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::optional<std::string> read_link(const std::string& path) {
  return read_link_at(AT_FDCWD, path);
}

std::optional<std::string> read_link_at(int dir_fd, const std::string& path) {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    ssize_t n =
        ::readlinkat(dir_fd, path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return std::nullopt;
    if (static_cast<std::size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<std::size_t>(n));
      return buffer;
    }
    buffer.resize(buffer.size() * 2);  // possibly truncated: try larger
  }
}

bool same_path(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (a.empty() || b.empty() || (a[0] == '/') != (b[0] == '/')) return false;
  // Component by component as components() splits them, without building
  // the lists: Core asks this on every request.
  auto next = [](std::string_view path, std::size_t& i) {
    while (i <= path.size()) {
      std::size_t j = path.find('/', i);
      if (j == std::string_view::npos) j = path.size();
      std::string_view part = path.substr(i, j - i);
      i = j + 1;
      if (!part.empty() && part != ".") return part;
    }
    return std::string_view();
  };
  std::size_t i = 0, j = 0;
  for (;;) {
    std::string_view x = next(a, i), y = next(b, j);
    if (x != y) return false;
    if (x.empty()) return true;
  }
}

bool path_within(const std::string& path, const std::string& dir) {
  std::vector<std::string_view> p = components(path);
  std::vector<std::string_view> d = components(dir);
  if (p.size() < d.size()) return false;
  for (std::size_t i = 0; i < d.size(); ++i) {
    if (p[i] != d[i]) return false;
  }
  return true;
}

int make_dir(const std::string& path, unsigned mode) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) != 0) return errno;
  // mkdir's mode went through the umask, which may have taken the owner's
  // own bits away (0277) or left others theirs; set it exactly, on the
  // directory just made only. The umask is not changed instead: it belongs
  // to every thread of the process (Core creates directories this way
  // too). An O_PATH descriptor needs no permission on the directory, is
  // never a link planted after the mkdir, and is chmod-ed through its
  // /proc/self/fd entry, as fchmod does not take it. Should that fail, the
  // directory keeps what the umask gave it.
  UniqueFd dir(::open(path.c_str(),
                      O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (dir.valid()) {
    (void)::chmod(("/proc/self/fd/" + std::to_string(dir.get())).c_str(),
                  static_cast<mode_t>(mode));
  }
  return 0;
}

bool make_dirs(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (auto parent = parent_path(path); parent && !parent->empty() &&
                                       *parent != path) {
    make_dirs(*parent, mode);
  }
  int err = make_dir(path, mode);
  if (err == 0) return true;
  return err == EEXIST && ::stat(path.c_str(), &st) == 0 &&
         S_ISDIR(st.st_mode);
}

UniqueFd open_dir_no_follow(const std::string& path) {
  // O_PATH: the *at calls need nothing more, so no read permission on the
  // directory is asked for beyond what a path through it would need.
  return UniqueFd(::open(path.c_str(),
                         O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

UniqueFd open_or_create_at(int dir_fd, const std::string& name, int flags,
                           unsigned mode) {
  flags |= O_NOFOLLOW | O_CLOEXEC;
  // Creating and opening an existing file are two calls, so that only a
  // file made here gets `mode`. When the file vanishes between them the
  // pair is tried once more; any other failure is the result.
  for (int attempt = 0; attempt < 2; ++attempt) {
    // O_EXCL never follows a link either: a link at `name`, even one to
    // nowhere, is EEXIST here and ELOOP below.
    int fd = ::openat(dir_fd, name.c_str(), flags | O_CREAT | O_EXCL,
                      static_cast<mode_t>(mode));
    if (fd >= 0) {
      // The mode went through the umask; the file is new, so it is set
      // exactly, on the descriptor.
      (void)::fchmod(fd, static_cast<mode_t>(mode));
      return UniqueFd(fd);
    }
    if (errno != EEXIST) return UniqueFd();
    fd = ::openat(dir_fd, name.c_str(), flags);
    if (fd >= 0 || errno != ENOENT) return UniqueFd(fd);
  }
  return UniqueFd();
}

int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = io().write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // A write that takes nothing would be tried for ever.
    if (n == 0) return EIO;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

Status write_file_atomically(const std::string& path, std::string_view text,
                             unsigned mode) {
  auto failed = [](const char* step, const std::string& name, int err) {
    return Failure{std::string("couldn't ") + step + " " + display_path(name) +
                   ": " + os_error_text(err)};
  };
  // The temporary file must live in the target's directory: rename(2) is
  // atomic only within one file system.
  std::optional<std::string> parent = parent_path(path);
  std::string temp =
      (parent && !parent->empty()) ? join_path(*parent, "") : std::string();
  temp += '.';
  temp += file_name(path);
  temp += ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) {
    return failed("create a temporary file for", path, errno);
  }

  auto fail = [&](const char* step, int err) {
    (void)::unlink(temp.c_str());  // best effort; the error below matters
    return failed(step, temp, err);
  };
  // mkostemp's mode is subject to the umask; the file gets exactly `mode`.
  if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0) {
    return fail("set the mode of", errno);
  }
  if (int err = write_all(fd.get(), text)) return fail("write", err);
  // Synced before the rename, so that after a crash the name never points
  // at an empty file.
  if (io().fsync(fd.get()) != 0) return fail("sync", errno);
  // fsync has reported any write-back error; close(2) has nothing to add.
  fd.reset();
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    (void)::unlink(temp.c_str());
    return failed("rename the new file to", path, err);
  }
  return Ok{};
}

std::string display_path(const std::string& path) {
  return utf8::lossy(path);
}

}  // namespace twk::sys
