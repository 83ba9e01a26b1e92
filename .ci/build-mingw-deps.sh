#!/usr/bin/env bash
# Makes the compression and YAML libraries that the Windows program links statically available to
# the MinGW-w64 cross build: zlib from Debian's MinGW package, and liblzma, libbz2, libzstd, liblz4
# and libyaml built for x86_64-w64-mingw32 from Debian's own source packages (apt-get source, with
# a deb-src entry added for the machine's own Debian suites when there is none). Static archives
# and headers only, installed into TESSALOOM_MINGW_DEPS (default /opt/tessaloom-mingw-deps), where
# cmake/Dependencies.cmake looks for them.
#
# A library already installed there is left alone, so a second run does nothing; remove the folder
# to rebuild. Needs root for apt-get when packages or the deb-src entry are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

prefix=${TESSALOOM_MINGW_DEPS:-/opt/tessaloom-mingw-deps}
host=x86_64-w64-mingw32
jobs=2

fail() {
  echo "build-mingw-deps: $*" >&2
  exit 1
}

# Each library: Debian's source package, then the files whose presence means it is installed.
libraries=(
  "xz-utils lib/liblzma.a include/lzma.h"
  "bzip2 lib/libbz2.a include/bzlib.h"
  "libzstd lib/libzstd.a include/zstd.h"
  "lz4 lib/liblz4.a include/lz4frame.h"
  "libyaml lib/libyaml.a include/yaml.h"
)

installed() {
  local source=$1 file
  shift
  [ -f "$prefix/share/doc/$source/version" ] || return 1
  for file in "$@"; do
    [ -f "$prefix/$file" ] || return 1
  done
}

# zlib is Debian's MinGW build; the rest is up to this script.
zlib_present() {
  [ -f "/usr/$host/lib/libz.a" ] && [ -f "/usr/$host/include/zlib.h" ]
}

