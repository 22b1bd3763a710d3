/* A Core that decides nothing, for the benchmarks: it answers every request
 * with {"output":null} as soon as the whole request has arrived, so that a
 * measurement against it shows the forwarder's own cost and not Core's.
 *
 *   TWK_ENDPOINT_FILE=/tmp/x/endpoint.json trivial_core [port]
 *
 * Listens on 127.0.0.1 (port 0, the default, picks a free one), writes the
 * endpoint record {"url","token","pid"} that the hook reads, and serves one
 * connection at a time until it is killed. Run the hook with
 * TWK_CORE_BINARY set to this program, so that the recorded pid runs the
 * executable the hook expects. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

static const char kReply[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 15\r\nConnection: close\r\n\r\n"
    "{\"output\":null}";
static const char kToken[] = "bench-token";

static void die(const char* what) {
  perror(what);
  exit(1);
}

/* Writes the record next to its final name and renames it into place, so a
 * reader never sees half of it. */
static void write_record(const char* path, int port) {
  char tmp[4096];
  if (snprintf(tmp, sizeof tmp, "%s.tmp.%d", path, (int)getpid()) >=
      (int)sizeof tmp) {
    fprintf(stderr, "record path too long\n");
    exit(1);
  }
  FILE* f = fopen(tmp, "w");
  if (f == NULL) die("open record");
  fprintf(f, "{\"pid\":%d,\"token\":\"%s\",\"url\":\"http://127.0.0.1:%d\"}",
          (int)getpid(), kToken, port);
  if (fclose(f) != 0) die("write record");
  if (rename(tmp, path) != 0) die("rename record");
}

/* The value of Content-Length in a request head, 0 when there is none. */
static size_t content_length(const char* head, size_t head_len) {
  const char* p = head;
  const char* end = head + head_len;
  while (p < end) {
    const char* eol = memmem(p, (size_t)(end - p), "\r\n", 2);
    if (eol == NULL) eol = end;
    static const char kName[] = "content-length:";
    size_t n = sizeof kName - 1;
    if ((size_t)(eol - p) > n && strncasecmp(p, kName, n) == 0) {
      return (size_t)strtoull(p + n, NULL, 10);
    }
    p = eol + 2;
  }
  return 0;
}

/* Reads one request (head, then Content-Length bytes of body) and answers. */
static void serve(int fd) {
  static char buf[1 << 16];
  size_t used = 0;
  size_t head_end = 0;
  for (;;) {
    ssize_t n = read(fd, buf + used, sizeof buf - used);
    if (n <= 0) return;
    used += (size_t)n;
    char* mark = memmem(buf, used, "\r\n\r\n", 4);
    if (mark != NULL) {
      head_end = (size_t)(mark - buf) + 4;
      break;
    }
    if (used == sizeof buf) return; /* a head this long is not ours */
  }
  size_t want = content_length(buf, head_end);
  size_t have = used - head_end;
  while (have < want) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return;
    have += (size_t)n;
  }
  size_t done = 0;
  while (done < sizeof kReply - 1) {
    ssize_t n = write(fd, kReply + done, sizeof kReply - 1 - done);
    if (n <= 0) return;
    done += (size_t)n;
  }
}

int main(int argc, char** argv) {
  const char* record = getenv("TWK_ENDPOINT_FILE");
  if (record == NULL || *record == '\0') {
    fprintf(stderr, "TWK_ENDPOINT_FILE is not set\n");
    return 2;
  }
  int port = argc > 1 ? atoi(argv[1]) : 0;
  signal(SIGPIPE, SIG_IGN);

  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (ls < 0) die("socket");
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons((unsigned short)port);
  if (bind(ls, (struct sockaddr*)&addr, sizeof addr) != 0) die("bind");
  if (listen(ls, 128) != 0) die("listen");
  socklen_t len = sizeof addr;
  if (getsockname(ls, (struct sockaddr*)&addr, &len) != 0) die("getsockname");
  write_record(record, ntohs(addr.sin_port));

  for (;;) {
    int fd = accept4(ls, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      die("accept");
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    serve(fd);
    close(fd);
  }
}
