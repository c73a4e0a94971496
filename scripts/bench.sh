#!/usr/bin/env bash
# Builds and runs every benchmark, then writes docs/performance.md (tables)
# and docs/performance.png (plot).
#
#   bash scripts/bench.sh            # the full run, a few minutes
#   bash scripts/bench.sh --quick    # fewer repetitions, for trying it out
#
# Builds, under build/: bench-clang-64, bench-clang-32 (the C++ suite, the
# library for the 64- and 32-bit JVM), bench-gcc-64, bench-gcc-32 (the
# cipher under gcc), each at the baseline of Android's ABI for it (x86_64:
# SSE4.2 and POPCNT; x86: i686 with SSSE3), and bench-clang-64-sse2 (the
# cipher with plain x86-64's SSE2, for reference). Raw output goes to
# build/bench-results/.
set -euo pipefail
source "$(dirname "$0")/env.sh"

quick=0
[ "${1:-}" = "--quick" ] && quick=1

bash "$ROOT/scripts/setup.sh"
RESULTS="$BUILD/bench-results"
mkdir -p "$BUILD" "$RESULTS"

# configure NAME CC CXX [cmake args...], then build only what the benchmarks need.
bench_build() {
  local name=$1 cc=$2 cxx=$3; shift 3
  cmake -S "$ROOT" -B "$BUILD/$name" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DROOTCHECKER_WERROR=ON -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" "$@" \
    >"$BUILD/$name.configure.log" 2>&1 || { cat "$BUILD/$name.configure.log"; return 1; }
  local targets=(rootchecker_bench)
  case $name in bench-clang-*) targets+=(rootchecker rootchecker_benchjni rootchecker_jvm_bench) ;; esac
  cmake --build "$BUILD/$name" --target "${targets[@]}"
}

X86=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/linux-x86.toolchain.cmake")
X86_64=(-DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/linux-x86_64.toolchain.cmake")
bench_build bench-clang-64 clang clang++ "${X86_64[@]}"
bench_build bench-clang-32 clang clang++ "${X86[@]}"
bench_build bench-gcc-64 gcc g++ "${X86_64[@]}"
bench_build bench-gcc-32 gcc g++ "${X86[@]}"
# For reference only: 64-bit with any x86-64's SSE2, no PSHUFB.
bench_build bench-clang-64-sse2 clang clang++

if [ $quick = 1 ]; then
  GB_ARGS=(--benchmark_min_time=0.05 --benchmark_repetitions=3)
  JVM_ARGS=(-Dbench.rounds=5 -Dbench.roundMillis=20 -Dbench.warmupMillis=200)
else
  GB_ARGS=(--benchmark_min_time=0.2 --benchmark_repetitions=5)
  JVM_ARGS=()
fi
GB_ARGS+=(--benchmark_report_aggregates_only=true)

# Where the kernel cannot run 32-bit x86 (scripts/setup.sh handed it to
# qemu-i386), a 32-bit figure here would time the emulator. The 32-bit C++
# benchmarks then run in the VM (scripts/vm.sh), natively to its kernel but
# on a software-emulated CPU, so only ratios within their column compare; the
# 32-bit JVM's are left out.
where32=
run32=()
if grep -qx enabled /proc/sys/fs/binfmt_misc/rootchecker-i386 2>/dev/null; then
  where32="this machine's kernel cannot run 32-bit x86: the C++ figures come from the VM of scripts/vm.sh (a software-emulated CPU: compare them only with each other), the 32-bit JVM's were not measured"
  run32=(bash "$ROOT/scripts/vm.sh" --timeout 1800 --)
fi

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')

# The whole suite under clang; the cipher only in the other builds.
for name in bench-clang-64 bench-clang-32 bench-gcc-64 bench-gcc-32 bench-clang-64-sse2; do
  filter=()
  case $name in bench-gcc-*|*-sse2) filter=(--benchmark_filter='KeyExpansion|InvCipher|CBC') ;; esac
  runner=()
  case $name in *-32) runner=("${run32[@]}") ;; esac
  echo "=== C++ benchmarks: $name"
  "${runner[@]}" "$BUILD/$name/bench/rootchecker_bench" "${GB_ARGS[@]}" "${filter[@]}" \
    --summary_out="$RESULTS/$name.tsv" | tee "$RESULTS/$name.txt"
done

# jvm_bench JAVA BUILD_DIR OUTPUT_NAME
jvm_bench() {
  local java=$1 dir=$2 out=$3
  "$java" "${JVM_ARGS[@]}" -Djava.library.path="$dir:$dir/bench" \
    -cp "$dir/java/rootchecker.jar:$dir/bench/rootchecker-jvm-bench.jar" \
    com.torvanelk.pemblisk.bench.JvmBench "$dir/app_key.hex" | tee "$RESULTS/$out.txt"
  grep '^RESULT ' "$RESULTS/$out.txt" | awk '{print $2 "\t" $3}' >"$RESULTS/$out.tsv"
}
echo "=== JVM benchmarks: 64-bit JVM"
jvm_bench "$JAVA64" "$BUILD/bench-clang-64" jvm-64
rm -f "$RESULTS/jvm-32.tsv"
if [ -z "$where32" ]; then
  echo "=== JVM benchmarks: 32-bit JVM"
  jvm_bench "$JAVA32" "$BUILD/bench-clang-32" jvm-32
fi
echo "=== JVM benchmarks: 64-bit JVM, library built with SSE2 only (reference)"
jvm_bench "$JAVA64" "$BUILD/bench-clang-64-sse2" jvm-64-sse2

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
mhz=$(awk -F': ' '/^cpu MHz/ {printf "%.0f", $2; exit}' /proc/cpuinfo)
cores=$(nproc)
aes=$(grep -qw aes /proc/cpuinfo && echo yes || echo no)

bash "$ROOT/bench/make_report.sh" "$RESULTS" "$ROOT/docs" \
  "$cpu" "$mhz" "$cores" "$aes" "$started" "$load_before" "$load_after" "$quick" "$where32"
echo "bench: wrote docs/performance.md, docs/performance.png and docs/performance.dat"
