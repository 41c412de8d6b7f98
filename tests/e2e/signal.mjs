// Reads the counter test signal's tag out of a recorded WAV file, for outputs
// that the probe cannot receive (the sound device). Each 1024-sample cell of
// the signal holds one 4-bit value as a flat run of 128 equal samples at the
// level (2 v - 15) / 32; eight cells in a row carry the tag word: source id
// (12 bits), channel (8 bits), rate index (4 bits) and a CRC-8 (polynomial
// 0x07) of those 24 bits.
import fs from 'node:fs';

const RATES = [8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000, 176400, 192000];
const CELL = 1024;
const HOLD = 128;

function crc8(bytes) {
    let crc = 0;
    for (const byte of bytes) {
        crc ^= byte;
        for (let bit = 0; bit < 8; bit++) crc = crc & 0x80 ? ((crc << 1) ^ 0x07) & 0xff : (crc << 1) & 0xff;
    }
    return crc;
}

// The eight 4-bit values of a tag, most significant first.
export function tagNibbles({ sourceId, channel, sampleRate = 48000 }) {
    const fields = ((sourceId & 0xfff) << 12) | ((channel & 0xff) << 4) | RATES.indexOf(sampleRate);
    const word = ((fields << 8) | crc8([(fields >> 16) & 0xff, (fields >> 8) & 0xff, fields & 0xff])) >>> 0;
    return Array.from({ length: 8 }, (_, i) => (word >>> (28 - 4 * i)) & 0xf);
}

// Channels of a PCM or float WAV file as arrays of numbers in [-1, 1).
export function readWav(file) {
    const data = fs.readFileSync(file);
    if (data.toString('ascii', 0, 4) !== 'RIFF' || data.toString('ascii', 8, 12) !== 'WAVE') {
        throw new Error(`${file} is no WAV file`);
    }
    let format = null;
    let offset = 12;
    while (offset + 8 <= data.length) {
        const id = data.toString('ascii', offset, offset + 4);
        const size = data.readUInt32LE(offset + 4);
        const body = offset + 8;
        if (id === 'fmt ') {
            let tag = data.readUInt16LE(body);
            if (tag === 0xfffe) tag = data.readUInt16LE(body + 24);
            format = {
                tag,
                channels: data.readUInt16LE(body + 2),
                rate: data.readUInt32LE(body + 4),
                bits: data.readUInt16LE(body + 14),
            };
        } else if (id === 'data' && format) {
            const bytes = format.bits / 8;
            const end = Math.min(data.length, body + size);
            const frames = Math.floor((end - body) / (bytes * format.channels));
            const channels = Array.from({ length: format.channels }, () => new Float64Array(frames));
            for (let f = 0; f < frames; f++) {
                for (let c = 0; c < format.channels; c++) {
                    const at = body + (f * format.channels + c) * bytes;
                    let value;
                    if (format.tag === 3) value = bytes === 4 ? data.readFloatLE(at) : data.readDoubleLE(at);
                    else if (bytes === 2) value = data.readInt16LE(at) / 32768;
                    else if (bytes === 3) value = data.readIntLE(at, 3) / 8388608;
                    else value = data.readInt32LE(at) / 2147483648;
                    channels[c][f] = value;
                }
            }
            return { rate: format.rate, channels };
        }
        offset = body + size + (size & 1);
    }
    throw new Error(`${file} holds no audio`);
}

// The hold runs found in a channel: { at (first sample), nibble }.
function holdRuns(samples) {
    const runs = [];
    let start = 0;
    for (let i = 1; i <= samples.length; i++) {
        if (i < samples.length && samples[i] === samples[start]) continue;
        const length = i - start;
        if (length >= HOLD - 8 && length <= HOLD + 8) {
            const v = (samples[start] * 32 + 15) / 2;
            const nibble = Math.round(v);
            // Quantised PCM keeps the level within one step of 16 bits.
            if (nibble >= 0 && nibble <= 15 && Math.abs(v - nibble) < 0.01) runs.push({ at: start, nibble });
        }
        start = i;
    }
    return runs;
}

// How well a recorded channel carries a tag: the cells found in unbroken
// cell-to-cell order, and how many of them disagree with the tag.
export function matchTag(samples, tag) {
    const expected = tagNibbles(tag);
    const runs = holdRuns(samples);
    let cells = 0;
    let mismatches = 0;
    let phase = null;
    for (let i = 0; i < runs.length; i++) {
        if (i > 0 && Math.abs(runs[i].at - runs[i - 1].at - CELL) > 2) phase = null;
        if (phase === null) {
            // A new unbroken stretch: find where in the tag word it starts.
            const stretch = [];
            for (let j = i; j < runs.length && stretch.length < 8; j++) {
                if (j > i && Math.abs(runs[j].at - runs[j - 1].at - CELL) > 2) break;
                stretch.push(runs[j].nibble);
            }
            if (stretch.length < 8) continue;
            phase = [...Array(8).keys()].find((p) => stretch.every((n, k) => n === expected[(p + k) % 8]));
            if (phase === undefined) {
                phase = 0;
                mismatches += 8;
            }
            phase = (phase - 1 + 8) % 8;
        }
        phase = (phase + 1) % 8;
        cells += 1;
        if (runs[i].nibble !== expected[phase]) mismatches += 1;
    }
    return { cells, mismatches, runs: runs.length };
}

export function isSilent(samples) {
    return samples.every((s) => s === 0);
}
