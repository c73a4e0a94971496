// rootchecker-seal run as its users run it: every output format parsed back
// into bytes here (not by the tool) and opened by the library's decrypter, the
// ciphertext checked against OpenSSL under the configured key, and each bad
// input's exit code and message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "native/password_decrypter.h"
#include "native/secret_bytes.h"
#include "support/test_support.h"

namespace {

struct Result {
  int exit_code = -1;
  std::string out, err;
};

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }

// The tool's command line. A cross build runs it through the emulator, since
// an emulated process cannot exec a binary of its own machine by itself.
std::vector<std::string> tool_command(const std::vector<std::string>& args) {
  std::vector<std::string> command;
  std::istringstream launcher(SEAL_TOOL_LAUNCHER);
  for (std::string word; launcher >> word;) command.push_back(word);
  command.push_back(SEAL_TOOL);
  command.insert(command.end(), args.begin(), args.end());
  return command;
}

// The library's own decrypter with the built-in key; false on failure.
bool library_opens(const Bytes& blob, std::string& password) {
  secret_bytes out;
  if (!decrypt_password_blob(blob.data(), static_cast<uint32_t>(blob.size()),
                             out)) {
    return false;
  }
  password.assign(out.begin(), out.end());
  return true;
}

// Base64 through OpenSSL, so that the tool's encoder is checked by another.
Bytes openssl_base64_decode(std::string text) {
  if (!text.empty() && text.back() == '\n') text.pop_back();
  Bytes out(text.size() / 4 * 3 + 3);
  const int n =
      EVP_DecodeBlock(out.data(), reinterpret_cast<const uint8_t*>(text.data()),
                      static_cast<int>(text.size()));
  if (n < 0) return {};
  size_t size = static_cast<size_t>(n);
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --size;
  out.resize(size);
  return out;
}

// A Java or Kotlin byte-array expression: each element is 0xNN below 0x80,
// and carries the cast a signed byte needs from 0x80 on.
Bytes parse_array_literal(const std::string& text, bool java) {
  const std::string open = java ? "new byte[] {" : "byteArrayOf(";
  const std::string close = java ? "}\n" : ")\n";
  EXPECT_EQ(text.substr(0, open.size()), open) << text;
  EXPECT_GE(text.size(), open.size() + close.size()) << text;
  if (text.size() < open.size() + close.size()) return {};
  EXPECT_EQ(text.substr(text.size() - close.size()), close) << text;
  const std::string body =
      text.substr(open.size(), text.size() - open.size() - close.size());

  const std::regex plain("\\s*0x([0-9a-f]{2})\\s*");
  const std::regex cast(java ? "\\s*\\(byte\\) 0x([0-9a-f]{2})\\s*"
                             : "\\s*0x([0-9a-f]{2})\\.toByte\\(\\)\\s*");
  Bytes out;
  size_t start = 0;
  while (start <= body.size()) {
    size_t comma = body.find(',', start);
    if (comma == std::string::npos) comma = body.size();
    const std::string element = body.substr(start, comma - start);
    std::smatch m;
    const bool is_plain = std::regex_match(element, m, plain);
    if (!is_plain && !std::regex_match(element, m, cast)) {
      ADD_FAILURE() << "not a byte element: '" << element << "'";
      return {};
    }
    const uint8_t value =
        static_cast<uint8_t>(std::stoul(m[1].str(), nullptr, 16));
    EXPECT_EQ(is_plain, value < 0x80) << "cast wrong on '" << element << "'";
    out.push_back(value);
    start = comma + 1;
  }
  return out;
}

// Parses what `seal --format format` wrote, independently of the tool.
Bytes parse_blob(const std::string& text, const std::string& format) {
  if (format == "raw") return bytes_of(text);
  if (format == "hex") {
    EXPECT_EQ(text.back(), '\n');
    return from_hex(text.substr(0, text.size() - 1));
  }
  if (format == "base64") return openssl_base64_decode(text);
  return parse_array_literal(text, format == "java");
}

class SealToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "seal_tool_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string write(const std::string& name, const std::string& content) {
    write_file(path(name), content);
    return path(name);
  }

  // Runs `program`; output goes to files, so neither stream can block it.
  // `address_space`, when not 0, limits the program's address space
  // (RLIMIT_AS) in bytes.
  Result run(const std::string& program, std::vector<std::string> args,
             const std::string& input = "", rlim_t address_space = 0) {
    const std::string in = write(".stdin", input);
    const std::string out = path(".stdout"), err = path(".stderr");
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    Result r;
    const pid_t pid = fork();
    if (pid == 0) {
      if (address_space != 0) {
        const rlimit limit{address_space, address_space};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
      }
      const int fd_in = open(in.c_str(), O_RDONLY);
      const int fd_out = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int fd_err = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd_in < 0 || fd_out < 0 || fd_err < 0 || dup2(fd_in, 0) < 0 ||
          dup2(fd_out, 1) < 0 || dup2(fd_err, 2) < 0) {
        _exit(126);
      }
      execvp(argv[0], argv.data());
      _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) {
      ADD_FAILURE() << "cannot run " << program;
      return r;
    }
    r.exit_code =
        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = read_file(out);
    r.err = read_file(err);
    return r;
  }

  Result tool(const std::vector<std::string>& args,
              const std::string& input = "", rlim_t address_space = 0) {
    std::vector<std::string> command = tool_command(args);
    const std::string program = command.front();
    command.erase(command.begin());
    return run(program, command, input, address_space);
  }

  // Seals `input` (hex format) and returns the blob; fails the test otherwise.
  Bytes seal_hex(const std::string& input,
                 const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"seal", "--format", "hex"};
    args.insert(args.end(), extra.begin(), extra.end());
    const Result r = tool(args, input);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.exit_code == 0 ? parse_blob(r.out, "hex") : Bytes{};
  }

  // Runs `script` in /bin/sh, in the test's folder, with "$@" the tool's
  // command up to `seal`, as a user's shell would run it.
  Result shell(const std::string& script, const std::string& input = "") {
    std::vector<std::string> args = {"-c", "cd \"$0\" || exit 125; " + script,
                                     dir_};
    for (const std::string& word : tool_command({"seal"})) args.push_back(word);
    return run("/bin/sh", args, input);
  }

  // Runs `exec "$@" --out OUT REDIRECT` over a log of two lines ("$$" in
  // `out` is the tool's pid, `redirect` opens the log, e.g. "5>>log"): the
  // blob must follow the lines, the log stay what it was otherwise.
  void expect_written_through(const std::string& out,
                              const std::string& redirect) {
    SCOPED_TRACE(out + " " + redirect);
    const Result r =
        shell("printf 'line 1\\nline 2\\n' >log; exec \"$@\" --out " + out +
                  " " + redirect,
              "pw\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "");
    const std::string log = read_file(path("log"));
    const std::string lines = "line 1\nline 2\n";
    ASSERT_EQ(log.substr(0, lines.size()), lines) << log;
    // A build with the development key warns on standard error, after the
    // blob.
    const std::string blob = log.substr(lines.size(), 65);
    std::string opened;
    ASSERT_TRUE(library_opens(parse_blob(blob, "hex"), opened)) << log;
    EXPECT_EQ(opened, "pw");
    if (redirect.rfind("2>", 0) != 0) {
      EXPECT_EQ(log.size(), lines.size() + 65) << log;
    }
  }

  std::string dir_;
};

