#!/bin/busybox sh
# The test machine's first process: mounts what the USB stack needs, loads the modules in order, starts
# udevd (libusb learns of re-enumerated devices from it), runs the job named on the kernel command line
# (tessivar.job=scenarios or bench), and powers off. For tessivar.job=systemd (and plugs, its benchmark) it
# hands over instead to systemd on the Debian root on the first disk, which runs the job as a service.
/bin/busybox --install -s
export PATH=/opt/vm:/bin:/sbin:/usr/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
while read -r m; do insmod "/lib/modules/$m.ko" || echo "vm: FAIL loading module $m"; done < /lib/modules/order
job=$(sed -n 's/.*tessivar\.job=\([a-z]*\).*/\1/p' /proc/cmdline)
if [ "$job" = systemd ] || [ "$job" = plugs ]; then
  n=0
  while [ ! -b /dev/vda ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
  mkdir /newroot
  mount -t ext4 /dev/vda /newroot || { echo "vm: FAIL mounting the root"; poweroff -f; }
  cp -a /opt/vm /newroot/opt/
  cp /bin/busybox /newroot/opt/vm/
  # Type=exec: a job that stayed "activating" would keep the system "starting" for the whole run.
  printf '%s\n' '[Unit]' 'After=multi-user.target' '[Service]' 'Type=exec' 'ExecStart=/bin/sh /opt/vm/guest-systemd.sh' \
    'StandardOutput=tty' 'StandardError=tty' 'TTYPath=/dev/ttyS0' > /newroot/etc/systemd/system/tessivar-job.service
  ln -s ../tessivar-job.service /newroot/etc/systemd/system/multi-user.target.wants/
  umount /tmp /run /sys /proc
  mount --move /dev /newroot/dev
  exec switch_root /newroot /sbin/init
fi
mount -t configfs configfs /sys/kernel/config
ip link set lo up
/lib/systemd/systemd-udevd --daemon
echo "vm: booted in $(cut -d' ' -f1 /proc/uptime) s, running $job"
sh "/opt/vm/guest-$job.sh"
echo "vm: $job ended after $(cut -d' ' -f1 /proc/uptime) s"
poweroff -f
