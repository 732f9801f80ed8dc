#!/usr/bin/env bash
# Who may include whom. The core knows no program and no outside world, the
# schedules only the core; relayd's line knows no adapter; an adapter knows
# only the core, the schedules, relayd's line, the history and itself. Prints every include
# that breaks this and fails.
set -uo pipefail
cd "${1:-$(dirname "$0")/../..}"

# relayd's program files; everything else in relayd/ is its line.
program='^relayd/(main|bridge_options|bridge_usage|add_user|node_id|next_runs)\.'

room_of() {
    case "$1" in
        protocol/* | controller/* | names/* | serial/*) echo core ;;
        relayd/*) [[ $1 =~ $program ]] && echo relayd || echo line ;;
        *) echo "${1%%/*}" ;;
    esac
}

# A room and the rooms it may include from (itself always).
declare -A may=(
    [core]="core"
    [schedule]="core"
    [line]="core schedule"
    [history]="core line schedule"
    [mqtt]="core line schedule history"
    [web]="core line schedule history"
    [relayd]="core line mqtt web schedule history"
    [ui]="core"
    [app]="core ui"
    [cli]="core"
    [tools]="core"
)
# System headers of one outside world, and the rooms that may include them.
declare -A world=([mosquitto]='<mosquitto' [http]='<(QHttp|QAbstractHttp|QWebSocket|sodium)'
                  [widgets]='<(QtWidgets|QWidget|QLabel|QDialog|QMainWindow|QApplication)')
declare -A world_rooms=([mosquitto]="mqtt" [http]="web" [widgets]="ui app")

broken=0
while IFS= read -r file; do
    from="$(room_of "$file")"
    allowed=" $from ${may[$from]:-} "
    while IFS= read -r header; do
        to="$(room_of "$header")"
        if [[ $allowed != *" $to "* ]]; then
            echo "$file includes $header: $from may not use $to"
            broken=1
        fi
    done < <(sed -n 's/^#include "\([a-z_]*\/[^"]*\)".*/\1/p' "$file")
    for w in "${!world[@]}"; do
        if [[ " ${world_rooms[$w]} " != *" $from "* ]] &&
            grep -Eq "^#include ${world[$w]}" "$file"; then
            echo "$file includes a $w header: only ${world_rooms[$w]} may"
            broken=1
        fi
    done
done < <(find protocol controller names serial schedule relayd history mqtt web ui app cli tools \
    -name '*.h' -o -name '*.cpp' | sort)
[ "$broken" -eq 0 ] && echo "every room includes only what it may"
exit "$broken"
