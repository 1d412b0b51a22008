'use strict';
// Launch options that give Playwright's Chromium the same switches as
// snapvel's (src/platform/cdp/chromiumprocess.cpp, chromiumArguments).
//
// Chromium keeps only the last of a repeated --disable-features or
// --blink-settings, and Playwright passes its own of both: appending ours
// would silently drop Playwright's. So the defaults Playwright passes are
// read once off a launched browser's command line, and ours are merged into
// single switches that replace them.
const fs = require('fs');
const path = require('path');
const { chromium } = require('playwright-core');

const EXECUTABLE = process.env.SNAPVEL_BENCH_CHROMIUM || '/usr/bin/chromium';

// Ours, less what Playwright manages itself (--remote-debugging-pipe,
// --user-data-dir, the start page) and the two merged switches.
const OUR_SWITCHES = [
    '--headless',
    '--disable-gpu',
    '--no-first-run',
    '--no-default-browser-check',
    '--disable-background-networking',
    '--disable-component-update',
    '--disable-sync',
    '--mute-audio',
    '--hide-scrollbars',
    '--disable-popup-blocking',
    '--disable-auto-reload',
    '--disable-site-isolation-trials',
];
const OUR_BLINK_SETTINGS = ['lazyLoadEnabled=false'];
const OUR_DISABLED_FEATURES = ['IsolateOrigins', 'site-per-process', 'WebUIOmniboxPopup',
    'WebUIOmniboxAimPopup', 'BackForwardCache'];

// The command lines of this process's descendants.
function descendantCommandLines() {
    const parents = new Map();
    for (const entry of fs.readdirSync('/proc')) {
        if (!/^\d+$/.test(entry))
            continue;
        try {
            const stat = fs.readFileSync(`/proc/${entry}/stat`, 'latin1');
            const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
            parents.set(Number(entry), Number(fields[1]));
        } catch {
            // The process ended while we looked.
        }
    }
    const lines = [];
    for (const [pid] of parents) {
        let at = pid;
        while (at > 1 && at !== process.pid)
            at = parents.get(at) ?? 0;
        if (at !== process.pid || pid === process.pid)
            continue;
        try {
            lines.push(fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1').split('\0').filter(Boolean));
        } catch {
            // Gone.
        }
    }
    return lines;
}

// The browser process's switches while `options` launch it.
async function launchedSwitches(options) {
    const browser = await chromium.launch(options);
    try {
        const main = descendantCommandLines().find(
            line => line.includes('--remote-debugging-pipe') && !line.some(a => a.startsWith('--type=')));
        if (!main)
            throw new Error('could not find the browser process to read its switches');
        return main;
    } finally {
        await browser.close();
    }
}

function single(switches, name) {
    const found = switches.filter(a => a.startsWith(name + '='));
    if (found.length > 1)
        throw new Error(`${name} is passed ${found.length} times: ${found.join(' ')}`);
    return found[0];
}

// Reads Playwright's defaults, builds the merged options, and checks on a
// second launch that each merged switch reaches Chromium once, with ours.
async function probeLaunchOptions() {
    const base = { executablePath: EXECUTABLE, headless: true };
    const defaults = await launchedSwitches(base);
    const ignoreDefaultArgs = [];
    const merged = (name, ours) => {
        const theirs = single(defaults, name);
        if (theirs)
            ignoreDefaultArgs.push(theirs);
        const values = theirs ? theirs.slice(name.length + 1).split(',').filter(Boolean) : [];
        return `${name}=${[...values, ...ours.filter(v => !values.includes(v))].join(',')}`;
    };
    const args = [
        ...OUR_SWITCHES,
        merged('--disable-features', OUR_DISABLED_FEATURES),
        merged('--blink-settings', OUR_BLINK_SETTINGS),
    ];
    if (process.getuid && process.getuid() === 0)
        args.push('--no-sandbox');
    const options = { ...base, args, ignoreDefaultArgs };

    const actual = await launchedSwitches(options);
    for (const [name, ours] of [['--disable-features', OUR_DISABLED_FEATURES],
                                ['--blink-settings', OUR_BLINK_SETTINGS]]) {
        const value = single(actual, name);
        if (!value || !ours.every(v => value.slice(name.length + 1).split(',').includes(v)))
            throw new Error(`${name} does not reach Chromium as meant: ${value}`);
    }
    for (const a of OUR_SWITCHES)
        if (!actual.includes(a))
            throw new Error(`${a} does not reach Chromium`);
    return options;
}

// The options stored in `file` by an earlier probe, or a new probe's
// (stored there when a file is named).
async function launchOptions(file) {
    if (file && fs.existsSync(file))
        return JSON.parse(fs.readFileSync(file, 'utf8'));
    const options = await probeLaunchOptions();
    if (file) {
        fs.mkdirSync(path.dirname(file), { recursive: true });
        fs.writeFileSync(file, JSON.stringify(options, null, 2) + '\n');
    }
    return options;
}

module.exports = { launchOptions, probeLaunchOptions, EXECUTABLE };

if (require.main === module) {
    probeLaunchOptions().then(options => console.log(JSON.stringify(options, null, 2)),
        error => { console.error(error.message); process.exit(1); });
}