// What the kernel does to the tool itself: its limits, its mount namespace,
// the signals it is sent, its /proc/self, the links it follows or refuses to
// follow for it. qemu-user passes some of that on and not the rest (it
// ignores RLIMIT_AS), so these cases run where the tool runs natively.
class SealToolKernelTest : public SealToolTest {
 protected:
  // A symbolic link at `link` (in the test's folder) to `target`.
  void link_to(const std::string& target, const std::string& link) {
    ASSERT_EQ(symlink(target.c_str(), path(link).c_str()), 0)
        << link << ": " << std::strerror(errno);
  }
  std::string link_target(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t n = readlink(path(link).c_str(), buffer, sizeof buffer);
    return n < 0 ? "(not a link)" : std::string(buffer, static_cast<size_t>(n));
  }
};

struct PasswordCase {
  const char* name;
  std::string password;
};

std::string every_byte_value() {
  std::string s;
  for (int i = 0; i < 256; ++i) s += static_cast<char>(i);
  return s;
}

const PasswordCase kPasswords[] = {
    {"empty", ""},
    {"one byte", "x"},
    {"15 bytes", "fifteen bytes!!"},
    {"16 bytes", "sixteen bytes!!!"},
    {"17 bytes", "seventeen bytes!!"},
    {"32 bytes", "thirty-two bytes, two blocks ..."},
    {"non-ASCII UTF-8", "p\xc3\xa4ssw\xc3\xb6rd \xe2\x82\xac"},
    {"zero bytes inside", std::string("a\0b\0\0c", 6)},
    {"every byte value", every_byte_value()},
};

class SealRoundTrip : public SealToolTest,
                      public ::testing::WithParamInterface<const char*> {};

