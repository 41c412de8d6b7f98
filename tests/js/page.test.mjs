// Behaviour of the routing page in headless Chromium against a fake bridge.
import assert from 'node:assert/strict';
import {after, before, describe, test} from 'node:test';

import {launchBrowser, openPage} from './page-harness.mjs';

let browser;
before(async () => { browser = await launchBrowser(); });
after(async () => { await browser?.close(); });

const SOURCES = {
    'A (cam)' : 2,
    'B (mix)' : 4,
    'Gfx (titles)' : 0,
    'Pending (x)' : -1
};
const SENDERS = {
    Monitor : 2,
    'Out 1' : 4,
    'Out 2' : 2,
    'Video Only' : 0
};
const audio = (sourceName, sourceChannel, senderName, senderChannel) =>
    ({sourceName, sourceChannel, senderName, senderChannel});
const video = (sourceName, senderName) => ({sourceName, sourceChannel : 'Video', senderName, senderChannel : 'Video'});

// Opens a page, loads the usual sources and senders (plus `connections`), runs
// `body` and closes the page; page errors fail the test.
async function withPage(body, {connections = [], load = true, ...options} = {}) {
    const ui = await openPage(browser, options);
    try {
        if (load)
            await ui.load({sources : SOURCES, senders : SENDERS, connections});
        await body(ui);
        assert.deepEqual(ui.pageErrors, []);
        assert.deepEqual(ui.dialogs, []);
    } finally {
        await ui.close();
    }
}

// The captions in an opened item, in order ("Audio Delay" for the delay toggle).
function nestedCaptions(ui, side, name) {
    return ui.item(side, name)
        .evaluate(
            (item) => [...item.querySelector('.nested').children].map(
                (li) => li.querySelector('.delay-caption')?.textContent ?? li.textContent),
        );
}

function itemNames(ui, side) { return ui.list(side).locator('.available-ndi-name').allTextContents(); }

describe('start-up', () => {
    test('covers the page until the channel opens, then shows the bridge texts and calls uiReady last', async () => {
        const ui = await openPage(browser, {holdChannel : true});
        try {
            assert.equal(await ui.isShown('mainLoader'), true);
            assert.equal(await ui.isShown('mainOverlay'), true);
            assert.deepEqual(await ui.calls(), []);

            await ui.page.evaluate(() => window.__fake.openChannel());
            assert.equal(await ui.isShown('mainLoader'), false);
            assert.equal(await ui.isShown('mainOverlay'), false);
            assert.equal(await ui.text('productVersion'), 'v1.5.2');
            assert.equal(await ui.page.title(), 'Quorvane');
            assert.equal(await ui.text('productTitle'), 'Quorvane');
            assert.equal(await ui.text('aboutNdiVersion'), 'NDI Lib v6.1.1');

            const raw = await ui.rawCalls();
            const connected = raw.filter((c) => c.connect).map((c) => c.connect).sort();
            assert.deepEqual(
                connected,
                [ 'connectionsUpdated', 'saveFailed', 'sendersUpdated', 'setAVDelaySignal', 'sourcesUpdated' ]);
            assert.equal(raw.at(-1).slot, 'uiReady');
            assert.equal(raw.filter((c) => c.slot === 'uiReady').length, 1);
        } finally {
            await ui.close();
        }
    });

    test('loads its fonts and images from the program and nothing from outside', async () => {
        await withPage(async (ui) => {
            const loaded = await ui.page.evaluate(async () => {
                await document.fonts.ready;
                const resources = performance.getEntriesByType('resource').map((r) => new URL(r.name).pathname);
                return {
                    fonts : [...document.fonts ]
                                .filter((f) => f.family.includes('Lato') && f.status === 'loaded')
                                .map((f) => f.weight)
                                .sort(),
                    logo : document.querySelector('.logo').naturalWidth > 0,
                    resources,
                };
            });
            assert.deepEqual(loaded.fonts, [ '400', '700' ]);
            assert.equal(loaded.logo, true);
            assert.ok(loaded.resources.includes('/assets/background.jpg'));
            assert.ok(loaded.resources.includes('/assets/fonts/Lato-Regular.ttf'));
            assert.deepEqual(ui.foreignRequests, []);
        });
    });
});

