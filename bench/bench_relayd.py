"""scripts/bench_relayd's measurements (see there): prints one table, every
measure with its goal, then where a command's and a tap's time goes.
  bench_relayd.py BUILD_DIR WORK_DIR BROWSER_DRIVER_DIR [SECTION...]"""
import os
import signal
import subprocess
import sys
import types

import history_measures
import latency_trace
import line_measures
import loopback_capture
import schedule_measures
import share_measures
import timed_measures
import web_measures
from browser import Browser
from relayd_rig import Rig, board_frames, free_port, stop, wait_listening

SECTIONS = ["latency", "bus", "idle", "share", "relayctl", "tap", "live", "page", "pulse", "interlock",
            "schedule", "history"]


def setting(name, default):
    return int(os.environ.get(name, default))


class WebSide:
    """relayd with its web side on loopback (no users) and the browser, started
    when first wanted."""

    def __init__(self, run, driver_dir):
        self.run, self.driver_dir = run, driver_dir
        self.browser, self.version = None, None

    def line(self, boards, port=None, log=False):
        port = port or free_port()
        sim, sim_log, bridge, _ = self.run.rig.start_line(boards, log=log,
                                                          relayd_args=["--http", str(port)])
        wait_listening(port)
        return port, sim, sim_log, bridge

    def the_browser(self):
        if self.browser is None:
            self.browser = Browser(self.driver_dir, self.run.rig.spawn)
            self.version = self.browser.version
        return self.browser

    def close_browser(self):
        if self.browser is not None:
            self.browser.close()
            self.browser = None

    def one_board(self, taps, clients, changes, idle_seconds):
        """Taps in the page (traced where the bench may capture), then the live streams."""
        run = self.run
        port = free_port()
        capture = (loopback_capture.LoopbackCapture(port)
                   if "tap" in run.wanted and loopback_capture.available() else None)
        port, sim, sim_log, bridge = self.line([1], port, log=capture is not None)
        if "tap" in run.wanted:
            rows, notes, clocks = web_measures.tap(self.the_browser(), port, taps, gap_ms=200)
            add(run, rows, notes)
            if capture:
                hops, unmatched = latency_trace.analyse_taps(
                    clocks, capture.snapshot(), board_frames(sim_log.snapshot()), port, 3)
                capture.close()
                run.traces.append(("Where a tap's time goes", latency_trace.tap_table(hops)))
                if unmatched:
                    run.odd.append(f"taps the trace could not follow: {unmatched}")
        if "live" in run.wanted:
            add(run, *web_measures.live_streams(sim, bridge, port, clients, changes, idle_seconds))
        stop(bridge, sim)

    def page(self, loads):
        port, sim, _, bridge = self.line(list(range(1, 17)))
        add(self.run, *web_measures.page_load(self.the_browser(), port, 16, loads))
        stop(bridge, sim)


def add(run, rows, notes):
    run.results.extend(rows)
    run.odd.extend(notes)


def measure(run, web):
    wanted = run.wanted
    run.rig.start_broker()
    if "latency" in wanted:
        line_measures.command_latency(run, setting("COMMANDS", 300))
    if "bus" in wanted:
        line_measures.bus_rate(run, setting("BUS_SECONDS", 10))
    if "idle" in wanted:
        line_measures.idle_cost(run, setting("IDLE_SECONDS", 20))
    if "share" in wanted or "relayctl" in wanted:
        share_measures.shared_port(run, setting("SHARE_QUERIES", 300),
                                   setting("SHARE_COMMANDS", 200), setting("RELAYCTL_RUNS", 30))
    if "tap" in wanted or "live" in wanted:
        web.one_board(setting("TAPS", 200), setting("CLIENTS", 100), setting("CHANGES", 100),
                      setting("WEB_IDLE_SECONDS", 20))
    if "page" in wanted:
        web.page(setting("PAGE_LOADS", 10))
    web.close_browser()  # idle or not, not beside what follows
    if "pulse" in wanted:
        timed_measures.pulses(run, [100, 500, 5000], [50, 50, setting("LONG_PULSES", 12)])
    if "interlock" in wanted:
        timed_measures.dead_time(run, setting("DEAD_TIME_MS", 100), setting("REVERSALS", 50))
        timed_measures.storm(run, setting("STORM_COMMANDS", 10000), setting("STORM_DEAD_MS", 20))
    if "schedule" in wanted:
        schedule_measures.run_accuracy(run, setting("SCHEDULE_RUNS", 40))
        schedule_measures.idle_with_entries(run, 1000, setting("IDLE_SECONDS", 20))
        schedule_measures.scheduler_costs(run, os.path.join(run.rig.bin_dir, "bench_schedule"))
    if "history" in wanted:
        history_measures.latency_on_and_off(run, setting("HISTORY_COMMANDS", 300))
        history_measures.year_of_history(run, web)
        history_measures.scrape_and_idle(run, setting("IDLE_SECONDS", 20))


def print_table(rows, header):
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(len(header))]
    for row in [header, tuple("-" * w for w in widths)] + rows:
        print("| " + " | ".join(f"{c:<{w}}" for c, w in zip(row, widths)) + " |")


def report(run, web):
    cpu = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo")
                if l.startswith("model name")), "?")
    version = subprocess.run(["mosquitto", "-h"], capture_output=True, text=True).stdout
    print()
    print(f"Machine: {cpu}, {os.cpu_count()} cores; {os.uname().sysname} {os.uname().release}; "
          f"{version.splitlines()[0] if version else 'mosquitto ?'}"
          f"{' (set_tcp_nodelay true)' if run.rig.broker_nodelay else ' (defaults)'}; "
          f"load average {os.getloadavg()[0]:.2f} at the end")
    print(f"Virtual boards: 9600 baud 8N1 line time, turnaround {run.rig.turnaround} ms, "
          "on a pseudo-terminal" + (f"; chromium {web.version}" if web.version else ""))
    print()
    print_table(run.results, ("measure", "result", "goal"))
    for title, (hops, counts) in run.traces:
        print(f"\n{title} (ms; from segments on the loopback interface and the board's log):\n")
        print_table(hops, ("hop", "p50", "p99", "mean at >= p95", "mean at >= p99",
                           "share at >= p99"))
        for line in counts:
            print(f"  {line}")
    for note in run.odd:
        print(f"\nNote: {note}")


def main():
    bin_dir, work, driver_dir = sys.argv[1:4]
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    rig = Rig(bin_dir, work, setting("TURNAROUND_MS", 5),
              broker_nodelay=bool(setting("BROKER_NODELAY", 0)))
    run = types.SimpleNamespace(rig=rig, results=[], odd=[], traces=[],
                                wanted=sys.argv[4:] or SECTIONS)
    web = WebSide(run, driver_dir)
    try:
        measure(run, web)
    except Exception:
        for line in rig.relayd_log_tail():
            print(line, file=sys.stderr)
        raise
    finally:
        web.close_browser()
        rig.stop_all()
    report(run, web)


if __name__ == "__main__":
    main()
