'use strict';
// A small, fast PNG reader for the checks: 8-bit grey, grey+alpha, RGB, RGBA
// or palette images, not interlaced. The whole image is inflated at once by
// zlib and unfiltered in place, which is several times faster than a general
// decoder on the 100,000-pixel-tall captures.
const fs = require('fs');
const zlib = require('zlib');

const SIGNATURE = Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]);
const CHANNELS = { 0: 1, 2: 3, 3: 1, 4: 2, 6: 4 };

function paeth(a, b, c) {
    const p = a + b - c;
    const pa = Math.abs(p - a);
    const pb = Math.abs(p - b);
    const pc = Math.abs(p - c);
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// Returns { width, height, pixel(x, y) -> [r, g, b, a] }.
function readPng(file) {
    const data = fs.readFileSync(file);
    if (data.length < 8 || !data.subarray(0, 8).equals(SIGNATURE))
        throw new Error('not a PNG file');
    let width = 0, height = 0, depth = 0, colourType = 0, interlace = 0;
    let palette = null, transparency = null;
    const idat = [];
    for (let at = 8; at + 8 <= data.length;) {
        const length = data.readUInt32BE(at);
        const type = data.toString('latin1', at + 4, at + 8);
        const body = data.subarray(at + 8, at + 8 + length);
        if (body.length !== length)
            throw new Error('PNG file is cut short');
        if (type === 'IHDR') {
            width = body.readUInt32BE(0);
            height = body.readUInt32BE(4);
            depth = body[8];
            colourType = body[9];
            interlace = body[12];
        } else if (type === 'PLTE') {
            palette = body;
        } else if (type === 'tRNS') {
            transparency = body;
        } else if (type === 'IDAT') {
            idat.push(body);
        } else if (type === 'IEND') {
            break;
        }
        at += 12 + length;
    }
    const channels = CHANNELS[colourType];
    if (depth !== 8 || !channels || interlace !== 0)
        throw new Error(`unsupported PNG (bit depth ${depth}, colour type ${colourType}, interlace ${interlace})`);
    if (colourType === 3 && !palette)
        throw new Error('palette PNG without a palette');
    const raw = zlib.inflateSync(Buffer.concat(idat), { maxOutputLength: 2 ** 32 });
    const stride = width * channels;
    if (raw.length < (stride + 1) * height)
        throw new Error(`PNG data is cut short (${raw.length} of ${(stride + 1) * height} bytes)`);

    // Unfilter in place; each row keeps its filter byte in front.
    const bpp = channels;
    for (let y = 0; y < height; y++) {
        const row = y * (stride + 1) + 1;
        const above = row - (stride + 1);
        const filter = raw[row - 1];
        if (filter === 0)
            continue;
        if (filter === 1) {
            for (let i = bpp; i < stride; i++)
                raw[row + i] = (raw[row + i] + raw[row + i - bpp]) & 255;
        } else if (filter === 2) {
            if (y > 0)
                for (let i = 0; i < stride; i++)
                    raw[row + i] = (raw[row + i] + raw[above + i]) & 255;
        } else if (filter === 3) {
            for (let i = 0; i < stride; i++) {
                const left = i >= bpp ? raw[row + i - bpp] : 0;
                const up = y > 0 ? raw[above + i] : 0;
                raw[row + i] = (raw[row + i] + ((left + up) >> 1)) & 255;
            }
        } else if (filter === 4) {
            for (let i = 0; i < stride; i++) {
                const left = i >= bpp ? raw[row + i - bpp] : 0;
                const up = y > 0 ? raw[above + i] : 0;
                const upLeft = y > 0 && i >= bpp ? raw[above + i - bpp] : 0;
                raw[row + i] = (raw[row + i] + paeth(left, up, upLeft)) & 255;
            }
        } else {
            throw new Error(`bad PNG filter ${filter} in row ${y}`);
        }
    }

    function pixel(x, y) {
        const at = y * (stride + 1) + 1 + x * channels;
        switch (colourType) {
        case 0: return [raw[at], raw[at], raw[at], 255];
        case 4: return [raw[at], raw[at], raw[at], raw[at + 1]];
        case 2: return [raw[at], raw[at + 1], raw[at + 2], 255];
        case 6: return [raw[at], raw[at + 1], raw[at + 2], raw[at + 3]];
        default: {
            const index = raw[at];
            const alpha = transparency && index < transparency.length ? transparency[index] : 255;
            return [palette[index * 3], palette[index * 3 + 1], palette[index * 3 + 2], alpha];
        }
        }
    }
    return { width, height, pixel };
}

module.exports = { readPng };