describe('messages', () => {
    test('a sources message lists measured sources in name order; an unmeasured one appears once it has a count',
         async () => {
             await withPage(async (ui) => {
                 assert.deepEqual(await itemNames(ui, 'source'), [ 'A (cam)', 'B (mix)', 'Gfx (titles)' ]);
                 await ui.expand('source', 'Gfx (titles)');
                 assert.deepEqual(await nestedCaptions(ui, 'source', 'Gfx (titles)'), [ 'Select All', 'Video' ]);
                 await ui.expand('source', 'A (cam)');
                 assert.deepEqual(await nestedCaptions(ui, 'source', 'A (cam)'),
                                  [ 'Select All', 'CH 1', 'CH 2', 'Video' ]);

                 await ui.emit('sourcesUpdated', {...SOURCES, 'Pending (x)' : 0, '10 (num)' : 1, '9 (num)' : 1});
                 assert.deepEqual(await itemNames(ui, 'source'),
                                  [ '10 (num)', '9 (num)', 'A (cam)', 'B (mix)', 'Gfx (titles)', 'Pending (x)' ]);

                 const from = await ui.page.evaluate(() => window.__fake.calls.length);
                 await ui.emit('sourcesUpdated', '{"A (cam)": 2'); // cut short
                 assert.equal((await itemNames(ui, 'source')).length, 6);
                 const logged = await ui.page.evaluate((n) => window.__fake.calls.slice(n).map((c) => c.slot), from);
                 assert.deepEqual(logged, [ 'console' ]);
             });
         });

    const senderCases = [
        {name : 'Out 2', captions : [ 'Select All', 'Remove Sender', 'Audio Delay', 'CH 1', 'CH 2', 'Video' ]},
        {name : 'Video Only', captions : [ 'Select All', 'Remove Sender', 'Video' ]},
        {name : 'Monitor', captions : [ 'Select All', 'CH 1', 'CH 2' ]},
    ];
    test('sender items offer the controls their kind allows, closed until opened', async () => {
        await withPage(async (ui) => {
            for (const {name, captions} of senderCases) {
                const nested = ui.item('sender', name).locator('.nested');
                assert.equal(await nested.isVisible(), false, name);
                await ui.item('sender', name).locator('.available-ndi-name').click();
                assert.equal(await nested.isVisible(), true, name);
                assert.deepEqual(await nestedCaptions(ui, 'sender', name), captions, name);
            }
            const delay = ui.item('sender', 'Out 2').locator('.delay-container');
            assert.equal(await delay.evaluate((d) => getComputedStyle(d).opacity), '0');
            await ui.item('sender', 'Out 2').locator('.available-ndi-name').click();
            assert.equal(await ui.item('sender', 'Out 2').locator('.nested').isVisible(), false);
        });
    });

    test('a connections message adds pairs counted from 1; the next senders message drops them without bridge calls',
         async () => {
             await withPage(
                 async (ui) => {
                     assert.deepEqual(await ui.pairs(), [
                         [ 'A (cam) > CH 1', 'CH 3 < Out 1' ],
                         [ 'B (mix) > Video', 'Video < Out 2' ],
                     ]);
                     const ids = await ui.page.evaluate(
                         () => [...document.querySelectorAll('#connectedSources > .connection-item')].map(
                             (row) => [...row.children].map((c) => c.id)));
                     for (const row of ids) {
                         for (const id of row)
                             assert.match(
                                 id,
                                 /^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}[0-9a-f-]{36}$/);
                         assert.equal(new Set(row.map((id) => id.slice(0, 36))).size, 1);
                     }
                     const before = await ui.callCount();
                     await ui.emit('sendersUpdated', SENDERS);
                     assert.deepEqual(await ui.pairs(), []);
                     assert.deepEqual(await ui.calls(before), []);
                 },
                 {connections : [ audio('A (cam)', 0, 'Out 1', 2), video('B (mix)', 'Out 2') ]},
             );
         });
});

