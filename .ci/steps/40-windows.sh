#!/usr/bin/env bash
# The Windows leg: cross-compiles tessaloom.exe with MinGW-w64, then runs the cross-built unit
# tests, the viewer in a tmux pane, and the whole end-to-end suite of the Linux test build against
# the .exe under Wine.
set -euo pipefail
cd "$(dirname "$0")/../.."

source .ci/install-missing.sh
missing=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(g++-mingw-w64-x86-64-posix)
command -v wine >/dev/null || missing+=(wine)
[ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
command -v tmux >/dev/null || missing+=(tmux)
install_missing "${missing[@]}"
# The compression and YAML libraries, built for MinGW-w64 once per machine.
bash .ci/build-mingw-deps.sh

# A fresh Wine prefix of our own, quiet, with no display: the information window's message box
# then returns at once instead of waiting for a click.
scratch=$(mktemp -d)
export WINEPREFIX="$scratch/wineprefix" WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

# The first start creates the prefix, which takes a while and goes on in the background after
# wineboot returns; wait for all of it. Then the server and Wine's own services (the RPC service
# among them, which every start of the desktop process asks for) are started here, kept up between
# the many short runs that follow, with no hold on the tests' output pipes.
echo "Creating the Wine prefix"
if ! wineboot --init </dev/null >"$scratch/wine.log" 2>&1; then
  cat "$scratch/wine.log"
  exit 1
fi
timeout 300 wineserver -w || echo "Wine's first start is still busy after 5 minutes; going on"
wineserver -p </dev/null >/dev/null 2>&1
wine net start rpcss </dev/null >>"$scratch/wine.log" 2>&1 || true

# Configure, cross-build, and run the unit tests under Wine (the preset's emulator).
cmake --workflow --preset windows

# The viewer on a terminal: the .exe under Wine in a tmux pane, driven by its keys.
bash tests/e2e/view_wine.sh build/windows/tessaloom.exe

# Linked statically, the .exe needs only DLLs that every Windows has.
imports=$(x86_64-w64-mingw32-objdump -p build/windows/tessaloom.exe | grep 'DLL Name')
echo "Imports of tessaloom.exe:"
echo "$imports"
if grep -qiE 'libstdc|libgcc|libwinpthread|zlib|libz|lzma|bz2|zstd|lz4|yaml' <<<"$imports"; then
  echo "tessaloom.exe needs a MinGW runtime or library DLL" >&2
  exit 1
fi

# The end-to-end suite of the Linux test build (which .ci/run has made), against the .exe.
[ -x build/test/tessaloom_e2e_tests ] || { cmake --preset test && cmake --build --preset test; }
TESSALOOM_EXE="$PWD/build/windows/tessaloom.exe" TESSALOOM_LAUNCHER=wine \
  ctest --test-dir build/test -L e2e --output-on-failure --no-tests=error -j2 --timeout 300
