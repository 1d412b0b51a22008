'use strict';
// Reads a capture back and says whether it shows its page: every stripe row
// in its place, every image block in its colour, the long text page from its
// top band to its bottom band with text all the way. Returns null when the
// capture is right, otherwise a short reason naming the first fault.
const pages = require('./pages');
const { readPng } = require('./pngread');

function describe([r, g, b, a]) {
    if (a === 0)
        return 'transparent';
    if (r > 250 && g > 250 && b > 250)
        return 'blank white';
    if (r < 5 && g < 5 && b < 5)
        return 'black';
    const index = pages.indexOf(r, g, b);
    return index >= 0 ? `the colour of ${index}` : `rgb(${r},${g},${b})`;
}

function indexAt(image, x, y) {
    const [r, g, b, a] = image.pixel(x, y);
    return a === 255 ? pages.indexOf(r, g, b) : -1;
}

function checkSize(image) {
    if (image.width !== pages.WIDTH)
        return `${image.width} px wide, not ${pages.WIDTH}`;
    return null;
}

// Wrong pixel rows as ranges: "y=763, y=86615-99999".
function ranges(rows) {
    const parts = [];
    for (let i = 0; i < rows.length && parts.length < 4;) {
        let j = i;
        while (j + 1 < rows.length && rows[j + 1] === rows[j] + 1)
            j++;
        parts.push(i === j ? `y=${rows[i]}` : `y=${rows[i]}-${rows[j]}`);
        i = j + 1;
    }
    return parts.join(', ') + (parts.length === 4 ? ', ...' : '');
}

function checkStripes(image, page) {
    const xs = [0, 427, 853, image.width - 1];
    const rows = Math.min(image.height, page.height);
    const wrong = [];
    let seen = '';
    for (let y = 0; y < rows; y++) {
        const expected = Math.floor(y / pages.ROW);
        const bad = xs.find(x => indexAt(image, x, y) !== expected);
        if (bad === undefined)
            continue;
        if (!wrong.length)
            seen = describe(image.pixel(bad, y));
        wrong.push(y);
    }
    const faults = [];
    if (wrong.length)
        faults.push(`first wrong row y=${wrong[0]} (stripe ${Math.floor(wrong[0] / pages.ROW)}) shows ${seen}; ` +
                    `${wrong.length} of ${rows} px rows wrong: ${ranges(wrong)}`);
    if (image.height !== page.height)
        faults.push(`${image.height} px tall, not ${page.height}`);
    return faults.length ? faults.join('; ') : null;
}

function checkImages(image, page) {
    const faults = [];
    if (image.height !== page.height)
        faults.push(`${image.height} px tall, not ${page.height}`);
    let firstWrong = -1, wrong = 0, seen = '';
    for (let k = 0; k < pages.IMAGE_COUNT; k++) {
        const box = pages.imageBox(k);
        const inset = 4;
        const points = [[box.size / 2, box.size / 2], [inset, inset], [box.size - inset, inset],
                        [inset, box.size - inset], [box.size - inset, box.size - inset]]
            .map(([dx, dy]) => [box.left + dx, box.top + dy]);
        const bad = points.find(([x, y]) => y >= image.height || indexAt(image, x, y) !== k);
        if (!bad)
            continue;
        if (firstWrong < 0) {
            firstWrong = k;
            seen = bad[1] >= image.height ? 'nothing (below the capture)' : describe(image.pixel(bad[0], bad[1]));
        }
        wrong++;
    }
    if (firstWrong >= 0)
        faults.unshift(`${wrong} of ${pages.IMAGE_COUNT} images wrong, first #${firstWrong} (shows ${seen})`);
    return faults.length ? faults.join('; ') : null;
}

function checkText(image, page) {
    const mark = pages.TEXT_MARK_HEIGHT;
    if (image.height < page.height * 0.8 || image.height > page.height * 1.3)
        return `${image.height} px tall, the page is about ${page.height}`;
    const x = Math.floor(image.width / 2);
    for (const [from, index, where] of [[0, pages.TEXT_TOP_MARK, 'top'],
                                        [image.height - mark, pages.TEXT_BOTTOM_MARK, 'bottom']]) {
        for (let y = from; y < from + mark; y++)
            if (indexAt(image, x, y) !== index)
                return `the ${where} band is not at the ${where} (y=${y} shows ${describe(image.pixel(x, y))})`;
    }
    // Text all the way down: some dark pixel in every 1,000 px band.
    const band = 1000;
    for (let top = mark; top < image.height - mark; top += band) {
        const bottom = Math.min(top + band, image.height - mark);
        let dark = false;
        for (let y = top; y < bottom && !dark; y += 2) {
            for (let x = 0; x < image.width; x += 3) {
                const [r, g, b] = image.pixel(x, y);
                if (r + g + b < 200) {
                    dark = true;
                    break;
                }
            }
        }
        if (!dark)
            return `no text from y=${top} to ${bottom} (${image.height} px tall)`;
    }
    return null;
}

const CHECKS = { stripes: checkStripes, images: checkImages, text: checkText };

// The fault in `file` as a capture of `page`, or null.
function checkCapture(file, page) {
    let image;
    try {
        image = readPng(file);
    } catch (error) {
        return `unreadable: ${error.message}`;
    }
    return checkSize(image) || CHECKS[page.kind](image, page);
}

module.exports = { checkCapture };

if (require.main === module) {
    // node check.js PAGE-NAME FILE.png
    const page = pages.PAGES.find(p => p.name === process.argv[2]);
    if (!page || !process.argv[3]) {
        console.error(`usage: node check.js (${pages.PAGES.map(p => p.name).join('|')}) FILE.png`);
        process.exit(2);
    }
    const fault = checkCapture(process.argv[3], page);
    console.log(fault ? `wrong: ${fault}` : 'right');
    process.exit(fault ? 1 : 0);
}
