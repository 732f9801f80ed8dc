'use strict';
// relayd's page: every board of the line, live, with switching for operators.

const STRINGS = {
  zh: {
    locale: 'zh-CN', title: '继电器板',
    on: '吸合', off: '断开', unknown: '状态未知',
    online: '在线', offline: '无应答', lineLost: '串口断开', noBridge: '未连接',
    chan: n => `第${n}路`,
    chans: ns => `第${ns.join('、')}路`,
    board: a => `板子 ${a}`, address: a => `地址 ${a}`,
    lastReply: s => `最后应答 ${s}`, never: '从未应答',
    allOn: '吸合所有', allOff: '断开所有',
    confirmAll: (on) => on ? '确认吸合所有' : '确认断开所有',
    confirmText: (on, name, count) => `“${name}”的 ${count} 路将全部${on ? '吸合' : '断开'}。`,
    ok: '确定', cancel: '取消', save: '保存',
    rename: (n, name) => `改名 第${n}路${name ? ' ' + name : ''}`,
    renameTitle: n => `给第${n}路改名`, nameLabel: '名称',
    pulse: '点动', pulseName: (n, name) => `点动 第${n}路${name ? ' ' + name : ''}`,
    readOnly: '只读', logout: '退出登录', dismiss: '关闭提示',
    login: '登录', user: '用户名', password: '密码',
    badLogin: '用户名或密码错误',
    tooMany: s => `登录失败次数太多，请 ${s} 秒后再试`,
    bannerLost: '与 relayd 的连接已断开，正在重连…',
    bannerLine: 'relayd 与串口线路的连接已断开，各路状态未知',
    bannerRefused: 'relayd 拒绝了这个页面的连接（来源不被允许），请检查设置后刷新页面',
    bannerConnecting: '正在连接 relayd…',
    notSwitched: chs => `${chs.length ? STRINGS.zh.chans(chs) : ''}没有切换：板子回复的状态没有变`,
    noReply: (chs, ms) => `${chs.length ? STRINGS.zh.chans(chs) + '：' : ''}板子没有应答${ms ? `（等了 ${ms} 毫秒）` : ''}`,
    refused: e => `未执行：${e}`,
    notSaved: e => `名称未保存：${e}`,
    unreachable: '无法连接 relayd',
    httpError: s => `relayd 出错（HTTP ${s}）`,
  },
  en: {
    locale: 'en-GB', title: 'Relay boards',
    on: 'On', off: 'Off', unknown: 'Unknown',
    online: 'online', offline: 'not answering', lineLost: 'serial line lost', noBridge: 'not connected',
    chan: n => `Channel ${n}`,
    chans: ns => (ns.length > 1 ? 'Channels ' : 'Channel ') + ns.join(', '),
    board: a => `Board ${a}`, address: a => `address ${a}`,
    lastReply: s => `last reply ${s}`, never: 'never answered',
    allOn: 'All on', allOff: 'All off',
    confirmAll: (on) => on ? 'Switch all on?' : 'Switch all off?',
    confirmText: (on, name, count) => `All ${count} channels of "${name}" will be switched ${on ? 'on' : 'off'}.`,
    ok: 'OK', cancel: 'Cancel', save: 'Save',
    rename: (n, name) => `Rename channel ${n}${name ? ' ' + name : ''}`,
    renameTitle: n => `Rename channel ${n}`, nameLabel: 'Name',
    pulse: 'Pulse', pulseName: (n, name) => `Pulse channel ${n}${name ? ' ' + name : ''}`,
    readOnly: 'view only', logout: 'Log out', dismiss: 'Dismiss',
    login: 'Log in', user: 'User name', password: 'Password',
    badLogin: 'Wrong user name or password',
    tooMany: s => `Too many failed logins: try again in ${s} seconds`,
    bannerLost: 'The connection to relayd is lost, reconnecting…',
    bannerLine: 'relayd has lost the serial line: channel states are unknown',
    bannerRefused: 'relayd refused the connection from this page (origin not allowed): check its settings, then reload',
    bannerConnecting: 'Connecting to relayd…',
    notSwitched: chs => `${chs.length ? STRINGS.en.chans(chs) + ' did' : 'Did'} not switch: the board's reply shows no change`,
    noReply: (chs, ms) => `${chs.length ? STRINGS.en.chans(chs) + ': the' : 'The'} board did not answer${ms ? ` (waited ${ms} ms)` : ''}`,
    refused: e => `Not done: ${e}`,
    notSaved: e => `Name not saved: ${e}`,
    unreachable: 'Cannot reach relayd',
    httpError: s => `relayd failed (HTTP ${s})`,
  },
};

