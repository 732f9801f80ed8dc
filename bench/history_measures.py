"""The history's costs: command to state with history on against off (16
boards, random commands), a year of history for 16 boards switching once a
minute (its size, the 7-day timeline and the year's runtime of one channel
through the API), and a scrape of /metrics with 32 boards beside relayd's idle
CPU. Each takes the run and adds its rows."""
import os
import random
import sqlite3
import statistics
import time
import urllib.request

from relayd_rig import NODE, Mqtt, cpu_seconds, free_port, percentile, spread, stop, wait_listening

DAY_MS = 24 * 3600 * 1000


def latency_on_and_off(run, commands):
    """The same random ON/OFF commands over MQTT to 16 boards, history on and
    then off: the command published to its state received."""
    rows = {}
    for label, extra in (("on", []), ("off", ["--no-history"])):
        state = os.path.join(run.rig.work, f"state-{label}")
        sim, _, bridge, _ = run.rig.start_line(list(range(1, 17)),
                                               relayd_args=["--state-dir", state] + extra)
        sub, pub = Mqtt(run.rig.broker, "bench-h-sub"), Mqtt(run.rig.broker, "bench-h-pub")
        sub.subscribe(f"relay/{NODE}/+/+/state")
        time.sleep(1)
        current, latencies = {}, []
        for _ in range(commands):
            board, channel = random.randint(1, 16), random.randint(1, 16)
            want = b"OFF" if current.get((board, channel)) == b"ON" else b"ON"
            topic = f"relay/{NODE}/{board}/{channel}/state"
            time.sleep(random.uniform(0, 0.2))
            sub.drain()
            sent = time.perf_counter()
            pub.publish(f"relay/{NODE}/{board}/{channel}/set", want)
            got = sub.wait_for(lambda t, p: t == topic and p == want, 2)
            if got:
                latencies.append((got[0] - sent) * 1000)
                current[(board, channel)] = want
        sub.close(), pub.close()
        stop(bridge, sim)
        rows[label] = latencies
    on, off = rows["on"], rows["off"]
    run.results.extend([
        (f"command to state, 16 boards, history on, p50 / p99 ({len(on)})", spread(on, 50, 99), ""),
        (f"… history off, p50 / p99 ({len(off)})", spread(off, 50, 99), ""),
        ("… added by the history at p99", f"{percentile(on, 99) - percentile(off, 99):+.1f} ms",
         "≤ 1 ms"),
    ])


def make_year(path, boards=16, now_ms=None):
    """A year of one change a minute per board (a random channel each), with
    their sources and per-day runtime, in relayd's schema: made by relayd
    itself once, then filled here."""
    now_ms = now_ms or int(time.time() * 1000)
    db = sqlite3.connect(path)
    db.execute("PRAGMA journal_mode = WAL")
    db.execute("PRAGMA synchronous = OFF")
    sources = [("mqtt", f"relay/{NODE}/{b}/{c}/set", "") for b in range(1, 17) for c in range(1, 17)]
    sources += [("web", "/api/boards/1/channels/3", "ann"), ("schedule", "water", ""),
                ("master", "", "")]
    db.executemany("INSERT OR IGNORE INTO sources(kind, detail, user) VALUES(?, ?, ?)", sources)
    ids = [r[0] for r in db.execute("SELECT id FROM sources ORDER BY id")]
    start = now_ms - 365 * DAY_MS
    state = {}
    rnd = random.Random(1)
    count = 0
    for board in range(1, boards + 1):
        def rows():
            for minute in range(365 * 24 * 60):
                channel = rnd.randint(1, 16)
                on = not state.get((board, channel), False)
                state[(board, channel)] = on
                yield (board, channel, start + minute * 60000 + rnd.randint(0, 59999), int(on),
                       rnd.choice(ids))
        db.executemany("INSERT OR REPLACE INTO changes(board, channel, t, state, source) "
                       "VALUES(?, ?, ?, ?, ?)", rows())
        count += 365 * 24 * 60
        db.commit()
    days = []
    for board in range(1, boards + 1):
        for channel in range(1, 17):
            for d in range(366):
                day = time.strftime("%Y-%m-%d", time.localtime((start + d * DAY_MS) / 1000))
                days.append((board, channel, day, 90, 43200000))
    db.executemany("INSERT OR REPLACE INTO runtime_days VALUES(?, ?, ?, ?, ?)", days)
    db.commit()
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()
    return count


def timed_get(url, times):
    took = []
    for _ in range(times):
        began = time.perf_counter()
        with urllib.request.urlopen(url) as reply:
            body = reply.read()
        took.append((time.perf_counter() - began) * 1000)
    return took, body


