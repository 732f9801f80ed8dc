"""Many WebSocket clients of relayd's /api/live on one thread, as a page would
hold them open: pings answered, nothing else sent. Every frame is kept with
the time the kernel received it (SO_TIMESTAMPNS) and the time this process
read it."""
import base64
import os
import select
import socket
import struct
import threading
import time

SO_TIMESTAMPNS = 35
TEXT, CLOSE, PING, PONG = 0x1, 0x8, 0x9, 0xA


class Frame:
    __slots__ = ("kernel", "read", "opcode", "wire_bytes", "kind")

    def __init__(self, kernel, read, opcode, wire_bytes, kind):
        self.kernel, self.read, self.opcode = kernel, read, opcode
        self.wire_bytes, self.kind = wire_bytes, kind


class _Client:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        key = base64.b64encode(os.urandom(16)).decode()
        # No Origin: a script's connection, which relayd takes like its own page's.
        self.sock.sendall((f"GET /api/live HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                           "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                           f"Sec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n\r\n").encode())
        self.sock.setblocking(False)
        self.buffer, self.upgraded, self.closed = b"", False, False
        self.frames = []

    def take(self, kernel, read):
        """Parses what has arrived; answers pings."""
        if not self.upgraded:
            end = self.buffer.find(b"\r\n\r\n")
            if end < 0:
                return
            if not self.buffer.startswith(b"HTTP/1.1 101"):
                raise RuntimeError(f"live stream refused: {self.buffer[:end].decode(errors='replace')}")
            self.buffer, self.upgraded = self.buffer[end + 4:], True
        while len(self.buffer) >= 2:
            opcode, size, at = self.buffer[0] & 0x0F, self.buffer[1] & 0x7F, 2
            if size == 126:
                if len(self.buffer) < 4:
                    return
                size, at = struct.unpack(">H", self.buffer[2:4])[0], 4
            elif size == 127:
                if len(self.buffer) < 10:
                    return
                size, at = struct.unpack(">Q", self.buffer[2:10])[0], 10
            if len(self.buffer) < at + size:
                return
            payload = self.buffer[at:at + size]
            self.buffer = self.buffer[at + size:]
            kind = ""
            if opcode == TEXT:
                start = payload.find(b'"type":"')
                kind = payload[start + 8:payload.find(b'"', start + 8)].decode() if start >= 0 else "?"
            self.frames.append(Frame(kernel, read, opcode, at + size, kind))
            if opcode == PING:
                self.send(PONG, payload)
            elif opcode == CLOSE:
                self.closed = True

    def send(self, opcode, payload):
        mask = os.urandom(4)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.sock.setblocking(True)
        self.sock.sendall(bytes([0x80 | opcode, 0x80 | len(payload)]) + mask + masked)
        self.sock.setblocking(False)


class LiveClients:
    def __init__(self, port, count, timeout=10):
        self.lock = threading.Condition()
        self.clients = [_Client(port) for _ in range(count)]
        self.by_fd = {c.sock.fileno(): c for c in self.clients}
        self.poller = select.epoll()
        for fd in self.by_fd:
            self.poller.register(fd, select.EPOLLIN)
        self.running = True
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()
        if not self.wait(lambda: all(self.count(c, "hello") for c in self.clients), timeout):
            raise RuntimeError(f"{sum(1 for c in self.clients if self.count(c, 'hello'))} of "
                               f"{count} live streams said hello within {timeout} s")

    def _loop(self):
        while self.running:
            for fd, _ in self.poller.poll(0.2):
                client = self.by_fd[fd]
                try:
                    data, ancillary, _, _ = client.sock.recvmsg(1 << 16, 64)
                except BlockingIOError:
                    continue
                read = time.time()
                kernel = read
                for level, kind, value in ancillary:
                    if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                        seconds, nanoseconds = struct.unpack("qq", value[:16])
                        kernel = seconds + nanoseconds / 1e9
                with self.lock:
                    if not data:
                        client.closed = True
                        self.poller.unregister(fd)
                    else:
                        client.buffer += data
                        client.take(kernel, read)
                    self.lock.notify_all()

    @staticmethod
    def count(client, kind):
        return sum(1 for f in client.frames if f.kind == kind)

    def wait(self, condition, timeout):
        with self.lock:
            return self.lock.wait_for(condition, timeout)

    def boards_received(self):
        """How many board messages the client that has seen the fewest has seen."""
        return min(self.count(c, "board") for c in self.clients)

    def arrivals(self, kind):
        """Per client, the (kernel, read) times of its messages of kind, in order."""
        with self.lock:
            return [[(f.kernel, f.read) for f in c.frames if f.kind == kind] for c in self.clients]

    def frames_since(self, since):
        with self.lock:
            return [f for c in self.clients for f in c.frames if f.read >= since]

    def closed(self):
        with self.lock:
            return sum(1 for c in self.clients if c.closed)

    def close(self):
        self.running = False
        self.thread.join(2)
        for client in self.clients:
            client.sock.close()
