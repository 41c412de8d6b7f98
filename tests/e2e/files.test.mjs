// The routing file as the user meets it, without a sound device: written at
// start, Save Config, Save Config As and Load Config through the program's file
// dialogs, the routing and its delay restored after a restart, and a second
// start that gives way to the running one.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { describe } from 'node:test';

import { heard, hearsSoon, ndiName, readRouting, sceneFor, sourceListed, until } from './harness.mjs';

const SOURCE = ndiName('Files Source');
const ID = 303;
const S1 = 'Zelka Sender 1';
const S2 = 'Zelka Sender 2';
const S3 = 'Zelka Sender 3';
// +100 ms holds the audio back by 9 whole blocks of 512 samples.
const AUDIO_HELD_MS = (9 * 512 * 1000) / 48000;

const unrouted = (channels) => ({ channels: Array(channels).fill(''), video: '', delay: 0 });

describe('the routing file through the page and across restarts', () => {
    const world = sceneFor('files', { jack: false });
    let program;
    let page;
    let latencyWithoutDelay;
    const saveAs = () => world.scene.path('files', 'chosen.zelkac');

    world.it('the first start writes the three default senders to the default file', async (scene) => {
        program = await scene.startProgram();
        page = program.page;
        const routing = await until('the default file', () => readRouting(scene.mappingFile));
        assert.deepEqual(routing, { [S1]: unrouted(4), [S2]: unrouted(2), [S3]: unrouted(6) });
    });

    world.it('Save Config shows "Configuration Saved" and writes the routing and the delay', async (scene) => {
        scene.startSource('Files Source', { channels: 2, id: ID });
        await sourceListed(page, SOURCE);
        await page.link(SOURCE, 'CH 2', S1, 'CH 1');
        const before = await scene.probe(S1);
        assert.deepEqual(heard(before), [`id ${ID} ch 1`, 'silent', 'silent', 'silent']);
        latencyWithoutDelay = before.audio[0].latencyMs;
        await page.setDelay(S1, 100);
        await page.pressButton('saveConfigButton');
        assert.deepEqual((await page.view()).popups, ['savedMsgPopup']);
        await page.closePopups();
        const routing = await until('the saved routing', () => {
            const r = readRouting(scene.mappingFile);
            return r[S1].delay === 100 && r;
        });
        assert.deepEqual(routing[S1], { channels: [`${SOURCE}/CH 2`, '', '', ''], video: '', delay: 100 });
    });

    world.it('Save Config As writes the chosen file, and the next Save Config writes there too', async (scene) => {
        const click = await page.pressDialogButton('saveConfigAsButton');
        await scene.chooseFile(saveAs());
        await click.confirmed;
        const chosen = await until('the chosen file', () => fs.existsSync(saveAs()) && readRouting(saveAs()));
        assert.deepEqual(chosen, readRouting(scene.mappingFile));

        await page.link(SOURCE, 'CH 1', S3, 'CH 6');
        await page.pressButton('saveConfigButton');
        await page.closePopups();
        await until('the new link in the chosen file', () => readRouting(saveAs())[S3].channels[5] === `${SOURCE}/CH 1`);
        // The default file is not the one Save Config writes now, but it is still
        // kept current (at most one write a second), so it gets the link too.
        await until('the new link in the default file', () => readRouting(scene.mappingFile)[S3].channels[5] === `${SOURCE}/CH 1`);
    });

    world.it('Load Config replaces the routing with the chosen file and the engine follows', async (scene) => {
        const other = scene.path('files', 'other.zelkac');
        fs.writeFileSync(
            other,
            JSON.stringify({
                senderChannelMappings: [
                    {
                        senderName: 'Loaded Sender',
                        senderChannelMappings: [
                            { sourceChannel: 0, sourceName: '' },
                            { sourceChannel: 2, sourceName: SOURCE },
                        ],
                        videoSource: '',
                    },
                ],
                senderDelayMappings: [],
            }),
        );
        let click = await page.pressDialogButton('loadConfigButton');
        await scene.chooseFile(other);
        await click.confirmed;
        await until('the loaded senders in the page', async () => (await page.senderNames()).join() === 'Loaded Sender');
        assert.deepEqual(await page.connections(), [
            { sourceName: SOURCE, sourceChannel: 'CH 2', senderName: 'Loaded Sender', senderChannel: 'CH 2' },
        ]);
        assert.deepEqual(heard(await scene.probe('Loaded Sender')), ['silent', `id ${ID} ch 1`]);

        click = await page.pressDialogButton('loadConfigButton');
        await scene.chooseFile(saveAs());
        await click.confirmed;
        await until('the chosen file back in the page', async () => (await page.connections()).length === 2);
        await until('the loaded delay on the slider', async () => (await page.view()).delays[S1] === 'Delay: 100 ms');
        assert.ok(fs.readFileSync(other, 'utf8').includes('Loaded Sender'), 'loading leaves the file alone');
    });

    world.it('after a restart the routing is back and its delay holds the audio back again', async (scene) => {
        assert.deepEqual(await program.stop(), { code: 0, signal: null });
        const saved = readRouting(scene.mappingFile);
        assert.deepEqual([saved[S1].channels[0], saved[S3].channels[5], saved[S1].delay], [
            `${SOURCE}/CH 2`,
            `${SOURCE}/CH 1`,
            100,
        ]);

        program = await scene.startProgram();
        page = program.page;
        assert.deepEqual(
            (await page.connections()).map((c) => `${c.sourceChannel}>${c.senderName}/${c.senderChannel}`),
            [`CH 2>${S1}/CH 1`, `CH 1>${S3}/CH 6`],
        );
        await until('the restored delay on the slider', async () => (await page.view()).delays[S1] === 'Delay: 100 ms', {
            timeoutMs: 15_000,
        });
        const after = await hearsSoon(scene, S1, [`id ${ID} ch 1`, 'silent', 'silent', 'silent']);
        const held = after.audio[0].latencyMs - latencyWithoutDelay;
        assert.ok(Math.abs(held - AUDIO_HELD_MS) <= 35, `the audio is ${held} ms later than without the delay`);
    });

    world.it('a second start exits at once with code 0 and the first keeps running', async (scene) => {
        const second = await scene.startProgram({ connect: false });
        const ended = await Promise.race([second.proc.exited, new Promise((r) => setTimeout(() => r('still running'), 30_000))]);
        assert.deepEqual(ended, { code: 0, signal: null });
        assert.match(second.log, /Another instance is running/);
        assert.ok(program.proc.running);
        assert.deepEqual(await page.senderNames(), [S1, S2, S3]);
        assert.deepEqual(heard(await scene.probe(S3)), ['silent', 'silent', 'silent', 'silent', 'silent', `id ${ID} ch 0`]);
    });

    world.it('the program shuts down cleanly', async () => {
        assert.deepEqual(await program.shutdownProblems(), []);
    });
});