# In the page: board 1's history over 7 days, from the click to the bars drawn
# and the lists filled; then the drawing alone, again and again.
TIMELINE_JS = """
await page.goto(args.url);
await page.locator('section[data-a="1"] [data-act=hist]').click();
await page.locator('#history-commands tr').first().waitFor();
const week = page.locator('[data-range="7"]');
const drawn = [];
for (let i = 0; i < args.times; i++) {
  drawn.push(await page.evaluate(() => new Promise(done => {
    const t0 = performance.now();
    hist.data = null;
    document.querySelector('[data-range="7"]').click();
    const check = () => hist.data && hist.data.to - hist.data.from > 6 * 864e5
      ? requestAnimationFrame(() => done([performance.now() - t0, hist.data.changes.length]))
      : setTimeout(check, 1);
    check();
  })));
}
const draw = await page.evaluate(times => {
  const took = [];
  for (let i = 0; i < times; i++) { const t = performance.now(); drawHistory(); took.push(performance.now() - t); }
  return took;
}, args.times);
return {drawn, draw};
"""


def year_of_history(run, web=None):
    state = os.path.join(run.rig.work, "state-year")
    port = free_port()
    args = ["--state-dir", state, "--http", str(port), "--history-max-mb", "4000"]
    sim, _, bridge, _ = run.rig.start_line([1], relayd_args=args)  # makes the schema
    stop(bridge, sim)
    db = os.path.join(state, "history.sqlite")
    began = time.perf_counter()
    changes = make_year(db)
    made = time.perf_counter() - began
    size = os.path.getsize(db)
    sim, _, bridge, _ = run.rig.start_line([1], relayd_args=args)
    wait_listening(port)
    now = int(time.time() * 1000)
    base = f"http://127.0.0.1:{port}"
    week, body = timed_get(f"{base}/api/history?board=1&channel=3&from={now - 7 * DAY_MS}"
                           f"&limit=10000", 20)
    shown = body.count(b'"channel":3')
    year, _ = timed_get(f"{base}/api/boards/1/runtime?days=365", 20)
    whole, _ = timed_get(f"{base}/api/history?board=1&from={now - DAY_MS}&limit=10000", 20)
    page = web.the_browser().run(TIMELINE_JS, timeout_s=120, url=f"{base}/", times=10) if web else None
    stop(bridge, sim)
    run.results.extend([
        (f"a year of history, 16 boards switching once a minute ({changes:,} changes, made in "
         f"{made:.0f} s): database size", f"{size / 2**20:.0f} MiB", ""),
        (f"… 7-day timeline of one channel through the API ({shown} changes), p50 / p99",
         spread(week, 50, 99), "< 100 ms"),
        ("… the year's runtime per day of one board (16 channels × 365 days), p50 / p99",
         spread(year, 50, 99), "< 100 ms"),
        ("… 24 hours of one board, every channel, p50 / p99", spread(whole, 50, 99), ""),
    ])
    if page:
        rows = page["drawn"][0][1]
        run.results.extend([
            (f"… the page's 7-day timeline of one board ({rows:,} changes): the click to the bars "
             "drawn, p50 / p99", spread([d[0] for d in page["drawn"]], 50, 99), "< 300 ms"),
            ("… its bars drawn again (a resize), p50 / p99", spread(page["draw"], 50, 99), ""),
        ])


def scrape_and_idle(run, idle_seconds):
    port = free_port()
    sim, _, bridge, _ = run.rig.start_line(list(range(1, 33)),
                                           relayd_args=["--http", str(port)])
    wait_listening(port)
    took, body = timed_get(f"http://127.0.0.1:{port}/metrics", 100)
    stop(bridge, sim)
    port = free_port()
    sim, _, bridge, _ = run.rig.start_line([1], relayd_args=["--http", str(port)])
    wait_listening(port)
    time.sleep(2)
    cpu_begin, wall_begin = cpu_seconds(bridge.pid), time.perf_counter()
    while time.perf_counter() - wall_begin < idle_seconds:
        time.sleep(5)
        timed_get(f"http://127.0.0.1:{port}/metrics", 1)
    cpu_end, wall_end = cpu_seconds(bridge.pid), time.perf_counter()
    stop(bridge, sim)
    run.results.extend([
        (f"a scrape of /metrics, 32 boards ({len(body) / 1024:.0f} KiB), p50 / p99 (100)",
         spread(took, 50, 99), "< 10 ms"),
        (f"CPU, one board polled, history on, scraped every 5 s ({idle_seconds} s)",
         f"{(cpu_end - cpu_begin) / (wall_end - wall_begin) * 100:.2f} %", "< 0.5 %"),
    ])
