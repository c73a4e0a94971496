// rootchecker-seal: turns a password into the blob that librootchecker opens
// (16-byte IV, then AES-128-CBC ciphertext of the PKCS#7-padded password), and
// checks a blob with the library's own decrypter. Encryption is OpenSSL's;
// the library itself has none.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

// Linux's own calls (openat2, O_PATH, gettid, /proc) where the tool is built
// for Linux; elsewhere POSIX alone. ROOTCHECKER_POSIX_ONLY, for tests only,
// takes the POSIX branches on Linux too, so that they are built and run here.
#if defined(__linux__) && !defined(ROOTCHECKER_POSIX_ONLY)
#define SEAL_LINUX 1
#include <linux/openat2.h>
#include <sys/syscall.h>
#else
#define SEAL_LINUX 0
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "native/password_decrypter.h"
#include "native/secret_bytes.h"
#include "native/secure_wipe.h"

namespace {

const char kUsage[] =
    R"(usage: rootchecker-seal seal   [--key-file F] [--in F] [--out F] [--format FMT] [--keep-newline] [--allow-empty]
       rootchecker-seal verify [--key-file F] [--in F] [--format FMT] [--show]
       rootchecker-seal --help

seal    Reads a password and writes the blob that librootchecker's nativeDecrypt
        turns back into it: a fresh random 16-byte IV (OpenSSL's RAND_bytes),
        then the password, padded as PKCS#7, encrypted with AES-128-CBC. Every
        blob is opened again with the library's own decrypter before it is
        written. An empty password is an error unless --allow-empty is given.
verify  Reads a blob and opens it with the library's own decrypter, then checks
        the whole PKCS#7 padding, as seal writes it (the library reads only
        its last byte). Prints the blob's, password's and padding's lengths;
        the password itself only with --show (on the next line, byte for
        byte, then a newline).
        The blob format has no integrity tag, so no check can prove that
        the key is right or the blob undamaged: a wrong key passes about 1
        time in 256 (the library alone returns bytes 1 time in 16), and a
        changed IV or a blob cut at the front changes the password but not
        the padding. Compare the password (--show) when it matters.
        What openssl enc writes without the IV in front is refused where
        it shows: a blob that starts with "Salted__" (exit 9) or one of 16
        bytes, a single block (exit 1); the message says so.

The password (seal) and the blob (verify) are read from standard input
("-"), or from the file given by --in.
The password is never taken from the command line, where other users of the
machine could read it in the process list. On a terminal, seal asks for it
with echo off and reads one line; echo comes back on every way out, Ctrl-C
and kill included. On a terminal, verify asks for the blob ("Blob (hex; end
with an empty line or Ctrl-D): ") and reads lines up to an empty line or
Ctrl-D, so a blob wrapped over several lines is read whole. A terminal
passes at most 4095 characters in a line: a line that long is refused (give
such a blob with --in or a pipe). A raw blob is not read from a terminal.

Newline rule: one trailing "\n" or "\r\n" at the end of the input (standard
input or --in) is not part of the password, so `echo secret | rootchecker-seal
seal` seals "secret". Only one is removed. --keep-newline seals the input byte
for byte.

Limits: a blob of at most 1 MiB (1048576 bytes), in seal and verify alike;
so a password of at most 1048559 bytes.

The default key is the library's: a build configured without a key has the
public development key, and seal then warns that its blobs must not ship.

