#!/usr/bin/env bash
# Times each tessaloom command against the established tools that do the same job, on the same
# generated files in one run: the median wall time of several runs (hyperfine) and the peak memory
# (GNU time's maximum resident set size) of each, their ratios, and whether each target is met.
# Then each command on 16, 64 and 256 MiB, to show that its time grows in line with the file size
# while its memory stays the same.
#
#   bench/compare.sh [SIZE_MIB]
#
# SIZE_MIB (default 192) is the size of the compared files. Environment:
#   RUNS=5        timed runs of each command, after one warm-up run
#   SLOW_RUNS=3   timed runs of the slow dumpers (hexdump -C, od), with no warm-up
#   SCALE_RUNS=3  timed runs of each command in the scaling part
#   SCALE_SIZES="16 64 256"  file sizes of the scaling part, in MiB; empty skips it
#   TESSALOOM=... the program to time (default: build/bench/tessaloom, built here)
#   BEFORE=...    an older build of it: every tessaloom command of the comparison is timed with it
#                 too, on the same files and as many runs, and a table sets before beside after
#   SPARSE_GIB=6  size of the sparse image whose last pages the window dump shows, in GiB
#   DELTA_MIB=1024  size of the two versions that --delta aligns (default: SIZE_MIB below 192)
#   BSDIFF_MIB=64   size of the pair that bsdiff, for the record, is timed on
#   CORPUS_ROOT=/tmp  where the folder of generated files is made; it is removed at the end
#   STRUCT_ELF=...  the ELF file of the --struct rows (default: the largest ELF library on the
#                   machine); STRUCT_PE=... the PE file (default: Wine's largest DLL); an empty
#                   value leaves its rows out
#
# The floors are what reading and writing the file cost at least: a plain read (cat F >/dev/null)
# for the commands that read, a plain copy (cp F O) for --replace, which writes a new file.
#
# --find looks for a pattern that seldom occurs (DE AD BE EF, and with a wildcard byte), as grep
# -P does, and for one that starts with zero bytes in Z, an image of zeros as large as F, where a
# search that tried every byte would crawl. --map is timed against --entropy, ent and binwalk -E,
# which read the same bytes. --scan is timed against cat and binwalk's signature scan of F, and
# --scan --deep on D (parts of F packed by gzip, xz and zstd) against those tools' own unpacking.
#
# --struct reads the headers, then the bytes of the sections once for their entropies: on the
# largest ELF library and a large PE it is timed against --entropy, which reads every byte once,
# beside readelf -h -l -S -d (which reads no section's bytes) and a full parse by pefile.
#
# A dump of a 64-byte window near the end of a large sparse image (made with truncate, so it
# takes no disk) shows whether --dump seeks to the window, as xxd -s does, or reads up to it.
#
# Every command's standard output goes to a pipe that hyperfine drains, as a user's `| less`
# would read it, except where a row says >/dev/null; the whole dump is timed both ways. --replace
# and its peers write their output file next to the input; it is removed before each run, so
# every tool writes a new file.
set -euo pipefail
# Paths given in the environment are the caller's, relative to the caller's folder.
before=$([ -z "${BEFORE:-}" ] || realpath -m "$BEFORE")
tessaloom=$([ -z "${TESSALOOM:-}" ] || realpath -m "$TESSALOOM")
corpus_root=$(realpath -m "${CORPUS_ROOT:-/tmp}")
cd "$(dirname "$0")/.."

size=${1:-192}
runs=${RUNS:-5}
slow_runs=${SLOW_RUNS:-3}
scale_runs=${SCALE_RUNS:-3}
scale_sizes=${SCALE_SIZES-16 64 256}
sparse_gib=${SPARSE_GIB:-6}
delta_mib=${DELTA_MIB:-$((size >= 192 ? 1024 : size))}
bsdiff_mib=${BSDIFF_MIB:-$((delta_mib < 64 ? delta_mib : 64))}
memory_bound=16  # MiB that each tessaloom command may hold at its peak
if ! [[ $sparse_gib =~ ^[1-9][0-9]*$ ]]; then
  echo "compare.sh: SPARSE_GIB is a whole number of GiB, 1 or more, not '$sparse_gib'" >&2
  exit 1
