'use strict';
// relayd's page, the last of its scripts: the cards, the banner and the
// dialogs, wired to the clicks; it starts the page.

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
  const v = { name: h, av: el.querySelector('.av'), lr: el.querySelector('.lr'), nx: el.querySelector('.bx'),
    msgs: el.querySelector('.msgs'), chs: [] };
  for (let n = 1; n <= doc.channels.length; n++) {
    const ch = tpl.cloneNode(true);
    ch.dataset.c = n;
    ch.querySelector('.pul').textContent = T.pulse;
    v.chs.push({ sw: ch.querySelector('.sw'), st: ch.querySelector('.st'), no: ch.querySelector('.no'), nm: ch.querySelector('.nm'),
      ren: ch.querySelector('.ren'), pul: ch.querySelector('.pul'), nx: ch.querySelector('.nx') });
    chs.append(ch);
  }
  el.querySelector('.ad').textContent = T.address(a);
  el.querySelector('[data-act=hist]').textContent = T.history;
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
  setText(v.nx, nextRun(d.address, 0));
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
  // The name is the button's words as shown, in their order: a person who
  // speaks to the page says what they see.
  const words = [c.name ? T.chan(n) : '', c.name || T.chan(n), s === 'on' ? T.on : s === 'off' ? T.off : T.unknown];
  setText(v.no, words[0]);
  setText(v.nm, words[1]);
  setText(v.st, words[2]);
  setAttr(v.sw, 'aria-label', words.filter(Boolean).join(' '));
  setAttr(v.sw, 'aria-pressed', s === 'on' ? 'true' : s === 'off' ? 'false' : null);
  setAttr(v.sw, 'aria-busy', b.pending.has(n) ? 'true' : null);
  setAttr(v.sw, 'aria-disabled', app.role === 'operator' ? null : 'true');
  setAttr(v.ren, 'aria-label', T.rename(n, c.name));
  setAttr(v.ren, 'title', T.rename(n, c.name));
  v.pul.hidden = !c.pulse_ms;
  setText(v.nx, nextRun(b.doc.address, n));
  setAttr(v.pul, 'aria-label', T.pulseName(n, c.name));
}

function refreshAll() {
  for (const b of app.boards.values()) renderCard(b);
  renderSchedules();
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

// ---- dialogs

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

// ---- the history view: its script comes when first wanted, so the page stays light

let historyScript = null;

function openHistory(b) {
  historyScript ||= new Promise((resolve, reject) => {
    const s = document.createElement('script');
    s.src = '/history.js';
    s.onload = resolve;
    s.onerror = reject;
    document.head.append(s);
  });
  historyScript.then(() => showHistory(b), () => { historyScript = null; });
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
    case 'hist': return openHistory(b);
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
  initSchedules();
  refreshBanner();
  start();
}

init();