describe('selection', () => {
    // Each step is [item, caption]; "+" holds Ctrl.
    const cases = [
        {title : 'a click selects one channel', steps : [ [ 'A (cam)', 'CH 1' ] ], selected : [ 'A (cam)/1' ]},
        {
            title : 'a plain click on another channel leaves only that one',
            steps : [ [ 'A (cam)', 'CH 1' ], [ 'A (cam)', 'CH 2' ] ],
            selected : [ 'A (cam)/2' ]
        },
        {
            title : 'Ctrl adds in click order, across items',
            steps : [ [ 'A (cam)', 'CH 2' ], [ 'B (mix)', '+CH 1' ], [ 'A (cam)', '+Video' ] ],
            selected : [ 'A (cam)/2', 'B (mix)/1', 'A (cam)/Video' ]
        },
        {
            title : 'Ctrl on a selected channel removes just that one',
            steps : [ [ 'A (cam)', 'CH 1' ], [ 'A (cam)', '+Video' ], [ 'A (cam)', '+CH 1' ] ],
            selected : [ 'A (cam)/Video' ]
        },
        {
            title : 'a plain click on a selected channel clears the side',
            steps : [ [ 'A (cam)', 'CH 1' ], [ 'A (cam)', '+CH 2' ], [ 'A (cam)', 'CH 2' ] ],
            selected : []
        },
    ];
    for (const {title, steps, selected} of cases) {
        test(title, async () => {
            await withPage(async (ui) => {
                for (const [name, caption] of steps)
                    await ui.select('source', name, caption);
                assert.deepEqual(await ui.selection('source'), selected);
                const shown = selected.map((s) => s.replace(/\/(\d+)$/, '/CH $1'));
                assert.deepEqual((await ui.highlighted('source')).sort(), shown.sort());
                assert.deepEqual(await ui.selection('sender'), []);
            });
        });
    }

    test('Select All alternates per item between all channels and none, and keeps its count across a Link',
         async () => {
             await withPage(async (ui) => {
                 await ui.select('sender', 'Out 2', 'CH 1');
                 const selectAll = ui.item('sender', 'Out 1').getByRole('button', {name : 'Select All'});
                 await ui.expand('sender', 'Out 1');
                 await selectAll.click();
                 const all = [ 'Out 1/1', 'Out 1/2', 'Out 1/3', 'Out 1/4', 'Out 1/Video' ];
                 assert.deepEqual(await ui.selection('sender'), all);
                 assert.equal((await ui.highlighted('sender')).length, 5);
                 await selectAll.click();
                 assert.deepEqual(await ui.selection('sender'), []);
                 assert.deepEqual(await ui.highlighted('sender'), []);
                 await selectAll.click();
                 assert.deepEqual(await ui.selection('sender'), all);
                 await ui.page.click('#linkButton');
                 await selectAll.click(); // 4th press: clears, selects nothing
                 assert.deepEqual(await ui.selection('sender'), []);
             });
         });
});

describe('link', () => {
    // src/snd: [item, caption] clicks on each side ("+" holds Ctrl).
    const cases = [
        {
            title : 'pairs the selections in order, counting channels from 0 for the bridge',
            src : [ [ 'A (cam)', 'CH 1' ], [ 'A (cam)', '+CH 2' ] ],
            snd : [ [ 'Out 1', 'CH 3' ], [ 'Out 1', '+CH 4' ] ],
            calls :
                [ [ 'connectionAdded', 'A (cam)', 0, 'Out 1', 2 ], [ 'connectionAdded', 'A (cam)', 1, 'Out 1', 3 ] ],
            added : [ [ 'A (cam) > CH 1', 'CH 3 < Out 1' ], [ 'A (cam) > CH 2', 'CH 4 < Out 1' ] ],
        },
        {
            title : 'ignores the surplus of the longer side',
            src : [ [ 'B (mix)', 'CH 1' ], [ 'B (mix)', '+CH 2' ], [ 'B (mix)', '+CH 3' ] ],
            snd : [ [ 'Out 1', 'CH 1' ] ],
            calls : [ [ 'connectionAdded', 'B (mix)', 0, 'Out 1', 0 ] ],
            added : [ [ 'B (mix) > CH 1', 'CH 1 < Out 1' ] ],
        },
        {
            title : 'refuses a connected sender channel and still links the other pairs',
            existing : [ audio('A (cam)', 0, 'Out 1', 0) ],
            src : [ [ 'B (mix)', 'CH 1' ], [ 'B (mix)', '+CH 2' ] ],
            snd : [ [ 'Out 1', 'CH 1' ], [ 'Out 1', '+CH 2' ] ],
            calls : [ [ 'connectionAdded', 'B (mix)', 1, 'Out 1', 1 ] ],
            added : [ [ 'B (mix) > CH 2', 'CH 2 < Out 1' ] ],
            error : 'Sender channel already in use',
        },
        {
            title : 'sends a source video to the first video entry of the senders',
            src : [ [ 'A (cam)', 'Video' ] ],
            snd : [ [ 'Out 2', 'CH 1' ], [ 'Out 2', '+Video' ] ],
            calls : [ [ 'videoConnectionAdded', 'A (cam)', 'Out 2' ] ],
            added : [ [ 'A (cam) > Video', 'Video < Out 2' ] ],
        },
        {
            title : 'gives a sender video the first video entry of the sources',
            src : [ [ 'A (cam)', 'CH 1' ], [ 'B (mix)', '+Video' ] ],
            snd : [ [ 'Out 2', 'Video' ] ],
            calls : [ [ 'videoConnectionAdded', 'B (mix)', 'Out 2' ] ],
            added : [ [ 'B (mix) > Video', 'Video < Out 2' ] ],
        },
        {
            title : 'leaves a sender that already carries video alone',
            existing : [ video('A (cam)', 'Out 2') ],
            src : [ [ 'B (mix)', 'Video' ] ],
            snd : [ [ 'Out 1', 'CH 1' ], [ 'Out 2', '+Video' ] ],
            calls : [],
            added : [],
        },
        {
            title : 'never pairs an audio channel with a video channel',
            src : [ [ 'A (cam)', 'CH 1' ], [ 'A (cam)', '+CH 2' ] ],
            snd : [ [ 'Out 2', 'Video' ], [ 'Out 1', '+CH 1' ] ],
            calls : [ [ 'connectionAdded', 'A (cam)', 1, 'Out 1', 0 ] ],
            added : [ [ 'A (cam) > CH 2', 'CH 1 < Out 1' ] ],
        },
        {
            title : 'finds no video sender for a source video among audio entries',
            src : [ [ 'A (cam)', 'Video' ] ],
            snd : [ [ 'Out 1', 'CH 1' ] ],
            calls : [],
            added : [],
        },
    ];
    for (const {title, existing = [], src, snd, calls, added, error} of cases) {
        test(title, async () => {
            await withPage(
                async (ui) => {
                    const pairsBefore = await ui.pairs();
                    for (const [name, caption] of src)
                        await ui.select('source', name, caption);
                    for (const [name, caption] of snd)
                        await ui.select('sender', name, caption);
                    const from = await ui.callCount();
                    await ui.page.click('#linkButton');
                    assert.deepEqual(await ui.calls(from), calls);
                    assert.deepEqual(await ui.pairs(), [...pairsBefore, ...added ]);
                    assert.equal(await ui.isShown('errorMsgPopup'), !!error);
                    if (error)
                        assert.equal(await ui.text('errorMsgPopupText'), error);
                    for (const side of ['source', 'sender']) {
                        assert.deepEqual(await ui.selection(side), []);
                        assert.deepEqual(await ui.highlighted(side), []);
                    }
                },
                {connections : existing},
            );
        });
    }
});

