// Measures the figures of docs/PERFORMANCE.md in one run on this machine and
// prints them as Markdown, with the command behind each:
//   - block routing cost against memcpy, and the software clock's callbacks per
//     second and jitter (quorvane-bench);
//   - end-to-end latency from a source to a sender's output (the probe);
//   - late callbacks of the software clock with and without a sender that
//     passes pictures through;
//   - CPU and resident memory of the program idle, and with 32 sources of 8
//     channels routed to 8 senders of 16 channels;
//   - time from process start to the page's uiReady;
//   - block routing, capture and end-to-end latency on the built-in NDI
//     runtime linked into the program against the same runtime loaded from
//     build/lib/libquorvane-ndi.so.
//
// Usage: QUORVANE_BIN_DIR=build/bin PERF_OUT=docs/PERFORMANCE.md PERF_SCREENSHOT=docs/routing-page.png \
//        node tests/e2e/measure-performance.mjs
// (needs quorvane, quorvane-testsrc, quorvane-probe, quorvane-e2e-publisher and
// quorvane-bench built). Takes about four minutes.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';

import {
    BIN,
    BLOCK_MS,
    LOAD_PAUSE_MS,
    MAPPING_FILE,
    Proc,
    Scene,
    hearsSoon,
    lateReports,
    ndiName,
    run,
    sourceListed,
    until,
} from './harness.mjs';

const LOADED_RUNTIME = path.resolve(BIN, '../lib/libquorvane-ndi.so');
const TICKS = 100; // clock ticks per second of /proc/<pid>/stat on Linux
const WINDOW_S = 20;
const STARTS = 3;
const BENCH_ROUNDS = 3;

const lines = [];
const say = (text = '') => {
    lines.push(text);
    console.log(text);
};
const fixed = (x, digits = 1) => (x === null || x === undefined ? 'n/a' : Number(x).toFixed(digits));

function cpuTicks(pid) {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
    return Number(fields[11]) + Number(fields[12]); // utime + stime
}

function residentKiB(pid) {
    const match = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
    return match ? Number(match[1]) : 0;
}

// Every process below `pid` (the web engine's helpers).
function descendants(pid) {
    const children = [];
    for (const entry of fs.readdirSync('/proc')) {
        if (!/^\d+$/.test(entry)) continue;
        try {
            const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
            if (Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]) === pid) {
                children.push(Number(entry), ...descendants(Number(entry)));
            }
        } catch {
            // Ended while it was read.
        }
    }
    return children;
}

// CPU in % of one core over the window, and resident memory at its end.
async function usage(pid) {
    const before = cpuTicks(pid);
    const started = Date.now();
    await sleep(WINDOW_S * 1000);
    const cpu = ((cpuTicks(pid) - before) / TICKS / ((Date.now() - started) / 1000)) * 100;
    const own = residentKiB(pid);
    const all = own + descendants(pid).reduce((sum, child) => sum + residentKiB(child), 0);
    return { cpu, ownMiB: own / 1024, allMiB: all / 1024 };
}

// What each benchmark stands for, and the figure of it that matters.
const BENCH_ROWS = [
    ['BM_BlockRouting', 'one block routed: 64 senders x 16 channels from 64 sources x 16 channels', (b) => `${fixed(b.real_time / 1000, 1)} us (${fixed(b.blockSharePercent, 2)} % of a 10.67 ms block)`],
    ['BM_MemcpySameBytes', 'memcpy of the same bytes, for comparison', (b) => `${fixed(b.real_time / 1000, 1)} us`],
    ['BM_DefaultFileWrite', 'one default-file write, 64 senders x 16 channels (saver thread)', (b) => `${fixed(b.real_time, 2)} ms for ${fixed(b.fileBytes / 1024, 0)} KiB`],
    ['BM_ReceiverUpdate64UsedSources', 'receiver update per block, 64 sources in use', (b) => `${fixed(b.real_time, 2)} us`],
    ['BM_Capture64SourcesOf16Channels', 'capture of 64 sources x 16 channels by the capture tasks', (b) => `${fixed(b.real_time, 2)} ms per block`],
    ['BM_VideoUpdate8Senders1080p', 'video pass-through, 8 senders of 1080p pictures', (b) => `${fixed(b.real_time, 0)} us per block`],
    ['RuntimeAudioTransportLatency', 'NDI runtime stand-in: send to receive', (b) => `median ${fixed(b.median_ms, 3)} ms, p99 ${fixed(b.p99_ms, 3)} ms`],
    ['RuntimeFrameSyncLatency', 'NDI runtime stand-in: send to frame-sync output', (b) => `median ${fixed(b.median_ms, 1)} ms, p99 ${fixed(b.p99_ms, 1)} ms, ${b.dropouts} dropouts`],
    ['RuntimeReceiveCpu8x8', 'NDI runtime stand-in: 8 sources x 8 channels', (b) => `receiving ${fixed(b.receive_cpu_percent, 1)} %, sending ${fixed(b.send_cpu_percent, 1)} % of one core`],
];

