'use strict';
// The peer: full-page captures the way Playwright users usually take them,
// page.goto(url, { waitUntil: 'load' }) then page.screenshot({ fullPage }),
// in the same Chromium with the same switches as snapvel.
//
//   node capture.js [--launch FILE] URL -o FILE.png
//   node capture.js [--launch FILE] [--pages N] --input LIST -o DIR
//
// One browser for the whole run. With a list, --pages N captures through N
// pages at once (default 1: one page reused for every address, in order);
// each output is named from the last part of its address. Exits 1 when a
// capture failed (one line on stderr each), 2 on a usage error.
const fs = require('fs');
const path = require('path');
const { chromium } = require('playwright-core');
const { launchOptions } = require('./peerflags');

const WIDTH = 1280;
const HEIGHT = 720;
const TIMEOUT_MS = 120000;

function usage(message) {
    console.error(`capture.js: ${message}`);
    console.error('usage: node capture.js [--launch FILE] (URL -o FILE.png | [--pages N] --input LIST -o DIR)');
    process.exit(2);
}

function parse(argv) {
    const options = { addresses: [], pages: 1 };
    for (let i = 0; i < argv.length; i++) {
        const a = argv[i];
        const value = () => (i + 1 < argv.length ? argv[++i] : usage(`${a} needs a value`));
        if (a === '-o')
            options.output = value();
        else if (a === '--input')
            options.input = value();
        else if (a === '--launch')
            options.launch = value();
        else if (a === '--pages') {
            options.pages = Number(value());
            if (!Number.isInteger(options.pages) || options.pages < 1 || options.pages > 64)
                usage(`--pages must be a whole number from 1 to 64, not ${argv[i]}`);
        } else if (a.startsWith('-'))
            usage(`unknown option ${a}`);
        else
            options.addresses.push(a);
    }
    if (options.input)
        options.addresses.push(...fs.readFileSync(options.input, 'utf8').split('\n')
            .map(l => l.trim()).filter(l => l && !l.startsWith('#')));
    if (!options.output)
        usage('-o is required');
    if (options.addresses.length === 0)
        usage('no address given');
    return options;
}

// Output files: the named file for one address without a list, otherwise
// one file per address in the output folder.
function outputsFor(options) {
    if (options.addresses.length === 1 && !options.input)
        return [options.output];
    fs.mkdirSync(options.output, { recursive: true });
    const used = new Set();
    return options.addresses.map(address => {
        const stem = path.basename(new URL(address).pathname).replace(/\.html?$/, '') || 'page';
        let name = `${stem}.png`;
        for (let n = 2; used.has(name); n++)
            name = `${stem}-${n}.png`;
        used.add(name);
        return path.join(options.output, name);
    });
}

async function main() {
    const options = parse(process.argv.slice(2));
    const outputs = outputsFor(options);
    const browser = await chromium.launch(await launchOptions(options.launch));
    let failures = 0;
    try {
        const context = await browser.newContext({ viewport: { width: WIDTH, height: HEIGHT } });
        let next = 0;
        const worker = async () => {
            const page = await context.newPage();
            for (let i = next++; i < options.addresses.length; i = next++) {
                try {
                    await page.goto(options.addresses[i], { waitUntil: 'load', timeout: TIMEOUT_MS });
                    await page.screenshot({ fullPage: true, path: outputs[i], timeout: TIMEOUT_MS });
                } catch (error) {
                    failures++;
                    console.error(`${options.addresses[i]}: ${error.message.split('\n')[0]}`);
                }
            }
            await page.close();
        };
        await Promise.all(Array.from({ length: Math.min(options.pages, options.addresses.length) }, worker));
    } finally {
        await browser.close();
    }
    process.exitCode = failures ? 1 : 0;
}

main().catch(error => {
    console.error(`capture.js: ${error.message}`);
    process.exit(1);
});
