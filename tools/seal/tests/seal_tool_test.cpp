// rootchecker-seal run as its users run it: every output format parsed back
// into bytes here (not by the tool) and opened by the library's decrypter, the
// ciphertext checked against OpenSSL under the configured key, and each bad
// input's exit code and message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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
  Result run(const std::string& program, std::vector<std::string> args,
             const std::string& input = "") {
    const std::string in = write(".stdin", input);
    const std::string out = path(".stdout"), err = path(".stderr");
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    Result r;
    const pid_t pid = fork();
    if (pid == 0) {
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
              const std::string& input = "") {
    std::vector<std::string> command = tool_command(args);
    const std::string program = command.front();
    command.erase(command.begin());
    return run(program, command, input);
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

  std::string dir_;
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
        r = tool({"seal", "--keep-newline", "--in", in, "--out", path("blob"),
                  "--format", format});
        EXPECT_EQ(r.out, "");
        written = read_file(path("blob"));
      } else {
        r = tool({"seal", "--format", format}, c.password + "\n");
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
      {"only a newline", "\n", false, ""},
      {"--keep-newline", "secret\n", true, "secret\n"},
      {"--keep-newline, \\r\\n", "secret\r\n", true, "secret\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> extra;
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
// so "does not open" means: fails, or yields something else.
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
  EXPECT_TRUE(built_in.exit_code == 1 ||
              (built_in.exit_code == 0 &&
               built_in.out.find(password) == std::string::npos))
      << built_in.exit_code << " " << built_in.out << built_in.err;
  std::string opened;
  EXPECT_FALSE(library_opens(blob, opened) && opened == password);

  // And the other way round.
  const Bytes built_in_blob = seal_hex(password);
  const Result other_key =
      tool({"verify", "--key-file", key_file, "--show"}, to_hex(built_in_blob));
  EXPECT_TRUE(other_key.exit_code == 1 ||
              (other_key.exit_code == 0 &&
               other_key.out.find(password) == std::string::npos))
      << other_key.exit_code << " " << other_key.out << other_key.err;
}

// verify applies the library's rule: only the last decrypted byte counts.
// Each blob runs with the built-in key and, through a key file holding the
// same key, through the core's two-step path.
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
       std::string(13, 'a') + std::string("\x07\x00\x03", 3), 0, 13},
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
      {"missing key file",
       {"seal", "--key-file", "@none.key"},
       "x",
       4,
       "cannot open"},
      {"missing --in", {"seal", "--in", "@none"}, "", 4, "cannot open"},
      {"unwritable --out",
       {"seal", "--out", "@none/blob"},
       "x",
       4,
       "cannot open"},
      {"missing blob file", {"verify", "--in", "@none"}, "", 4, "cannot open"},
      {"password over 1 MiB",
       {"seal"},
       std::string((1 << 20) + 1, 'x'),
       4,
       "larger than 1 MiB"},
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
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.find("hunter2"), std::string::npos)
        << "password echoed: " << r.err;
  }
}

TEST_F(SealToolTest, HelpDocumentsInputsFormatsAndExitCodes) {
  const Result r = tool({"--help"});
  EXPECT_EQ(r.exit_code, 0);
  for (const char* needle :
       {"never taken from the command", "--keep-newline", "\"\\r\\n\"",
        "raw, hex, base64, java or kotlin", "library's own key shares", "  0  ",
        "  1  ", "  2  ", "  3  ", "  4  ", "  5  ", "  6  "}) {
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
