# Shared by the scripts: package installation and the build.
# shellcheck shell=bash

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# What building and testing needs on Debian.
BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev libgl-dev
                fonts-noto-cjk clang libclang-rt-14-dev
                xvfb xauth xdotool
                pkg-config libmosquitto-dev mosquitto mosquitto-clients openssl ser2net)

# Installs the Debian packages that are not there yet.
ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
}

# configure_and_build <build-dir> [cmake options...]
configure_and_build() {
    local dir="$1"
    shift
    cmake -S "$REPO_ROOT" -B "$REPO_ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$REPO_ROOT/$dir" --parallel "$(nproc)"
}
