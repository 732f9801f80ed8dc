"""relayd's web side: a tap in the page to the board's answer shown, a change
fanned out to many live streams, what idle streams cost, and the page's load."""
import os
import random
import signal
import time
from urllib.parse import urlsplit

from live_clients import PING, LiveClients
from relayd_rig import cpu_seconds, percentile, status_kib

# In the page: click the channel's button, time to the flip of aria-pressed
# (a MutationObserver), and when the POST's own reply arrived (resource timing).
TAP_JS = r"""
const tapped = await newPage({ locale: 'zh-CN' });
await tapped.goto(args.url);
await tapped.waitForSelector(args.selector + '[aria-pressed]', { timeout: 10000 });
// Chromium's own work right after a load takes both cores of a small machine
// for a moment, the virtual board's process waiting with the rest.
await new Promise((r) => setTimeout(r, 1000));
const out = await tapped.evaluate(async ({ selector, taps, gapMs }) => {
  const button = document.querySelector(selector);
  const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
  performance.setResourceTimingBufferSize(10000);
  const shown = [], replied = [], clocks = [];
  let missed = 0;
  for (let i = 0; i < taps; i++) {
    await sleep(Math.random() * gapMs);
    for (let w = 0; button.hasAttribute('aria-busy') && w < 300; w++) await sleep(10);
    const want = button.getAttribute('aria-pressed') === 'true' ? 'false' : 'true';
    let observer, timer;
    const flipped = new Promise((resolve) => {
      observer = new MutationObserver(() => {
        if (button.getAttribute('aria-pressed') === want) resolve(performance.now());
      });
      observer.observe(button, { attributes: true, attributeFilter: ['aria-pressed'] });
      timer = setTimeout(() => resolve(null), 2000);
    });
    const t0 = performance.now();
    button.click();
    const t1 = await flipped;
    observer.disconnect();
    clearTimeout(timer);
    if (t1 === null) { missed++; continue; }
    shown.push(t1 - t0);
    clocks.push([performance.timeOrigin + t0, performance.timeOrigin + t1]);
    for (let w = 0; w < 100; w++) {
      const post = performance.getEntriesByType('resource')
        .find((e) => e.startTime >= t0 && e.name.includes('/api/boards/') && e.responseEnd > 0);
      if (post) { replied.push(post.responseEnd - t0); break; }
      await sleep(10);
    }
    performance.clearResourceTimings();
  }
  return { shown, replied, clocks, missed };
}, { selector: args.selector, taps: args.taps, gapMs: args.gapMs });
await tapped.context().close();
return out;
"""