async function benchmarks() {
    const bench = path.join(BIN, 'quorvane-bench');
    if (!fs.existsSync(bench)) {
        say(`quorvane-bench is not built in ${BIN}; the benchmark figures are left out.`);
        return;
    }
    const filter = [...BENCH_ROWS.map((r) => r[0]), 'BM_VirtualClockTenSeconds'].join('|');
    const result = await run(bench, [`--benchmark_filter=${filter}`, '--benchmark_format=json'], {
        env: process.env,
        timeoutMs: 300_000,
    });
    const report = JSON.parse(result.stdout);
    const byName = Object.fromEntries(report.benchmarks.map((b) => [b.name.split('/')[0], b]));
    say('## Benchmarks');
    say();
    say(`Command: \`${path.relative(process.cwd(), bench)} --benchmark_filter='<name>'\` (Google Benchmark; real time).`);
    say();
    say('| Benchmark | What it measures | Result |');
    say('|---|---|---|');
    for (const [name, what, figure] of BENCH_ROWS) {
        if (byName[name]) say(`| ${name} | ${what} | ${figure(byName[name])} |`);
    }
    const routing = byName.BM_BlockRouting;
    const memcpy = byName.BM_MemcpySameBytes;
    if (routing && memcpy) say(`\nBlock routing costs ${fixed(routing.real_time / memcpy.real_time, 2)} times the memcpy of the same bytes.`);
    say();
    const clock = byName.BM_VirtualClockTenSeconds;
    say('## Software clock');
    say();
    say(`Command: \`${path.relative(process.cwd(), bench)} --benchmark_filter=BM_VirtualClockTenSeconds\``);
    say();
    if (clock) {
        say(`${clock.callbacksPer10s} callbacks in 10 s (937.5 nominal: blocks of 512 samples at 48 kHz on absolute deadlines);`);
        say(`period jitter against 512 / 48000 s: median ${fixed(clock.jitterP50us, 1)} us, 99th percentile ${fixed(clock.jitterP99us, 0)} us.`);
    }
    say();
}

// The software clock's late blocks from log offset `from` on, shortest first.
const lateCallbacks = (log, from = 0) => lateReports(log.slice(from)).sort((a, b) => a.durationMs - b.durationMs);

// What passing pictures through a sender costs the audio callback.
async function videoCost(scene, program) {
    const window = async () => {
        const from = program.log.length;
        await sleep(10_000);
        return lateCallbacks(program.log, from);
    };
    const audioOnly = await window();
    scene.startSource('Video Source', { channels: 2, id: 8, video: true });
    await sourceListed(program.page, ndiName('Video Source'));
    await program.page.link(ndiName('Video Source'), 'Video', 'Zelka Sender 2', 'Video');
    await sleep(3000);
    const withVideo = await window();
    const median = (d) => (d.length ? `${fixed(d[Math.floor(d.length / 2)].durationMs)} ms` : 'n/a');
    say('## Late callbacks of the software clock, with and without video');
    say();
    say('Command: `node tests/e2e/measure-performance.mjs` ("callbacks taking too long!" reports on standard error over');
    say('10 s, before and after a 320x180 29.97 pictures/s source is linked to the "Video" of "Zelka Sender 2").');
    say();
    say('| Senders with video | Late callbacks in 10 s | Median duration of a late callback |');
    say('|---|---|---|');
    say(`| none | ${audioOnly.length} | ${median(audioOnly)} |`);
    say(`| one | ${withVideo.length} | ${median(withVideo)} |`);
    say();
}

