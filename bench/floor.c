/* The floor for the benchmarks: the least work any forwarder has to do.
 * It reads standard input whole, wraps it into the request body without
 * looking at it (no parsing, no re-writing), sends the hook's exact request
 * head and that body to Core in one write, reads the reply to the close and
 * prints its body. Built with -O2 -static, like the hook.
 *
 *   floor [hook [url token]]
 *
 * The hook defaults to pre-tool-use. Without url and token the endpoint
 * record named by TWK_ENDPOINT_FILE is read (a plain text scan, no JSON
 * parser). */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

static void die(const char* what) {
  fprintf(stderr, "floor: %s\n", what);
  exit(1);
}

/* The text of "name":"..." in a flat record, unescaped values only. */
static char* record_field(const char* record, const char* name) {
  char key[64];
  snprintf(key, sizeof key, "\"%s\"", name);
  const char* p = strstr(record, key);
  if (p == NULL) return NULL;
  p += strlen(key);
  while (*p == ' ' || *p == ':') ++p;
  if (*p != '"') return NULL;
  const char* end = strchr(++p, '"');
  if (end == NULL) return NULL;
  return strndup(p, (size_t)(end - p));
}

static char* read_small_file(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return NULL;
  static char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf - 1);
  close(fd);
  if (n < 0) return NULL;
  buf[n] = '\0';
  return buf;
}

int main(int argc, char** argv) {
  const char* hook = argc > 1 ? argv[1] : "pre-tool-use";
  char* url;
  char* token;
  if (argc > 3) {
    url = argv[2];
    token = argv[3];
  } else {
    const char* path = getenv("TWK_ENDPOINT_FILE");
    char* record = path ? read_small_file(path) : NULL;
    if (record == NULL) die("no endpoint record");
    url = record_field(record, "url");
    token = record_field(record, "token");
    if (url == NULL || token == NULL) die("endpoint record without url/token");
  }
  if (strncmp(url, "http://", 7) != 0) die("url is not http://");
  char* authority = url + 7;
  char* colon = strrchr(authority, ':');
  if (colon == NULL) die("url without port");
  char host[64];
  size_t host_len = (size_t)(colon - authority);
  if (host_len >= sizeof host) die("host too long");
  memcpy(host, authority, host_len);
  host[host_len] = '\0';
  int port = atoi(colon + 1);
  char* slash = strchr(colon, '/');
  if (slash) *slash = '\0'; /* the Host line is "address:port" */

  /* The body: prefix, standard input as it is, suffix. The input is read
   * straight into its place. */
  char prefix[128];
  int prefix_len = snprintf(
      prefix, sizeof prefix,
      "{\"agent\":\"claude-code\",\"context\":{},\"hook\":\"%s\",\"input\":",
      hook);
  size_t cap = 1 << 16;
  struct stat st;
  if (fstat(0, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    cap = (size_t)st.st_size + 1;
  }
  char* body = malloc((size_t)prefix_len + cap + 1);
  if (body == NULL) die("out of memory");
  memcpy(body, prefix, (size_t)prefix_len);
  size_t len = (size_t)prefix_len;
  for (;;) {
    if (len == (size_t)prefix_len + cap) {
      cap *= 2;
      body = realloc(body, (size_t)prefix_len + cap + 1);
      if (body == NULL) die("out of memory");
    }
    ssize_t n = read(0, body + len, (size_t)prefix_len + cap - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("read");
    }
    if (n == 0) break;
    len += (size_t)n;
  }
  body[len++] = '}';

  char head[512];
  int head_len = snprintf(head, sizeof head,
                          "POST /v1/policy/hook HTTP/1.1\r\n"
                          "Host: %s\r\n"
                          "Content-Type: application/json\r\n"
                          "Content-Length: %zu\r\n"
                          "Connection: close\r\n"
                          "Authorization: Bearer %s\r\n\r\n",
                          authority, len, token);
  if (head_len < 0 || (size_t)head_len >= sizeof head) die("head too long");

  struct sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((unsigned short)port);
  if (inet_pton(AF_INET, host, &addr.sin_addr) != 1) die("bad host");
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  if (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) die("connect");

  struct iovec iov[2] = {{head, (size_t)head_len}, {body, len}};
  int iov_at = 0;
  while (iov_at < 2) {
    ssize_t n = writev(fd, iov + iov_at, 2 - iov_at);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("send");
    }
    size_t sent = (size_t)n;
    while (iov_at < 2 && sent >= iov[iov_at].iov_len) {
      sent -= iov[iov_at].iov_len;
      ++iov_at;
    }
    if (iov_at < 2) {
      iov[iov_at].iov_base = (char*)iov[iov_at].iov_base + sent;
      iov[iov_at].iov_len -= sent;
    }
  }

  static char reply[1 << 16];
  size_t got = 0;
  for (;;) {
    ssize_t n = read(fd, reply + got, sizeof reply - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      die("receive");
    }
    if (n == 0) break;
    got += (size_t)n;
    if (got == sizeof reply) break; /* enough to find the body's start */
  }
  char* start = memmem(reply, got, "\r\n\r\n", 4);
  if (start == NULL) die("reply is not HTTP");
  start += 4;
  fwrite(start, 1, (size_t)(reply + got - start), stdout);
  fputc('\n', stdout);
  return 0;
}