describe('removing connections and senders', () => {
    const connections = [
        audio('A (cam)', 0, 'Out 1', 2),
        video('B (mix)', 'Out 2'),
        audio('B (mix)', 3, 'Out 1', 0),
        audio('A (cam)', 1, 'Out 2', 1),
    ];
    const trashCases = [
        {row : 0, call : [ 'connectionRemoved', 'A (cam)', 0, 'Out 1', 2 ]},
        {row : 1, call : [ 'videoConnectionRemoved', 'B (mix)', 'Out 2' ]},
    ];
    for (const {row, call} of trashCases) {
        test(`the trash button of a pair removes both rows and calls ${call[0]}`, async () => {
            await withPage(
                async (ui) => {
                    const all = await ui.pairs();
                    const from = await ui.callCount();
                    await ui.page.locator('.connection-item-trash-button').nth(row).click();
                    assert.deepEqual(await ui.calls(from), [ call ]);
                    assert.deepEqual(await ui.pairs(), all.filter((_, i) => i !== row));
                },
                {connections},
            );
        });
    }

    test('Remove All removes every pair in order with one call each', async () => {
        await withPage(
            async (ui) => {
                const from = await ui.callCount();
                await ui.page.click('#removeAllButton');
                assert.deepEqual(await ui.calls(from), [
                    [ 'connectionRemoved', 'A (cam)', 0, 'Out 1', 2 ],
                    [ 'videoConnectionRemoved', 'B (mix)', 'Out 2' ],
                    [ 'connectionRemoved', 'B (mix)', 3, 'Out 1', 0 ],
                    [ 'connectionRemoved', 'A (cam)', 1, 'Out 2', 1 ],
                ]);
                assert.deepEqual(await ui.pairs(), []);
            },
            {connections},
        );
    });

    test('Remove Sender removes its pairs first, then the item, then tells the bridge', async () => {
        await withPage(
            async (ui) => {
                await ui.select('sender', 'Out 1', 'CH 2');
                await ui.select('sender', 'Out 2', '+CH 1');
                const from = await ui.callCount();
                await ui.item('sender', 'Out 1').getByRole('button', {name : 'Remove Sender'}).click();
                assert.deepEqual(await ui.calls(from), [
                    [ 'connectionRemoved', 'A (cam)', 0, 'Out 1', 2 ],
                    [ 'connectionRemoved', 'B (mix)', 3, 'Out 1', 0 ],
                    [ 'senderRemoved', 'Out 1' ],
                ]);
                assert.deepEqual(await itemNames(ui, 'sender'), [ 'Monitor', 'Out 2', 'Video Only' ]);
                assert.deepEqual(await ui.pairs(), [
                    [ 'B (mix) > Video', 'Video < Out 2' ],
                    [ 'A (cam) > CH 2', 'CH 2 < Out 2' ],
                ]);
                assert.deepEqual(await ui.selection('sender'), [ 'Out 2/1' ]);
            },
            {connections},
        );
    });
});

