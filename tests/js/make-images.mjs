// Draws the page's images (logo, background, window icon) in headless Chromium
// and writes them to ui/web/assets/. Run by hand when the artwork changes:
//   node make-images.mjs
import {readFile, writeFile} from 'node:fs/promises';
import path from 'node:path';
import {fileURLToPath} from 'node:url';

import {launchBrowser} from './page-harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const assets = path.resolve(here, '../../ui/web/assets');

// Runs in the page: the mark is a ring (the "Q") fed by three input lines
// that merge into one outgoing tail.
function drawingCode() {
    window.drawMark = (ctx, x, y, size, {plate}) => {
        const s = size / 100;
        ctx.save();
        ctx.translate(x, y);
        ctx.scale(s, s);
        if (plate) {
            ctx.fillStyle = '#1d1e40';
            ctx.beginPath();
            ctx.roundRect(0, 0, 100, 100, 22);
            ctx.fill();
        }
        ctx.lineCap = 'round';
        ctx.strokeStyle = '#fbd603';
        ctx.lineWidth = 11;
        ctx.beginPath();
        ctx.arc(50, 48, 29, 0, Math.PI * 2);
        ctx.stroke();
        ctx.beginPath();
        ctx.moveTo(64, 63);
        ctx.lineTo(84, 84);
        ctx.stroke();
        ctx.strokeStyle = '#ffffff';
        ctx.lineWidth = 6;
        for (const dy of [-11, 0, 11]) {
            ctx.beginPath();
            ctx.moveTo(33, 48 + dy);
            ctx.quadraticCurveTo(46, 48 + dy, 54, 48);
            ctx.stroke();
        }
        ctx.fillStyle = '#ffffff';
        ctx.beginPath();
        ctx.arc(57, 48, 5, 0, Math.PI * 2);
        ctx.fill();
        ctx.restore();
    };

    window.drawLogo = () => {
        const c = document.createElement('canvas');
        const font = '700 50px Lato';
        const measure = c.getContext('2d');
        measure.font = font;
        measure.letterSpacing = '5px';
        c.width = Math.ceil(112 + measure.measureText('QUORVANE').width);
        c.height = 112;
        const ctx = c.getContext('2d');
        drawMark(ctx, 0, 6, 100, {plate : false});
        ctx.fillStyle = '#ffffff';
        ctx.font = font;
        ctx.letterSpacing = '5px';
        ctx.textBaseline = 'middle';
        ctx.fillText('QUORVANE', 110, 58);
        return c.toDataURL('image/png');
    };

    window.drawBackground = () => {
        const w = 1280;
        const h = 720;
        const c = document.createElement('canvas');
        c.width = w;
        c.height = h;
        const ctx = c.getContext('2d');
        const base = ctx.createLinearGradient(0, 0, w, h);
        base.addColorStop(0, '#121723');
        base.addColorStop(1, '#0b0d13');
        ctx.fillStyle = base;
        ctx.fillRect(0, 0, w, h);
        const glow = (x, y, r, colour) => {
            const g = ctx.createRadialGradient(x, y, 0, x, y, r);
            g.addColorStop(0, colour);
            g.addColorStop(1, 'rgba(0,0,0,0)');
            ctx.fillStyle = g;
            ctx.fillRect(0, 0, w, h);
        };
        glow(180, 120, 620, 'rgba(38, 84, 120, 0.38)');
        glow(1120, 650, 700, 'rgba(58, 48, 120, 0.30)');
        // Faint signal lines running across, like cables seen from afar.
        ctx.lineWidth = 1.2;
        for (let i = 0; i < 14; i++) {
            ctx.strokeStyle = `rgba(255, 255, 255, ${0.018 + (i % 3) * 0.008})`;
            ctx.beginPath();
            const y0 = 140 + i * 34;
            ctx.moveTo(-20, y0);
            ctx.bezierCurveTo(w * 0.35, y0 - 120 + i * 6, w * 0.6, y0 + 160 - i * 9, w + 20, y0 + 40);
            ctx.stroke();
        }
        // A little grain keeps the gradient from banding.
        const img = ctx.getImageData(0, 0, w, h);
        let seed = 7;
        for (let p = 0; p < img.data.length; p += 4) {
            seed = (seed * 1103515245 + 12345) & 0x7fffffff;
            const n = (seed % 7) - 3;
            img.data[p] += n;
            img.data[p + 1] += n;
            img.data[p + 2] += n;
        }
        ctx.putImageData(img, 0, 0);
        return c.toDataURL('image/jpeg', 0.8);
    };

    window.drawIcon = (size) => {
        const c = document.createElement('canvas');
        c.width = size;
        c.height = size;
        const ctx = c.getContext('2d');
        drawMark(ctx, 0, 0, size, {plate : true});
        return Array.from(ctx.getImageData(0, 0, size, size).data);
    };
}

