"""The schedule on the line, from the virtual board's log: how close to its
time a run's frame is heard with one board and with sixteen polled, what 1,000
entries cost relayd's idle loop, and (bench_schedule, Google Benchmark) the
scheduler's own cost at start and per wake. Each takes the run and adds its rows."""
import datetime
import os
import subprocess
import time

from relayd_rig import BYTE_MS, board_frames, cpu_seconds, percentile, stop


def schedule_args(run, entries):
    state = os.path.join(run.rig.work, f"state-{time.monotonic_ns()}")
    args = ["--trust-clock", "--state-dir", state]
    for name, text in entries:
        args += ["--schedule", f"{name}={text}"]
    return args


def run_accuracy(run, count):
    """One entry toggling board 1's channel 3 once a second: each frame heard
    less the second it was due at; and the line's polls meanwhile."""
    for boards in ([1], list(range(1, 17))):
        first = datetime.datetime.now().replace(microsecond=0) + datetime.timedelta(seconds=6)
        dues = [first + datetime.timedelta(seconds=i) for i in range(count)]
        times = ",".join(d.strftime("%H:%M:%S") for d in dues)
        sim, sim_log, bridge, _ = run.rig.start_line(
            boards, log=True, relayd_args=schedule_args(run, [("acc", f"1:3 toggle at {times}")]))
        time.sleep(max(0, (dues[-1] - datetime.datetime.now()).total_seconds()) + 1)
        frames = board_frames(sim_log.snapshot())
        stop(bridge, sim)
        heard = [t for t, way, data in frames
                 if way == "in" and len(data) == 8 and data[1] == 1 and data[2] in (0x11, 0x12)
                 and data[6] == 3]
        errors = []
        for due in dues:
            at = due.timestamp()
            after = [t for t in heard if at - 0.5 <= t < at + 0.5]
            if after:
                errors.append((min(after) - at) * 1000)
        if len(errors) != count:
            run.odd.append(f"schedule runs, {len(boards)} board(s): {len(errors)} of {count} heard")
        if os.environ.get("SCHEDULE_ERRORS"):
            run.odd.append(f"schedule errors, {len(boards)} board(s): {[round(e, 1) for e in errors]}")
        within = [data for t, way, data in frames if way == "in" and len(data) == 8
                  and dues[0].timestamp() <= t < dues[-1].timestamp()]
        limit = 1000 / (16 * BYTE_MS + run.rig.turnaround)
        seconds = max(1, (dues[-1] - dues[0]).total_seconds())
        polls = sum(1 for data in within if data[2] == 0x10) / seconds
        exchanges = len(within) / seconds
        goal = 5 if len(boards) == 1 else 16 * BYTE_MS + run.rig.turnaround
        run.results.append((
            f"schedule run, {len(boards)} board(s): frame heard less its time, p50 / p99 / max "
            f"({len(errors)})",
            f"{percentile(errors, 50):.1f} / {percentile(errors, 99):.1f} / {max(errors):.1f} ms",
            f"p99 < {goal:.0f} ms"))
        if len(boards) > 1:
            run.results.append((f"exchanges/s meanwhile (polls and the runs), polls/s, against "
                                f"the line's limit of {limit:.1f}",
                                f"{exchanges / limit:.3f}, {polls / limit:.3f}", ">= 0.95"))


def idle_with_entries(run, entries, seconds):
    """relayd polling one board with a thousand entries none of which is due."""
    later = datetime.datetime.now() + datetime.timedelta(hours=3)
    texts = [(f"e{i}", f"1:{1 + i % 16} on at {later:%H}:{i % 60:02d} "
                       f"{'mon,tue,wed,thu,fri,sat,sun'.split(',')[i % 7]}") for i in range(entries)]
    config = os.path.join(run.rig.work, "schedule.conf")
    with open(config, "w") as f:
        f.write("[schedule]\n" + "".join(f"{name} = {text}\n" for name, text in texts))
    args = ["--trust-clock", "--state-dir", os.path.join(run.rig.work, "state-idle"),
            "--config", config]
    sim, _, bridge, _ = run.rig.start_line([1], relayd_args=args)
    time.sleep(2)
    cpu_begin, wall_begin = cpu_seconds(bridge.pid), time.perf_counter()
    time.sleep(seconds)
    cpu = (cpu_seconds(bridge.pid) - cpu_begin) / (time.perf_counter() - wall_begin) * 100
    stop(bridge, sim)
    run.results.append((f"CPU while polling 1 board with {entries} entries, none due "
                        f"({seconds} s, one core = 100%)", f"{cpu:.2f} %", "< 0.5 %"))


def scheduler_costs(run, bench_exe):
    out = subprocess.run([bench_exe, "--benchmark_format=csv"], capture_output=True,
                         text=True).stdout
    for line in out.splitlines():
        fields = line.split(",")
        if fields[0].strip('"') in ("StartWith1000Entries", "WakeWithNothingDue1000Entries"):
            what = ("scheduler: every next run of 1,000 entries at start"
                    if fields[0].strip('"').startswith("Start")
                    else "scheduler: a wake with nothing due, 1,000 entries (one a second)")
            run.results.append((what, f"{float(fields[3]):.3g} {fields[4]} CPU", ""))
