// Drives the routing page inside the running program the way a user does:
// mouse clicks and key presses go in through the DevTools input events at the
// places where the elements are drawn, and what the user sees is read back
// from the document. Nothing here calls the bridge directly.
import { setTimeout as sleep } from 'node:timers/promises';

// Runs in the page: finds an element by a plain description, scrolls it into
// view and answers where it is drawn and whether a click there would reach it.
function locate(target) {
    const lists = { source: 'availableSourcesList', sender: 'availableSendersList' };
    const byText = (nodes, text) => [...nodes].find((n) => n.textContent.trim() === text);
    const item = (side, name) =>
        [...document.getElementById(lists[side]).children].find(
            (li) => li.querySelector('.available-ndi-name')?.textContent === name,
        );
    let node = null;
    if (target.id) {
        node = document.getElementById(target.id);
    } else if (target.row !== undefined) {
        node = document.getElementById('connectedSenders').children[target.row]?.querySelector('.connection-item-trash-button');
    } else {
        const li = item(target.side, target.name);
        if (li && target.part === 'name') node = li.querySelector('.available-ndi-name');
        else if (li && target.part === 'leaf') node = byText(li.querySelectorAll('.tree-view-leaf-item'), target.text);
        else if (li && target.part === 'button') node = byText(li.querySelectorAll('button'), target.text);
        else if (li && target.part === 'delayToggle') node = li.querySelector('.delay-toggle');
        else if (li && target.part === 'slider') node = li.querySelector('input.slider');
    }
    if (!node) return null;
    node.scrollIntoView({ block: 'center', inline: 'center' });
    const r = node.getBoundingClientRect();
    const x = r.left + r.width / 2;
    const y = r.top + r.height / 2;
    const hit = document.elementFromPoint(x, y);
    const reachable = r.width > 0 && r.height > 0 && !!hit && (hit === node || node.contains(hit));
    return { x, y, left: r.left, width: r.width, reachable };
}

// Runs in the page: what the user sees.
function view() {
    const visible = (n) => !!n && !n.classList.contains('hidden') && n.getClientRects().length > 0;
    const names = (id) =>
        [...document.getElementById(id).children].map((li) => ({
            name: li.querySelector('.available-ndi-name')?.textContent,
            shown: !li.classList.contains('hidden'),
            channels: [...li.querySelectorAll('.tree-view-leaf-item')].map((n) => n.textContent.trim()),
            buttons: [...li.querySelectorAll('button')].map((n) => n.textContent.trim()).filter(Boolean),
        }));
    const rowParts = (row) => ({
        name: row.querySelector('.connection-name')?.textContent,
        channel: row.querySelector('.connection-channel')?.textContent,
    });
    const sources = [...document.getElementById('connectedSources').children].map(rowParts);
    const senders = [...document.getElementById('connectedSenders').children].map(rowParts);
    const popups = ['addSenderPopup', 'aboutPopup', 'savedMsgPopup', 'errorMsgPopup'].filter((id) =>
        visible(document.getElementById(id)),
    );
    const delays = {};
    for (const label of document.querySelectorAll('[id^="delay_"]')) delays[label.id.slice(6)] = label.textContent;
    return {
        ready: !visible(document.getElementById('mainLoader')) && !visible(document.getElementById('mainOverlay')),
        sources: names('availableSourcesList'),
        senders: names('availableSendersList'),
        connections: sources.map((s, i) => ({
            sourceName: s.name,
            sourceChannel: s.channel,
            senderName: senders[i]?.name,
            senderChannel: senders[i]?.channel,
        })),
        popups,
        errorText: document.getElementById('errorMsgPopupText').textContent,
        addSenderError: visible(document.getElementById('addSenderErrorMsg'))
            ? document.getElementById('addSenderErrorMsg').textContent
            : '',
        delays,
    };
}