describe('add sender', () => {
    async function submit(ui, name, channels) {
        if (!(await ui.isShown('addSenderPopup')))
            await ui.page.click('#addSenderButton');
        await ui.page.fill('#senderNameTextInput', name);
        await ui.page.fill('#senderChannelsTextInput', '');
        await ui.page.focus('#senderChannelsTextInput');
        await ui.page.keyboard.type(channels);
        await ui.page.click('#addSenderPopupButton');
    }

    const range = 'Error: Audio channels must be a whole number from 0 to 64';
    const refused = [
        {name : '', channels : '2', error : 'Error: Sender name is required'},
        {name : '', channels : '', error : 'Error: Sender name is required'},
        {name : 'New', channels : '', error : 'Error: Sender channels is required'},
        {name : 'New', channels : 'e', error : 'Error: Sender channels is required'},
        {name : 'New', channels : '-1', error : range},
        {name : 'New', channels : '1.5', error : range},
        {name : 'New', channels : '65', error : range},
        {name : 'Out 1', channels : '2', error : 'Error: Sender name already in use'},
    ];
    test('refuses bad input with the first failing rule and calls nothing', async () => {
        await withPage(async (ui) => {
            for (const {name, channels, error} of refused) {
                const from = await ui.callCount();
                await submit(ui, name, channels);
                const label = `${JSON.stringify(name)} / ${JSON.stringify(channels)}`;
                assert.equal(await ui.text('addSenderErrorMsg'), error, label);
                assert.equal(await ui.isShown('addSenderErrorMsg'), true, label);
                assert.equal(await ui.isShown('addSenderPopup'), true, label);
                assert.deepEqual(await ui.calls(from), [], label);
            }
            assert.deepEqual(await itemNames(ui, 'sender'), Object.keys(SENDERS));
        });
    });

    const accepted = [
        {
            name : 'out 1',
            channels : '2',
            captions : [ 'Select All', 'Remove Sender', 'Audio Delay', 'CH 1', 'CH 2', 'Video' ]
        },
        {name : 'Pictures', channels : '0', captions : [ 'Select All', 'Remove Sender', 'Video' ]},
        {name : 'Wide', channels : '64'},
    ];
    test('adds a valid sender at the end of the list and tells the bridge the count as a number', async () => {
        await withPage(async (ui) => {
            await submit(ui, '', '1'); // an earlier error must not stay visible
            for (const {name, channels, captions} of accepted) {
                const from = await ui.callCount();
                await submit(ui, name, channels);
                assert.deepEqual(await ui.calls(from), [ [ 'senderAdded', name, Number(channels) ] ]);
                for (const id of ['addSenderPopup', 'mainOverlay', 'addSenderErrorMsg'])
                    assert.equal(await ui.isShown(id), false, id);
                assert.equal((await itemNames(ui, 'sender')).at(-1), name);
                if (captions) {
                    await ui.expand('sender', name);
                    assert.deepEqual(await nestedCaptions(ui, 'sender', name), captions);
                }
            }
            assert.equal(await ui.item('sender', 'Wide').locator('.tree-view-leaf-item').count(), 65);
        });
    });
});

