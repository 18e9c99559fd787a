# Installs what a fresh Debian 12 machine lacks for building and testing,
# and nothing when everything is there already (a second run is quick).

TUNARA_PACKAGES=(
    cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
    g++-mingw-w64-i686-posix binutils-mingw-w64-i686
    wine wine32 xvfb xauth x11-apps imagemagick
    python3 python3-pytest lame clang-format
)
# AAC: the test audio is encoded with ffmpeg, and Wine's AAC decoder
# transform decodes through GStreamer's 32-bit libav plugin.
TUNARA_PACKAGES+=(ffmpeg gstreamer1.0-plugins-base:i386 gstreamer1.0-libav:i386)

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
    # shellcheck disable=SC2086
    apt-get install -y -q $missing >/dev/null || return 1
}
