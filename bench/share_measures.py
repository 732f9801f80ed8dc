"""Another program on a shared port of relayd against the line to itself, and
relayctl through ser2net against the pty. Adds its rows to the run."""
import os
import random
import select
import statistics
import subprocess
import termios
import time
import tty

from relayd_rig import free_port, frame, percentile, spread, stop


def reply_ok(request, reply):
    """The board's reply to request: its address and command, the checksum, and
    channel N in the state that energise or release N asked for."""
    bit = 1 << (request[6] - 1) if request[6] else 0
    want = {0x12: bit, 0x11: 0}.get(request[2], None)
    return (len(reply) == 8 and reply[:3] == bytes([0x22, request[1], request[2]])
            and sum(reply[:7]) & 0xFF == reply[7]
            and (want is None or int.from_bytes(reply[5:7], "big") & bit == want))


def open_raw(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    attrs = termios.tcgetattr(fd)
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    return fd


def round_trips(path, requests, count, gap=0.05):
    """count requests in turn on the tty at path, each after a random pause of up to
    gap s: ms from the write to the reply's 8th byte, for the valid replies."""
    fd, times = open_raw(path), []
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    try:
        for i in range(count):
            time.sleep(random.uniform(0, gap))
            termios.tcflush(fd, termios.TCIFLUSH)  # nothing stale counts as the reply
            request, reply = requests[i % len(requests)], b""
            sent = time.perf_counter()
            os.write(fd, request)
            while len(reply) < 8 and poller.poll(max(0, sent + 1 - time.perf_counter()) * 1000):
                reply += os.read(fd, 8 - len(reply))
            took = (time.perf_counter() - sent) * 1000
            if reply_ok(request, reply):
                times.append(took)
    finally:
        os.close(fd)
    return times


def shared_port(run, queries, switches, runs):
    """Another program on a shared port while relayd polls: status queries
    answered from the latest poll, commands in the next free slot. Then the same
    commands on the board's tty with relayd stopped: the line to themselves.
    Then relayctl status through ser2net and on the pty: what the TCP hop costs."""
    share = os.path.join(run.rig.work, "com1")
    sim, _, bridge, _ = run.rig.start_line([1], share=share)
    switch = [frame(1, 0x12, 3), frame(1, 0x11, 3)]
    status = round_trips(share, [frame(1, 0x10)], queries) if "share" in run.wanted else []
    shared = round_trips(share, switch, switches) if "share" in run.wanted else []
    stop(bridge)
    time.sleep(0.1)  # the reply to relayd's last poll may still be on the line
    if "share" in run.wanted:
        direct = round_trips(sim.tty, switch, switches)
        trip = percentile(direct, 50)
        run.results.extend([
            (f"status on a shared port: write to reply, p50 ({len(status)}/{queries} valid)",
             f"{percentile(status, 50):.2f} ms", "< 2 ms"),
            ("  p99", f"{percentile(status, 99):.2f} ms", ""),
            (f"energise/release 3 on a shared port, relayd polling, p50 / p99 ({len(shared)}/{switches} valid)",
             spread(shared, 50, 99), ""),
            (f"energise/release 3 on the board's tty, no relayd, p50 / p99 ({len(direct)}/{switches} valid)",
             spread(direct, 50, 99), ""),
            ("added by the shared port, p50", f"{percentile(shared, 50) - trip:.1f} ms",
             f"< {trip:.1f} ms"),
            ("added by the shared port, p99", f"{percentile(shared, 99) - percentile(direct, 99):.1f} ms",
             f"< {trip:.1f} ms"),
        ])
    if "relayctl" in run.wanted:
        relayctl_through_ser2net(run, sim, runs)
    stop(sim)


def relayctl_through_ser2net(run, sim, runs):
    port, conf = free_port(), os.path.join(run.rig.work, "ser2net.yaml")
    with open(conf, "w") as f:
        f.write(f"connection: &bus\n  accepter: tcp,127.0.0.1,{port}\n"
                f"  connector: serialdev,{sim.tty},9600n81,local\n"
                "  options:\n    kickolduser: true\n")
    # Foreground, no UUCP lock: runs the same as root or not.
    ser2net = run.rig.serve(["/usr/sbin/ser2net", "-n", "-u", "-c", conf], port)
    took, failed = {f"tcp:127.0.0.1:{port}": [], sim.tty: []}, []
    for _ in range(runs):
        for line, times in took.items():
            time.sleep(0.1)  # lets ser2net close the pty after a run through it
            begin = time.perf_counter()
            ctl = run.rig.spawn([os.path.join(run.rig.bin_dir, "relayctl"), "-p", line,
                                 "--name-file", run.rig.work, "status"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            err = ctl.communicate(timeout=10)[1]
            times.append((time.perf_counter() - begin) * 1000)
            if ctl.returncode:
                failed.append(f"{line}: {ctl.returncode} {err.strip()}")
    stop(ser2net)
    if failed:
        run.odd.append(f"relayctl status failed {len(failed)} times, e.g. {failed[:2]}")
    remote, local = (statistics.median(t) for t in took.values())
    run.results.extend([
        (f"relayctl status through ser2net on loopback, median of {runs}", f"{remote:.1f} ms", ""),
        (f"relayctl status on the pty, median of {runs}", f"{local:.1f} ms", ""),
        ("  difference", f"{remote - local:.1f} ms", "< 20 ms"),
    ])
