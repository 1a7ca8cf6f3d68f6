# The Windows side of this machine for scripts/test, scripts/run and the nginx cases: sourced inside a private
# mount and network namespace (unshare --mount --net --propagation private), it brings up loopback, a trust store
# that holds a test CA, an X server and a Wine prefix, and takes them down again.
#   testbed_up PKI_DIR    PKI_DIR from scripts/make-pki; WINEPREFIX must be set (made on first use); the desktop
#                         is VEQ_DESKTOP (default 1024x768)
#   testbed_down          ends what testbed_up started, by pid, and this prefix's Wine processes
# After testbed_up: DISPLAY is set, and VEQ_WIN32 is 1 when this kernel runs 32-bit Windows programs, else 0.

testbed_pids=()
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver

testbed_up() {
  local pki=$1
  ip link set lo up
  # X sockets of our own: Xvfb -displayfd takes :0 in every network namespace and removes its socket on exit, so
  # a shared /tmp/.X11-unix would let one run take another's display away.
  mkdir -p /tmp/.X11-unix
  mount -t tmpfs -o mode=1777 veq-x11 /tmp/.X11-unix

  # Wine trusts the host's store: a copy with the test CA added, mounted over the original in this namespace only.
  testbed_certs=$(mktemp -d /tmp/veq-certs.XXXXXX)
  local certs=$testbed_certs
  cp -a /etc/ssl/certs/. "$certs/"
  cat "$pki/ca.pem" >>"$certs/ca-certificates.crt"
  cp "$pki/ca.pem" "$certs/veq-test-ca.pem"
  mount --bind "$certs" /etc/ssl/certs

  local fifo display
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  testbed_pids+=($!)
  read -r display <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$display"

  export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
  : "${WINEPREFIX:?testbed_up needs WINEPREFIX}"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix $WINEPREFIX (once)..."
    "$wine64" wineboot -i >/dev/null 2>&1 || true
    "$wineserver" -w
  fi
  # One virtual desktop: Wine manages the windows itself. Without it, and with no window manager on this display,
  # every window that closes (a message box) holds its thread for two seconds waiting for the manager's word. Set
  # before any Wine program runs, as a running desktop keeps the kind it started with.
  local desktop=${VEQ_DESKTOP:-1024x768}
  if ! grep -q "^\"Default\"=\"$desktop\"" "$WINEPREFIX/user.reg" 2>/dev/null; then
    "$wine64" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    "$wine64" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$desktop" /f >/dev/null 2>&1
    "$wineserver" -w
  fi
  "$wineserver" -p  # one wineserver for the whole run: each program starts fast
  export VEQ_WIN32=0
  if [ "$("$wine32" cmd /c echo 32 2>/dev/null | tr -d '\r')" = 32 ]; then VEQ_WIN32=1; fi
}

# A folder linked as drive LETTER: of the prefix (a plain folder: a Unix mount point would be a reparse point).
testbed_drive() {
  mkdir -p "$2"
  ln -sfn "$2" "$WINEPREFIX/dosdevices/$1:"
}

testbed_down() {
  "$wineserver" -k 2>/dev/null || true
  local pid
  for pid in "${testbed_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${testbed_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  testbed_pids=()
  umount /etc/ssl/certs 2>/dev/null || true
  [ -z "${testbed_certs:-}" ] || rm -rf "$testbed_certs"
  umount /tmp/.X11-unix 2>/dev/null || true
}
