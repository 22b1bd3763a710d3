// Helpers shared by Core's tests.
#pragma once

#include <string>

namespace twk::core::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents when
// the object goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() joined with `name`.
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// The permission bits of `path` (lstat), or -1 when it does not exist.
int file_mode(const std::string& path);

// Writes `text` to `path`, replacing what was there.
void write_text(const std::string& path, const std::string& text);

// Replaces the file at `path` by renaming a new one over it, as many
// editors save: each version is a new inode.
void replace_text(const std::string& path, const std::string& text);

}  // namespace twk::core::testing
