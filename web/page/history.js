'use strict';
// relayd's page, loaded when the history view is first opened: a board's
// channels over the last day or week as bars in the panel's colours, the
// cause of each change on hover and tap, the runtime per day, and the
// commands with their outcomes and users.

// The view's words and markup come with it.
Object.assign(T, {
  zh: {
    historyTitle: name => `${name} · 历史`, back: '返回', day: '24 小时', week: '7 天',
    csv: '导出 CSV', runtime: '每日运行时间', commands: '命令', outcome: '结果', source: '来源', any: '全部',
    byUser: '用户', loading: '正在读取…', truncated: '记录太多，只显示了一部分', noHistory: '没有历史记录（relayd 未开启历史）',
    sw: '次', hours: h => `${h} 小时`, minutes: m => `${m} 分`,
    outcomes: { verified: '已确认', 'not verified': '未生效', refused: '被拒绝', 'no reply': '无应答', sent: '已发送' },
    kinds: { mqtt: 'MQTT', web: '网页', schedule: '定时', shared: '共享串口', pulse: '点动结束', interlock: '互锁', momentary: '点动复位', master: '其他主机', seen: '启动时读到', command: '命令' },
    tipState: (ch, st, from, to) => `${ch} ${st} ${from} – ${to}`, tipLost: '无记录：串口断开或 relayd 未运行', tipUnknown: '板子无应答',
    cols: ['时间', '通道', '命令', '来源', '用户', '结果'],
  },
  en: {
    historyTitle: name => `${name} · history`, back: 'Back', day: '24 hours', week: '7 days',
    csv: 'Export CSV', runtime: 'Runtime per day', commands: 'Commands', outcome: 'Outcome', source: 'Source', any: 'any',
    byUser: 'By user', loading: 'Loading…', truncated: 'Too many records: only part is shown', noHistory: 'No history (relayd keeps none)',
    sw: 'switches', hours: h => `${h} h`, minutes: m => `${m} min`,
    outcomes: { verified: 'verified', 'not verified': 'not verified', refused: 'refused', 'no reply': 'no reply', sent: 'sent' },
    kinds: { mqtt: 'MQTT', web: 'web', schedule: 'schedule', shared: 'shared port', pulse: 'pulse end', interlock: 'interlock', momentary: 'momentary release', master: 'another master', seen: 'as first read', command: 'a command' },
    tipState: (ch, st, from, to) => `${ch} ${st} ${from} – ${to}`, tipLost: 'nothing recorded: line lost or relayd not running', tipUnknown: 'board not answering',
    cols: ['Time', 'Channels', 'Command', 'Source', 'User', 'Outcome'],
  },
}[LANG]);

const HISTORY_MARKUP = `
  <div class="head">
    <h2 id="history-title"></h2>
    <button type="button" id="history-back" class="btn small" data-t="back"></button>
  </div>
  <div class="hbar" role="radiogroup" aria-labelledby="history-title">
    <button type="button" class="btn small" role="radio" data-range="1" aria-checked="true" data-t="day"></button>
    <button type="button" class="btn small" role="radio" data-range="7" aria-checked="false" data-t="week"></button>
    <a id="history-csv" class="btn small" data-t="csv"></a>
  </div>
  <p id="history-state" class="meta" role="status"></p>
  <div id="history-lines" class="hlines"></div>
  <p id="history-tip" class="htip" aria-live="polite"></p>
  <h3 data-t="runtime"></h3>
  <div class="hscroll"><table id="history-runtime" class="htable"></table></div>
  <h3 data-t="commands"></h3>
  <div class="hfilters">
    <label><span data-t="outcome"></span> <select id="f-outcome"></select></label>
    <label><span data-t="source"></span> <select id="f-source"></select></label>
    <label><span data-t="byUser"></span> <input id="f-user" autocomplete="off" spellcheck="false"></label>
  </div>
  <div class="hscroll"><table id="history-commands" class="htable"></table></div>`;

