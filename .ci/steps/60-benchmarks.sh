#!/usr/bin/env bash
# Benchmarks, a smoke run only: builds the bench preset, checks that the corpus generator gives
# the same bytes on every run and a copy that differs in one byte of every 4096, runs each
# microbenchmark briefly, and runs the comparison script on a 1 MiB corpus, a 1 GiB sparse
# image (it takes no disk) and small files for --struct, with the build itself as BEFORE so the
# before-and-after table is drawn too. No figure is judged: the verdicts on files this small say
# nothing, and timings on a shared CI machine mean little; bench/compare.sh on a quiet machine
# measures.
set -euo pipefail
cd "$(dirname "$0")/../.."

source .ci/install-missing.sh
missing=()
[ -f /usr/include/benchmark/benchmark.h ] || missing+=(libbenchmark-dev)
install_missing "${missing[@]}"

fail() {
  echo "benchmark smoke run FAILED: $*" >&2
  exit 1
}

cmake --workflow --preset bench

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
corpus=build/bench/tessaloom_corpus
"$corpus" 1 "$dir/a.bin" "$dir/b.bin"
"$corpus" 1 "$dir/a2.bin" "$dir/b2.bin"
cmp -s "$dir/a.bin" "$dir/a2.bin" && cmp -s "$dir/b.bin" "$dir/b2.bin" || fail "corpus differs between runs"
[ "$(stat -c %s "$dir/a.bin")" -eq 1048576 ] || fail "corpus is not 1 MiB"
differences=$(cmp -l "$dir/a.bin" "$dir/b.bin" | wc -l || true)
[ "$differences" -eq 256 ] || fail "$differences differences, not one in every 4096 bytes"

build/bench/tessaloom_benchmarks --benchmark_min_time=0.001

# The --struct rows on small files: the program itself, and a small Wine DLL where there is one.
RUNS=1 SLOW_RUNS=1 SCALE_RUNS=1 SCALE_SIZES="1 2" SPARSE_GIB=1 BEFORE=build/bench/tessaloom \
  STRUCT_ELF=build/bench/tessaloom \
  STRUCT_PE=$(ls /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/version.dll 2>/dev/null || true) \
  bench/compare.sh 1
echo "Benchmark smoke run passed."