async function latencyAndStart() {
    const scene = await Scene.open('perf-latency', { jack: false });
    try {
        const starts = [];
        for (let i = 0; i < STARTS; i++) {
            const program = await scene.startProgram();
            starts.push(program.logTime(/\[debug\] uiReady/));
            if (i < STARTS - 1) await program.stop();
        }
        const program = scene.programs.at(-1);
        const idle = await usage(program.pid);

        scene.startSource('Latency Source', { channels: 2, id: 7 });
        await sourceListed(program.page, ndiName('Latency Source'));
        await program.page.link(ndiName('Latency Source'), 'CH 1', 'Zelka Sender 1', 'CH 1');
        await hearsSoon(scene, 'Zelka Sender 1', ['id 7 ch 0', 'silent', 'silent', 'silent']);
        // The README's picture of the page: the real program with a source linked.
        const shot = process.env.PERF_SCREENSHOT;
        if (shot) fs.writeFileSync(shot, Buffer.from((await program.client.Page.captureScreenshot({ format: 'png' })).data, 'base64'));
        const report = await scene.probe('Zelka Sender 1', { seconds: 20, skip: 1 });
        const channel = report.audio[0];
        const direct = await scene.probe('Latency Source', { seconds: 10, skip: 1 });

        say('## End-to-end latency, source to sender output');
        say();
        say('Command: `node tests/e2e/measure-performance.mjs` (software clock; quorvane-testsrc CH 1 linked to');
        say('"Zelka Sender 1" CH 1 through the page; `quorvane-probe --source "HOST (Zelka Sender 1)" --seconds 20');
        say('--skip-seconds 1`; the same probe on the source itself for the runtime\'s own share).');
        say();
        say('| Path | Median | 99th percentile | Blocks received per second |');
        say('|---|---|---|---|');
        say(
            `| source -> Quorvane -> sender | ${fixed(channel.latencyMs)} ms | ${fixed(channel.latencyMsP99)} ms | ${fixed(report.frames / report.seconds)} |`,
        );
        say(`| source -> probe (no Quorvane) | ${fixed(direct.audio[0].latencyMs)} ms | ${fixed(direct.audio[0].latencyMsP99)} ms | ${fixed(direct.frames / direct.seconds)} |`);
        say();
        say(`Bit-exact: ${channel.bitExact}, dropouts: ${channel.dropouts} over ${report.seconds} s.`);
        say();
        await videoCost(scene, program);
        say('## Start-up');
        say();
        say('Command: `node tests/e2e/measure-performance.mjs` (the "%{time process}" field of the "uiReady" log line; no');
        say('sound device, first start with no routing file, then two starts with it).');
        say();
        say(`Process start to uiReady: ${starts.map((s) => `${fixed(s, 2)} s`).join(', ')}.`);
        say();
        return idle;
    } finally {
        await scene.close();
    }
}

// The default file for 8 senders of 16 channels fed by 32 sources of 8
// channels: sender channel g (0 to 127 over all senders) takes channel g div 32
// of source g mod 32, so no source channel feeds two sender channels.
function loadedRouting(sources, senders) {
    const senderEntries = [];
    for (let s = 0; s < senders; s++) {
        const channels = [];
        for (let c = 0; c < 16; c++) {
            const source = (s * 16 + c) % sources;
            const channel = Math.floor((s * 16 + c) / sources) % 8;
            channels.push({ sourceChannel: channel + 1, sourceName: ndiName(`Perf ${String(source).padStart(3, '0')}`) });
        }
        senderEntries.push({ senderName: `Perf Sender ${s + 1}`, senderChannelMappings: channels, videoSource: '' });
    }
    return { senderChannelMappings: senderEntries, senderDelayMappings: [] };
}