describe('delay control', () => {
    async function openDelay(ui, name) {
        await ui.expand('sender', name);
        await ui.item('sender', name).locator('.delay-toggle').click();
        return {
            slider : ui.item('sender', name).locator('.slider'),
            label : ui.item('sender', name).locator('.delay-label'),
        };
    }

    test('each slider step sends the delay and updates the label; the reset button sends 0', async () => {
        await withPage(async (ui) => {
            const {slider, label} = await openDelay(ui, 'Out 1');
            assert.equal(await label.getAttribute('id'), 'delay_Out 1');
            assert.equal(await label.textContent(), 'Delay: 0 ms');
            const from = await ui.callCount();
            await slider.focus();
            for (let i = 0; i < 3; i++)
                await ui.page.keyboard.press('ArrowRight');
            assert.deepEqual(await ui.calls(from), [ 1, 2, 3 ].map((v) => ['setAVDelay', 'Out 1', v]));
            assert.equal(await label.textContent(), 'Delay: 3 ms');
            await ui.page.keyboard.press('Home');
            assert.deepEqual((await ui.calls(from)).at(-1), [ 'setAVDelay', 'Out 1', -2000 ]);
            assert.equal(await label.textContent(), 'Delay: -2000 ms');

            const beforeReset = await ui.callCount();
            await ui.item('sender', 'Out 1').getByRole('button', {name : '0 ms'}).click();
            assert.deepEqual(await ui.calls(beforeReset), [ [ 'setAVDelay', 'Out 1', 0 ] ]);
            assert.equal(await slider.inputValue(), '0');
            assert.equal(await label.textContent(), 'Delay: 0 ms');
        });
    });

    const messages = [
        {delay : 250, slider : '250'},
        {delay : 3000, slider : '2000'},
        {delay : -2500, slider : '-2000'},
    ];
    test('a delay message moves the slider as far as it goes and shows the true value', async () => {
        await withPage(async (ui) => {
            const {slider, label} = await openDelay(ui, 'Out 2');
            const from = await ui.callCount();
            for (const {delay, slider : expected} of messages) {
                await ui.emit('setAVDelaySignal', {senderDelay : delay, senderName : 'Out 2'});
                assert.equal(await slider.inputValue(), expected, String(delay));
                assert.equal(await label.textContent(), `Delay: ${delay} ms`);
            }
            await ui.emit('setAVDelaySignal', {senderDelay : 100, senderName : 'Video Only'});
            await ui.emit('setAVDelaySignal', {senderDelay : 100, senderName : 'Monitor'});
            assert.deepEqual(await ui.calls(from), []);

            await ui.emit('sendersUpdated', SENDERS);
            assert.equal(await ui.item('sender', 'Out 2').locator('.slider').inputValue(), '0');
            assert.equal(await ui.item('sender', 'Out 2').locator('.delay-label').textContent(), 'Delay: 0 ms');
        });
    });
});

// Fake timers that move only when a test runs them: an installed clock still
// follows real time, which on a busy machine fires the filter timer early.
async function pausedClock(ui) {
    await ui.page.clock.install();
    await ui.page.clock.pauseAt(Date.now() + 1000);
}

describe('filters', () => {
    const connections = [ audio('A (cam)', 0, 'Out 1', 2), video('B (mix)', 'Out 2'), audio('B (mix)', 1, 'Out 1', 0) ];

    async function type(ui, id, text) {
        await ui.page.focus(`#${id}`);
        await ui.page.keyboard.type(text);
    }

    async function clear(ui, id) {
        await ui.page.focus(`#${id}`);
        await ui.page.keyboard.press('Control+A');
        await ui.page.keyboard.press('Backspace');
    }

    const visibleSources = (ui) =>
        ui.list('source').locator('.tree-view-item:visible .available-ndi-name').allTextContents();

    test('the inputs filter runs 500 ms after typing and matches what an item shows, ignoring case', async () => {
        await withPage(async (ui) => {
            await pausedClock(ui);
            await ui.expand('source', 'B (mix)');
            await type(ui, 'filterInputs', 'CAM');
            await ui.page.clock.runFor(499);
            assert.deepEqual(await visibleSources(ui), [ 'A (cam)', 'B (mix)', 'Gfx (titles)' ]);
            await ui.page.clock.runFor(1);
            assert.deepEqual(await visibleSources(ui), [ 'A (cam)' ]);

            await clear(ui, 'filterInputs');
            await type(ui, 'filterInputs', 'ch 4'); // only the opened B shows a CH 4
            await ui.page.clock.runFor(500);
            assert.deepEqual(await visibleSources(ui), [ 'B (mix)' ]);

            await ui.emit('sourcesUpdated', SOURCES); // a rebuilt tree keeps the filter
            assert.deepEqual(await visibleSources(ui), [ 'B (mix)' ]);

            await clear(ui, 'filterInputs');
            await ui.page.clock.runFor(500);
            assert.deepEqual(await visibleSources(ui), [ 'A (cam)', 'B (mix)', 'Gfx (titles)' ]);
        }, {connections});
    });

    test('the three boxes share one timer: typing in another box cancels the pending run', async () => {
        await withPage(async (ui) => {
            await pausedClock(ui);
            await type(ui, 'filterInputs', 'zzz');
            await ui.page.clock.runFor(200);
            await type(ui, 'filterDest', 'out 2');
            await ui.page.clock.runFor(1000);
            assert.deepEqual(await visibleSources(ui), [ 'A (cam)', 'B (mix)', 'Gfx (titles)' ]);
            assert.deepEqual(await ui.visiblePairs(), [ false, true, false ]);
        }, {connections});
    });

    test('the connection filter tests source rows when filterSources has text, otherwise sender rows', async () => {
        await withPage(async (ui) => {
            await pausedClock(ui);
            await type(ui, 'filterDest', 'OUT 1');
            await type(ui, 'filterSources', 'b (');
            await ui.page.clock.runFor(500);
            assert.deepEqual(await ui.visiblePairs(), [ false, true, true ]);

            await clear(ui, 'filterSources');
            await ui.page.clock.runFor(500);
            assert.deepEqual(await ui.visiblePairs(), [ true, false, true ]);

            await type(ui, 'filterDest', ' <'); // "CH 1 < Out 1" does not contain "out 1 <"
            await ui.page.clock.runFor(500);
            assert.deepEqual(await ui.visiblePairs(), [ false, false, false ]);

            await clear(ui, 'filterDest');
            await ui.page.clock.runFor(500);
            assert.deepEqual(await ui.visiblePairs(), [ true, true, true ]);
        }, {connections});
    });
});

