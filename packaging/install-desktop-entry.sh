#!/bin/sh
# Points the desktop entry at this folder, wherever it was unpacked, and
# registers it for the current user's desktop.
set -eu
here="$(cd "$(dirname "$0")" && pwd)"
apps="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
mkdir -p "$apps"
sed -e "s|^Exec=.*|Exec=\"$here/relay-panel\"|" \
    -e "s|^Path=.*|Path=$here|" \
    -e "s|^Icon=.*|Icon=$here/relay-panel.png|" \
    "$here/relay-panel.desktop" > "$here/relay-panel.desktop.new"
mv "$here/relay-panel.desktop.new" "$here/relay-panel.desktop"
cp "$here/relay-panel.desktop" "$apps/relay-panel.desktop"
command -v update-desktop-database >/dev/null 2>&1 && update-desktop-database "$apps" || true
echo "Desktop entry: $apps/relay-panel.desktop -> $here/relay-panel"
