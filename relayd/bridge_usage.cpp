#include "relayd/bridge_options.h"

namespace relay {

QString bridge_usage_text() {
    return QStringLiteral(R"(NAME
    relayd - every relay board of a serial line in an MQTT broker, Home Assistant
             and a web page

SYNOPSIS
    relayd [OPTIONS]

DESCRIPTION
    Owns the line, polls every board on it in turn (a cycle every 200 ms, or back
    to back when the boards take longer), and publishes each channel's state from
    the boards' replies only. Commands from the broker go out in the next free
    slot, ahead of polls, and are verified from the replies. Runs until SIGINT or
    SIGTERM, then publishes "offline", disconnects and closes the port.

LINE
    --port PORT         port number as in the panel (default 1): comN beside the
                        program, else the N-th serial port listed; or a device
                        path, best a /dev/serial/by-id/ one; or tcp:HOST:PORT,
                        a raw TCP line such as ser2net gives
    --boards LIST       addresses to serve: 1,7,200 or ranges 1-4 (default 1)
    --scan FROM-TO      find the boards at start instead (one query each)
    --verify-timeout MS a command's channels must show the wanted state within
                        this time, else an error event (default 1000)
    --name-file PATH    name.txt (or its directory) for names; default beside
                        the program, or in the state directory where that
                        cannot be written. Edits are picked up within 2 s; a
                        rename from the page or MQTT makes it when missing
    --state-dir DIR     what relayd keeps across restarts (the node id); default
                        $STATE_DIRECTORY (systemd's StateDirectory=), else
                        $XDG_STATE_HOME/relayd (~/.local/state/relayd). When it
                        cannot be written relayd says so and runs on
    --share PATH,...    a pseudo-terminal for another program at each PATH (a
                        link; build/com1 is port 1 of the panel in build/): it
                        sees the boards as if it had the line to itself. Status
                        queries are answered from the latest poll, commands go
                        to the line in the next free slot, replies come back

TIMED SWITCHING (A a board's address, C a channel)
    --pulse A:C=MS,...  a pulse length for a channel (50 ms to 24 h): PULSE
                        energises it for that long, timed by relayd
    --momentary A:C,... every ON of the channel is a pulse of its length
    --interlock A:C+C,... channels of which never two are energised: one is
                        released, shown released, then the other energised;
                        all on is refused on such a board
    --dead-time A=MS,...  the pause within a group after a release (default 0)

SCHEDULE (in the config file, one entry a line under [schedule]: NAME = ENTRY)
    --schedule NAME=ENTRY  an entry (see docs/schedules.md):
                        1:3 on from 06:00 to 06:20 mon-fri     a window
                        1:5 pulse 2s at 07:30,sunset-30m late 1h   an event
                        1:all off at 22:00                     all off
    --timezone ZONE     the entries' times are in ZONE (default: the system's)
    --location LAT,LON  where the boards are, for sunrise and sunset
    --trust-clock       run the schedule by the system clock as it reads; by
                        default it waits until the clock is synchronized by
                        NTP or was set from a real-time clock
    --next-runs N       print each entry's next N runs and exit

BROKER
    --broker URL        mqtt://HOST[:PORT] (default mqtt://localhost:1883) or
                        mqtts://HOST[:PORT] for TLS (default port 8883)
    --cafile FILE       TLS: the CA of the broker's certificate; the certificate
                        and the host name are verified
    --certfile FILE     TLS: a client certificate, with --keyfile FILE
    --username NAME
    --password-file FILE  the password, first line; or RELAYD_PASSWORD in the
                        environment. Never on the command line
    --client-id ID      default relayd-NODE
    --mqtt-version V    3.1.1 (default) or 5
    --fail-fast         exit (status 7) when the broker cannot be reached or
                        refuses, instead of retrying (1 s doubling to 30 s)
    --ha-runtime        Home Assistant sensors of each channel's energised time
                        and switch count (off: their configs are removed)

TOPICS
    --base-topic T      default relay; every topic is T/NODE/...
    --node-id NODE      default chosen at the first start for the line (any
                        spelling of it) as HOST-XXXXXXXX, from the host name
                        and --port, and kept in the state directory
    --discovery-prefix P  Home Assistant's, default homeassistant

WEB
    --http [ADDR:]PORT  a web page and JSON API for every board (see the README);
                        without ADDR on this host only (loopback). Without
                        --broker, MQTT is off: the page alone
    --http-users FILE   users who must log in (required for any ADDR but
                        loopback); written by --add-user
    --http-cert FILE    TLS: the certificate (PEM), with --http-key FILE
    --add-user NAME     ask for NAME's password (no echo) and write it, with
                        --role viewer (default: may look) or operator (may
                        switch and rename), to --http-users FILE; then exit

HISTORY (see docs/history.md)
    --no-history        keep no history (history = false); the runtime counters
                        are then kept in memory only
    --history-days N    keep N days of changes and commands (default 400)
    --history-max-mb N  and at most N MB, the oldest days going first (default
                        256); in STATE/history.sqlite
    GET /metrics on --http: the line's health for Prometheus

    --config FILE       an INI file with the same keys (port=..., boards=...);
                        options win
    --verbose           every frame on the line as well
    --version           the version
    -h, --help          this text

EXIT STATUS
    0   stopped by SIGINT or SIGTERM
    2   usage error
    3   the port cannot be opened at start
    4   --scan found no board
    7   --fail-fast: the broker cannot be reached or refused the connection
    8   --http: the web side cannot listen on its address
)");
}

}  // namespace relay
