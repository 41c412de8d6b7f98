'use strict';
// The routing page: sources on the left, senders on the right, connections in
// the middle. Everything the page knows lives in `globalState`; the lists and
// rows are drawn from it. The engine is reached only through the bridge object
// `qmlWrapper` on Qt's web channel.
//
// Names come from the network and from files, so they are only ever inserted
// as text nodes and kept in JS objects: never parsed as HTML, never placed in
// inline handlers or in selectors.

const MONITOR = 'Monitor';
const VIDEO = 'Video';
const MAX_SENDER_CHANNELS = 64; // the engine's limit for one sender
const DELAY_MIN_MS = -2000;
const DELAY_MAX_MS = 2000;
const FILTER_DELAY_MS = 500;

let qmlWrapper = null; // the bridge, once the web channel is open

const globalState = {
    ready : false,
    // Tree items: { name, channels, expanded, selectAllPresses } and for
    // senders also { delay, delayOpen }. `delay` is the true value, which may lie
    // past the slider's ends.
    sources : [],
    senders : [],
    // Connection pairs with channels as shown: a number from 1, or "Video".
    connections : [], // { id, sourceName, sourceChannel, senderName, senderChannel }
    // Selected channels per side, in the order they were picked.
    selection : {source : [], sender : []}, // { name, channel }
    // Filters as last applied (typing only takes effect when the timer fires).
    inputsQuery : '',
    connectionQuery : {text : '', side : 'source'},
    filterTimer : null,
};

// Elements drawn for the current state, so handlers never look items up by
// name in the document.
const drawn = {
    items : {source : [], sender : []},  // { item, li }
    leaves : {source : [], sender : []}, // { li, name, channel }
    delayControls : new Map(),           // sender name -> { slider, label }
    rows : [],                           // [sourceRow, senderRow] per connection
};

const $ = (id) => document.getElementById(id);

// ---------------------------------------------------------------- helpers --

// Builds an element; text goes in as a text node only.
function el(tag, className, text) {
    const node = document.createElement(tag);
    if (className)
        node.className = className;
    if (text !== undefined)
        node.textContent = String(text);
    return node;
}

function button(className, caption, onClick) {
    const b = el('button', className, caption);
    b.type = 'button';
    b.addEventListener('click', onClick);
    return b;
}

function svgIcon(className, paths) {
    const ns = 'http://www.w3.org/2000/svg';
    const svg = document.createElementNS(ns, 'svg');
    svg.setAttribute('viewBox', '0 0 24 24');
    svg.setAttribute('aria-hidden', 'true');
    svg.setAttribute('class', className);
    for (const d of paths) {
        const path = document.createElementNS(ns, 'path');
        path.setAttribute('d', d);
        svg.appendChild(path);
    }
    return svg;
}

// RFC 4122 version 4, from the browser's cryptographic random source.
function uuidv4() {
    const b = crypto.getRandomValues(new Uint8Array(16));
    b[6] = (b[6] & 0x0f) | 0x40;
    b[8] = (b[8] & 0x3f) | 0x80;
    const h = Array.from(b, (x) => x.toString(16).padStart(2, '0')).join('');
    return `${h.slice(0, 8)}-${h.slice(8, 12)}-${h.slice(12, 16)}-${h.slice(16, 20)}-${h.slice(20)}`;
}

function show(node) { node.classList.remove('hidden'); }

function hide(node) { node.classList.add('hidden'); }

function log(text) {
    if (qmlWrapper)
        qmlWrapper.console(text);
}

// "CH 3" for 3, "Video" for the video channel.
function channelCaption(channel) { return channel === VIDEO ? VIDEO : `CH ${channel}`; }

// The channels an item offers, in display order: audio ascending, then video
// (the local monitoring output has none).
function channelsOf(item) {
    const list = [];
    for (let ch = 1; ch <= item.channels; ch++)
        list.push(ch);
    if (item.name !== MONITOR)
        list.push(VIDEO);
    return list;
}

function itemsOf(side) { return side === 'source' ? globalState.sources : globalState.senders; }

function isWholeCount(value) { return Number.isInteger(value) && value >= 0; }

// ------------------------------------------------------------------ trees --

function addUISourceSender(name, channels, isSender) {
    const side = isSender ? 'sender' : 'source';
    itemsOf(side).push(newItem(name, channels, isSender));
    renderTree(side);
}

