#!/usr/bin/env node
// Drives the system's chromium for the tests, one JSON line at a time.
//
// In:  {"id":1,"js":"<body of an async function>","args":{...},"timeout_ms":10000}
// Out: {"id":1,"ok":true,"value":...} or {"id":1,"ok":false,"error":"..."}
//
// The body sees browser, context (the first one), page (its first page), pages
// (every page opened through newPage, page first), newPage(options) (a page in
// a context of its own: a second browser beside the first), messages (console
// errors and uncaught exceptions of every page), vars (kept between lines) and
// args (the request's own). Requests run one after the other.
// Buffers (screenshots) come back as base64. The first line out is
// {"ready":true} once chromium runs, or {"ready":false,"error":...}.
'use strict';

const readline = require('readline');
const { chromium } = require('playwright-core');

const Args = [
  '--no-sandbox', // chromium refuses root otherwise
  '--disable-gpu',
  '--disable-quic',
  '--no-first-run',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
];

// Protocol lines only on stdout: whatever the bodies log goes to stderr.
const answer = (object) => process.stdout.write(JSON.stringify(object, replacer) + '\n');
console.log = console.info = console.debug = console.error;

function replacer(key, value) {
  if (value && value.type === 'Buffer' && Array.isArray(value.data)) {
    return Buffer.from(value.data).toString('base64');
  }
  return value === undefined ? null : value;
}

// Playwright's messages come coloured, for a terminal.
const plain = (error) => String((error && error.message) || error).replace(/\x1b\[[0-9;]*m/g, '');

async function main() {
  let browser;
  try {
    browser = await chromium.launch({
      executablePath: process.env.RELAY_CHROMIUM || '/usr/bin/chromium',
      headless: true,
      args: Args,
    });
  } catch (error) {
    answer({ ready: false, error: String(error && error.message) });
    process.exit(1);
  }
  const pages = [];
  const messages = [];
  const vars = {};
  const newPage = async (options = {}) => {
    const context = await browser.newContext(options);
    const page = await context.newPage();
    const index = pages.length;
    page.on('console', (m) => {
      if (m.type() === 'error') messages.push({ page: index, text: m.text() });
    });
    page.on('pageerror', (e) => messages.push({ page: index, text: String(e) }));
    pages.push(page);
    return page;
  };
  const page = await newPage();
  const context = page.context();
  const AsyncFunction = Object.getPrototypeOf(async () => {}).constructor;

  const evaluate = async (request) => {
    const body = new AsyncFunction(
      'browser', 'context', 'page', 'pages', 'newPage', 'messages', 'vars', 'args', request.js);
    const run = body(browser, context, page, pages, newPage, messages, vars, request.args || {});
    if (!(request.timeout_ms > 0)) return run;
    let timer;
    const late = new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`no answer within ${request.timeout_ms} ms`)),
                         request.timeout_ms);
    });
    try {
      return await Promise.race([run, late]);
    } finally {
      clearTimeout(timer);
    }
  };

  // One request after the other, as a test drives its pages step by step.
  let queue = Promise.resolve();
  const lines = readline.createInterface({ input: process.stdin });
  lines.on('line', (line) => {
    if (!line.trim()) return;
    let request;
    try {
      request = JSON.parse(line);
    } catch (error) {
      answer({ id: null, ok: false, error: `not JSON: ${error.message}` });
      return;
    }
    queue = queue
      .then(() => evaluate(request))
      .then((value) => answer({ id: request.id, ok: true, value }),
            (error) => answer({ id: request.id, ok: false, error: plain(error) }));
  });
  let closing = false;
  const close = async () => {
    if (closing) return;
    closing = true;
    await browser.close().catch(() => {});
    process.exit(0);
  };
  // The end of stdin ends the browser once the requests before it are answered; a signal at once.
  lines.on('close', () => queue.then(close));
  process.on('SIGTERM', close);
  process.on('SIGINT', close);
  browser.on('disconnected', () => {
    if (!closing) {
      process.stderr.write('driver: chromium went away\n');
      process.exit(2);
    }
  });
  answer({ ready: true, version: browser.version() });
}

main();
