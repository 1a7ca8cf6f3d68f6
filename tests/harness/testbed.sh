# Test bed for the Windows suite, sourced inside a private mount+network namespace:
# loopback, test PKI trusted by Wine, Xvfb, a Wine prefix with the test drive T:, a persistent wineserver,
# and the test HTTPS server. `testbed_down` stops only what `testbed_up` started.

testbed_pids=()

testbed_up() {
  ip link set lo up

  local pki=$build/test-pki
  if [ -x "$root/tests/harness/make-pki" ]; then "$root/tests/harness/make-pki" "$pki" >/dev/null; fi
  # Trust store seen by Wine: a copy of the host's with the test CA added, mounted over the original here only.
  local certs=$build/test-certs
  rm -rf "$certs"
  cp -a /etc/ssl/certs "$certs"
  if [ -f "$pki/ca.pem" ]; then
    cat "$pki/ca.pem" >> "$certs/ca-certificates.crt"
    cp "$pki/ca.pem" "$certs/veq-test-ca.pem"
  fi
  mount --bind "$certs" /etc/ssl/certs

  # Xvfb picks a free display itself, so parallel test runs cannot collide.
  local fifo
  fifo=$(mktemp -u)
  mkfifo "$fifo"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
  testbed_pids+=($!)
  local display
  read -r display <"$fifo"
  rm -f "$fifo"
  export DISPLAY=":$display"

  export WINEPREFIX=$build/wine WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "creating the Wine prefix (once per build tree)..."
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w
  fi
  # T: is a plain folder, so test install folders never sit below a Unix mount point (a reparse point to Wine).
  export VEQ_TEST_ROOT="T:" VEQ_TEST_ROOT_UNIX=$build/testroot
  rm -rf "$VEQ_TEST_ROOT_UNIX"
  mkdir -p "$VEQ_TEST_ROOT_UNIX"
  ln -sfn "$VEQ_TEST_ROOT_UNIX" "$WINEPREFIX/dosdevices/t:"
  /usr/lib/wine/wineserver -p
  # Wine's helper processes (services, explorer /desktop) start with the first program that needs them and keep
  # that program's stdout; started from a test, they would hold CTest's pipe open until the end. So start them
  # here, and keep the desktop in use for the whole run (Wine ends an unused desktop, and a test would restart it).
  /usr/lib/wine/wine64 "$build/win64/desktop_keeper.exe" </dev/null >/dev/null 2>&1 &
  testbed_pids+=($!)
  # One window test run to the end: once it has passed, the desktop is up (and held by the keeper).
  /usr/lib/wine/wine64 "$build/win64/veq-wintests.exe" --gtest_filter=ShellWindow.ClassCaptionStyleAndClientArea \
    </dev/null >/dev/null 2>&1 || true
  export VEQ_CTL_PORT=8081

  local server=$build/native/tests/server/veq-testserver
  if [ -x "$server" ]; then
    mkdir -p "$build/test-release" "$build/test-uploads"
    local ready=$build/testserver.ready
    rm -f "$ready"
    "$server" --https 127.0.0.1:443 --control 127.0.0.1:$VEQ_CTL_PORT --pki "$pki" \
      --release "$build/test-release" --uploads "$build/test-uploads" >"$ready" 2>"$build/testserver.log" &
    testbed_pids+=($!)
    for _ in $(seq 100); do grep -q ready "$ready" 2>/dev/null && break; sleep 0.1; done
    grep -q ready "$ready" || { echo "test server did not start:"; cat "$build/testserver.log"; return 1; }
  fi
}

testbed_down() {
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  for pid in "${testbed_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${testbed_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  umount /etc/ssl/certs 2>/dev/null || true
}