function newItem(name, channels, isSender) {
    const item = {name, channels, expanded : false, selectAllPresses : 0};
    if (isSender)
        Object.assign(item, {delay : 0, delayOpen : false});
    return item;
}

function hasDelayControl(item) { return item.name !== MONITOR && item.channels >= 1; }

function renderTree(side) {
    const list = $(side === 'source' ? 'availableSourcesList' : 'availableSendersList');
    drawn.items[side] = [];
    drawn.leaves[side] = [];
    if (side === 'sender')
        drawn.delayControls.clear();
    const nodes = itemsOf(side).map((item) => renderTreeItem(side, item));
    list.replaceChildren(...nodes);
    renderSelection(side);
    if (side === 'source')
        applyInputsFilter();
}

function renderTreeItem(side, item) {
    const li = el('li', 'tree-view-item');
    const name = el('span', 'caret available-ndi-name', item.name);
    name.title = item.name;
    const nested = el('ul', 'nested');
    name.addEventListener('click', () => toggleExpanded(item, name, nested));
    setExpandedClasses(item, name, nested);

    nested.appendChild(actionItem(button('btn btn-primary btn-small', 'Select All', () => onSelectAll(side, item))));
    if (side === 'sender' && item.name !== MONITOR) {
        nested.appendChild(
            actionItem(button('btn btn-danger btn-small', 'Remove Sender', () => removeSender(item.name))));
        if (hasDelayControl(item))
            nested.appendChild(renderDelayControl(item));
    }
    for (const channel of channelsOf(item))
        nested.appendChild(renderLeaf(side, item.name, channel));

    li.append(name, nested);
    drawn.items[side].push({item, li});
    return li;
}

function actionItem(control) {
    const li = el('li', 'tree-view-action');
    li.appendChild(control);
    return li;
}

function renderLeaf(side, name, channel) {
    const li = el('li', 'tree-view-leaf-item', channelCaption(channel));
    li.addEventListener('click', (event) => onChannelClick(side, name, channel, event.ctrlKey));
    drawn.leaves[side].push({li, name, channel});
    return li;
}

function toggleExpanded(item, name, nested) {
    item.expanded = !item.expanded;
    setExpandedClasses(item, name, nested);
}

function setExpandedClasses(item, name, nested) {
    name.classList.toggle('caret-down', item.expanded);
    nested.classList.toggle('active', item.expanded);
}

// ------------------------------------------------------------- selection --

function isSelected(side, name, channel) {
    return globalState.selection[side].some((e) => e.name === name && e.channel === channel);
}

function clearSelection(side) { globalState.selection[side] = []; }

function onChannelClick(side, name, channel, ctrl) {
    if (!isSelected(side, name, channel)) {
        if (!ctrl)
            clearSelection(side);
        globalState.selection[side].push({name, channel});
    } else if (ctrl) {
        globalState.selection[side] =
            globalState.selection[side].filter((e) => !(e.name === name && e.channel === channel));
    } else {
        clearSelection(side);
    }
    renderSelection(side);
}

// Odd presses select every channel of the item, even presses clear the side;
// the count stays with the item whatever else happens.
function onSelectAll(side, item) {
    item.selectAllPresses += 1;
    clearSelection(side);
    if (item.selectAllPresses % 2 === 1) {
        for (const channel of channelsOf(item))
            globalState.selection[side].push({name : item.name, channel});
    }
    renderSelection(side);
}

function renderSelection(side) {
    for (const leaf of drawn.leaves[side]) {
        leaf.li.classList.toggle('selected', isSelected(side, leaf.name, leaf.channel));
    }
}

// After a tree is rebuilt, keep only selected channels that are still listed,
// so that Link never acts on a selection the user cannot see.
function pruneSelection(side) {
    const items = itemsOf(side);
    globalState.selection[side] = globalState.selection[side].filter(
        (e) => items.some((item) => item.name === e.name && channelsOf(item).includes(e.channel)),
    );
}

// ------------------------------------------------------------ connections --

function addUIConnection(sourceName, sourceChannel, senderName, senderChannel) {
    globalState.connections.push({id : uuidv4(), sourceName, sourceChannel, senderName, senderChannel});
}

