// Both JNI entry points through the recording fake JNIEnv, with fuzzed
// arrays and injected JNI failures.
//
// Input: byte 0 picks the entry point (bit 0) and the failures (the other
// bits); the rest is the array. For the root check each element starts with
// a kind byte: null, one of a few prepared names in a private temp dir
// (readable, unreadable, a socket, missing, a directory, a dangling link, a
// path through a file), or a name of up to 31 characters spelled out in the
// input. For the decrypter the rest is the blob.
//
// Invariants: the fake sees no JNI breach (nothing but releases and deletes
// while an exception is pending, no stale or wrong reference) and nothing
// is left held; the calls come in the documented order; at most one element
// reference and one character buffer are held at a time; no file
// descriptor is left open; the count is the number of probe_path successes
// on non-null elements before the failed one, or -1 and no further element
// once a probe could not be made (ProbeResult::kFailed); nativeDecrypt gives
// what decrypt_password_blob gives and never changes the caller's array.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "native/password_decrypter.h"
#include "native/root_checker.h"
#include "native/secret_bytes.h"
#include "support/fake_jni.h"

namespace {

std::string g_dir;
std::vector<std::string> g_prepared;  // kinds 1 to 7, as full paths

void cleanup() {
  if (g_dir.empty()) return;
  for (const char* name : {"readable", "unreadable", "socket", "dangling"}) {
    unlink((g_dir + "/" + name).c_str());
  }
  rmdir((g_dir + "/dir").c_str());
  rmdir(g_dir.c_str());
}

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::abort();
}

void make_file(const std::string& path, mode_t mode) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0 || write(fd, "x\n", 2) != 2 || close(fd) != 0) die(path.c_str());
  if (chmod(path.c_str(), mode) != 0) die(path.c_str());
}

// A socket file exists but cannot be opened, even by root.
void make_socket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) die("socket path too long");
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    die(path.c_str());
  }
  close(fd);
}

// The lowest free descriptor: it moves if a call leaves one open.
int lowest_free_fd() {
  const int fd = open("/dev/null", O_RDONLY);
  if (fd < 0) die("/dev/null");
  close(fd);
  return fd;
}

std::vector<std::string> without_null_deletes(
    const std::vector<std::string>& calls) {
  std::vector<std::string> out;
  for (const auto& call : calls) {
    if (call != "DeleteLocalRef(null)") out.push_back(call);
  }
  return out;
}

std::string join(const std::vector<std::string>& lines) {
  std::string out;
  for (const auto& line : lines) out += "  " + line + "\n";
  return out;
}

void check_legal(const FakeJniEnv& fake) {
  FUZZ_CHECK(fake.violations().empty() && fake.leaks().empty(), fake.report());
}

void fuzz_root_check(uint8_t flags, FuzzInput& in) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789._-";
  const bool null_array = (flags & 0x02) != 0;
  const std::optional<jsize> fail_at =
      (flags & 0x04) != 0 ? std::optional<jsize>((flags >> 3) & 0x1f)
                          : std::nullopt;

  std::vector<std::optional<std::string>> paths;
  while (in.remaining() > 0 && paths.size() < 64) {
    const uint8_t kind = in.byte() % 9;
    if (kind == 0) {
      paths.emplace_back(std::nullopt);
    } else if (kind < 8) {
      paths.emplace_back(g_prepared[kind - 1u]);
    } else {
      std::string name;
      for (uint8_t n = in.byte() % 32; n > 0; --n) {
        name += kAlphabet[in.byte() % (sizeof kAlphabet - 1)];
      }
      paths.emplace_back(g_dir + "/" + name);
    }
  }

  // What the core says, element by element, up to the failing one.
  jint expected = 0;
  size_t fetched = 0;
  bool failed = false;
  std::vector<std::string> calls{"GetArrayLength(paths)"};
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::string name = "paths[" + std::to_string(i) + "]";
    calls.push_back("GetObjectArrayElement(paths, " + std::to_string(i) + ")");
    if (!paths[i]) continue;
    calls.push_back("GetStringUTFChars(" + name + ")");
    if (fail_at && static_cast<size_t>(*fail_at) == i) {
      calls.push_back("DeleteLocalRef(" + name + ")");
      failed = true;
      break;
    }
    ++fetched;
    const ProbeResult result = probe_path(paths[i]->c_str());
    calls.push_back("ReleaseStringUTFChars(" + name + ")");
    calls.push_back("DeleteLocalRef(" + name + ")");
    if (result == ProbeResult::kFailed) {
      expected = -1;
      break;
    }
    if (result == ProbeResult::kOpened) ++expected;
  }

  FakeJniEnv fake;
  jobjectArray array = nullptr;
  if (!null_array) array = fake.set_paths(paths);
  if (fail_at) fake.fail_string_chars_at(*fail_at);
  const int fd_before = lowest_free_fd();
  const jint count =
      Java_com_torvanelk_pemblisk_utils_NativeRootChecker_nativeCheckForRoot(
          fake.env(), nullptr, array);
  FUZZ_CHECK(lowest_free_fd() == fd_before, fake.report());

  check_legal(fake);
  if (null_array) {
    FUZZ_CHECK(count == 0, fake.report());
    return;
  }
  FUZZ_CHECK(count == expected, "count " + std::to_string(count) +
                                    ", expected " + std::to_string(expected) +
                                    "\n" + fake.report());
  FUZZ_CHECK(fake.strings_fetched() == fetched, fake.report());
  FUZZ_CHECK(fake.exception_pending() == failed, fake.report());
  FUZZ_CHECK(
      fake.max_live_element_refs() <= 1 && fake.max_live_string_chars() <= 1,
      fake.report());
  FUZZ_CHECK(without_null_deletes(fake.calls()) == calls,
             "expected calls:\n" + join(calls) + fake.report());
}

