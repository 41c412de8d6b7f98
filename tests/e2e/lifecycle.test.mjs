// The routing file over the program's life, without a sound device: a delay
// read at start-up survives kills before and after the start gate, a link made
// in the page reaches the default file without a save, the shutdown signals
// keep the last link, a save during a load's pause never writes an empty
// routing, and a Save Config As that cannot write says why and changes nothing.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';
import { isDeepStrictEqual } from 'node:util';

import { hearsSoon, ndiName, readRouting, run, sceneFor, sourceListed, until } from './harness.mjs';

const SOURCE = ndiName('Lifecycle Source');
const ID = 606;
const LIFE = 'Life Sender';
const SPARE = 'Spare Sender';

const START = {
    [LIFE]: { channels: [`${SOURCE}/CH 2`, ''], video: '', delay: 40 },
    [SPARE]: { channels: ['', '', ''], video: '', delay: 0 },
};

// The channel-mapping file of a routing in readRouting's short form.
function writeRouting(file, routing) {
    const senders = Object.entries(routing);
    const doc = {
        senderChannelMappings: senders.map(([senderName, s]) => ({
            senderName,
            videoSource: s.video,
            senderChannelMappings: s.channels.map((c) => {
                const at = c.lastIndexOf('/CH ');
                if (at < 0) return { sourceChannel: 0, sourceName: '' };
                return { sourceChannel: Number(c.slice(at + 4)), sourceName: c.slice(0, at) };
            }),
        })),
        senderDelayMappings: senders.map(([senderName, s]) => ({ senderName, delay: s.delay })),
    };
    fs.mkdirSync(path.dirname(file), { recursive: true });
    const text = JSON.stringify(doc);
    fs.writeFileSync(file, text);
    return text;
}

const rows = async (page) =>
    (await page.connections()).map((c) => `${c.sourceChannel}>${c.senderName}/${c.senderChannel}`);

