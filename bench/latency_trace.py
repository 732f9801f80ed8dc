"""Where a command's time goes, from publish to the state received: each hop's
time from the segments on the loopback interface (kernel time stamps), the
virtual board's log, and the bench's own clocks."""
import bisect

from relayd_rig import mqtt_publishes, percentile, wall

HOPS = [
    ("bench: publish call -> segment to the broker", "bench"),
    ("broker: command in -> out to relayd", "broker"),
    ("relayd: command in -> frame on the line", "line wait"),
    ("line: command frame -> reply's last byte", "line"),
    ("relayd: reply -> state segment to the broker", "relayd"),
    ("broker: state in -> out to the subscriber", "broker"),
    ("bench: segment to the subscriber -> read", "bench"),
]


class _Times:
    """Sorted times with what came with them; the first at or after t that matches."""

    def __init__(self, items):
        self.items = sorted(items, key=lambda i: i[0])
        self.keys = [i[0] for i in self.items]

    def first(self, t, match=lambda item: True):
        for item in self.items[bisect.bisect_left(self.keys, t):]:
            if match(item):
                return item
        return None

    def last_before(self, t):
        i = bisect.bisect_right(self.keys, t)
        return self.items[i - 1] if i else None


def _switching(frames, channel):
    """The board's log: switching frames of the channel heard, switching replies
    sent, and the polls between."""
    heard = _Times([(t, data[2]) for t, way, data in frames
                    if way == "in" and len(data) == 8 and data[2] in (0x11, 0x12)
                    and data[6] == channel])
    answered = _Times([(t, data[2]) for t, way, data in frames
                       if way == "out" and len(data) == 8 and data[2] in (0x11, 0x12)])
    return heard, answered, _poll_between(frames)


def _poll_between(frames):
    """Whether a poll's reply ended between a command's arrival at relayd and
    its frame: the line was taken when it came."""
    ends = _Times([(t,) for t, way, data in frames
                   if way == "out" and len(data) == 8 and data[2] == 0x10])
    return lambda arrived, written: bool((end := ends.first(arrived)) and end[0] <= written + 0.001)


def analyse(records, segments, frames, ports, topics, channel):
    """records: (sent perf, received perf, wanted payload) per command; segments:
    the broker port's capture; frames: the board's log; ports: broker, pub, sub;
    topics: the command and the state topic. Per command the hops in ms, and
    what held up each."""
    broker, pub, sub = ports
    set_topic, state_topic = (t.encode() for t in topics)

    def publishes(topic, link):
        return _Times([(t, p, s, d) for t, s, d, payload in segments if link(s, d)
                       for top, p in mqtt_publishes(payload) if top == topic])

    to_broker = publishes(set_topic, lambda s, d: s == pub and d == broker)
    to_relayd = publishes(set_topic, lambda s, d: s == broker and d not in (pub, sub))
    from_relayd = publishes(state_topic, lambda s, d: d == broker and s not in (pub, sub))
    to_sub = publishes(state_topic, lambda s, d: s == broker and d == sub)
    links = {}  # (source, destination) -> _Times of its segments, bare ones included
    for t, s, d, payload in segments:
        links.setdefault((s, d), []).append((t, payload))
    links = {link: _Times(items) for link, items in links.items()}

    def nagle(source, destination, arrived, left):
        """Held back by Nagle at the sender: the previous segment with data on
        the link was not yet acknowledged when the message arrived, and it left
        with the acknowledgement. What that unacknowledged segment was, or None."""
        out, back = links.get((source, destination)), links.get((destination, source))
        if not out or not back or left - arrived < 0.001:
            return None
        previous = None
        for t, payload in reversed(out.items[:bisect.bisect_left(out.keys, left)]):
            if payload:
                previous = (t, payload)
                break
        ack = previous and back.first(previous[0] + 1e-7)
        if ack and ack[0] > arrived and abs(ack[0] - left) < 0.002:
            return PACKETS.get(previous[1][0] >> 4, "?")
        return None

    code = {b"ON": 0x12, b"OFF": 0x11}
    heard, answered, polled = _switching(frames, channel)

    rows, unmatched = [], 0
    slack = 0.001  # the board's stamps are to the millisecond
    for sent, got, want in records:
        s, g = wall(sent), wall(got)
        a = to_broker.first(s - 0.0002)
        b = a and to_relayd.first(a[0])
        c = b and heard.first(b[0] - slack, lambda i: i[1] == code[want])
        d = c and answered.first(c[0], lambda i: i[1] == code[want])
        # The board may stamp its reply after relayd has read it: a busy machine.
        e = d and from_relayd.first(max(c[0], d[0] - 0.005), lambda i: i[1] == want)
        f = e and to_sub.first(e[0], lambda i: i[1] == want)
        if not f or f[0] > g + 0.0002:
            unmatched += 1
            continue
        times = [s, a[0], b[0], c[0], d[0], e[0], f[0], g]
        hops = [max(0.0, (y - x) * 1000) for x, y in zip(times, times[1:])]
        rows.append({"total": (g - s) * 1000, "hops": hops, "poll_busy": polled(b[0], c[0]),
                     "nagle_relayd": nagle(broker, b[3], a[0], b[0]),
                     "nagle_sub": nagle(broker, sub, e[0], f[0])})
    return rows, unmatched


