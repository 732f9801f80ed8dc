"""What scripts/bench_relayd starts and talks to: a broker, virtual boards and
relayd on them, an MQTT client of its own, and the figures' arithmetic.
Everything started is stopped by stop_all()."""
import datetime
import os
import queue
import re
import socket
import struct
import subprocess
import threading
import time

BYTE_MS = 10 / 9600 * 1000  # 8N1: ten bits a byte
NODE = "bench"
# perf_counter() to the wall clock, which the kernel's and the board's time stamps use.
WALL_OFFSET = time.time() - time.perf_counter()


def wall(perf):
    return perf + WALL_OFFSET


class Rig:
    def __init__(self, bin_dir, work, turnaround, broker_nodelay=False):
        self.bin_dir, self.work, self.turnaround = bin_dir, work, turnaround
        self.broker_nodelay = broker_nodelay
        self.started, self.logs = [], []
        self.broker = None

    def spawn(self, args, **kw):
        proc = subprocess.Popen(args, **kw)
        self.started.append(proc)
        return proc

    def stop_all(self):
        stop(*reversed(self.started))

    def start_broker(self):
        port = free_port()
        conf = os.path.join(self.work, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write(f"listener {port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
            if self.broker_nodelay:
                f.write("set_tcp_nodelay true\n")
            if os.getuid() == 0:
                f.write("user root\n")
        self.serve(["mosquitto", "-c", conf], port)
        self.broker = port
        return port

    def serve(self, args, port):
        """Starts a server, its log in work, and waits until it listens on port."""
        log = os.path.join(self.work, os.path.basename(args[0]) + ".log")
        proc = self.spawn(args, stdout=subprocess.DEVNULL, stderr=open(log, "w"))
        for _ in range(100):
            if listening(port):
                return proc
            time.sleep(0.05)
        with open(log) as f:
            raise RuntimeError(f"{args[0]} is not listening on {port}: {f.read().strip()}")

    def start_line(self, boards, log=False, verbose=False, share=None, relayd_args=()):
        """The virtual boards on a pseudo-terminal and relayd on it, serving them."""
        listed = ",".join(map(str, boards))
        args = [os.path.join(self.bin_dir, "relay-board-sim"), "--line-time", "--turnaround",
                str(self.turnaround), "--boards", listed] + (["--log"] if log else [])
        # Its stderr says each switch from elsewhere: not for the table.
        sim = self.spawn(args, stdout=subprocess.PIPE, text=True, bufsize=1,
                         stderr=open(os.path.join(self.work, "relay-board-sim.log"), "a"))
        sim.tty = sim.stdout.readline().strip()
        sim_lines = Lines(sim.stdout)
        bridge = self.spawn([os.path.join(self.bin_dir, "relayd"), "--port", sim.tty, "--boards",
                             listed, "--node-id", NODE, "--broker",
                             f"mqtt://127.0.0.1:{self.broker}", "--name-file", self.work]
                            + (["--verbose"] if verbose else [])
                            + (["--share", share] if share else []) + list(relayd_args),
                            stderr=subprocess.PIPE, text=True, bufsize=1)
        self.logs.append(Lines(bridge.stderr))
        client = Mqtt(self.broker, f"bench-online-{len(self.logs)}")
        wait_online(client, boards)
        client.close()
        return sim, sim_lines, bridge, self.logs[-1]

    def relayd_log_tail(self, count=20):
        return [line for _, line in self.logs[-1].snapshot()[-count:]] if self.logs else []


def stop(*procs):
    for proc in procs:
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


class Lines:
    """A child's output, each line stamped when it arrived."""

    def __init__(self, stream):
        self.lines, self.lock = [], threading.Lock()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            with self.lock:
                self.lines.append((time.perf_counter(), line.rstrip("\n")))

    def snapshot(self):
        with self.lock:
            return list(self.lines)


def board_frames(lines):
    """The virtual board's --log as (wall-clock s, "in"/"out", bytes) per frame.
    Its stamps are local time to the millisecond, cut off: half a millisecond
    is added back."""
    frames = []
    for _, text in lines:
        fields = text.split()
        if len(fields) < 3 or fields[1] not in ("in", "out") or len(fields[0]) != 12:
            continue
        try:
            clock = datetime.datetime.strptime(fields[0], "%H:%M:%S.%f").time()
        except ValueError:
            continue
        data = bytearray()
        for field in fields[2:]:
            if not re.fullmatch(r"[0-9A-F]{2}", field):
                break  # the note
            data.append(int(field, 16))
        now = datetime.datetime.now()
        stamps = [datetime.datetime.combine(now.date() + datetime.timedelta(days=d), clock)
                  for d in (-1, 0)]
        stamp = min(stamps, key=lambda s: abs((now - s).total_seconds()))
        frames.append((stamp.timestamp() + 0.0005, fields[1], bytes(data)))
    return frames


class Mqtt:
    """Just enough MQTT 3.1.1: connect, subscribe, QoS 0 publish, receive."""

    def __init__(self, port, client_id):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.messages = queue.Queue()  # (arrival, topic, payload)
        self.acks = queue.Queue()
        self.packet_id = 0
        # Clean session, no keep-alive: the runs are short.
        self._send(0x10, self._text("MQTT") + bytes([4, 0x02, 0, 0]) + self._text(client_id))
        kind, body = self._packet()
        if kind != 2 or body[1] != 0:
            raise RuntimeError("broker refused the connection")
        threading.Thread(target=self._receive, daemon=True).start()

    @property
    def local_port(self):
        return self.sock.getsockname()[1]

    @staticmethod
    def _text(text):
        data = text.encode()
        return struct.pack(">H", len(data)) + data

    def _send(self, header, body):
        size, length = len(body), b""
        while True:
            size, digit = divmod(size, 128)
            length += bytes([digit | (0x80 if size else 0)])
            if not size:
                break
        self.sock.sendall(bytes([header]) + length + body)

    def _exactly(self, n):
        data = b""
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def _packet(self):
        header = self._exactly(1)[0]
        size, shift = 0, 0
        while True:
            digit = self._exactly(1)[0]
            size |= (digit & 0x7F) << shift
            shift += 7
            if not digit & 0x80:
                break
        return header >> 4, self._exactly(size) if size else b""

    def _receive(self):
        try:
            while True:
                kind, body = self._packet()
                now = time.perf_counter()
                if kind == 3:
                    n = struct.unpack(">H", body[:2])[0]
                    self.messages.put((now, body[2:2 + n].decode(), body[2 + n:]))
                elif kind == 9:
                    self.acks.put(body)
        except (EOFError, OSError):
            pass

    def subscribe(self, *filters):
        for topic in filters:
            self.packet_id += 1
            self._send(0x82, struct.pack(">H", self.packet_id) + self._text(topic) + b"\0")
            self.acks.get(timeout=5)

    def publish(self, topic, payload):
        self._send(0x30, self._text(topic) + payload)

    def close(self):
        try:
            self._send(0xE0, b"")
            self.sock.close()
        except OSError:
            pass

    def drain(self):
        while not self.messages.empty():
            self.messages.get()

    def wait_for(self, wanted, timeout):
        """The first message for which wanted(topic, payload) holds, or None."""
        end = time.perf_counter() + timeout
        while True:
            left = end - time.perf_counter()
            if left <= 0:
                return None
            try:
                when, topic, payload = self.messages.get(timeout=left)
            except queue.Empty:
                return None
            if wanted(topic, payload):
                return when, topic, payload


def mqtt_publishes(data):
    """(topic, payload) of each whole PUBLISH in a TCP segment that starts with a packet."""
    found, at = [], 0
    while at + 2 <= len(data):
        header, size, shift, i = data[at], 0, 0, at + 1
        while i < len(data):
            size |= (data[i] & 0x7F) << shift
            shift += 7
            i += 1
            if not data[i - 1] & 0x80:
                break
        if i + size > len(data) or shift > 28:
            break
        body = data[i:i + size]
        if header >> 4 == 3 and len(body) >= 2:
            n = struct.unpack(">H", body[:2])[0]
            skip = 2 if (header >> 1) & 3 else 0
            found.append((body[2:2 + n], body[2 + n + skip:]))
        at = i + size
    return found


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    """Asked of the system, not by connecting: a probe would be a user to ser2net."""
    with open("/proc/net/tcp") as f:
        return any(l.split()[1].endswith(f":{port:04X}") and l.split()[3] == "0A"
                   for l in f.readlines()[1:])


def wait_listening(port, timeout=10):
    end = time.perf_counter() + timeout
    while not listening(port):
        if time.perf_counter() > end:
            raise RuntimeError(f"nothing listens on {port} after {timeout} s")
        time.sleep(0.05)


def wait_online(client, boards, timeout=10):
    client.subscribe(f"relay/{NODE}/+/availability")
    online, end = set(), time.perf_counter() + timeout
    # Boards of an earlier run may still show as online: retained.
    while not set(boards) <= online:
        got = client.wait_for(lambda t, p: t.endswith("/availability"),
                              end - time.perf_counter())
        if got is None:
            raise RuntimeError(f"online after {timeout} s: {sorted(online)}, want {boards}")
        address = int(got[1].split("/")[2])
        (online.add if got[2] == b"online" else online.discard)(address)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def spread(values, *ps):
    return " / ".join(f"{percentile(values, p):.1f}" for p in ps) + " ms"


def frame(address, command, channel=0):
    body = bytes([0x55, address, command, 0, 0, 0, channel])
    return body + bytes([sum(body) & 0xFF])
