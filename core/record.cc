// Writing and removing the endpoint record, and the token it carries.
#include "record.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "twk/json.h"
#include "twk/sys/error.h"
#include "twk/sys/fd.h"
#include "twk/sys/files.h"

namespace twk::core {
namespace {

constexpr std::size_t kTokenBytes = 32;
constexpr mode_t kRecordMode = 0600;
constexpr mode_t kDirectoryMode = 0700;

// Writes all of `data`; on failure the errno value.
int write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

std::string step_failed(const char* step, const std::string& path, int err) {
  return std::string("couldn't ") + step + " " + sys::display_path(path) +
         ": " + sys::os_error_text(err);
}

}  // namespace

Result<std::string> random_token() {
  unsigned char bytes[kTokenBytes];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failure{"couldn't read random bytes for the token: " +
                     sys::os_error_text(errno)};
    }
    filled += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  token.reserve(2 * sizeof bytes);
  for (unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 0xf];
  }
  return token;
}

bool constant_time_equal(std::string_view a, std::string_view b) {
  // The length of the token is no secret (it is always 64 hex digits), so a
  // length mismatch may return early; the bytes may not.
  if (a.size() != b.size()) return false;
  // volatile keeps the compiler from turning the loop into an early exit.
  volatile unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    diff = diff | static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return diff == 0;
}

std::string endpoint_url(std::string_view host, std::uint16_t port) {
  std::string url = "http://";
  if (host.find(':') != std::string_view::npos) {
    url += '[';
    url += host;
    url += ']';
  } else {
    url += host;
  }
  url += ':';
  url += std::to_string(port);
  return url;
}

std::string record_json(const EndpointRecord& record) {
  nlohmann::json value = {
      {"pid", record.pid}, {"token", record.token}, {"url", record.url}};
  // The library's objects are sorted by key, so the members come out in the
  // byte order every JSON text of the system uses. Invalid UTF-8 (which the
  // hex token and numeric url never contain) is replaced, not thrown.
  return json::dump(value) + "\n";
}

std::optional<std::string> write_record(const std::string& path,
                                        const EndpointRecord& record) {
  std::optional<std::string> parent = sys::parent_path(path);
  if (parent && !parent->empty()) {
    // A failure shows up below, when the temporary file cannot be created.
    (void)sys::make_dirs(*parent, kDirectoryMode);
  }

  // The temporary file must live in the record's directory: rename(2) is
  // atomic only within one file system.
  std::string temp = (parent && !parent->empty()) ? sys::join_path(*parent, "")
                                                  : std::string();
  temp += '.';
  temp += sys::file_name(path);
  temp += ".tmp-XXXXXX";
  sys::UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) {
    return step_failed("create a temporary file for", path, errno);
  }

  auto fail = [&](const char* step, int err) {
    (void)::unlink(temp.c_str());  // best effort; the error below matters
    return step_failed(step, temp, err);
  };
  // mkostemp's mode is subject to the umask; the record must be exactly
  // owner read-write whatever the umask says.
  if (::fchmod(fd.get(), kRecordMode) != 0)
    return fail("set the mode of", errno);
  std::string text;
  try {
    text = record_json(record);
  } catch (const std::exception&) {  // allocation only
    return fail("build", ENOMEM);
  }
  if (int err = write_all(fd.get(), text)) return fail("write", err);
  // Synced before the rename, so that after a crash the name never points
  // at an empty file.
  if (::fsync(fd.get()) != 0) return fail("sync", errno);
  // fsync has reported any write-back error; close(2) has nothing to add.
  fd.reset();
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    (void)::unlink(temp.c_str());
    return step_failed("rename the new record to", path, err);
  }
  return std::nullopt;
}

RecordOwner record_owner(const std::string& path,
                         const EndpointRecord& record) {
  std::optional<std::string> text = sys::read_file(path);
  if (!text) {
    struct stat st;
    bool gone = ::lstat(path.c_str(), &st) != 0 &&
                (errno == ENOENT || errno == ENOTDIR);
    return gone ? RecordOwner::kOther : RecordOwner::kUnknown;
  }
  try {
    // Records are replaced by rename, never written in place, so text that
    // is not the record is not a record in the middle of being written.
    if (*text == record_json(record)) return RecordOwner::kThis;
    nlohmann::json value = nlohmann::json::parse(*text, nullptr, false);
    if (!value.is_object()) return RecordOwner::kOther;
    auto pid = value.find("pid");
    auto token = value.find("token");
    if (pid == value.end() || !pid->is_number_integer() ||
        pid->get<long long>() != static_cast<long long>(record.pid) ||
        token == value.end() || !token->is_string() ||
        token->get_ref<const std::string&>() != record.token) {
      return RecordOwner::kOther;
    }
    return RecordOwner::kTampered;
  } catch (...) {
    return RecordOwner::kUnknown;  // only allocation can throw here
  }
}

bool remove_record_if_ours(const std::string& path,
                           const EndpointRecord& record) {
  RecordOwner owner = record_owner(path, record);
  if (owner != RecordOwner::kThis && owner != RecordOwner::kTampered) {
    return false;
  }
  // Between the check and the unlink a successor could rename its record
  // into place; POSIX offers no "unlink if unchanged", and the window is a
  // few microseconds at exit. A hook that then finds no record starts
  // another Core, which costs time but nothing else.
  return ::unlink(path.c_str()) == 0;
}

}  // namespace twk::core
