// Saving the routing when things go wrong, on the program's own clock: the
// program killed with -9 in the middle of saves, and a disk that is full when
// the user saves and when the program shuts down. The routing file is whole
// afterwards and holds the last routing that was saved.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { MAPPING_FILE, hearsSoon, ndiName, readRouting, run, sceneFor, sourceListed, until } from './harness.mjs';

const SOURCE = ndiName('Save Source');
const ID = 505;
const S1 = 'Zelka Sender 1';
const S2 = 'Zelka Sender 2';
const S3 = 'Zelka Sender 3';
const KILL_ROUNDS = 3;

// Fills the file system that holds `dir` to the last byte.
function fillUp(dir) {
    const filler = path.join(dir, 'filler');
    const chunk = Buffer.alloc(16 * 1024, 1);
    const fd = fs.openSync(filler, 'a');
    try {
        for (;;) fs.writeSync(fd, chunk);
    } catch (error) {
        if (error.code !== 'ENOSPC') throw error;
    } finally {
        fs.closeSync(fd);
    }
    for (;;) {
        try {
            fs.appendFileSync(filler, 'x');
        } catch (error) {
            if (error.code === 'ENOSPC') return filler;
            throw error;
        }
    }
}

describe('saving the routing under bad conditions', () => {
    const world = sceneFor('crash-save', { jack: false });
    let program;
    let page;

    world.it('a program killed with -9 while it saves leaves a whole routing file', async (scene) => {
        program = await scene.startProgram();
        page = program.page;
        scene.startSource('Save Source', { channels: 2, id: ID });
        await sourceListed(page, SOURCE);
        await page.link(SOURCE, 'CH 1', S1, 'CH 1');
        await page.link(SOURCE, 'CH 2', S2, 'CH 2');
        await page.pressButton('saveConfigButton');
        await page.closePopups();
        const expected = await until('the saved routing', () => {
            const r = readRouting(scene.mappingFile);
            return r[S2].channels[1] === `${SOURCE}/CH 2` && r;
        });

        for (let round = 0; round < KILL_ROUNDS; round++) {
            // Saves back to back, and the kill lands somewhere among them.
            let saves = 0;
            const saving = (async () => {
                try {
                    for (;;) {
                        await page.pressButton('saveConfigButton');
                        await page.closePopups();
                        saves += 1;
                    }
                } catch {
                    // The program is gone.
                }
            })();
            await sleep(300 + Math.random() * 1200);
            await program.kill9();
            await saving;
            assert.ok(saves > 0, 'saves were under way when the program was killed');
            assert.deepEqual(readRouting(scene.mappingFile), expected, `round ${round}: the file is whole`);

            program = await scene.startProgram();
            page = program.page;
            assert.deepEqual(
                (await page.connections()).map((c) => `${c.sourceChannel}>${c.senderName}/${c.senderChannel}`),
                [`CH 1>${S1}/CH 1`, `CH 2>${S2}/CH 2`],
            );
        }
        const left = fs.readdirSync(path.dirname(scene.mappingFile)).filter((f) => f !== path.basename(MAPPING_FILE));
        console.log(`# other files next to the routing file after ${KILL_ROUNDS} kills: ${JSON.stringify(left)}`);
        await hearsSoon(scene, S2, ['silent', `id ${ID} ch 1`]);
    });

    world.it('a full disk keeps the last saved file whole, at Save Config and at shutdown', async (scene, t) => {
        // A small file system of its own for the application data, mounted by
        // the test (root only).
        const data = scene.path('full-data');
        fs.mkdirSync(data);
        const mounted = await run('mount', ['-t', 'tmpfs', '-o', 'size=512k,mode=0700', 'tmpfs', data], { timeoutMs: 10_000 });
        if (mounted.code !== 0) {
            t.skip(`cannot mount a small file system here: ${mounted.stderr.trim()}`);
            return;
        }
        try {
            await program.stop();
            const file = path.join(data, MAPPING_FILE);
            fs.mkdirSync(path.dirname(file), { recursive: true });
            fs.copyFileSync(scene.mappingFile, file);
            scene.env.XDG_DATA_HOME = data;
            program = await scene.startProgram();
            page = program.page;
            await sourceListed(page, SOURCE);
            // The program rewrites the file at start; that write is done once the page is up.
            const before = fs.readFileSync(file, 'utf8');

            // Neither the program's own saving of a routing change nor Save Config
            // may damage the file while the disk is full.
            const filler = fillUp(data);
            await page.link(SOURCE, 'CH 2', S3, 'CH 3');
            await sleep(2500);
            assert.equal(fs.readFileSync(file, 'utf8'), before, 'saving a change onto a full disk leaves the old file');
            await page.pressButton('saveConfigButton');
            const told = await until('the page to report the failed save', async () => {
                const view = await page.view();
                return view.popups.includes('errorMsgPopup') && view;
            });
            assert.match(told.errorText, /^Cannot save/);
            await page.closePopups();
            assert.equal(fs.readFileSync(file, 'utf8'), before, 'Save Config onto a full disk leaves the old file');
            assert.ok(program.proc.running);

            fs.rmSync(filler);
            await page.pressButton('saveConfigButton');
            await page.closePopups();
            await until('the save once there is room', () => readRouting(file)[S3].channels[2] === `${SOURCE}/CH 2`);
            const saved = fs.readFileSync(file, 'utf8');

            fillUp(data);
            await page.link(SOURCE, 'CH 1', S3, 'CH 4');
            assert.deepEqual(await program.stop(), { code: 0, signal: null });
            assert.equal(fs.readFileSync(file, 'utf8'), saved, 'the shutdown save onto a full disk leaves the old file');
        } finally {
            await program.stop();
            const unmounted = await run('umount', [data], { timeoutMs: 10_000 });
            if (unmounted.code !== 0) await run('umount', ['-l', data], { timeoutMs: 10_000 });
        }
    });
});
