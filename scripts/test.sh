#!/usr/bin/env bash
# Builds and tests everything: installs dependencies, builds the normal and the
# sanitizer (ASan + UBSan) configurations, runs all tests in both, then runs
# the fuzz targets for a bounded time. Prints CTest's summary of each run.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
jobs="$(nproc)"

bash scripts/install-deps.sh || exit 1

status=0
passed=0
failed=0
run_config() {
  local dir="$1"; shift
  echo "== build $dir"
  cmake -S . -B "$dir" "$@" >/dev/null || return 1
  if ! cmake --build "$dir" -j"$jobs" >"$dir/build.log" 2>&1; then
    grep -E -A3 'error' "$dir/build.log" | head -n 60
    echo "build of $dir failed (full log: $dir/build.log)"
    return 1
  fi
  grep -E 'warning:' "$dir/build.log" | sort -u | head -n 20
  echo "== test $dir"
  local out
  out="$(cd "$dir" && ctest -j"$jobs" --output-on-failure 2>&1)"
  local rc=$?
  echo "$out" | grep -E -v '^ *(Start|[0-9]+/[0-9]+ Test) ' | tail -n 40
  local line
  line="$(echo "$out" | grep -E 'tests passed, [0-9]+ tests failed out of')"
  if [[ "$line" =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
    failed=$((failed + BASH_REMATCH[1]))
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
  fi
  return $rc
}

# The Debian package: one more build (the shipped programs only, no tests),
# lintian, then the package tests install it in a throwaway root and run it
# against the normal build's simulators.
run_package() {
  echo "== package"
  local rc=0
  bash scripts/build-deb.sh || rc=$?
  if ((rc == 77)); then
    echo "package: skipped (the package build tools cannot be installed here)"
    return 0
  fi
  if ((rc != 0)); then
    failed=$((failed + 1))
    return 1
  fi
  passed=$((passed + 1))
  local deb out
  deb="$(ls dist/nuv4ondeko_*.deb)"
  out="$(NUV_DEB="$root/$deb" build/service/e2e/e2e_package_tests 2>&1)"
  rc=$?
  # The outcome of each test and its figures; a failure with what follows it.
  echo "$out" | awk '/^\[ *(OK|FAILED|SKIPPED|PASSED) *\]|^\[package\]/ { print; next }
                     /Failure/ { n = 6 } n > 0 { print; n-- }' | head -n 80
  local n
  n="$(echo "$out" | grep -E -c '^\[       OK \]')"
  passed=$((passed + n))
  n="$(echo "$out" | grep -E -c '^\[  FAILED  \] [A-Za-z]+\.[A-Za-z]+ \(')"
  failed=$((failed + n))
  return $rc
}

if run_config build -DCMAKE_BUILD_TYPE=RelWithDebInfo; then
  run_package || status=1
else
  status=1
fi
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_config build-asan -DCMAKE_BUILD_TYPE=Debug -DNUV_SANITIZE=ON || status=1

if [[ -x scripts/fuzz.sh ]]; then
  bash scripts/fuzz.sh || status=1
fi

echo "${passed} passed, ${failed} failed"
exit $status