# A cold load in a context of its own: what the network carried (CDP) and when
# every card showed every channel's state (observed from before the page ran).
LOAD_JS = r"""
const loads = [];
for (let i = 0; i < args.loads; i++) {
  const p = await newPage({ locale: 'zh-CN' });
  const cdp = await p.context().newCDPSession(p);
  await cdp.send('Network.enable');
  const net = { urls: [], http: 0, ws: 0, wsFrames: 0, wsHead: 0, done: {}, hello: null };
  const names = {};
  let start = null;  // the document's request: CDP's clock
  const since = (t) => Math.round((t - start) * 10000) / 10;
  cdp.on('Network.requestWillBeSent', (e) => {
    net.urls.push(e.request.url);
    if (!e.request.url.startsWith('data:')) names[e.requestId] = new URL(e.request.url).pathname;
    if (start === null) start = e.timestamp;
  });
  cdp.on('Network.webSocketCreated', (e) => net.urls.push(e.url));
  cdp.on('Network.loadingFinished', (e) => {
    net.http += e.encodedDataLength;
    if (names[e.requestId]) net.done[names[e.requestId]] = since(e.timestamp);
  });
  cdp.on('Network.webSocketHandshakeResponseReceived', (e) => {
    net.wsHead += (e.response.headersText || '').length;
  });
  cdp.on('Network.webSocketFrameReceived', (e) => {
    net.ws += Buffer.byteLength(e.response.payloadData) + 4;  // + the frame's header
    if (net.hello === null) net.hello = since(e.timestamp);
    net.wsFrames++;
  });
  p.on('request', (r) => net.urls.push(r.url()));
  await p.addInitScript((boards) => {
    const check = () => {
      if (window.benchShown) return;
      if (document.querySelectorAll('section.card[data-a]').length === boards &&
          document.querySelectorAll('section.card button.sw[aria-pressed]').length === boards * 16) {
        window.benchShown = performance.now();
        observer.disconnect();
        requestAnimationFrame(() => { window.benchFrame = performance.now(); });
      }
    };
    const observer = new MutationObserver(check);
    observer.observe(document, { subtree: true, childList: true, attributes: true,
                                 attributeFilter: ['aria-pressed'] });
  }, args.boards);
  await p.goto(args.url);
  await p.waitForFunction(() => window.benchFrame !== undefined, null, { timeout: 10000 });
  await new Promise((r) => setTimeout(r, 300));  // the last network events
  // The first load's, before the reload adds to them.
  const counted = { ...net, urls: [...net.urls], done: { ...net.done } };
  const paint = await p.evaluate(() => {
    const entry = (name) => performance.getEntriesByName(name)[0];
    return { shown: window.benchShown, frame: window.benchFrame,
             fcp: entry('first-contentful-paint') ? entry('first-contentful-paint').startTime : null,
             fp: entry('first-paint') ? entry('first-paint').startTime : null };
  });
  // Again in the same tab, nothing cached: the renderer is up already.
  await cdp.send('Network.setCacheDisabled', { cacheDisabled: true });
  await p.reload();
  await p.waitForFunction(() => window.benchFrame !== undefined, null, { timeout: 10000 });
  const again = await p.evaluate(() => window.benchShown);
  loads.push({ ...paint, again, net: counted });
  await p.context().close();
}
return loads;
"""


def tap(browser, port, taps, gap_ms, channel=3):
    """The rows, notes, and each tap's click and flip on the wall clock (s)."""
    selector = f'section[data-a="1"] .ch[data-c="{channel}"] button.sw'
    out = browser.run(TAP_JS, timeout_s=taps * (gap_ms / 1000 + 3) + 30,
                      url=f"http://127.0.0.1:{port}/", selector=selector, taps=taps, gapMs=gap_ms)
    shown, replied = out["shown"], out["replied"]
    rows = [
        (f"tap to state shown in the page, p50 ({len(shown)}/{taps} taps, 1 board)",
         f"{percentile(shown, 50):.1f} ms", "< 60 ms"),
        ("tap to state shown, p99", f"{percentile(shown, 99):.1f} ms", "< 150 ms"),
        ("  the POST's reply, p50 / p99",
         f"{percentile(replied, 50):.1f} / {percentile(replied, 99):.1f} ms" if replied else "?", ""),
    ]
    notes = [f"taps not shown within 2 s: {out['missed']}"] if out["missed"] else []
    return rows, notes, [(click / 1000, flip / 1000) for click, flip in out["clocks"]]


