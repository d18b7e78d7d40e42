# Helpers for the ARM builds (sourced after scripts/lib.sh, not run).

# The CMake toolchain file for a Debian architecture (arm64, armhf).
cross_toolchain_file() {
  case "$1" in
    arm64) echo cmake/toolchains/aarch64-linux-gnu.cmake ;;
    armhf) echo cmake/toolchains/arm-linux-gnueabihf.cmake ;;
    *) echo "no toolchain for architecture $1" >&2; return 1 ;;
  esac
}

# The qemu-user program that runs that architecture's binaries.
cross_qemu() {
  case "$1" in
    arm64) echo qemu-aarch64 ;;
    armhf) echo qemu-arm ;;
  esac
}

# Installs the cross compiler and the architecture's libusb (multiarch), and
# any further :ARCH packages named after it (e.g. libgtest-dev).
need_cross_packages() {
  arch=$1; shift
  case "$arch" in
    arm64) compiler=g++-aarch64-linux-gnu ;;
    armhf) compiler=g++-arm-linux-gnueabihf ;;
    *) echo "no cross compiler for architecture $arch" >&2; return 1 ;;
  esac
  if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    dpkg --add-architecture "$arch"
    apt-get update -q >/dev/null
  fi
  extra=""
  for p in "$@"; do extra="$extra $p:$arch"; done
  # shellcheck disable=SC2086
  need_packages "$compiler" "libusb-1.0-0-dev:$arch" $extra
}
