// Starts the real program (under the caller's Xvfb) with the web engine's
// DevTools endpoint on loopback, and checks through the DevTools protocol that
// the routing page connects to the bridge, calls uiReady and receives the
// sources, senders and connections messages in that order, that the window is
// titled "Quorvane" at 1200 by 680, and that SIGTERM then ends the program with
// exit code 0. Prints the time from process start
// to the first uiReady and the resident memory with the three default senders.
//
// Usage: node page-connects.cjs path/to/quorvane   (NODE_PATH: tests/js/node_modules)
'use strict';

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { isDeepStrictEqual } = require('node:util');
const CDP = require('chrome-remote-interface');

const HOST = '127.0.0.1';
const PAGE_URL = 'qrc:/routing-web-ui.html';
const LIMIT_MS = 90_000;

// Runs before the page's own scripts: wraps the web channel constructor so
// that the bridge's messages and the page's uiReady call are recorded in the
// order the page sees them.
const RECORDER = `(() => {
  const record = (window.__quorvaneTest = { events: [] });
  let original;
  function Recorded(transport, ready) {
    return new original(transport, (channel) => {
      const bridge = channel.objects.qmlWrapper;
      for (const name of ['sourcesUpdated', 'sendersUpdated', 'connectionsUpdated'])
        bridge[name].connect((text) => record.events.push([name, text]));
      const uiReady = bridge.uiReady;
      bridge.uiReady = (...args) => { record.events.push(['uiReady']); return uiReady.apply(bridge, args); };
      ready(channel);
    });
  }
  Object.defineProperty(window, 'QWebChannel', {
    configurable: true,
    get() { return original && Recorded; },
    set(value) { original = value; },
  });
})();`;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// A deadline that does not keep node alive once the race it is in is decided.
const timeout = (ms, value) => new Promise((resolve) => setTimeout(resolve, ms, value).unref());

// How the program ended, once it has; every wait below expects it running.
let programEnd;