void fuzz_decrypt(uint8_t flags, FuzzInput& in) {
  const bool null_blob = (flags & 0x02) != 0;
  const bool fail_elements = (flags & 0x04) != 0;
  const bool fail_new_array = (flags & 0x08) != 0;
  const Bytes blob = in.rest();

  secret_bytes password;
  const bool ok = decrypt_password_blob(
      blob.data(), static_cast<uint32_t>(blob.size()), password);
  const bool length_ok =
      password_blob_ciphertext_length(static_cast<uint32_t>(blob.size())) != 0;

  std::vector<std::string> calls{"GetArrayLength(blob)"};
  if (length_ok) {
    calls.push_back("GetByteArrayElements(blob)");
    if (!fail_elements) {
      calls.push_back("ReleaseByteArrayElements(blob, JNI_ABORT)");
      if (ok) {
        const std::string n = std::to_string(password.size());
        calls.push_back("NewByteArray(" + n + ")");
        if (!fail_new_array)
          calls.push_back("SetByteArrayRegion(result, 0, " + n + ")");
      }
    }
  }
  const bool expect_result = ok && !fail_elements && !fail_new_array;

  FakeJniEnv fake;
  jbyteArray array = nullptr;
  if (!null_blob) array = fake.set_blob(blob);
  if (fail_elements) fake.fail_byte_array_elements();
  if (fail_new_array) fake.fail_new_byte_array();
  const jbyteArray result =
      Java_com_torvanelk_pemblisk_utils_NativePasswordDecrypter_nativeDecrypt(
          fake.env(), nullptr, array);

  check_legal(fake);
  if (null_blob) {
    FUZZ_CHECK(result == nullptr, fake.report());
    return;
  }
  FUZZ_CHECK(fake.blob() == blob, fake.report());
  FUZZ_CHECK(fake.calls() == calls,
             "expected calls:\n" + join(calls) + fake.report());
  FUZZ_CHECK((result != nullptr) == expect_result, fake.report());
  FUZZ_CHECK(fake.exception_pending() ==
                 (length_ok && (fail_elements || (ok && fail_new_array))),
             fake.report());
  if (result == nullptr) return;
  const std::optional<std::vector<uint8_t>> bytes = fake.result_bytes(result);
  FUZZ_CHECK(bytes && bytes->size() == password.size() &&
                 std::equal(bytes->begin(), bytes->end(), password.begin()),
             "core " + to_hex(password.data(), password.size()) + "\n" +
                 fake.report());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  char tmpl[] = "/tmp/rootchecker-fuzz-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) die("mkdtemp");
  g_dir = tmpl;
  std::atexit(cleanup);
  fuzz_at_failure(cleanup);
  make_file(g_dir + "/readable", 0644);
  make_file(g_dir + "/unreadable", 0);  // still readable when run as root
  make_socket(g_dir + "/socket");
  if (mkdir((g_dir + "/dir").c_str(), 0755) != 0) die("mkdir");
  if (symlink("missing", (g_dir + "/dangling").c_str()) != 0) die("symlink");
  for (const char* name : {"readable", "unreadable", "socket", "missing", "dir",
                           "dangling", "readable/x"}) {
    g_prepared.push_back(g_dir + "/" + name);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.byte();
  if ((flags & 1) == 0) {
    fuzz_root_check(flags, in);
  } else {
    fuzz_decrypt(flags, in);
  }
  return 0;
}