// Each password, through stdin (with the newline echo adds) and through --in
// and --out (byte for byte), comes back from the library and from `verify`,
// and its ciphertext is OpenSSL's for the blob's IV and the configured key.
TEST_P(SealRoundTrip, EveryPasswordOpens) {
  const std::string format = GetParam();
  const Block key = configured_key();
  for (const PasswordCase& c : kPasswords) {
    for (const bool via_file : {false, true}) {
      SCOPED_TRACE(std::string(c.name) +
                   (via_file ? ", --in/--out" : ", stdin") + ", format " +
                   format);
      Result r;
      std::string written;
      if (via_file) {
        const std::string in = write("password", c.password);
        r = tool({"seal", "--keep-newline", "--allow-empty", "--in", in,
                  "--out", path("blob"), "--format", format});
        EXPECT_EQ(r.out, "");
        written = read_file(path("blob"));
      } else {
        r = tool({"seal", "--allow-empty", "--format", format},
                 c.password + "\n");
        written = r.out;
      }
      ASSERT_EQ(r.exit_code, 0) << r.err;
      const Bytes blob = parse_blob(written, format);
      ASSERT_EQ(blob.size(), 32 + c.password.size() / 16 * 16);

      std::string opened;
      ASSERT_TRUE(library_opens(blob, opened));
      EXPECT_EQ(to_hex(bytes_of(opened)), to_hex(bytes_of(c.password)));
      EXPECT_EQ(to_hex(blob), to_hex(seal_blob(key.data(), blob.data(),
                                               bytes_of(c.password), true)));

      const bool verify_reads_it =
          format == "raw" || format == "hex" || format == "base64";
      const Result v =
          verify_reads_it
              ? tool({"verify", "--show", "--format", format}, written)
              : tool({"verify", "--show"}, to_hex(blob));
      ASSERT_EQ(v.exit_code, 0) << v.err;
      const std::string lengths = std::to_string(blob.size()) + "-byte blob, " +
                                  std::to_string(c.password.size()) +
                                  "-byte password";
      EXPECT_NE(v.out.find(lengths), std::string::npos) << v.out;
      const std::string shown = c.password + "\n";
      ASSERT_GE(v.out.size(), shown.size());
      EXPECT_EQ(v.out.substr(v.out.size() - shown.size()), shown);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SealRoundTrip,
    ::testing::Values("raw", "hex", "base64", "java", "kotlin"),
    [](const ::testing::TestParamInfo<const char*>& format) {
      return std::string(format.param);
    });

TEST_F(SealToolTest, OneTrailingNewlineIsStripped) {
  struct Case {
    const char* name;
    std::string input;
    bool keep_newline;
    std::string password;
  };
  const Case cases[] = {
      {"no newline", "secret", false, "secret"},
      {"\\n", "secret\n", false, "secret"},
      {"\\r\\n", "secret\r\n", false, "secret"},
      {"only one of two", "secret\n\n", false, "secret\n"},
      {"lone \\r stays", "secret\r", false, "secret\r"},
      {"only a newline (--allow-empty)", "\n", false, ""},
      {"--keep-newline", "secret\n", true, "secret\n"},
      {"--keep-newline, \\r\\n", "secret\r\n", true, "secret\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> extra = {"--allow-empty"};
    if (c.keep_newline) extra.push_back("--keep-newline");
    const Bytes blob = seal_hex(c.input, extra);
    std::string opened;
    ASSERT_TRUE(library_opens(blob, opened));
    EXPECT_EQ(opened, c.password);
  }
}

TEST_F(SealToolTest, EachSealHasAFreshIv) {
  const Bytes first = seal_hex("same password");
  const Bytes second = seal_hex("same password");
  ASSERT_EQ(first.size(), 32u);
  ASSERT_EQ(second.size(), 32u);
  EXPECT_NE(to_hex(first.data(), 16), to_hex(second.data(), 16));
  EXPECT_NE(to_hex(first.data() + 16, 16), to_hex(second.data() + 16, 16));
}

// A blob sealed under another key opens with that key only. A wrong key
// decrypts to noise whose last byte is a valid padding length 1 time in 16,
// and whose padding is PKCS#7 about 1 time in 256, so "does not open" means:
// fails, or yields something else.
TEST_F(SealToolTest, KeyFileSealsAndVerifiesUnderThatKey) {
  Block other = configured_key();
  for (uint8_t& b : other) b ^= 0x5a;
  std::string upper = to_hex(Bytes(other.begin(), other.end()));
  for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
  const std::string key_file = write("other.key", "  \n" + upper + "\n\n");
  const std::string password = "under another key";

  const Bytes blob = seal_hex(password, {"--key-file", key_file});
  ASSERT_EQ(blob.size(), 48u);
  EXPECT_EQ(to_hex(blob), to_hex(seal_blob(other.data(), blob.data(),
                                           bytes_of(password), true)));

  const Result with_key =
      tool({"verify", "--key-file", key_file, "--show"}, to_hex(blob));
  EXPECT_EQ(with_key.exit_code, 0) << with_key.err;
  EXPECT_EQ(with_key.out.substr(with_key.out.find('\n') + 1), password + "\n");

  const Result built_in = tool({"verify", "--show"}, to_hex(blob));
  EXPECT_TRUE(built_in.exit_code == 1 || built_in.exit_code == 7 ||
              (built_in.exit_code == 0 &&
               built_in.out.find(password) == std::string::npos))
      << built_in.exit_code << " " << built_in.out << built_in.err;
  std::string opened;
  EXPECT_FALSE(library_opens(blob, opened) && opened == password);

  // And the other way round.
  const Bytes built_in_blob = seal_hex(password);
  const Result other_key =
      tool({"verify", "--key-file", key_file, "--show"}, to_hex(built_in_blob));
  EXPECT_TRUE(other_key.exit_code == 1 || other_key.exit_code == 7 ||
              (other_key.exit_code == 0 &&
               other_key.out.find(password) == std::string::npos))
      << other_key.exit_code << " " << other_key.out << other_key.err;
}

// verify applies the library's rule (the last decrypted byte, exit 1), then
// checks the whole padding as seal writes it (exit 7). Each blob runs with
// the built-in key and, through a key file holding the same key, through the
// core's two-step path.
TEST_F(SealToolTest, VerifyFollowsThePaddingByte) {
  struct Case {
    const char* name;
    std::string plaintext;  // whole blocks, encrypted without padding
    int exit_code;
    size_t password_length;
  };
  const Case cases[] = {
      {"last byte 0", std::string(15, 'a') + '\x00', 1, 0},
      {"last byte 17", std::string(15, 'a') + '\x11', 1, 0},
      {"last byte 0xff", std::string(15, 'a') + '\xff', 1, 0},
      {"last byte 16: empty password", std::string(16, '\x10'), 0, 0},
      {"last byte 1", std::string(15, 'a') + '\x01', 0, 15},
      {"not PKCS#7, last byte 3",
       std::string(13, 'a') + std::string("\x07\x00\x03", 3), 7, 13},
      {"not PKCS#7, last byte 2 after a 1", std::string(14, 'a') + "\x01\x02",
       7, 14},
      {"not PKCS#7, a wrong byte in the middle of 16",
       std::string(7, '\x10') + "\x0f" + std::string(8, '\x10'), 7, 0},
      {"PKCS#7, 3 bytes of 3", std::string(13, 'a') + "\x03\x03\x03", 0, 13},
      {"two blocks, last byte 16",
       std::string(16, 'a') + std::string(16, '\x10'), 0, 16},
      {"two blocks, last byte 17", std::string(31, 'a') + '\x11', 1, 0},
  };
  const Block key = configured_key();
  const std::string key_file =
      write("configured.key", to_hex(Bytes(key.begin(), key.end())));
  const uint8_t iv[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                          0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  for (const Case& c : cases) {
    const Bytes blob = seal_blob(key.data(), iv, bytes_of(c.plaintext), false);
    for (const bool with_key_file : {false, true}) {
      SCOPED_TRACE(std::string(c.name) +
                   (with_key_file ? ", --key-file" : ", built-in key"));
      std::vector<std::string> args = {"verify", "--show"};
      if (with_key_file) {
        args.push_back("--key-file");
        args.push_back(key_file);
      }
      const Result r = tool(args, to_hex(blob));
      ASSERT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
      if (c.exit_code == 0) {
        EXPECT_EQ(r.out.substr(r.out.find('\n') + 1),
                  c.plaintext.substr(0, c.password_length) + "\n");
      } else if (c.exit_code == 7) {
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("opens, but the padding is not PKCS#7: wrong key "
                             "or damaged blob?"),
                  std::string::npos)
            << r.err;
      } else {
        EXPECT_NE(r.err.find("padding length from 1 to 16"), std::string::npos)
            << r.err;
      }
    }
  }
}

TEST_F(SealToolTest, BadInputsExitWithTheirCodeAndOneLine) {
  write("short.key", std::string(30, 'a'));
  write("long.key", std::string(34, 'a'));
  write("nonhex.key", std::string(31, 'a') + "g");
  write("split.key", std::string(16, 'a') + " " + std::string(16, 'a'));
  write("empty.key", "");
  write("nul.key", std::string(32, 'a') + std::string(1, '\0'));
  write("empty.password", "");
  std::filesystem::create_directory(path("folder"));
  struct Case {
    const char* name;
    std::vector<std::string> args;  // "@name" is a file in the test's folder
    std::string input;
    int exit_code;
    const char* message;
  };
  const Case cases[] = {
      {"no arguments", {}, "", 2, "no command"},
      {"unknown command", {"frobnicate"}, "", 2, "unknown command"},
      {"unknown option",
       {"seal", "--bogus"},
       "x",
       2,
       "unknown option '--bogus'"},
      {"password as argument",
       {"seal", "hunter2"},
       "",
       2,
       "never from the command line"},
      {"option without value", {"seal", "--in"}, "", 2, "--in needs a value"},
      {"empty value", {"seal", "--format="}, "", 2, "--format needs a value"},
      {"unknown format",
       {"seal", "--format", "yaml"},
       "x",
       2,
       "unknown format 'yaml'"},
      {"java is not read by verify",
       {"verify", "--format", "java"},
       "",
       2,
       "unknown format"},
      {"--show is verify's",
       {"seal", "--show"},
       "x",
       2,
       "unknown option '--show'"},
      {"--out is seal's",
       {"verify", "--out", "@x"},
       "",
       2,
       "unknown option '--out'"},
      {"option twice",
       {"seal", "--in", "@a", "--in", "@b"},
       "",
       2,
       "--in given twice"},
      {"flag with value",
       {"seal", "--keep-newline=yes"},
       "",
       2,
       "takes no value"},
      {"key of 30 digits",
       {"seal", "--key-file", "@short.key"},
       "x",
       3,
       "30 hex digits"},
      {"key of 34 digits",
       {"verify", "--key-file", "@long.key"},
       "",
       3,
       "34 hex digits"},
      {"key not hex",
       {"seal", "--key-file", "@nonhex.key"},
       "x",
       3,
       "not a hex digit at offset 31"},
      {"key with inner space",
       {"seal", "--key-file", "@split.key"},
       "x",
       3,
       "not a hex digit at offset 16"},
      {"empty key file",
       {"seal", "--key-file", "@empty.key"},
       "x",
       3,
       "0 hex digits"},
      {"key file with a NUL byte",
       {"seal", "--key-file", "@nul.key"},
       "x",
       3,
       "key file '<dir>/nul.key': a NUL byte at offset 32"},
      {"missing key file",
       {"seal", "--key-file", "@none.key"},
       "x",
       4,
       "key file '<dir>/none.key': cannot open: No such file"},
      {"key file is a folder",
       {"verify", "--key-file", "@folder"},
       "",
       4,
       "key file '<dir>/folder': is a directory"},
      {"missing --in",
       {"seal", "--in", "@none"},
       "",
       4,
       "password file '<dir>/none': cannot open"},
      {"--in is a folder",
       {"seal", "--in", "@folder"},
       "",
       4,
       "password file '<dir>/folder': is a directory"},
      {"unwritable --out",
       {"seal", "--out", "@none/blob"},
       "x",
       4,
       "output file '<dir>/none/blob': cannot create a temporary file"},
      {"--out is a folder",
       {"seal", "--out", "@folder"},
       "x",
       4,
       "output file '<dir>/folder': is a directory"},
      {"missing blob file",
       {"verify", "--in", "@none"},
       "",
       4,
       "blob file '<dir>/none': cannot open"},
      {"empty password", {"seal"}, "", 2, "the password is empty"},
      {"empty password, a newline only", {"seal"}, "\n", 2, "--allow-empty"},
      {"empty password file",
       {"seal", "--in", "@empty.password"},
       "",
       2,
       "the password is empty"},
      {"--allow-empty is seal's",
       {"verify", "--allow-empty"},
       "",
       2,
       "unknown option '--allow-empty'"},
      {"password over the limit",
       {"seal"},
       std::string((1 << 20) + 1, 'x'),
       4,
       "the password is over 1048559 bytes"},
      {"odd hex", {"verify"}, std::string(63, 'a'), 5, "odd number"},
      {"non-hex",
       {"verify"},
       std::string(63, 'a') + "z",
       5,
       "'z' at offset 63"},
      {"base64 length",
       {"verify", "--format", "base64"},
       "AAAAA",
       5,
       "not a multiple of 4"},
      {"base64 digit",
       {"verify", "--format", "base64"},
       "AA*A",
       5,
       "'*' at digit 2"},
      {"base64 inner padding",
       {"verify", "--format", "base64"},
       "AA==AAAA",
       5,
       "'='"},
      {"base64 three =", {"verify", "--format", "base64"}, "A===", 5, "'='"},
      {"empty blob", {"verify"}, "", 1, "length is 0;"},
      {"blob of 16 bytes",
       {"verify"},
       std::string(32, 'a'),
       1,
       "length is 16;"},
      {"blob of 17 bytes",
       {"verify", "--format", "raw"},
       std::string(17, 'a'),
       1,
       "length is 17;"},
      {"blob of 40 bytes",
       {"verify"},
       std::string(80, 'a'),
       1,
       "length is 40;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    for (std::string& a : args) {
      if (!a.empty() && a[0] == '@') a = path(a.substr(1));
    }
    const Result r = tool(args, c.input);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("rootchecker-seal: ", 0), 0u) << r.err;
    // "<dir>" in a message stands for the test's folder.
    std::string message = c.message;
    const size_t at = message.find("<dir>");
    if (at != std::string::npos) message.replace(at, 5, dir_);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.find("hunter2"), std::string::npos)
        << "password echoed: " << r.err;
  }
}

TEST_F(SealToolTest, HelpDocumentsInputsFormatsAndExitCodes) {
  const Result r = tool({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* needle : {"never taken from the command",
                             "--keep-newline",
                             "\"\\r\\n\"",
                             "raw, hex, base64, java or kotlin",
                             "library's own key shares",
                             "--allow-empty",
                             "no integrity tag",
                             "no check can prove that",
                             "whole or not at all",
                             "1048576",
                             "  0  ",
                             "  1  ",
                             "  2  ",
                             "  3  ",
                             "  4  ",
                             "  5  ",
                             "  6  ",
                             "  7  ",
                             "  8  ",
                             "  9  ",
                             "\"Salted__\"",
                             "an empty line or Ctrl-D"}) {
    EXPECT_NE(r.out.find(needle), std::string::npos) << needle;
  }
  EXPECT_EQ(tool({"seal", "--help"}).out, r.out);
}

// On a terminal the password is asked for with echo off: what is typed does
// not come back on the terminal, and one line is sealed.
TEST_F(SealToolTest, TerminalPasswordIsNotEchoed) {
  const std::string blob_file = path("blob");
  std::vector<std::string> command = tool_command({"seal", "--out", blob_file});
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  // Read until the prompt, answer it, then read until the tool closes the
  // terminal (EIO once no process holds it).
  std::string screen;
  bool answered = false;
  char buffer[256];
  for (;;) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    screen.append(buffer, static_cast<size_t>(n));
    if (!answered && screen.find("Password: ") != std::string::npos) {
      ASSERT_EQ(::write(master, "typed secret\n", 13), 13);
      answered = true;
    }
  }
  close(master);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  EXPECT_TRUE(answered) << screen;
  EXPECT_EQ(screen.find("typed secret"), std::string::npos) << screen;
  std::string opened;
  ASSERT_TRUE(
      library_opens(from_hex(read_file(blob_file).substr(0, 64)), opened));
  EXPECT_EQ(opened, "typed secret");
}

// The tool on a terminal: `answer` is typed once `prompt` shows (never, if
// the prompt does not come); the screen is everything the terminal showed.
struct TerminalRun {
  int exit_code = -1;
  bool prompted = false;
  std::string screen;
};

TerminalRun on_terminal(const std::vector<std::string>& args,
                        const std::string& prompt, const std::string& answer) {
  std::vector<std::string> command = tool_command(args);
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  TerminalRun run;
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) {
    ADD_FAILURE() << "forkpty: " << std::strerror(errno);
    return run;
  }
  if (pid == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  // Read until the tool closes the terminal (EIO once no process holds it).
  // A tool that waits without a prompt would wait for ever: a minute of
  // silence ends it (a hang guard, far above any run's time).
  char buffer[256];
  for (;;) {
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, 60000) == 0) {
      kill(pid, SIGKILL);
      run.screen += "[a minute without output: killed]";
      break;
    }
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) break;
    run.screen.append(buffer, static_cast<size_t>(n));
    if (!run.prompted && run.screen.find(prompt) != std::string::npos) {
      run.prompted = true;
      for (size_t done = 0; done < answer.size();) {
        const ssize_t w =
            ::write(master, answer.data() + done, answer.size() - done);
        if (w <= 0) break;
        done += static_cast<size_t>(w);
      }
    }
  }
  close(master);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status))
    run.exit_code = WEXITSTATUS(status);
  return run;
}

