#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (plus ASan/UBSan) and runs
# each for a bounded time (FUZZ_SECONDS, default 30). Skipped when clang is
# missing. Exit status non-zero when a target finds a crash or leak. The
# random seed is fixed (FUZZ_SEED, default 1) so that a CI run is repeatable:
# the same code explores the same inputs; set FUZZ_SEED=0 for a fresh seed.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
secs="${FUZZ_SECONDS:-30}"
seed="${FUZZ_SEED:-1}"
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not installed, skipped"
  exit 0
fi
dir=build-fuzz
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNUV_FUZZ=ON -DNUV_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null || exit 1
targets="$(grep -v '^$' "$dir/fuzz_targets.txt" 2>/dev/null)"
if [[ -z "$targets" ]]; then
  echo "fuzz: no targets"
  exit 0
fi
if ! cmake --build "$dir" -j"$(nproc)" --target fuzz_all >"$dir/build.log" 2>&1; then
  grep -E -A3 'error' "$dir/build.log" | head -n 40
  exit 1
fi
status=0
for t in $targets; do
  mkdir -p "$dir/corpus/$t"
  if "$dir/$(find "$dir" -name "$t" -type f -perm -u+x -printf '%P\n' | head -n1)" \
      -max_total_time="$secs" -seed="$seed" -print_final_stats=0 "$dir/corpus/$t" >"$dir/$t.log" 2>&1; then
    echo "fuzz: $t ran ${secs}s, $(grep -c . "$dir/$t.log") log lines, no crash"
  else
    echo "fuzz: $t FAILED"; tail -n 30 "$dir/$t.log"; status=1
  fi
done
exit $status
