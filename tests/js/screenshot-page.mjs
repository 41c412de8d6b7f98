// Takes a picture of the routing page at the window's size (1200 x 680) with a
// few sources, senders and connections from a fake bridge, and writes it to
// docs/routing-page.png:
//   node screenshot-page.mjs [output.png]
import path from 'node:path';
import {fileURLToPath} from 'node:url';

import {launchBrowser, openPage} from './page-harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const output = process.argv[2] || path.resolve(here, '../../docs/routing-page.png');

const audio = (sourceName, sourceChannel, senderName, senderChannel) =>
    ({sourceName, sourceChannel, senderName, senderChannel});
const video = (sourceName, senderName) => ({sourceName, sourceChannel : 'Video', senderName, senderChannel : 'Video'});

const browser = await launchBrowser();
try {
    const ui = await openPage(browser);
    await ui.load({
        sources : {
            'CAM-NODE-1 (Camera 1)' : 2,
            'CAM-NODE-1 (Camera 2)' : 2,
            'GFX-01 (Titles)' : 0,
            'MIXER-A (Program)' : 8,
            'STUDIO-PC (Presenter Mics)' : 4,
            'ZOOM-BRIDGE (Guest)' : 2,
        },
        senders : {'Broadcast Mix' : 8, Monitor : 2, 'Stream EN' : 2, 'Translation FR' : 2},
        connections : [
            audio('MIXER-A (Program)', 0, 'Broadcast Mix', 0),
            audio('MIXER-A (Program)', 1, 'Broadcast Mix', 1),
            audio('STUDIO-PC (Presenter Mics)', 0, 'Broadcast Mix', 2),
            audio('STUDIO-PC (Presenter Mics)', 1, 'Broadcast Mix', 3),
            audio('ZOOM-BRIDGE (Guest)', 0, 'Broadcast Mix', 4),
            video('CAM-NODE-1 (Camera 1)', 'Broadcast Mix'),
            audio('MIXER-A (Program)', 0, 'Monitor', 0),
            audio('MIXER-A (Program)', 1, 'Monitor', 1),
            audio('MIXER-A (Program)', 0, 'Stream EN', 0),
            audio('MIXER-A (Program)', 1, 'Stream EN', 1),
            video('CAM-NODE-1 (Camera 2)', 'Stream EN'),
        ],
    });
    await ui.emit('setAVDelaySignal', {senderDelay : 120, senderName : 'Broadcast Mix'});
    await ui.select('source', 'STUDIO-PC (Presenter Mics)', 'CH 3', '+CH 4');
    await ui.select('sender', 'Translation FR', 'CH 1', '+CH 2');
    await ui.expand('sender', 'Broadcast Mix');
    await ui.item('sender', 'Broadcast Mix').locator('.delay-toggle').click();
    await ui.page.waitForTimeout(400); // let the delay panel finish opening
    await ui.page.evaluate(() => document.fonts.ready);
    await ui.page.mouse.move(0, 0);
    await ui.page.screenshot({path : output});
    console.log(`wrote ${output}`);
} finally {
    await browser.close();
}
