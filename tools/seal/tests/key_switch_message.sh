#!/usr/bin/env bash
# Switching an existing build folder from ROOTCHECKER_KEY_FILE to
# ROOTCHECKER_KEY (and back) stops with a message that names the setting left
# in the cache and how to clear it; the advice, followed, configures.
#   key_switch_message.sh CMAKE SOURCE_DIR WORKDIR
set -uo pipefail
cmake=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work" || exit 1
build=$work/build
key=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
printf '%s\n' "$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')" >"$work/app.key"
# The library alone: the fewest packages, the quickest configure.
base=(-DROOTCHECKER_BUILD_TESTS=OFF -DROOTCHECKER_BUILD_TOOLS=OFF)
failures=0

# configure WANT NAME ARGS...: runs a configure; WANT is ok or fail.
configure() {
  local want=$1 name=$2; shift 2
  "$cmake" "$@" >"$work/out" 2>&1
  local status=$?
  if { [ "$want" = ok ] && [ $status -ne 0 ]; } || { [ "$want" = fail ] && [ $status -eq 0 ]; }; then
    echo "FAIL: $name: configure exits $status, want $want:"; cat "$work/out"
    failures=$((failures + 1)); return 1
  fi
  echo "ok: $name: configure exits $status"
}

# says NAME TEXT...: the last configure's output holds every TEXT (its lines
# joined, as CMake wraps a message).
says() {
  local name=$1 text; shift
  local out; out=$(tr -s ' \n' ' ' <"$work/out")
  for text in "$@"; do
    if [[ "$out" != *"$text"* ]]; then
      echo "FAIL: $name: no \"$text\" in:"; cat "$work/out"
      failures=$((failures + 1)); return 1
    fi
  done
  if grep -q "$key" "$work/out"; then
    echo "FAIL: $name: the key is printed"; failures=$((failures + 1)); return 1
  fi
  echo "ok: $name: the message says it"
}

configure ok "a key file" -S "$source" -B "$build" "${base[@]}" -DROOTCHECKER_KEY_FILE="$work/app.key"
configure fail "then ROOTCHECKER_KEY" -S "$source" -B "$build" -DROOTCHECKER_KEY="$key" &&
  says "then ROOTCHECKER_KEY" "ROOTCHECKER_KEY_FILE is in this build folder's cache" \
    "To use ROOTCHECKER_KEY now, clear ROOTCHECKER_KEY_FILE: cmake -UROOTCHECKER_KEY_FILE" "--fresh"
configure ok "-UROOTCHECKER_KEY_FILE, as the message says" -UROOTCHECKER_KEY_FILE -DROOTCHECKER_KEY="$key" "$build" &&
  { [ "$(cat "$build/app_key.hex")" = "$key" ] || { echo "FAIL: the build's key is not ROOTCHECKER_KEY"; failures=$((failures + 1)); }; }
configure fail "back to the key file" -S "$source" -B "$build" -DROOTCHECKER_KEY_FILE="$work/app.key" &&
  says "back to the key file" "ROOTCHECKER_KEY is in this build folder's cache" \
    "clear ROOTCHECKER_KEY: cmake -UROOTCHECKER_KEY "
configure fail "both at once in a new folder" -S "$source" -B "$work/both" "${base[@]}" \
    -DROOTCHECKER_KEY="$key" -DROOTCHECKER_KEY_FILE="$work/app.key" &&
  says "both at once in a new folder" "Both ROOTCHECKER_KEY and ROOTCHECKER_KEY_FILE are set (on the command line" \
    "-UROOTCHECKER_KEY or -UROOTCHECKER_KEY_FILE"
# --fresh came with CMake 3.24.
if "$cmake" --help 2>/dev/null | grep -q -- '--fresh'; then
  configure ok "--fresh, as the message says" --fresh -S "$source" -B "$build" "${base[@]}" \
      -DROOTCHECKER_KEY_FILE="$work/app.key" &&
    { cmp -s "$build/app_key.hex" "$work/app.key" || { echo "FAIL: --fresh: the build's key is not the key file's"; failures=$((failures + 1)); }; }
fi
rm -rf "$work"
[ $failures -eq 0 ]
