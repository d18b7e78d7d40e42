#!/bin/sh
# Builds the test machine's boot files into BUILD_DIR/vm: the kernel from Debian's kernel package (fetched
# once into the cache and reused) and an initramfs with busybox, the USB modules, udevd, the programs under
# test and the shared libraries they load.
#   sh tests/vm/build-image.sh BUILD_DIR    (BUILD_DIR holds bridge/accessory-bridge, built beforehand)
# Exit status 2: the systemd machine's root could not be made here (debootstrap failed).
# VM_ARCH=arm64 builds an arm64 machine: its kernel, busybox, udevd and their libraries come from Debian's arm64
# packages, unpacked rather than installed, and the programs' libraries are found in those packages too.
# VM_JOB=systemd builds the machine that boots a Debian root with systemd (amd64): the initramfs only loads the
# modules, disk ones included, and hands over to it, bringing the job's files (BUILD_DIR/vm/debs or
# BUILD_DIR/vm/tree, and the rest).
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
arch=${VM_ARCH:-amd64}
job=${VM_JOB:-}

# The kernel is pinned so runs repeat; when the archive no longer has this version, the current one is used.
KERNEL_PACKAGE=linux-image-6.1.0-50-$arch
KERNEL_VERSION=6.1.176-1
cache=${TESSIVAR_VM_CACHE:-${XDG_CACHE_HOME:+$XDG_CACHE_HOME/tessivar-vm}}
cache=${cache:-/var/cache/tessivar-vm}
mkdir -p "$cache"

# apt-get download into the cache (or the folder given), reading the package lists anew when they do not know
# the package yet
download() {
  (cd "${2:-$cache}" && apt-get download -q "$1" >/dev/null 2>&1) && return 0
  apt-get update -q >/dev/null 2>&1
  (cd "${2:-$cache}" && apt-get download -q "$1" >/dev/null 2>&1)
}

