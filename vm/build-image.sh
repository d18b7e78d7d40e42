#!/bin/sh
# Builds the test machine's boot files into BUILD_DIR/vm: the kernel from Debian's kernel package (fetched
# once into the cache and reused) and an initramfs with busybox, the USB modules, udevd, the programs under
# test and the shared libraries they load.
#   sh vm/build-image.sh BUILD_DIR    (BUILD_DIR holds bridge/accessory-bridge, built beforehand)
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)

# The kernel is pinned so runs repeat; when the archive no longer has this version, the current one is used.
KERNEL_PACKAGE=linux-image-6.1.0-50-amd64
KERNEL_VERSION=6.1.176-1
cache=${TESSIVAR_VM_CACHE:-${XDG_CACHE_HOME:+$XDG_CACHE_HOME/tessivar-vm}}
cache=${cache:-/var/cache/tessivar-vm}
mkdir -p "$cache"

# apt-get download into the cache, reading the package lists anew when they do not know the package yet
download() {
  (cd "$cache" && apt-get download -q "$1" >/dev/null 2>&1) && return 0
  apt-get update -q >/dev/null 2>&1
  (cd "$cache" && apt-get download -q "$1" >/dev/null 2>&1)
}

fetch_kernel() {
  deb=$(ls "$cache"/"$KERNEL_PACKAGE"_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] && return 0
  echo "vm: fetching $KERNEL_PACKAGE=$KERNEL_VERSION into $cache"
  if ! download "$KERNEL_PACKAGE=$KERNEL_VERSION"; then
    KERNEL_PACKAGE=$(apt-cache depends linux-image-amd64 | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1)
    echo "vm: $KERNEL_VERSION is gone from the archive; using the current $KERNEL_PACKAGE instead"
    ls "$cache"/"$KERNEL_PACKAGE"_*.deb >/dev/null 2>&1 || download "$KERNEL_PACKAGE" ||
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

# There is no modules.dep in the package: each module's depends= decides the order of loading.
module_order=""
add_module() {
  local name file deps d
  name=$(echo "$1" | tr - _)
  case " $module_order " in *" $name "*) return 0 ;; esac
  file=$(find "$kdir/lib/modules" -name '*.ko' | while read -r f; do
    [ "$(basename "$f" .ko | tr - _)" = "$name" ] && echo "$f"; done | head -n 1)
  [ -n "$file" ] || { echo "vm: module $name not found in $deb"; exit 1; }
  deps=$(objcopy -O binary -j .modinfo "$file" /dev/stdout | tr '\0' '\n' | sed -n 's/^depends=//p' | tr , ' ')
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

fetch_kernel
unpack_kernel
out=$build/vm
root=$out/root
rm -rf "$root" && mkdir -p "$out"
mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" "$root/lib/modules" "$root/lib/systemd" \
  "$root/opt/vm" "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/run" "$root/etc"
cp /bin/busybox "$root/bin/busybox"
for m in dummy_hcd libcomposite usb_f_fs; do add_module "$m"; done
echo "$module_order" | tr ' ' '\n' | sed '/^$/d' > "$root/lib/modules/order"
add_program /bin/udevadm /bin/udevadm
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
add_program "$build/bridge/accessory-bridge" /opt/vm/accessory-bridge
for p in phone send host-loop; do add_program "$build/vm/$p" "/opt/vm/$p"; done
cp "$here/init.sh" "$root/init"
cp "$here"/guest-*.sh "$root/opt/vm/"
chmod 755 "$root/init"
cp "$(ls "$kdir"/boot/vmlinuz-*)" "$out/vmlinuz"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1 > "$out/initrd.gz")
echo "vm: image from $(basename "$deb"), modules:$module_order"
