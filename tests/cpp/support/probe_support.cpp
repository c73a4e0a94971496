#include "support/probe_support.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>

const char* probe_result_name(ProbeResult result) {
  switch (result) {
    case ProbeResult::kOpened:
      return "kOpened";
    case ProbeResult::kNotOpened:
      return "kNotOpened";
    case ProbeResult::kFailed:
      return "kFailed";
  }
  return "(not a ProbeResult)";
}

void PrintTo(ProbeResult result, std::ostream* out) {
  *out << probe_result_name(result);
}

std::optional<std::string> report_of_child(
    const std::function<std::string()>& body) {
  constexpr auto kDeadline = std::chrono::seconds(30);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return std::nullopt;
  }
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    ::close(fds[0]);
    ::close(fds[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    ::close(fds[0]);
    const std::string report = body();
    size_t done = 0;
    while (done < report.size()) {
      const ssize_t n =
          ::write(fds[1], report.data() + done, report.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) ::_exit(1);
      done += static_cast<size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string report;
  const auto start = std::chrono::steady_clock::now();
  bool timed_out = false;
  for (;;) {
    const auto left = kDeadline - (std::chrono::steady_clock::now() - start);
    if (left <= std::chrono::steady_clock::duration::zero()) {
      timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    const int ready =
        ::poll(&p, 1,
               static_cast<int>(
                   std::chrono::duration_cast<std::chrono::milliseconds>(left)
                       .count()) +
                   1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    report.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  if (timed_out) ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (timed_out) {
    ADD_FAILURE() << "the child did not finish within " << kDeadline.count()
                  << " s";
    return std::nullopt;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the child ended abnormally, status " << status
                  << "; it reported: " << report;
    return std::nullopt;
  }
  return report;
}

int exhaust_descriptors() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  // Just above the highest descriptor open now, so that few are taken.
  const int scan = rl.rlim_cur < 65536 ? static_cast<int>(rl.rlim_cur) : 65536;
  int highest = -1;
  for (int fd = 0; fd < scan; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0) highest = fd;
  }
  rl.rlim_cur = static_cast<rlim_t>(highest + 2);
  if (::setrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
  int last = -1;
  for (;;) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    last = fd;
  }
  if (errno != EMFILE || last < 0) return -1;
  return last;
}
