// Google Benchmark suite for the library's core, with OpenSSL, bare
// fopen/fclose (the reference the probe's ratio was first set against) and
// bare open/close with the probe's flags beside it for scale, and a summary of
// the ratios at the end.
//
// OpenSSL reads OPENSSL_ia32cap once, when libcrypto initialises, so one
// process cannot measure it both with and without AES-NI. The binary therefore
// re-executes itself once with AES-NI masked off; that child runs only the
// OpenSSL benchmarks (as "OpenSSL_CBC_noAESNI/...") and hands its results back
// through a file, and the parent prints every ratio of the run.
//
//   rootchecker_bench [--summary_out=FILE] [Google Benchmark flags]
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "cipher/aes.h"
#include "cipher/aes_internal.h"
#include "native/password_decrypter.h"
#include "native/root_checker.h"
#include "native/secret_bytes.h"
#include "native/signal_mask.h"

extern char** environ;

namespace {

// Bits 57 (AES-NI) and 33 (PCLMULQDQ) of the first capability word.
constexpr char kMaskAesNi[] = "OPENSSL_ia32cap=~0x200000200000000";
constexpr char kChildRole[] = "ROOTCHECKER_BENCH_CHILD_RESULTS";

constexpr uint32_t kCbcSizes[] = {16, 1024, 64 * 1024};
constexpr uint32_t kBlobSizes[] = {32, 48, 80};

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "rootchecker_bench: %s\n", message.c_str());
  std::exit(2);
}

std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(seed + 31 * i + (i >> 8));
  }
  return bytes;
}

std::vector<uint8_t> configured_key() {
  std::ifstream in(ROOTCHECKER_KEY_HEX_FILE);
  std::string hex;
  if (!(in >> hex) || hex.size() != 32) {
    die("cannot read the key from " ROOTCHECKER_KEY_HEX_FILE);
  }
  std::vector<uint8_t> key(16);
  for (size_t i = 0; i < 16; ++i) {
    key[i] =
        static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  }
  return key;
}

// A blob of `size` bytes (IV + PKCS#7-padded ciphertext) sealed by OpenSSL
// under the configured key, so that decrypt_password_blob accepts it.
std::vector<uint8_t> sealed_blob(uint32_t size) {
  const std::vector<uint8_t> key = configured_key();
  const std::vector<uint8_t> iv = pattern(16, 7);
  const std::vector<uint8_t> password = pattern(size - 16 - 5, 'p');
  std::vector<uint8_t> blob(iv);
  blob.resize(16 + password.size() + 16);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, m = 0;
  if (EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(),
                         iv.data()) != 1 ||
      EVP_EncryptUpdate(ctx, blob.data() + 16, &n, password.data(),
                        static_cast<int>(password.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx, blob.data() + 16 + n, &m) != 1) {
    die("OpenSSL could not seal a blob");
  }
  EVP_CIPHER_CTX_free(ctx);
  blob.resize(16 + static_cast<size_t>(n + m));
  if (blob.size() != size) die("sealed blob has the wrong size");
  return blob;
}

// --- The library ------------------------------------------------------------

void BM_KeyExpansion(benchmark::State& state) {
  std::vector<uint8_t> key = pattern(16, 1);
  uint8_t round_keys[176];
  for (auto _ : state) {
    KeyExpansion(round_keys, key.data());
    benchmark::DoNotOptimize(round_keys);
    benchmark::ClobberMemory();
  }
}

void BM_InvCipher(benchmark::State& state) {
  uint8_t round_keys[176];
  KeyExpansion(round_keys, pattern(16, 1).data());
  std::vector<uint8_t> block = pattern(16, 2);
  for (auto _ : state) {
    InvCipher(block.data(), round_keys);  // decrypts its own output each time
    benchmark::DoNotOptimize(block.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16);
}

void set_block_counter(benchmark::State& state, uint32_t size) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
  state.counters["blocks"] =
      benchmark::Counter(static_cast<double>(size / 16),
                         benchmark::Counter::kIsIterationInvariantRate);
}