// verify asks for the blob on a terminal and reads it whole, however it is
// wrapped, up to an empty line or Ctrl-D; a line the terminal may have cut is
// refused, not opened.
TEST_F(SealToolTest, VerifyAsksForTheBlobOnATerminal) {
  const std::string password = "typed on a terminal, 30 bytes";
  const Bytes blob = seal_hex(password);
  ASSERT_EQ(blob.size(), 48u);
  const std::string hex = to_hex(blob);
  std::string base64(64, '\0');
  base64.resize(static_cast<size_t>(
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                      blob.data(), static_cast<int>(blob.size()))));
  ASSERT_EQ(base64.size(), 64u);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string answer;
    int exit_code;
    const char* expected;  // on the screen
  };
  const Case cases[] = {
      {"hex on two lines, then an empty line",
       {"verify", "--show"},
       hex.substr(0, 40) + "\n" + hex.substr(40) + "\n\n",
       0,
       "\r\ntyped on a terminal, 30 bytes\r\n"},
      {"base64 wrapped, then Ctrl-D",
       {"verify", "--show", "--format", "base64"},
       base64.substr(0, 24) + "\n" + base64.substr(24, 24) + "\n" +
           base64.substr(48) + "\n\x04",
       0,
       "\r\ntyped on a terminal, 30 bytes\r\n"},
      {"Ctrl-D right after the blob",
       {"verify", "--show"},
       hex + "\x04\x04",
       0,
       "\r\ntyped on a terminal, 30 bytes\r\n"},
      {"a line as long as a terminal passes",
       {"verify"},
       std::string(5000, '0') + "\n",
       4,
       "the blob was probably cut"},
  };
  const std::string prompt = "Blob (";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TerminalRun run = on_terminal(c.args, prompt, c.answer);
    EXPECT_TRUE(run.prompted) << run.screen;
    EXPECT_EQ(run.exit_code, c.exit_code) << run.screen;
    EXPECT_NE(run.screen.find(c.expected), std::string::npos) << run.screen;
  }
  // A raw blob is not typed: refused before any prompt.
  const TerminalRun raw =
      on_terminal({"verify", "--format", "raw"}, prompt, hex + "\n\n");
  EXPECT_FALSE(raw.prompted) << raw.screen;
  EXPECT_EQ(raw.exit_code, 2) << raw.screen;
  EXPECT_NE(raw.screen.find("will not read a raw blob from a terminal"),
            std::string::npos)
      << raw.screen;
}

