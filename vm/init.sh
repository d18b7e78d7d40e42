#!/bin/busybox sh
# The test machine's first process: mounts what the USB stack needs, loads the modules in order, starts
# udevd (libusb learns of re-enumerated devices from it), runs the job named on the kernel command line
# (tessivar.job=scenarios or bench), and powers off.
/bin/busybox --install -s
export PATH=/opt/vm:/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
while read -r m; do insmod "/lib/modules/$m.ko" || echo "vm: FAIL loading module $m"; done < /lib/modules/order
mount -t configfs configfs /sys/kernel/config
ip link set lo up
/lib/systemd/systemd-udevd --daemon
job=$(sed -n 's/.*tessivar\.job=\([a-z]*\).*/\1/p' /proc/cmdline)
echo "vm: booted in $(cut -d' ' -f1 /proc/uptime) s, running $job"
sh "/opt/vm/guest-$job.sh"
echo "vm: $job ended after $(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
