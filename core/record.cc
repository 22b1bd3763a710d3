// Writing and removing the endpoint record, and the token it carries.
#include "record.h"

#include <errno.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "twk/sys/error.h"
#include "twk/sys/files.h"
#include "twk/sys/io.h"

namespace twk::core {
namespace {

constexpr std::size_t kTokenBytes = 32;

}  // namespace

Result<std::string> random_token() {
  unsigned char bytes[kTokenBytes];
  std::size_t filled = 0;
  while (filled < sizeof bytes) {
    ssize_t n = sys::io().getrandom(bytes + filled, sizeof bytes - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Failure{"couldn't read random bytes for the token: " +
                     sys::os_error_text(errno)};
    }
    if (n == 0) return Failure{"couldn't read random bytes for the token"};
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

RecordOwner record_owner(const std::string& path, const Endpoint& record) {
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
    if (*text == endpoint_record_text(record)) return RecordOwner::kThis;
    std::optional<Endpoint> found = parse_endpoint_record(*text);
    if (!found || found->pid != record.pid || found->token != record.token) {
      return RecordOwner::kOther;
    }
    return RecordOwner::kTampered;
  } catch (...) {
    return RecordOwner::kUnknown;  // only allocation can throw here
  }
}

bool remove_record_if_ours(const std::string& path, const Endpoint& record) {
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
