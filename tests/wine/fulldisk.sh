#!/bin/sh
# Maps a small tmpfs as a drive of the build's Wine prefix: a disk that
# really fills up, for the tests of writes to a full disk. Mounting needs
# root; where it is not allowed the drive stays missing and the tests that
# want it skip. Usage: fulldisk.sh start|stop STATE_DIR WINE_PREFIX LETTER SIZE_MB
set -u
state="$2"
prefix="$3"
link="$prefix/dosdevices/$4:"
size="$5"
mnt="$state/mnt"

stop() {
  rm -f "$link"
  if mountpoint -q "$mnt" 2>/dev/null; then
    # A Wine process still ending may hold a file there a moment longer.
    umount "$mnt" 2>/dev/null || umount -l "$mnt"
  fi
}

case "$1" in
  start)
    stop
    mkdir -p "$mnt"
    if ! mount -t tmpfs -o "size=${size}m,mode=0777" veltra-fulldisk "$mnt" 2>/dev/null; then
      echo "no full-disk drive: tmpfs cannot be mounted here (root needed)"
      exit 0
    fi
    ln -s "$mnt" "$link"
    ;;
  stop)
    stop
    ;;
esac
exit 0