const DAY_MS = 864e5;
const COLOURS = { on: 'rgb(0, 255, 0)', off: 'rgb(255, 0, 0)', unk: 'rgb(255, 255, 0)', grey: '#b8b8b8' };
const hist = { board: null, days: 1, data: null, runtime: null, lines: [], refresh: 0, asked: 0 };

function showHistory(b) {
  hist.board = b.doc.address;
  hist.data = hist.runtime = null;
  for (const id of ['boards', 'schedules']) $(id).hidden = true;
  $('history').hidden = false;
  setText($('history-title'), T.historyTitle(b.doc.name || T.board(b.doc.address)));
  buildLines(b);
  window.scrollTo(0, 0);
  loadHistory();
}

function closeHistory() {
  hist.board = null;
  clearTimeout(hist.refresh);
  $('history').hidden = true;
  $('boards').hidden = false;
  renderSchedules();
}

// One row a channel: its name, then its bar.
function buildLines(b) {
  const box = $('history-lines');
  box.replaceChildren();
  hist.lines = b.doc.channels.map(c => {
    const row = document.createElement('div');
    row.className = 'hline';
    const name = document.createElement('span');
    name.className = 'hname';
    name.textContent = (c.name || '').trim() && c.name.trim() !== T.chan(c.channel)
      ? `${c.channel} ${c.name.trim()}` : T.chan(c.channel);
    const canvas = document.createElement('canvas');
    canvas.setAttribute('role', 'img');
    canvas.dataset.c = c.channel;
    row.append(name, canvas);
    box.append(row);
    return { channel: c.channel, label: name.textContent, canvas, spans: [] };
  });
}

async function loadHistory() {
  const a = hist.board, asked = ++hist.asked;
  const to = Date.now(), from = to - hist.days * DAY_MS;
  setText($('history-state'), T.loading);
  const query = `board=${a}&from=${from}&to=${to}`;
  $('history-csv').href = `/api/history?${query}&format=csv`;
  $('history-csv').download = `relayd-board-${a}.csv`;
  const [h, r] = await Promise.all([api('GET', `/api/history?${query}&limit=50000`),
    api('GET', `/api/boards/${a}/runtime?days=${Math.max(7, hist.days)}`)]);
  if (asked !== hist.asked || hist.board !== a) return;
  if (h.status !== 200) {
    setText($('history-state'), h.status === 404 ? T.noHistory : failureText(h.status, h.data, []));
    return;
  }
  hist.data = h.data;
  hist.runtime = r.status === 200 ? r.data : null;
  setText($('history-state'), h.data.truncated ? T.truncated : '');
  drawHistory();
  renderRuntime();
  renderFilters();
  renderCommands();
}

// A board's document changed while its history is open: read it again, not
// more often than every few seconds.
function historyChanged(address) {
  if (hist.board !== address || hist.refresh) return;
  hist.refresh = setTimeout(() => { hist.refresh = 0; if (hist.board === address) loadHistory(); }, 3000);
}

// What was known when: the board's availability and the line's, as spans.
function outages(d) {
  const spans = [];
  let board = null, line = null;
  for (const e of d.availability || []) {
    if (e.board === null || e.board === undefined) {
      if ((e.state === 'line lost' || e.state === 'stopped') && line === null) line = e.t;
      if (e.state === 'line open' && line !== null) { spans.push([line, e.t, 'grey']); line = null; }
    } else {
      if (e.state === 'offline' && board === null) board = e.t;
      if (e.state === 'online' && board !== null) { spans.push([board, e.t, 'unk']); board = null; }
    }
  }
  if (line !== null) spans.push([line, d.to, 'grey']);
  if (board !== null) spans.push([board, d.to, 'unk']);
  return spans;
}

