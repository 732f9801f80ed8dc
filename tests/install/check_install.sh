#!/usr/bin/env bash
# The installed folder runs from its desktop entry's command and keeps name.txt
# beside the program; the tarball does the same once its entry is pointed at it.
set -euo pipefail
build="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Starts the entry's command on a virtual display and answers the start-up
# messages (file not found, file created) with Enter until name.txt is there.
start_from_entry() {
    local entry="$1"
    local exec
    exec="$(sed -n 's/^Exec="\{0,1\}\([^"]*\)"\{0,1\}$/\1/p' "$entry")"
    [ -x "$exec" ] || { echo "Exec does not name a program: $exec"; exit 1; }
    (cd / && timeout 90 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
        "$1" >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 60); do
            sleep 0.5
            xdotool key Return 2>/dev/null || true
            [ -f "$(dirname "$1")/name.txt" ] && break
        done
        sleep 0.5
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true' _ "$exec")
}

expect_name_file() {
    local dir="$1"
    [ -f "$dir/name.txt" ] || { echo "no name.txt in $dir"; exit 1; }
    head -c 10 "$dir/name.txt" | iconv -f GBK -t UTF-8 | grep -q '^\[软件属性\]' \
        || { echo "name.txt in $dir does not start with the title section"; exit 1; }
}

prefix="$work/prefix with space"
cmake --install "$build" --prefix "$prefix" >/dev/null
for file in relay-panel relay-panel.png relay-panel.desktop install-desktop-entry.sh \
    relayctl relayd relayd.service relayd.conf.example; do
    [ -e "$prefix/$file" ] || { echo "missing $file"; exit 1; }
done
start_from_entry "$prefix/relay-panel.desktop"
expect_name_file "$prefix"
grep -qx "ExecStart=\"$prefix/relayd\" --config \"$prefix/relayd.conf\"" "$prefix/relayd.service" \
    || { echo "relayd.service does not start the installed relayd"; exit 1; }
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify "$prefix/relayd.service" 2>&1 | grep -v "Unknown user\|relayd.conf" || true
fi

cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null
tarball="$(ls "$work"/package/relay-panel-*.tar.gz)"
mkdir -p "$work/unpacked"
tar -xzf "$tarball" -C "$work/unpacked"
folder="$(ls -d "$work"/unpacked/relay-panel-*)"
XDG_DATA_HOME="$work/data" "$folder/install-desktop-entry.sh" >/dev/null
start_from_entry "$work/data/applications/relay-panel.desktop"
expect_name_file "$folder"
echo "install folder and tarball: ok"
