# Shared Wine and Xvfb set-up for scripts/test, scripts/demo and by hand:
#   source scripts/lib/wine.sh; wine_setup; ...; wine_teardown
# Everything lives under build/: a private 32-bit prefix made once and reused,
# and an Xvfb of our own on a free display. Teardown stops only what we started.

TUNARA_ROOT=${TUNARA_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
export WINEPREFIX=${WINEPREFIX:-$TUNARA_ROOT/build/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
TUNARA_XVFB_PID=""

wine_prefix_ready() { [ -f "$WINEPREFIX/.tunara-ready" ]; }

wine_make_prefix() {
    wine_prefix_ready && return 0
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i >/dev/null 2>&1
    wineserver -w
    # A crashing program must end, not wait for a person at a crash dialog.
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.tunara-ready"
}

# Starts Xvfb at 1024x600x24 on a display of its own and exports DISPLAY.
# The display is picked here rather than by Xvfb's -displayfd search: in a
# network namespace of its own (how parallel runs keep their ports apart)
# Xvfb finds display 0 free, because abstract sockets belong to the
# namespace, and takes over the socket file and lock in the shared /tmp of a
# server that already has it; the first of the two to end then removes the
# other's files. So a display counts as free only when neither its lock nor
# its socket file exists, and the search starts at a number drawn from this
# checkout's path so that parallel checkouts rarely try the same one.
xvfb_start() {
    local fifo display="" n tries
    n=$(( 20 + $(printf '%s' "$TUNARA_ROOT" | cksum | cut -d' ' -f1) % 400 ))
    for tries in 1 2 3 4 5 6 7 8; do
        while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
        fifo=$(mktemp -u /tmp/tunara-xvfb.XXXXXX)
        mkfifo "$fifo"
        Xvfb ":$n" -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$fifo" >/dev/null 2>&1 &
        TUNARA_XVFB_PID=$!
        read -r -t 20 display <"$fifo" || true
        rm -f "$fifo"
        [ -n "$display" ] && break
        kill "$TUNARA_XVFB_PID" 2>/dev/null
        wait "$TUNARA_XVFB_PID" 2>/dev/null
        n=$((n + 1))
    done
    if [ -z "$display" ]; then
        echo "xvfb: did not start" >&2
        return 1
    fi
    export DISPLAY=":$display"
}

source "$TUNARA_ROOT/scripts/lib/pulse.sh"

# A HOME of our own, so that nothing Wine or its libraries write lands in
# the host's.
wine_home() {
    local home=$TUNARA_ROOT/build/winehome
    mkdir -p "$home"
    export HOME=$home
}

# The helper listens on a fixed port inside the kernel's range for outgoing
# connections: when a client socket of the tests (ffmpeg to Icecast, a proxy
# to its upstream) happens to get that port, the helper cannot bind it and
# ends at start. In a network namespace of our own the port is reserved;
# the host's setting is never touched.
reserve_helper_port() {
    local knob=/proc/sys/net/ipv4/ip_local_reserved_ports
    [ "$(readlink /proc/self/ns/net)" != "$(readlink /proc/1/ns/net 2>/dev/null)" ] || return 0
    [ -w "$knob" ] && echo 33645 >"$knob" 2>/dev/null
    return 0
}

# The prefix, Wine's audio through our own PulseAudio daemon, and a screen.
wine_setup() {
    reserve_helper_port
    wine_home
    wine_make_prefix || return 1
    wine_use_pulse || return 1
    pulse_start || return 1
    xvfb_start || return 1
    # A persistent server keeps each wine start warm (0.02 s instead of 0.5 s).
    wineserver -p >/dev/null 2>&1
}

wine_teardown() {
    wineserver -k >/dev/null 2>&1
    wineserver -w >/dev/null 2>&1
    if [ -n "$TUNARA_XVFB_PID" ]; then
        kill "$TUNARA_XVFB_PID" 2>/dev/null
        wait "$TUNARA_XVFB_PID" 2>/dev/null
        TUNARA_XVFB_PID=""
    fi
    pulse_stop
}