// One channel's spans over [from, to]: [start, end, look, cause] in time order.
function channelSpans(d, n, lost) {
  const spans = [];
  // Before anything was recorded nothing is known: grey, as a closed port on the panel.
  let t = d.from, look = d.initial?.[n] === 'ON' ? 'on' : d.initial?.[n] === 'OFF' ? 'off' : 'grey';
  let cause = null;
  for (const c of d.changes || []) {
    if (c.channel !== n) continue;
    spans.push([t, c.t, look, cause]);
    t = c.t;
    look = c.state === 'ON' ? 'on' : 'off';
    cause = c.cause;
  }
  spans.push([t, d.to, look, cause]);
  // Outages hide what the state was; drawn over the rest.
  return spans.concat(lost.map(([s, e, l]) => [s, e, l, null]));
}

function drawHistory() {
  const d = hist.data;
  const lost = outages(d);
  const ratio = window.devicePixelRatio || 1;
  for (const line of hist.lines) {
    line.spans = channelSpans(d, line.channel, lost);
    const c = line.canvas, w = c.clientWidth || 300, h = c.clientHeight || 22;
    c.width = Math.round(w * ratio);
    c.height = Math.round(h * ratio);
    const g = c.getContext('2d');
    g.scale(ratio, ratio);
    const x = t => (t - d.from) / (d.to - d.from) * w;
    for (const [s, e, look] of line.spans) {
      g.fillStyle = COLOURS[look];
      g.fillRect(x(s), 0, Math.max(1, x(e) - x(s)), h);
    }
    const on = line.spans.filter(s => s[2] === 'on').reduce((sum, s) => sum + (s[1] - s[0]), 0);
    c.setAttribute('aria-label', `${line.label}: ${T.on} ${Math.round(on / (d.to - d.from) * 100)}%`);
  }
}

// What the pointer is on: a change within reach (a finger is wide, and a
// change of a minute is a sliver of a day), else the span under it.
function spanAt(line, ev) {
  const d = hist.data, r = line.canvas.getBoundingClientRect();
  const px = ev.clientX - r.left, scale = r.width / (d.to - d.from);
  const reach = ev.pointerType === 'touch' ? 12 : 6;
  let near = null;
  for (const s of line.spans) {
    const gap = Math.abs((s[0] - d.from) * scale - px);
    // Of changes a pixel apart, the later: the earlier is then out of sight.
    if (s[3] && gap <= reach && (!near || gap < near.gap - 1 || (gap < near.gap + 1 && s[0] > near.s[0]))) {
      near = { s, gap };
    }
  }
  if (near) return near.s;
  const t = d.from + px / scale;
  // The last span drawn over a moment is the one shown there.
  return [...line.spans].reverse().find(s => s[0] <= t && t < s[1]);
}

function causeText(c) {
  if (!c) return '';
  const kind = T.kinds[c.kind] || c.kind;
  return [kind, c.detail, c.user].filter(Boolean).join(' · ');
}

function onLinesPointer(ev) {
  const canvas = ev.target.closest('canvas');
  const line = canvas && hist.lines.find(l => l.canvas === canvas);
  if (!line || !hist.data) return;
  const s = spanAt(line, ev);
  if (!s) return;
  const look = s[2] === 'on' ? T.on : s[2] === 'off' ? T.off : s[2] === 'grey' ? T.tipLost : T.tipUnknown;
  const text = T.tipState(line.label, look, fmtTime(new Date(s[0]).toISOString()),
    fmtTime(new Date(s[1]).toISOString()));
  const why = causeText(s[3]);
  setText($('history-tip'), why ? `${text} · ${why}` : text);
  canvas.title = $('history-tip').textContent;
}

function renderRuntime() {
  const rt = hist.runtime, table = $('history-runtime');
  if (!rt) { table.replaceChildren(); return; }
  // Newest first: on a phone, today is the column in sight.
  const days = (rt.channels[0]?.days || []).slice(-7).reverse();
  const row = (cells, head) => {
    const tr = document.createElement('tr');
    for (const [i, text] of cells.entries()) {
      const td = document.createElement(head || i === 0 ? 'th' : 'td');
      td.textContent = text;
      if (!head && i === 0) td.scope = 'row';
      tr.append(td);
    }
    return tr;
  };
  const hours = s => !s ? '–' : s < 60 ? T.minutes('<1') : s < 3600 ? T.minutes(Math.round(s / 60))
    : T.hours((s / 3600).toFixed(1));
  table.replaceChildren(row(['', ...days.map(x => x.day.slice(5)), T.sw], true),
    ...rt.channels.map(c => row([T.chan(c.channel), ...c.days.slice(-7).reverse().map(x => hours(x.energised_s)),
      String(c.days.slice(-7).reduce((n, x) => n + x.switches, 0))])));
}