// A DevTools call that does not answer in time fails the test instead of
// hanging it (the page stops answering while the program shows a modal dialog).
export function withTimeout(promise, what, ms = 30_000) {
    let timer;
    const timeout = new Promise((_, reject) => {
        timer = setTimeout(() => reject(new Error(`no answer from the page within ${ms} ms: ${what}`)), ms);
    });
    return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

const KEYS = {
    ArrowLeft: 37,
    ArrowRight: 39,
    Enter: 13,
    Escape: 27,
};

export class Page {
    constructor(client) {
        this.client = client;
    }

    // Evaluates `fn(...args)` in the page and returns its value.
    async call(fn, ...args) {
        const { result, exceptionDetails } = await withTimeout(
            this.client.Runtime.evaluate({
                expression: `(${fn})(...${JSON.stringify(args)})`,
                returnByValue: true,
                awaitPromise: true,
            }),
            fn.name || 'evaluate',
        );
        if (exceptionDetails) {
            throw new Error(`page: ${exceptionDetails.exception?.description || exceptionDetails.text}`);
        }
        return result.value;
    }

    view() {
        return this.call(view);
    }

    async isReady() {
        const v = await this.view();
        return v.ready && v.senders.length > 0;
    }

    async sourceNames() {
        return (await this.view()).sources.map((s) => s.name);
    }

    async senderNames() {
        return (await this.view()).senders.map((s) => s.name);
    }

    async connections() {
        return (await this.view()).connections;
    }

    // Clicks the middle of an element once it is drawn and nothing covers it.
    // `opensDialog`: the click makes the program show a modal dialog, during
    // which the page cannot confirm the click; the confirmation is returned as a
    // promise to await once the dialog is answered.
    async click(target, { ctrl = false, timeoutMs = 10_000, opensDialog = false } = {}) {
        const deadline = Date.now() + timeoutMs;
        let box;
        for (;;) {
            box = await this.call(locate, target);
            if (box?.reachable) break;
            if (Date.now() > deadline) throw new Error(`cannot click ${JSON.stringify(target)}: ${JSON.stringify(box)}`);
            await sleep(100);
        }
        return this.clickAt(box.x, box.y, { ctrl, opensDialog });
    }

    async clickAt(x, y, { ctrl = false, opensDialog = false } = {}) {
        const modifiers = ctrl ? 2 : 0;
        const { Input } = this.client;
        await withTimeout(Input.dispatchMouseEvent({ type: 'mouseMoved', x, y, modifiers }), 'mouse move');
        await withTimeout(
            Input.dispatchMouseEvent({ type: 'mousePressed', x, y, button: 'left', clickCount: 1, modifiers }),
            'mouse press',
        );
        const released = Input.dispatchMouseEvent({ type: 'mouseReleased', x, y, button: 'left', clickCount: 1, modifiers });
        if (opensDialog) {
            const confirmed = withTimeout(released, 'mouse release after the dialog', 60_000);
            // A test that fails while the dialog is open must not also leave an unhandled rejection.
            confirmed.catch(() => {});
            return { confirmed };
        }
        await withTimeout(released, 'mouse release');
    }

    async press(key, times = 1) {
        const code = KEYS[key];
        for (let i = 0; i < times; i++) {
            const { Input } = this.client;
            await withTimeout(Input.dispatchKeyEvent({ type: 'rawKeyDown', key, code: key, windowsVirtualKeyCode: code }), key);
            await withTimeout(Input.dispatchKeyEvent({ type: 'keyUp', key, code: key, windowsVirtualKeyCode: code }), key);
        }
    }

    // Replaces the text of the input field with `text`, as typed.
    async type(id, text) {
        await this.click({ id });
        await this.call((i) => document.getElementById(i).select(), id);
        await withTimeout(this.client.Input.insertText({ text }), 'typing');
    }

    async pressButton(id) {
        await this.click({ id });
    }

    // Presses a button that opens one of the program's file dialogs; returns
    // { confirmed }: answer the dialog, then await `confirmed`.
    pressDialogButton(id) {
        return this.click({ id }, { opensDialog: true });
    }

    // Opens the tree item of a source or sender unless it is open.
    async open(side, name) {
        const isOpen = await this.call(
            (list, n) =>
                [...document.getElementById(list).children].some(
                    (li) => li.querySelector('.available-ndi-name')?.textContent === n && li.querySelector('.nested.active'),
                ),
            side === 'source' ? 'availableSourcesList' : 'availableSendersList',
            name,
        );
        if (!isOpen) await this.click({ side, name, part: 'name' });
    }

    // Clicks a channel ("CH 2", "Video") of a source or sender; ctrl adds it to the selection.
    async selectChannel(side, name, caption, { ctrl = false } = {}) {
        await this.open(side, name);
        await this.click({ side, name, part: 'leaf', text: caption }, { ctrl });
    }

    async itemButton(side, name, text) {
        await this.open(side, name);
        await this.click({ side, name, part: 'button', text });
    }

    // Selects one source channel and one sender channel and presses Link.
    async link(sourceName, sourceCaption, senderName, senderCaption) {
        await this.selectChannel('source', sourceName, sourceCaption);
        await this.selectChannel('sender', senderName, senderCaption);
        await this.pressButton('linkButton');
    }

    // The trash button of the n-th connection pair.
    async trash(row) {
        await this.click({ row });
    }

    async addSender(name, channels) {
        await this.pressButton('addSenderButton');
        await this.type('senderNameTextInput', name);
        await this.type('senderChannelsTextInput', String(channels));
        await this.pressButton('addSenderPopupButton');
    }

    async closePopups() {
        await this.press('Escape');
    }

    // Moves a sender's delay slider to `ms` like a user: opens the delay
    // control, clicks the slider near the value and steps with the arrow keys.
    async setDelay(sender, ms) {
        await this.open('sender', sender);
        const expanded = await this.call(
            (n) =>
                [...document.getElementById('availableSendersList').children]
                    .find((li) => li.querySelector('.available-ndi-name')?.textContent === n)
                    ?.querySelector('.delay-toggle')
                    ?.classList.contains('open'),
            sender,
        );
        if (!expanded) await this.click({ side: 'sender', name: sender, part: 'delayToggle' });
        // The container opens with a transition; wait until the slider keeps its place.
        let box;
        let previous = null;
        for (let i = 0; i < 50; i++) {
            box = await this.call(locate, { side: 'sender', name: sender, part: 'slider' });
            if (box?.reachable && previous && previous.x === box.x && previous.y === box.y && box.width > 20) break;
            previous = box;
            await sleep(100);
        }
        if (!box?.reachable) throw new Error(`the delay slider of ${sender} cannot be reached`);
        const fraction = (ms + 2000) / 4000;
        await this.clickAt(box.left + 8 + fraction * (box.width - 16), box.y);
        const readValue = () =>
            this.call(
                (n) =>
                    Number(
                        [...document.getElementById('availableSendersList').children]
                            .find((li) => li.querySelector('.available-ndi-name')?.textContent === n)
                            .querySelector('input.slider').value,
                    ),
                sender,
            );
        const atClick = await readValue();
        if (atClick !== ms) await this.press(atClick < ms ? 'ArrowRight' : 'ArrowLeft', Math.abs(ms - atClick));
        const final = await readValue();
        if (final !== ms) throw new Error(`the delay slider of ${sender} stopped at ${final}, not ${ms}`);
    }
}
