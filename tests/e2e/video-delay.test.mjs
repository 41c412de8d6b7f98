// Video pass-through and the A/V delay, on the program's own clock (no sound
// device): a source with pictures and audio is linked to a sender, and the
// probe measures at the sender's output how far the pictures are ahead of or
// behind the audio of the same moment.
import assert from 'node:assert/strict';
import { describe } from 'node:test';

import { heard, hearsSoon, ndiName, sceneFor, sourceListed, until } from './harness.mjs';

const SOURCE = ndiName('AV Source');
const ID = 202;
const SENDER = 'Zelka Sender 1';
// A positive delay holds the audio back by whole 512-sample blocks (100 ms:
// 9 blocks, 96 ms), a negative one the pictures by whole pictures (-100 ms at
// 30000/1001: 2 pictures, 66.7 ms). Pictures are 33 ms apart and the machine
// is shared, hence the wide margin.
const AUDIO_HELD_MS = (9 * 512 * 1000) / 48000;
const PICTURES_HELD_MS = (2 * 1001 * 1000) / 30000;
const TOLERANCE_MS = 35;

function pictures(report) {
    const v = report.video;
    assert.ok(v && v.pictures > 0, `pictures at the output: ${JSON.stringify(v)}`);
    assert.equal(v.intact, v.pictures, `every picture arrives intact: ${JSON.stringify(v)}`);
    assert.equal(v.sourceId, ID);
    return v;
}

describe('video pass-through and A/V delay without a sound device', () => {
    const world = sceneFor('video', { jack: false });
    let program;
    let page;
    let baseline;

    // The A/V offset at the sender's output: positive when the pictures come
    // later than the audio of the same moment.
    const measure = async (scene) => {
        const report = await scene.probe(SENDER, { seconds: 4, skip: 1 });
        const audio = report.audio[0];
        assert.deepEqual([audio.sourceId, audio.sourceChannel], [ID, 0], 'the sender carries the linked channel');
        const v = pictures(report);
        assert.equal(typeof v.avOffsetMs, 'number', `A/V offset: ${JSON.stringify(v)}`);
        return { offset: v.avOffsetMs, heard: heard(report) };
    };

    world.it('the senders come up without Monitor, and audio and video pass through', async (scene) => {
        program = await scene.startProgram();
        page = program.page;
        assert.deepEqual(await page.senderNames(), ['Zelka Sender 1', 'Zelka Sender 2', 'Zelka Sender 3']);
        scene.startSource('AV Source', { channels: 2, id: ID, video: true });
        await sourceListed(page, SOURCE);
        await page.link(SOURCE, 'CH 1', SENDER, 'CH 1');
        await page.link(SOURCE, 'Video', SENDER, 'Video');
        assert.deepEqual(
            (await page.connections()).map((c) => `${c.sourceChannel}>${c.senderChannel}`),
            ['CH 1>CH 1', 'Video>Video'],
        );
        baseline = (await measure(scene)).offset;
    });

    world.it('the audio of a sender stays bit-exact while its pictures pass through', async (scene) => {
        assert.deepEqual((await measure(scene)).heard, [`id ${ID} ch 0`, 'silent', 'silent', 'silent']);
    });

    world.it('a delay of +100 ms holds the audio back by 9 blocks', async (scene) => {
        await page.setDelay(SENDER, 100);
        assert.equal((await page.view()).delays[SENDER], 'Delay: 100 ms');
        const { offset } = await measure(scene);
        console.log(`# A/V offset: ${baseline.toFixed(1)} ms at 0, ${offset.toFixed(1)} ms at +100`);
        assert.ok(Math.abs(offset - (baseline - AUDIO_HELD_MS)) <= TOLERANCE_MS, `offset ${offset} against ${baseline} at 0`);
    });

    world.it('a delay of -100 ms holds the pictures back by 2 pictures', async (scene) => {
        await page.setDelay(SENDER, -100);
        assert.equal((await page.view()).delays[SENDER], 'Delay: -100 ms');
        const { offset } = await measure(scene);
        console.log(`# A/V offset: ${baseline.toFixed(1)} ms at 0, ${offset.toFixed(1)} ms at -100`);
        assert.ok(Math.abs(offset - (baseline + PICTURES_HELD_MS)) <= TOLERANCE_MS, `offset ${offset} against ${baseline} at 0`);
    });

    world.it('the video link comes off with its trash button and the sender carries no pictures', async (scene) => {
        const rows = await page.connections();
        await page.trash(rows.findIndex((c) => c.senderChannel === 'Video'));
        await until(
            'the sender to stop carrying pictures',
            async () => (await scene.probe(SENDER, { seconds: 2, skip: 1 })).video === null,
            { timeoutMs: 30_000 },
        );
        await hearsSoon(scene, SENDER, [`id ${ID} ch 0`, 'silent', 'silent', 'silent']);
    });

    world.it('the program shuts down cleanly', async () => {
        assert.deepEqual(await program.shutdownProblems(), []);
    });
});
