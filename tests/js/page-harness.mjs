// Opens the routing page from the source tree in headless Chromium, with a
// fake bridge in place of the program's web channel. The fake records every
// slot call and lets a test send the bridge's signals.
import {readFile} from 'node:fs/promises';
import path from 'node:path';
import {fileURLToPath} from 'node:url';
import {chromium} from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
const webRoot = path.resolve(here, '../../ui/web');
const fontDir = '/usr/share/fonts/truetype/lato';

// The page is served at the root of one origin, as it is at the root of the
// program's resources, so "../assets/x" and "assets/x" reach the same file.
export const ORIGIN = 'http://quorvane.test';
export const PAGE_URL = `${ORIGIN}/routing-web-ui.html`;

const TYPES = {
    '.html' : 'text/html',
    '.js' : 'text/javascript',
    '.css' : 'text/css',
    '.png' : 'image/png',
    '.jpg' : 'image/jpeg',
    '.ttf' : 'font/ttf',
    '.ico' : 'image/x-icon'
};

export async function launchBrowser() {
    return chromium.launch({
        executablePath : process.env.CHROMIUM || '/usr/bin/chromium',
        args : [
            '--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
            '--disable-sync', '--no-first-run'
        ],
    });
}

function fileFor(pathname) {
    if (pathname.startsWith('/assets/fonts/'))
        return path.join(fontDir, path.basename(pathname));
    const file = path.normalize(path.join(webRoot, decodeURIComponent(pathname)));
    return file.startsWith(webRoot + path.sep) ? file : null;
}

// Runs in the page before its own scripts.
function installFakeBridge(options) {
    const calls = [];
    const handlers = {};
    const signals = [ 'sourcesUpdated', 'sendersUpdated', 'connectionsUpdated', 'setAVDelaySignal' ];
    if (options.saveFailed)
        signals.push('saveFailed');
    const slots = [
        'connectionAdded',
        'connectionRemoved',
        'videoConnectionAdded',
        'videoConnectionRemoved',
        'setAVDelay',
        'console',
        'uiReady',
        'senderAdded',
        'senderRemoved',
        'loadFileButtonPressed',
        'saveFileButtonPressed',
        'saveAsFileButtonPressed',
    ];
    const visiblePopups = () => ['addSenderPopup', 'aboutPopup', 'savedMsgPopup', 'errorMsgPopup'].filter(
        (id) => !document.getElementById(id).classList.contains('hidden'));

    const wrapper = {
        productVersion : '1.5.2',
        getTitle : 'Quorvane',
        ndiLibVersion : '6.1.1',
        ndiRuntime : 'NDI SDK 6.1.1, /opt/<ndi>/libndi.so.6, standard',
    };
    for (const signal of signals) {
        handlers[signal] = [];
        wrapper[signal] = {
            connect : (fn) => {
                calls.push({connect : signal});
                handlers[signal].push(fn);
            }
        };
    }
    for (const slot of slots) {
        wrapper[slot] = (...args) => { calls.push({slot, args, popups : visiblePopups()}); };
    }

    let openChannel = () => {};
    window.qt = {webChannelTransport : {}};
    window.QWebChannel = function(transport, ready) {
        this.objects = {qmlWrapper : wrapper};
        openChannel = () => ready(this);
        // The real channel answers asynchronously too.
        if (!options.holdChannel)
            queueMicrotask(openChannel);
    };
    window.__fake = {
        calls,
        emit : (signal, text) => handlers[signal].forEach((fn) => fn(text)),
        openChannel : () => openChannel(),
    };
}

// Opens the page with the fake bridge; returns helpers bound to it.
// options: { saveFailed: bridge has the failed-save signal (default true),
//            holdChannel: the channel opens only when openChannel() is called }
export async function openPage(browser, options = {}) {
    const context = await browser.newContext({viewport : {width : 1200, height : 680}});
    context.setDefaultTimeout(5000);
    const page = await context.newPage();
    const foreignRequests = [];
    const pageErrors = [];
    const dialogs = [];
    page.on('pageerror', (e) => pageErrors.push(e.message));
    page.on('dialog', (d) => {
        dialogs.push(d.message());
        d.dismiss();
    });

    await context.route('**/*', async (route) => {
        const url = new URL(route.request().url());
        // The program supplies the channel script; the fake bridge stands in for it.
        if (url.href === 'qrc:///qtwebchannel/qwebchannel.js') {
            return route.fulfill({status : 200, body : '', contentType : 'text/javascript'});
        }
        if (url.origin !== ORIGIN) {
            foreignRequests.push(url.href);
            return route.abort();
        }
        const file = fileFor(url.pathname);
        try {
            const body = await readFile(file);
            return route.fulfill(
                {status : 200, body, contentType : TYPES[path.extname(file)] || 'application/octet-stream'});
        } catch {
            foreignRequests.push(url.href);
            return route.fulfill({status : 404, body : ''});
        }
    });
    await page.addInitScript(installFakeBridge,
                             {saveFailed : options.saveFailed !== false, holdChannel : !!options.holdChannel});
    await page.goto(PAGE_URL);
    if (!options.holdChannel)
        await page.waitForFunction(() => window.__fake.calls.some((c) => c.slot === 'uiReady'));
    return new PageDriver(page, context, {foreignRequests, pageErrors, dialogs});
}

