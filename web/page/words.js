'use strict';
// relayd's page, the first of its scripts: the words in both languages and
// the small DOM helpers the others use.

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
    schedules: '定时', addEntry: '添加定时', entryName: '名称（字母、数字、_ 或 -）', entryText: '定时',
    entryHint: '例：1:3 on from 06:00 to 06:20 mon-fri（时段内吸合）；1:5 pulse 2s at 07:30,sunset（点动）；1:all off at 22:00',
    addTitle: '添加定时', editTitle: n => `修改定时 ${n}`,
    editEntry: n => `修改定时 ${n}`, deleteEntry: n => `删除定时 ${n}`,
    confirmDelete: '删除定时', confirmDeleteText: n => `定时“${n}”将被删除。`,
    change: '修改', remove: '删除',
    fromConfig: '来自配置文件', fromPage: by => by ? `由 ${by} 添加` : '在页面添加',
    nextRun: (t, does) => `下次 ${t}：${does}`, noNext: '不再运行',
    history: '历史',
    all16: '全部', channelNext: (t, w) => `定时 ${t} ${w}`, boardNext: (t, w) => `定时 ${t} 全部${w}`,
    does: { on: '吸合', off: '断开', toggle: '翻转', pulse: '点动' },
    clockWait: why => `系统时钟尚不可信，定时暂停：${why}`, zone: z => `时间按 ${z}`,
    notSavedEntry: e => `定时未保存：${e}`,
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
    schedules: 'Schedule', addEntry: 'Add entry', entryName: 'Name (letters, digits, _ or -)', entryText: 'Entry',
    entryHint: 'For example 1:3 on from 06:00 to 06:20 mon-fri (on in a window); 1:5 pulse 2s at 07:30,sunset; 1:all off at 22:00',
    addTitle: 'Add an entry', editTitle: n => `Change entry ${n}`,
    editEntry: n => `Change entry ${n}`, deleteEntry: n => `Delete entry ${n}`,
    confirmDelete: 'Delete the entry?', confirmDeleteText: n => `The entry "${n}" will be deleted.`,
    change: 'Change', remove: 'Delete',
    fromConfig: 'from the config file', fromPage: by => by ? `added by ${by}` : 'added on the page',
    nextRun: (t, does) => `next ${t}: ${does}`, noNext: 'no further runs',
    history: 'History',
    all16: 'all channels', channelNext: (t, w) => `timed ${w} ${t}`, boardNext: (t, w) => `timed: all ${w} ${t}`,
    does: { on: 'on', off: 'off', toggle: 'toggle', pulse: 'pulse' },
    clockWait: why => `The system clock is not trusted yet, so the schedule waits: ${why}`, zone: z => `times in ${z}`,
    notSavedEntry: e => `Entry not saved: ${e}`,
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
