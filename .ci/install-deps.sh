#!/usr/bin/env bash
# Installs the Debian packages that the build needs and the machine lacks: the compiler, CMake,
# make and the static compression and YAML libraries that the program links. With "test", also
# what the test suite runs: GoogleTest, tmux for the viewer, and the established tools that
# --struct, --map and --scan are checked against. Does nothing when all of it is there; installing needs
# root.
#
#   .ci/install-deps.sh [test]
set -euo pipefail
cd "$(dirname "$0")/.."

case ${1:-} in
  "" | build) with_tests=0 ;;
  test) with_tests=1 ;;
  *)
    echo "usage: .ci/install-deps.sh [test]" >&2
    exit 2
    ;;
esac

if ! command -v dpkg-query >/dev/null; then
  echo "install-deps: not a Debian system; install a C++20 compiler, CMake, make and the static" \
    "libraries and headers of zlib, liblzma, libbz2, libzstd, liblz4 and libyaml" >&2
  [ "$with_tests" -eq 0 ] || echo "install-deps: and for the tests GoogleTest and tmux" >&2
  exit 0
fi

source .ci/install-missing.sh
package_installed() {
  dpkg-query -W -f '${Status}' "$1" 2>/dev/null | grep -q ' installed$'
}

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v make >/dev/null || missing+=(make)
# The libraries linked statically into the program.
for package in zlib1g-dev liblzma-dev libbz2-dev libzstd-dev liblz4-dev libyaml-dev; do
  package_installed "$package" || missing+=("$package")
done
if [ "$with_tests" -eq 1 ]; then
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  # The viewer's end-to-end runs drive it inside tmux.
  command -v tmux >/dev/null || missing+=(tmux)
  # The established tools that --struct is checked against, and the files they are tried on.
  command -v readelf >/dev/null || missing+=(binutils)
  /usr/bin/python3 -c 'import pefile' 2>/dev/null || missing+=(python3-pefile)
  command -v pngcheck >/dev/null || missing+=(pngcheck)
  command -v zip >/dev/null || missing+=(zip)
  # The entropy edges of --map are checked against binwalk's.
  command -v binwalk >/dev/null || missing+=(binwalk)
  # The objects that --scan finds are made and read back by their own tools (each under 1.2 MB).
  command -v file >/dev/null || missing+=(file)
  command -v xz >/dev/null || missing+=(xz-utils)
  command -v zstd >/dev/null || missing+=(zstd)
  command -v unzip >/dev/null || missing+=(unzip)
  command -v cpio >/dev/null || missing+=(cpio)
  command -v unsquashfs >/dev/null || missing+=(squashfs-tools)
  command -v dumpimage >/dev/null || missing+=(u-boot-tools)
  command -v fdtdump >/dev/null || missing+=(device-tree-compiler)
fi
install_missing "${missing[@]}"
