# Sourced by scripts/test, scripts/demo and bench/run: picks the bench, then
# makes one fresh Wine prefix and one Xvfb display for the whole run,
# removed again by bench_stop.
#
# Two benches run the same tests:
#   win32  the shipped 32-bit build (build/) in a 32-bit prefix;
#   win64  the 64-bit test build of the same sources (build/win64/) in a
#          64-bit prefix, through the 64-bit loader, for machines whose
#          processor runs without its 32-bit mode ("Exec format error").
# STUB_BENCH=win32|win64 forces one; otherwise win32 where a tiny 32-bit
# program runs.

# Sets STUB_BENCH and BENCH_REASON; exports STUB_BENCH, STUB_BUILD,
# STUB_WINE and STUB_WINESERVER for the tests.
bench_pick() {
    root=${root:-$(cd "$(dirname "$0")/.." && pwd)}
    case "${STUB_BENCH:-}" in
    win32|win64) BENCH_REASON="STUB_BENCH=$STUB_BENCH was given" ;;
    "")
        if bench_runs_32bit; then
            STUB_BENCH=win32
            BENCH_REASON="this machine runs 32-bit programs"
        else
            STUB_BENCH=win64
            BENCH_REASON="this machine cannot run 32-bit programs"
        fi
        ;;
    *)
        echo "STUB_BENCH must be win32 or win64, not '$STUB_BENCH'" >&2
        return 2
        ;;
    esac
    export STUB_BENCH
    if [ "$STUB_BENCH" = win64 ]; then
        export STUB_BUILD="${BUILD_DIR:-$root/build}/win64"
        export STUB_WINE=/usr/lib/wine/wine64 STUB_WINESERVER=/usr/lib/wine/wineserver64
    else
        export STUB_BUILD="${BUILD_DIR:-$root/build}"
        export STUB_WINE=wine STUB_WINESERVER=wineserver
    fi
}

# A static 32-bit program that only exits: it runs, or the kernel refuses
# it. Made with the assembler and linker of binutils, so it needs nothing
# that is 32-bit on the machine.
bench_runs_32bit() {
    probe_dir=$(mktemp -d /tmp/stubprobe32.XXXXXX)
    printf '.globl _start\n_start:\n movl $1, %%eax\n xorl %%ebx, %%ebx\n int $0x80\n' \
        >"$probe_dir/exit.s"
    ok=1
    if as --32 -o "$probe_dir/exit.o" "$probe_dir/exit.s" 2>/dev/null &&
        ld -m elf_i386 -o "$probe_dir/exit" "$probe_dir/exit.o" 2>/dev/null &&
        "$probe_dir/exit" 2>/dev/null; then
        ok=0
    fi
    rm -rf "$probe_dir"
    return $ok
}

bench_line() {
    echo "bench: $STUB_BENCH ($BENCH_REASON)"
}

bench_start() {
    [ -n "$STUB_BENCH" ] || bench_pick
    BENCH_DIR=$(mktemp -d /tmp/stubbench.XXXXXX)
    export WINEPREFIX="$BENCH_DIR/prefix"
    export WINEARCH=$STUB_BENCH
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="

    # First free display number from 90 up.
    n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$BENCH_DIR/xvfb.log" 2>&1 &
    BENCH_XVFB=$!
    export DISPLAY=":$n"

    "$STUB_WINE" wineboot --init >"$BENCH_DIR/wineboot.log" 2>&1
    "$STUB_WINESERVER" -w
    # Keep one wineserver for the whole run: every wine start is cheaper.
    "$STUB_WINESERVER" -p
    "$STUB_WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    # Without a window manager, managed windows wait for one on every hide.
    "$STUB_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    for i in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
}

bench_stop() {
    [ -n "$WINEPREFIX" ] && "${STUB_WINESERVER:-wineserver}" -k >/dev/null 2>&1 || true
    [ -n "$BENCH_XVFB" ] && kill "$BENCH_XVFB" 2>/dev/null || true
    [ -n "$BENCH_DIR" ] && rm -rf "$BENCH_DIR"
}