void BM_AES_CBC_decrypt_buffer(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  AES_ctx ctx;
  AES_init_ctx_iv(&ctx, pattern(16, 1).data(), pattern(16, 3).data());
  std::vector<uint8_t> buffer = pattern(size, 4);
  for (auto _ : state) {
    AES_CBC_decrypt_buffer(&ctx, buffer.data(), size);  // the chain goes on
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  set_block_counter(state, size);
}

void BM_decrypt_password_blob(benchmark::State& state) {
  const std::vector<uint8_t> blob =
      sealed_blob(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    secret_bytes out;
    if (!decrypt_password_blob(blob.data(), static_cast<uint32_t>(blob.size()),
                               out)) {
      state.SkipWithError("the blob did not decrypt");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
}

// The pair of system calls that holds signals off around each decryption.
void BM_signal_mask_pair(benchmark::State& state) {
  for (auto _ : state) {
    restore_signal_mask(block_asynchronous_signals());
  }
}

// --- OpenSSL, for scale
// -------------------------------------------------------

void BM_OpenSSL_CBC(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (EVP_DecryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, pattern(16, 1).data(),
                         pattern(16, 3).data()) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx, 0) != 1) {
    die("OpenSSL could not set up AES-128-CBC decryption");
  }
  const std::vector<uint8_t> in = pattern(size, 4);
  std::vector<uint8_t> out(size + 16);
  int n = 0;
  for (auto _ : state) {
    EVP_DecryptUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(size));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  set_block_counter(state, size);
}

// --- The root check ----------------------------------------------------------

struct ProbePaths {
  std::string existing, missing;
};

const ProbePaths& probe_paths() {
  static const ProbePaths paths = [] {
    char dir[] = "/tmp/rootchecker-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) die("cannot make a temporary directory");
    ProbePaths p{std::string(dir) + "/su", std::string(dir) + "/busybox"};
    std::ofstream(p.existing) << "#!/bin/sh\n";
    return p;
  }();
  return paths;
}

void remove_probe_paths() {
  const ProbePaths& p = probe_paths();
  std::remove(p.existing.c_str());
  rmdir(p.existing.substr(0, p.existing.rfind('/')).c_str());
}

void BM_probe_path(benchmark::State& state, bool existing) {
  const std::string& path =
      existing ? probe_paths().existing : probe_paths().missing;
  // Timing a probe that fails (no descriptor free) would time the wrong path.
  const ProbeResult expected =
      existing ? ProbeResult::kOpened : ProbeResult::kNotOpened;
  if (probe_path(path.c_str()) != expected) {
    die("probe_path does not answer as the benchmark assumes");
  }
  for (auto _ : state) {
    benchmark::DoNotOptimize(probe_path(path.c_str()));
  }
}

void BM_fopen_fclose(benchmark::State& state, bool existing) {
  const std::string& path =
      existing ? probe_paths().existing : probe_paths().missing;
  for (auto _ : state) {
    FILE* stream = std::fopen(path.c_str(), "r");
    benchmark::DoNotOptimize(stream);
    if (stream != nullptr) std::fclose(stream);
  }
}

// The system calls probe_path makes, with nothing around them.
void BM_open_close(benchmark::State& state, bool existing) {
  const std::string& path =
      existing ? probe_paths().existing : probe_paths().missing;
  for (auto _ : state) {
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    benchmark::DoNotOptimize(fd);
    if (fd >= 0) ::close(fd);
  }
}

// --- Results and the summary
// ---------------------------------------------------

// Keeps, for each benchmark, its CPU time per iteration in ns: the median
// when repetitions are asked for, else the single run. CPU time (user and
// system, of the benchmark's thread) leaves out the time that other processes
// hold the CPU, so ratios stay meaningful on a busy machine.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> ns;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const double per_iteration =
          run.GetAdjustedCPUTime() /
          benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") ns[name] = per_iteration;
      } else if (run.repetitions <= 1 || ns.count(name) == 0) {
        ns[name] = per_iteration;
      }
    }
  }
};

