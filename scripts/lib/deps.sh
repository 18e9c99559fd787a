# Installs what a fresh Debian 12 machine lacks for building and testing,
# and nothing when everything is there already (a second run is quick).

TUNARA_PACKAGES=(
    cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    wine wine32 xvfb xauth x11-apps imagemagick
    python3 python3-pytest python3-numpy lame clang-format
    # The real parts the radio tests, the demo and the benchmark play against:
    # a paced audio sink, a streaming server and its source, a proxy in
    # front, a test certificate authority, and the reference player.
    pulseaudio pulseaudio-utils icecast2 ffmpeg nginx-light openssl ca-certificates mpv
)
# AAC: Wine's AAC decoder transform decodes through GStreamer's 32-bit
# libav plugin.
TUNARA_PACKAGES+=(gstreamer1.0-plugins-base:i386 gstreamer1.0-libav:i386)

deps_missing() {
    local p missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    echo "${missing[@]}"
}

ensure_packages() {
    local missing
    missing=$(deps_missing "${TUNARA_PACKAGES[@]}")
    [ -z "$missing" ] && return 0
    echo "installing: $missing"
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages and not root: $missing" >&2
        return 1
    fi
    # wine32 is an i386 package.
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q >/dev/null || return 1
    # Servers that come as packages (nginx, icecast2) must not start as
    # system services: the tests start their own with configs of their own.
    local policy=/usr/sbin/policy-rc.d ours=0 rc=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && ours=1
    fi
    # shellcheck disable=SC2086
    apt-get install -y -q $missing >/dev/null || rc=1
    [ "$ours" = 1 ] && rm -f "$policy"
    return $rc
}