async function loaded(idle) {
    const scene = await Scene.open('perf-load', { jack: false });
    try {
        const file = path.join(scene.env.XDG_DATA_HOME, MAPPING_FILE);
        fs.mkdirSync(path.dirname(file), { recursive: true });
        fs.writeFileSync(file, JSON.stringify(loadedRouting(32, 8), null, 4));
        scene.track(
            new Proc('publisher', path.join(BIN, 'quorvane-e2e-publisher'), ['Perf', '32', '8', '2000'], { env: scene.env }),
        );
        const program = await scene.startProgram();
        await until('the 32 sources in the page', async () => (await program.page.sourceNames()).length === 32, {
            timeoutMs: 60_000,
        });
        await hearsSoon(scene, 'Perf Sender 1', Array.from({ length: 16 }, (_, c) => `id ${2000 + c} ch 0`));
        const publisher = scene.procs.find((p) => p.label === 'publisher').pid;
        const before = cpuTicks(publisher);
        const load = await usage(program.pid);
        const publisherShare = ((cpuTicks(publisher) - before) / TICKS / WINDOW_S) * 100;
        const late = lateCallbacks(program.log);
        // The start-up load of the routing file pauses one block for a second on purpose.
        const pauses = late.filter((l) => l.durationMs >= LOAD_PAUSE_MS).length;
        const overABlock = late.filter((l) => l.lateMs > BLOCK_MS && l.durationMs < LOAD_PAUSE_MS).length;
        const check = await scene.probe('Perf Sender 8', { seconds: 5, skip: 1 });
        const clean = check.audio.filter((a) => a.bitExact && a.dropouts === 0).length;

        say('## CPU and memory of the program');
        say();
        say(`Command: \`node tests/e2e/measure-performance.mjs\` (software clock; /proc/<pid>/stat over ${WINDOW_S} s, VmRSS at`);
        say('the end; "with helpers" adds the web engine\'s processes. The load: `quorvane-e2e-publisher Perf 32 8 2000`');
        say('and a routing file of 8 senders x 16 channels, each fed by its own source channel, loaded at start).');
        say();
        say('| State | CPU (% of one core) | Resident memory | With helpers |');
        say('|---|---|---|---|');
        say(`| idle (3 default senders, no sources) | ${fixed(idle.cpu)} | ${fixed(idle.ownMiB)} MiB | ${fixed(idle.allMiB)} MiB |`);
        say(`| 32 sources x 8 ch routed to 8 senders x 16 ch | ${fixed(load.cpu)} | ${fixed(load.ownMiB)} MiB | ${fixed(load.allMiB)} MiB |`);
        say();
        say(`The publisher of the 32 sources used ${fixed(publisherShare)} % of a core meanwhile; the program reported`);
        say(`${late.length} late callbacks since its start: ${pauses} the one-second pause of the start-up load,`);
        say(`${overABlock} other late by more than one block;`);
        say(`"Perf Sender 8" had ${clean} of 16 channels bit-exact with no dropouts.`);
        say();
    } finally {
        await scene.close();
    }
}

// Real times of each benchmark in `names` over five repetitions, on `runtime`,
// added to `times` (name -> list).
async function benchTimes(names, runtime, times) {
    const result = await run(
        path.join(BIN, 'quorvane-bench'),
        [`--benchmark_filter=${names.join('|')}`, '--benchmark_repetitions=5', '--benchmark_format=json'],
        { env: { ...process.env, QUORVANE_NDI_RUNTIME: runtime }, timeoutMs: 600_000 },
    );
    for (const b of JSON.parse(result.stdout).benchmarks) {
        if (b.run_type !== 'iteration') continue;
        const name = b.run_name.split('/')[0];
        (times[name] ??= []).push(b.real_time);
    }
}

const median = (values) => [...values].sort((a, b) => a - b)[Math.floor(values.length / 2)];