const fromDataUrl = (url) => Buffer.from(url.slice(url.indexOf(',') + 1), 'base64');

// An .ico of 32-bit bitmaps (alpha carries transparency; the AND mask is clear).
function icoFile(images) {
    const header = Buffer.alloc(6 + 16 * images.length);
    header.writeUInt16LE(0, 0);
    header.writeUInt16LE(1, 2);
    header.writeUInt16LE(images.length, 4);
    const bodies = [];
    let offset = header.length;
    images.forEach(({size, rgba}, i) => {
        const maskRow = Math.ceil(size / 32) * 4;
        const info = Buffer.alloc(40);
        info.writeUInt32LE(40, 0);
        info.writeInt32LE(size, 4);
        info.writeInt32LE(size * 2, 8);
        info.writeUInt16LE(1, 12);
        info.writeUInt16LE(32, 14);
        info.writeUInt32LE(size * size * 4 + maskRow * size, 20);
        const pixels = Buffer.alloc(size * size * 4);
        for (let y = 0; y < size; y++) {
            for (let x = 0; x < size; x++) {
                const from = ((size - 1 - y) * size + x) * 4;
                const to = (y * size + x) * 4;
                pixels[to] = rgba[from + 2];
                pixels[to + 1] = rgba[from + 1];
                pixels[to + 2] = rgba[from];
                pixels[to + 3] = rgba[from + 3];
            }
        }
        const body = Buffer.concat([ info, pixels, Buffer.alloc(maskRow * size) ]);
        const entry = 6 + 16 * i;
        header.writeUInt8(size, entry);
        header.writeUInt8(size, entry + 1);
        header.writeUInt16LE(1, entry + 4);
        header.writeUInt16LE(32, entry + 6);
        header.writeUInt32LE(body.length, entry + 8);
        header.writeUInt32LE(offset, entry + 12);
        offset += body.length;
        bodies.push(body);
    });
    return Buffer.concat([ header, ...bodies ]);
}

const browser = await launchBrowser();
try {
    const page = await browser.newPage();
    await page.evaluate(drawingCode);
    const lato = (await readFile('/usr/share/fonts/truetype/lato/Lato-Bold.ttf')).toString('base64');
    await page.evaluate(async (b64) => {
        const bytes = Uint8Array.from(atob(b64), (ch) => ch.charCodeAt(0));
        const face = new FontFace('Lato', bytes, {weight : '700'});
        document.fonts.add(await face.load());
    }, lato);

    await writeFile(path.join(assets, 'logo.png'), fromDataUrl(await page.evaluate(() => drawLogo())));
    await writeFile(path.join(assets, 'background.jpg'), fromDataUrl(await page.evaluate(() => drawBackground())));
    const icons = [];
    for (const size of [16, 32, 48])
        icons.push({size, rgba : await page.evaluate((s) => drawIcon(s), size)});
    await writeFile(path.join(assets, 'iconqv.ico'), icoFile(icons));
} finally {
    await browser.close();
}
