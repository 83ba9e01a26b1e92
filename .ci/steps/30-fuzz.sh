#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets of fuzz/ with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs each enabled one for a bounded time, starting from its seed
# corpus. The seeds are copied to a scratch folder first, so a run never changes the repository.
set -euo pipefail
cd "$(dirname "$0")/../.."

# Targets whose operation the engine has.
enabled=(
  numeric_argument
  hex_dump
  diff
)
# Targets still waiting for their operation: compiled against its header, not linked or run.
# Move each to the list above once its operation is in.
waiting=(
  format_detect   # detectFormat
  hex_pattern     # parseHexPattern
  string_extract  # extractStrings
  search_replace  # searchAndReplace
  diff_patch      # applyPatches
  pattern_search  # findPatternOffsets
  entropy         # computeEntropy, analyzeFile
)
seconds=${TESSALOOM_FUZZ_SECONDS:-30}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

probe='extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }'
if ! echo "$probe" | clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o "$work/probe" \
    >/dev/null 2>&1; then
  echo "Installing clang and its libFuzzer"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends clang libclang-rt-dev
fi

targets=()
for name in "${enabled[@]}"; do targets+=("fuzz_$name"); done
for name in "${waiting[@]}"; do targets+=("fuzz_${name}_objects"); done
cmake --preset fuzz
cmake --build --preset fuzz --target "${targets[@]}"

export TMPDIR="$work"  # the targets' scratch files
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=()
for name in "${enabled[@]}"; do
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
echo "Waiting for their operation: ${waiting[*]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "Fuzzing found faults in: ${failed[*]}"
  exit 1
fi