const exact = (text) => new RegExp(`^${text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&')}$`);

export class PageDriver {
    constructor(page, context, records) {
        this.page = page;
        this.context = context;
        Object.assign(this, records);
    }

    close() { return this.context.close(); }

    // Sends one of the bridge's signals; objects are sent as JSON text.
    emit(signal, value) {
        const text = typeof value === 'string' ? value : JSON.stringify(value);
        return this.page.evaluate(([ s, t ]) => window.__fake.emit(s, t), [ signal, text ]);
    }

    // The bridge's replay after uiReady: sources, senders, connections.
    async load({sources = {}, senders = {}, connections = []}) {
        await this.emit('sourcesUpdated', sources);
        await this.emit('sendersUpdated', senders);
        await this.emit('connectionsUpdated', connections);
    }

    // Slot calls as [slot, ...args], optionally from the n-th call on.
    async calls(from = 0) {
        const all =
            await this.page.evaluate(() => window.__fake.calls.filter((c) => c.slot).map((c) => [c.slot, ...c.args]));
        return all.slice(from).filter(([ slot ]) => slot !== 'console');
    }

    async callCount() { return (await this.calls()).length; }

    async rawCalls() { return this.page.evaluate(() => window.__fake.calls); }

    list(side) { return this.page.locator(side === 'source' ? '#availableSourcesList' : '#availableSendersList'); }

    item(side, name) {
        return this.list(side).locator('.tree-view-item').filter({
            has : this.page.locator('.available-ndi-name', {hasText : exact(name)})
        });
    }

    async expand(side, name) {
        const caret = this.item(side, name).locator('.available-ndi-name');
        if (!(await caret.evaluate((n) => n.classList.contains('caret-down'))))
            await caret.click();
    }

    leaf(side, name, caption) {
        return this.item(side, name).locator('.tree-view-leaf-item').filter({hasText : exact(caption)});
    }

    // Clicks channels in order; "+" before a caption holds Ctrl for that click.
    async select(side, name, ...captions) {
        await this.expand(side, name);
        for (const c of captions) {
            const ctrl = c.startsWith('+');
            await this.leaf(side, name, ctrl ? c.slice(1) : c).click({modifiers : ctrl ? [ 'Control' ] : []});
        }
    }

    // Texts of the highlighted channel items of one side, as "name/caption".
    highlighted(side) {
        return this.list(side).evaluate(
            (list) => [...list.querySelectorAll('.tree-view-leaf-item.selected')].map(
                (leaf) => `${leaf.closest('.tree-view-item').querySelector('.available-ndi-name').textContent}/${
                    leaf.textContent}`,
                ),
        );
    }

    // The page's selection list of one side, as "name/channel".
    selection(side) {
        return this.page.evaluate((s) => globalState.selection[s].map((e) => `${e.name}/${e.channel}`), side);
    }

    // Connection pairs as shown: [source row text, sender row text].
    pairs() {
        return this.page.evaluate(() => {
            const text = (row) => [...row.children].map((c) => c.textContent).filter((t) => t !== '').join(' ');
            const sources = [...document.querySelectorAll('#connectedSources > .connection-item') ];
            const senders = [...document.querySelectorAll('#connectedSenders > .connection-item') ];
            return sources.map((row, i) => [text(row), text(senders[i])]);
        });
    }

    visiblePairs() {
        return this.page.evaluate(() => {
            const rows = [...document.querySelectorAll('#connectedSources > .connection-item') ];
            return rows.map((row, i) =>
                                row.checkVisibility() &&
                                document.querySelectorAll('#connectedSenders > .connection-item')[i].checkVisibility());
        });
    }

    isShown(id) { return this.page.locator(`#${id}`).isVisible(); }

    text(id) { return this.page.locator(`#${id}`).textContent(); }
}
