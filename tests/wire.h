// Both ends of a connection for the test programs that play Core
// (fake-core and the harness's ScriptedCore): reading one HTTP request and
// sending bytes. Plain POSIX, so that nothing here depends on the code
// under test.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace twk::testing {

// One request from `fd`: the head, then as many body bytes as its
// Content-Length says (either spelling of the name), or what came before
// the peer closed or `timeout_seconds` passed without a byte.
inline std::string read_request(int fd, long timeout_seconds) {
  std::string request;
  char buf[65536];
  std::size_t need = std::string::npos;
  timeval tv{timeout_seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  while (request.size() < need) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    request.append(buf, static_cast<std::size_t>(n));
    std::size_t head_end = request.find("\r\n\r\n");
    if (need != std::string::npos || head_end == std::string::npos) continue;
    std::size_t length = 0;
    for (const char* name : {"\r\nContent-Length:", "\r\ncontent-length:"}) {
      std::size_t at = request.find(name);
      if (at != std::string::npos && at < head_end) {
        length =
            std::strtoul(request.c_str() + at + std::strlen(name), nullptr, 10);
      }
    }
    need = head_end + 4 + length;
  }
  return request;
}

// Writes all of `data` to `fd`; false when the peer is gone.
inline bool send_all(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace twk::testing