// The first of the browser's languages that is Chinese or English decides.
function pickLang() {
  for (const l of navigator.languages || [navigator.language || '']) {
    const s = l.toLowerCase();
    if (s.startsWith('zh')) return 'zh';
    if (s.startsWith('en')) return 'en';
  }
  return 'zh';
}

const LANG = pickLang();
const T = STRINGS[LANG];
const $ = id => document.getElementById(id);
const RETRY_MS = [1000, 2000, 5000]; // then 5 s for ever

const app = {
  role: null, user: null,
  ws: null, wantLive: false, live: false, lost: false, refused: false,
  line: 'open', retries: 0, retryTimer: 0,
  boards: new Map(), // address -> {doc, el, v (elements), pending: Map(channel -> {want, id})}
};
let nextSendId = 1;

// ---- small DOM helpers: write only what changed, so updates stay cheap

function setText(el, s) { if (el.textContent !== s) el.textContent = s; }
function setClass(el, s) { if (el.className !== s) el.className = s; }
function setAttr(el, name, value) {
  if (value === null) { if (el.hasAttribute(name)) el.removeAttribute(name); }
  else if (el.getAttribute(name) !== value) el.setAttribute(name, value);
}

const CLOCK = { hour: '2-digit', minute: '2-digit', second: '2-digit', hourCycle: 'h23' };
const TIME = new Intl.DateTimeFormat(T.locale, CLOCK);
const DAY_TIME = new Intl.DateTimeFormat(T.locale, { month: 'numeric', day: 'numeric', ...CLOCK });

function fmtTime(iso) {
  const d = new Date(iso);
  if (isNaN(d)) return iso;
  return (d.toDateString() === new Date().toDateString() ? TIME : DAY_TIME).format(d);
}

// ---- API

async function api(method, path, body) {
  const opt = { method, headers: {} };
  if (body !== undefined) {
    opt.headers['Content-Type'] = 'application/json';
    opt.body = JSON.stringify(body);
  }
  if (AbortSignal.timeout) opt.signal = AbortSignal.timeout(30000);
  let res;
  try { res = await fetch(path, opt); } catch { return { status: 0, data: {} }; }
  let data = {};
  try { data = await res.json(); } catch { /* empty or not JSON */ }
  if (res.status === 401 && path !== '/api/login') showLogin();
  return { status: res.status, data: data || {} };
}

function failureText(status, data, chs) {
  if (status === 409) return T.notSwitched(data.channels || chs);
  if (status === 504) return T.noReply(data.channels || chs, data.timeout_ms);
  if (status === 0) return T.unreachable;
  if (data.error) return T.refused(data.error);
  return T.httpError(status);
}

// ---- session and login

async function start() {
  app.wantLive = true;
  const { status, data } = await api('GET', '/api/session');
  if (status === 401) return; // the login form is up
  if (status !== 200) { app.lost = true; refreshAll(); return scheduleRetry(start); }
  if (data.login_required && !data.user) return showLogin();
  setSession(data);
  connect();
}

function setSession(s) {
  app.user = s.user || null;
  app.role = s.role || 'operator';
  if (s.node) $('node').textContent = s.node;
  $('user').textContent = app.user || '';
  $('who').hidden = !app.user;
  $('ro').hidden = app.role === 'operator';
  document.body.classList.toggle('viewer', app.role !== 'operator');
  refreshAll();
}

function showLogin() {
  stopLive();
  for (const b of app.boards.values()) b.el.remove();
  app.boards.clear();
  for (const d of document.querySelectorAll('dialog[open]')) d.close();
  app.user = null;
  app.lost = false;
  app.retries = 0;
  $('who').hidden = true;
  $('ro').hidden = true;
  if ($('login').hidden) {
    $('login').hidden = false;
    $('login-user').focus();
  }
  refreshBanner();
}

