// A short run of the program built with a sanitizer (QUORVANE_PROGRAM) on its
// own clock, with real test sources: it is ended by SIGTERM right after the
// page connects and while it streams pictures with an A/V delay, its routing
// is changed through the bridge as fast as the page can call it, and a sender
// of a fan-out is removed. Every run must end with exit code 0 and no
// sanitizer report in its log. Only which channel is heard where is judged
// (E2E_ROUTING_ONLY), as the slowed program may miss audio deadlines.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { before, describe } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { REPO, hearsSoon, ndiName, sceneFor, sourceListed, until } from './harness.mjs';

const A = ndiName('Sanitized A');
const B = ndiName('Sanitized B');
const A_ID = 301;
const B_ID = 302;
const S1 = 'Zelka Sender 1';
const S2 = 'Zelka Sender 2';

// The program's settings for this suite.
function underSanitizer(env) {
    // Qt Quick and the web engine draw in software, and no GL library is
    // loaded at all: Mesa's DRI driver keeps 128 bytes from its one-time set-up
    // (realloc under pthread_once, reached from glXChooseFBConfig when the web
    // engine makes its shared context) and is unloaded before the leak check,
    // so LeakSanitizer can name no library for them (or names whatever was
    // mapped at that address later, libnspr4 for one).
    env.QT_QUICK_BACKEND = 'software';
    env.QT_XCB_GL_INTEGRATION = 'none';
    // The web engine deletes some of its own objects with another size than it
    // allocated them with, which AddressSanitizer cannot tell from a fault of ours.
    env.ASAN_OPTIONS = `${env.ASAN_OPTIONS ?? ''} new_delete_type_mismatch=0`.trim();
    env.LSAN_OPTIONS = `${env.LSAN_OPTIONS ?? ''} suppressions=${path.join(REPO, 'tests/lsan.supp')}`.trim();
}

// Calls the bridge's slots from the page's context, through the web channel
// object the page's script keeps in `qmlWrapper`, without awaiting each one.
// Resolves once the program has answered the last call: the channel answers
// calls in order, so all of them have run by then.
function callBridge(page, calls) {
    return page.call(async (list) => {
        const last = list.pop();
        for (const [method, ...args] of list) qmlWrapper[method](...args);
        const [method, ...args] = last;
        await new Promise((resolve) => qmlWrapper[method](...args, resolve));
    }, calls);
}

// Starts the program on the default routing (no file left by an earlier run).
async function freshProgram(scene) {
    fs.rmSync(scene.mappingFile, { force: true });
    const program = await scene.startProgram();
    await sourceListed(program.page, A, 60_000);
    await sourceListed(program.page, B, 60_000);
    return program;
}

// The sender's pictures come from the source with `id`.
async function showsPicturesOf(scene, sender, id) {
    return until(
        `${sender} to carry pictures of source ${id}`,
        async () => {
            const video = (await scene.probe(sender, { seconds: 2 })).video;
            if (!(video?.pictures > 0 && video.sourceId === id)) throw new Error(JSON.stringify(video));
            return video;
        },
        { timeoutMs: 40_000, intervalMs: 0 },
    );
}

describe('the program under a sanitizer', () => {
    const world = sceneFor('sanitized', { jack: false });
    let program;
    let page;

    before(() => {
        underSanitizer(world.scene.env);
        world.scene.startSource('Sanitized A', { channels: 2, id: A_ID, video: true });
        world.scene.startSource('Sanitized B', { channels: 2, id: B_ID, video: true });
    });

    world.it('SIGTERM half a second after the page connects ends it cleanly, five times in a row', async (scene) => {
        for (let run = 1; run <= 5; run++) {
            const started = await scene.startProgram();
            await sleep(500);
            assert.deepEqual(await started.shutdownProblems(), [], `run ${run}\n${started.proc.tail()}`);
        }
    });

    world.it('SIGTERM while pictures stream to a sender with a -100 ms A/V delay ends it cleanly', async (scene) => {
        program = await freshProgram(scene);
        page = program.page;
        await page.link(A, 'CH 1', S1, 'CH 1');
        await page.link(A, 'Video', S1, 'Video');
        await page.setDelay(S1, -100);
        assert.equal((await page.view()).delays[S1], 'Delay: -100 ms');
        await hearsSoon(scene, S1, [`id ${A_ID} ch 0`, 'silent', 'silent', 'silent']);
        await showsPicturesOf(scene, S1, A_ID);
        assert.deepEqual(await program.shutdownProblems(), [], program.proc.tail());
    });

    world.it('200 rapid links, unlinks and video switches through the bridge while streaming', async (scene) => {
        program = await freshProgram(scene);
        page = program.page;
        // Every round links and unlinks a source channel and moves the
        // sender's pictures to the other source; ten rounds per page call.
        for (let first = 0; first < 200; first += 10) {
            const calls = [];
            for (let round = first; round < first + 10; round++) {
                const source = round % 2 ? A : B;
                const link = [source, round % 2, S1, round % 4];
                calls.push(['connectionAdded', ...link], ['videoConnectionAdded', source, S1], ['connectionRemoved', ...link]);
            }
            await callBridge(page, calls);
        }
        // The last round left the pictures of A and no audio on the sender.
        await callBridge(page, [['connectionAdded', B, 1, S1, 0]]);
        await hearsSoon(scene, S1, [`id ${B_ID} ch 1`, 'silent', 'silent', 'silent']);
        await showsPicturesOf(scene, S1, A_ID);
    });

    world.it('Remove Sender in a fan-out leaves the other sender heard, and SIGTERM then ends it cleanly', async (scene) => {
        await page.link(A, 'CH 1', S2, 'CH 1');
        await page.link(A, 'CH 1', S1, 'CH 2');
        await hearsSoon(scene, S2, [`id ${A_ID} ch 0`, 'silent']);
        await page.itemButton('sender', S2, 'Remove Sender');
        assert.ok(!(await page.senderNames()).includes(S2), 'the removed sender is gone from the page');
        await until(
            'the removed sender to be no longer published',
            async () => !(await scene.probe(S2, { seconds: 1, skip: 0, timeout: 4 })).found,
            { timeoutMs: 30_000, intervalMs: 0 },
        );
        await hearsSoon(scene, S1, [`id ${B_ID} ch 1`, `id ${A_ID} ch 0`, 'silent', 'silent']);
        assert.deepEqual(await program.shutdownProblems(), [], program.proc.tail());
    });
});