function isSenderChannelConnected(senderName, senderChannel) {
    return globalState.connections.some((c) => c.senderName === senderName && c.senderChannel === senderChannel);
}

function renderConnections() {
    drawn.rows = globalState.connections.map((c) => [sourceRow(c), senderRow(c)]);
    $('connectedSources').replaceChildren(...drawn.rows.map((r) => r[0]));
    $('connectedSenders').replaceChildren(...drawn.rows.map((r) => r[1]));
    applyConnectionFilter();
}

// Every child of both rows carries the connection id as its id prefix.
function rowPart(connection, className, text) {
    const part = el('span', className, text);
    part.id = connection.id + uuidv4();
    return part;
}

function sourceRow(c) {
    const row = el('div', 'connection-item');
    const name = rowPart(c, 'connection-name', c.sourceName);
    name.title = c.sourceName;
    row.append(
        name,
        rowPart(c, 'name-channel-separator', '>'),
        rowPart(c, 'connection-channel', channelCaption(c.sourceChannel)),
    );
    return row;
}

function senderRow(c) {
    const row = el('div', 'connection-item');
    const name = rowPart(c, 'connection-name', c.senderName);
    name.title = c.senderName;
    const trash = button('connection-item-trash-button', undefined, () => removeConnections([ c ]));
    trash.id = c.id + uuidv4();
    trash.title = 'Remove';
    trash.appendChild(
        svgIcon('trash-icon',
                [ 'M4 7h16', 'M10 11v6', 'M14 11v6', 'M6 7l1 12a2 2 0 0 0 2 2h6a2 2 0 0 0 2-2l1-12', 'M9 7V4h6v3' ]),
    );
    row.append(rowPart(c, 'connection-channel', channelCaption(c.senderChannel)),
               rowPart(c, 'name-channel-separator', '<'), name, trash);
    return row;
}

// Takes the given pairs out of the page, then tells the bridge about each one
// in the order given.
function removeConnections(pairs) {
    globalState.connections = globalState.connections.filter((c) => !pairs.includes(c));
    renderConnections();
    for (const c of pairs) {
        if (c.sourceChannel === VIDEO) {
            qmlWrapper.videoConnectionRemoved(c.sourceName, c.senderName);
        } else {
            qmlWrapper.connectionRemoved(c.sourceName, c.sourceChannel - 1, c.senderName, c.senderChannel - 1);
        }
    }
}

function clearAllConnections() { removeConnections(globalState.connections.slice()); }

function clearSenderConnections(senderName) {
    removeConnections(globalState.connections.filter((c) => c.senderName === senderName));
}

// Drops the rows without telling the bridge (a senders message replaces them).
function clearAllUiConnections() {
    globalState.connections = [];
    renderConnections();
}

// ------------------------------------------------------------------- link --

// Pairs the two selections entry by entry; the longer side's surplus is
// ignored, and an audio channel is never paired with a video channel.
function link() {
    const sources = globalState.selection.source;
    const senders = globalState.selection.sender;
    const count = Math.min(sources.length, senders.length);
    for (let i = 0; i < count; i++)
        linkEntry(sources, senders, i);
    clearSelection('source');
    clearSelection('sender');
    renderConnections();
    renderSelection('source');
    renderSelection('sender');
}

function linkEntry(sources, senders, i) {
    const source = sources[i];
    const sender = senders[i];
    if (isSenderChannelConnected(sender.name, sender.channel)) {
        showErrorPopupWithMsg('Sender channel already in use');
    } else if (source.channel === VIDEO) {
        const videoSender = senders.slice(i).find((e) => e.channel === VIDEO);
        if (videoSender && !isSenderChannelConnected(videoSender.name, VIDEO))
            linkVideo(source.name, videoSender.name);
    } else if (sender.channel === VIDEO) {
        const videoSource = sources.slice(i).find((e) => e.channel === VIDEO);
        if (videoSource)
            linkVideo(videoSource.name, sender.name);
    } else {
        addUIConnection(source.name, source.channel, sender.name, sender.channel);
        qmlWrapper.connectionAdded(source.name, source.channel - 1, sender.name, sender.channel - 1);
    }
}

function linkVideo(sourceName, senderName) {
    addUIConnection(sourceName, VIDEO, senderName, VIDEO);
    qmlWrapper.videoConnectionAdded(sourceName, senderName);
}

