// The world of one end-to-end test: a private home, data folders, NDI registry
// and X display; the real program with its DevTools endpoint on loopback; test
// sources, the probe, a JACK server and its recorder. Everything started here
// is killed again by close(), also when the test fails, and by the exit hook
// when the test runner itself goes down.
import { spawn } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { setTimeout as sleep } from 'node:timers/promises';
import { after, before, test } from 'node:test';

import { Page } from './page.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
export const REPO = path.resolve(here, '../..');
const requireFromJs = createRequire(path.join(REPO, 'tests/js/package.json'));
const CDP = requireFromJs('chrome-remote-interface');

export const BIN = path.resolve(process.env.QUORVANE_BIN_DIR || path.join(REPO, 'build/bin'));
// The program itself may come from another build (a sanitizer build of the app),
// the test tools from BIN.
export const PROGRAM = path.resolve(process.env.QUORVANE_PROGRAM || path.join(BIN, 'quorvane'));
export const LOOPBACK = '127.0.0.1';
// Senders and test sources are published under this machine's host name in
// upper case: "HOST (stream)".
export const HOST = os.hostname().replace(/[a-z]/g, (c) => c.toUpperCase());
export const ndiName = (stream) => `${HOST} (${stream})`;
export const PAGE_URL = 'qrc:/routing-web-ui.html';
export const MAPPING_FILE = 'Morvith/Quorvane/sendersChannelMappings.zelkac';

