// probe_path on real files: what opens, what does not, and that no descriptor
// is left behind.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "native/root_checker.h"
#include "support/probe_support.h"
#include "support/test_support.h"

namespace {

// A fresh directory under the test temp dir, removed with all it holds.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = testing::TempDir() + "probe_path_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp(" << pattern << "): " << std::strerror(errno);
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

 private:
  std::string path_;
};

// Creates `path` holding a few bytes, with permission bits `mode`.
void make_file(const std::string& path, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0) << "create " << path << ": " << std::strerror(errno);
  ASSERT_EQ(::write(fd, "x\n", 2), 2);
  ASSERT_EQ(::close(fd), 0);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << std::strerror(errno);
}

// The numbers of the descriptors open in this process.
std::set<int> open_descriptors() {
  std::set<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    ADD_FAILURE() << "opendir /proc/self/fd: " << std::strerror(errno);
    return fds;
  }
  const int own = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != own) fds.insert(fd);
  }
  ::closedir(dir);
  return fds;
}

std::string printable(const std::string& path) {
  return path + " (hex " +
         to_hex(reinterpret_cast<const uint8_t*>(path.data()), path.size()) +
         ")";
}

// Runs `body` in a forked child and returns its exit code. A child still
// running after a generous deadline is killed and the test fails, so that a
// probe that blocks fails instead of hanging the run; -1 then, and when the
// child ends abnormally.
int exit_code_in_child(const std::function<int()>& body) {
  constexpr auto kDeadline = std::chrono::seconds(10);
  fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return -1;
  }
  if (pid == 0) ::_exit(body());
  const auto start = std::chrono::steady_clock::now();
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0) {
      ADD_FAILURE() << "waitpid: " << std::strerror(errno);
      return -1;
    }
    if (std::chrono::steady_clock::now() - start > kDeadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "the child did not finish within " << kDeadline.count()
                    << " s: probe_path blocked";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!WIFEXITED(status)) {
    ADD_FAILURE() << "child ended abnormally, status " << status;
    return -1;
  }
  return WEXITSTATUS(status);
}

struct ProbeCase {
  const char* name;
  std::string path;
  bool opens;
};

class ProbePathTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(make_file(dir_ / "readable", 0644));
    ASSERT_EQ(::mkdir((dir_ / "subdir").c_str(), 0755), 0);
    // Non-ASCII names: probe_path must pass the bytes to fopen as they are.
    ASSERT_NO_FATAL_FAILURE(make_file(dir_ / "caf\xc3\xa9", 0644));  // NFC é
    ASSERT_NO_FATAL_FAILURE(make_file(dir_ / "raw\xff"
                                             "byte",
                                      0644));
  }

  ScratchDir dir_;
};

TEST_F(ProbePathTest, OpensWhatExistsAndNothingElse) {
  const ProbeCase cases[] = {
      {"readable file", dir_ / "readable", true},
      // glibc's and bionic's fopen(dir, "r") succeed (open(O_RDONLY) on a
      // directory is allowed; only a later read fails with EISDIR), and
      // probe_path reads nothing, so a directory counts as opened.
      {"directory", dir_ / "subdir", true},
      {"directory with trailing slash", dir_ / "subdir/", true},
      {"UTF-8 name", dir_ / "caf\xc3\xa9", true},
      {"name with byte 0xff",
       dir_ / "raw\xff"
              "byte",
       true},
      {"missing file", dir_ / "absent", false},
      {"inside a missing directory", dir_ / "absent/readable", false},
      {"file used as a directory", dir_ / "readable/x", false},
      {"empty path", "", false},
      {"name longer than NAME_MAX", dir_ / std::string(300, 'a'), false},
      {"missing UTF-8 name (è, not é)", dir_ / "caf\xc3\xa8", false},
      // Same text as the file's name, decomposed: no normalisation happens.
      {"missing UTF-8 name (NFD form)", dir_ / "cafe\xcc\x81", false},
      {"ASCII look-alike", dir_ / "cafe", false},
      {"missing name with byte 0xfe",
       dir_ / "raw\xfe"
              "byte",
       false},
  };
  for (const ProbeCase& c : cases) {
    EXPECT_EQ(probe_path(c.path.c_str()),
              c.opens ? ProbeResult::kOpened : ProbeResult::kNotOpened)
        << c.name << ": " << printable(c.path);
  }
}