// ---------------------------------------------------------------- senders --

function checkIfSenderExists(name) { return globalState.senders.some((s) => s.name === name); }

function removeUISender(name) {
    globalState.senders = globalState.senders.filter((s) => s.name !== name);
    pruneSelection('sender');
    renderTree('sender');
}

function removeSender(name) {
    clearSenderConnections(name);
    removeUISender(name);
    qmlWrapper.senderRemoved(name);
}

function openAddSenderPopup() {
    show($('mainOverlay'));
    show($('addSenderPopup'));
    $('senderNameTextInput').focus();
}

// Returns the error text for the pop-up's inputs, or '' when they are fine.
function addSenderError(name, channelsText) {
    if (name === '')
        return 'Error: Sender name is required';
    // A number input reports text that is no number as empty.
    if (channelsText.trim() === '')
        return 'Error: Sender channels is required';
    const channels = Number(channelsText);
    if (!Number.isInteger(channels) || channels < 0 || channels > MAX_SENDER_CHANNELS) {
        return `Error: Audio channels must be a whole number from 0 to ${MAX_SENDER_CHANNELS}`;
    }
    if (checkIfSenderExists(name))
        return 'Error: Sender name already in use';
    return '';
}

function submitAddSender() {
    const name = $('senderNameTextInput').value;
    const channelsText = $('senderChannelsTextInput').value;
    const message = $('addSenderErrorMsg');
    const error = addSenderError(name, channelsText);
    if (error) {
        message.textContent = error;
        show(message);
        return;
    }
    hide(message);
    const channels = Number(channelsText);
    addUISourceSender(name, channels, true);
    hideAllPopups();
    qmlWrapper.senderAdded(name, channels);
}

// ------------------------------------------------------------------ delay --

function delayCaption(ms) { return `Delay: ${ms} ms`; }

function renderDelayControl(sender) {
    const li = el('li', 'delay-control');
    const toggle = button('delay-toggle', undefined, () => {
        sender.delayOpen = !sender.delayOpen;
        setDelayOpenClasses(sender, toggle, container);
    });
    toggle.append(el('span', 'delay-caret', '\u25B6'), el('span', 'delay-caption', 'Audio Delay'));

    const container = el('div', 'delay-container');
    const slider = el('input', 'slider');
    Object.assign(slider, {type : 'range', min : DELAY_MIN_MS, max : DELAY_MAX_MS, step : 1});
    const label = el('div', 'delay-label');
    label.id = 'delay_' + sender.name;
    slider.addEventListener('input', () => setDelayFromPage(sender, Number(slider.value)));
    const reset = button('btn btn-small btn-reset', '0 ms', () => setDelayFromPage(sender, 0));
    container.append(slider, label, el('div', 'delay-note', 'Use arrows for finer control'), reset);
    li.append(toggle, container);

    drawn.delayControls.set(sender.name, {slider, label});
    setDelayOpenClasses(sender, toggle, container);
    renderDelay(sender);
    return li;
}

function setDelayOpenClasses(sender, toggle, container) {
    toggle.classList.toggle('open', sender.delayOpen);
    container.classList.toggle('open', sender.delayOpen);
}

// The slider stops at its ends; the label always shows the true value.
function renderDelay(sender) {
    const controls = drawn.delayControls.get(sender.name);
    if (!controls)
        return;
    controls.slider.value = String(Math.min(DELAY_MAX_MS, Math.max(DELAY_MIN_MS, sender.delay)));
    controls.label.textContent = delayCaption(sender.delay);
}

function setDelayFromPage(sender, ms) {
    sender.delay = ms;
    renderDelay(sender);
    qmlWrapper.setAVDelay(sender.name, ms);
}

// ---------------------------------------------------------------- filters --

// The three boxes share one timer: typing in any box cancels a pending run,
// whichever box it belonged to.
function scheduleFilter(run) {
    clearTimeout(globalState.filterTimer);
    globalState.filterTimer = setTimeout(run, FILTER_DELAY_MS);
}

function runInputsFilter() {
    globalState.inputsQuery = $('filterInputs').value;
    applyInputsFilter();
}

function filterSourcesDest() {
    const sourcesText = $('filterSources').value;
    globalState.connectionQuery =
        sourcesText !== '' ? {text : sourcesText, side : 'source'} : {text : $('filterDest').value, side : 'sender'};
    applyConnectionFilter();
}

