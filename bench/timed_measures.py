"""Timed switching on the line, from the virtual board's log: how well pulses
keep their length with one board and with sixteen polled, the dead time an
interlocked group gets, and a storm of commands to interlocked pairs from
MQTT and a shared port at once. Each takes the run and adds its rows."""
import json
import os
import random
import select
import threading
import time

from relayd_rig import BYTE_MS, NODE, Mqtt, board_frames, frame, percentile, spread, stop
from share_measures import open_raw

GROUPS = [(1, 2), (3, 4)]


def exchange_ms(run):
    return 16 * BYTE_MS + run.rig.turnaround


def pulses(run, lengths, counts):
    """PULSE with pulse_ms over MQTT on board 1's channel 3: release heard less
    energise heard, against the length."""
    trip = exchange_ms(run)
    for boards in ([1], list(range(1, 17))):
        sim, sim_log, bridge, _ = run.rig.start_line(boards, log=True)
        pub = Mqtt(run.rig.broker, "bench-pulse")

        def channel_3():
            return [(t, data[2]) for t, way, data in board_frames(sim_log.snapshot())
                    if way == "in" and len(data) == 8 and data[1] == 1 and data[6] == 3]

        for length_ms, count in zip(lengths, counts):
            start, late = len(channel_3()), 0
            for _ in range(count):
                time.sleep(random.uniform(0.05, 0.3))
                before = len(channel_3())
                pub.publish(f"relay/{NODE}/1/3/set",
                            json.dumps({"state": "ON", "pulse_ms": length_ms}).encode())
                end = time.perf_counter() + length_ms / 1000 + 3
                while len(channel_3()) < before + 2 and time.perf_counter() < end:
                    time.sleep(0.01)
                late += len(channel_3()) < before + 2
            errors = pulse_errors(channel_3()[start:], length_ms)
            if late or len(errors) != count:
                run.odd.append(f"pulses of {length_ms} ms: {len(errors)} of {count} released; "
                               f"{late} not within 3 s")
            # The poller holds a poll back when it would still be on the line at the release.
            goal = 5 if len(boards) == 1 else trip
            run.results.append((
                f"pulse of {length_ms} ms, {len(boards)} board(s): error p50 / p99 of |error| / "
                f"max ({len(errors)})",
                f"{percentile(errors, 50):+.1f} / {percentile([abs(e) for e in errors], 99):.1f}"
                f" / {max(errors):+.1f} ms", f"p99 < {goal:.0f} ms"))
        pub.close()
        stop(bridge, sim)


def pulse_errors(frames, length_ms):
    """(time s, command) of one channel's frames: each release's distance from
    its energise, less the length, in ms."""
    errors, energised = [], None
    for t, command in frames:
        if command == 0x12:
            energised = t
        elif command == 0x11 and energised is not None:
            errors.append((t - energised) * 1000 - length_ms)
            energised = None
    return errors


def interlocked_line(run, dead_ms, share=None):
    groups = ",".join(f"1:{a}+{b}" for a, b in GROUPS)
    return run.rig.start_line([1], log=True, share=share,
                              relayd_args=["--interlock", groups, "--dead-time", f"1={dead_ms}"])


def dead_time(run, dead_ms, count):
    """Channels 1 and 2 energised in turn over MQTT: from the end of the reply
    that shows one released to the energise of the other, as the board heard
    them."""
    sim, sim_log, bridge, _ = interlocked_line(run, dead_ms)
    client = Mqtt(run.rig.broker, "bench-interlock")
    client.subscribe(f"relay/{NODE}/1/+/state")
    for i in range(count):
        channel = 1 + i % 2
        client.drain()
        client.publish(f"relay/{NODE}/1/{channel}/set", b"ON")
        got = client.wait_for(lambda t, p: t == f"relay/{NODE}/1/{channel}/state" and p == b"ON",
                              3)
        if got is None:
            run.odd.append(f"interlock: channel {channel} not shown ON within 3 s")
        time.sleep(random.uniform(0, 0.2))
    client.close()
    stop(bridge, sim)
    gaps, off = [], []
    released = None  # (channel, frame heard, reply's end)
    for t, way, data in board_frames(sim_log.snapshot()):
        if len(data) != 8 or data[1] != 1:
            continue
        if way == "in" and data[2] == 0x11 and data[6] in (1, 2):
            released = [data[6], t, None]
        elif way == "out" and data[2] == 0x11 and released and released[2] is None:
            released[2] = t
        elif (way == "in" and data[2] == 0x12 and data[6] in (1, 2) and released
              and released[2] is not None):
            if data[6] != released[0]:
                gaps.append((t - released[2]) * 1000)
                off.append((t - released[1]) * 1000)
            released = None
    trip = exchange_ms(run)
    run.results.extend([
        (f"interlock, dead time {dead_ms} ms: release shown → other energised, min / p50 / p99 "
         f"({len(gaps)})", f"{min(gaps):.1f} / " + spread(gaps, 50, 99),
         f"min ≥ {dead_ms}, p99 < {dead_ms + trip:.0f} ms"),
        ("  release heard → other energised heard, min / p50 / p99",
         f"{min(off):.1f} / " + spread(off, 50, 99), ""),
    ])


def storm(run, commands, dead_ms):
    """Random ON, OFF and TOGGLE to the interlocked pairs over MQTT and random
    energise and release frames on a shared port, at once: every reply the
    board gave, checked for two channels of a group energised."""
    share = os.path.join(run.rig.work, "com-storm")
    sim, sim_log, bridge, _ = interlocked_line(run, dead_ms, share=share)
    channels = [c for group in GROUPS for c in group]
    answered = [0]

    def by_mqtt():
        pub = Mqtt(run.rig.broker, "bench-storm")
        for _ in range(commands // 2):
            pub.publish(f"relay/{NODE}/1/{random.choice(channels)}/set",
                        random.choice([b"ON", b"ON", b"OFF", b"TOGGLE"]))
            time.sleep(random.uniform(0, 0.06))
        pub.close()

    def by_shared_port():
        fd = open_raw(share)
        poller = select.poll()
        poller.register(fd, select.POLLIN)
        for _ in range(commands - commands // 2):
            os.write(fd, frame(1, random.choice([0x12, 0x12, 0x11]), random.choice(channels)))
            reply, end = b"", time.perf_counter() + 2
            while len(reply) < 8 and poller.poll(max(0, end - time.perf_counter()) * 1000):
                reply += os.read(fd, 8 - len(reply))
            answered[0] += len(reply) == 8
        os.close(fd)

    threads = [threading.Thread(target=f) for f in (by_mqtt, by_shared_port)]
    began = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    took = time.perf_counter() - began
    time.sleep(1)
    stop(bridge, sim)
    replies = both = switching = 0
    for _, way, data in board_frames(sim_log.snapshot()):
        if len(data) != 8 or data[1] != 1:
            continue
        if way == "in" and data[2] in (0x11, 0x12, 0x13):
            switching += 1
        if way == "out":
            replies += 1
            state = int.from_bytes(data[5:7], "big")
            both += any(state >> (a - 1) & 1 and state >> (b - 1) & 1 for a, b in GROUPS)
    run.results.extend([
        (f"{commands} random commands to two interlocked pairs, MQTT and a shared port at once "
         f"({took:.0f} s; {switching} switching frames on the line, {replies} replies, "
         f"{answered[0]} shared-port frames answered)",
         f"{both} replies with two of a group energised", "0"),
    ])
