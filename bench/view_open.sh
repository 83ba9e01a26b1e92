#!/usr/bin/env bash
# Times --view inside tmux: from the start to the first screen, and from G to the screen at the
# last byte, on a 100 GiB sparse image and on a 4 KiB file; and the peak memory of each run.
# Usage: bench/view_open.sh [EXECUTABLE]   (default build/bench/tessaloom; RUNS=5)
set -euo pipefail
cd "$(dirname "$0")/.."
exe=$(realpath "${1:-build/bench/tessaloom}")
runs=${RUNS:-5}
command -v tmux >/dev/null || { echo "tmux is needed" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package time)" >&2; exit 1; }

dir=$(mktemp -d)
socket=tessaloom-view-bench-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$dir"' EXIT
big=$((100 << 30))
truncate -s "$big" "$dir/big.img"
printf 'end!' | dd of="$dir/big.img" bs=1 seek=$((big - 4)) conv=notrunc status=none
head -c 4096 /dev/urandom >"$dir/small.bin"

now() { date +%s%N; }
screen_has() { tmux -L "$socket" capture-pane -p -t bench 2>/dev/null | grep -qF -- "$1"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure NAME FILE SIZE LAST_HEX: prints the median times in milliseconds and the largest RSS.
measure() {
  local name=$1 file=$2 size=$3 last=$4 opens=() jumps=() rss=0
  for _ in $(seq "$runs"); do
    rm -f "$dir/rss"
    local t0 t1 t2 t3
    t0=$(now)
    tmux -L "$socket" -f /dev/null new-session -d -s bench -x 80 -y 24 \
      "/usr/bin/time -f %M -o $dir/rss $exe --view $file"
    until screen_has "$size bytes  0x0 (0)"; do :; done
    t1=$(now)
    t2=$(now)
    tmux -L "$socket" send-keys -t bench G
    until screen_has "0x$last ("; do :; done
    t3=$(now)
    tmux -L "$socket" send-keys -t bench q
    while tmux -L "$socket" has-session -t bench 2>/dev/null; do sleep 0.01; done
    opens+=($(((t1 - t0) / 100000)))
    jumps+=($(((t3 - t2) / 100000)))
    [ -s "$dir/rss" ] && rss=$(($(cat "$dir/rss") > rss ? $(cat "$dir/rss") : rss))
  done
  printf '%-28s open %5s ms   G %5s ms   peak RSS %s KiB\n' "$name" \
    "$(printf '%s\n' "${opens[@]}" | median | awk '{ printf "%.1f", $1 / 10 }')" \
    "$(printf '%s\n' "${jumps[@]}" | median | awk '{ printf "%.1f", $1 / 10 }')" "$rss"
}

echo "--view inside tmux, 80 x 24, median of $runs runs (each time includes tmux's own)"
measure "4 KiB file" "$dir/small.bin" 4096 FFF
measure "100 GiB sparse image" "$dir/big.img" "$big" "$(printf '%X' $((big - 1)))"
