# A PulseAudio daemon of our own for everything that plays audio under Wine:
#   source scripts/lib/pulse.sh; pulse_start; ...; pulse_stop
# Its null sink consumes samples in real time, as a sound card does, so the
# player sees the same pacing (and the same underruns, and no others) that a
# listener's machine gives it. What is played can be recorded from the sink's
# monitor with parec. The daemon runs in the foreground of a background job,
# with its socket in a fresh directory, never autospawns and never exits by
# itself; pulse_stop ends it.

TUNARA_PULSE_PID=""
TUNARA_PULSE_DIR=""
export TUNARA_PULSE_SINK=${TUNARA_PULSE_SINK:-tunara}

pulse_start() {
    [ -n "$TUNARA_PULSE_PID" ] && kill -0 "$TUNARA_PULSE_PID" 2>/dev/null && return 0
    # Under /tmp: a unix socket's path must stay short, whatever the checkout's.
    TUNARA_PULSE_DIR=$(mktemp -d /tmp/tunara-pulse.XXXXXX) || return 1
    mkdir -p "$TUNARA_PULSE_DIR/home"
    local native=$TUNARA_PULSE_DIR/native
    # -n: no default.pa, only the modules named here. Anonymous access on a
    # socket in a directory of our own needs no cookie.
    PULSE_RUNTIME_PATH=$TUNARA_PULSE_DIR PULSE_STATE_PATH=$TUNARA_PULSE_DIR/state \
        HOME=$TUNARA_PULSE_DIR/home \
        pulseaudio -n --daemonize=no --system=no --exit-idle-time=-1 --use-pid-file=no \
        --disable-shm=yes --log-target=stderr --log-level=warning --high-priority=yes --realtime=yes \
        -L "module-native-protocol-unix socket=$native auth-anonymous=1" \
        -L "module-null-sink sink_name=$TUNARA_PULSE_SINK rate=44100 channels=2" \
        </dev/null >"$TUNARA_PULSE_DIR/pulse.log" 2>&1 &
    TUNARA_PULSE_PID=$!
    export PULSE_SERVER=unix:$native
    # Clients neither start a daemon of their own nor look for a cookie.
    printf 'autospawn = no\n' >"$TUNARA_PULSE_DIR/client.conf"
    export PULSE_CLIENTCONFIG=$TUNARA_PULSE_DIR/client.conf
    export PULSE_SINK=$TUNARA_PULSE_SINK
    local _
    for _ in $(seq 100); do
        if [ -S "$native" ] && pactl info >/dev/null 2>&1; then
            return 0
        fi
        kill -0 "$TUNARA_PULSE_PID" 2>/dev/null || break
        sleep 0.05
    done
    echo "pulseaudio did not start:" >&2
    cat "$TUNARA_PULSE_DIR/pulse.log" >&2
    pulse_stop
    return 1
}

pulse_stop() {
    if [ -n "$TUNARA_PULSE_PID" ]; then
        kill "$TUNARA_PULSE_PID" 2>/dev/null
        wait "$TUNARA_PULSE_PID" 2>/dev/null
        TUNARA_PULSE_PID=""
    fi
    if [ -n "$TUNARA_PULSE_DIR" ]; then
        rm -rf "$TUNARA_PULSE_DIR"
        TUNARA_PULSE_DIR=""
    fi
    unset PULSE_SERVER PULSE_CLIENTCONFIG PULSE_SINK
}

# Wine plays through its PulseAudio driver only (no fallback to ALSA, whose
# null device takes samples faster than real time and hides the pacing).
wine_use_pulse() {
    local marker=$WINEPREFIX/.tunara-audio-pulse
    [ -f "$marker" ] && return 0
    wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /t REG_SZ /d pulse /f >/dev/null 2>&1 || return 1
    wineserver -w
    touch "$marker"
}
