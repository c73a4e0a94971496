// What probe_path makes of each way open(2) can fail. The binary is linked
// with --wrap=open (and open64), so that errors that cannot be made to
// happen on demand (ENFILE, ENOMEM, an open interrupted by a signal) come
// from a script before the real open runs.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "native/root_checker.h"
#include "support/probe_support.h"

namespace {

std::deque<int> g_errors;  // failures the next opens return, in order
int g_opens = 0;

int scripted_open(int (*real)(const char*, int, ...), const char* path,
                  int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    mode = static_cast<mode_t>(va_arg(args, int));
  }
  ++g_opens;
  if (!g_errors.empty()) {
    errno = g_errors.front();
    g_errors.pop_front();
    return -1;
  }
  return real(path, flags, mode);
}

}  // namespace

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);

int __wrap_open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = scripted_open(__real_open, path, flags, args);
  va_end(args);
  return fd;
}

int __wrap_open64(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int fd = scripted_open(__real_open64, path, flags, args);
  va_end(args);
  return fd;
}
}  // extern "C"

namespace {

int lowest_free_fd() {
  const int fd = ::open("/dev/null", O_RDONLY);
  if (fd >= 0) ::close(fd);
  return fd;
}

TEST(ProbePathErrnoTest, EachFailureIsSortedAndEintrIsRetried) {
  char file[] = "/tmp/probe_errno_XXXXXX";
  const int made = ::mkstemp(file);
  ASSERT_GE(made, 0) << std::strerror(errno);
  ::close(made);
  const std::string readable = file;
  const std::string missing = readable + ".absent";

  struct Case {
    std::vector<int> errors;  // returned before the real open runs
    std::string path;
    ProbeResult expected;
    int opens;
  };
  // clang-format off
  const Case cases[] = {
      // Nothing known about the path: the process or the system is short.
      {{EMFILE},                 readable, ProbeResult::kFailed,    1},
      {{ENFILE},                 readable, ProbeResult::kFailed,    1},
      {{ENOMEM},                 readable, ProbeResult::kFailed,    1},
      // The path's own answers.
      {{ENOENT},                 readable, ProbeResult::kNotOpened, 1},
      {{EACCES},                 readable, ProbeResult::kNotOpened, 1},
      {{EPERM},                  readable, ProbeResult::kNotOpened, 1},
      {{ELOOP},                  readable, ProbeResult::kNotOpened, 1},
      {{ENXIO},                  readable, ProbeResult::kNotOpened, 1},
      {{EWOULDBLOCK},            readable, ProbeResult::kNotOpened, 1},
      // Interrupted: tried again until open answers.
      {{EINTR},                  readable, ProbeResult::kOpened,    2},
      {{EINTR, EINTR, EINTR},    missing,  ProbeResult::kNotOpened, 4},
      {{EINTR, EMFILE},          readable, ProbeResult::kFailed,    2},
      {{},                       readable, ProbeResult::kOpened,    1},
      {{},                       missing,  ProbeResult::kNotOpened, 1},
  };
  // clang-format on
  const int free_fd = lowest_free_fd();
  for (const Case& c : cases) {
    std::string trace = c.path == readable ? "readable" : "missing";
    for (int e : c.errors) trace += std::string(", then ") + std::strerror(e);
    SCOPED_TRACE(trace);
    g_errors.assign(c.errors.begin(), c.errors.end());
    g_opens = 0;
    const ProbeResult result = probe_path(c.path.c_str());
    const int opens = g_opens;
    const size_t unused = g_errors.size();
    g_errors.clear();
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(opens, c.opens);
    EXPECT_EQ(unused, 0u);
    EXPECT_EQ(lowest_free_fd(), free_fd) << "a descriptor was left open";
  }
  ::unlink(file);
}

}  // namespace