// What an item shows: its name, and once opened its buttons and channels too.
function itemText(side, item) {
    const parts = [ item.name ];
    if (item.expanded) {
        parts.push('Select All');
        if (side === 'sender' && item.name !== MONITOR) {
            parts.push('Remove Sender');
            if (hasDelayControl(item))
                parts.push('Audio Delay');
        }
        parts.push(...channelsOf(item).map(channelCaption));
    }
    return parts.join('\n');
}

function applyInputsFilter() {
    const query = globalState.inputsQuery.toLowerCase();
    for (const {item, li} of drawn.items.source) {
        li.classList.toggle('hidden', query !== '' && !itemText('source', item).toLowerCase().includes(query));
    }
}

function rowText(c, side) {
    return side === 'source' ? `${c.sourceName}>${channelCaption(c.sourceChannel)}`
                             : `${channelCaption(c.senderChannel)}<${c.senderName}`;
}

function applyConnectionFilter() {
    const query = globalState.connectionQuery.text.toLowerCase();
    const side = globalState.connectionQuery.side;
    globalState.connections.forEach((c, i) => {
        const visible = query === '' || rowText(c, side).toLowerCase().includes(query);
        for (const row of drawn.rows[i])
            row.classList.toggle('hidden', !visible);
    });
}

// ---------------------------------------------------------------- pop-ups --

function showErrorPopupWithMsg(message) {
    $('errorMsgPopupText').textContent = message;
    show($('mainOverlay'));
    show($('errorMsgPopup'));
}

function hideAllPopups() {
    hide($('addSenderPopup'));
    hide($('mainOverlay'));
    hide($('aboutPopup'));
    hide($('errorMsgPopup'));
    hide($('savedMsgPopup'));
}

function openPopup(id) {
    show($('mainOverlay'));
    show($(id));
}

function saveConfig() {
    openPopup('savedMsgPopup');
    qmlWrapper.saveFileButtonPressed();
}

// A failed save replaces the optimistic "Configuration Saved" with the reason.
function onSaveFailed(message) {
    hide($('savedMsgPopup'));
    showErrorPopupWithMsg(String(message));
}

// --------------------------------------------------------------- messages --

function parseMessage(kind, text) {
    try {
        return JSON.parse(text);
    } catch (e) {
        log(`routing page: ignored a ${kind} message that is not JSON`);
        return null;
    }
}

// Keeps what the user did to an item (opened it, pressed Select All) when the
// same name comes back in a new list.
function carryOver(previous, name, fresh) {
    const old = previous.find((item) => item.name === name);
    if (old)
        Object.assign(fresh, {expanded : old.expanded, selectAllPresses : old.selectAllPresses});
    if (old && 'delayOpen' in old)
        fresh.delayOpen = old.delayOpen;
    return fresh;
}

// Names in the order the bridge writes them (sorted); sorting here also keeps
// names that look like numbers from jumping ahead.
function sortedEntries(object) {
    return Object.keys(object).sort((a, b) => (a < b ? -1 : a > b ? 1 : 0)).map((name) => [name, object[name]]);
}

function isCountObject(value) { return value !== null && typeof value === 'object' && !Array.isArray(value); }

function onSourcesMessage(text) {
    const message = parseMessage('sources', text);
    if (!isCountObject(message))
        return;
    const previous = globalState.sources;
    // A count of -1 means the source is not measured yet: it is not listed.
    globalState.sources = sortedEntries(message)
                              .filter(([, count ]) => isWholeCount(count))
                              .map(([ name, count ]) => carryOver(previous, name, newItem(name, count, false)));
    pruneSelection('source');
    renderTree('source');
}

// The core's view replaces the page's: every sender and every row is redrawn,
// and delay controls start again from 0.
function onSendersMessage(text) {
    const message = parseMessage('senders', text);
    if (!isCountObject(message))
        return;
    const previous = globalState.senders;
    globalState.senders = sortedEntries(message)
                              .filter(([, count ]) => isWholeCount(count))
                              .map(([ name, count ]) => carryOver(previous, name, newItem(name, count, true)));
    pruneSelection('sender');
    renderTree('sender');
    clearAllUiConnections();
}