// Run as root, permission bits do not stop a read, so a child drops to
// nobody before probing.
TEST_F(ProbePathTest, FileTheProcessMayNotReadDoesNotOpen) {
  const std::string secret = dir_ / "secret";
  const std::string control = dir_ / "readable";
  ASSERT_NO_FATAL_FAILURE(make_file(secret, 0600));
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0) << std::strerror(errno);

  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(secret.c_str(), 0), 0);
    if (::access(secret.c_str(), R_OK) == 0) {
      GTEST_SKIP() << "this user can read a file of mode 000 (capabilities?)";
    }
    EXPECT_EQ(probe_path(secret.c_str()), ProbeResult::kNotOpened) << secret;
    EXPECT_EQ(probe_path(control.c_str()), ProbeResult::kOpened) << control;
    return;
  }

  // Exit codes of the child.
  enum : int {
    kOk = 0,
    kSecretOpened = 1,
    kControlNotOpened = 2,
    kCannotDrop = 10,
    kCannotReachDir = 11,
    kPermissionsIgnored = 12,
  };
  fflush(nullptr);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0) << "fork: " << std::strerror(errno);
  if (pid == 0) {
    const uid_t nobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 ||
        ::setuid(nobody) != 0 || ::setuid(0) == 0) {
      ::_exit(kCannotDrop);
    }
    const int fd = ::open(control.c_str(), O_RDONLY);
    if (fd < 0) ::_exit(kCannotReachDir);
    ::close(fd);
    if (::access(secret.c_str(), R_OK) == 0) ::_exit(kPermissionsIgnored);
    int code = kOk;
    if (probe_path(secret.c_str()) != ProbeResult::kNotOpened) {
      code |= kSecretOpened;
    }
    if (probe_path(control.c_str()) != ProbeResult::kOpened) {
      code |= kControlNotOpened;
    }
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "child ended abnormally, status " << status;
  switch (WEXITSTATUS(status)) {
    case kCannotDrop:
      GTEST_SKIP() << "cannot drop privileges to uid/gid 65534";
    case kCannotReachDir:
      GTEST_SKIP() << "uid 65534 cannot reach " << dir_.path()
                   << " (set TEST_TMPDIR to a world-searchable directory)";
    case kPermissionsIgnored:
      GTEST_SKIP() << "uid 65534 may read a mode 0600 root file here";
    default:
      break;
  }
  const int code = WEXITSTATUS(status);
  EXPECT_EQ(code & kSecretOpened, 0)
      << "as uid 65534, probe_path did not find mode 0600 root-owned " << secret
      << " not opened";
  EXPECT_EQ(code & kControlNotOpened, 0)
      << "as uid 65534, probe_path did not open mode 0644 " << control;
}

// Nobody writes to the FIFO: an open that waits for a writer never returns.
// Probed in a child, so that such a probe fails the test by the deadline.
TEST_F(ProbePathTest, FifoWithoutWriterOpensAtOnce) {
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0) << std::strerror(errno);
  const std::string control = dir_ / "readable";
  enum : int {
    kOk = 0,
    kFifoNotOpened = 1,
    kControlNotOpened = 2,
    kDescriptorsLeft = 4,
  };
  const int code = exit_code_in_child([&] {
    int result = kOk;
    const std::set<int> before = open_descriptors();
    for (int round = 0; round < 100; ++round) {
      if (probe_path(fifo.c_str()) != ProbeResult::kOpened) {
        result |= kFifoNotOpened;
      }
      if (probe_path(control.c_str()) != ProbeResult::kOpened) {
        result |= kControlNotOpened;
      }
    }
    if (open_descriptors() != before) result |= kDescriptorsLeft;
    return result;
  });
  ASSERT_GE(code, 0);
  EXPECT_EQ(code & kFifoNotOpened, 0) << "FIFO did not open: " << fifo;
  EXPECT_EQ(code & kControlNotOpened, 0) << control;
  EXPECT_EQ(code & kDescriptorsLeft, 0) << "descriptors left open";
}

