// The program on an NDI runtime loaded at start-up instead of its built-in one
// (software clock): Quorvane's own runtime built as a shared library, the same
// without the advanced entry points, and libraries it must refuse. The test
// source and the probe stay on the built-in runtime; they meet the program's
// library through the shared discovery folder.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { describe } from 'node:test';

import { BIN, hearsSoon, ndiName, sceneFor, sourceListed, until } from './harness.mjs';

const LIBRARY = path.resolve(BIN, '../lib/libquorvane-ndi.so');
const TEST_RUNTIMES = path.resolve(BIN, '../tests/runtimes');
const VERSION = 'Quorvane NDI runtime 1.0.0';
const SOURCE = ndiName('Runtime Source');
const ID = 301;
const SENDER = 'Zelka Sender 1';
const BOTH_CHANNELS = [`id ${ID} ch 0`, `id ${ID} ch 1`, 'silent', 'silent'];

describe('the program on a loaded NDI runtime', () => {
    const world = sceneFor('ndi-runtime', { jack: false });

    // Starts the program on `runtime` with no saved routing, waits for the log
    // line of the runtime it runs on, and links both channels of the source.
    const routeOn = async (scene, runtime, expectedLine) => {
        fs.rmSync(scene.mappingFile, { force: true });
        const program = await scene.startProgram({ env: { QUORVANE_NDI_RUNTIME: runtime } });
        await until(`"${expectedLine}" in the log`, async () => program.log.includes(expectedLine), { timeoutMs: 10_000 });
        await sourceListed(program.page, SOURCE);
        await program.page.link(SOURCE, 'CH 1', SENDER, 'CH 1');
        await program.page.link(SOURCE, 'CH 2', SENDER, 'CH 2');
        return program;
    };

    world.it('Quorvane\'s runtime as a library routes bit-exact, and About names the library', async (scene) => {
        scene.startSource('Runtime Source', { channels: 2, id: ID, video: true });
        const line = `NDI runtime: ${VERSION}, ${LIBRARY}, advanced`;
        const program = await routeOn(scene, LIBRARY, line);
        await hearsSoon(scene, SENDER, BOTH_CHANNELS);
        const about = await program.page.call(() => document.getElementById('aboutNdiRuntime').textContent);
        assert.equal(about, line);
        assert.deepEqual(await program.shutdownProblems(), []);
    });

    world.it('a standard runtime discovers, routes and passes video through', async (scene) => {
        const standard = path.join(TEST_RUNTIMES, 'libquorvane-ndi-standard.so');
        const program = await routeOn(scene, standard, `NDI runtime: ${VERSION}, ${standard}, standard`);
        await program.page.link(SOURCE, 'Video', SENDER, 'Video');
        await hearsSoon(scene, SENDER, BOTH_CHANNELS);
        const report = await until('pictures at the sender', async () => {
            const r = await scene.probe(SENDER, { seconds: 2 });
            return r.video?.pictures > 0 ? r : null;
        });
        assert.equal(report.video.intact, report.video.pictures, JSON.stringify(report.video));
        assert.equal(report.video.sourceId, ID);
        assert.deepEqual(await program.shutdownProblems(), []);
    });

    world.it('an unusable library is named with its reason, and the built-in runtime routes', async (scene) => {
        const text = scene.path('files', 'libndi-notes.so');
        fs.writeFileSync(text, 'Only the name of this file says library; it holds text, not machine code.\n');
        const cases = [
            { runtime: scene.path('files', 'absent', 'libndi.so.6'), reason: 'No such file or directory' },
            { runtime: text, reason: 'invalid ELF header' },
            { runtime: path.join(TEST_RUNTIMES, 'libquorvane-ndi-incomplete.so'), reason: 'it lacks the entry point NDIlib_send_destroy' },
            { runtime: path.join(TEST_RUNTIMES, 'libquorvane-ndi-refusing.so'), reason: 'NDIlib_initialize returned false' },
        ];
        for (const { runtime, reason } of cases) {
            const program = await routeOn(scene, runtime, `NDI runtime: ${VERSION}, built-in, advanced`);
            const refusal = program.log.split('\n').filter((l) => l.includes(`NDI runtime library ${runtime} not used:`));
            assert.equal(refusal.length, 1, `one line names ${runtime}`);
            assert.match(refusal[0], /\[warning\]/);
            assert.ok(refusal[0].includes(reason), refusal[0]);
            await hearsSoon(scene, SENDER, BOTH_CHANNELS);
            assert.deepEqual(await program.shutdownProblems(), [], runtime);
        }
    });
});
