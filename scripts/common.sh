# Shared by the scripts: package installation and the build.
# shellcheck shell=bash

REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# What building and testing needs on Debian.
BUILD_PACKAGES=(cmake ninja-build g++ qt6-base-dev qt6-serialport-dev libgl-dev
                qt6-httpserver-dev qt6-websockets-dev libsodium-dev
                fonts-noto-cjk clang libclang-rt-14-dev
                xvfb xauth xdotool chromium
                pkg-config libmosquitto-dev mosquitto mosquitto-clients openssl ser2net
                libnova-dev libsqlite3-dev prometheus)

# What scripts/package needs beyond the build: Debian's packaging tools and
# checks.
PACKAGE_PACKAGES=(debhelper dpkg-dev devscripts fakeroot help2man python3 lintian
                  piuparts debootstrap curl systemd)

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

# The tests' browser driver: playwright-core as locked, for Debian's chromium
# (it downloads no browser of its own). NodeSource's node brings its own npm and
# conflicts with Debian's npm package, so Debian's node and npm come only where
# there is no node at all.
BROWSER_DRIVER_DIR="$REPO_ROOT/tests/support/browser"
ensure_browser_driver() {
    if ! command -v node >/dev/null; then
        ensure_packages nodejs npm
    elif ! command -v npm >/dev/null; then
        echo "node is installed without npm: install npm from where node came from" >&2
        return 1
    fi
    # Already as locked: nothing to fetch.
    (cd "$BROWSER_DRIVER_DIR" && node -e '
        const locked = require("./package-lock.json").packages["node_modules/playwright-core"];
        const installed = require("./node_modules/playwright-core/package.json");
        process.exit(locked.version === installed.version ? 0 : 1);' 2>/dev/null) && return 0
    (cd "$BROWSER_DRIVER_DIR" &&
        PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
}

# configure_and_build <build-dir> [cmake options...]
configure_and_build() {
    local dir="$1"
    shift
    cmake -S "$REPO_ROOT" -B "$REPO_ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
    cmake --build "$REPO_ROOT/$dir" --parallel "$(nproc)"
}