fi
if [ -n "$before" ] && { ! [ -f "$before" ] || ! [ -x "$before" ]; }; then
  echo "compare.sh: BEFORE=$BEFORE is not a program that can be run" >&2
  exit 1
fi

# --- Tools: installed from Debian's packages when missing ------------------------------------
missing=()
command -v hyperfine >/dev/null || missing+=(hyperfine)
command -v ent >/dev/null || missing+=(ent)
command -v bbe >/dev/null || missing+=(bbe)
command -v xxd >/dev/null || missing+=(xxd)
command -v binwalk >/dev/null || missing+=(binwalk)
command -v xdelta3 >/dev/null || missing+=(xdelta3)
command -v bsdiff >/dev/null || missing+=(bsdiff)
command -v hexdump >/dev/null || missing+=(bsdextrautils)
command -v strings >/dev/null || missing+=(binutils)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "compare.sh needs: apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing: ${missing[*]}" >&2
  apt-get update >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2
fi

# The build's own compiler and libraries, when the machine lacks them.
.ci/install-deps.sh >&2
cmake --workflow --preset bench >/dev/null
tessaloom=${tessaloom:-$PWD/build/bench/tessaloom}
if ! [ -f "$tessaloom" ] || ! [ -x "$tessaloom" ]; then
  echo "compare.sh: $tessaloom is not a program that can be run" >&2
  exit 1
fi
make_corpus=$PWD/build/bench/tessaloom_corpus
read_whole=$PWD/build/bench/tessaloom_read_whole

dir=$(mktemp -d "$corpus_root/tessaloom-bench.XXXXXX")
trap 'rm -rf "$dir"' EXIT

declare -A seconds mebibytes

# measure KEY RUNS WARMUP COMMAND [PREPARE]: the median seconds and the peak MiB of COMMAND.
measure() {
  local key=$1 runs=$2 warmup=$3 command=$4 prepare=${5:-true}
  local memory=$dir/$key.mem csv=$dir/$key.csv
  : >"$memory"
  echo "  timing: $command" >&2
  hyperfine --style none --ignore-failure --output pipe --runs "$runs" --warmup "$warmup" \
    --prepare "$prepare" --export-csv "$csv" \
    "/usr/bin/time -f %M -a -o $memory $command" >/dev/null
  # hyperfine's columns end with: mean, stddev, median, user, system, min, max.
  seconds[$key]=$(tail -n 1 "$csv" | awk -F, '{ print $(NF - 4) }')
  # GNU time notes a non-zero exit status (cmp's 1) on a line of its own; only numbers count.
  mebibytes[$key]=$(grep -E '^[0-9]+$' "$memory" | sort -n | tail -n 1 |
    awk '{ printf "%.1f", $1 / 1024 }')
}

# ratio A B: A ÷ B to two decimals; "-" when B is too short to divide by.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
# pad TEXT WIDTH: TEXT and spaces up to WIDTH characters (printf counts the bytes of a ÷).
pad() {
  local chars
  chars=$(printf %s "$1" | LC_ALL=C tr -d '\200-\277' | wc -c)
  printf '%s%*s' "$1" $(($2 > chars ? $2 - chars : 0)) ''
}
secs() { awk -v s="$1" 'BEGIN { printf "%.3f", s }'; }

# ours_and_before KEY ARGUMENTS [PREPARE]: tessaloom ARGUMENTS, then the BEFORE build likewise (key
# before_KEY), so both read the same files in the same state.
ours_and_before() {
  measure "$1" "$runs" 1 "$tessaloom $2" "${3:-true}"
  [ -z "$before" ] || measure "before_$1" "$runs" 1 "$before $2" "${3:-true}"
}

# make_files MIB PREFIX: the corpus and its copy with one byte in every 4096 changed.
make_files() { "$make_corpus" "$1" "$2.bin" "$2-changed.bin"; }

# --- The comparison ----------------------------------------------------------------------------
echo "Generating the ${size} MiB corpus in $dir" >&2
make_files "$size" "$dir/corpus"
F=$dir/corpus.bin
G=$dir/corpus-changed.bin
O=$dir/corpus-out.bin

