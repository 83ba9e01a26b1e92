#!/usr/bin/env bash
# --view of the Windows build under Wine, on a real terminal: tessaloom.exe run by Wine in a tmux
# pane of 100 by 30 cells (Wine's console then draws on the pane's terminal), driven by its keys,
# its screen read back with capture-pane. Checks the first screen, g to an offset, an edit saved
# with w, q ending the program, and the screen without colour under NO_COLOR.
#
#   tests/e2e/view_wine.sh TESSALOOM.EXE
#
# Uses the Wine prefix of the environment (WINEPREFIX), which should be made and its server
# started beforehand: Wine's first start in a new prefix takes minutes.
set -euo pipefail

[ $# -eq 1 ] || {
  echo "usage: tests/e2e/view_wine.sh TESSALOOM.EXE" >&2
  exit 2
}
exe=$(realpath "$1")
command -v tmux >/dev/null || {
  echo "view_wine: tmux is not installed" >&2
  exit 1
}

work=$(mktemp -d)
socket="tessaloom-view-wine-$$"
tmx() { tmux -L "$socket" -f "$work/tmux.conf" "$@"; }
cleanup() {
  tmx kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
# A pane whose program has ended stays, for its exit status to be read.
echo "set -g remain-on-exit on" >"$work/tmux.conf"

failures=0
fail() {
  echo "FAILED: $*" >&2
  echo "--- the pane:" >&2
  tmx capture-pane -p >&2 || true
  echo "--- its program ended: $(tmx display-message -p \
    '#{pane_dead} (status #{pane_dead_status}, signal #{pane_dead_signal})' || true)" >&2
  failures=$((failures + 1))
}

# Waits up to $2 seconds (default 30) for the pane to show a line matching the extended regular
# expression $1; Wine starts slowly on a busy machine.
wait_for() {
  local deadline=$((SECONDS + ${2:-30}))
  while ! tmx capture-pane -p | grep -qE -- "$1"; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      return 1
    fi
    sleep 0.2
  done
}

# Waits for the pane's program to end; prints its exit status.
wait_for_end() {
  local deadline=$((SECONDS + 30))
  while [ "$(tmx display-message -p '#{pane_dead}')" != 1 ]; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      return 1
    fi
    sleep 0.2
  done
  # tmux may mark the pane dead a moment before it has the status.
  local status tries=0
  status=$(tmx display-message -p '#{pane_dead_status}')
  while [ -z "$status" ] && [ "$tries" -lt 25 ]; do
    sleep 0.2
    tries=$((tries + 1))
    status=$(tmx display-message -p '#{pane_dead_status}')
  done
  [ -n "$status" ] || status="none (signal $(tmx display-message -p '#{pane_dead_signal}'))"
  echo "$status"
}

# Starts the viewer on the file data in the work folder, with the environment assignments given.
start() {
  tmx kill-server 2>/dev/null || true
  tmx new-session -d -x 100 -y 30 -c "$work" "env $* wine '$exe' --view data"
  if ! wait_for ' data  4096 bytes  0x0 \(0\)' 60; then
    fail "the viewer's first screen did not come within 60 seconds"
    return 1
  fi
}

# 4096 bytes: a header, dots, and WINE at 0x100.
{
  printf 'TESSALOOM\x00\x01\x02\x7f\x80\xfe\xff'
  head -c 240 /dev/zero | tr '\0' '.'
  printf 'WINE'
  head -c 3836 /dev/zero | tr '\0' '.'
} >"$work/data"

# Going, editing, saving and quitting.
if start; then
  wait_for '^00000000  54 45 53 53 41 4C 4F 4F  4D 00 01 02 7F 80 FE FF  \|TESSALOOM\.{7}\|' 5 ||
    fail "the first screen lacks the offset column and the first bytes"
  tmx send-keys -l g0x100
  tmx send-keys Enter
  wait_for ' data  4096 bytes  0x100 \(256\)' || fail "g 0x100 Enter did not go to 0x100"
  wait_for '^00000100  57 49 4E 45 2E' 5 || fail "the row at 0x100 is not shown"
  tmx send-keys e 4 1
  wait_for '0x101 \(257\)  \[EDIT HEX OVR\]  1 change' || fail "e 4 1 did not edit the byte"
  # Wine's console reads Escape and a key right after it as Alt and the key: w waits until the
  # edit mode is seen to end.
  tmx send-keys Escape
  wait_for '0x101 \(257\)  1 change  \? help' || fail "Escape did not leave the edit mode"
  tmx send-keys w
  wait_for 'Saved 1 change to data' || fail "w did not save"
  saved=$(od -An -tx1 -j 256 -N 4 "$work/data" | tr -d ' ')
  [ "$saved" = 41494e45 ] || fail "the file holds $saved at 0x100 after the save, not 41494e45"
  tmx send-keys q
  if ! status=$(wait_for_end); then
    fail "q did not end the viewer"
  elif [ "$status" != 0 ]; then
    fail "the viewer ended with status $status"
  fi
fi

# Colour on the screen, and none with NO_COLOR: the byte classes in the console's colours, and
# without them only black and grey (the status line in reverse video). tmux sends a colour as
# its own SGR sequence.
hue=$'\e\\[(3[1-6]|4[1-6]|9[1-6]|10[1-6])m'
for no_color in "" 1; do
  start "NO_COLOR=$no_color" || continue
  screen=$(tmx capture-pane -p -e)
  if [ -z "$no_color" ] && ! grep -qE "$hue" <<<"$screen"; then
    fail "no colour on the screen"
  elif [ -n "$no_color" ] && grep -qE "$hue" <<<"$screen"; then
    fail "colour on the screen with NO_COLOR=1"
  fi
  grep -q $'\e\\[30m\e\\[47m data  4096 bytes' <<<"$screen" ||
    grep -q $'\e\\[47m\e\\[30m data  4096 bytes' <<<"$screen" ||
    fail "the status line is not black on grey (NO_COLOR=$no_color)"
  tmx send-keys q
  wait_for_end >/dev/null || fail "q did not end the viewer (NO_COLOR=$no_color)"
done

if [ "$failures" -gt 0 ]; then
  echo "view_wine: $failures checks failed" >&2
  exit 1
fi
echo "view_wine: the viewer under Wine went, edited, saved and quit, in colour and without"