describe('file buttons and pop-ups', () => {
    test('file buttons call the bridge, and Save shows "Configuration Saved" before it saves', async () => {
        await withPage(async (ui) => {
            const from = await ui.callCount();
            await ui.page.click('#loadConfigButton');
            await ui.page.click('#saveConfigAsButton');
            assert.equal(await ui.isShown('mainOverlay'), false);
            await ui.page.click('#saveConfigButton');
            assert.deepEqual(
                await ui.calls(from),
                [ [ 'loadFileButtonPressed' ], [ 'saveAsFileButtonPressed' ], [ 'saveFileButtonPressed' ] ]);
            const save = (await ui.rawCalls()).find((c) => c.slot === 'saveFileButtonPressed');
            assert.deepEqual(save.popups, [ 'savedMsgPopup' ]);
            assert.equal(await ui.page.locator('#savedMsgPopup h3').textContent(), 'Configuration Saved');
            await ui.page.click('#savedMsgPopupCloseButton');
            assert.equal(await ui.isShown('savedMsgPopup'), false);
            assert.equal(await ui.isShown('mainOverlay'), false);
        });
    });

    test('a failed save replaces the saved pop-up with the reason', async () => {
        await withPage(async (ui) => {
            await ui.page.click('#saveConfigButton');
            const reason = 'Could not write /home/u/show.zelkac: Permission denied';
            await ui.page.evaluate((text) => window.__fake.emit('saveFailed', text), reason);
            assert.equal(await ui.isShown('savedMsgPopup'), false);
            assert.equal(await ui.isShown('errorMsgPopup'), true);
            assert.equal(await ui.text('errorMsgPopupText'), reason);
            await ui.page.click('#errorMsgPopupCloseButton');
            assert.equal(await ui.isShown('mainOverlay'), false);
        });
    });

    test('works with a bridge that has no failed-save signal', async () => {
        await withPage(
            async (ui) => {
                assert.deepEqual((await ui.rawCalls()).filter((c) => c.connect === 'saveFailed'), []);
                await ui.page.click('#saveConfigButton');
                assert.equal(await ui.isShown('savedMsgPopup'), true);
            },
            {saveFailed : false},
        );
    });

    test('About shows the title, NDI version and runtime; a click on the overlay closes every pop-up', async () => {
        await withPage(async (ui) => {
            await ui.page.click('#aboutButton');
            assert.equal(await ui.isShown('aboutPopup'), true);
            assert.equal(await ui.text('productTitle'), 'Quorvane');
            assert.equal(await ui.text('aboutNdiVersion'), 'NDI Lib v6.1.1');
            // A library path is shown as text, whatever characters it holds.
            assert.equal(await ui.text('aboutNdiRuntime'), 'NDI runtime: NDI SDK 6.1.1, /opt/<ndi>/libndi.so.6, standard');
            await ui.page.evaluate(() => showErrorPopupWithMsg('second'));
            await ui.page.mouse.click(10, 10);
            for (const id of ['aboutPopup', 'errorMsgPopup', 'mainOverlay'])
                assert.equal(await ui.isShown(id), false, id);
            await ui.page.click('#addSenderButton');
            await ui.page.mouse.click(10, 10);
            assert.equal(await ui.isShown('addSenderPopup'), false);
        });
    });
});

