'use strict';
// relayd's page: the schedule's entries, the next run beside each scheduled
// channel, and the dialog that adds, changes and deletes the page's entries.
// Loaded after live.js, before cards.js.

const sched = { list: null, editing: null };

// "06:00" today, "12-09 06:00" another day, seconds when they are not zero,
// all in relayd's zone as it sent them.
function schedTime(iso) {
  const day = iso.slice(5, 10), now = (sched.list?.clock?.now || '').slice(5, 10);
  const time = iso.slice(11, 19).replace(/:00$/, '');
  return day === now ? time : `${day} ${time}`;
}

function doesText(next) {
  return ['on', 'off', 'toggle', 'pulse'].filter(w => next[w])
    .map(w => `${T.does[w]} ${next[w].length === 16 ? T.all16 : T.chans(next[w])}`).join('，');
}

// The next run of board a's channel n (0: of the whole board), as words: the
// earliest of its entries. Entries for all 16 channels are the board's.
function nextRun(a, n) {
  let best = null;
  for (const e of sched.list?.entries || []) {
    const x = e.next;
    if (!x || e.address !== a || (e.channels.length === 16) !== (n === 0)) continue;
    const w = ['on', 'off', 'toggle', 'pulse'].find(k => n === 0 ? x[k] : (x[k] || []).includes(n));
    if (w && (!best || x.time < best.time)) best = { time: x.time, w };
  }
  if (!best) return '';
  return n === 0 ? T.boardNext(schedTime(best.time), T.does[best.w])
    : T.channelNext(schedTime(best.time), T.does[best.w]);
}

function renderSchedules() {
  const m = sched.list;
  $('schedules').hidden = !m || (!m.entries.length && app.role !== 'operator') ||
    $('history')?.hidden === false;
  if (!m) return;
  const c = m.clock || {};
  setText($('sched-clock'), c.valid ? T.zone(c.zone) : T.clockWait(c.why || ''));
  setClass($('sched-clock'), c.valid ? 'meta' : 'meta warn');
  const list = $('sched-list');
  list.replaceChildren(...m.entries.map(e => {
    const li = document.createElement('li');
    li.dataset.name = e.name;
    const head = document.createElement('div');
    head.className = 'sn';
    const name = document.createElement('strong');
    name.textContent = e.name;
    const from = document.createElement('span');
    from.className = 'src';
    from.textContent = e.from === 'config' ? T.fromConfig : T.fromPage(e.by);
    head.append(name, ' ', from);
    const text = document.createElement('code');
    text.textContent = e.text;
    const next = document.createElement('div');
    next.className = e.error ? 'err' : 'sx';
    next.textContent = e.error ? T.refused(e.error)
      : e.next ? T.nextRun(schedTime(e.next.time), doesText(e.next)) : c.valid ? T.noNext : '';
    li.append(head, text, next);
    if (e.from === 'page') {
      const acts = document.createElement('div');
      acts.className = 'acts';
      for (const [act, word, label] of [['edit', T.change, T.editEntry(e.name)],
        ['del', T.remove, T.deleteEntry(e.name)]]) {
        const b = document.createElement('button');
        b.type = 'button';
        b.className = 'btn small';
        b.dataset.act = act;
        b.textContent = word;
        b.setAttribute('aria-label', label);
        acts.append(b);
      }
      li.append(acts);
    }
    return li;
  }));
}

function onSchedules(m) {
  sched.list = m;
  renderSchedules();
  for (const b of app.boards.values()) renderCard(b);
}

function openEntry(e) {
  if (app.role !== 'operator') return;
  sched.editing = e ? e.name : null;
  $('entry-title').textContent = e ? T.editTitle(e.name) : T.addTitle;
  $('entry-name').value = e ? e.name : '';
  $('entry-name').readOnly = !!e;
  $('entry-text').value = e ? e.text : '';
  $('entry-error').textContent = '';
  $('entry-save').disabled = false;
  $('entry').showModal();
  (e ? $('entry-text') : $('entry-name')).focus();
}

async function onEntrySave(ev) {
  ev.preventDefault();
  const name = $('entry-name').value.trim();
  $('entry-save').disabled = true;
  const { status, data } = await api('PUT', `/api/schedules/${encodeURIComponent(name)}`,
    { entry: $('entry-text').value.trim() });
  $('entry-save').disabled = false;
  if (status === 200) {
    onSchedules(data);
    $('entry').close();
  } else if (status !== 401) {
    $('entry-error').textContent = status === 422 && data.error
      ? T.notSavedEntry(data.error) : failureText(status, data, []);
  }
}

async function onSchedulesClick(ev) {
  const btn = ev.target.closest('button[data-act]');
  const e = btn && (sched.list?.entries || []).find(x => x.name === btn.closest('li')?.dataset.name);
  if (!e) return;
  if (btn.dataset.act === 'edit') return openEntry(e);
  if (!await ask(T.confirmDelete, T.confirmDeleteText(e.name))) return;
  const { status, data } = await api('DELETE', `/api/schedules/${encodeURIComponent(e.name)}`);
  if (status === 200) onSchedules(data);
}

function initSchedules() {
  $('sched-add').addEventListener('click', () => openEntry(null));
  $('sched-list').addEventListener('click', onSchedulesClick);
  $('entry-form').addEventListener('submit', onEntrySave);
  $('entry-cancel').addEventListener('click', () => $('entry').close());
}
