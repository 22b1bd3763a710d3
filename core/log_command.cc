// Printing and following the audit log.
#include "log_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "twk/sys/dir_watch.h"
#include "twk/sys/fd.h"
#include "twk/sys/files.h"

namespace twk::core {
namespace {

// While following, the longest wait between looks at the log when no
// change is seen (a log on a file system without change notices).
constexpr auto kFollowPoll = std::chrono::seconds(1);

// Reads a file on from where it was left, and hands out whole lines.
class LineReader {
 public:
  explicit LineReader(std::string path) : path_(std::move(path)) {}

  // Calls `line` for each complete line added since the last call. A file
  // replaced (rotated) or truncated is read again from its start.
  template <class Line>
  bool read_new(Line line) {
    struct stat st;
    if (::stat(path_.c_str(), &st) != 0) return false;
    if (!fd_.valid() || st.st_ino != inode_ || st.st_size < offset_) {
      fd_ = sys::UniqueFd(::open(path_.c_str(), O_RDONLY | O_CLOEXEC));
      if (!fd_.valid()) return false;
      inode_ = st.st_ino;
      offset_ = 0;
      pending_.clear();
    }
    char buffer[64 * 1024];
    ssize_t n;
    while ((n = ::pread(fd_.get(), buffer, sizeof buffer, offset_)) > 0) {
      offset_ += n;
      pending_.append(buffer, static_cast<std::size_t>(n));
      std::size_t start = 0, end;
      while ((end = pending_.find('\n', start)) != std::string::npos) {
        line(std::string_view(pending_).substr(start, end - start));
        start = end + 1;
      }
      pending_.erase(0, start);
    }
    return true;
  }

 private:
  std::string path_;
  sys::UniqueFd fd_;
  ino_t inode_ = 0;
  off_t offset_ = 0;
  std::string pending_;  // a line not yet ended
};

}  // namespace

int run_log_command(const LogCommand& command, std::FILE* out,
                    std::FILE* err) {
  auto print = [&](std::string_view line) {
    if (!log_line_matches(line, command.filter)) return;
    if (command.json) {
      std::fwrite(line.data(), 1, line.size(), out);
      std::fputc('\n', out);
    } else if (std::optional<std::string> row = log_table_row(line)) {
      std::fputs(row->c_str(), out);
      std::fputc('\n', out);
    }
  };
  std::vector<std::string> files = audit_log_files(command.path);
  if (files.empty() && !command.follow) {
    std::fprintf(err, "twk-backend: there is no audit log at %s yet\n",
                 sys::display_path(command.path).c_str());
    return 1;
  }
  if (!command.json) std::fprintf(out, "%s\n", log_table_header().c_str());
  for (const std::string& file : files) {
    if (file == command.path) break;  // read below, and followed
    LineReader(file).read_new(print);
  }
  LineReader current(command.path);
  current.read_new(print);
  std::fflush(out);
  if (!command.follow) return 0;
  std::optional<std::string> dir = sys::parent_path(command.path);
  sys::DirectoryWatch changes(dir && !dir->empty() ? *dir : ".");
  for (;;) {
    changes.wait(kFollowPoll);
    current.read_new(print);
    if (std::fflush(out) != 0) return 1;  // the reader went away
  }
}

}  // namespace twk::core