# Each command is timed next to its peers, in the order of the table.
measure cat "$runs" 1 "cat $F >/dev/null"
measure cp "$runs" 1 "cp $F $O" "rm -f $O"
measure whole "$runs" 1 "$read_whole $F"
ours_and_before window "--dump $F 0 16"
ours_and_before dump "--dump $F 0 -1"
measure xxd "$runs" 1 "xxd $F"
measure hexdump "$slow_runs" 0 "hexdump -C $F"
measure od "$slow_runs" 0 "od -A x -t x1z $F"
ours_and_before dump_null "--dump $F 0 -1 >/dev/null"
measure xxd_null "$runs" 1 "xxd $F >/dev/null"
ours_and_before entropy "--entropy $F"
measure ent "$runs" 1 "ent $F"
ours_and_before strings "--strings $F"
measure gnu_strings "$runs" 1 "strings -a -n 4 -t x $F"
ours_and_before diff "--diff $F $G"
measure cmp "$runs" 1 "cmp -l $F $G"
ours_and_before replace "--replace $F 4141 7a7a $O" "rm -f $O"
measure sed "$runs" 1 "sed s/AA/zz/g $F >$O" "rm -f $O"
measure bbe "$runs" 1 "bbe -e s/AA/zz/ -o $O $F" "rm -f $O"
measure find "$runs" 1 "$tessaloom --find $F de:ad:be:ef"
measure grep "$runs" 1 "env LC_ALL=C grep -c -obUaP '\\xde\\xad\\xbe\\xef' $F"
measure find_wild "$runs" 1 "$tessaloom --find $F 'de ?? be ef'"
measure grep_wild "$runs" 1 "env LC_ALL=C grep -c -obUaP '\\xde[\\x00-\\xff]\\xbe\\xef' $F"
Z=$dir/zeros.img
truncate -s "${size}M" "$Z"
measure cat_zero "$runs" 1 "cat $Z >/dev/null"
measure find_zero "$runs" 1 "$tessaloom --find $Z 00000000deadbeef"
rm -f "$Z"
measure map "$runs" 1 "$tessaloom --map $F"
measure binwalk "$slow_runs" 0 "binwalk -E --nplot $F"
measure scan "$runs" 1 "$tessaloom --scan $F"
measure binwalk_scan "$slow_runs" 0 "binwalk $F"

# The deep scan: D holds a part of F compressed by gzip, xz and zstd, between random bytes, so that
# --scan --deep decodes each part and scans what comes out. It is timed against the decompressors
# themselves on the same parts, and once with D through a pipe.
part_mib=$((size / 8 > 32 ? 32 : (size / 8 > 0 ? size / 8 : 1)))
head -c "${part_mib}M" "$F" >"$dir/part.bin"
gzip -c -6 "$dir/part.bin" >"$dir/part.gz"
xz -c -1 -T1 "$dir/part.bin" >"$dir/part.xz"
zstd -q -c -3 "$dir/part.bin" >"$dir/part.zst"
D=$dir/deep.bin
for part in gz xz zst; do
  head -c 65537 /dev/urandom
  cat "$dir/part.$part"
done >"$D"
rm -f "$dir/part.bin"
measure deep "$runs" 1 "$tessaloom --scan $D --deep"
measure unpack "$runs" 1 "sh -c 'gzip -dc $dir/part.gz >/dev/null; xz -dc -T1 $dir/part.xz >/dev/null; zstd -q -dc $dir/part.zst >/dev/null'"
measure deep_pipe "$runs" 1 "sh -c 'cat $D | $tessaloom --scan /dev/stdin --deep'"