// A session leader without a controlling terminal would acquire the first
// terminal it opens; probing a terminal must not make it the process's own.
TEST_F(ProbePathTest, ProbingATerminalDoesNotMakeItControlling) {
  enum : int {
    kOk = 0,
    kNotOpened = 1,
    kBecameControlling = 2,
    kNoSession = 10,
    kNoPty = 11,
  };
  const int code = exit_code_in_child([] {
    if (::setsid() < 0) return int{kNoSession};
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
      return int{kNoPty};
    }
    const char* name = ::ptsname(master);
    if (name == nullptr) return int{kNoPty};
    int result = kOk;
    if (probe_path(name) != ProbeResult::kOpened) result |= kNotOpened;
    // /dev/tty opens only for a process with a controlling terminal.
    const int tty = ::open("/dev/tty", O_RDONLY | O_NOCTTY);
    if (tty >= 0) {
      result |= kBecameControlling;
      ::close(tty);
    }
    return result;
  });
  ASSERT_GE(code, 0);
  if (code == kNoSession) GTEST_SKIP() << "setsid failed in the child";
  if (code == kNoPty) GTEST_SKIP() << "no pseudo-terminal available here";
  EXPECT_EQ(code & kNotOpened, 0) << "the terminal did not open";
  EXPECT_EQ(code & kBecameControlling, 0)
      << "probing a terminal made it the controlling terminal";
}

TEST_F(ProbePathTest, LeavesNoDescriptorOpen) {
  const std::string paths[] = {
      dir_ / "readable", dir_ / "subdir",     dir_ / "caf\xc3\xa9",
      dir_ / "absent",   dir_ / "readable/x", "",
  };
  const std::set<int> before = open_descriptors();
  ASSERT_FALSE(before.empty());
  int opened = 0;
  for (int round = 0; round < 500; ++round) {
    for (const std::string& path : paths) {
      if (probe_path(path.c_str()) == ProbeResult::kOpened) ++opened;
    }
  }
  EXPECT_EQ(opened, 500 * 3);  // hits and misses both ran
  const std::set<int> after = open_descriptors();
  EXPECT_EQ(after, before) << "descriptors before: " << before.size()
                           << ", after: " << after.size();
}

// Relies on the kernel's RLIMIT_NOFILE, in a child: with every descriptor
// taken, each probe fails, whatever its path would answer, instead of
// reporting the path absent. One descriptor given back, the same paths
// answer as they do, and that one is free again afterwards.
class ProbePathKernelTest : public ProbePathTest {};

TEST_F(ProbePathKernelTest, OutOfDescriptorsIsAFailureNotAMiss) {
  const std::string paths[] = {dir_ / "readable", dir_ / "subdir",
                               dir_ / "absent", dir_ / "readable/x"};
  const std::optional<std::string> report = report_of_child([&] {
    const int spare = exhaust_descriptors();
    if (spare < 0) {
      return std::string("cannot fill the descriptor table: ") +
             std::strerror(errno);
    }
    std::string out;
    for (const std::string& path : paths) {
      out += probe_result_name(probe_path(path.c_str()));
      out += ' ';
    }
    out += "| one free: ";
    ::close(spare);
    for (const std::string& path : paths) {
      out += probe_result_name(probe_path(path.c_str()));
      out += ' ';
    }
    const int fd = ::open("/dev/null", O_RDONLY);
    if (fd != spare) out += "| the freed descriptor was not free again";
    return out;
  });
  ASSERT_TRUE(report);
  EXPECT_EQ(*report,
            "kFailed kFailed kFailed kFailed | one free: "
            "kOpened kOpened kNotOpened kNotOpened ");
}

}  // namespace
