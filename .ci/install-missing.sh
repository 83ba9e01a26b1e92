# shellcheck shell=bash
# Sourced by .ci/run, its steps and the scripts beside it: installs the Debian packages named, if
# any, in one go.
install_missing() {
  [ $# -gt 0 ] || return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "These Debian packages are missing: $*" >&2
    echo "Installing them needs root: run this again as root, or first: sudo apt-get install $*" >&2
    return 1
  fi
  echo "Installing: $*"
  apt-get update
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"; then
    echo "apt-get could not install: $* (see its messages above)" >&2
    return 1
  fi
}
