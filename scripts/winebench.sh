# Sourced by scripts/test and scripts/demo: one fresh Wine prefix and one
# Xvfb display for the whole run, removed again by bench_stop.

bench_start() {
    BENCH_DIR=$(mktemp -d /tmp/stubbench.XXXXXX)
    export WINEPREFIX="$BENCH_DIR/prefix"
    export WINEARCH=win32
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="

    # First free display number from 90 up.
    n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$BENCH_DIR/xvfb.log" 2>&1 &
    BENCH_XVFB=$!
    export DISPLAY=":$n"

    wineboot --init >"$BENCH_DIR/wineboot.log" 2>&1
    wineserver -w
    # Keep one wineserver for the whole run: every wine start is cheaper.
    wineserver -p
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    # Without a window manager, managed windows wait for one on every hide.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    for i in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

bench_stop() {
    [ -n "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1 || true
    [ -n "$BENCH_XVFB" ] && kill "$BENCH_XVFB" 2>/dev/null || true
    [ -n "$BENCH_DIR" ] && rm -rf "$BENCH_DIR"
}