// What openssl enc writes when the IV is not put in front of it, made by the
// openssl command itself: verify names it where the bytes show it (a
// "Salted__" header, exit 9; a single block, exit 1), and opens the output
// of the right command.
TEST_F(SealToolTest, VerifyNamesOpensslOutputWithoutItsIv) {
  if (run("/bin/sh", {"-c", "command -v openssl"}).exit_code != 0)
    GTEST_SKIP() << "no openssl command";
  const Block key = configured_key();
  const std::string k = to_hex(Bytes(key.begin(), key.end()));
  const std::string iv = "00112233445566778899aabbccddeeff";
  const std::string pass = "printf pw | openssl enc -aes-128-cbc ";
  const std::string hex = " | od -An -v -tx1";
  struct Case {
    const char* name;
    std::string script;  // writes the blob to standard output
    const char* format;
    int exit_code;
    const char* message;
  };
  const Case cases[] = {
      {"-pass and -pbkdf2", pass + "-pbkdf2 -pass pass:x", "raw", 9,
       "the blob starts with \"Salted__\": openssl enc's output"},
      {"-k, the old key derivation, as hex", pass + "-k x 2>/dev/null" + hex,
       "hex", 9, "the blob starts with \"Salted__\""},
      {"-a, read as hex", pass + "-pbkdf2 -pass pass:x -a", "hex", 9,
       "is base64 (give --format base64) and starts with \"Salted__\""},
      {"-a, read as base64", pass + "-pbkdf2 -pass pass:x -a", "base64", 9,
       "the blob starts with \"Salted__\""},
      {"-K and -iv, the IV left out", pass + "-K " + k + " -iv " + iv, "raw", 1,
       "16 bytes is one block with no IV in front"},
      {"-K and -iv, the IV first",
       "printf %s " + iv + "; " + pass + "-K " + k + " -iv " + iv + hex, "hex",
       0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result made = run("/bin/sh", {"-c", c.script});
    ASSERT_EQ(made.exit_code, 0) << made.err;
    write("blob", made.out);
    const Result r =
        tool({"verify", "--show", "--format", c.format, "--in", path("blob")});
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    if (c.exit_code == 0) {
      EXPECT_EQ(r.out.substr(r.out.find('\n') + 1), "pw\n");
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
  }
}

// The names in a folder, sorted.
std::vector<std::string> listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// --out replaces the old file whole, keeps its permissions and leaves nothing
// beside it.
TEST_F(SealToolTest, OutReplacesTheOldFileWhole) {
  std::filesystem::create_directory(path("out"));
  const std::string blob_file = write("out/blob.hex", "the old blob\n");
  ASSERT_EQ(chmod(blob_file.c_str(), 0640), 0);
  const std::string in = write("password", "replaced");
  const Result r = tool({"seal", "--in", in, "--out", blob_file});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::string opened;
  ASSERT_TRUE(library_opens(parse_blob(read_file(blob_file), "hex"), opened));
  EXPECT_EQ(opened, "replaced");
  struct stat st {};
  ASSERT_EQ(stat(blob_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(listing(path("out")), std::vector<std::string>{"blob.hex"});
}

// A device is written as it is, never replaced: /dev/full fails with its
// error and stays a device.
TEST_F(SealToolTest, OutToADeviceIsWrittenInPlace) {
  const Result full = tool({"seal", "--out", "/dev/full"}, "secret");
  EXPECT_EQ(full.exit_code, 4);
  EXPECT_NE(full.err.find("output file '/dev/full': cannot write: No space"),
            std::string::npos)
      << full.err;
  const Result null = tool({"seal", "--out", "/dev/null"}, "secret");
  EXPECT_EQ(null.exit_code, 0) << null.err;
  for (const char* device : {"/dev/full", "/dev/null"}) {
    struct stat st {};
    ASSERT_EQ(stat(device, &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << device;
  }
}

// On a full or read-only file system (an 8 KiB tmpfs in a mount namespace of
// this test's own) a failed seal leaves the old --out file byte for byte and
// no new or temporary file.
TEST_F(SealToolKernelTest, FailedWriteLeavesTheOldFile) {
  if (unshare(CLONE_NEWNS) != 0) {
    GTEST_SKIP() << "no mount namespace (needs root): " << std::strerror(errno);
  }
  ASSERT_EQ(mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr), 0)
      << std::strerror(errno);
  const std::string small = path("small");
  std::filesystem::create_directory(small);
  ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", 0, "size=8k"), 0)
      << std::strerror(errno);
  struct Unmount {
    std::string at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{small};

  const std::string blob_file = small + "/blob.java";
  const Result first = tool({"seal", "--format", "java", "--out", blob_file},
                            "the good password");
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const std::string good = read_file(blob_file);
  ASSERT_GT(good.size(), 100u);

  struct Case {
    const char* name;
    std::vector<std::string> args;
    size_t password_size;
    const char* error;
  };
  const Case cases[] = {
      {"java over the old file",
       {"--format", "java", "--out", blob_file},
       6000,
       "No space left on device"},
      {"raw into a new file",
       {"--format", "raw", "--out", small + "/new.bin"},
       5000,
       "No space left on device"},
      {"read-only",
       {"--format", "java", "--out", blob_file},
       10,
       "Read-only file system"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.error) == "Read-only file system") {
      ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY,
                      "size=8k"),
                0)
          << std::strerror(errno);
    }
    std::vector<std::string> args = {
        "seal", "--in", write("password", std::string(c.password_size, 'p'))};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Result r = tool(args);
    EXPECT_EQ(r.exit_code, 4) << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(read_file(blob_file), good);
    EXPECT_EQ(listing(small), std::vector<std::string>{"blob.java"});
  }
}

// --out that names an input (by its path, another name or a link, or the file
// on standard input) is refused before anything is read: the invalid key
// file would otherwise give exit 3.
TEST_F(SealToolTest, OutNeverNamesAnInput) {
  const std::string password = write("pw", "the password\n");
  const std::string bad_key = write("bad.key", "not a key\n");
  const std::string key = write("app.key", std::string(32, 'b'));
  ASSERT_EQ(link(password.c_str(), path("pw.link").c_str()), 0);
  ASSERT_EQ(link(key.c_str(), path("app.key.link").c_str()), 0);
  ASSERT_EQ(symlink(password.c_str(), path("pw.symlink").c_str()), 0);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* input_name;
  };
  const Case cases[] = {
      {"--in, same path", {"--in", "@pw", "--out", "@pw"}, "--in"},
      {"--in, a hard link", {"--in", "@pw", "--out", "@pw.link"}, "--in"},
      {"--in, a symbolic link",
       {"--in", "@pw", "--out", "@pw.symlink"},
       "--in"},
      {"--key-file, same path, unread",
       {"--key-file", "@bad.key", "--out", "@bad.key"},
       "--key-file"},
      {"--key-file, a hard link",
       {"--key-file", "@app.key", "--out", "@app.key.link"},
       "--key-file"},
      {"standard input", {"--out", "@.stdin"}, "standard input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"seal"};
    for (std::string a : c.args)
      args.push_back(a[0] == '@' ? path(a.substr(1)) : a);
    const Result r = tool(args, "typed");
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("it would be overwritten"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(c.input_name), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(password), "the password\n");
    EXPECT_EQ(read_file(bad_key), "not a key\n");
    EXPECT_EQ(read_file(key), std::string(32, 'b'));
    EXPECT_EQ(read_file(path(".stdin")), "typed");
  }
}

// "-" is standard input for --in and standard output for --out.
TEST_F(SealToolTest, DashIsTheStandardStream) {
  const Result sealed = tool({"seal", "--in", "-", "--out", "-"}, "secret\n");
  ASSERT_EQ(sealed.exit_code, 0) << sealed.err;
  std::string opened;
  ASSERT_TRUE(library_opens(parse_blob(sealed.out, "hex"), opened));
  EXPECT_EQ(opened, "secret");
  const Result verified = tool({"verify", "--in", "-", "--show"}, sealed.out);
  ASSERT_EQ(verified.exit_code, 0) << verified.err;
  EXPECT_EQ(verified.out.substr(verified.out.find('\n') + 1), "secret\n");
}

// --out naming one of the tool's descriptors is written through it, as "-"
// is: a ">>" log keeps its lines, a shell group keeps what comes before and
// after the blob. A descriptor that is not open, or open for reading only,
// is exit 4 and changes nothing.
TEST_F(SealToolTest, OutNamingADescriptorWritesThroughIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"/dev/stdout", ">>log"},
      {"/dev/stderr", "2>>log"},
      {"/dev/fd/1", ">>log"},
      {"/dev/fd/5", "5>>log"},
  };
  for (const auto& [out, redirect] : cases)
    expect_written_through(out, redirect);

  const Result group = shell(
      "{ echo header; \"$@\" --out /dev/stdout; echo footer; } >out", "pw\n");
  ASSERT_EQ(group.exit_code, 0) << group.err;
  const std::string out = read_file(path("out"));
  ASSERT_EQ(out.size(), 7 + 65 + 7) << out;
  EXPECT_EQ(out.substr(0, 7), "header\n");
  EXPECT_EQ(out.substr(7 + 65), "footer\n");
  std::string opened;
  ASSERT_TRUE(library_opens(parse_blob(out.substr(7, 65), "hex"), opened));
  EXPECT_EQ(opened, "pw");

  struct Refused {
    const char* script;
    const char* message;
  };
  const Refused refused[] = {
      {"exec \"$@\" --out /dev/fd/9 9>&-",
       "'/dev/fd/9': descriptor 9 is not open"},
      {"exec \"$@\" --out /dev/fd/5 5<log",
       "'/dev/fd/5': descriptor 5 is not open for writing"},
  };
  for (const Refused& c : refused) {
    SCOPED_TRACE(c.script);
    write("log", "line 1\n");
    const std::vector<std::string> before = listing(dir_);
    const Result r = shell(c.script, "pw\n");
    EXPECT_EQ(r.exit_code, 4) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(path("log")), "line 1\n");
    EXPECT_EQ(listing(dir_), before);
  }
}