  --key-file F  the key: 32 hex digits, whitespace around them allowed.
                Without it, the key this build of the library was configured
                with (taken from the library's own key shares).
  --in F        read from F instead of standard input
  --out F       seal: write the blob to F instead of standard output ("-").
                F is written whole or not at all: the blob goes to a
                temporary file in F's folder, which replaces F only once it
                is complete; on any failure F stays as it was.
                A name of one of the tool's descriptors (/dev/stdout,
                /dev/stderr, /dev/fd/N, /proc/self/fd/N, /proc/thread-self/
                fd/N, /proc/PID/fd/N) is written through that descriptor, as
                "-" is, so a ">>" file keeps what it holds; a descriptor that
                is not open is an error. A device or a pipe is written as it
                is. A symbolic link stays one: the kernel follows it, with
                its own checks (fs.protected_symlinks), and the file it leads
                to is replaced in that file's folder; a link the kernel does
                not follow for the tool, and a dangling link, are refused.
                F must not be the --in or --key-file file, nor reach by
                another name a file the tool has open on a descriptor.
  --format FMT  seal: raw, hex, base64, java or kotlin (default hex; raw is
                not written to a terminal)
                verify: raw, hex or base64 (default hex; whitespace is ignored)
                java is an expression `new byte[] {...}` and kotlin one
                `byteArrayOf(...)`, ready to paste.
  --keep-newline  seal: keep a trailing newline as part of the password
  --allow-empty   seal: seal an empty password (otherwise an error)
  --show        verify: print the password too
  --help        this text

Exit codes:
  0  done; verify: the blob opens and its padding is PKCS#7
  1  verify: the blob does not open (its length is not 16 + 16k with k >= 1,
     or its last decrypted byte is not 1 to 16: wrong key or damaged blob)
  2  usage error (an empty password without --allow-empty, --out naming an
     input or another name of a file open on a descriptor among them)
  3  malformed key file (not 32 hex digits)
  4  a file or standard input cannot be read, an input is too large (see
     Limits), or the output cannot be written (among them a descriptor
     that is not open, a dangling link, a link the kernel does not follow)
  5  malformed blob encoding (bad hex or base64)
  6  crypto failure (OpenSSL's random generator or cipher failed)
  7  verify: the library would return bytes, but the padding is not PKCS#7,
     which seal never writes: wrong key or damaged blob
  8  out of memory
  9  verify: the blob is openssl enc output made from a password (-pass, -k
     or its prompt): it starts with "Salted__", and its key and IV come
     from that password, not from the key file; seal it with -K and -iv
     and write the IV first
Errors are reported in one line on standard error.
)";

enum ExitCode {
  kOk = 0,
  kDoesNotOpen = 1,
  kUsageError = 2,
  kBadKey = 3,
  kFileError = 4,
  kBadEncoding = 5,
  kCryptoFailure = 6,
  kNotPkcs7 = 7,
  kOutOfMemory = 8,
  kOpensslSalted = 9,
};

// Thrown to end the program, so that destructors wipe secrets on the way out.
struct Failure {
  int code;
  std::string message;
};

[[noreturn]] void fail(int code, const std::string& message) {
  throw Failure{code, message};
}

using Bytes = std::vector<uint8_t>;

// The largest blob, the same for seal and verify, and so the longest
// password (at least one byte of padding, whole blocks).
constexpr size_t kMaxBlob = 1 << 20;
constexpr size_t kMaxPassword = kMaxBlob - 16 - 1;
// A blob's text: hex takes two digits a byte, plus whitespace.
constexpr size_t kMaxBlobText = 4 * kMaxBlob;
constexpr size_t kMaxKeyFile = 4096;

// openssl enc's header when it derives the key and IV from a password.
constexpr char kSalted[] = "Salted__";
// Its first 10 digits in base64; the 11th holds bits of the salt too.
constexpr char kSaltedBase64[] = "U2FsdGVkX1";

enum class Format { kRaw, kHex, kBase64, kJava, kKotlin };

struct Options {
  std::string command;
  std::string key_file, in_file, out_file;
  Format format = Format::kHex;
  bool keep_newline = false;
  bool allow_empty = false;
  bool show = false;
};

// What a fatal signal's handler must undo: the terminal's echo and a
// half-written temporary file. Plain data, set before it is needed.
volatile sig_atomic_t g_restore_terminal = 0;
termios g_saved_terminal;
volatile sig_atomic_t g_have_temp_file = 0;
int g_temp_folder = -1;  // the temporary file's name is relative to it
char g_temp_file[NAME_MAX + 1];

extern "C" void on_fatal_signal(int signal_number) {
  if (g_restore_terminal) tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
  if (g_have_temp_file) unlinkat(g_temp_folder, g_temp_file, 0);
  // Dies of the signal, as the caller expects, once the handler returns.
  ::signal(signal_number, SIG_DFL);
  raise(signal_number);
}

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void handle_fatal_signals() {
  for (const int signal_number : kFatalSignals) {
    struct sigaction old_action {};
    if (sigaction(signal_number, nullptr, &old_action) != 0 ||
        old_action.sa_handler == SIG_IGN) {
      continue;  // ignored by whoever started us (nohup, say): left so
    }
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

// The key, wiped when it goes out of scope.
struct Key {
  uint8_t bytes[16] = {};
  bool built_in = true;
  ~Key() { secure_wipe(bytes, sizeof bytes); }
};

Options parse_options(int argc, char** argv) {
  Options o;
  if (argc < 2) fail(kUsageError, "no command given (see --help)");
  o.command = argv[1];
  if (o.command != "seal" && o.command != "verify") {
    fail(kUsageError, "unknown command '" + o.command + "' (see --help)");
  }
  const bool sealing = o.command == "seal";
  bool have_format = false;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i], value;
    bool has_value = false;
    const size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    const bool takes_value = arg == "--key-file" || arg == "--in" ||
                             arg == "--out" || arg == "--format";
    if (takes_value && !has_value) {
      if (i + 1 >= argc) fail(kUsageError, arg + " needs a value");
      value = argv[++i];
    } else if (!takes_value && has_value) {
      fail(kUsageError, arg + " takes no value");
    }
    if (takes_value && value.empty()) fail(kUsageError, arg + " needs a value");

    std::string* target = nullptr;
    if (arg == "--key-file") {
      target = &o.key_file;
    } else if (arg == "--in") {
      target = &o.in_file;
    } else if (arg == "--out" && sealing) {
      target = &o.out_file;
    } else if (arg == "--format") {
      if (have_format) fail(kUsageError, "--format given twice");
      have_format = true;
      if (value == "raw")
        o.format = Format::kRaw;
      else if (value == "hex")
        o.format = Format::kHex;
      else if (value == "base64")
        o.format = Format::kBase64;
      else if (value == "java" && sealing)
        o.format = Format::kJava;
      else if (value == "kotlin" && sealing)
        o.format = Format::kKotlin;
      else
        fail(kUsageError, "unknown format '" + value + "' for " + o.command +
                              " (see --help)");
    } else if (arg == "--keep-newline" && sealing) {
      o.keep_newline = true;
    } else if (arg == "--allow-empty" && sealing) {
      o.allow_empty = true;
    } else if (arg == "--show" && !sealing) {
      o.show = true;
    } else if (arg.rfind("-", 0) == 0) {
      fail(kUsageError,
           "unknown option '" + arg + "' for " + o.command + " (see --help)");
    } else {
      // Not echoed: it may well be the password.
      fail(kUsageError,
           "unexpected argument: the password and the blob are read from "
           "standard input or --in, never from the command line");
    }
    if (target != nullptr) {
      if (!target->empty()) fail(kUsageError, arg + " given twice");
      *target = value;
    }
  }
  return o;
}

// Reads all of `fd` (or, from a terminal, one line) with read(2), so that no
// stdio buffer keeps a copy of a secret.
secret_bytes read_all(int fd, const std::string& name, bool one_line,
                      size_t limit, const std::string& too_large) {
  secret_bytes data;
  uint8_t chunk[4096];
  const size_t chunk_size = one_line ? 1 : sizeof chunk;
  for (;;) {
    const ssize_t n = read(fd, chunk, chunk_size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      secure_wipe(chunk, sizeof chunk);
      fail(kFileError, name + ": cannot read: " + std::strerror(error));
    }
    if (n == 0) break;
    data.insert(data.end(), chunk, chunk + n);
    if (data.size() > limit) {
      secure_wipe(chunk, sizeof chunk);
      fail(kFileError, name + ": " + too_large);
    }
    if (one_line && chunk[0] == '\n') break;
  }
  secure_wipe(chunk, sizeof chunk);
  return data;
}

// `role` names the file in messages: "key file", "password file", ...
secret_bytes read_file(const std::string& path, const std::string& role,
                       size_t limit, const std::string& too_large) {
  const std::string name = role + " '" + path + "'";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail(kFileError, name + ": cannot open: " + std::strerror(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
    fail(kFileError, name + ": is a directory");
  return read_all(fd, name, false, limit, too_large);
}

// Messages for inputs over their limit. A password's input may have two
// bytes more than the password, for the line end "\r\n".
const char kPasswordTooLarge[] =
    "the password is over 1048559 bytes: its blob would be over 1 MiB, the "
    "largest blob that seal and verify take";
const char kBlobTextTooLarge[] = "over 4 MiB, too large for a blob of 1 MiB";

bool reads_stdin(const std::string& in_file) {
  return in_file.empty() || in_file == "-";
}

// The most a terminal passes in one line (Linux's N_TTY_BUF_SIZE less the
// newline): a line this long was probably cut.
constexpr size_t kTerminalLine = 4095;

// Turns terminal echo off for its lifetime.
struct EchoOff {
  termios saved{};
  bool active = false;
  EchoOff() {
    if (tcgetattr(STDIN_FILENO, &saved) != 0) return;
    // The signal handler's copy first: a signal from here on restores it.
    g_saved_terminal = saved;
    g_restore_terminal = 1;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    g_restore_terminal = 0;
  }
};

secret_bytes read_password(const Options& o) {
  const size_t limit = kMaxPassword + 2;
  if (!reads_stdin(o.in_file))
    return read_file(o.in_file, "password file", limit, kPasswordTooLarge);
  if (!isatty(STDIN_FILENO))
    return read_all(STDIN_FILENO, "standard input", false, limit,
                    kPasswordTooLarge);
  secret_bytes line;
  {
    // Echo goes off before the prompt, so nothing typed after it shows.
    EchoOff echo_off;
    std::fputs("Password: ", stderr);
    line = read_all(STDIN_FILENO, "standard input", true, limit,
                    kPasswordTooLarge);
  }
  std::fputs("\n", stderr);
  return line;
}

// One trailing "\n" or "\r\n" is the end of the line, not the password.
void strip_one_newline(secret_bytes& password) {
  if (password.empty() || password.back() != '\n') return;
  password.pop_back();
  if (!password.empty() && password.back() == '\r') password.pop_back();
}

bool is_hex_digit(uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
         (c >= 'A' && c <= 'F');
}

bool is_base64_digit(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool is_space(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
         c == '\f';
}

std::string describe_byte(uint8_t c) {
  char text[16];
  if (c >= 0x20 && c < 0x7f) {
    std::snprintf(text, sizeof text, "'%c'", c);
  } else {
    std::snprintf(text, sizeof text, "byte 0x%02x", c);
  }
  return text;
}

Key load_key(const Options& o) {
  Key key;
  if (o.key_file.empty()) {
    // The library's own key shares, so that tool and library cannot disagree.
    for (int i = 0; i < 16; ++i) {
      key.bytes[i] = static_cast<uint8_t>(key_share_a[i] ^ key_share_b[i]);
    }
    return key;
  }
  key.built_in = false;
  const secret_bytes text =
      read_file(o.key_file, "key file", kMaxKeyFile, "over 4 KiB, not a key");
  size_t begin = 0, end = text.size();
  while (begin < end && is_space(text[begin])) ++begin;
  while (end > begin && is_space(text[end - 1])) --end;
  const std::string where = "key file '" + o.key_file + "'";
  for (size_t i = begin; i < end; ++i) {
    if (!is_hex_digit(text[i])) {
      // The offending character is not shown: the file may hold some other
      // secret. A NUL byte says something about the file, nothing secret.
      fail(kBadKey,
           where + ": " + (text[i] == 0 ? "a NUL byte" : "not a hex digit") +
               " at offset " + std::to_string(i) + " (want 32 hex digits)");
    }
  }
  if (end - begin != 32) {
    fail(kBadKey, where + ": " + std::to_string(end - begin) +
                      " hex digits, want 32 (16 bytes)");
  }
  // OpenSSL reads a C string: the digits alone, in a buffer that is wiped.
  secret_bytes digits(text.begin() + static_cast<std::ptrdiff_t>(begin),
                      text.begin() + static_cast<std::ptrdiff_t>(end));
  digits.push_back('\0');
  size_t decoded = 0;
  if (OPENSSL_hexstr2buf_ex(key.bytes, sizeof key.bytes, &decoded,
                            reinterpret_cast<const char*>(digits.data()),
                            '\0') != 1 ||
      decoded != sizeof key.bytes) {
    fail(kBadKey, where + ": OpenSSL cannot read its hex digits");
  }
  return key;
}

// Opens a blob the way the library does: with the built-in key through
// decrypt_password_blob itself, with another key through the same core steps.
// Returns false on a wrong length or padding byte (the library's rule);
// `pkcs7` then says whether every padding byte is the padding length, as
// seal writes them.
bool open_blob(const Key& key, const Bytes& blob, secret_bytes& password,
               bool& pkcs7) {
  password.clear();
  pkcs7 = false;
  // Blobs are at most 1 MiB.
  const uint32_t length = static_cast<uint32_t>(blob.size());
  const uint32_t ciphertext_length = password_blob_ciphertext_length(length);
  if (ciphertext_length == 0) return false;
  uint8_t* work = nullptr;
  int32_t password_length = 0;
  if (key.built_in) {
    password_length = decrypt_password_blob(blob.data(), length, &work);
    if (password_length == kPasswordOutOfMemory) throw std::bad_alloc();
  } else {
    uint8_t iv[16];
    work = take_password_blob(blob.data(), ciphertext_length, iv);
    if (work == nullptr) throw std::bad_alloc();
    decrypt_blob_ciphertext(key.bytes, iv, work, ciphertext_length);
    password_length = password_length_from_padding(work, ciphertext_length);
  }
  // Wiped and freed on every way out, a failed assign included.
  struct Freer {
    uint8_t* work;
    uint32_t size;
    ~Freer() { free_working_buffer(work, size); }
  } freer{work, ciphertext_length};
  if (password_length < 0) return false;
  const uint8_t* const end = work + ciphertext_length;
  const uint8_t padding = end[-1];
  pkcs7 = std::all_of(static_cast<const uint8_t*>(work) + password_length, end,
                      [padding](uint8_t b) { return b == padding; });
  password.assign(work, work + password_length);
  return true;
}

Bytes seal_password(const Key& key, const secret_bytes& password) {
  Bytes blob(16 + password.size() + 16 - password.size() % 16);
  uint8_t* const iv = blob.data();
  // An IV that starts like openssl's salted header is drawn again (1 time in
  // 2^64), so that verify takes every blob seal writes.
  do {
    if (RAND_bytes(iv, 16) != 1) {
      fail(kCryptoFailure, "OpenSSL's random generator failed; no IV, no blob");
    }
  } while (std::memcmp(iv, kSalted, sizeof kSalted - 1) == 0);
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(
      EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int written = 0, tail = 0;
  // EVP pads as PKCS#7 by default.
  if (!ctx ||
      EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.bytes,
                         iv) != 1 ||
      EVP_EncryptUpdate(ctx.get(), blob.data() + 16, &written, password.data(),
                        static_cast<int>(password.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), blob.data() + 16 + written, &tail) != 1 ||
      16 + static_cast<size_t>(written) + static_cast<size_t>(tail) !=
          blob.size()) {
    fail(kCryptoFailure, "OpenSSL's AES-128-CBC encryption failed");
  }
  return blob;
}

// Lower case, as the tool has always written hex; OpenSSL writes upper case.
std::string to_hex(const Bytes& bytes) {
  std::string out(2 * bytes.size() + 1, '\0');
  if (OPENSSL_buf2hexstr_ex(out.data(), out.size(), nullptr, bytes.data(),
                            bytes.size(), '\0') != 1) {
    fail(kCryptoFailure, "OpenSSL's hex encoder failed");
  }
  out.pop_back();
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

std::string to_base64(const Bytes& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      bytes.data(), static_cast<int>(bytes.size()));
  out.resize(static_cast<size_t>(written));
  return out;
}

// A byte-array expression; bytes above 0x7f need a cast in both languages,
// whose bytes are signed.
std::string to_array_literal(const Bytes& bytes, Format format) {
  const bool java = format == Format::kJava;
  const std::string digits = to_hex(bytes);
  std::string out = java ? "new byte[] {" : "byteArrayOf(";
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += i % 8 == 0 ? "\n    " : " ";
    const std::string hex = "0x" + digits.substr(2 * i, 2);
    if (bytes[i] < 0x80)
      out += hex;
    else
      out += java ? "(byte) " + hex : hex + ".toByte()";
    if (i + 1 < bytes.size()) out += ",";
  }
  out += java ? "\n}\n" : "\n)\n";
  return out;
}

std::string encode_blob(const Bytes& blob, Format format) {
  switch (format) {
    case Format::kRaw:
      return std::string(blob.begin(), blob.end());
    case Format::kHex:
      return to_hex(blob) + "\n";
    case Format::kBase64:
      return to_base64(blob) + "\n";
    case Format::kJava:
    case Format::kKotlin:
      return to_array_literal(blob, format);
  }
  return {};
}

// The checks come first, so that the first bad character is reported with
// its offset in the input; OpenSSL then decodes the digits alone.
Bytes decode_hex(const secret_bytes& text) {
  std::string digits;
  for (size_t i = 0; i < text.size(); ++i) {
    if (is_space(text[i])) continue;
    if (!is_hex_digit(text[i])) {
      fail(kBadEncoding, "blob is not hex: " + describe_byte(text[i]) +
                             " at offset " + std::to_string(i));
    }
    digits += static_cast<char>(text[i]);
  }
  if (digits.size() % 2 != 0)
    fail(kBadEncoding, "blob is not hex: odd number of hex digits");
  Bytes out(digits.size() / 2);
  size_t decoded = 0;
  if (OPENSSL_hexstr2buf_ex(out.data(), out.size(), &decoded, digits.c_str(),
                            '\0') != 1 ||
      decoded != out.size()) {
    fail(kBadEncoding, "blob is not hex: OpenSSL cannot decode it");
  }
  return out;
}

// EVP_DecodeBlock reads '=' anywhere as a zero digit and counts padding as
// decoded bytes, so the digits and the padding are checked here first.
Bytes decode_base64(const secret_bytes& text) {
  std::string digits;
  for (uint8_t c : text) {
    if (!is_space(c)) digits += static_cast<char>(c);
  }
  if (digits.size() % 4 != 0) {
    fail(kBadEncoding, "blob is not base64: " + std::to_string(digits.size()) +
                           " digits, not a multiple of 4");
  }
  size_t end = digits.size();
  for (int i = 0; i < 2 && end > 0 && digits[end - 1] == '='; ++i) --end;
  for (size_t i = 0; i < end; ++i) {
    const uint8_t c = static_cast<uint8_t>(digits[i]);
    if (!is_base64_digit(c)) {
      fail(kBadEncoding, "blob is not base64: " + describe_byte(c) +
                             " at digit " + std::to_string(i));
    }
  }
  Bytes out(digits.size() / 4 * 3);
  if (digits.empty()) return out;
  const int decoded = EVP_DecodeBlock(
      out.data(), reinterpret_cast<const unsigned char*>(digits.data()),
      static_cast<int>(digits.size()));
  if (decoded < 0 || static_cast<size_t>(decoded) != out.size())
    fail(kBadEncoding, "blob is not base64: OpenSSL cannot decode it");
  // Each '=' of padding stands for one byte that is not there.
  out.resize(out.size() - (digits.size() - end));
  return out;
}

void write_fd(int fd, const std::string& name, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      fail(kFileError,
           name + ": cannot write: " + std::strerror(n < 0 ? errno : ENOSPC));
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
}

void write_stdout(const void* data, size_t size) {
  write_fd(STDOUT_FILENO, "standard output", data, size);
}

// A decimal number as /proc spells descriptors and ids (no sign, no leading
// zero), or -1.
int parse_number(const std::string& text) {
  if (text.empty() || text.size() > 9 || (text.size() > 1 && text[0] == '0'))
    return -1;
  int value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The descriptor that `path` names in this process (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N and the like), or -1 for any other path. Taken by name, as
// shells and awk take /dev/stdout, so that the open file is written through
// its descriptor and never looked up as a file.
int named_descriptor(const std::string& path) {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  const std::string pid = std::to_string(getpid());
  std::vector<std::string> folders = {"/dev/fd/", "/proc/self/fd/",
                                      "/proc/thread-self/fd/",
                                      "/proc/" + pid + "/fd/"};
#if SEAL_LINUX
  // Task folders are Linux's alone.
  const std::string tid = std::to_string(gettid());
  folders.push_back("/proc/self/task/" + tid + "/fd/");
  folders.push_back("/proc/" + pid + "/task/" + tid + "/fd/");
#endif
  for (const std::string& folder : folders) {
    if (path.size() > folder.size() &&
        path.compare(0, folder.size(), folder) == 0)
      return parse_number(path.substr(folder.size()));
  }
  return -1;
}

// A descriptor of this process other than `except` that has the regular file
// `file` open, or -1.
int descriptor_holding(const struct stat& file, int except) {
  std::vector<int> fds;
#if SEAL_LINUX
  if (DIR* folder = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(folder)) {
      const int fd = parse_number(entry->d_name);
      if (fd >= 0 && fd != dirfd(folder)) fds.push_back(fd);
    }
    closedir(folder);
  } else {
    for (int fd = 0; fd < 1024; ++fd) fds.push_back(fd);
  }
#else
  // No portable list of the open descriptors (a BSD's /dev/fd may show only
  // 0 to 2): every number up to the limit, bounded.
  const long open_max = sysconf(_SC_OPEN_MAX);
  const int limit = open_max < 1024    ? 1024
                    : open_max > 65536 ? 65536
                                       : static_cast<int>(open_max);
  for (int fd = 0; fd < limit; ++fd) fds.push_back(fd);
#endif
  for (const int fd : fds) {
    struct stat st {};
    if (fd != except && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        st.st_dev == file.st_dev && st.st_ino == file.st_ino) {
      return fd;
    }
  }
  return -1;
}

// True when the kernel reaches `base` in `folder` only through one of /proc's
// links to an open file (/proc/PID/fd/N and the like): such a link names no
// file that could be replaced. A kernel older than 5.6 cannot say (false).
bool through_proc_link(int folder, const std::string& base) {
#if SEAL_LINUX && defined(SYS_openat2) && defined(RESOLVE_NO_MAGICLINKS)
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = RESOLVE_NO_MAGICLINKS;
  const long fd = syscall(SYS_openat2, folder, base.c_str(), &how, sizeof how);
  if (fd >= 0) {
    close(static_cast<int>(fd));
    return false;
  }
  return errno == ELOOP;
#else
  (void)folder;
  (void)base;
  return false;
#endif
}

#if SEAL_LINUX
// The kernel's own name for what `fd` has open (an absolute path), or "".
std::string kernel_name(int fd) {
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string name(PATH_MAX, '\0');
  const ssize_t n = readlink(link.c_str(), name.data(), name.size());
  if (n <= 0 || static_cast<size_t>(n) >= name.size() || name[0] != '/')
    return {};
  name.resize(static_cast<size_t>(n));
  return name;
}
#else
// The link's target with every link resolved (an absolute path), or "". By
// name, not by descriptor: the caller checks that it is still the same file.
std::string kernel_name(const std::string& path) {
  char* const resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string name = resolved[0] == '/' ? resolved : "";
  free(resolved);
  return name;
}
#endif

// A folder opened only to name files in it. O_PATH needs no read permission
// on the folder; POSIX's O_SEARCH neither; a plain open needs it.
#if SEAL_LINUX
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
constexpr int kFolderFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Where --out goes, settled before the password is read. Every name is
// looked up by the kernel, with its own checks (fs.protected_symlinks among
// them): a folder is opened and the file named relative to it.
struct Output {
  enum class Kind {
    kDescriptor,  // written through `fd`, one of the process's descriptors
    kInPlace,     // a device or pipe: `base` in `folder` opened and written
    kReplace,     // a regular file or a new one: `base` in `folder` replaced
  };
  Kind kind = Kind::kDescriptor;
  std::string name;  // for messages
  int fd = STDOUT_FILENO;
  int folder = -1;  // opened with kFolderFlags, owned
  std::string folder_name, base;
  mode_t mode = 0;  // kReplace: the new file's permissions
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() {
    if (folder >= 0) close(folder);
  }
};

// Splits `path` into its folder (as given, "." for none) and last name ("."
// for a path that ends in '/').
void split_path(const std::string& path, std::string& folder,
                std::string& base) {
  const size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.empty()) base = ".";
}

void open_folder(Output& out, const std::string& folder) {
  out.folder_name = folder;
  out.folder = open(folder.c_str(), kFolderFlags);
  if (out.folder < 0) {
    fail(kFileError, out.name + ": cannot create a temporary file in '" +
                         folder + "': " + std::strerror(errno));
  }
}

// A symbolic link: the kernel follows it, or the tool refuses. A regular file
// at its end is replaced under the kernel's own name for it, so the link
// stays a link.
void follow_link(const Options& o, Output& out, struct stat& st) {
#if SEAL_LINUX
  const int target = openat(out.folder, out.base.c_str(), O_PATH | O_CLOEXEC);
  if (target < 0) {
#else
  // Without O_PATH an open could block on a FIFO or act on a device: the
  // kernel follows the link for a stat instead.
  if (fstatat(out.folder, out.base.c_str(), &st, 0) != 0) {
#endif
    const int error = errno;
    if (error == ENOENT) {
      fail(kFileError, out.name +
                           ": a symbolic link to nothing (dangling); no file "
                           "is created through a link");
    }
    if (error == EACCES) {
      fail(kFileError, out.name +
                           ": the kernel does not follow this symbolic link "
                           "for this process (fs.protected_symlinks?): " +
                           std::strerror(error));
    }
    fail(kFileError, out.name + ": cannot follow the symbolic link: " +
                         std::strerror(error));
  }
#if SEAL_LINUX
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{target};
#endif
  if (through_proc_link(out.folder, out.base)) {
    fail(kUsageError, "--out '" + o.out_file +
                          "' reaches an open file through a /proc link, not "
                          "a file name that can be replaced; /dev/fd/N writes "
                          "through this process's descriptor N");
  }
#if SEAL_LINUX
  if (fstat(target, &st) != 0)
    fail(kFileError, out.name + ": cannot stat: " + std::strerror(errno));
#endif
  if (!S_ISREG(st.st_mode)) return;  // the caller handles the rest
#if SEAL_LINUX
  const std::string name = kernel_name(target);
#else
  const std::string name = kernel_name(o.out_file);
#endif
  std::string folder, base;
  split_path(name, folder, base);
  close(out.folder);
  out.folder = -1;
  if (!name.empty()) open_folder(out, folder);
  struct stat now {};
  if (name.empty() ||
      fstatat(out.folder, base.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
      now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    fail(kFileError, out.name +
                         ": the kernel gives no name by which the file the "
                         "link leads to could be replaced");
  }
  out.base = base;
}

// Fills `out` (a new record) for --out.
void resolve_output(const Options& o, Output& out) {
  if (o.out_file.empty() || o.out_file == "-") {
    out.name = "standard output";
    return;
  }
  out.name = "output file '" + o.out_file + "'";
  const int named = named_descriptor(o.out_file);
  if (named >= 0) {
    const int flags = fcntl(named, F_GETFL);
    if (flags < 0) {
      fail(kFileError,
           out.name + ": descriptor " + std::to_string(named) + " is not open");
    }
#if SEAL_LINUX
    const bool read_only =
        (flags & O_ACCMODE) == O_RDONLY || (flags & O_PATH) != 0;
#else
    const bool read_only = (flags & O_ACCMODE) == O_RDONLY;
#endif
    if (read_only) {
      fail(kFileError, out.name + ": descriptor " + std::to_string(named) +
                           " is not open for writing");
    }
    out.fd = named;
    return;
  }

  std::string folder;
  split_path(o.out_file, folder, out.base);
  open_folder(out, folder);
  struct stat st {};
  if (fstatat(out.folder, out.base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT)
      fail(kFileError, out.name + ": cannot open: " + std::strerror(errno));
    // A new file, under the umask.
    const mode_t mask = umask(0);
    umask(mask);
    out.kind = Output::Kind::kReplace;
    out.mode = 0666 & ~mask;
    return;
  }
  if (S_ISLNK(st.st_mode)) follow_link(o, out, st);
  if (S_ISDIR(st.st_mode)) fail(kFileError, out.name + ": is a directory");
  if (!S_ISREG(st.st_mode)) {
    out.kind = Output::Kind::kInPlace;
    return;
  }
  const int holder = descriptor_holding(st, out.folder);
  if (holder >= 0) {
    const std::string fd = std::to_string(holder);
    fail(kUsageError,
         "--out '" + o.out_file + "' is the file open on descriptor " + fd +
             "; replacing it would lose what is written through that "
             "descriptor (--out /dev/fd/" +
             fd + " writes through it)");
  }
  out.kind = Output::Kind::kReplace;
  out.mode = st.st_mode & 07777;
}

// A temporary file beside the target, removed unless it was renamed over it.
struct TempFile {
  int folder = -1;
  std::string name;
  int fd = -1;
  bool renamed = false;
  ~TempFile() {
    if (fd >= 0) close(fd);
    if (!renamed && !name.empty()) unlinkat(folder, name.c_str(), 0);
    g_have_temp_file = 0;
  }
};

// Six random letters and digits for a temporary file's name.
std::string random_suffix() {
  const char kDigits[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  uint8_t bytes[6] = {};
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    fail(kCryptoFailure, "OpenSSL's random generator failed");
  std::string out;
  for (const uint8_t b : bytes) out += kDigits[b % (sizeof kDigits - 1)];
  return out;
}

// Creates the temporary file with the fatal signals held back, so that the
// handler knows of every file it must remove, and of no other.
void create_temp_file(const Output& out, TempFile& temp) {
  sigset_t fatal, old;
  sigemptyset(&fatal);
  for (const int signal_number : kFatalSignals)
    sigaddset(&fatal, signal_number);
  // The name stays within NAME_MAX however long the target's name is.
  const std::string stem =
      "." + out.base.substr(0, NAME_MAX - 32) + ".rootchecker-seal-";
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = stem + random_suffix();
    sigprocmask(SIG_BLOCK, &fatal, &old);
    const int fd =
        openat(out.folder, name.c_str(),
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const int error = errno;
    if (fd >= 0) {
      temp.folder = out.folder;
      temp.name = name;
      temp.fd = fd;
      std::memcpy(g_temp_file, name.c_str(), name.size() + 1);
      g_temp_folder = out.folder;
      g_have_temp_file = 1;
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd >= 0) return;
    if (error != EEXIST) {
      fail(kFileError, out.name + ": cannot create a temporary file in '" +
                           out.folder_name + "': " + std::strerror(error));
    }
  }
  fail(kFileError, out.name + ": cannot create a temporary file in '" +
                       out.folder_name + "': 100 names taken");
}

// Writes `text` to --out whole or not at all: into a temporary file in the
// same folder, flushed to disk, then renamed over the target, so that a full
// disk, an error or a signal leaves the old file as it was. A descriptor, a
// device or a pipe has nothing to replace and is written in place.
void write_output(const Output& out, const std::string& text) {
  if (out.kind == Output::Kind::kDescriptor) {
    write_fd(out.fd, out.name, text.data(), text.size());
    return;
  }
  if (out.kind == Output::Kind::kInPlace) {
    const int fd =
        openat(out.folder, out.base.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
      fail(kFileError, out.name + ": cannot open: " + std::strerror(errno));
    struct Closer {
      int fd;
      ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))
      fail(kFileError, out.name + ": is no longer a device or pipe");
    write_fd(fd, out.name, text.data(), text.size());
    return;
  }

  TempFile temp;
  create_temp_file(out, temp);
  if (fchmod(temp.fd, out.mode) != 0)
    fail(kFileError,
         out.name + ": cannot set permissions: " + std::strerror(errno));
  write_fd(temp.fd, out.name, text.data(), text.size());
  if (fsync(temp.fd) != 0)
    fail(kFileError, out.name + ": cannot write: " + std::strerror(errno));
  const int fd = temp.fd;
  temp.fd = -1;
  if (close(fd) != 0)
    fail(kFileError, out.name + ": cannot write: " + std::strerror(errno));
  if (renameat(out.folder, temp.name.c_str(), out.folder, out.base.c_str()) !=
      0) {
    fail(kFileError, out.name + ": cannot replace: " + std::strerror(errno));
  }
  temp.renamed = true;
  g_have_temp_file = 0;
  // The rename itself reaches the disk with the folder.
  const int folder_fd =
      openat(out.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_fd >= 0) {
    fsync(folder_fd);
    close(folder_fd);
  }
}

// --out must not be one of the inputs: the same path, or the same file
// (device and inode) under another name or through a link. Checked before
// anything is read or written.
void refuse_output_over_inputs(const Options& o) {
  if (o.out_file.empty() || o.out_file == "-") return;
  struct stat out {};
  const bool out_exists = stat(o.out_file.c_str(), &out) == 0;
  auto same_file = [&](const struct stat& in) {
    return out_exists && S_ISREG(out.st_mode) && in.st_dev == out.st_dev &&
           in.st_ino == out.st_ino;
  };
  const std::pair<const char*, std::string> inputs[] = {
      {"--in", reads_stdin(o.in_file) ? "" : o.in_file},
      {"--key-file", o.key_file}};
  for (const auto& [option, path] : inputs) {
    if (path.empty()) continue;
    struct stat in {};
    if (path == o.out_file || (stat(path.c_str(), &in) == 0 && same_file(in))) {
      fail(kUsageError, "--out '" + o.out_file + "' is the " + option +
                            " file; it would be overwritten");
    }
  }
  struct stat in {};
  if (reads_stdin(o.in_file) && fstat(STDIN_FILENO, &in) == 0 &&
      same_file(in)) {
    fail(kUsageError, "--out '" + o.out_file +
                          "' is the file on standard input; it would be "
                          "overwritten");
  }
}

#ifdef ROOTCHECKER_SEAL_DEV_KEY  // the only warning left
void warn(const std::string& message) {
  std::fprintf(stderr, "rootchecker-seal: warning: %s\n", message.c_str());
}
#endif

int seal(const Options& o) {
  refuse_output_over_inputs(o);
  Output output;
  resolve_output(o, output);
  if (o.format == Format::kRaw && output.kind == Output::Kind::kDescriptor &&
      isatty(output.fd)) {
    fail(kUsageError,
         "will not write raw bytes to a terminal; use --out or another "
         "--format");
  }
  const Key key = load_key(o);
  secret_bytes password = read_password(o);
  if (!o.keep_newline) strip_one_newline(password);
  if (password.empty() && !o.allow_empty) {
    fail(kUsageError,
         "the password is empty (an unset variable, Ctrl-D or an empty "
         "file?); --allow-empty seals it");
  }
  if (password.size() > kMaxPassword) fail(kFileError, kPasswordTooLarge);
  const Bytes blob = seal_password(key, password);

  secret_bytes opened;
  bool pkcs7 = false;
  if (!open_blob(key, blob, opened, pkcs7) || !pkcs7 || opened != password) {
    fail(kCryptoFailure,
         "the library's decrypter does not give the password back from the new "
         "blob");
  }
  write_output(output, encode_blob(blob, o.format));
#ifdef ROOTCHECKER_SEAL_DEV_KEY
  if (key.built_in)
    warn("this build uses the public development key; its blobs must not ship");
#endif
  return kOk;
}

// A blob typed or pasted on a terminal, after a prompt: lines up to an empty
// one or the end of input, so that a blob wrapped over lines (as openssl
// base64 writes it) is read whole and not cut after its first line.
secret_bytes read_terminal_blob(Format format) {
  if (format == Format::kRaw) {
    fail(kUsageError,
         "will not read a raw blob from a terminal; use --in, a pipe or "
         "--format hex or base64");
  }
  std::fprintf(stderr, "Blob (%s; end with an empty line or Ctrl-D): ",
               format == Format::kHex ? "hex" : "base64");
  std::fflush(stderr);
  secret_bytes text;
  for (;;) {
    const secret_bytes line = read_all(STDIN_FILENO, "standard input", true,
                                       kMaxBlobText, kBlobTextTooLarge);
    const bool ended = !line.empty() && line.back() == '\n';
    const size_t length = line.size() - (ended ? 1 : 0);
    if (length >= kTerminalLine) {
      fail(kFileError,
           "standard input: a line of " + std::to_string(length) +
               " characters, as many as a terminal passes: the blob was "
               "probably cut; give it with --in or through a pipe");
    }
    if (length == 0) break;  // an empty line, or Ctrl-D
    text.insert(text.end(), line.begin(), line.end());
    if (text.size() > kMaxBlobText)
      fail(kFileError, std::string("standard input: ") + kBlobTextTooLarge);
    if (!ended) break;  // Ctrl-D after text on the line
  }
  return text;
}

[[noreturn]] void fail_salted(const std::string& how) {
  fail(kOpensslSalted,
       "the blob " + how +
           ": openssl enc's output when it makes the key and IV from a "
           "password (-pass, -k or its prompt), not a blob under the app's "
           "key; seal with -K KEY -iv IV and write the IV first");
}

int verify(const Options& o) {
  const Key key = load_key(o);
  const secret_bytes input =
      !reads_stdin(o.in_file)
          ? read_file(o.in_file, "blob file", kMaxBlobText, kBlobTextTooLarge)
      : isatty(STDIN_FILENO) ? read_terminal_blob(o.format)
                             : read_all(STDIN_FILENO, "standard input", false,
                                        kMaxBlobText, kBlobTextTooLarge);
  if (o.format == Format::kHex) {
    // Base64 given as hex would only be "not hex"; say what it is.
    const auto first = std::find_if_not(input.begin(), input.end(), is_space);
    const size_t n = sizeof kSaltedBase64 - 1;
    if (static_cast<size_t>(input.end() - first) >= n &&
        std::equal(first, first + static_cast<std::ptrdiff_t>(n),
                   kSaltedBase64)) {
      fail_salted(
          "is base64 (give --format base64) and starts with "
          "\"Salted__\"");
    }
  }
  Bytes blob;
  switch (o.format) {
    case Format::kHex:
      blob = decode_hex(input);
      break;
    case Format::kBase64:
      blob = decode_base64(input);
      break;
    default:
      blob.assign(input.begin(), input.end());
      break;
  }
  const std::string key_name =
      key.built_in ? "the built-in key" : "key file '" + o.key_file + "'";
  if (blob.size() > kMaxBlob) {
    fail(kFileError, "the blob is " + std::to_string(blob.size()) +
                         " bytes; the largest is 1 MiB (1048576 bytes), as "
                         "seal writes");
  }
  if (blob.size() >= sizeof kSalted - 1 &&
      std::equal(blob.begin(), blob.begin() + sizeof kSalted - 1, kSalted)) {
    fail_salted("starts with \"Salted__\"");
  }
  if (password_blob_ciphertext_length(static_cast<uint32_t>(blob.size())) ==
      0) {
    // openssl enc -K -iv writes whole blocks and no IV: one block is such
    // output, since a blob has an IV and at least one block.
    fail(kDoesNotOpen,
         "does not open: the blob's length is " + std::to_string(blob.size()) +
             "; it must be 16 + 16k bytes with k >= 1" +
             (blob.size() == 16
                  ? " (16 bytes is one block with no IV in front: openssl "
                    "enc output without its IV?)"
                  : ""));
  }
  secret_bytes password;
  bool pkcs7 = false;
  if (!open_blob(key, blob, password, pkcs7)) {
    fail(kDoesNotOpen,
         "does not open with " + key_name +
             ": the last decrypted byte is not a padding length from 1 to 16"
             " (wrong key, or a damaged blob)");
  }
  if (!pkcs7) {
    fail(kNotPkcs7,
         "opens, but the padding is not PKCS#7: wrong key or "
         "damaged blob? (with " +
             key_name + " the library would return " +
             std::to_string(password.size()) +
             " bytes, which seal did not write)");
  }
  const std::string verdict =
      "opens with " + key_name + ": " + std::to_string(blob.size()) +
      "-byte blob, " + std::to_string(password.size()) + "-byte password, " +
      std::to_string(blob.size() - 16 - password.size()) +
      " bytes of PKCS#7 padding (no proof of the key: see --help)\n";
  write_stdout(verdict.data(), verdict.size());
  if (o.show) {
    write_stdout(password.data(), password.size());
    write_stdout("\n", 1);
  }
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h" || (i == 1 && arg == "help")) {
      std::fputs(kUsage, stdout);
      return kOk;
    }
  }
  handle_fatal_signals();
  // Every way out unwinds the stack, so that the destructors wipe the key and
  // the password and put the terminal back.
  try {
    const Options o = parse_options(argc, argv);
    return o.command == "seal" ? seal(o) : verify(o);
  } catch (const Failure& failure) {
    std::fprintf(stderr, "rootchecker-seal: %s\n", failure.message.c_str());
    return failure.code;
  } catch (const std::bad_alloc&) {
    std::fputs("rootchecker-seal: out of memory; nothing was written\n",
               stderr);
    return kOutOfMemory;
  }
}