find_wanted() {
  local entry source files
  wanted=()
  for entry in "${libraries[@]}"; do
    read -r source files <<<"$entry"
    # shellcheck disable=SC2086 # the file list is split on purpose
    installed "$source" $files || wanted+=("$source")
  done
}
find_wanted
if [ ${#wanted[@]} -eq 0 ] && zlib_present; then
  echo "The MinGW builds of the compression and YAML libraries are in $prefix"
  exit 0
fi

source .ci/install-missing.sh
missing=()
zlib_present || missing+=(libz-mingw-w64-dev)
command -v $host-gcc-posix >/dev/null || missing+=(gcc-mingw-w64-x86-64-posix)
command -v cmake >/dev/null || missing+=(cmake)
# dpkg-source unpacks the source packages (and brings make, patch, xz and bzip2 with it).
command -v dpkg-source >/dev/null || missing+=(dpkg-dev)
install_missing "${missing[@]}"
zlib_present || fail "libz-mingw-w64-dev is installed but /usr/$host/lib/libz.a is missing"
[ ${#wanted[@]} -gt 0 ] || exit 0

mkdir -p "$prefix" 2>/dev/null || fail "cannot create $prefix: set TESSALOOM_MINGW_DEPS to a folder of yours"
[ -w "$prefix" ] || fail "cannot write to $prefix: run as root, or set TESSALOOM_MINGW_DEPS"
# Several checkouts on one machine share the folder: one build at a time.
exec 9>"$prefix/.lock"
flock 9
find_wanted
[ ${#wanted[@]} -gt 0 ] || exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# apt downloads as its own unprivileged user where that user may write.
chmod 755 "$work"

# The source records that the apt sources give, for the machine's own Debian suites. Without a
# deb-src entry, one is made from the deb entries of Debian's own source lists (not from
# third-party ones, whose archives may have no sources), and the lists are fetched again.
has_sources() {
  # shellcheck disable=SC2016 # apt's own placeholder, not the shell's
  local targets
  targets=$(apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null || true)
  grep -qx Sources <<<"$targets"
}
add_deb_src() {
  local lists=/etc/apt/sources.list.d/tessaloom-deb-src list added=0
  [ "$(id -u)" -eq 0 ] ||
    fail "the apt sources have no deb-src entry, and adding one needs root: run this as root"
  # The deb822 stanzas of Debian's own list, their Types made deb-src.
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    awk 'BEGIN { RS = "" }
      /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ {
        n = split($0, lines, "\n")
        for (i = 1; i <= n; i++) {
          if (lines[i] ~ /^Types:/) lines[i] = "Types: deb-src"
          print lines[i]
        }
        print ""
      }' /etc/apt/sources.list.d/debian.sources >"$lists.sources.new"
  fi
  # The one-line entries of the classic list.
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^\([[:space:]]*\)deb\([[:space:]]\)/\1deb-src\2/p' /etc/apt/sources.list \
      >"$lists.list.new"
  fi
  for list in "$lists.sources" "$lists.list"; do
    if [ -s "$list.new" ]; then
      mv "$list.new" "$list"
      echo "Added $list for Debian's source packages"
      added=1
    else
      rm -f "$list.new"
    fi
  done
  [ "$added" -eq 1 ] || fail "found no Debian apt sources to add a deb-src entry for"
}
if ! has_sources; then
  add_deb_src
fi
# Source records that are configured but not yet fetched are fetched here.
# (The records are held whole before grep -q looks at them: a pipe into it fails under pipefail
# when the writer is still writing as grep stops at the first match.)
records=$(apt-cache showsrc xz-utils 2>/dev/null || true)
if ! grep -q '^Package: xz-utils$' <<<"$records"; then
  [ "$(id -u)" -eq 0 ] || fail "the source lists have not been fetched: run apt-get update as root"
  apt-get update || fail "apt-get update failed"
fi

# The versions of a source package that the lists hold, newest first.
source_versions() {
  local versions best i
  mapfile -t versions < <(apt-cache showsrc "$1" 2>/dev/null |
    awk -v name="$1" '/^Package: / { take = ($2 == name) } take && /^Version: / { print $2 }' |
    sort -u)
  while [ ${#versions[@]} -gt 0 ]; do
    best=0
    for i in "${!versions[@]}"; do
      if dpkg --compare-versions "${versions[i]}" gt "${versions[best]}"; then best=$i; fi
    done
    echo "${versions[best]}"
    unset 'versions[best]'
    versions=("${versions[@]}")
  done
}

# Downloads and unpacks the newest version of a source package that the archive serves into
# $work/<package>; an archive may list a version whose files it lacks, and then an older one is
# taken, with a warning. Sets fetched_version.
fetch_source() {
  local package=$1 version dsc newest=""
  local download=$work/download-$package
  mkdir -p "$download"
  if id _apt >/dev/null 2>&1; then chown _apt "$download"; fi
  while read -r version; do
    [ -n "$newest" ] || newest=$version
    if (cd "$download" && apt-get source --download-only --only-source "$package=$version") \
         >>"$work/$package.log" 2>&1; then
      dsc=$(ls "$download"/*.dsc)
      dpkg-source -x "$dsc" "$work/$package" >>"$work/$package.log" 2>&1 ||
        fail "dpkg-source could not unpack $package $version (see above)"
      if [ "$version" != "$newest" ]; then
        echo "WARNING: the source of $package $newest cannot be downloaded; building $version" \
          "instead, which lacks the changes of $newest" >&2
      fi
      fetched_version=$version
      return 0
    fi
    rm -rf "${download:?}"/*
  done < <(source_versions "$package")
  cat "$work/$package.log" >&2
  if [ -z "$newest" ]; then
    fail "the apt sources list no source package $package"
  fi
  fail "no version of the source package $package could be downloaded (see above)"
}

# The cross build through the project's own toolchain file, as the program is built.
cmake_build() {
  local source=$1 build=$2 target=$3
  shift 3
  cmake -S "$source" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DBUILD_TESTING=OFF \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 "$@"
  cmake --build "$build" --target "$target" -j"$jobs"
}

cc=$host-gcc-posix
make_vars=(CC="$cc" AR="$host-ar" RANLIB="$host-ranlib")

# Builds one library from its unpacked source in $work/<package> into the staging folder $stage.
build_library() {
  local package=$1 src=$work/$1 stage=$2
  mkdir -p "$stage/lib" "$stage/include"
  case $package in
    xz-utils)
      cmake_build "$src" "$src/build" liblzma
      cp "$src/build/liblzma.a" "$stage/lib/"
      cp -r "$src/src/liblzma/api/lzma.h" "$src/src/liblzma/api/lzma" "$stage/include/"
      ;;
    bzip2)
      make -C "$src" -j"$jobs" libbz2.a "${make_vars[@]}" CFLAGS="-O2 -D_FILE_OFFSET_BITS=64"
      cp "$src/libbz2.a" "$stage/lib/"
      cp "$src/bzlib.h" "$stage/include/"
      ;;
    libzstd)
      make -C "$src/lib" -j"$jobs" libzstd.a "${make_vars[@]}"
      cp "$src/lib/libzstd.a" "$stage/lib/"
      cp "$src/lib/zstd.h" "$src/lib/zstd_errors.h" "$src/lib/zdict.h" "$stage/include/"
      ;;
    lz4)
      make -C "$src/lib" -j"$jobs" liblz4.a "${make_vars[@]}"
      cp "$src/lib/liblz4.a" "$stage/lib/"
      cp "$src/lib/lz4.h" "$src/lib/lz4hc.h" "$src/lib/lz4frame.h" "$stage/include/"
      ;;
    libyaml)
      cmake_build "$src" "$src/build" yaml
      cp "$src/build/libyaml.a" "$stage/lib/"
      cp "$src/include/yaml.h" "$stage/include/"
      ;;
  esac
}

for package in "${wanted[@]}"; do
  start=$SECONDS
  fetch_source "$package"
  echo "Building $package $fetched_version for $host"
  stage=$work/stage-$package
  if ! build_library "$package" "$stage" >>"$work/$package.log" 2>&1; then
    tail -n 60 "$work/$package.log" >&2
    fail "building $package $fetched_version for $host failed (the end of its log is above)"
  fi
  # The licence travels with every program that links the library; the version file, written
  # last, marks the library as installed.
  mkdir -p "$stage/share/doc/$package"
  cp "$work/$package/debian/copyright" "$stage/share/doc/$package/"
  cp -r "$stage/lib" "$stage/include" "$stage/share" "$prefix/"
  echo "$fetched_version" >"$prefix/share/doc/$package/version"
  echo "Installed $package $fetched_version into $prefix in $((SECONDS - start)) s"
done
