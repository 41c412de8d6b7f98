// Shutdown on a sound device: the program is started and ended with SIGTERM
// again and again on a JACK server (dummy driver) while test sources stream,
// "Monitor" plays one of them and jack_rec records it, with senders added and
// removed and a source killed and restarted between rounds. Every round must
// end with exit code 0, no fatal-signal report and no sanitizer report.
import assert from 'node:assert/strict';
import { describe } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { Proc, ndiName, sceneFor, sourceListed, until } from './harness.mjs';

const ROUNDS = Number(process.env.E2E_SHUTDOWN_ROUNDS || 50);
const A = 'Shutdown Source A';
const B = 'Shutdown Source B';
const S1 = 'Zelka Sender 1';

describe('SIGTERM shutdowns on a sound device', () => {
    const world = sceneFor('jack-shutdown', { jack: true });

    world.it(`${ROUNDS} starts and SIGTERM shutdowns in a row each exit with 0`, async (scene) => {
        const sourceA = scene.startSource(A, { channels: 2, id: 31 });
        let sourceB = scene.startSource(B, { channels: 2, id: 32 });
        const failures = [];
        for (let round = 0; round < ROUNDS; round++) {
            const program = await scene.startProgram();
            const { page } = program;
            await sourceListed(page, ndiName(A));
            if (round === 0) {
                // Kept in the default file, so every later start plays it at once.
                await page.link(ndiName(A), 'CH 1', 'Monitor', 'CH 1');
                await page.link(ndiName(A), 'CH 2', S1, 'CH 1');
                await sourceListed(page, ndiName(B));
                await page.link(ndiName(B), 'CH 1', 'Monitor', 'CH 2');
            }
            const outputs = await until('the program\'s device outputs', async () => {
                const ports = (await scene.jackPorts())
                    .filter((p) => !p.name.startsWith('system:') && p.properties.includes('output'))
                    .map((p) => p.name);
                return ports.length === 2 && ports;
            });
            // Still recording (connected to Monitor's ports) when the program ends.
            const recorder = scene.track(
                new Proc('jack_rec', 'jack_rec', ['-f', scene.path('files', `monitor-${round}.wav`), '-d', '60', ...outputs], {
                    env: scene.env,
                }),
            );
            switch (round % 4) {
            case 1:
                await page.addSender(`Round ${round}`, 2);
                await page.link(ndiName(A), 'CH 1', `Round ${round}`, 'CH 2');
                break;
            case 2:
                await page.addSender(`Round ${round}`, 2);
                await page.itemButton('sender', `Round ${round}`, 'Remove Sender');
                break;
            case 3:
                await sourceB.kill9();
                sourceB = scene.startSource(B, { channels: 2, id: 32 });
                break;
            default:
                break;
            }
            await sleep(500 + (round % 5) * 150);
            await program.stop();
            await recorder.stop('SIGTERM', 5000);
            const problems = program.endProblems();
            if (problems.length) {
                failures.push(`round ${round}: ${problems.join('\n')}`);
                console.log(`# round ${round} failed:\n# ${failures.at(-1).replace(/\n/g, '\n# ')}`);
            }
        }
        assert.ok(sourceA.running, 'source A kept streaming');
        assert.deepEqual(failures, []);
    }, { timeout: ROUNDS * 30_000 });
});
