'use strict';
// relayd's page: the API calls, the session and the live stream, and the
// requests that switch. Loaded after words.js, before cards.js.

const RETRY_MS = [1000, 2000, 5000]; // then 5 s for ever

const app = {
  role: null, user: null,
  ws: null, wantLive: false, live: false, lost: false, refused: false,
  line: 'open', retries: 0, retryTimer: 0,
  boards: new Map(), // address -> {doc, el, v (elements), pending: Map(channel -> {want, id})}
};
let nextSendId = 1;

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
  // The stream and the session at once, not one after the other: a login
  // still needed closes the stream with 4401.
  if (!app.ws) connect();
  await loadSession();
}

async function loadSession() {
  const { status, data } = await api('GET', '/api/session');
  // 401: the login form is up; no answer: the stream's retries come back here.
  if (status !== 200) return;
  if (data.login_required && !data.user) return showLogin();
  setSession(data);
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
  if (typeof closeHistory === 'function') closeHistory();
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
  else if (m.type === 'board' && m.board) {
    upsert(m.board);
    renderCard(app.boards.get(m.board.address));
    if (typeof historyChanged === 'function') historyChanged(m.board.address);
  }
  else if (m.type === 'line') { app.line = m.line; refreshAll(); }
  else if (m.type === 'schedules') onSchedules(m);
}

// hello carries the whole state: it replaces whatever was shown.
function onHello(m) {
  if (!app.role) loadSession();
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
