#!/bin/sh
# PID 1 of the private namespaces until it becomes systemd. Every mount below lives in
# the private mount namespace and goes with it; each carries the run's TAG as its source
# so a check from the host can prove none is left.
#
# usage: init.sh FOLDER TAG CONSOLE MASKS
#   FOLDER   the run's folder under /tmp (kept visible inside)
#   TAG      source name of every mount made here
#   CONSOLE  the host pseudo-terminal that the driver copies into console.log
#   MASKS    file with the names of the units and generators to mask, one a line
set -eu
FOLDER=$1 TAG=$2 CONSOLE=$3 MASKS=$4

# The console first: the new /dev below hides the host's pseudo-terminals.
: >"$FOLDER/console"
mount --bind "$CONSOLE" "$FOLDER/console"

mount -t tmpfs -o mode=0755,nosuid,nodev "$TAG" /run

# A private /dev: only the devices a service needs, no host disk.
mount -t tmpfs -o mode=0755,nosuid "$TAG" /dev
mknod -m 0666 /dev/null c 1 3
mknod -m 0666 /dev/zero c 1 5
mknod -m 0666 /dev/full c 1 7
mknod -m 0666 /dev/random c 1 8
mknod -m 0666 /dev/urandom c 1 9
mknod -m 0666 /dev/tty c 5 0
mkdir /dev/pts /dev/shm
mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 "$TAG" /dev/pts
ln -s pts/ptmx /dev/ptmx
mount -t tmpfs -o mode=1777,nosuid,nodev "$TAG" /dev/shm
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr
# systemd reopens the console for every message: a plain file would be overwritten.
: >/dev/console
mount --bind "$FOLDER/console" /dev/console

# A private /tmp that holds only the run's own folder.
mkdir /run/tallowmere-folder
mount --bind "$FOLDER" /run/tallowmere-folder
mount -t tmpfs -o mode=1777,nosuid,nodev "$TAG" /tmp
mkdir -p "$FOLDER"
mount --move /run/tallowmere-folder "$FOLDER"
rmdir /run/tallowmere-folder

# Units write state here; without these the host's /var would get it.
for d in /var/tmp /var/lib /var/cache /var/log /var/spool; do
  mount -t tmpfs -o mode=0755,nosuid,nodev "$TAG" "$d"
done
chmod 1777 /var/tmp

# The service account exists only in this namespace's copy of the user database.
mount --bind "$FOLDER/root/etc/passwd" /etc/passwd
mount --bind "$FOLDER/root/etc/group" /etc/group

# The kernel's settings are the host's: read-only here. "bind" keeps the change on this
# namespace's copy of the mount (a plain remount would change the host's).
mount --bind /sys /sys
mount -o remount,bind,ro /sys
mount --bind /proc/sys /proc/sys
mount -o remount,bind,ro /proc/sys
if [ -e /proc/sysrq-trigger ]; then
  mount --bind /proc/sysrq-trigger /proc/sysrq-trigger
  mount -o remount,bind,ro /proc/sysrq-trigger
fi

# The cgroup roots of the namespace are the run's own subtrees on the host. systemd
# mounts every controller hierarchy that /proc/cgroups lists and makes init.scope and
# system.slice in each; the host's devices, pids and memory trees got them: list none.
: >"$FOLDER/cgroups"
mount --bind "$FOLDER/cgroups" /proc/cgroups
mount -t tmpfs -o mode=0755,nosuid,nodev,noexec "$TAG" /sys/fs/cgroup
mkdir /sys/fs/cgroup/systemd /sys/fs/cgroup/unified
mount -t cgroup -o none,name=systemd,nosuid,nodev,noexec "$TAG" /sys/fs/cgroup/systemd
mount -t cgroup2 -o nosuid,nodev,noexec "$TAG" /sys/fs/cgroup/unified

# Masks protect the host: tmpfiles would empty the shared /tmp, sysusers would write
# /etc/passwd, the image's enabled services and timers would start.
mkdir -p /run/systemd/system /run/systemd/system-generators
while read -r name; do
  case $name in
    *-generator) ln -s /dev/null "/run/systemd/system-generators/$name" ;;
    ?*) ln -s /dev/null "/run/systemd/system/$name" ;;
  esac
done <"$MASKS"

# The kernel and the clock are the host's.
exec setpriv --bounding-set -sys_module,-sys_time -- \
  env -i container=other PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  /lib/systemd/systemd --system --unit=multi-user.target
