"""TCP segments on the loopback interface to and from some ports, each with the
kernel's time stamp of its sending: where a message waited between programs.
Needs CAP_NET_RAW (root); available() says whether it works here."""
import ctypes
import socket
import struct
import threading

ETH_P_IP = 0x0800
SO_ATTACH_FILTER = 26
SO_TIMESTAMPNS = 35
PACKET_HOST = 0  # as received: loopback hands a packet over as it is sent


def _port_filter(port):
    """Classic BPF: IPv4 TCP, not a fragment, source or destination port."""
    return [
        (0x30, 0, 0, 23),          # ldb [23]            IP protocol
        (0x15, 0, 8, 6),           # jeq #6 (TCP), else drop
        (0x28, 0, 0, 20),          # ldh [20]            fragment offset
        (0x45, 6, 0, 0x1FFF),      # jset #0x1fff -> drop
        (0xB1, 0, 0, 14),          # ldxb 4*([14]&0xf)   IP header length
        (0x48, 0, 0, 14),          # ldh [x+14]          source port
        (0x15, 2, 0, port),        # jeq #port -> keep
        (0x48, 0, 0, 16),          # ldh [x+16]          destination port
        (0x15, 0, 1, port),        # jeq #port -> keep, else drop
        (0x06, 0, 0, 0x40000),     # ret keep
        (0x06, 0, 0, 0),           # ret drop
    ]


class LoopbackCapture:
    """Segments to or from port: (wall-clock s, source port, destination port,
    payload), in the order sent."""

    def __init__(self, port):
        self.segments, self.lock = [], threading.Lock()
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_IP))
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        program = _port_filter(port)
        self._filter = ctypes.create_string_buffer(b"".join(struct.pack("HBBI", *i) for i in program))
        fprog = struct.pack("HL", len(program), ctypes.addressof(self._filter))
        self.sock.setsockopt(socket.SOL_SOCKET, SO_ATTACH_FILTER, fprog)
        self.sock.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
        self.sock.bind(("lo", 0))
        self.running = True
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while self.running:
            try:
                data, ancillary, _, address = self.sock.recvmsg(1 << 16, 64)
            except OSError:
                return
            if address[2] != PACKET_HOST or len(data) < 14 + 20:
                continue
            stamp = None
            for level, kind, value in ancillary:
                if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                    seconds, nanoseconds = struct.unpack("qq", value[:16])
                    stamp = seconds + nanoseconds / 1e9
            ip = data[14:]
            ihl = (ip[0] & 0x0F) * 4
            total = struct.unpack(">H", ip[2:4])[0]
            tcp = ip[ihl:total]
            source, destination = struct.unpack(">HH", tcp[:4])
            payload = tcp[(tcp[12] >> 4) * 4:]
            if stamp is not None:  # bare acknowledgements too
                with self.lock:
                    self.segments.append((stamp, source, destination, bytes(payload)))

    def snapshot(self):
        with self.lock:
            return list(self.segments)

    def close(self):
        self.running = False
        self.sock.close()


def available():
    try:
        socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_IP)).close()
        return True
    except (OSError, AttributeError):
        return False
