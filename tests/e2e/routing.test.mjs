// Routing through the page with a sound device (a JACK server with the dummy
// driver): one running program, one test source with four channels; each test
// changes the routing by clicking like a user and listens to the senders'
// NDI outputs with the probe and to the device's outputs with jack_rec.
import assert from 'node:assert/strict';
import { describe } from 'node:test';
import { setTimeout as sleep } from 'node:timers/promises';

import { ROUTING_ONLY, heard, ndiName, sceneFor, sourceListed, until } from './harness.mjs';
import { isSilent, matchTag, readWav } from './signal.mjs';

const SOURCE = ndiName('Routing Source');
const ID = 101;
const S1 = 'Zelka Sender 1';
const S2 = 'Zelka Sender 2';
const S3 = 'Zelka Sender 3';

describe('routing through the page with a sound device', () => {
    const world = sceneFor('routing', { jack: true });
    let program;
    let page;

    world.it('the page shows the default senders, Monitor included, and the new source', async (scene) => {
        program = await scene.startProgram();
        page = program.page;
        scene.startSource('Routing Source', { channels: 4, id: ID });
        await sourceListed(page, SOURCE);
        const view = await page.view();
        assert.deepEqual(
            view.senders.map((s) => [s.name, s.channels.join(',')]),
            [
                ['Monitor', 'CH 1,CH 2'],
                [S1, 'CH 1,CH 2,CH 3,CH 4,Video'],
                [S2, 'CH 1,CH 2,Video'],
                [S3, 'CH 1,CH 2,CH 3,CH 4,CH 5,CH 6,Video'],
            ],
        );
        assert.deepEqual(view.sources.find((s) => s.name === SOURCE).channels, ['CH 1', 'CH 2', 'CH 3', 'CH 4', 'Video']);
    });

    world.it('CH 2 linked to CH 1 of a sender is heard there bit-exact and nowhere else', async (scene) => {
        await page.link(SOURCE, 'CH 2', S1, 'CH 1');
        assert.deepEqual(await page.connections(), [
            { sourceName: SOURCE, sourceChannel: 'CH 2', senderName: S1, senderChannel: 'CH 1' },
        ]);
        assert.deepEqual(heard(await scene.probe(S1)), [`id ${ID} ch 1`, 'silent', 'silent', 'silent']);
    });

    world.it('one source channel fans out to several senders; a two-channel selection links pairwise', async (scene) => {
        await page.link(SOURCE, 'CH 2', S2, 'CH 2');
        await page.selectChannel('source', SOURCE, 'CH 3');
        await page.selectChannel('source', SOURCE, 'CH 4', { ctrl: true });
        await page.selectChannel('sender', S2, 'CH 1');
        await page.selectChannel('sender', S3, 'CH 6', { ctrl: true });
        await page.pressButton('linkButton');
        assert.deepEqual(
            (await page.connections()).map((c) => `${c.sourceChannel}>${c.senderName}/${c.senderChannel}`),
            [`CH 2>${S1}/CH 1`, `CH 2>${S2}/CH 2`, `CH 3>${S2}/CH 1`, `CH 4>${S3}/CH 6`],
        );
        const [one, two, three] = await Promise.all([scene.probe(S1), scene.probe(S2), scene.probe(S3)]);
        assert.deepEqual(heard(one), [`id ${ID} ch 1`, 'silent', 'silent', 'silent']);
        assert.deepEqual(heard(two), [`id ${ID} ch 2`, `id ${ID} ch 1`]);
        assert.deepEqual(heard(three), ['silent', 'silent', 'silent', 'silent', 'silent', `id ${ID} ch 3`]);
    });

    world.it('a trashed connection falls silent and the others keep playing', async (scene) => {
        const rows = await page.connections();
        await page.trash(rows.findIndex((c) => c.senderName === S2 && c.senderChannel === 'CH 2'));
        assert.equal((await page.connections()).length, 3);
        assert.deepEqual(heard(await scene.probe(S2)), [`id ${ID} ch 2`, 'silent']);
    });

    world.it('Monitor plays the linked channel on the sound device', async (scene) => {
        await page.link(SOURCE, 'CH 3', 'Monitor', 'CH 1');
        const outputs = (await scene.jackPorts())
            .filter((p) => !p.name.startsWith('system:') && p.properties.includes('output'))
            .map((p) => p.name);
        assert.equal(outputs.length, 2, `the program's device outputs: ${outputs}`);
        const wav = scene.path('files', 'monitor.wav');
        // The first second after the link is not judged.
        await sleep(1000);
        await scene.recordJack(outputs, 3, wav);
        const { channels } = readWav(wav);
        const first = matchTag(channels[0], { sourceId: ID, channel: 2 });
        const allowed = ROUTING_ONLY ? first.cells / 4 : 0;
        assert.ok(first.cells >= 100 && first.mismatches <= allowed, `Monitor CH 1: ${JSON.stringify(first)}`);
        assert.ok(isSilent(channels[1]), 'Monitor CH 2 carries nothing');
    });

    world.it('a sender added in the pop-up is published and carries what is linked to it', async (scene) => {
        await page.addSender('E2E Added', 3);
        const added = (await page.view()).senders.find((s) => s.name === 'E2E Added');
        assert.deepEqual(added?.channels, ['CH 1', 'CH 2', 'CH 3', 'Video']);
        await page.link(SOURCE, 'CH 1', 'E2E Added', 'CH 3');
        assert.deepEqual(heard(await scene.probe('E2E Added')), ['silent', 'silent', `id ${ID} ch 0`]);
    });

    world.it('Remove Sender takes the sender, its rows and its output away and leaves the rest', async (scene) => {
        await page.itemButton('sender', S3, 'Remove Sender');
        const view = await page.view();
        assert.ok(!view.senders.some((s) => s.name === S3));
        assert.ok(!view.connections.some((c) => c.senderName === S3));
        assert.equal(view.connections.length, 4);
        // The engine takes the sender down at its next block.
        await until(
            'the removed sender to be no longer published',
            async () => !(await scene.probe(S3, { seconds: 1, skip: 0, timeout: 4 })).found,
            { timeoutMs: 15_000, intervalMs: 0 },
        );
        assert.deepEqual(heard(await scene.probe(S1)), [`id ${ID} ch 1`, 'silent', 'silent', 'silent']);
    });

    world.it('Remove All silences every sender and keeps the senders', async (scene) => {
        await page.pressButton('removeAllButton');
        const view = await page.view();
        assert.deepEqual(view.connections, []);
        assert.deepEqual(view.senders.map((s) => s.name).sort(), ['E2E Added', 'Monitor', S1, S2]);
        const [one, two, added] = await Promise.all([scene.probe(S1), scene.probe(S2), scene.probe('E2E Added')]);
        assert.deepEqual([heard(one), heard(two), heard(added)], [
            ['silent', 'silent', 'silent', 'silent'],
            ['silent', 'silent'],
            ['silent', 'silent', 'silent'],
        ]);
    });

    world.it('the program shuts down cleanly', async () => {
        assert.deepEqual(await program.shutdownProblems(), []);
    });
});
