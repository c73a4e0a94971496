#!/usr/bin/env bash
# Turns the results of scripts/bench.sh into docs/performance.md and
# docs/performance.png, and keeps the plot's figures in docs/performance.dat.
# Called by scripts/bench.sh; not meant to be run alone.
#
#   make_report.sh RESULTS_DIR DOCS_DIR CPU MHZ CORES AES STARTED LOAD_BEFORE LOAD_AFTER QUICK
#   make_report.sh --redraw DOCS_DIR   # the plot again from performance.dat, without a run
set -euo pipefail

# draw_plot DATA PNG: the plot, per call against blob size and per path,
# native beside Java, from the three data sets of DATA.
draw_plot() {
  local machine
  machine=$(sed -n 's/^# machine: //p' "$1")
  gnuplot <<EOF
  set terminal pngcairo size 1200,600 font ",10"
  set output "$2"
  set multiplot layout 1,2 title "librootchecker: time per call ($machine)"
  set title "Password blob decryption, per call"
  set xlabel "blob size (bytes)"
  set ylabel "ns per call"
  set logscale xy
  set xrange [30:1600]
  set xtics (48, 1024)
  set key inside top left vertical Left reverse opaque box samplen 3 height 1
  set grid
  plot "$1" index 0 using 1:2 with linespoints lw 2 pt 7 title "nativeDecrypt, 64-bit JVM", \
       "" index 0 using 1:3 with linespoints lw 2 pt 5 title "javax.crypto fresh Cipher, 64-bit", \
       "" index 0 using 1:4 with linespoints lw 2 pt 9 title "javax.crypto reused Cipher, 64-bit", \
       "" index 1 using 1:2 with linespoints lw 2 dt 2 pt 7 title "nativeDecrypt, 32-bit JVM", \
       "" index 1 using 1:3 with linespoints lw 2 dt 2 pt 5 title "javax.crypto fresh Cipher, 32-bit", \
       "" index 1 using 1:4 with linespoints lw 2 dt 2 pt 9 title "javax.crypto reused Cipher, 32-bit"
  unset logscale
  unset xrange
  set title "Root check, per path (default list)"
  set xlabel ""
  set ylabel "ns per path"
  set style data histogram
  set style histogram clustered gap 1
  set style fill solid 0.8 border -1
  set boxwidth 0.9
  set xtics rotate by -20 ("" 0)
  set xtics auto
  set yrange [0:*]
  set key inside top left vertical
  plot "$1" index 2 using 2:xtic(1) title "64-bit JVM", "" index 2 using 3 title "32-bit JVM"
  unset multiplot
EOF
}

if [ "${1:-}" = --redraw ]; then
  draw_plot "$2/performance.dat" "$2/performance.png"
  exit 0
fi

results=$1 docs=$2 cpu=$3 mhz=$4 cores=$5 aes=$6 started=$7 load_before=$8 load_after=$9 quick=${10}
where32=${11:-}  # empty, or where the 32-bit figures came from when not natively
mkdir -p "$docs"
md="$docs/performance.md"
png="$docs/performance.png"

# val FILE KEY [FORMAT]: the value of KEY in a two-column TSV, or "n/a".
val() {
  awk -F'\t' -v k="$2" -v f="${3:-%.1f}" '$1 == k { printf f, $2; found = 1 } END { if (!found) printf "n/a" }' "$1" 2>/dev/null || printf "n/a"
}
c64="$results/bench-clang-64.tsv" c32="$results/bench-clang-32.tsv"
g64="$results/bench-gcc-64.tsv" g32="$results/bench-gcc-32.tsv"
a64="$results/bench-clang-64-sse2.tsv"
j64="$results/jvm-64.tsv" j32="$results/jvm-32.tsv" ja64="$results/jvm-64-sse2.tsv"

# verdict VALUE LIMIT: "met" when VALUE <= LIMIT.
verdict() {
  awk -v v="$1" -v l="$2" 'BEGIN { if (v == "n/a") print "n/a"; else if (v + 0 <= l + 0) print "met"; else printf "missed by %.0f%%\n", (v / l - 1) * 100 }'
}

cpp_row() {  # LABEL KEY [FORMAT]
  local f=${3:-%.1f}
  printf '| %s | %s | %s | %s | %s | %s |\n' "$1" "$(val "$c64" "$2" "$f")" "$(val "$c32" "$2" "$f")" \
    "$(val "$g64" "$2" "$f")" "$(val "$g32" "$2" "$f")" "$(val "$a64" "$2" "$f")"
}
jvm_row() {  # LABEL KEY [FORMAT]
  local f=${3:-%.1f}
  printf '| %s | %s | %s | %s |\n' "$1" "$(val "$j64" "$2" "$f")" "$(val "$j32" "$2" "$f")" "$(val "$ja64" "$2" "$f")"
}