# Two versions of a mixed image, 1,000 bytes changed, 20 insertions, 20 deletions and 5 moved
# blocks apart: --delta against reading both, against xdelta3 -e, and bsdiff on a smaller pair
# for the record (it needs about 17 times the old file's size in memory).
echo "Generating the ${delta_mib} MiB pair for --delta" >&2
DA=$dir/delta-a.bin DB=$dir/delta-b.bin
python3 bench/make_delta_pair.py "$delta_mib" "$DA" "$DB"
measure cat_delta "$runs" 1 "cat $DA $DB >/dev/null"
measure delta "$runs" 1 "$tessaloom --delta $DA $DB"
measure xdelta "$slow_runs" 0 "xdelta3 -e -f -s $DA $DB $dir/delta.vcdiff"
rm -f "$DA" "$DB" "$dir/delta.vcdiff"
python3 bench/make_delta_pair.py "$bsdiff_mib" "$DA" "$DB"
measure delta_small "$runs" 1 "$tessaloom --delta $DA $DB"
measure bsdiff 1 0 "bsdiff $DA $DB $dir/delta.bsdiff"
rm -f "$DA" "$DB" "$dir/delta.bsdiff"

# The sparse image: its size with no blocks written, then a line of known bytes 4096 before the
# end, so the window has something to show.
S=$dir/sparse.img
sparse_bytes=$((sparse_gib * 1024 * 1024 * 1024))
sparse_offset=$(printf '0x%X' $((sparse_bytes - 4096)))
truncate -s "$sparse_bytes" "$S"
printf 'tessaloom: bytes near the end of a sparse image' |
  dd of="$S" bs=1 seek=$((sparse_bytes - 4096)) conv=notrunc status=none
ours_and_before sparse "--dump $S $sparse_offset 64"
measure xxd_sparse "$runs" 1 "xxd -s $sparse_offset -l 64 $S"
measure scan_sparse 1 0 "$tessaloom --scan $S --deep"
rm -f "$S"