describe('the routing file over the life of the program', () => {
    const world = sceneFor('lifecycle', { jack: false });
    let program;
    let page;
    const start = async (scene) => {
        program = await scene.startProgram();
        page = program.page;
        await sourceListed(page, SOURCE);
    };
    const delayShown = (ms) =>
        until(`"Delay: ${ms} ms" on the slider of ${LIFE}`, async () => {
            return (await page.view()).delays[LIFE] === `Delay: ${ms} ms`;
        });
    // How many times Save Config has written `file` in this run.
    const savedTo = (file) => program.log.split('\n').filter((l) => l.includes(`Saved to "${file}"`)).length;
    const current = () => world.scene.path('files', 'current.zelkac');

    world.it('a delay read at start-up stays in the file through kills before and after the start gate', async (scene) => {
        scene.startSource('Lifecycle Source', { channels: 2, id: ID });
        const written = writeRouting(scene.mappingFile, START);

        program = await scene.startProgram();
        // The start gate opens 2 s after the page announced itself; until then
        // the delay waits and the slider shows 0.
        const beforeGate = (await program.page.view()).delays[LIFE];
        await program.kill9();
        assert.equal(beforeGate, 'Delay: 0 ms', 'the kill came before the start gate');
        assert.notEqual(fs.readFileSync(scene.mappingFile, 'utf8'), written, 'the program rewrote the file at start');
        assert.deepEqual(readRouting(scene.mappingFile), START);

        await start(scene);
        await delayShown(40);
        // The applied delay marks the routing changed; its save is due within a second.
        await sleep(2500);
        await program.kill9();
        assert.deepEqual(readRouting(scene.mappingFile), START);

        await start(scene);
        await delayShown(40);
        assert.deepEqual(await rows(page), [`CH 2>${LIFE}/CH 1`]);
    });

    world.it('a link made in the page reaches the default file unsaved: after kill -9 it is back and heard', async (scene) => {
        await page.link(SOURCE, 'CH 1', LIFE, 'CH 2');
        await sleep(3000);
        await program.kill9();

        await start(scene);
        assert.deepEqual(await rows(page), [`CH 2>${LIFE}/CH 1`, `CH 1>${LIFE}/CH 2`]);
        await hearsSoon(scene, LIFE, [`id ${ID} ch 1`, `id ${ID} ch 0`]);
    });

    for (const [index, signal] of ['SIGTERM', 'SIGINT', 'SIGHUP'].entries()) {
        world.it(`${signal} right after a link ends the program with 0 and the file holds the link`, async (scene) => {
            if (!program.proc.running) await start(scene);
            const expected = await rows(page);
            await page.link(SOURCE, 'CH 2', SPARE, `CH ${index + 1}`);
            expected.push(`CH 2>${SPARE}/CH ${index + 1}`);
            assert.deepEqual(await program.stop({ signal, graceMs: 20_000 }), { code: 0, signal: null });
            const saved = readRouting(scene.mappingFile);
            const held = Object.entries(saved).flatMap(([sender, s]) =>
                s.channels.flatMap((c, i) => (c ? [`${c.slice(c.lastIndexOf('/') + 1)}>${sender}/CH ${i + 1}`] : [])),
            );
            assert.deepEqual(held.sort(), expected.sort(), 'the file holds the links the page showed at the signal');
            assert.equal(saved[LIFE].delay, 40);
        });
    }

    world.it('Save Config in the pause of a load writes the routing before or after it, never none', async (scene) => {
        await start(scene);
        const chosen = await page.pressDialogButton('saveConfigAsButton');
        await scene.chooseFile(current());
        await chosen.confirmed;
        let previous = await until('the chosen file', () => fs.existsSync(current()) && readRouting(current()));

        const loads = ['One', 'Two', 'One', 'Two'].map((n, i) => ({
            file: scene.path('files', `load-${i}.zelkac`),
            routing: { [`Loaded ${n}`]: { channels: ['', `${SOURCE}/CH ${i % 2 + 1}`], video: '', delay: 0 } },
        }));
        let pressedInPause = null;
        for (const load of loads) {
            writeRouting(load.file, load.routing);
            const opened = await page.pressDialogButton('loadConfigButton');
            await scene.chooseFile(load.file);
            await opened.confirmed;
            // The load is queued; the next block clears the senders and pauses 1 s.
            const queuedAt = Date.now();
            const saves = savedTo(current());
            // A save in the pause waits for the load, and the page for the save:
            // the click is confirmed only afterwards.
            const pressed = await page.click({ id: 'saveConfigButton' }, { opensDialog: true });
            const pressedAfterMs = Date.now() - queuedAt;
            await pressed.confirmed;
            await until('the save', () => savedTo(current()) > saves);
            const saved = readRouting(current());
            assert.ok(
                isDeepStrictEqual(saved, previous) || isDeepStrictEqual(saved, load.routing),
                `saved ${pressedAfterMs} ms after the load was queued: ${JSON.stringify(saved)}`,
            );
            const loaded = Object.keys(load.routing).join();
            await until('the loaded sender in the page', async () => (await page.senderNames()).join() === loaded);
            await page.closePopups();
            previous = load.routing;
            if (pressedAfterMs < 700) {
                pressedInPause = pressedAfterMs;
                break;
            }
        }
        assert.ok(pressedInPause !== null, 'no Save Config was pressed within the pause of a load');
    });

    world.it('a Save Config As that cannot write shows why and leaves the current file current', async (scene, t) => {
        // A read-only file system of the test's own (root only); elsewhere a
        // path under a regular file, which no one can create.
        const readOnly = scene.path('read-only');
        fs.mkdirSync(readOnly);
        const mounted = await run('mount', ['-t', 'tmpfs', '-o', 'ro,size=64k', 'tmpfs', readOnly], {
            timeoutMs: 10_000,
        });
        let target;
        let reason;
        if (mounted.code === 0) {
            target = path.join(readOnly, 'refused.zelkac');
            reason = /Read-only file system/;
        } else {
            t.diagnostic(`no read-only mount here (${mounted.stderr.trim()}); a path under a regular file instead`);
            fs.writeFileSync(scene.path('files', 'plain'), '');
            target = scene.path('files', 'plain', 'refused.zelkac');
            reason = /Cannot create path/;
        }
        try {
            const chosen = await page.pressDialogButton('saveConfigAsButton');
            await scene.chooseFile(target);
            await chosen.confirmed;
            const told = await until('the error pop-up', async () => {
                const view = await page.view();
                return view.popups.includes('errorMsgPopup') && view;
            });
            assert.deepEqual(told.popups, ['errorMsgPopup']);
            assert.ok(told.errorText.startsWith(`Cannot save "${target}": `), told.errorText);
            assert.match(told.errorText, reason);
            await page.closePopups();
            assert.equal(fs.existsSync(target), false);
            assert.equal(savedTo(target), 0);

            const [sender] = await page.senderNames();
            await page.link(SOURCE, 'CH 2', sender, 'CH 1');
            const saves = savedTo(current());
            await page.pressButton('saveConfigButton');
            await until('the save to the current file', () => savedTo(current()) > saves);
            assert.deepEqual((await page.view()).popups, ['savedMsgPopup'], 'the save was not reported as failed');
            await page.closePopups();
            assert.equal(readRouting(current())[sender].channels[0], `${SOURCE}/CH 2`);
        } finally {
            if (mounted.code === 0) {
                const unmounted = await run('umount', [readOnly], { timeoutMs: 10_000 });
                if (unmounted.code !== 0) await run('umount', ['-l', readOnly], { timeoutMs: 10_000 });
            }
        }
    });

    world.it('the program shuts down cleanly', async () => {
        assert.deepEqual(await program.shutdownProblems(), []);
    });
});