function renderFilters() {
  const fill = (id, values, word) => {
    const sel = $(id), was = sel.value;
    const opts = [['', T.any], ...values.map(v => [v, word(v)])];
    sel.replaceChildren(...opts.map(([v, text]) => new Option(text, v)));
    sel.value = opts.some(o => o[0] === was) ? was : '';
  };
  const cmds = hist.data.commands || [];
  fill('f-outcome', [...new Set(cmds.map(c => c.outcome))], v => T.outcomes[v] || v);
  fill('f-source', [...new Set(cmds.map(c => c.source?.kind))].filter(Boolean), v => T.kinds[v] || v);
}

function renderCommands() {
  const outcome = $('f-outcome').value, source = $('f-source').value;
  const user = $('f-user').value.trim().toLowerCase();
  const cmds = (hist.data?.commands || []).filter(c => (!outcome || c.outcome === outcome)
    && (!source || c.source?.kind === source) && (!user || (c.source?.user || '').toLowerCase().includes(user)));
  const head = document.createElement('tr');
  for (const col of T.cols) {
    const th = document.createElement('th');
    th.textContent = col;
    th.scope = 'col';
    head.append(th);
  }
  const rows = cmds.slice().reverse().slice(0, 500).map(c => {
    const tr = document.createElement('tr');
    const cells = [fmtTime(new Date(c.t).toISOString()), (c.channels || []).join(', '), c.what,
      causeText({ kind: c.source?.kind, detail: c.source?.detail }), c.source?.user || '',
      (T.outcomes[c.outcome] || c.outcome) + (c.reason ? `（${c.reason}）` : '')];
    for (const text of cells) {
      const td = document.createElement('td');
      td.textContent = text;
      tr.append(td);
    }
    tr.className = c.outcome === 'verified' || c.outcome === 'sent' ? '' : 'bad';
    return tr;
  });
  $('history-commands').replaceChildren(head, ...rows);
  const csv = new URL($('history-csv').href, location.href);
  for (const [k, v] of [['outcome', outcome], ['source', source], ['user', user]]) {
    if (v) csv.searchParams.set(k, v); else csv.searchParams.delete(k);
  }
  $('history-csv').href = csv.pathname + csv.search;
}

(function initHistory() {
  const style = document.createElement('link');
  style.rel = 'stylesheet';
  style.href = '/history.css';
  document.head.append(style);
  const section = document.createElement('section');
  section.id = 'history';
  section.className = 'card history';
  section.hidden = true;
  section.setAttribute('aria-labelledby', 'history-title');
  section.innerHTML = HISTORY_MARKUP;
  for (const el of section.querySelectorAll('[data-t]')) el.textContent = T[el.dataset.t];
  $('schedules').before(section);
  $('history-back').addEventListener('click', closeHistory);
  $('history-lines').addEventListener('pointermove', onLinesPointer);
  $('history-lines').addEventListener('click', onLinesPointer);
  for (const btn of document.querySelectorAll('#history [data-range]')) {
    btn.addEventListener('click', () => {
      hist.days = Number(btn.dataset.range);
      for (const b of document.querySelectorAll('#history [data-range]')) {
        b.setAttribute('aria-checked', String(b === btn));
      }
      loadHistory();
    });
  }
  for (const id of ['f-outcome', 'f-source']) $(id).addEventListener('change', renderCommands);
  $('f-user').addEventListener('input', renderCommands);
  window.addEventListener('resize', () => { if (hist.data && hist.board !== null) drawHistory(); });
})();