fetch_kernel() {
  deb=$(ls "$cache"/"$KERNEL_PACKAGE"_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] && return 0
  echo "vm: fetching $KERNEL_PACKAGE=$KERNEL_VERSION into $cache"
  if ! download "$KERNEL_PACKAGE:$arch=$KERNEL_VERSION"; then
    KERNEL_PACKAGE=$(apt-cache depends "linux-image-$arch:$arch" | sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p' | head -n 1)
    echo "vm: $KERNEL_VERSION is gone from the archive; using the current $KERNEL_PACKAGE instead"
    ls "$cache"/"$KERNEL_PACKAGE"_*.deb >/dev/null 2>&1 || download "$KERNEL_PACKAGE:$arch" ||
      { echo "vm: cannot fetch $KERNEL_PACKAGE"; exit 1; }
  fi
  deb=$(ls "$cache"/"$KERNEL_PACKAGE"_*.deb | head -n 1)
}

# Unpacks only the kernel and the USB and configfs modules, once per package.
unpack_kernel() {
  kdir=${deb%.deb}
  [ -f "$kdir/done" ] && return 0
  rm -rf "$kdir" && mkdir -p "$kdir"
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir" --wildcards './boot/vmlinuz-*' \
    './lib/modules/*/kernel/drivers/usb/*' './lib/modules/*/kernel/fs/configfs/*'
  touch "$kdir/done"
}

# The systemd machine's disk: virtio and ext4 modules as well, unpacked once beside the others.
unpack_disk_modules() {
  [ -f "$kdir/done-disk" ] && return 0
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$kdir" --wildcards './lib/modules/*/kernel/drivers/virtio/*' \
    './lib/modules/*/kernel/drivers/block/virtio_blk.ko' './lib/modules/*/kernel/fs/ext4/*' \
    './lib/modules/*/kernel/fs/jbd2/*' './lib/modules/*/kernel/fs/mbcache.ko' './lib/modules/*/kernel/lib/crc16.ko' \
    './lib/modules/*/kernel/crypto/crc32c_generic.ko'
  touch "$kdir/done-disk"
}

# The systemd machine's root: a minimal Debian bookworm with systemd, udev, apt and what the packages under test
# depend on, so that they install offline. Made once with debootstrap and kept in the cache as an ext4 image
# (mke2fs -d, nothing mounted); the machine boots it with QEMU's snapshot, so it stays as made.
ROOT_PACKAGES=systemd,systemd-sysv,udev,libusb-1.0-0,libstdc++6
build_root_image() {
  image=$cache/bookworm-systemd-$arch.ext4
  [ -f "$image" ] && return 0
  tmp=$cache/bookworm-systemd-$arch.tmp
  rm -rf "$tmp"
  # the archive this machine's apt uses
  mirror=$(grep -h -E '^(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/* 2>/dev/null | grep -v security |
           head -n 1 | awk '{print $2}')
  echo "vm: building the systemd machine's root with debootstrap into $image (once)"
  debootstrap --variant=minbase --include="$ROOT_PACKAGES" bookworm "$tmp" $mirror >"$tmp.log" 2>&1 ||
    { tail -n 20 "$tmp.log"; echo "vm: debootstrap failed (log: $tmp.log)"; exit 2; }
  # Nothing runs in the machine but what the job starts: no login on the console, no timers (apt's would fail
  # without a network and leave the system degraded).
  ln -sf /dev/null "$tmp/etc/systemd/system/serial-getty@ttyS0.service"
  rm -f "$tmp"/etc/systemd/system/timers.target.wants/*
  echo tessivar-vm > "$tmp/etc/hostname"
  # No package lists: the machine has no network, so apt must find every dependency installed (and does not
  # spend its time reading the archive's lists).
  rm -f "$tmp"/var/cache/apt/archives/*.deb "$tmp"/var/cache/apt/*.bin "$tmp"/var/lib/apt/lists/*_*
  mke2fs -q -t ext4 -L root -d "$tmp" "$image.tmp" 1G && mv "$image.tmp" "$image"
  rm -rf "$tmp" "$tmp.log"
}

# There is no modules.dep in the package: each module's depends= decides the order of loading.
module_order=""
add_module() {
  local name file deps d
  name=$(echo "$1" | tr - _)
  case " $module_order " in *" $name "*) return 0 ;; esac
  # file names may spell the underscores as dashes
  file=$(find "$kdir/lib/modules" \( -name "$name.ko" -o -name "$(echo "$name" | tr _ -).ko" \) | head -n 1)
  [ -n "$file" ] || { echo "vm: module $name not found in $deb"; exit 1; }
  deps=$(readelf -p .modinfo "$file" | sed -n 's/.*\]  depends=//p' | tr , ' ')
  for d in $deps; do add_module "$d"; done
  cp "$file" "$root/lib/modules/$name.ko"
  module_order="$module_order $name"
}

# Copies a program and every shared library it loads, at the same paths.
add_program() {
  cp -L "$1" "$root$2"
  ldd "$1" 2>/dev/null | grep -o '/[^ ]*' | while read -r lib; do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
  done
}

# The arm64 machine's user space: these packages hold busybox, udevadm and every library that it and the
# programs under test load. They are unpacked once into the cache; the libraries are then looked up there.
USERLAND_PACKAGES="busybox-static coreutils udev libc6 libgcc-s1 libstdc++6 libusb-1.0-0 libudev1 libkmod2 libacl1
  libblkid1 libcap2 libselinux1 libzstd1 liblzma5 libssl3 libpcre2-8-0"
fetch_userland() {
  sysroot=$cache/userland-$arch
  # unpacked anew when the list above changes
  [ "$(cat "$sysroot/done" 2>/dev/null)" = "$(echo $USERLAND_PACKAGES)" ] && return 0
  rm -rf "$sysroot" && mkdir -p "$sysroot/debs"
  echo "vm: fetching $arch user space into $sysroot"
  for p in $USERLAND_PACKAGES; do
    download "$p:$arch" "$sysroot/debs" || { echo "vm: cannot fetch $p:$arch"; exit 1; }
  done
  for d in "$sysroot"/debs/*.deb; do dpkg-deb -x "$d" "$sysroot"; done
  echo $USERLAND_PACKAGES > "$sysroot/done"
}

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }

# Copies a library named by its soname from the unpacked packages, and the libraries it loads, once each.
libraries_added=""
add_library() {
  local dir lib
  case " $libraries_added " in *" $1 "*) return 0 ;; esac
  libraries_added="$libraries_added $1"
  for dir in "lib/$triplet" "usr/lib/$triplet"; do
    [ -e "$sysroot/$dir/$1" ] || continue
    mkdir -p "$root/$dir"
    cp -L "$sysroot/$dir/$1" "$root/$dir/$1"
    for lib in $(needed "$sysroot/$dir/$1"); do add_library "$lib"; done
    return 0
  done
  echo "vm: library $1 not found in the $arch packages"; exit 1
}

# Like add_program, for a program of the guest's architecture: its loader and libraries from the packages.
add_foreign_program() {
  local loader lib
  cp -L "$1" "$root$2"
  loader=$(readelf -l "$1" | sed -n 's/.*program interpreter: \(.*\)]$/\1/p')
  if [ -n "$loader" ]; then
    mkdir -p "$root$(dirname "$loader")"
    cp -L "$sysroot$loader" "$root$loader"
  fi
  for lib in $(needed "$1"); do add_library "$lib"; done
}

fetch_kernel
unpack_kernel
out=$build/vm
root=$out/root
rm -rf "$root" && mkdir -p "$out"
mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" "$root/lib/modules" "$root/lib/systemd" \
  "$root/opt/vm" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/run" "$root/etc"
# stdbuf keeps the bridge's console line-buffered in its log, so a bridge that is killed loses no line
stdbuf_library=/usr/libexec/coreutils/libstdbuf.so
mkdir -p "$root$(dirname "$stdbuf_library")"
for m in dummy_hcd libcomposite usb_f_fs; do add_module "$m"; done
if [ "$job" = systemd ]; then
  unpack_disk_modules
  for m in virtio_pci virtio_blk crc32c_generic ext4; do add_module "$m"; done
  build_root_image
  ln -sf "$image" "$out/root.ext4"
fi
echo "$module_order" | tr ' ' '\n' | sed '/^$/d' > "$root/lib/modules/order"
if [ "$job" = systemd ]; then
  # the root has udev and the packages (or the staged install) bring the programs; phone and send run on its
  # libraries; the plug benchmark's part in the machine comes from bench/
  cp /bin/busybox "$root/bin/busybox"
  cp "$build/vm/phone" "$build/vm/send" "$here/../../bench/plugs-guest.sh" "$root/opt/vm/"
  for d in debs tree; do [ ! -d "$build/vm/$d" ] || cp -r "$build/vm/$d" "$root/opt/vm/$d"; done
elif [ "$arch" = amd64 ]; then
  cp /bin/busybox "$root/bin/busybox"
  add_program /bin/udevadm /bin/udevadm
  add_program /usr/bin/stdbuf /usr/bin/stdbuf
  add_program "$stdbuf_library" "$stdbuf_library"
  add_program "$build/bridge/accessory-bridge" /opt/vm/accessory-bridge
  for p in phone send host-loop; do add_program "$build/vm/$p" "/opt/vm/$p"; done
else
  case "$arch" in arm64) triplet=aarch64-linux-gnu ;; *) echo "vm: no machine for $arch"; exit 1 ;; esac
  fetch_userland
  cp "$sysroot/bin/busybox" "$root/bin/busybox"
  add_foreign_program "$sysroot/bin/udevadm" /bin/udevadm
  add_foreign_program "$sysroot/usr/bin/stdbuf" /usr/bin/stdbuf
  add_foreign_program "$sysroot$stdbuf_library" "$stdbuf_library"
  add_foreign_program "$build/bridge/accessory-bridge" /opt/vm/accessory-bridge
  for p in phone send host-loop; do add_foreign_program "$build/vm/$p" "/opt/vm/$p"; done
fi
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
cp "$here/init.sh" "$root/init"
cp "$here"/guest-*.sh "$root/opt/vm/"
chmod 755 "$root/init"
cp "$(ls "$kdir"/boot/vmlinuz-*)" "$out/vmlinuz"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 > "$out/initrd.gz")
echo "vm: image from $(basename "$deb"), modules:$module_order"
