#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under AddressSanitizer+UndefinedBehaviorSanitizer
# (in build-fuzz) and runs each for a bounded time on a copy of its seed corpus.
#
#   scripts/run-fuzz.sh [SECONDS] [TARGET...]     default: 60 s each, every target
#
# Environment: BUILD_DIR (default build-fuzz), FUZZ_JOBS (libFuzzer -fork workers per
# target; unset: one process). Exits non-zero when a target crashes, leaks, exceeds its memory limits or
# fails a check; the reproducer is left in $BUILD_DIR/fuzz/artifacts/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=${1:-60}
shift || true
BUILD_DIR=${BUILD_DIR:-build-fuzz}

export QUODEM_EXTRA_PACKAGES="${QUODEM_EXTRA_PACKAGES:-} clang libclang-rt-14-dev"
bash scripts/ensure-deps.sh

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DQUODEM_FUZZ=ON -DQUODEM_SANITIZE=address \
  -DQUODEM_BUILD_TESTS=OFF -DQUODEM_WERROR=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for src in fuzz/*_fuzz.cpp; do targets+=("$(basename "$src" .cpp)"); done
fi
cmake --build "$BUILD_DIR" -j "$(nproc 2>/dev/null || echo 2)" --target "${targets[@]}"

# Leaks are checked by ASan at exit of each input's process only in -runs mode; threads of
# the library outlive single inputs by design, so leak detection stays off here.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
for target in "${targets[@]}"; do
  work="$BUILD_DIR/fuzz/corpus-run/$target"
  artifacts="$BUILD_DIR/fuzz/artifacts/$target/"
  mkdir -p "$work" "$artifacts"
  cp -n fuzz/corpus/"$target"/* "$work"/ 2>/dev/null || true
  echo "=== $target: ${SECONDS_EACH}s"
  if ! "$BUILD_DIR/fuzz/$target" "$work" -max_total_time="$SECONDS_EACH" \
      -rss_limit_mb=512 -malloc_limit_mb=64 -timeout=30 -max_len=8192 \
      ${FUZZ_JOBS:+-fork="$FUZZ_JOBS"} \
      -artifact_prefix="$artifacts" -print_final_stats=1 2>"$BUILD_DIR/fuzz/$target.log"; then
    echo "FAILED: $target (log: $BUILD_DIR/fuzz/$target.log, reproducer in $artifacts)" >&2
    tail -n 40 "$BUILD_DIR/fuzz/$target.log" >&2
    status=1
  else
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$BUILD_DIR/fuzz/$target.log" || true
  fi
done
exit $status
