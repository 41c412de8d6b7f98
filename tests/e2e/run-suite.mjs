// Runs one end-to-end suite (node's test runner, TAP output) and decides on a
// second run. A suite passes when its tests pass and no program it started
// crashed, left a sanitizer report or ended with a status other than 0 (the
// harness writes those to E2E_FATAL_FILE). Such a problem fails the suite at
// once, even if every test passed. A failed suite is run once more only when
// each of its failures is an audio timing miss: damaged audio (not bit-exact,
// dropouts, mismatches in a recording) or a late block, which a busy machine
// can cause; the output says so.
//
//     node run-suite.mjs routing.test.mjs
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const suite = path.resolve(process.argv[2]);
const name = path.basename(suite, '.test.mjs');

// What a failure of the audio checks says (see heard(), lateBlocks() and the
// recordings' tag matching in the suites).
const TIMING_MISS = /not bit-exact|dropouts at|mismatches|ms late|x JackEngine::XRun/;

function runOnce(attempt) {
    const fatalFile = path.join(fs.mkdtempSync(path.join(os.tmpdir(), `e2e-${name}-`)), 'fatal.txt');
    return new Promise((resolve) => {
        const child = spawn(process.execPath, ['--test', '--test-reporter=tap', suite], {
            env: { ...process.env, E2E_FATAL_FILE: fatalFile },
            stdio: ['ignore', 'pipe', 'inherit'],
        });
        let output = '';
        child.stdout.setEncoding('utf8').on('data', (chunk) => {
            output += chunk;
            process.stdout.write(chunk);
        });
        child.once('exit', (code, signal) => {
            const fatal = fs.existsSync(fatalFile) ? fs.readFileSync(fatalFile, 'utf8').trim() : '';
            fs.rmSync(path.dirname(fatalFile), { recursive: true, force: true });
            resolve({ attempt, passed: code === 0 && signal === null, fatal, failures: failures(output) });
        });
    });
}

// The failed tests of a TAP report: the name and the YAML block of each
// "not ok" line that belongs to a test (suites only count their tests).
function failures(tap) {
    const lines = tap.split('\n');
    const found = [];
    lines.forEach((line, i) => {
        const match = /^(\s*)not ok \d+ - (.*)$/.exec(line);
        if (!match) return;
        const block = [];
        for (let j = i + 1; j < lines.length && !/^\s*(not )?ok \d+ /.test(lines[j]); j++) block.push(lines[j]);
        const detail = block.join('\n');
        if (/failureType: 'subtestsFailed'/.test(detail)) return;
        found.push({ name: match[2], detail });
    });
    return found;
}

const first = await runOnce(1);
if (first.fatal) {
    console.log(`# ${name}: FAILED: a program crashed, left a sanitizer report or ended badly:\n# ${first.fatal.replace(/\n/g, '\n# ')}`);
    process.exit(1);
}
if (first.passed) process.exit(0);

const other = first.failures.filter((f) => !TIMING_MISS.test(f.detail));
if (first.failures.length === 0 || other.length > 0) {
    const names = (other.length ? other : [{ name: 'the suite itself' }]).map((f) => f.name).join('; ');
    console.log(`# ${name}: FAILED, not retried (not an audio timing miss): ${names}`);
    process.exit(1);
}
console.log(
    `# ${name}: RETRYING once: the first run failed only on audio timing checks (${first.failures.map((f) => f.name).join('; ')})`,
);
const second = await runOnce(2);
if (second.fatal) {
    console.log(`# ${name}: FAILED on the retry: ${second.fatal.replace(/\n/g, '\n# ')}`);
    process.exit(1);
}
console.log(`# ${name}: ${second.passed ? 'passed on the retry (the first run missed audio timing)' : 'FAILED on the retry too'}`);
process.exit(second.passed ? 0 : 1);