async function onLogin(ev) {
  ev.preventDefault();
  const submit = $('login-submit');
  submit.disabled = true;
  const { status, data } = await api('POST', '/api/login',
    { user: $('login-user').value, password: $('login-password').value });
  if (status === 200) {
    $('login-password').value = '';
    $('login-error').textContent = '';
    $('login').hidden = true;
    submit.disabled = false;
    setSession(data);
    return start(); // session again: it also brings the node name
  }
  let msg = failureText(status, data, []);
  if (status === 401) msg = T.badLogin;
  if (status === 429) {
    const wait = Number(data.retry_after) || 1;
    msg = T.tooMany(wait);
    setTimeout(() => { submit.disabled = false; }, wait * 1000);
  } else {
    submit.disabled = false;
  }
  $('login-error').textContent = msg;
}

async function logout() {
  await api('POST', '/api/logout');
  showLogin();
}

// ---- live stream

function connect() {
  app.wantLive = true;
  app.refused = false;
  const ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/api/live`);
  app.ws = ws;
  refreshBanner();
  ws.onmessage = ev => {
    let m;
    try { m = JSON.parse(ev.data); } catch { return; }
    onMessage(m);
  };
  // An error is always followed by close, which does the work.
  ws.onclose = ev => onClose(ws, ev.code);
}

function stopLive() {
  app.wantLive = false;
  app.live = false;
  clearTimeout(app.retryTimer);
  if (app.ws) {
    app.ws.onclose = null;
    app.ws.close();
    app.ws = null;
  }
}

function onClose(ws, code) {
  if (ws !== app.ws) return;
  app.ws = null;
  app.live = false;
  if (code === 4401) return showLogin();
  if (code === 4403) app.refused = true; // retrying cannot help
  else app.lost = true;
  refreshAll();
  if (!app.refused) scheduleRetry(connect);
}

function scheduleRetry(fn) {
  if (!app.wantLive) return;
  const ms = RETRY_MS[Math.min(app.retries, RETRY_MS.length - 1)];
  app.retries++;
  clearTimeout(app.retryTimer);
  app.retryTimer = setTimeout(fn, ms);
}

function onMessage(m) {
  if (m.type === 'hello') onHello(m);
  else if (m.type === 'board' && m.board) { upsert(m.board); renderCard(app.boards.get(m.board.address)); }
  else if (m.type === 'line') { app.line = m.line; refreshAll(); }
}

// hello carries the whole state: it replaces whatever was shown.
function onHello(m) {
  app.live = true;
  app.lost = false;
  app.retries = 0;
  app.line = m.line;
  if (m.node) $('node').textContent = m.node;
  const seen = new Set();
  for (const doc of m.boards || []) { seen.add(doc.address); upsert(doc); }
  for (const [a, b] of app.boards) {
    if (!seen.has(a)) { b.el.remove(); app.boards.delete(a); }
  }
  refreshAll();
}

function upsert(doc) {
  const b = app.boards.get(doc.address) || addCard(doc);
  b.doc = doc;
  settle(b);
}

// A pending mark ends when the board reports the wanted state (or the POST ends).
function settle(b) {
  for (const [n, p] of b.pending) {
    const c = channel(b.doc, n);
    if (p.want && c && c.state === p.want) b.pending.delete(n);
  }
}

function channel(doc, n) { return doc.channels.find(c => c.channel === n); }

// ---- rendering

function addCard(doc) {
  const el = $('t-card').content.firstElementChild.cloneNode(true);
  const a = doc.address;
  el.dataset.a = a;
  const h = el.querySelector('.bn');
  h.id = `board-${a}`;
  el.setAttribute('aria-labelledby', h.id);
  const chs = el.querySelector('.chs');
  const tpl = $('t-ch').content.firstElementChild;
  const v = { name: h, av: el.querySelector('.av'), lr: el.querySelector('.lr'), msgs: el.querySelector('.msgs'), chs: [] };
  for (let n = 1; n <= doc.channels.length; n++) {
    const ch = tpl.cloneNode(true);
    ch.dataset.c = n;
    const st = ch.querySelector('.st');
    st.id = `st-${a}-${n}`;
    const sw = ch.querySelector('.sw');
    sw.setAttribute('aria-describedby', st.id);
    ch.querySelector('.pul').textContent = T.pulse;
    v.chs.push({ sw, st, no: ch.querySelector('.no'), nm: ch.querySelector('.nm'),
      ren: ch.querySelector('.ren'), pul: ch.querySelector('.pul') });
    chs.append(ch);
  }
  el.querySelector('.ad').textContent = T.address(a);
  el.querySelector('[data-act=on]').textContent = T.allOn;
  el.querySelector('[data-act=off]').textContent = T.allOff;
  el.querySelector('.ro').textContent = T.readOnly;
  const b = { doc, el, v, pending: new Map() };
  // Keep the cards in address order.
  const next = [...app.boards.values()].filter(o => o.doc.address > a)
    .sort((x, y) => x.doc.address - y.doc.address)[0];
  $('boards').insertBefore(el, next ? next.el : null);
  app.boards.set(a, b);
  return b;
}

function availability(doc) {
  if (!app.live) return ['grey', T.noBridge];
  if (app.line === 'lost') return ['grey', T.lineLost];
  return doc.availability === 'online' ? ['online', T.online] : ['offline', T.offline];
}

function renderCard(b) {
  const d = b.doc, v = b.v;
  setText(v.name, d.name || T.board(d.address));
  const [cls, text] = availability(d);
  setClass(v.av, `av ${cls}`);
  setText(v.av, text);
  setText(v.lr, d.last_reply ? T.lastReply(fmtTime(d.last_reply)) : T.never);
  for (const c of d.channels) {
    const cv = v.chs[c.channel - 1];
    if (cv) renderChannel(b, cv, c, cls);
  }
}

function renderChannel(b, v, c, avail) {
  const n = c.channel;
  // The panel writes its default names into name.txt: those are no names.
  c = { ...c, name: (c.name || '').trim() === `第${n}路` ? '' : (c.name || '').trim() };
  // Only an answering board on a live line tells a state; anything else is unknown.
  let s = avail === 'grey' ? 'grey' : 'unk';
  if (avail === 'online' && c.state === 'ON') s = 'on';
  if (avail === 'online' && c.state === 'OFF') s = 'off';
  setClass(v.sw, `sw ${s}`);
  setText(v.st, s === 'on' ? T.on : s === 'off' ? T.off : T.unknown);
  setAttr(v.sw, 'aria-pressed', s === 'on' ? 'true' : s === 'off' ? 'false' : null);
  setAttr(v.sw, 'aria-busy', b.pending.has(n) ? 'true' : null);
  setAttr(v.sw, 'aria-disabled', app.role === 'operator' ? null : 'true');
  setAttr(v.sw, 'aria-label', c.name ? `${T.chan(n)} ${c.name}` : T.chan(n));
  setText(v.nm, c.name || T.chan(n));
  setText(v.no, c.name ? String(n) : '');
  setAttr(v.ren, 'aria-label', T.rename(n, c.name));
  setAttr(v.ren, 'title', T.rename(n, c.name));
  v.pul.hidden = !c.pulse_ms;
  setAttr(v.pul, 'aria-label', T.pulseName(n, c.name));
}

function refreshAll() {
  for (const b of app.boards.values()) renderCard(b);
  refreshBanner();
}

function refreshBanner() {
  let text = '', cls = 'banner';
  if (!$('login').hidden) text = '';
  else if (app.refused) text = T.bannerRefused;
  else if (app.lost) text = T.bannerLost;
  else if (!app.live && app.wantLive) { text = T.bannerConnecting; cls += ' info'; }
  else if (app.live && app.line === 'lost') text = T.bannerLine;
  setText($('banner'), text);
  setClass($('banner'), cls);
}

function addMessage(b, text) {
  const m = document.createElement('div');
  m.className = 'msg';
  m.setAttribute('role', 'alert');
  const span = document.createElement('span');
  span.textContent = text;
  const x = document.createElement('button');
  x.type = 'button';
  x.className = 'x';
  x.dataset.act = 'x';
  x.textContent = '×';
  x.setAttribute('aria-label', T.dismiss);
  m.append(span, x);
  b.v.msgs.append(m);
  while (b.v.msgs.children.length > 3) b.v.msgs.firstElementChild.remove();
}

// ---- switching

async function send(b, path, body, chs, want) {
  const id = nextSendId++;
  for (const n of chs) b.pending.set(n, { want, id });
  renderCard(b);
  const { status, data } = await api('POST', path, body);
  if (app.boards.get(b.doc.address) !== b) return; // logged out meanwhile
  for (const n of chs) if (b.pending.get(n)?.id === id) b.pending.delete(n);
  if (status === 200) takeReply(b, data);
  else if (status !== 401) addMessage(b, failureText(status, data, chs));
  renderCard(b);
}

// The stream may already have brought a newer document than this reply.
function takeReply(b, doc) {
  if (!doc || doc.address !== b.doc.address || !Array.isArray(doc.channels)) return;
  if (!b.doc.last_reply || !doc.last_reply || doc.last_reply >= b.doc.last_reply) b.doc = doc;
  settle(b);
}

function toggle(b, n) {
  if (app.role !== 'operator' || b.pending.has(n)) return;
  const s = channel(b.doc, n)?.state;
  send(b, `/api/boards/${b.doc.address}/channels/${n}`, { state: 'TOGGLE' }, [n],
    s === 'ON' ? 'OFF' : s === 'OFF' ? 'ON' : null);
}

function pulse(b, n) {
  if (app.role !== 'operator' || b.pending.has(n)) return;
  // The channel switches back by itself, so only the reply ends the mark.
  send(b, `/api/boards/${b.doc.address}/channels/${n}`, { state: 'PULSE' }, [n], null);
}

async function switchAll(b, on) {
  if (app.role !== 'operator') return;
  const name = b.doc.name || T.board(b.doc.address);
  const ok = await ask(T.confirmAll(on), T.confirmText(on, name, b.doc.channels.length));
  if (!ok || app.boards.get(b.doc.address) !== b) return;
  const state = on ? 'ON' : 'OFF';
  send(b, `/api/boards/${b.doc.address}`, { state }, b.doc.channels.map(c => c.channel), state);
}

function ask(title, text) {
  const dlg = $('confirm');
  $('confirm-title').textContent = title;
  $('confirm-text').textContent = text;
  dlg.returnValue = '';
  dlg.showModal();
  return new Promise(resolve =>
    dlg.addEventListener('close', () => resolve(dlg.returnValue === 'ok'), { once: true }));
}

// ---- renaming

let renaming = null;

function openRename(b, n) {
  if (app.role !== 'operator') return;
  renaming = { b, n };
  const input = $('rename-input');
  $('rename-title').textContent = T.renameTitle(n);
  input.value = channel(b.doc, n)?.name || '';
  input.placeholder = T.chan(n);
  $('rename-error').textContent = '';
  $('rename-save').disabled = false;
  $('rename').showModal();
  input.select();
}

async function onRename(ev) {
  ev.preventDefault();
  if (!renaming) return;
  const { b, n } = renaming;
  $('rename-save').disabled = true;
  const { status, data } = await api('POST', `/api/boards/${b.doc.address}/channels/${n}/name`,
    { name: $('rename-input').value.trim() });
  $('rename-save').disabled = false;
  if (status === 401 || renaming?.b !== b || renaming.n !== n) return;
  if (status === 200) {
    takeReply(b, data);
    renderCard(b);
    $('rename').close();
    return;
  }
  $('rename-error').textContent = status === 422 && data.error
    ? T.notSaved(data.error) : failureText(status, data, [n]);
}

// ---- wiring

function onBoardsClick(ev) {
  const btn = ev.target.closest('button[data-act]');
  const card = btn && btn.closest('.card');
  const b = card && app.boards.get(Number(card.dataset.a));
  if (!b) return;
  const n = Number(btn.closest('.ch')?.dataset.c);
  switch (btn.dataset.act) {
    case 'sw': return toggle(b, n);
    case 'pul': return pulse(b, n);
    case 'ren': return openRename(b, n);
    case 'on': return switchAll(b, true);
    case 'off': return switchAll(b, false);
    case 'x': return btn.parentElement.remove();
  }
}

function init() {
  document.documentElement.lang = LANG === 'zh' ? 'zh-CN' : 'en';
  document.title = `relayd · ${T.title}`;
  for (const el of document.querySelectorAll('[data-t]')) el.textContent = T[el.dataset.t];
  $('boards').addEventListener('click', onBoardsClick);
  $('login-form').addEventListener('submit', onLogin);
  $('logout').addEventListener('click', logout);
  $('confirm-yes').addEventListener('click', () => $('confirm').close('ok'));
  $('confirm-no').addEventListener('click', () => $('confirm').close('cancel'));
  $('rename-form').addEventListener('submit', onRename);
  $('rename-cancel').addEventListener('click', () => $('rename').close());
  $('rename').addEventListener('close', () => { renaming = null; });
  refreshBanner();
  start();
}

init();