void write_results(const std::string& file,
                   const std::map<std::string, double>& ns) {
  std::ofstream out(file);
  for (const auto& [name, value] : ns) out << name << '\t' << value << '\n';
}

std::map<std::string, double> read_results(const std::string& file) {
  std::map<std::string, double> ns;
  std::ifstream in(file);
  std::string name;
  double value;
  while (in >> name >> value) ns[name] = value;
  return ns;
}

// Runs this binary again, with the same flags, AES-NI masked off and only the
// OpenSSL benchmarks; returns their results (empty if the child failed).
std::map<std::string, double> run_masked_child(int argc, char** argv) {
  char results[] = "/tmp/rootchecker-bench-results-XXXXXX";
  const int fd = mkstemp(results);
  if (fd < 0) die("cannot make a results file");
  close(fd);

  std::vector<std::string> args{"/proc/self/exe"};
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--benchmark_filter", 18) != 0 &&
        std::strncmp(argv[i], "--benchmark_out", 15) != 0 &&
        std::strncmp(argv[i], "--benchmark_format", 18) != 0) {
      args.emplace_back(argv[i]);
    }
  }
  args.emplace_back("--benchmark_filter=^OpenSSL_CBC");
  std::vector<char*> child_argv;
  for (std::string& arg : args) child_argv.push_back(arg.data());
  child_argv.push_back(nullptr);

  std::string role = std::string(kChildRole) + "=" + results;
  std::vector<char*> child_env{const_cast<char*>(kMaskAesNi), role.data()};
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "OPENSSL_ia32cap=", 16) != 0) child_env.push_back(*e);
  }
  child_env.push_back(nullptr);

  std::fflush(stdout);
  pid_t pid = 0;
  int status = 0;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, child_argv.data(),
                  child_env.data()) != 0 ||
      waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "rootchecker_bench: the run without AES-NI failed\n");
    std::remove(results);
    return {};
  }
  std::map<std::string, double> ns = read_results(results);
  std::remove(results);
  return ns;
}

void print_summary(const std::map<std::string, double>& ns,
                   const std::string& summary_out) {
  std::ostringstream tsv;
  std::printf("\nSummary: CPU time per call, median over repetitions if any\n");
  auto find = [&](const std::string& name) {
    auto it = ns.find(name);
    return it == ns.end() ? -1.0 : it->second;
  };
  auto row = [&](const std::string& key, const std::string& what, double value,
                 const char* unit) {
    if (value < 0) return;
    std::printf("  %-58s %10.2f %s\n", what.c_str(), value, unit);
    tsv << key << '\t' << value << '\n';
  };
  auto ratio = [&](const std::string& key, const std::string& what,
                   double numerator, double denominator, const char* target) {
    if (numerator < 0 || denominator <= 0) return;
    const double r = numerator / denominator;
    std::printf("  %-58s %10.2f x %s\n", what.c_str(), r, target);
    tsv << key << '\t' << r << '\n';
  };

  row("KeyExpansion", "KeyExpansion", find("BM_KeyExpansion"), "ns");
  row("InvCipher", "InvCipher, one block", find("BM_InvCipher"), "ns");
  for (uint32_t size : kCbcSizes) {
    const std::string s = std::to_string(size);
    const double ours = find("BM_AES_CBC_decrypt_buffer/" + s);
    const double plain = find("OpenSSL_CBC_noAESNI/" + s);
    const double aesni = find("OpenSSL_CBC/" + s);
    row("cbc_" + s, "AES_CBC_decrypt_buffer, " + s + " B", ours, "ns");
    row("openssl_noaesni_" + s,
        "OpenSSL AES-128-CBC without AES-NI, " + s + " B", plain, "ns");
    row("openssl_aesni_" + s, "OpenSSL AES-128-CBC with AES-NI, " + s + " B",
        aesni, "ns");
    ratio("ratio_cbc_noaesni_" + s,
          "AES_CBC_decrypt_buffer / OpenSSL without AES-NI, " + s + " B", ours,
          plain, size == 1024 ? "(target <= 8)" : "");
    ratio("ratio_cbc_aesni_" + s,
          "AES_CBC_decrypt_buffer / OpenSSL with AES-NI, " + s + " B", ours,
          aesni, "");
  }
  for (uint32_t size : kBlobSizes) {
    const std::string s = std::to_string(size);
    row("blob_" + s, "decrypt_password_blob, " + s + " B blob",
        find("BM_decrypt_password_blob/" + s), "ns");
  }
  row("signal_mask_pair", "signal mask pair (block + restore)",
      find("BM_signal_mask_pair"), "ns");
  for (const char* which : {"existing", "missing"}) {
    const std::string w = which;
    const double probe = find("BM_probe_path/" + w);
    const double bare = find("BM_fopen_fclose/" + w);
    row("probe_" + w, "probe_path, " + w + " path", probe, "ns");
    row("fopen_" + w, "bare fopen/fclose, " + w + " path", bare, "ns");
    ratio("ratio_probe_" + w, "probe_path / bare fopen+fclose, " + w + " path",
          probe, bare, "");
    const double bare_open = find("BM_open_close/" + w);
    row("open_" + w, "bare open/close, " + w + " path", bare_open, "ns");
    ratio("ratio_probe_open_" + w,
          "probe_path / bare open+close, " + w + " path", probe, bare_open, "");
  }
  if (!summary_out.empty()) std::ofstream(summary_out) << tsv.str();
}

}  // namespace

