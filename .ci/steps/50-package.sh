#!/usr/bin/env bash
# Packaging: builds the release configuration, makes the Debian package with CPack, has lintian
# check it, unpacks it into a temporary root with dpkg -x and checks what it holds: the program,
# the manual page, the completion, the library with its headers and CMake package, which an outside
# project then finds and links, and the copyright file and changelog.
set -euo pipefail
cd "$(dirname "$0")/../.."

source .ci/install-missing.sh
missing=()
command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
command -v file >/dev/null || missing+=(file)
command -v groff >/dev/null || missing+=(groff-base)
command -v lintian >/dev/null || missing+=(lintian)
command -v readelf >/dev/null || missing+=(binutils)
install_missing "${missing[@]}"

fail() {
  echo "package check FAILED: $*" >&2
  exit 1
}
# Matches grep's options and pattern against text held whole, never against a pipe: with pipefail,
# a writer that grep -q leaves behind when it stops at the first match dies of SIGPIPE and fails
# the check at random.
holds() {
  local text=$1
  shift
  grep -q "$@" <<<"$text"
}

cmake --workflow --preset release
rm -f build/release/tessaloom_*.deb
# A umask that leaves folders group-writable, so that the modes in the package are seen to come
# from the packaging rules and not from the machine that builds it.
(cd build/release && umask 0002 && cpack -G DEB)
debs=(build/release/tessaloom_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  fail "expected one tessaloom_*.deb, found: ${debs[*]}"
fi
deb=${debs[0]}
echo "Package: $deb"
dpkg-deb --info "$deb"

# Control fields.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/release/CMakeCache.txt)
field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = tessaloom ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Section)" = utils ] || fail "Section is '$(field Section)'"
[ -n "$(field Description)" ] || fail "no Description"
for dependency in libc6 libstdc++6 libgcc-s1; do
  holds "$(field Depends)" "\\b${dependency}\\b" || fail "Depends lacks $dependency: $(field Depends)"
done
# Every file lies under /usr.
if dpkg-deb --contents "$deb" | awk '{print $6}' | grep -v '^\./usr/' | grep -v '^\./$'; then
  fail "files outside /usr"
fi

# Debian's own checker: any error or warning fails the step; the informational and pedantic
# findings are shown as well.
lintian --fail-on error,warning --display-info --pedantic "$deb" ||
  fail "lintian reports errors or warnings on $deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
usr=$root/usr

# The program runs; --help is no command, so it prints the usage text and exits with 1.
program=$usr/bin/tessaloom
holds "$(file "$program")" 'ELF 64-bit LSB.*executable' || fail "$(file "$program")"
# The compression and YAML libraries are linked in: the program needs only the C and C++ runtime.
needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
others=$(grep -vxE 'libc\.so\.6|libm\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1' <<<"$needed" || true)
[ -z "$others" ] || fail "the program needs shared libraries beyond the C and C++ runtime: ${others//$'\n'/ }"
status=0
"$program" --help >"$root/usage.txt" 2>"$root/usage.err" || status=$?
[ "$status" -eq 1 ] || fail "tessaloom --help exited with $status, not 1"
[ ! -s "$root/usage.err" ] || fail "tessaloom --help wrote to standard error"
[ "$(sed -n 2p "$root/usage.txt")" = '  Tessaloom Studio v2.0 - Structural Binary Hex Workstation' ] ||
  fail "unexpected usage text: $(cat "$root/usage.txt")"
grep -q -- '--replace <IN> <HEX_IN> <HEX_OUT> <O>' "$root/usage.txt" || fail "usage text lacks --replace"

# The manual page, compressed as Debian installs them, renders without a single warning.
page=$usr/share/man/man1/tessaloom.1.gz
[ -f "$page" ] || fail "no manual page"
warnings=$(gzip -dc "$page" | groff -ww -man -Tutf8 -z 2>&1)
[ -z "$warnings" ] || fail "groff warnings: $warnings"
if command -v man >/dev/null; then
  MANWIDTH=80 man -l "$page" >"$root/man.txt" 2>"$root/man.err" || fail "man -l failed"
  grep -q 'tessaloom \[--gui\]' "$root/man.txt" || fail "man -l"
  [ ! -s "$root/man.err" ] || fail "man -l: $(cat "$root/man.err")"
fi

# The completion loads and completes the command words.
completion=$usr/share/bash-completion/completions/tessaloom
[ -f "$completion" ] || fail "no bash completion"
bash tests/install/completion_test.sh "$completion"

# The library, the engine's public headers (engine.h and every header it includes, followed
# through the includes) and nothing else, the CMake package.
library=$(find "$usr/lib" -name libtessaloom_engine.a)
[ -n "$library" ] || fail "no libtessaloom_engine.a"
holds "$(file "$library")" 'ar archive' || fail "$(file "$library")"
public=(engine.h)
for ((i = 0; i < ${#public[@]}; i++)); do
  for included in $(sed -n 's/^#include "\([a-z0-9_]*\.h\)".*/\1/p' "src/engine/${public[i]}"); do
    [[ " ${public[*]} " == *" $included "* ]] || public+=("$included")
  done
done
for header in "${public[@]}"; do
  [ -f "$usr/include/tessaloom/$header" ] || fail "header $header missing"
done
for installed in "$usr/include/tessaloom"/*; do
  [[ " ${public[*]} " == *" ${installed##*/} "* ]] || fail "header ${installed##*/} is not public"
done
config=$(find "$usr/lib" -path '*/cmake/Tessaloom/TessaloomConfig.cmake')
[ -n "$config" ] || fail "no TessaloomConfig.cmake"
[ -f "${config%/*}/TessaloomConfigVersion.cmake" ] || fail "no TessaloomConfigVersion.cmake"

# An outside project finds the unpacked package, links it and runs.
cmake -DPREFIX="$usr" -DWORK_DIR="$root/consumer" -P tests/install/consumer_check.cmake

# The copyright file carries LICENSE's text; the changelog starts with this version and is
# compressed without a file name or time stamp, so that it is the same in every build.
doc=$usr/share/doc/tessaloom
[ "$(head -1 "$doc/copyright")" = 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ] ||
  fail "copyright is not in the machine-readable format"
diff <(sed -n '/^License: Expat$/,$p' "$doc/copyright" | tail -n +2 | sed 's/^ //; s/^\.$//') \
  <(sed -n '/^Permission is hereby granted/,$p' LICENSE) || fail "copyright lacks the licence text"
first=$(gzip -dc "$doc/changelog.gz" | sed -n 1p)
[[ $first == "tessaloom ($version) "* ]] || fail "changelog does not start with $version: $first"
[ "$(od -An -tx1 -j3 -N5 "$doc/changelog.gz" | tr -d ' ')" = 0000000000 ] ||
  fail "changelog.gz stores a file name or a time stamp"
[ ! -e "$doc/LICENSE" ] || fail "LICENSE beside the copyright file"

echo "Debian package $deb checked."
