# Sourced by .ci/run and its steps: installs the Debian packages named, if any, in one go.
install_missing() {
  [ $# -gt 0 ] || return 0
  echo "Installing: $*"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@"
}