def live_streams(sim, bridge, port, clients, changes, idle_seconds):
    """Idle first (nothing changes), then channel 1 switched by another master
    (the board's SIGUSR2) changes times, each awaited at every client."""
    live = LiveClients(port, clients)
    notes = []
    try:
        time.sleep(1)
        since = time.time()
        cpu_begin, wall_begin = cpu_seconds(bridge.pid), time.perf_counter()
        time.sleep(idle_seconds)
        cpu_end, wall_end = cpu_seconds(bridge.pid), time.perf_counter()
        rss, hwm = status_kib(bridge.pid, "VmRSS"), status_kib(bridge.pid, "VmHWM")
        idle = live.frames_since(since)
        data = [f for f in idle if f.opcode in (0, 1, 2)]
        pings = sum(1 for f in idle if f.opcode == PING)

        missed = 0
        for _ in range(changes):
            time.sleep(random.uniform(0, 0.1))
            have = live.boards_received()
            os.kill(sim.pid, signal.SIGUSR2)
            if not live.wait(lambda: live.boards_received() > have, 3):
                missed += 1
        time.sleep(0.2)
        arrivals = live.arrivals("board")
        closed = live.closed()
    finally:
        live.close()
    seen = min(len(a) for a in arrivals)
    kernel = [(max(a[k][0] for a in arrivals) - min(a[k][0] for a in arrivals)) * 1000
              for k in range(seen)]
    read = [(max(a[k][1] for a in arrivals) - min(a[k][1] for a in arrivals)) * 1000
            for k in range(seen)]
    if missed or closed:
        notes.append(f"changes not seen by every client within 3 s: {missed}; streams closed: {closed}")
    rows = [
        (f"a change at {clients} live streams, first to last, p99 ({seen} changes)",
         f"{percentile(kernel, 99):.1f} ms", "< 20 ms"),
        ("  p50 / max (arrival: kernel time stamps)",
         f"{percentile(kernel, 50):.1f} / {max(kernel):.1f} ms", ""),
        ("  as read by the clients' one thread, p50 / p99",
         f"{percentile(read, 50):.1f} / {percentile(read, 99):.1f} ms", ""),
        (f"CPU, {clients} idle live streams, 1 board polled ({idle_seconds} s, one core = 100%)",
         f"{(cpu_end - cpu_begin) / (wall_end - wall_begin) * 100:.2f} %", "< 1 %"),
        ("resident memory with them (peak)", f"{rss / 1024:.1f} MiB ({hwm / 1024:.1f} MiB)",
         "< 40 MiB"),
        (f"data sent to them meanwhile (pings: {pings})",
         f"{len(data)} frames, {sum(f.wire_bytes for f in data)} bytes", "none"),
    ]
    return rows, notes


def page_load(browser, port, boards, loads):
    out = browser.run(LOAD_JS, timeout_s=loads * 15 + 30, url=f"http://127.0.0.1:{port}/",
                      boards=boards, loads=loads)
    own = f"127.0.0.1:{port}"
    foreign = sorted({u for load in out for u in load["net"]["urls"]
                      if urlsplit(u).scheme not in ("data", "blob", "about")
                      and urlsplit(u).netloc != own})
    first = out[0]["net"]
    total = first["http"] + first["wsHead"] + first["ws"]
    shown = [load["shown"] for load in out]
    frame = [load["frame"] for load in out]
    fcp = [load["fcp"] for load in out if load["fcp"] is not None]
    rows = [
        (f"page load, bytes received ({len({u for u in first['urls'] if not u.startswith('data:')})} "
         f"requests; HTTP {first['http']} B, live stream {first['wsHead'] + first['ws']} B)",
         f"{total / 1000:.1f} KB", "< 60 KB"),
        ("requests to any other host", f"{len(foreign)}", "0"),
        (f"{boards} boards shown with every state, median of {loads} cold loads",
         f"{percentile(shown, 50):.1f} ms (max {max(shown):.1f})", "< 300 ms"),
        ("  the frame after it", f"{percentile(frame, 50):.1f} ms", ""),
        ("  reloaded in the same tab, nothing cached (the renderer up)",
         f"{percentile([load['again'] for load in out], 50):.1f} ms", ""),
        ("  first contentful paint", f"{percentile(fcp, 50):.1f} ms" if fcp else "?", ""),
    ]
    # The way there, medians: each response's end and the live stream's hello.
    steps = {}
    for load in out:
        for name, at in list(load["net"]["done"].items()) + [("hello", load["net"]["hello"])]:
            if at is not None:
                steps.setdefault(name, []).append(at)
    medians = sorted((percentile(ats, 50), name) for name, ats in steps.items())
    rows.append(("  on the way (ms, median): " + ", ".join(f"{name} {at:.0f}" for at, name in medians),
                 "", ""))
    notes = [f"requests to other hosts: {foreign[:5]}"] if foreign else []
    return rows, notes