// Channels arrive counted from 0; the page shows them counted from 1.
function shownChannel(value) {
    if (value === VIDEO)
        return VIDEO;
    return isWholeCount(value) ? value + 1 : null;
}

function onConnectionsMessage(text) {
    const message = parseMessage('connections', text);
    if (!Array.isArray(message))
        return;
    for (const c of message) {
        if (!c || typeof c.sourceName !== 'string' || typeof c.senderName !== 'string')
            continue;
        const sourceChannel = shownChannel(c.sourceChannel);
        const senderChannel = shownChannel(c.senderChannel);
        if (sourceChannel === null || senderChannel === null)
            continue;
        addUIConnection(c.sourceName, sourceChannel, c.senderName, senderChannel);
    }
    renderConnections();
}

function onDelayMessage(text) {
    const message = parseMessage('delay', text);
    if (!message || typeof message.senderName !== 'string' || !Number.isFinite(message.senderDelay))
        return;
    for (const sender of globalState.senders) {
        if (sender.name === message.senderName && hasDelayControl(sender)) {
            sender.delay = message.senderDelay;
            renderDelay(sender);
        }
    }
}

// ---------------------------------------------------------------- start-up --

function attachHandlers() {
    $('aboutButton').addEventListener('click', () => openPopup('aboutPopup'));
    $('loadConfigButton').addEventListener('click', () => qmlWrapper.loadFileButtonPressed());
    $('saveConfigButton').addEventListener('click', saveConfig);
    $('saveConfigAsButton').addEventListener('click', () => qmlWrapper.saveAsFileButtonPressed());
    $('addSenderButton').addEventListener('click', openAddSenderPopup);
    $('linkButton').addEventListener('click', link);
    $('removeAllButton').addEventListener('click', clearAllConnections);
    $('addSenderPopupButton').addEventListener('click', submitAddSender);
    $('savedMsgPopupCloseButton').addEventListener('click', hideAllPopups);
    $('errorMsgPopupCloseButton').addEventListener('click', hideAllPopups);

    for (const id of ['senderNameTextInput', 'senderChannelsTextInput']) {
        $(id).addEventListener('keydown', (event) => {
            if (event.key === 'Enter')
                submitAddSender();
        });
    }
    document.addEventListener('keydown', (event) => {
        if (event.key === 'Escape' && globalState.ready)
            hideAllPopups();
    });

    // Key releases as specified; "input" also catches pasting and the clear
    // button of the search box.
    const filters = {filterInputs : runInputsFilter, filterSources : filterSourcesDest, filterDest : filterSourcesDest};
    for (const [id, run] of Object.entries(filters)) {
        $(id).addEventListener('keyup', () => scheduleFilter(run));
        $(id).addEventListener('input', () => scheduleFilter(run));
    }
}

function showBridgeTexts() {
    $('productVersion').textContent = 'v' + qmlWrapper.productVersion;
    $('productTitle2').textContent = qmlWrapper.getTitle;
    $('productTitle').textContent = qmlWrapper.getTitle;
    $('aboutNdiVersion').textContent = 'NDI Lib v' + qmlWrapper.ndiLibVersion;
    // Older bridges do not name their runtime.
    $('aboutNdiRuntime').textContent =
        qmlWrapper.ndiRuntime === undefined ? '' : 'NDI runtime: ' + qmlWrapper.ndiRuntime;
}

function onChannelOpen(channel) {
    qmlWrapper = channel.objects.qmlWrapper;
    showBridgeTexts();
    qmlWrapper.sendersUpdated.connect(onSendersMessage);
    qmlWrapper.setAVDelaySignal.connect(onDelayMessage);
    qmlWrapper.sourcesUpdated.connect(onSourcesMessage);
    qmlWrapper.connectionsUpdated.connect(onConnectionsMessage);
    // Older bridges have no failed-save signal; the page works without it.
    if (qmlWrapper.saveFailed && typeof qmlWrapper.saveFailed.connect === 'function') {
        qmlWrapper.saveFailed.connect(onSaveFailed);
    }
    $('mainOverlay').addEventListener('click', hideAllPopups);
    globalState.ready = true;
    hide($('mainOverlay'));
    hide($('mainLoader'));
    qmlWrapper.uiReady();
}

attachHandlers();
new QWebChannel(qt.webChannelTransport, onChannelOpen);