PACKETS = {2: "CONNACK", 3: "PUBLISH", 4: "PUBACK", 9: "SUBACK", 13: "PINGRESP"}


def table(rows, names, what, held):
    """The printed breakdown: per hop its median, its p99, and its mean over
    the rows at or above the total's p95 and p99; then held(rows) of those."""
    if not rows:
        return [], []
    totals = [r["total"] for r in rows]
    tails = []
    for tail in (95, 99):
        cut = percentile(totals, tail)
        tails.append((tail, cut, [r for r in rows if r["total"] >= cut]))
    lines = []
    slowest = tails[-1][2]
    slowest_total = sum(r["total"] for r in slowest)
    for i, name in enumerate(names):
        hop = [r["hops"][i] for r in rows]
        means = [sum(r["hops"][i] for r in slow) / len(slow) for _, _, slow in tails]
        share = sum(r["hops"][i] for r in slowest) / slowest_total * 100
        lines.append((name, f"{percentile(hop, 50):.1f}", f"{percentile(hop, 99):.1f}",
                      *(f"{m:.1f}" for m in means), f"{share:.0f} %"))
    lines.append(("total", f"{percentile(totals, 50):.1f}", f"{percentile(totals, 99):.1f}",
                  *(f"{sum(r['total'] for r in slow) / len(slow):.1f}" for _, _, slow in tails),
                  "100 %"))
    counts = [f"at or above p{tail} ({cut:.1f} ms): {len(slow)} {what}: {held(slow)}"
              for tail, cut, slow in tails]
    counts.append(f"all {len(rows)}: {held(rows)}")
    return lines, counts


def command_table(rows):
    def held(rows):
        behind = {}
        for r in rows:
            if r["nagle_relayd"]:
                behind[r["nagle_relayd"]] = behind.get(r["nagle_relayd"], 0) + 1
        what = ", ".join(f"{n} behind a {k}" for k, n in sorted(behind.items()))
        return (f"{sum(1 for r in rows if r['poll_busy'])} met a poll on the line, "
                f"{sum(1 for r in rows if r['nagle_relayd'])} held by the broker's Nagle on its "
                f"way to relayd{f' ({what})' if what else ''}, "
                f"{sum(1 for r in rows if r['nagle_sub'])} on its way to the subscriber")

    return table(rows, [name for name, _ in HOPS], "commands", held)


TAP_HOPS = [
    "browser: click -> POST on the wire",
    "relayd: POST in -> frame on the line",
    "line: command frame -> reply's last byte",
    "relayd: reply -> first message out (stream or POST's reply)",
    "browser: message in -> aria-pressed flipped",
]


def analyse_taps(taps, segments, frames, port, channel):
    """taps: (click, flip) wall-clock s per tap shown; segments: the web port's
    capture; frames: the board's log. Per tap the hops in ms."""
    posts = _Times([(t, p) for t, s, d, p in segments
                    if d == port and p.startswith(b"POST /api/boards/")])
    answers = _Times([(t, p) for t, s, d, p in segments
                      if s == port and (b'"type":"board"' in p[:40] or p.startswith(b"HTTP/1.1 200"))])
    heard, answered, polled = _switching(frames, channel)
    rows, unmatched = [], 0
    for click, flip in taps:
        a = posts.first(click - 0.001)
        c = a and heard.first(a[0] - 0.001)
        d = c and answered.first(c[0], lambda i: i[1] == c[1])
        e = d and answers.first(max(c[0], d[0] - 0.005))
        if not e or e[0] > flip + 0.001:
            unmatched += 1
            continue
        times = [click, a[0], c[0], d[0], e[0], flip]
        rows.append({"total": (flip - click) * 1000,
                     "hops": [max(0.0, (y - x) * 1000) for x, y in zip(times, times[1:])],
                     "poll_busy": polled(a[0], c[0])})
    return rows, unmatched


def tap_table(rows):
    return table(rows, TAP_HOPS, "taps",
                 lambda rows: f"{sum(1 for r in rows if r['poll_busy'])} met a poll on the line")
