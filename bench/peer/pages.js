'use strict';
// The benchmark's pages, generated on the fly, and the colour code that lets
// a capture be read back: each stripe row and each image block has a colour
// that names its index, with enough spacing between code values to survive
// small colour-management shifts.
const { PNG } = require('pngjs');

const WIDTH = 1280;
const ROW = 10; // px per stripe row

// Three base-22 digits, each spread over a channel in steps of 11 (5..236),
// read back within 4 levels either way:
// 10,648 distinct colours, none of them white or black, so a blank capture
// never reads back as a valid index.
const STEP = 11;
const BASE = 22;
const OFFSET = 5;

function colourOf(index) {
    const digits = [index % BASE, Math.floor(index / BASE) % BASE, Math.floor(index / (BASE * BASE))];
    if (digits[2] >= BASE)
        throw new Error(`colour index ${index} out of range`);
    return digits.map(d => OFFSET + d * STEP);
}

// The index a pixel's colour names, or -1 when it names none.
function indexOf(r, g, b) {
    const digits = [r, g, b].map(c => (c - OFFSET) / STEP);
    const rounded = digits.map(Math.round);
    for (let i = 0; i < 3; i++) {
        if (rounded[i] < 0 || rounded[i] >= BASE || Math.abs(digits[i] - rounded[i]) > 0.4)
            return -1;
    }
    return rounded[0] + rounded[1] * BASE + rounded[2] * BASE * BASE;
}

function hex(rgb) {
    return '#' + rgb.map(c => c.toString(16).padStart(2, '0')).join('');
}

const HEAD = `<!doctype html><html><head><meta charset="utf-8">
<style>html,body{margin:0;padding:0;background:#fff}</style>`;

function stripesHtml(height) {
    const rows = height / ROW;
    const parts = [HEAD, `<title>stripes ${height}</title><style>i{display:block;height:${ROW}px}</style></head><body>`];
    for (let i = 0; i < rows; i++)
        parts.push(`<i style="background:${hex(colourOf(i))}"></i>`);
    parts.push('</body></html>');
    return parts.join('');
}

// Paragraphs of deterministic pseudo-text between two marker bands: the top
// band is the first thing on the page, the bottom band the last, so a full
// capture starts with one and ends with the other.
const TEXT_MARK_HEIGHT = 40;
const TEXT_TOP_MARK = 1;
const TEXT_BOTTOM_MARK = 2;
const WORDS = ('lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor ' +
    'incididunt ut labore et dolore magna aliqua enim ad minim veniam quis nostrud exercitation ' +
    'ullamco laboris nisi aliquip ex ea commodo consequat duis aute irure in reprehenderit ' +
    'voluptate velit esse cillum fugiat nulla pariatur excepteur sint occaecat cupidatat non ' +
    'proident sunt culpa qui officia deserunt mollit anim id est laborum').split(' ');

function textHtml(targetHeight) {
    // 16px text on 24px lines, 1,240 px wide: about 170 characters a line.
    const lineHeight = 24;
    const charsPerLine = 170;
    const paragraphGap = 16;
    let seed = 12345;
    const random = () => (seed = (seed * 1103515245 + 12345) % 2147483648) / 2147483648;
    const parts = [HEAD, `<title>long text</title><style>
body{font:16px/${lineHeight}px sans-serif;color:#000}
p{margin:0 20px ${paragraphGap}px}
.mark{height:${TEXT_MARK_HEIGHT}px}
</style></head><body><div class="mark" style="background:${hex(colourOf(TEXT_TOP_MARK))}"></div>`];
    let height = TEXT_MARK_HEIGHT * 2;
    for (let n = 0; height < targetHeight; n++) {
        const lines = 3 + Math.floor(random() * 8);
        const words = [];
        for (let chars = 0; chars < lines * charsPerLine * 0.9;) {
            const word = WORDS[Math.floor(random() * WORDS.length)];
            words.push(word);
            chars += word.length + 1;
        }
        parts.push(`<p>${n + 1}. ${words.join(' ')}.</p>`);
        height += lines * lineHeight + paragraphGap;
    }
    parts.push(`<div class="mark" style="background:${hex(colourOf(TEXT_BOTTOM_MARK))}"></div></body></html>`);
    return parts.join('');
}

// A grid of generated PNG images, each a solid block whose colour names its
// index. Every other image is marked loading="lazy": with lazy loading off in
// the browser they must all be there in the capture.
const IMAGE_COUNT = 300;
const IMAGE_SIZE = 120;
const IMAGE_PITCH = 128;
const IMAGE_COLUMNS = 10;
const IMAGE_MARGIN = 8;

function imageBox(k) {
    return {
        left: IMAGE_MARGIN + (k % IMAGE_COLUMNS) * IMAGE_PITCH,
        top: IMAGE_MARGIN + Math.floor(k / IMAGE_COLUMNS) * IMAGE_PITCH,
        size: IMAGE_SIZE,
    };
}

function imagesHeight() {
    return IMAGE_MARGIN * 2 + Math.ceil(IMAGE_COUNT / IMAGE_COLUMNS) * IMAGE_PITCH;
}

function imagesHtml() {
    const parts = [HEAD, `<title>images</title><style>
div{position:relative;height:${imagesHeight()}px}
img{position:absolute;width:${IMAGE_SIZE}px;height:${IMAGE_SIZE}px}
</style></head><body><div>`];
    for (let k = 0; k < IMAGE_COUNT; k++) {
        const box = imageBox(k);
        const lazy = k % 2 ? ' loading="lazy"' : '';
        parts.push(`<img src="/img/${k}.png" style="left:${box.left}px;top:${box.top}px"${lazy} alt="">`);
    }
    parts.push('</div></body></html>');
    return parts.join('');
}

function imagePng(k) {
    const png = new PNG({ width: IMAGE_SIZE, height: IMAGE_SIZE, colorType: 2 });
    const [r, g, b] = colourOf(k);
    for (let i = 0; i < IMAGE_SIZE * IMAGE_SIZE; i++) {
        png.data[i * 4] = r;
        png.data[i * 4 + 1] = g;
        png.data[i * 4 + 2] = b;
        png.data[i * 4 + 3] = 255;
    }
    return PNG.sync.write(png, { colorType: 2 });
}

// The page set, in batch order. `kind` selects the check.
const PAGES = [
    { name: 'stripes2000', label: 'stripes 2,000 px', kind: 'stripes', height: 2000 },
    { name: 'stripes20000', label: 'stripes 20,000 px', kind: 'stripes', height: 20000 },
    { name: 'stripes100000', label: 'stripes 100,000 px', kind: 'stripes', height: 100000 },
    { name: 'text', label: 'long text', kind: 'text', height: 30000 },
    { name: 'images', label: `${IMAGE_COUNT} images`, kind: 'images', height: imagesHeight() },
];

function pageHtml(page) {
    switch (page.kind) {
    case 'stripes': return stripesHtml(page.height);
    case 'text': return textHtml(page.height);
    case 'images': return imagesHtml();
    }
    throw new Error(`unknown page kind ${page.kind}`);
}

module.exports = {
    WIDTH, ROW, PAGES, IMAGE_COUNT, TEXT_MARK_HEIGHT, TEXT_TOP_MARK, TEXT_BOTTOM_MARK,
    colourOf, indexOf, imageBox, pageHtml, imagePng,
};