async function until(what, probe) {
  const deadline = Date.now() + LIMIT_MS;
  for (;;) {
    if (programEnd) throw new Error(`quorvane ended while waiting for ${what}: ${JSON.stringify(programEnd)}`);
    const value = await probe().catch(() => undefined);
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(200);
  }
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, HOST, () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function privateEnvironment(root, port) {
  const env = { ...process.env };
  for (const sub of ['home', 'data', 'config', 'cache', 'runtime', 'tmp', 'ndi']) {
    fs.mkdirSync(path.join(root, sub), { mode: 0o700 });
  }
  Object.assign(env, {
    HOME: path.join(root, 'home'),
    XDG_DATA_HOME: path.join(root, 'data'),
    XDG_CONFIG_HOME: path.join(root, 'config'),
    XDG_CACHE_HOME: path.join(root, 'cache'),
    XDG_RUNTIME_DIR: path.join(root, 'runtime'),
    TMPDIR: path.join(root, 'tmp'),
    QUORVANE_NDI_DIR: path.join(root, 'ndi'),
    QTWEBENGINE_DISABLE_SANDBOX: '1',
    QTWEBENGINE_REMOTE_DEBUGGING: `${HOST}:${port}`,
    JACK_NO_START_SERVER: '1',
    JACK_DEFAULT_SERVER: `quorvane-test-${path.basename(root)}`,
  });
  return env;
}

// Resident memory in KiB of a process and of its child processes (the web
// engine's renderer, GPU and zygote processes).
function residentKiB(pid) {
  const rss = (p) => {
    const match = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${p}/status`, 'utf8'));
    return match ? Number(match[1]) : 0;
  };
  const children = (p) => {
    const result = [];
    for (const entry of fs.readdirSync('/proc')) {
      if (!/^\d+$/.test(entry)) continue;
      try {
        const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
        const parent = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
        if (parent === p) result.push(Number(entry), ...children(Number(entry)));
      } catch {
        // The process ended while it was being read.
      }
    }
    return result;
  };
  const own = rss(pid);
  return { own, withChildren: own + children(pid).reduce((sum, child) => sum + rss(child), 0) };
}

async function main() {
  const executable = process.argv[2];
  assert.ok(executable, 'usage: node page-connects.cjs path/to/quorvane');
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'quorvane-page-'));
  const port = await freePort();
  const env = privateEnvironment(root, port);
  const startedAt = performance.now();
  const program = spawn(executable, [], { env, stdio: ['ignore', 'pipe', 'pipe'] });
  let log = '';
  let readyAt;
  const collect = (chunk) => {
    log += chunk;
    if (readyAt === undefined && /\[debug\] uiReady/.test(log)) readyAt = performance.now();
  };
  program.stdout.on('data', collect);
  program.stderr.on('data', collect);
  const exited = new Promise((resolve) => program.once('exit', (code, signal) => resolve((programEnd = { code, signal }))));

  let client;
  let ended;
  try {
    await until('the first uiReady log line', async () => readyAt !== undefined);
    console.log(`process start to uiReady: ${((readyAt - startedAt) / 1000).toFixed(3)} s`);

    const target = await until('the page target', async () =>
      (await CDP.List({ host: HOST, port })).find((t) => t.type === 'page' && t.url === PAGE_URL));
    client = await CDP({ host: HOST, port, target });
    await client.Page.enable();
    await client.Runtime.enable();
    await client.Page.addScriptToEvaluateOnNewDocument({ source: RECORDER });
    await client.Page.reload();

    const evaluate = async (expression) =>
      (await client.Runtime.evaluate({ expression, returnByValue: true })).result.value;
    const recorded = async () => (await evaluate('window.__quorvaneTest && window.__quorvaneTest.events')) || [];
    // The replay: sources, senders and connections one right after the other,
    // after the page's uiReady call (reports queued before the call may come
    // first, and reports may come before the call).
    const replayed = (events) => {
      const names = events.map(([name]) => name);
      const call = names.indexOf('uiReady');
      return call >= 0 && names.slice(call + 1).join(' ').includes('sourcesUpdated sendersUpdated connectionsUpdated');
    };
    await until('uiReady followed by the three messages', async () => replayed(await recorded())).catch(async (error) => {
      throw new Error(`${error.message}: ${JSON.stringify(await recorded())}`);
    });
    // The replay holds what the engine reported so far; the routing restored at
    // start-up reaches the page by the first block's senders report at the latest.
    const defaults = { 'Zelka Sender 1': 4, 'Zelka Sender 2': 2, 'Zelka Sender 3': 6 };
    await until('the default senders message', async () =>
      (await recorded()).some(([name, text]) => name === 'sendersUpdated' && isDeepStrictEqual(JSON.parse(text), defaults)));

    const shown = await until('the senders in the page', async () => {
      const names = await evaluate(
        "[...document.querySelectorAll('#availableSendersList .available-ndi-name')].map((e) => e.textContent)",
      );
      return names && names.length === 3 ? names : undefined;
    });
    assert.deepEqual(shown, ['Zelka Sender 1', 'Zelka Sender 2', 'Zelka Sender 3']);

    // Once the start gate has opened (2 s after uiReady) the engine runs in full.
    await sleep(3000);
    const memory = residentKiB(program.pid);

    // The window: titled "Quorvane", 1200 by 680.
    const windows = execFileSync('xwininfo', ['-root', '-tree'], { encoding: 'utf8' });
    assert.match(windows, /"Quorvane": .* 1200x680\+/, windows);
    console.log(`resident memory with 3 senders: ${memory.own} KiB (with web engine processes: ${memory.withChildren} KiB)`);
  } catch (error) {
    error.message += `\nquorvane's log:\n${log}`;
    throw error;
  } finally {
    if (client) await client.close();
    program.kill('SIGTERM');
    ended = await Promise.race([exited, timeout(LIMIT_MS, { code: null, signal: 'timeout' })]);
    if (ended.code === null) program.kill('SIGKILL');
    fs.rmSync(root, { recursive: true, force: true });
  }
  assert.equal(ended.code, 0, `exit ${ended.code} ${ended.signal}\n${log}`);
  console.log('1 passed, 0 failed');
}

main().catch((error) => {
  console.error(error);
  console.log('0 passed, 1 failed');
  process.exit(1);
});