r_cbc64=$(val "$c64" ratio_cbc_noaesni_1024 %.2f)
r_cbc32=$(val "$c32" ratio_cbc_noaesni_1024 %.2f)
r_dec64=$(val "$j64" ratio_native_fresh_48 %.3f)
r_dec32=$(val "$j32" ratio_native_fresh_48 %.3f)
r_wipe64=$(val "$j64" ratio_native_nowipe_48 %.3f)
r_wipe32=$(val "$j32" ratio_native_nowipe_48 %.3f)
r_path64=$(val "$j64" ratio_path_native_fopen %.3f)
r_path32=$(val "$j32" ratio_path_native_fopen %.3f)
r_fis64=$(val "$j64" ratio_path_native_fis %.3f)
r_fis32=$(val "$j32" ratio_path_native_fis %.3f)

{
  cat <<EOF
# Performance

Measured by \`bash scripts/bench.sh\` on $started$([ "$quick" = 1 ] && echo " (quick run: fewer repetitions)").

- Machine: $cpu, $cores cores$([ -n "$mhz" ] && echo ", ${mhz} MHz as /proc/cpuinfo reports it"), AES-NI in the CPU: $aes.
- Load average (1, 5, 15 min): $load_before before the run, $load_after after it. Other work on the
  machine slows every figure; the ratios compare figures taken in the same run.
- Times are CPU time of the measuring thread (user and system), in ns per call unless marked:
  on a shared machine it leaves out the time other processes hold the CPU, which wall time does
  not. C++: Google Benchmark, median of the repetitions. JVM: the harness in \`bench/java\`, median
  of timed rounds after a warm-up pass over everything. Wall-time figures are in the raw output.
- Builds: Release (-O3), each at the baseline of Android's ABI as the NDK's clang targets it.
  64-bit: x86_64 (\`cmake/linux-x86_64.toolchain.cmake\`: SSE4.2 and POPCNT); 32-bit: x86
  (\`cmake/linux-x86.toolchain.cmake\`: i686 with SSSE3).
$([ -n "$where32" ] && printf -- '- 32-bit: %s\n' "$where32")
- OpenSSL "without AES-NI" runs in a child process started with
  \`OPENSSL_ia32cap=~0x200000200000000\` (OpenSSL reads it once, at start-up), so it uses its
  fastest code without AES-NI (bit-sliced or SSSE3 AES).

## Targets

| Target | 64-bit | 32-bit |
|---|---|---|
| \`nativeDecrypt\`, 48 B blob, over javax.crypto with a fresh \`Cipher\`: at most 0.25 | $r_dec64 ($(verdict "$r_dec64" 0.25)) | $r_dec32 ($(verdict "$r_dec32" 0.25)) |
| \`nativeDecrypt\`, 48 B blob, over the same without the wipe of the stack below the cipher: at most 1.05 | $r_wipe64 ($(verdict "$r_wipe64" 1.05)) | $r_wipe32 ($(verdict "$r_wipe32" 1.05)) |
| \`AES_CBC_decrypt_buffer\`, 1 KiB, over OpenSSL without AES-NI (clang): at most 8 | $r_cbc64 ($(verdict "$r_cbc64" 8)) | $r_cbc32 ($(verdict "$r_cbc32" 8)) |
| \`nativeCheckForRoot\` per path over a bare fopen/fclose loop: at most 1.25 | $r_path64 ($(verdict "$r_path64" 1.25)) | $r_path32 ($(verdict "$r_path32" 1.25)) |
| \`nativeCheckForRoot\` per path over Java's \`FileInputStream\` open+close: below 1 | $r_fis64 ($(verdict "$r_fis64" 0.9999)) | $r_fis32 ($(verdict "$r_fis32" 0.9999)) |

## The cipher and the native core (C++)

| ns per call | clang 64-bit | clang 32-bit | gcc 64-bit | gcc 32-bit | clang 64-bit, SSE2 only |
|---|---|---|---|---|---|
EOF
  cpp_row "KeyExpansion" KeyExpansion
  cpp_row "InvCipher, one block" InvCipher
  for s in 16 1024 65536; do
    cpp_row "AES_CBC_decrypt_buffer, $s B" cbc_$s
    cpp_row "OpenSSL AES-128-CBC without AES-NI, $s B" openssl_noaesni_$s
    cpp_row "OpenSSL AES-128-CBC with AES-NI, $s B" openssl_aesni_$s
  done
  for s in 16 1024 65536; do
    cpp_row "**ratio** to OpenSSL without AES-NI, $s B" ratio_cbc_noaesni_$s "%.2f x"
  done
  for s in 16 1024 65536; do
    cpp_row "ratio to OpenSSL with AES-NI, $s B" ratio_cbc_aesni_$s "%.1f x"
  done
  for s in 32 48 80; do
    cpp_row "decrypt_password_blob, $s B blob" blob_$s
  done
  cpp_row "signal mask pair (block + restore), part of each decryption" signal_mask_pair
  for w in existing missing; do
    cpp_row "probe_path, $w path" probe_$w
    cpp_row "bare fopen/fclose, $w path" fopen_$w
    cpp_row "ratio probe_path / fopen+fclose, $w" ratio_probe_$w "%.2f x"
    cpp_row "bare open/close (the probe's flags), $w path" open_$w
    cpp_row "ratio probe_path / open+close, $w" ratio_probe_open_$w "%.2f x"
  done
  cat <<EOF

gcc builds and the last column run the cipher benchmarks only. The last column is for reference:
the 64-bit build with only the SSE2 that every x86-64 has, as a desktop build targets by default;
without SSSE3's byte shuffle the compiler must split and rejoin InvMixColumns' columns. The CBC figures decrypt the same buffer over and over
with one context, as a long message would; the key is expanded once, outside the timing.

## The JNI methods beside Java (JVM)

| ns per call (per path for the path rows) | 64-bit JVM | 32-bit JVM | 64-bit JVM, library with SSE2 only |
|---|---|---|---|
EOF
  for s in 48 1024; do
    jvm_row "\`nativeDecrypt\`, $s B blob" decrypt_native_$s
    jvm_row "\`nativeDecrypt\` without the stack wipe (benchmark's copy), $s B blob" decrypt_nowipe_$s
    jvm_row "javax.crypto, fresh \`Cipher\` per call, $s B" decrypt_fresh_$s
    jvm_row "javax.crypto, one \`Cipher\` reused, $s B" decrypt_reused_$s
  done
  jvm_row "\`nativeCheckForRoot\`, default list, per path" path_native
  jvm_row "bare fopen/fclose loop in C (through one JNI call), per path" path_fopen
  jvm_row "bare open/close loop in C (the probe's flags), per path" path_open
  jvm_row "\`nativeCheckForRoot\`, as many existing files, per path" path_native_present
  jvm_row "bare fopen/fclose loop in C, the same existing files, per path" path_fopen_present
  jvm_row "bare open/close loop in C, the same existing files, per path" path_open_present
  jvm_row "Java \`FileInputStream\` open+close, per path" path_fis
  jvm_row "Java \`File.canRead\` (does not open), per path" path_canread
  jvm_row "Java \`Files.isReadable\` (does not open), per path" path_isreadable
  jvm_row "an empty JNI call" jni_nop
  jvm_row "**ratio** nativeDecrypt / fresh Cipher, 48 B" ratio_native_fresh_48 "%.3f x"
  jvm_row "ratio nativeDecrypt without the stack wipe / fresh Cipher, 48 B" ratio_nowipe_fresh_48 "%.3f x"
  jvm_row "**ratio** nativeDecrypt / the same without the stack wipe, 48 B" ratio_native_nowipe_48 "%.3f x"
  jvm_row "ratio nativeDecrypt / reused Cipher, 48 B" ratio_native_reused_48 "%.2f x"
  jvm_row "ratio nativeDecrypt / fresh Cipher, 1 KiB" ratio_native_fresh_1024 "%.3f x"
  jvm_row "ratio nativeDecrypt / reused Cipher, 1 KiB" ratio_native_reused_1024 "%.2f x"
  jvm_row "**ratio** nativeCheckForRoot / bare fopen+fclose" ratio_path_native_fopen "%.3f x"
  jvm_row "ratio nativeCheckForRoot / bare fopen+fclose, existing files" ratio_path_native_fopen_present "%.3f x"
  jvm_row "ratio nativeCheckForRoot / bare open+close" ratio_path_native_open "%.3f x"
  jvm_row "ratio nativeCheckForRoot / bare open+close, existing files" ratio_path_native_open_present "%.3f x"
  jvm_row "ratio nativeCheckForRoot / FileInputStream" ratio_path_native_fis "%.3f x"
  jvm_row "ratio nativeCheckForRoot / File.canRead" ratio_path_native_canread "%.3f x"
  cat <<EOF

The last column loads a library built with only x86-64's SSE2, for reference; the targets are
judged on the first two, built at Android's baselines as the project's host builds are.
Unless marked, the path rows probe \`NativeRootChecker.DEFAULT_PATHS\` ($(val "$j64" paths %.0f) paths, $(val "$j64" paths_readable %.0f) of them readable
on this machine), every way on the same paths. Blobs are sealed with javax.crypto
(\`AES/CBC/PKCS5Padding\`) under the key the library was built with.

![time per call](performance.png)

## What the figures come down to

- The cipher is byte-oriented by design: three tables, the State transformed in place, every
  InvMixColumns product made by repeated xtime on each call. clang compiles InvCipher into one
  body and vectorises InvMixColumns; how well depends on the instruction set. With SSSE3 (in
  both Android baselines: x86's, and x86_64's SSE4.2) it moves bytes with PSHUFB; with plain SSE2
  (the reference column) it must split and rejoin the columns with packs and word shuffles, and
  each block costs about a third more. gcc does not vectorise it, and on 32-bit it
  works in byte registers with long dependency chains.
- \`nativeDecrypt\` on a 48-byte blob is its two blocks of InvCipher, KeyExpansion, the JNI copy
  in and out, the working buffer, the wipes of the key, the context, the buffer and the 512 bytes
  of stack below the cipher, and the signal mask: two \`rt_sigprocmask\` system calls that hold
  the asynchronous signals off while key material is in registers (a signal frame would save it
  1-4 KB down the stack, or on the alternate signal stack, where no stack wipe reaches). The pair
  costs what two system calls cost on the kernel and virtual machine underneath, not what the
  library does: $(val "$c64" signal_mask_pair %.0f) ns here, of $(val "$c64" blob_48 %.0f) ns for
  \`decrypt_password_blob\` on 48 bytes (64-bit). Taken away, it would leave the 64-bit
  nativeDecrypt target at about $(awk -v n="$(val "$j64" decrypt_native_48)" -v m="$(val "$c64" signal_mask_pair)" \
    -v f="$(val "$j64" decrypt_fresh_48)" 'BEGIN { if (n == "n/a" || m == "n/a" || f == "n/a") print "n/a"; else printf "%.2f", (n - m) / f }')
  (the mask pair subtracted from the JVM's figure). A run on a machine with cheaper system calls
  (a failing fopen/fclose of 379 ns; here $(val "$c64" fopen_missing %.0f) ns), before the mask,
  met that target at 0.165. The row without the stack
  wipe is the same source compiled into the benchmark's own JNI library with that wipe left out
  (\`ROOTCHECKER_BENCH_WITHOUT_TRACE_WIPE\`, which only the benchmark build sets), measured in
  the same JVM run.
- \`nativeCheckForRoot\` adds, for each path, the four JNI calls of its glue
  (\`GetObjectArrayElement\`, \`GetStringUTFChars\`, \`ReleaseStringUTFChars\`, \`DeleteLocalRef\`)
  to the open/close itself. A failing open is the cheapest (every default path is absent on a
  desktop), so that is where the glue weighs most, and JNI calls cost more on the 32-bit JVM.
  The glue costs about the same everywhere, a failing open does not: it is a system call, whose
  price depends on the kernel and the virtual machine underneath. Where it is cheap, the ratio
  rises: on an Intel Xeon VM whose failing fopen/fclose took about 450 ns, the 32-bit JVM's
  ratio was 1.27 in a run of 2026-12-10.

## How to reproduce

    bash scripts/bench.sh          # builds build/bench-*, runs everything, rewrites this page (about 3 minutes)
    bash scripts/bench.sh --quick  # the same with fewer repetitions
    build/bench-clang-64/bench/rootchecker_bench --benchmark_filter=CBC   # one C++ benchmark by hand

Raw output: \`build/bench-results/\`. Run it on a quiet machine: check \`uptime\` first.
EOF
} >"$md"

# The plot's figures, kept beside it so that it can be redrawn: three data
# sets (two blank lines apart) for gnuplot's index 0, 1 and 2.
dat="$docs/performance.dat"
{
  echo "# The figures behind performance.png, ns per call (per path in the last set)."
  echo "# Written by bench/make_report.sh; 'bench/make_report.sh --redraw docs' redraws the plot."
  echo "# machine: $cpu"
  for bits in 64 32; do
    j="$results/jvm-$bits.tsv"
    if [ "$bits" = 32 ]; then printf '\n\n'; fi
    echo "# $bits-bit JVM: blob size, nativeDecrypt, javax.crypto fresh Cipher, javax.crypto reused Cipher"
    for s in 48 1024; do
      echo "$s $(val "$j" decrypt_native_$s %.1f) $(val "$j" decrypt_fresh_$s %.1f) $(val "$j" decrypt_reused_$s %.1f)"
    done
  done
  printf '\n\n'
  echo "# per path, default list: 64-bit JVM, 32-bit JVM"
  path_row() {  # KEY LABEL
    printf '"%s" %s %s\n' "$2" "$(val "$j64" "$1" %.1f)" "$(val "$j32" "$1" %.1f)"
  }
  path_row path_native "nativeCheckForRoot"
  path_row path_fopen "bare fopen/fclose (C)"
  path_row path_fis "FileInputStream"
  path_row path_canread "File.canRead"
  path_row path_isreadable "Files.isReadable"
} >"$dat"
draw_plot "$dat" "$png"