# The files of the --struct rows: the largest ELF library on the machine, Wine's largest DLL.
largest_elf() {
  local file
  while read -r _ file; do
    if [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
      echo "$file"
      return
    fi
  done < <(find /usr /opt -xdev -type f -name '*.so*' -size +1M -printf '%s %p\n' 2>/dev/null |
    sort -rn)
}
largest_pe() {
  local files=(/usr/lib/x86_64-linux-gnu/wine/*-windows/*.dll)
  [ -e "${files[0]}" ] || return 0
  ls -S "${files[@]}" | sed -n 1p
}
struct_elf=${STRUCT_ELF-$(largest_elf)}
struct_pe=${STRUCT_PE-$(largest_pe)}
struct_rows=()
if [ -n "$struct_elf" ]; then
  measure entropy_elf "$runs" 1 "$tessaloom --entropy $struct_elf"
  measure struct_elf "$runs" 1 "$tessaloom --struct $struct_elf"
  measure readelf "$runs" 1 "readelf -h -l -S -d $struct_elf"
  struct_rows+=(elf)
fi
if [ -n "$struct_pe" ]; then
  measure entropy_pe "$runs" 1 "$tessaloom --entropy $struct_pe"
  measure struct_pe "$runs" 1 "$tessaloom --struct $struct_pe"
  if /usr/bin/python3 -c 'import pefile' 2>/dev/null; then
    measure pefile "$slow_runs" 0 "/usr/bin/python3 -c 'import pefile,sys; pefile.PE(sys.argv[1])' $struct_pe"
  fi
  struct_rows+=(pe)
fi

row() {  # row LABEL KEY [FLOOR_RATIO] [PEER_RATIO]
  printf '| %-42s | %8s | %8s | %8s | %11s |\n' "$1" "$(secs "${seconds[$2]}")" "${mebibytes[$2]}" \
    "${3:-}" "${4:-}"
}
# ours LABEL KEY FLOOR: a tessaloom row and its time over the floor's (cat or cp).
ours() { row "tessaloom $1" "$2" "$(ratio "${seconds[$2]}" "${seconds[$3]}")"; }
peer() { row "  $1" "$2" "" "$(ratio "${seconds[$2]}" "${seconds[$3]}")x"; }

echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | xargs)" \
  "(family $(grep -m1 'cpu family' /proc/cpuinfo | cut -d: -f2 | xargs)," \
  "model $(grep -m1 '^model[[:space:]]*:' /proc/cpuinfo | cut -d: -f2 | xargs))," \
  "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) RAM, Linux $(uname -r)"
echo "Files: ${size} MiB in $(df -T "$dir" | awk 'NR == 2 { print $2 " (" $1 ")" }'), page cache warm," \
  "and S, a ${sparse_gib} GiB sparse image; median of $runs runs ($slow_runs for hexdump -C and od)"
echo "Output: to a pipe unless >/dev/null is shown; replace, sed, bbe, cp: a new file next to the input"
echo "grep: LC_ALL=C; binwalk: median of $slow_runs runs, no warm-up"
echo
echo "| Command                                    | median s | peak MiB |  ÷ floor | peer ÷ ours |"
echo "|--------------------------------------------|---------:|---------:|---------:|------------:|"
row "cat F >/dev/null (floor: plain read)" cat 1.00
row "cp F O (floor: plain copy)" cp 1.00
row "one read into a new buffer (reference)" whole "$(ratio "${seconds[whole]}" "${seconds[cat]}")"
ours "--dump F 0 16, a window" window cat
ours "--dump F 0 -1" dump cat
peer "xxd F" xxd dump
peer "hexdump -C F" hexdump dump
peer "od -A x -t x1z F" od dump
ours "--dump F 0 -1 >/dev/null" dump_null cat
peer "xxd F >/dev/null" xxd_null dump_null
ours "--entropy F" entropy cat
peer "ent F" ent entropy
ours "--strings F" strings cat
peer "strings -a -n 4 -t x F" gnu_strings strings
ours "--diff F G" diff cat
peer "cmp -l F G" cmp diff
ours "--replace F 4141 7a7a O" replace cp
peer "sed s/AA/zz/g F >O" sed replace
peer "bbe -e s/AA/zz/ -o O F" bbe replace
ours "--find F de:ad:be:ef" find cat
peer "grep -c -obUaP '\\xde\\xad\\xbe\\xef' F" grep find
ours "--find F 'de ?? be ef'" find_wild cat
peer "grep -P, [\\x00-\\xff] for ??" grep_wild find_wild
row "cat Z >/dev/null (Z: zeros, as large as F)" cat_zero 1.00
ours "--find Z 00000000deadbeef" find_zero cat_zero
ours "--map F" map cat
peer "--entropy F" entropy map
peer "ent F" ent map
peer "binwalk -E --nplot F" binwalk map
ours "--scan F" scan cat
peer "binwalk F (its signature scan)" binwalk_scan scan
row "gzip, xz, zstd -dc of D's parts (floor)" unpack 1.00
row "tessaloom --scan D --deep" deep "$(ratio "${seconds[deep]}" "${seconds[unpack]}")"
row "cat D | tessaloom --scan /dev/stdin --deep" deep_pipe "$(ratio "${seconds[deep_pipe]}" "${seconds[unpack]}")"
row "cat DA DB >/dev/null (${delta_mib} MiB each)" cat_delta 1.00
ours "--delta DA DB" delta cat_delta
peer "xdelta3 -e -s DA DB" xdelta delta
row "tessaloom --delta, ${bsdiff_mib} MiB pair" delta_small
peer "bsdiff, ${bsdiff_mib} MiB pair (one run)" bsdiff delta_small
row "tessaloom --dump S $sparse_offset 64" sparse
peer "xxd -s $sparse_offset -l 64 S" xxd_sparse sparse
row "tessaloom --scan S --deep (one run)" scan_sparse
if [ ${#struct_rows[@]} -gt 0 ]; then
  # srow LABEL KEY [ENTROPY_RATIO] [PEER_RATIO]
  srow() {
    printf '| %-42s | %8s | %8s | %11s | %11s |\n' "$1" "$(secs "${seconds[$2]}")" \
      "${mebibytes[$2]}" "${3:-}" "${4:-}"
  }
  echo
  echo "| Structure                                  | median s | peak MiB | ÷ --entropy | peer ÷ ours |"
  echo "|--------------------------------------------|---------:|---------:|------------:|------------:|"
  for kind in "${struct_rows[@]}"; do
    file=$([ "$kind" = elf ] && echo "$struct_elf" || echo "$struct_pe")
    bytes=$(stat -L -c %s "$file")
    printf '| %-42s | %8s | %8s | %11s | %11s |\n' "${kind^^}: ${file##*/}, $(
      [ "$bytes" -ge 1048576 ] && echo "$((bytes >> 20)) MiB" || echo "$((bytes >> 10)) KiB")" \
      "" "" "" ""
    srow "tessaloom --entropy" "entropy_$kind" 1.00
    srow "tessaloom --struct" "struct_$kind" "$(ratio "${seconds[struct_$kind]}" "${seconds[entropy_$kind]}")"
    if [ "$kind" = elf ]; then
      srow "  readelf -h -l -S -d" readelf "" "$(ratio "${seconds[readelf]}" "${seconds[struct_elf]}")x"
    elif [ -n "${seconds[pefile]:-}" ]; then
      srow "  pefile.PE(F), a full parse" pefile "" "$(ratio "${seconds[pefile]}" "${seconds[struct_pe]}")x"
    fi
  done
fi
echo
echo "÷ floor: the median over cat's (the commands that read) or cp's (--replace)"
echo "peer ÷ ours: how many times longer the peer took"

if [ -n "$before" ]; then
  echo
  echo "Before and after, on the same files, median of $runs runs each:"
  echo "  before: $before"
  echo "  after:  $tessaloom"
  echo
  echo "| Command                                    | before s | before MiB |  after s | after MiB | speed-up |"
  echo "|--------------------------------------------|---------:|-----------:|---------:|----------:|---------:|"
  for entry in "window:--dump F 0 16" "dump:--dump F 0 -1" "dump_null:--dump F 0 -1 >/dev/null" \
    "entropy:--entropy F" "strings:--strings F" "diff:--diff F G" \
    "replace:--replace F 4141 7a7a O" "sparse:--dump S $sparse_offset 64"; do
    key=${entry%%:*}
    printf '| %-42s | %8s | %10s | %8s | %9s | %8s |\n' "${entry#*:}" \
      "$(secs "${seconds[before_$key]}")" "${mebibytes[before_$key]}" \
      "$(secs "${seconds[$key]}")" "${mebibytes[$key]}" \
      "$(ratio "${seconds[before_$key]}" "${seconds[$key]}")x"
  done
fi

# meets VALUE OPERATOR BOUND: met or MISSED; a value that is no number (a ratio over a time too
# short to measure) misses.
meets() {
  awk -v v="$1" -v op="$2" -v b="$3" 'BEGIN {
    ok = v ~ /^-?[0-9]+([.][0-9]+)?$/ && (op == "<=" ? v + 0 <= b + 0 : v + 0 >= b + 0)
    print ok ? "met" : "MISSED" }'
}
# target LABEL VALUE OPERATOR BOUND [VERDICT [NOTE]]: the value, the bound and the verdict, which
# is VALUE against BOUND unless given.
target() {
  local verdict=${5:-}
  [ -n "$verdict" ] || verdict=$(meets "$2" "$3" "$4")
  printf '  %s %8s   %-2s %-5s %s%s\n' "$(pad "$1" 44)" "$2" "$3" "$4" "$verdict" "${6:+   $6}"
}
echo
echo "Targets: ${size} MiB, to a pipe, medians"
target "xxd F ÷ --dump F 0 -1" "$(ratio "${seconds[xxd]}" "${seconds[dump]}")" ">=" 4
target "ent F ÷ --entropy F" "$(ratio "${seconds[ent]}" "${seconds[entropy]}")" ">=" 12
target "strings -a -n 4 -t x F ÷ --strings F" "$(ratio "${seconds[gnu_strings]}" "${seconds[strings]}")" ">=" 6
target "cmp -l F G ÷ --diff F G" "$(ratio "${seconds[cmp]}" "${seconds[diff]}")" ">=" 2
target "sed s/AA/zz/g F >O ÷ --replace" "$(ratio "${seconds[sed]}" "${seconds[replace]}")" ">=" 3
target "--replace F 4141 7a7a O ÷ cp F O" "$(ratio "${seconds[replace]}" "${seconds[cp]}")" "<=" 2.5
target "--find F de:ad:be:ef ÷ cat F" "$(ratio "${seconds[find]}" "${seconds[cat]}")" "<=" 2
target "grep -P ÷ --find F de:ad:be:ef" "$(ratio "${seconds[grep]}" "${seconds[find]}")" ">=" 3
target "--find F 'de ?? be ef' ÷ cat F" "$(ratio "${seconds[find_wild]}" "${seconds[cat]}")" "<=" 2
target "grep -P ÷ --find F 'de ?? be ef'" "$(ratio "${seconds[grep_wild]}" "${seconds[find_wild]}")" ">=" 3
target "--find Z 00000000deadbeef ÷ cat Z" "$(ratio "${seconds[find_zero]}" "${seconds[cat_zero]}")" "<=" 2
# --map and --entropy count the bytes with one core, so "at least as fast" is a tie that the
# medians of a few runs put a percent or two either side of 1.
map_ratio=$(ratio "${seconds[entropy]}" "${seconds[map]}")
map_verdict=$(meets "$map_ratio" ">=" 1)
[ "$(meets "$map_ratio" ">=" 0.97)" = MISSED ] || map_verdict=met
target "--entropy F ÷ --map F" "$map_ratio" ">=" 1 "$map_verdict" "(0.97 or more is a tie, also met)"
target "--scan F ÷ cat F" "$(ratio "${seconds[scan]}" "${seconds[cat]}")" "<=" 2.5
target "binwalk F ÷ --scan F" "$(ratio "${seconds[binwalk_scan]}" "${seconds[scan]}")" ">=" 20
target "--scan D --deep ÷ decompressors" "$(ratio "${seconds[deep]}" "${seconds[unpack]}")" "<=" 2
target "--delta DA DB ÷ cat DA DB" "$(ratio "${seconds[delta]}" "${seconds[cat_delta]}")" "<=" 8
target "xdelta3 -e ÷ --delta" "$(ratio "${seconds[xdelta]}" "${seconds[delta]}")" ">=" 1
target "--delta DA DB, peak MiB" "${mebibytes[delta]}" "<=" 64
target "--map F, GB/s" "$(awk -v s="${seconds[map]}" -v m="$size" \
  'BEGIN { if (s > 0) printf "%.2f", m * 1048576 / s / 1e9; else print "-" }')" ">=" 1
# Streaming commands hold a few buffers, whatever the size of the file.
for entry in "window:--dump F 0 16" "dump:--dump F 0 -1" "dump_null:--dump F 0 -1 >/dev/null" \
  "entropy:--entropy F" "strings:--strings F" "diff:--diff F G" "replace:--replace F 4141 7a7a O" \
  "find:--find F de:ad:be:ef" "find_zero:--find Z 00000000deadbeef" "map:--map F" \
  "scan:--scan F" "deep:--scan D --deep" "deep_pipe:cat D | --scan /dev/stdin --deep"; do
  target "${entry#*:}, peak MiB" "${mebibytes[${entry%%:*}]}" "<=" "$memory_bound"
done
target "--dump S $sparse_offset 64, peak MiB" "${mebibytes[sparse]}" "<=" "$memory_bound"
target "--scan S --deep, ${sparse_gib} GiB, peak MiB" "${mebibytes[scan_sparse]}" "<=" "$memory_bound"
for kind in "${struct_rows[@]}"; do
  target "--struct ÷ --entropy, ${kind^^}" \
    "$(ratio "${seconds[struct_$kind]}" "${seconds[entropy_$kind]}")" "<=" 1.25
  target "--struct, ${kind^^}, peak MiB" "${mebibytes[struct_$kind]}" "<=" "$memory_bound"
done
if [ -n "${seconds[pefile]:-}" ]; then
  target "pefile.PE(F) ÷ --struct, PE" "$(ratio "${seconds[pefile]}" "${seconds[struct_pe]}")" ">=" 10
fi
# The window costs about what xxd's costs: at most twice its time, or a few milliseconds more,
# which on times this short is the noise of starting a program.
sparse_ratio=$(ratio "${seconds[sparse]}" "${seconds[xxd_sparse]}")
sparse_more=$(awk -v a="${seconds[sparse]}" -v b="${seconds[xxd_sparse]}" \
  'BEGIN { printf "%.1f", 1000 * (a - b) }')
sparse_verdict=$(meets "$sparse_ratio" "<=" 2)
[ "$(meets "$sparse_more" "<=" 5)" = MISSED ] || sparse_verdict=met
target "--dump S window ÷ xxd -s window, ${sparse_gib} GiB" "$sparse_ratio" "<=" 2 "$sparse_verdict" \
  "(ours - xxd: $sparse_more ms; 5 ms or less also meets it)"
rm -f "$dir"/corpus*.bin

# --- Scaling -----------------------------------------------------------------------------------
[ -n "$scale_sizes" ] || exit 0
# The rows: KEY:LABEL, the floors first.
scaled=("cat:cat F >/dev/null" "cp:cp F O" "window:--dump F 0 16" "dump:--dump F 0 -1"
  "entropy:--entropy F" "strings:--strings F" "diff:--diff F G" "replace:--replace F 4141 7a7a O"
  "find:--find F de:ad:be:ef" "map:--map F")
for mib in $scale_sizes; do
  if [ "$mib" = "$size" ]; then
    for entry in "${scaled[@]}"; do
      key=${entry%%:*}
      seconds[$key@$mib]=${seconds[$key]}
      mebibytes[$key@$mib]=${mebibytes[$key]}
    done
    continue
  fi
  echo "Generating the ${mib} MiB corpus" >&2
  make_files "$mib" "$dir/scale"
  f=$dir/scale.bin g=$dir/scale-changed.bin o=$dir/scale-out.bin
  measure "cat@$mib" "$scale_runs" 1 "cat $f >/dev/null"
  measure "cp@$mib" "$scale_runs" 1 "cp $f $o" "rm -f $o"
  measure "window@$mib" "$scale_runs" 1 "$tessaloom --dump $f 0 16"
  measure "dump@$mib" "$scale_runs" 1 "$tessaloom --dump $f 0 -1"
  measure "entropy@$mib" "$scale_runs" 1 "$tessaloom --entropy $f"
  measure "strings@$mib" "$scale_runs" 1 "$tessaloom --strings $f"
  measure "diff@$mib" "$scale_runs" 1 "$tessaloom --diff $f $g"
  measure "replace@$mib" "$scale_runs" 1 "$tessaloom --replace $f 4141 7a7a $o" "rm -f $o"
  measure "find@$mib" "$scale_runs" 1 "$tessaloom --find $f de:ad:be:ef"
  measure "map@$mib" "$scale_runs" 1 "$tessaloom --map $f"
  rm -f "$dir"/scale*.bin
done

# scale_table CELL_WIDTH CELL: the scaled rows, one column per size; CELL KEY MIB prints a cell.
scale_table() {
  local width=$1 cell=$2 header="| Command                  |" rule="|--------------------------|"
  local entry key line mib
  for mib in $scale_sizes; do
    header+=$(printf " %${width}s |" "$mib MiB")
    rule+=$(printf '%*s:|' "$((width + 1))" '' | tr ' ' -)
  done
  echo "$header"
  echo "$rule"
  for entry in "${scaled[@]}"; do
    key=${entry%%:*}
    line=$(printf '| %-24s |' "${entry#*:}")
    for mib in $scale_sizes; do
      line+=$(printf " %${width}s |" "$("$cell" "$key" "$mib")")
    done
    echo "$line"
  done
}
time_cell() {
  local value=${seconds[$1@$2]}
  printf '%7s (%6s)' "$(secs "$value")" "$(awk -v s="$value" -v m="$2" 'BEGIN { printf "%.2f", 1000 * s / m }')"
}
memory_cell() { printf '%s' "${mebibytes[$1@$2]}"; }

echo
echo "Scaling: median seconds, and milliseconds per MiB in brackets"
echo
scale_table 16 time_cell
echo
echo "Scaling: peak MiB, which stays flat for a command that streams"
echo
scale_table 8 memory_cell