int main(int argc, char** argv) {
  std::string summary_out;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--summary_out=", 14) == 0) {
      summary_out = argv[i] + 14;
    } else {
      args.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(args.size());
  const char* child_results = std::getenv(kChildRole);

  if (child_results != nullptr) {
    for (uint32_t size : kCbcSizes) {
      benchmark::RegisterBenchmark("OpenSSL_CBC_noAESNI", BM_OpenSSL_CBC)
          ->Arg(size);
    }
  } else {
    benchmark::RegisterBenchmark("BM_KeyExpansion", BM_KeyExpansion);
    benchmark::RegisterBenchmark("BM_InvCipher", BM_InvCipher);
    for (uint32_t size : kCbcSizes) {
      benchmark::RegisterBenchmark("BM_AES_CBC_decrypt_buffer",
                                   BM_AES_CBC_decrypt_buffer)
          ->Arg(size);
    }
    for (uint32_t size : kCbcSizes) {
      benchmark::RegisterBenchmark("OpenSSL_CBC", BM_OpenSSL_CBC)->Arg(size);
    }
    for (uint32_t size : kBlobSizes) {
      benchmark::RegisterBenchmark("BM_decrypt_password_blob",
                                   BM_decrypt_password_blob)
          ->Arg(size);
    }
    benchmark::RegisterBenchmark("BM_signal_mask_pair", BM_signal_mask_pair);
    benchmark::RegisterBenchmark("BM_probe_path/existing", BM_probe_path, true);
    benchmark::RegisterBenchmark("BM_probe_path/missing", BM_probe_path, false);
    benchmark::RegisterBenchmark("BM_fopen_fclose/existing", BM_fopen_fclose,
                                 true);
    benchmark::RegisterBenchmark("BM_fopen_fclose/missing", BM_fopen_fclose,
                                 false);
    benchmark::RegisterBenchmark("BM_open_close/existing", BM_open_close, true);
    benchmark::RegisterBenchmark("BM_open_close/missing", BM_open_close, false);
  }

  std::vector<char*> original_args = args;  // Initialize consumes its flags
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;

  std::map<std::string, double> masked;
  if (child_results == nullptr) {
    std::printf("== OpenSSL with AES-NI masked off (a child process)\n");
    masked = run_masked_child(static_cast<int>(original_args.size()),
                              original_args.data());
    std::printf("== this process\n");
  }

  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  if (child_results != nullptr) {
    write_results(child_results, reporter.ns);
  } else {
    std::map<std::string, double> all = reporter.ns;
    all.insert(masked.begin(), masked.end());
    print_summary(all, summary_out);
    remove_probe_paths();
  }
  benchmark::Shutdown();
  return 0;
}
