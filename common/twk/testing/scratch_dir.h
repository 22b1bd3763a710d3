// A temporary directory for unit tests that touch the file system, removed
// with everything in it.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace twk::testing {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        std::filesystem::temp_directory_path().string() + "/twk-unit-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    // No directory, no test: fail loudly rather than hand a null pointer on.
    if (made == nullptr) {
      throw std::runtime_error("couldn't create a scratch directory at " +
                               pattern);
    }
    path_ = std::filesystem::canonical(made).string();
  }
  ~ScratchDir() {
    std::error_code ec;
    // Tests may leave read-only directories behind; make them writable
    // first, or their contents could not be removed.
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied,
             ec);
         !ec && it != std::filesystem::recursive_directory_iterator();
         it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        ::chmod(it->path().c_str(), 0700);
      }
    }
    ::chmod(path_.c_str(), 0700);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }
  const std::string& path() const { return path_; }

  // Writes a file (creating its directories) with the given mode.
  std::string write(const std::string& name, const std::string& content,
                    mode_t mode = 0644) const {
    std::string p = *this / name;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << content;
    ::chmod(p.c_str(), mode);
    return p;
  }
  std::string mkdir(const std::string& name) const {
    std::filesystem::create_directories(*this / name);
    return *this / name;
  }
  std::string symlink(const std::string& target, const std::string& name) const {
    std::filesystem::create_symlink(target, *this / name);
    return *this / name;
  }

 private:
  std::string path_;
};

// The permission bits of `path` (lstat), or -1 when it does not exist.
inline int path_mode(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

// The names in directory `dir`, sorted.
inline std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace twk::testing
