"""relayd over MQTT and on its line: command latency (traced hop by hop where
the bench may capture on the loopback interface), the polls against the
line's capacity and an idle bridge. Each takes the run (rig, results, odd, traces, wanted) and adds its rows."""
import random
import re
import statistics
import time

import latency_trace
import loopback_capture
from relayd_rig import (BYTE_MS, NODE, Mqtt, board_frames, cpu_seconds, percentile, status_kib,
                        stop)


def command_latency(run, commands):
    """One board; a command that changes channel 3 each time, sent at a random
    point of the poll cycle, until its new state comes back. Traced on the
    loopback interface and by the board's log where the bench may capture."""
    capture = (loopback_capture.LoopbackCapture(run.rig.broker)
               if loopback_capture.available() else None)
    sim, sim_log, bridge, _ = run.rig.start_line([1], log=capture is not None)
    sub, pub = Mqtt(run.rig.broker, "bench-sub"), Mqtt(run.rig.broker, "bench-pub")
    state_topic, set_topic = f"relay/{NODE}/1/3/state", f"relay/{NODE}/1/3/set"
    sub.subscribe(state_topic, f"relay/{NODE}/error")
    got = sub.wait_for(lambda t, p: t == state_topic, 5)
    current = got[2] if got else b"OFF"
    records, lost, errors = [], 0, []
    for _ in range(commands):
        time.sleep(random.uniform(0, 0.2))
        want = b"OFF" if current == b"ON" else b"ON"
        sub.drain()
        sent = time.perf_counter()
        pub.publish(set_topic, want)
        got = sub.wait_for(lambda t, p: (t == state_topic and p == want) or t.endswith("/error"), 2)
        while got and got[1].endswith("/error"):
            errors.append(got[2].decode())
            got = sub.wait_for(lambda t, p: t == state_topic and p == want, 2)
        if got is None:
            lost += 1
            continue
        records.append((sent, got[0], want))
        current = want
    time.sleep(0.1)
    ports = (run.rig.broker, pub.local_port, sub.local_port)
    sub.close(), pub.close()
    stop(bridge, sim)
    latencies = [(got - sent) * 1000 for sent, got, _ in records]
    if lost or errors:
        run.odd.append(f"commands without a state change within 2 s: {lost}; error events: "
                       f"{len(errors)} {errors[:3]}")
    run.results.extend([
        (f"command to state, p50 ({len(latencies)} commands, 1 board)",
         f"{percentile(latencies, 50):.1f} ms", "< 60 ms"),
        ("command to state, p99", f"{percentile(latencies, 99):.1f} ms", "< 50 ms"),
        ("  mean / max", f"{statistics.mean(latencies):.1f} / {max(latencies):.1f} ms", ""),
    ])
    if capture is None:
        run.odd.append("latency not traced: capturing on the loopback interface needs CAP_NET_RAW")
        return
    rows, unmatched = latency_trace.analyse(records, capture.snapshot(),
                                            board_frames(sim_log.snapshot()), ports,
                                            (set_topic, state_topic), 3)
    capture.close()
    if unmatched:
        run.odd.append(f"commands the trace could not follow: {unmatched}")
    run.traces.append(("Where a command's time goes", latency_trace.command_table(rows)))


def bus_rate(run, bus_seconds):
    """16 boards back to back: status polls per second against the line."""
    boards = list(range(1, 17))
    sim, sim_log, bridge, bridge_log = run.rig.start_line(boards, log=True, verbose=True)
    begin = time.perf_counter()
    time.sleep(bus_seconds)
    end = time.perf_counter()
    lines, sim_lines = bridge_log.snapshot(), sim_log.snapshot()
    stop(bridge, sim)
    poll = re.compile(r"relayd: > 55 ([0-9A-F]{2}) 10 ")
    polls = [(t, m.group(1)) for t, text in lines if (m := poll.search(text)) and begin <= t < end]
    rate = len(polls) / (end - begin)
    limit = 1000 / (16 * BYTE_MS + run.rig.turnaround)
    per_board = [sum(1 for _, a in polls if int(a, 16) == b) for b in boards]
    if max(per_board) - min(per_board) > 1:
        run.odd.append(f"polls per board uneven: {per_board}")
    # Round trip as relayd sees it: its write to the reply's arrival.
    trips, sent_at = [], None
    for t, text in lines:
        if poll.search(text):
            sent_at = t
        elif "relayd: < 22" in text and sent_at is not None:
            trips.append((t - sent_at) * 1000)
            sent_at = None
    # And as the board sees it: the command heard to the reply's last byte.
    sim_trips, heard = [], None
    for t, way, data in board_frames(sim_lines):
        if way == "in" and data[:1] == b"\x55":
            heard = t
        elif way == "out" and heard is not None:
            sim_trips.append((t - heard) * 1000)
            heard = None
    run.results.extend([
        (f"status polls/s, 16 boards, {bus_seconds} s", f"{rate:.1f} /s", ""),
        (f"line limit: 1000 / (16 bytes x {BYTE_MS:.4f} ms + {run.rig.turnaround} ms)", f"{limit:.1f} /s", ""),
        ("polls/s against the line limit", f"{rate / limit:.3f}", ">= 0.9"),
        (f"round trip, relayd: write to reply, median / p99 (line: {16 * BYTE_MS + run.rig.turnaround:.1f} ms)",
         f"{statistics.median(trips):.1f} / {percentile(trips, 99):.1f} ms", ""),
        ("round trip, board: command heard to reply sent (median)",
         f"{statistics.median(sim_trips):.0f} ms" if sim_trips else "?", ""),
    ])


def idle_cost(run, idle_seconds):
    """One board, nothing changing: what relayd costs while it only polls."""
    sim, _, bridge, _ = run.rig.start_line([1])
    time.sleep(1)
    watch = Mqtt(run.rig.broker, "bench-idle")
    watch.subscribe("relay/#")
    settle = time.perf_counter() + 2
    time.sleep(2)
    cpu_begin, wall_begin = cpu_seconds(bridge.pid), time.perf_counter()
    time.sleep(max(1, idle_seconds - 2))
    cpu_end, wall_end = cpu_seconds(bridge.pid), time.perf_counter()
    rss, hwm = status_kib(bridge.pid, "VmRSS"), status_kib(bridge.pid, "VmHWM")
    late = []
    while not watch.messages.empty():
        when, topic, payload = watch.messages.get()
        if settle <= when <= wall_end:
            late.append((topic, payload))
    watch.close()
    stop(bridge, sim)
    if late:
        run.odd.append(f"publishes while idle, e.g. {late[:3]}")
    run.results.extend([
        (f"CPU while polling 1 board ({idle_seconds - 2} s, one core = 100%)",
         f"{(cpu_end - cpu_begin) / (wall_end - wall_begin) * 100:.2f} %", ""),
        ("resident memory (peak)", f"{rss / 1024:.1f} MiB ({hwm / 1024:.1f} MiB)", "< 20 MiB"),
        ("publishes/s while idle, after the first 2 s",
         f"{len(late) / (wall_end - settle):.2f} /s", "0"),
    ])
