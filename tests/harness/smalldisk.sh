# A small disk for the patch run and configuration tests (free-space check, full-disk faults): a 64 MiB tmpfs,
# linked as drive S: in the Wine prefix. Sourced beside testbed.sh; needs root in the test bed's private mount
# namespace, where the mount also ends with the namespace.
#   smalldisk_up     after testbed_up; exports VEQ_SMALL_DISK=S: (tests skip the cases that need it without it)
#   smalldisk_down   before testbed_down
# tmpfs counts free space in whole 4 KiB pages and gives new directories and empty files no pages, which is what
# lets a test set the free space to an exact value.

smalldisk_up() {
  local dir=$build/smalldisk
  mkdir -p "$dir"
  mountpoint -q "$dir" || mount -t tmpfs -o size=64m,mode=0755 veq-smalldisk "$dir" || return 1
  ln -sfn "$dir" "$WINEPREFIX/dosdevices/s:"
  export VEQ_SMALL_DISK="S:" VEQ_SMALL_DISK_UNIX=$dir
}

smalldisk_down() {
  rm -f "$WINEPREFIX/dosdevices/s:"
  umount "$build/smalldisk" 2>/dev/null || true
}
