#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets of fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each of them for a bounded time, starting from its seed
# corpus. The seeds are copied to a scratch folder first, so a run never changes the repository.
set -euo pipefail
cd "$(dirname "$0")/../.."

# One target per engine operation.
targets=(
  numeric_argument
  hex_dump
  format_detect
  entropy
  diff
  string_extract
  hex_pattern
  search_replace
  pattern_search
  diff_patch
  patch_list
  struct_pe
  struct_elf
  struct_zip
  struct_png
  scan
  payload
  members
)
seconds=${TESSALOOM_FUZZ_SECONDS:-30}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$work/probe" \
    >/dev/null 2>&1; then
  source .ci/install-missing.sh
  install_missing clang libclang-rt-dev
fi

cmake --preset fuzz
cmake --build --preset fuzz

export TMPDIR="$work"  # the targets' scratch files
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=()
for name in "${targets[@]}"; do
  corpus="$work/corpus/$name"
  artifacts="$work/artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  cp fuzz/corpus/"$name"/* "$corpus"/
  log="$work/$name.log"
  if build/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz_$name: $runs executions in $seconds s, nothing found"
  else
    echo "fuzz_$name: FAILED"
    tail -n 40 "$log"
    for input in "$artifacts"/*; do
      [ -e "$input" ] || continue
      echo "--- input that failed: ${input##*/}"
      od -A x -t x1z "$input" | head -n 20
    done
    failed+=("$name")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing found faults in: ${failed[*]}"
  exit 1
fi