// /proc's names of the tool's descriptors are written through them too.
TEST_F(SealToolKernelTest, ProcNamesOfADescriptorWriteThroughIt) {
  const std::pair<const char*, const char*> cases[] = {
      {"/proc/self/fd/1", ">>log"},
      {"/proc/thread-self/fd/5", "5>>log"},
      {"/proc/$$/fd/1", ">>log"},
      {"/proc/self/task/$$/fd/1", ">>log"},
  };
  for (const auto& [out, redirect] : cases)
    expect_written_through(out, redirect);

  write("log", "line 1\n");
  const Result closed = shell("exec \"$@\" --out /proc/self/fd/9 9>&-", "pw\n");
  EXPECT_EQ(closed.exit_code, 4) << closed.err;
  EXPECT_NE(closed.err.find("descriptor 9 is not open"), std::string::npos)
      << closed.err;
  EXPECT_EQ(read_file(path("log")), "line 1\n");
}

// Any other name that reaches a file the tool has open (another spelling of
// a /proc link, a link to /dev/stdout, the file's own name) would replace
// the file under the writer: refused (exit 2), the file and the link as
// they were.
TEST_F(SealToolKernelTest, OtherNamesOfAnOpenFileAreRefused) {
  link_to("/dev/stdout", "to-stdout");
  struct Case {
    const char* out;
    const char* message;
  };
  const Case cases[] = {
      {"/proc/self/fd//1", "reaches an open file through a /proc link"},
      {"/proc/self/fd/../fd/1", "reaches an open file through a /proc link"},
      {"to-stdout", "reaches an open file through a /proc link"},
      {"log", "'log' is the file open on descriptor 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.out);
    write("log", "line 1\nline 2\n");
    const Result r =
        shell("exec \"$@\" --out " + std::string(c.out) + " >>log", "pw\n");
    EXPECT_EQ(r.exit_code, 2) << r.err;
    // A kernel before 5.6 cannot tell a /proc link; the open file is found.
    EXPECT_TRUE(r.err.find(c.message) != std::string::npos ||
                r.err.find("is the file open on descriptor 1") !=
                    std::string::npos)
        << r.err;
    EXPECT_EQ(read_file(path("log")), "line 1\nline 2\n");
    EXPECT_EQ(link_target("to-stdout"), "/dev/stdout");
  }
}

// A symbolic link stays one: the file it leads to is replaced whole, keeps
// its permissions, and no temporary file is left in either folder. Links
// are read by the kernel from their own folder, whatever the tool's.
TEST_F(SealToolKernelTest, SymlinkStaysALinkToTheReplacedFile) {
  std::filesystem::create_directory(path("files"));
  std::filesystem::create_directory(path("links"));
  const std::string real = path("files/real");
  struct Case {
    const char* name;
    std::string link, target;
  };
  const Case cases[] = {
      {"absolute", "links/absolute", real},
      {"relative, from another folder", "links/relative", "../files/real"},
      {"a link to a link", "links/chain", "relative"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    link_to(c.target, c.link);
    write("files/real", "the old blob\n");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    const std::vector<std::string> links = listing(path("links"));
    const Result r = tool({"seal", "--out", path(c.link)}, "pw\n");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(link_target(c.link), c.target);
    std::string opened;
    ASSERT_TRUE(library_opens(parse_blob(read_file(real), "hex"), opened));
    EXPECT_EQ(opened, "pw");
    struct stat st {};
    ASSERT_EQ(lstat(real.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(listing(path("files")), std::vector<std::string>{"real"});
    EXPECT_EQ(listing(path("links")), links);
  }

  // A link to a device: the device is written, and stays one.
  link_to("/dev/null", "links/null");
  const Result null = tool({"seal", "--out", path("links/null")}, "pw\n");
  EXPECT_EQ(null.exit_code, 0) << null.err;
  EXPECT_EQ(link_target("links/null"), "/dev/null");
}

// A dangling link is refused (exit 4): the file it names is not created
// through it, and the link stays as it was.
TEST_F(SealToolKernelTest, DanglingSymlinkIsRefused) {
  std::filesystem::create_directory(path("files"));
  std::filesystem::create_directory(path("links"));
  const std::pair<const char*, std::string> cases[] = {
      {"links/relative", "../files/none"},
      {"links/absolute", path("files/none")},
  };
  for (const auto& [link, target] : cases) link_to(target, link);
  for (const auto& [link, target] : cases) {
    SCOPED_TRACE(link);
    const Result r = tool({"seal", "--out", path(link)}, "pw\n");
    EXPECT_EQ(r.exit_code, 4) << r.err;
    EXPECT_NE(r.err.find("a symbolic link to nothing (dangling)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(link_target(link), target);
    EXPECT_EQ(listing(path("files")), std::vector<std::string>{});
    EXPECT_EQ(listing(path("links")),
              (std::vector<std::string>{"absolute", "relative"}));
  }
}

// With fs.protected_symlinks, the kernel follows a link in a sticky,
// world-writable folder only for the link's owner or the folder's: root
// following another user's link there gets EACCES, and so must the tool,
// leaving the file the link names as it was.
TEST_F(SealToolKernelTest, ProtectedSymlinkIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (to give a link away)";
  // Without systemd (the test VMs, some containers) the protection is off:
  // it is turned on for this case, which only makes the kernel stricter, and
  // put back after.
  const char* const sysctl = "/proc/sys/fs/protected_symlinks";
  struct Protection {
    const char* file;
    std::string old;
    ~Protection() {
      if (!old.empty() && old != "1\n") std::ofstream(file) << old;
    }
  } protection{sysctl, read_file(sysctl)};
  if (protection.old != "1\n") std::ofstream(sysctl) << "1\n";
  if (read_file(sysctl) != "1\n")
    GTEST_SKIP() << "fs.protected_symlinks cannot be turned on here";
  const std::string sticky = path("sticky");
  std::filesystem::create_directory(sticky);
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  const std::string real = write("real", "the old blob\n");
  link_to(real, "sticky/link");
  const std::string link = path("sticky/link");
  ASSERT_EQ(lchown(link.c_str(), 65534, 65534), 0) << std::strerror(errno);
  // The kernel's own refusal first, as `echo x > link` meets it.
  const int fd = open(link.c_str(), O_WRONLY);
  ASSERT_LT(fd, 0) << "the kernel follows the link";
  ASSERT_EQ(errno, EACCES) << std::strerror(errno);

  const Result r = tool({"seal", "--out", link}, "pw\n");
  EXPECT_EQ(r.exit_code, 4) << r.err;
  EXPECT_NE(r.err.find("does not follow this symbolic link"), std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(real), "the old blob\n");
  EXPECT_EQ(link_target("sticky/link"), real);
  EXPECT_EQ(listing(sticky), std::vector<std::string>{"link"});
}

// seal takes the longest password whose blob verify still reads, and not one
// byte more; verify refuses a blob one block larger.
TEST_F(SealToolTest, SealAndVerifyTakeTheSameLargestBlob) {
  const size_t largest_blob = 1 << 20;
  const size_t longest_password = largest_blob - 17;
  const std::string in = write("password", std::string(longest_password, 'q'));
  const std::string blob_file = path("blob");
  const Result sealed =
      tool({"seal", "--in", in, "--out", blob_file, "--format", "raw"});
  ASSERT_EQ(sealed.exit_code, 0) << sealed.err;
  const std::string blob = read_file(blob_file);
  ASSERT_EQ(blob.size(), largest_blob);
  for (const char* format : {"raw", "hex"}) {
    SCOPED_TRACE(format);
    const std::string text =
        std::string(format) == "raw" ? blob : to_hex(bytes_of(blob)) + "\n";
    const Result verified =
        tool({"verify", "--in", write("blob.text", text), "--format", format});
    EXPECT_EQ(verified.exit_code, 0) << verified.err;
    EXPECT_NE(
        verified.out.find(std::to_string(longest_password) + "-byte password"),
        std::string::npos)
        << verified.out;
  }

  const Result too_long =
      tool({"seal", "--in",
            write("password", std::string(longest_password + 1, 'q'))});
  EXPECT_EQ(too_long.exit_code, 4);
  EXPECT_NE(too_long.err.find("over 1048559 bytes"), std::string::npos)
      << too_long.err;
  EXPECT_EQ(too_long.out, "");

  const Result too_large = tool({"verify", "--format", "raw", "--in",
                                 write("big", blob + std::string(16, 'b'))});
  EXPECT_EQ(too_large.exit_code, 4);
  EXPECT_NE(too_large.err.find("the blob is 1048592 bytes"), std::string::npos)
      << too_large.err;
}

// A wrong key: the blob is sealed under another key, chosen (by OpenSSL's
// decryption, not the tool's) so that under the configured key its last byte
// is a padding length from 2 to 16 and the padding is not PKCS#7. The library
// returns bytes for it; verify must not say it opens.
TEST_F(SealToolTest, VerifyFailsOnAWrongKeyThatTheLibraryAccepts) {
  const Block key = configured_key();
  const uint8_t iv[16] = {1, 2,  3,  4,  5,  6,  7,  8,
                          9, 10, 11, 12, 13, 14, 15, 16};
  const Bytes password = bytes_of("hunter2");
  Bytes blob;
  for (int i = 0; i < 100000 && blob.empty(); ++i) {
    Block other = key;
    other[0] ^= static_cast<uint8_t>(i);
    other[1] ^= static_cast<uint8_t>(i >> 8);
    other[2] ^= static_cast<uint8_t>(0x80 | (i >> 16));
    const Bytes candidate = seal_blob(other.data(), iv, password, true);
    // What the configured key makes of it: CBC decryption is encryption's
    // inverse, so OpenSSL's encryption of the result must give it back.
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
        EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Bytes plain(16);
    int n = 0;
    ASSERT_TRUE(ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr,
                                          key.data(), iv) == 1);
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    ASSERT_EQ(EVP_DecryptUpdate(ctx.get(), plain.data(), &n,
                                candidate.data() + 16, 16),
              1);
    const uint8_t p = plain[15];
    if (p < 2 || p > 16) continue;
    if (std::all_of(plain.end() - p, plain.end(),
                    [p](uint8_t b) { return b == p; })) {
      continue;
    }
    blob = candidate;
  }
  ASSERT_FALSE(blob.empty()) << "no such key among 100000";

  std::string opened;
  ASSERT_TRUE(library_opens(blob, opened)) << "the library's rule must pass";
  EXPECT_NE(opened, "hunter2");
  const Result r = tool({"verify", "--show"}, to_hex(blob));
  EXPECT_EQ(r.exit_code, 7) << r.out << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("opens, but the padding is not PKCS#7: wrong key or "
                       "damaged blob?"),
            std::string::npos)
      << r.err;
}

// The terminal gets its echo back on every way out of the password prompt:
// a password, an error, Ctrl-C and Ctrl-\ typed, SIGTERM and SIGHUP sent.
// The tool runs on a pseudo-terminal of its own, as a session leader with
// it as its controlling terminal, so typed control characters signal it as
// a shell's foreground job; this test keeps the terminal's other side open to
// read its settings.
TEST_F(SealToolKernelTest, TerminalEchoComesBackOnEveryWayOut) {
  struct Case {
    const char* name;
    const char* typed;  // or nullptr
    int signal_sent;    // or 0
    int exit_code;      // or -1 when the tool dies of `dies_of`
    int dies_of;
  };
  const Case cases[] = {
      {"password", "typed secret\n", 0, 0, 0},
      {"empty password", "\n", 0, 2, 0},
      {"Ctrl-C", "\x03", 0, -1, SIGINT},
      {"Ctrl-\\", "\x1c", 0, -1, SIGQUIT},
      {"SIGTERM", nullptr, SIGTERM, -1, SIGTERM},
      {"SIGHUP", nullptr, SIGHUP, -1, SIGHUP},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> command =
        tool_command({"seal", "--out", path("blob")});
    std::vector<char*> argv;
    for (std::string& a : command) argv.push_back(a.data());
    argv.push_back(nullptr);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setsid();
      ioctl(slave, TIOCSCTTY, 0);
      dup2(slave, 0);
      dup2(slave, 1);
      dup2(slave, 2);
      close(master);
      if (slave > 2) close(slave);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    // Up to the prompt; the poll's limit only keeps a broken tool from
    // hanging the test.
    std::string screen;
    while (screen.find("Password: ") == std::string::npos) {
      pollfd fd{master, POLLIN, 0};
      if (poll(&fd, 1, 60000) <= 0) break;
      char buffer[256];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;
      screen.append(buffer, static_cast<size_t>(n));
    }
    EXPECT_NE(screen.find("Password: "), std::string::npos) << screen;
    termios during{};
    ASSERT_EQ(tcgetattr(slave, &during), 0);
    EXPECT_EQ(during.c_lflag & ECHO, 0u) << "echo is on at the prompt";
    if (c.typed != nullptr) {
      const size_t size = std::strlen(c.typed);
      ASSERT_EQ(::write(master, c.typed, size), static_cast<ssize_t>(size));
    } else {
      kill(pid, c.signal_sent);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (c.exit_code >= 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit_code)
          << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.dies_of)
          << status;
    }
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo is still off";
    close(master);
    close(slave);
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SEAL_TOOL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define SEAL_TOOL_SANITIZED 1
#endif
#endif

// Out of memory ends in a one-line error and exit 8, not in std::terminate:
// the stack unwinds, so the key and the password are wiped on the way out.
// The address space is limited to the least in which a small password seals
// (found here in steps of 1 MiB), plus 1 MiB; a password of 1 MB needs
// several MiB more.
TEST_F(SealToolKernelTest, OutOfMemoryEndsInAnError) {
#ifdef SEAL_TOOL_SANITIZED
  GTEST_SKIP() << "a sanitizer's runtime reserves terabytes of address space";
#endif
  const rlim_t mib = 1 << 20;
  rlim_t enough = 0;
  for (rlim_t limit = 4 * mib; limit <= 256 * mib && enough == 0;
       limit += mib) {
    if (tool({"seal", "--out", path("small.blob")}, "x", limit).exit_code == 0)
      enough = limit;
  }
  if (enough == 0) GTEST_SKIP() << "no limit up to 256 MiB lets the tool run";
  const std::string blob_file = write("blob", "the old blob\n");
  const Result r =
      tool({"seal", "--in", write("password", std::string(1000000, 'p')),
            "--out", blob_file},
           "", enough + mib);
  EXPECT_EQ(r.exit_code, 8) << r.err << " (limit " << enough + mib << ")";
  EXPECT_EQ(r.err, "rootchecker-seal: out of memory; nothing was written\n");
  EXPECT_EQ(read_file(blob_file), "the old blob\n");
}

// Java itself reads the java format: it compiles and holds the parsed bytes.
TEST_F(SealToolTest, JavaLiteralCompilesToTheBlob) {
  const std::string java = SEAL_TEST_JAVA;
  if (java.empty()) GTEST_SKIP() << "no java launcher";
  const Result r = tool({"seal", "--format", "java"}, every_byte_value());
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string source =
      write("Blob.java",
            "public class Blob { public static void main(String[] args) {\n"
            "  byte[] blob = " +
                r.out +
                ";\n"
                "  StringBuilder hex = new StringBuilder();\n"
                "  for (byte b : blob) hex.append(String.format(\"%02x\", b & "
                "0xff));\n"
                "  System.out.println(hex);\n"
                "} }\n");
  const Result j = run(java, {source});
  ASSERT_EQ(j.exit_code, 0) << j.err;
  EXPECT_EQ(j.out, to_hex(parse_blob(r.out, "java")) + "\n");
}

}  // namespace