// A sanitizer's report or the program's own fatal-signal report, with the
// stack lines that follow it.
export const FATAL_REPORT =
    /(ERROR: (Address|Leak|Thread)Sanitizer|WARNING: ThreadSanitizer|runtime error:|Fatal signal \d+)[^\n]*(\n[ \t]+#[^\n]*)*/;

// Crashes, sanitizer reports and bad exits of the program are also written to
// E2E_FATAL_FILE when it is set: the suite runner never retries a suite that
// had one, even when its tests passed.
function recordFatal(text) {
    console.log(`# fatal: ${text.replace(/\n/g, '\n# ')}`);
    if (process.env.E2E_FATAL_FILE) fs.appendFileSync(process.env.E2E_FATAL_FILE, `${text}\n`);
}

// Thrown inside a wait when waiting longer cannot help.
export class Abort extends Error {}

// Waits for `probe` to return a truthy value; the error names what was awaited
// and the last thing seen.
export async function until(what, probe, { timeoutMs = 30_000, intervalMs = 200 } = {}) {
    const deadline = Date.now() + timeoutMs;
    let last;
    for (;;) {
        try {
            const value = await probe();
            if (value) return value;
            last = value;
        } catch (error) {
            if (error instanceof Abort) throw error;
            last = error;
        }
        if (Date.now() > deadline) {
            const seen = last instanceof Error ? last.message : JSON.stringify(last);
            throw new Error(`timed out after ${timeoutMs} ms waiting for ${what} (last seen: ${seen})`);
        }
        await sleep(intervalMs);
    }
}

export function freePort() {
    return new Promise((resolve, reject) => {
        const server = net.createServer();
        server.once('error', reject);
        server.listen(0, LOOPBACK, () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

// Process groups still alive; the exit hook kills what close() did not reach,
// also when the runner is stopped by a signal (a CTest time-out).
const liveGroups = new Set();
function killLiveGroups() {
    for (const pid of liveGroups) {
        try {
            process.kill(-pid, 'SIGKILL');
        } catch {
            // Already gone.
        }
    }
}
process.on('exit', killLiveGroups);
for (const signal of ['SIGTERM', 'SIGINT', 'SIGHUP']) {
    process.on(signal, () => {
        killLiveGroups();
        process.exit(128 + os.constants.signals[signal]);
    });
}

const LOG_LIMIT = 4 << 20;

// One child process in a process group of its own, with its output kept.
export class Proc {
    // `watch`: a global regular expression; each match in the output is kept
    // in `seen` with the time it arrived.
    constructor(label, command, args, { env, cwd, stdio, logFile, watch } = {}) {
        this.label = label;
        this.output = '';
        this.seen = [];
        this.startedAt = Date.now();
        this.logFile = logFile;
        this.child = spawn(command, args, {
            env,
            cwd,
            detached: true,
            stdio: stdio || ['ignore', 'pipe', 'pipe'],
        });
        this.pid = this.child.pid;
        if (this.pid) liveGroups.add(this.pid);
        const keep = (chunk) => {
            if (logFile) fs.appendFileSync(logFile, chunk);
            this.output += chunk;
            if (watch) for (const match of chunk.matchAll(watch)) this.seen.push({ at: Date.now(), text: match[0] });
            if (this.output.length > LOG_LIMIT) this.output = this.output.slice(-LOG_LIMIT / 2);
        };
        this.child.stdout?.setEncoding('utf8').on('data', keep);
        this.child.stderr?.setEncoding('utf8').on('data', keep);
        this.exited = new Promise((resolve) => {
            this.child.once('error', (error) => {
                this.output += `\n[${label}: ${error.message}]`;
                resolve({ code: null, signal: 'spawn-error' });
            });
            this.child.once('exit', (code, signal) => resolve({ code, signal }));
        }).then((result) => {
            this.result = result;
            return result;
        });
    }

    get running() {
        return this.result === undefined;
    }

    signal(name) {
        if (this.running) {
            try {
                process.kill(this.pid, name);
            } catch {
                // Ended meanwhile.
            }
        }
    }

    // Kills the whole group at once (the program's web engine helpers too).
    async kill9() {
        this.killedOnPurpose = true;
        try {
            process.kill(-this.pid, 'SIGKILL');
        } catch {
            // Already gone.
        }
        const result = await this.exited;
        liveGroups.delete(this.pid);
        return result;
    }

    // Asks the process to end and gives it `graceMs`; then kills the group.
    async stop(signal = 'SIGTERM', graceMs = 15_000) {
        this.signal(signal);
        // The grace timer does not keep the test runner alive once the process has ended.
        const result = await Promise.race([this.exited, sleep(graceMs, null, { ref: false })]);
        if (result === null) {
            this.timedOut = true;
            await this.kill9();
            return { code: null, signal: 'timeout' };
        }
        // Helpers of the group that outlived their parent.
        try {
            process.kill(-this.pid, 'SIGKILL');
        } catch {
            // None left.
        }
        liveGroups.delete(this.pid);
        return result;
    }

    tail(lines = 60) {
        return this.output.split('\n').slice(-lines).join('\n');
    }
}

// Runs a command to its end with a time limit; returns { code, stdout, stderr }.
export function run(command, args, { env, timeoutMs = 30_000, input } = {}) {
    return new Promise((resolve) => {
        const child = spawn(command, args, {
            env,
            detached: true,
            stdio: [input === undefined ? 'ignore' : 'pipe', 'pipe', 'pipe'],
        });
        if (child.pid) liveGroups.add(child.pid);
        let stdout = '';
        let stderr = '';
        child.stdout.setEncoding('utf8').on('data', (c) => (stdout += c));
        child.stderr.setEncoding('utf8').on('data', (c) => (stderr += c));
        if (input !== undefined) child.stdin.end(input);
        const timer = setTimeout(() => {
            try {
                process.kill(-child.pid, 'SIGKILL');
            } catch {
                // Ended meanwhile.
            }
        }, timeoutMs);
        child.once('error', (error) => {
            clearTimeout(timer);
            liveGroups.delete(child.pid);
            resolve({ code: null, stdout, stderr: stderr + error.message });
        });
        child.once('exit', (code, signal) => {
            clearTimeout(timer);
            liveGroups.delete(child.pid);
            resolve({ code, signal, stdout, stderr });
        });
    });
}

// The real program, its page and its log.
export class Program {
    constructor(scene, proc, port) {
        this.scene = scene;
        this.proc = proc;
        this.port = port;
        this.page = null;
        this.client = null;
        proc.exited.then(() => {
            for (const problem of this.endProblems()) recordFatal(`${scene.label}: program ${proc.pid}: ${problem}`);
        });
    }

    // What went wrong with the program however it ended (a kill -9 of the test's
    // own is no problem): a crash, a sanitizer report, a fatal-signal report, an
    // exit status other than 0, or no end within the grace time.
    endProblems() {
        const problems = [];
        const { code, signal } = this.proc.result;
        if (this.proc.timedOut) problems.push('did not end within its grace time');
        else if (!this.proc.killedOnPurpose && (code !== 0 || signal !== null)) problems.push(`exit ${JSON.stringify(this.proc.result)}`);
        const report = FATAL_REPORT.exec(this.log);
        if (report) problems.push(report[0]);
        return problems;
    }

    get pid() {
        return this.proc.pid;
    }

    get log() {
        return this.proc.output;
    }

    // Connects to the routing page and waits until it has connected to the
    // bridge (loader gone) and shows the senders the engine reported.
    async connect({ timeoutMs = 90_000 } = {}) {
        const target = await until(
            'the routing page in the DevTools list',
            async () => {
                if (!this.proc.running) throw new Abort(`the program ended: ${JSON.stringify(this.proc.result)}\n${this.proc.tail()}`);
                const targets = await CDP.List({ host: LOOPBACK, port: this.port });
                return targets.find((t) => t.type === 'page' && t.url === PAGE_URL);
            },
            { timeoutMs, intervalMs: 250 },
        );
        this.client = await CDP({ host: LOOPBACK, port: this.port, target });
        await this.client.Runtime.enable();
        this.page = new Page(this.client);
        await until('the page to connect to the bridge', () => this.page.isReady(), { timeoutMs });
        return this.page;
    }

    // The "%{time process}" field of the first log line that matches.
    logTime(pattern) {
        for (const line of this.log.split('\n')) {
            if (pattern.test(line)) {
                const match = /^\s*(\d+\.\d+)\s/.exec(line);
                if (match) return Number(match[1]);
            }
        }
        return null;
    }

    async disconnect() {
        if (this.client) {
            await this.client.close().catch(() => {});
            this.client = null;
        }
    }

    // Ends the program the way closing its window does (SIGTERM, SIGINT and
    // SIGHUP run the same shutdown); returns the exit status.
    async stop({ graceMs = 30_000, signal = 'SIGTERM' } = {}) {
        await this.disconnect();
        return this.proc.stop(signal, graceMs);
    }

    async kill9() {
        await this.disconnect();
        return this.proc.kill9();
    }

    // Ends the program as closing the window does and returns what went wrong:
    // see endProblems(), and blocks late by more than one block.
    async shutdownProblems() {
        await this.stop();
        const problems = this.endProblems();
        if (!ROUTING_ONLY) problems.push(...this.lateBlocks());
        return problems;
    }

    // Blocks that ended more than one block period after their deadline,
    // outside the one-second pause of a load (the loads are found by their
    // log lines). The software clock reports each late block on standard error
    // (text, duration and lateness in ns). JACK reports its client (the
    // program is "JUCEJack") at every period start that finds it unfinished, so
    // a block late by more than a period shows as two or more reports in a row;
    // a lone report (late by less than a period) is printed, not failed.
    lateBlocks() {
        const late = lateReports(this.log)
            .filter((l) => l.lateMs > BLOCK_MS && l.durationMs < LOAD_PAUSE_MS)
            .map((l) => `a block ${l.lateMs.toFixed(1)} ms late`);
        const start = this.proc.startedAt;
        const loads = [];
        for (const line of this.log.split('\n')) {
            const match = /^\s*(\d+\.\d+)\s.*Loaded channel mappings/.exec(line);
            if (match) loads.push(start + Number(match[1]) * 1000);
        }
        const inLoadPause = (at) => loads.some((load) => at >= load - 500 && at <= load + LOAD_PAUSE_MS + 1500);
        const xruns = (this.scene.jack?.seen ?? []).filter(
            (x) => x.at >= start && x.text.includes('JUCEJack') && !inLoadPause(x.at),
        );
        const runs = [];
        for (const xrun of xruns) {
            const last = runs.at(-1);
            if (last && xrun.at - last.at(-1).at <= 4 * BLOCK_MS) last.push(xrun);
            else runs.push([xrun]);
        }
        for (const run of runs) {
            const what = `${((run[0].at - start) / 1000).toFixed(3)} s after start: ${run.length} x ${run[0].text}`;
            if (run.length > 1) late.push(what);
            else console.log(`# a block late by less than a period: ${what}`);
        }
        return late;
    }
}

// One block of 512 samples at 48 kHz, and the pause of a load that replaces
// the senders (its block takes a second on purpose).
export const BLOCK_MS = (512 * 1000) / 48000;
export const LOAD_PAUSE_MS = 1000;

// The late blocks the software clock reported in `log` (three lines each on
// standard error: the text, the block's duration and how late it ended, in ns).
export function lateReports(log) {
    const lines = log.split('\n');
    const late = [];
    lines.forEach((line, i) => {
        if (line.includes('callbacks taking too long!')) {
            late.push({ durationMs: Number(lines[i + 1]) / 1e6, lateMs: Number(lines[i + 2]) / 1e6 });
        }
    });
    return late;
}

// A test's private world; `close` ends every process in it.
export class Scene {
    constructor(root) {
        this.root = root;
        this.procs = [];
        this.programs = [];
        this.jack = null;
        this.display = null;
        this.failed = false;
    }

    // options.jack: start a JACK server with the dummy driver, so the program
    // finds a sound device; without it the program runs on its own clock.
    static async open(label, { jack = false } = {}) {
        const root = fs.mkdtempSync(path.join(os.tmpdir(), `quorvane-e2e-${label}-`));
        const scene = new Scene(root);
        scene.label = label;
        try {
            for (const sub of ['home', 'data', 'config', 'cache', 'runtime', 'tmp', 'ndi', 'files']) {
                fs.mkdirSync(path.join(root, sub), { mode: 0o700 });
            }
            scene.env = {
                PATH: process.env.PATH,
                LANG: 'C.UTF-8',
                HOME: path.join(root, 'home'),
                XDG_DATA_HOME: path.join(root, 'data'),
                XDG_CONFIG_HOME: path.join(root, 'config'),
                XDG_CACHE_HOME: path.join(root, 'cache'),
                XDG_RUNTIME_DIR: path.join(root, 'runtime'),
                TMPDIR: path.join(root, 'tmp'),
                QUORVANE_NDI_DIR: path.join(root, 'ndi'),
                // The test tools speak only the built-in runtime, so the
                // program must not pick up a vendor runtime of this machine.
                QUORVANE_NDI_RUNTIME: 'builtin',
                QTWEBENGINE_DISABLE_SANDBOX: '1',
                // No stray JACK server is ever started by a client of this test.
                JACK_NO_START_SERVER: '1',
                JACK_DEFAULT_SERVER: `quorvane-e2e-${path.basename(root)}`,
            };
            for (const name of ['ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS', 'TSAN_OPTIONS']) {
                if (process.env[name]) scene.env[name] = process.env[name];
            }
            await scene.startDisplay();
            if (jack) await scene.startJack();
        } catch (error) {
            await scene.close();
            throw error;
        }
        return scene;
    }

    path(...parts) {
        return path.join(this.root, ...parts);
    }

    get mappingFile() {
        return path.join(this.env.XDG_DATA_HOME, MAPPING_FILE);
    }

    track(proc) {
        this.procs.push(proc);
        return proc;
    }

    // An X server of this test's own; its number comes back on a pipe.
    async startDisplay() {
        const xvfb = this.track(
            new Proc('Xvfb', 'Xvfb', ['-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp', '-noreset'], {
                env: this.env,
                stdio: ['ignore', 'pipe', 'pipe', 'pipe'],
            }),
        );
        let text = '';
        xvfb.child.stdio[3].setEncoding('utf8').on('data', (c) => (text += c));
        const number = await until('the X display number', async () => {
            if (!xvfb.running) throw new Abort(`Xvfb ended: ${xvfb.tail()}`);
            return /^(\d+)\n/.exec(text)?.[1];
        }, { timeoutMs: 20_000, intervalMs: 50 });
        this.display = `:${number}`;
        this.env.DISPLAY = this.display;
    }

    async startJack() {
        this.jack = this.track(
            new Proc('jackd', 'jackd', ['-n', this.env.JACK_DEFAULT_SERVER, '-d', 'dummy', '-r', '48000', '-p', '512'], {
                env: this.env,
                watch: /JackEngine::XRun[^\n]*/g,
            }),
        );
        await until('the JACK server', async () => {
            if (!this.jack.running) throw new Abort(`jackd ended: ${this.jack.tail()}`);
            const result = await run('jack_lsp', [], { env: this.env, timeoutMs: 5000 });
            return result.code === 0 && result.stdout.includes('system:playback_1');
        }, { timeoutMs: 20_000, intervalMs: 300 });
    }

    // Starts build/bin/quorvane with a free DevTools port and the scene's
    // environment with `env` over it; `connect` waits for the page.
    async startProgram({ connect = true, env: extra = {} } = {}) {
        const port = await freePort();
        const env = { ...this.env, ...extra, QTWEBENGINE_REMOTE_DEBUGGING: `${LOOPBACK}:${port}` };
        const logFile = this.path(`program-${this.programs.length}.log`);
        const proc = this.track(new Proc('quorvane', PROGRAM, [], { env, cwd: this.env.HOME, logFile }));
        const program = new Program(this, proc, port);
        this.programs.push(program);
        if (connect) await program.connect();
        return program;
    }

    // Publishes one test source "HOST (stream)" with the counter signal.
    startSource(stream, { channels = 2, id = 1, video = false, extra = [] } = {}) {
        const args = ['--name', stream, '--channels', String(channels), '--id', String(id), ...extra];
        if (video) args.push('--video');
        return this.track(new Proc(`testsrc ${stream}`, path.join(BIN, 'quorvane-testsrc'), args, { env: this.env }));
    }

    // Receives "HOST (stream)" for `seconds` after `skip` seconds and returns the
    // probe's report.
    async probe(stream, { seconds = 3, skip = 1, timeout = 15 } = {}) {
        const args = ['--source', ndiName(stream), '--seconds', String(seconds), '--skip-seconds', String(skip), '--timeout', String(timeout)];
        const result = await run(path.join(BIN, 'quorvane-probe'), args, {
            env: this.env,
            timeoutMs: (seconds + skip + timeout + 20) * 1000,
        });
        try {
            return JSON.parse(result.stdout);
        } catch {
            throw new Error(`the probe gave no report (exit ${result.code}): ${result.stderr.slice(-2000)}`);
        }
    }

    // Records JACK ports into a WAV file for `seconds`.
    async recordJack(ports, seconds, file) {
        const result = await run('jack_rec', ['-f', file, '-d', String(seconds), ...ports], {
            env: this.env,
            timeoutMs: (seconds + 20) * 1000,
        });
        if (result.code !== 0) throw new Error(`jack_rec failed (${result.code}): ${result.stderr}`);
        return file;
    }

    async jackPorts() {
        const result = await run('jack_lsp', ['-p'], { env: this.env, timeoutMs: 5000 });
        const ports = [];
        let current = null;
        for (const line of result.stdout.split('\n')) {
            if (!line.startsWith('\t') && line.trim()) {
                current = { name: line.trim(), properties: '' };
                ports.push(current);
            } else if (current && line.includes('properties:')) {
                current.properties = line.trim();
            }
        }
        return ports;
    }

    // xdotool on this test's display.
    xdotool(args, timeoutMs = 20_000) {
        return run('xdotool', args, { env: this.env, timeoutMs });
    }

    // Answers the program's file dialog (caption "Open File", for opening and
    // saving alike) by typing the path into its file name box and pressing
    // Return, as a user would; waits until the dialog is gone.
    async chooseFile(filePath) {
        const visibleDialog = async () => {
            const r = await this.xdotool(['search', '--onlyvisible', '--name', '^Open File$']);
            return r.code === 0 ? r.stdout.trim().split('\n')[0] : null;
        };
        const dialog = await until('the file dialog', visibleDialog, { timeoutMs: 30_000, intervalMs: 250 });
        const focus = await this.xdotool(['windowfocus', '--sync', dialog]);
        if (focus.code !== 0) throw new Error(`cannot focus the file dialog: ${focus.stderr}`);
        await this.xdotool(['type', '--delay', '15', filePath]);
        // The first Return may only take the completer's suggestion.
        for (let attempt = 0; attempt < 3; attempt++) {
            await this.xdotool(['key', 'Return']);
            const gone = await until('the file dialog to close', async () => !(await visibleDialog()), {
                timeoutMs: 3000,
                intervalMs: 200,
            }).catch(() => false);
            if (gone) return;
        }
        throw new Error('the file dialog did not take the path');
    }

    // Everything this test started, newest first; keeps the folder of a failed test.
    async close() {
        for (const program of this.programs) await program.disconnect();
        for (const proc of [...this.procs].reverse()) {
            if (proc.running) await proc.stop('SIGTERM', 10_000);
            else liveGroups.delete(proc.pid);
        }
        if (this.failed) {
            console.log(`# kept the test's files in ${this.root}`);
        } else {
            fs.rmSync(this.root, { recursive: true, force: true });
        }
    }

    // For a failed assertion: the last lines of every program log.
    report() {
        return this.programs.map((p, i) => `--- program ${i} (pid ${p.pid}) ---\n${p.proc.tail(80)}`).join('\n');
    }
}

// One scene shared by the tests of a file: opened before the first test,
// closed after the last. `it` runs a test that, when it fails, keeps the
// scene's folder and prints the program logs.
export function sceneFor(label, options) {
    const holder = { scene: null };
    before(async () => {
        holder.scene = await Scene.open(label, options);
    });
    after(async () => {
        if (!holder.scene) return;
        if (holder.scene.failed) console.log(holder.scene.report());
        await holder.scene.close();
    });
    holder.it = (name, body, options = {}) =>
        test(name, options, async (t) => {
            try {
                await body(holder.scene, t);
            } catch (error) {
                holder.scene.failed = true;
                throw error;
            }
        });
    return holder;
}

// E2E_ROUTING_ONLY=1 judges only which source channel is heard where, not
// whether it arrives whole: for sanitizer builds of the program, which are
// too slow for the audio deadlines on a shared machine.
export const ROUTING_ONLY = process.env.E2E_ROUTING_ONLY === '1';

// What each channel of a probe report carries: "silent", "id I ch C" for a
// clean counter signal of source id I, channel C, or that with the damage seen.
// `routingOnly` judges, as E2E_ROUTING_ONLY does, only where each channel comes from.
export function heard(report, { routingOnly = ROUTING_ONLY } = {}) {
    if (!report.found) return 'not found';
    return report.audio.map((a) => {
        if (a.silent) return 'silent';
        const what = `id ${a.sourceId} ch ${a.sourceChannel}`;
        if (routingOnly && a.sourceId !== null) return what;
        const damage = [];
        if (!a.bitExact) {
            const counts = ['droppedSamples', 'repeatedSamples', 'zeroedSamples', 'corruptSamples']
                .filter((k) => a[k])
                .map((k) => `${a[k]} ${k}`);
            damage.push(`not bit-exact${a.resampled ? ', resampled' : ''}${counts.length ? ': ' + counts.join(' ') : ''}`);
        }
        if (a.dropouts) damage.push(`${a.dropouts} dropouts at ${JSON.stringify(a.dropoutEvents).slice(0, 300)}`);
        return damage.length ? `${what} (${damage.join(', ')})` : what;
    });
}

// Waits until the page lists a source (with its measured channels).
export function sourceListed(page, name, timeoutMs = 30_000) {
    return until(`"${name}" in the sources list`, async () => (await page.sourceNames()).includes(name), { timeoutMs });
}

// A channel-mapping file in short: sender name -> { channels: ["source/CH n" or
// "" per sender channel], video, delay }.
export function readRouting(file) {
    const doc = JSON.parse(fs.readFileSync(file, 'utf8'));
    const routing = {};
    for (const s of doc.senderChannelMappings) {
        routing[s.senderName] = {
            channels: s.senderChannelMappings.map((m) => (m.sourceChannel ? `${m.sourceName}/CH ${m.sourceChannel}` : '')),
            video: s.videoSource,
            delay: 0,
        };
    }
    for (const d of doc.senderDelayMappings) {
        if (routing[d.senderName]) routing[d.senderName].delay = d.delay;
    }
    return routing;
}

// After a (re)start the routing is heard only once the engine has found and
// opened its sources: waits until a short probe of `sender` hears `expected`
// (see heard()), and returns that report.
export function hearsSoon(scene, sender, expected, timeoutMs = 40_000) {
    return until(
        `${sender} to carry ${JSON.stringify(expected)}`,
        async () => {
            const report = await scene.probe(sender, { seconds: 2 });
            const got = heard(report);
            if (JSON.stringify(got) !== JSON.stringify(expected)) throw new Error(JSON.stringify(got));
            return report;
        },
        { timeoutMs, intervalMs: 0 },
    );
}