describe('untrusted names', () => {
    const hostile =
        [ '<img src=x onerror=alert(1)>', '"; qmlWrapper.senderRemoved("x"); "', "x'][id^='", '</script><b>bold</b>' ];

    test('names are shown exactly as text everywhere and run nothing', async () => {
        const ui = await openPage(browser);
        try {
            const sources = Object.fromEntries(hostile.map((n) => [n, 1]));
            const senders = Object.fromEntries(hostile.map((n) => [n, 1]));
            await ui.load({sources, senders, connections : hostile.map((n) => audio(n, 0, n, 0))});
            await ui.emit('setAVDelaySignal', {senderDelay : 40, senderName : hostile[1]});

            const sorted = [...hostile ].sort();
            assert.deepEqual(await itemNames(ui, 'source'), sorted);
            assert.deepEqual(await itemNames(ui, 'sender'), sorted);
            assert.deepEqual(await ui.pairs(), hostile.map((n) => [`${n} > CH 1`, `CH 1 < ${n}`]));
            assert.equal(await ui.item('sender', hostile[1]).locator('.delay-label').textContent(), 'Delay: 40 ms');

            // Use every path that handles a name.
            await ui.page.locator('.connection-item-trash-button').first().click();
            await ui.select('source', hostile[0], 'CH 1');
            await ui.select('sender', hostile[0], 'CH 1');
            await ui.page.click('#linkButton');
            await ui.page.click('#addSenderButton');
            await ui.page.fill('#senderNameTextInput', '<b onmouseover=alert(2)>x</b>');
            await ui.page.fill('#senderChannelsTextInput', '1');
            await ui.page.click('#addSenderPopupButton');
            await ui.page.fill('#filterInputs', "\"]'<b>");
            await ui.page.fill('#filterDest', "\"]'<b>");
            await ui.page.waitForTimeout(600);
            await ui.expand('sender', hostile[2]);
            await ui.item('sender', hostile[2]).getByRole('button', {name : 'Remove Sender'}).click();

            const calls = await ui.calls();
            assert.deepEqual(calls.slice(1), [
                [ 'connectionRemoved', hostile[0], 0, hostile[0], 0 ],
                [ 'connectionAdded', hostile[0], 0, hostile[0], 0 ],
                [ 'senderAdded', '<b onmouseover=alert(2)>x</b>', 1 ],
                [ 'connectionRemoved', hostile[2], 0, hostile[2], 0 ],
                [ 'senderRemoved', hostile[2] ],
            ]);
            const injected = await ui.page.evaluate(() => ({
                                                        images : document.querySelectorAll('img').length,
                                                        bold : document.querySelectorAll('b').length,
                                                    }));
            assert.deepEqual(injected, {images : 2, bold : 0}); // the two logos
            assert.deepEqual(ui.dialogs, []);
            assert.deepEqual(ui.pageErrors, []);
        } finally {
            await ui.close();
        }
    });
});

describe('selection after a rebuild', () => {
    test('a sources message keeps and re-highlights the channels that still exist and drops the rest', async () => {
        await withPage(async (ui) => {
            await ui.select('source', 'A (cam)', 'CH 2', '+CH 1');
            await ui.select('source', 'B (mix)', '+CH 4');
            await ui.emit('sourcesUpdated', {'A (cam)' : 1, 'Gfx (titles)' : 0});
            assert.deepEqual(await ui.selection('source'), [ 'A (cam)/1' ]);
            assert.deepEqual(await ui.highlighted('source'), [ 'A (cam)/CH 1' ]);

            await ui.select('sender', 'Out 1', 'CH 1', '+CH 2');
            const from = await ui.callCount();
            await ui.page.click('#linkButton');
            assert.deepEqual(await ui.calls(from), [ [ 'connectionAdded', 'A (cam)', 0, 'Out 1', 0 ] ]);
        });
    });

    test('a senders message keeps and re-highlights the sender channels that still exist', async () => {
        await withPage(async (ui) => {
            await ui.select('sender', 'Out 1', 'CH 4');
            await ui.select('sender', 'Out 2', '+Video');
            await ui.emit('sendersUpdated', {...SENDERS, 'Out 1' : 2});
            assert.deepEqual(await ui.selection('sender'), [ 'Out 2/Video' ]);
            assert.deepEqual(await ui.highlighted('sender'), [ 'Out 2/Video' ]);
        });
    });
});
