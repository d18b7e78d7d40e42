# Shared helpers for the project's scripts (sourced, not run).

# Installs the named Debian packages that are not installed yet.
need_packages() {
  missing=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing >/dev/null
}

# Packages every build needs.
need_build_packages() {
  need_packages ca-certificates cmake make g++ pkg-config libgtest-dev libusb-1.0-0-dev iproute2 util-linux \
    umockdev libumockdev-dev libglib2.0-dev valgrind iptables
}

# Configures and builds into the given folder with any extra CMake arguments.
build_into() {
  dir=$1; shift
  cmake -S . -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