// The per-block work and the latency through the program, with the engine
// calling the built-in runtime linked in, then the same runtime loaded as a
// library through the table of entry points.
async function linkedOrLoaded() {
    const names = ['BM_BlockRouting', 'BM_FrameSyncCapture16Channels', 'BM_Capture64SourcesOf16Channels'];
    const runtimes = [
        ['linked (built-in)', 'builtin'],
        ['loaded (build/lib/libquorvane-ndi.so)', LOADED_RUNTIME],
    ];
    // Rounds alternate between the two, so that a change of the machine's
    // speed during the run weighs on both alike.
    const times = runtimes.map(() => ({}));
    for (let round = 0; round < BENCH_ROUNDS; round++) {
        for (const [i, [, runtime]] of runtimes.entries()) await benchTimes(names, runtime, times[i]);
    }
    const benches = times.map((t) => Object.fromEntries(Object.entries(t).map(([name, list]) => [name, median(list)])));

    const scene = await Scene.open('perf-runtime', { jack: false });
    const latencies = [];
    try {
        scene.startSource('Runtime Source', { channels: 2, id: 9 });
        for (const [, runtime] of runtimes) {
            fs.rmSync(scene.mappingFile, { force: true });
            const program = await scene.startProgram({ env: { QUORVANE_NDI_RUNTIME: runtime } });
            await sourceListed(program.page, ndiName('Runtime Source'));
            await program.page.link(ndiName('Runtime Source'), 'CH 1', 'Zelka Sender 1', 'CH 1');
            await hearsSoon(scene, 'Zelka Sender 1', ['id 9 ch 0', 'silent', 'silent', 'silent']);
            latencies.push((await scene.probe('Zelka Sender 1', { seconds: 20, skip: 1 })).audio[0]);
            await program.stop();
        }
    } finally {
        await scene.close();
    }

    const change = (linked, loaded) => `${loaded >= linked ? '+' : ''}${fixed(((loaded - linked) / linked) * 100)} %`;
    say('## NDI runtime linked or loaded');
    say();
    say(`Command: \`node tests/e2e/measure-performance.mjs\` (\`quorvane-bench\`, ${BENCH_ROUNDS} alternating rounds of`);
    say('`--benchmark_repetitions=5` each, medians;');
    say('then the program on the software clock with quorvane-testsrc CH 1 linked to "Zelka Sender 1" CH 1 and a');
    say('20 s probe), once with `QUORVANE_NDI_RUNTIME=builtin` and once with');
    say('`QUORVANE_NDI_RUNTIME=build/lib/libquorvane-ndi.so`.');
    say();
    say(`| Figure | ${runtimes.map(([label]) => label).join(' | ')} | Loaded against linked |`);
    say('|---|---|---|---|');
    const [linked, loaded] = benches;
    say(`| BM_BlockRouting | ${fixed(linked.BM_BlockRouting / 1000)} us | ${fixed(loaded.BM_BlockRouting / 1000)} us | ${change(linked.BM_BlockRouting, loaded.BM_BlockRouting)} |`);
    const call = 'BM_FrameSyncCapture16Channels';
    say(`| ${call} (one capture call and its release) | ${fixed(linked[call], 3)} us | ${fixed(loaded[call], 3)} us | ${change(linked[call], loaded[call])} |`);
    const capture = 'BM_Capture64SourcesOf16Channels';
    say(`| ${capture} (capture tasks included) | ${fixed(linked[capture], 2)} ms | ${fixed(loaded[capture], 2)} ms | ${change(linked[capture], loaded[capture])} |`);
    const [a, b] = latencies;
    say(`| source -> Quorvane -> sender, median | ${fixed(a.latencyMs)} ms | ${fixed(b.latencyMs)} ms | ${change(a.latencyMs, b.latencyMs)} |`);
    say(`| source -> Quorvane -> sender, 99th percentile | ${fixed(a.latencyMsP99)} ms | ${fixed(b.latencyMsP99)} ms | ${change(a.latencyMsP99, b.latencyMsP99)} |`);
    say();
    say(`Bit-exact: ${a.bitExact} linked, ${b.bitExact} loaded.`);
    say();
}

say('# Performance');
say();
say('Every figure below was measured in one run on one machine by');
say('`QUORVANE_BIN_DIR=build/bin PERF_OUT=docs/PERFORMANCE.md node tests/e2e/measure-performance.mjs`');
say('after `scripts/build` (Release build), with nothing else running. The program runs under its own');
say('Xvfb with test sources from `quorvane-testsrc` and `quorvane-e2e-publisher`, read by `quorvane-probe`.');
say();
say(`Measured on ${os.hostname()}: ${os.cpus().length} x ${os.cpus()[0]?.model}, ${fixed(os.totalmem() / 2 ** 30)} GiB,`);
say(`load average at start ${os.loadavg().map((l) => fixed(l, 2)).join(' ')}, ${new Date().toISOString()}`);
say();
await benchmarks();
const idle = await latencyAndStart();
await loaded(idle);
await linkedOrLoaded();
const out = process.env.PERF_OUT;
if (out) fs.writeFileSync(out, lines.join('\n') + '\n');
