'use strict';
// Launch options that give Playwright's Chromium the same switches as
// snapvel's. Ours are read off the command line of the browser a short
// `snapvel capture` starts, so that they cannot drift from the program's.
//
// Chromium keeps only the last of a repeated --disable-features or
// --blink-settings, and Playwright passes its own of both: appending ours
// would silently drop Playwright's. So the defaults Playwright passes are
// read once off a launched browser's command line, and a switch of ours that
// Playwright passes too is merged with Playwright's into one that replaces
// it.
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawn } = require('child_process');
const { chromium } = require('playwright-core');
const { isBrowser } = require('./proctree');

const EXECUTABLE = process.env.SNAPVEL_BENCH_CHROMIUM || '/usr/bin/chromium';
const OURS = process.env.SNAPVEL_BIN || path.join(__dirname, '..', '..', 'build', 'src', 'snapvel');

// Ours that Playwright manages itself (the pipe, the profile and its
// folders, the first window, the sandbox).
const MANAGED = /^--(remote-debugging-pipe|user-data-dir|disk-cache-dir|crash-dumps-dir|no-startup-window|no-sandbox)(=|$)/;
// Switches whose value is a list that Chromium takes from one switch only.
const LISTS = ['--disable-features', '--enable-features', '--blink-settings'];

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

// The browser process among this process's descendants, or null.
function browserCommandLine() {
    return descendantCommandLines().find(isBrowser) || null;
}

// The browser process's switches while `options` launch it.
async function launchedSwitches(options) {
    const browser = await chromium.launch(options);
    try {
        const main = browserCommandLine();
        if (!main)
            throw new Error('could not find the browser process to read its switches');
        return main;
    } finally {
        await browser.close();
    }
}

// The switches of the browser `binary` starts (snapvel capture, holding a
// blank page for a while), less those Playwright manages.
async function ourSwitches(binary) {
    const work = fs.mkdtempSync(path.join(os.tmpdir(), 'snapvel-switches-'));
    const page = path.join(work, 'blank.html');
    fs.writeFileSync(page, '<!DOCTYPE html><title>blank</title>');
    const env = { ...process.env };
    delete env.DISPLAY;
    delete env.WAYLAND_DISPLAY;
    const child = spawn(binary, ['capture', '--quiet', '--delay', '5000', page, '-o', path.join(work, 'blank.png')],
        { env, stdio: 'ignore' });
    const ended = new Promise(resolve => child.on('close', resolve));
    try {
        const started = Date.now();
        for (let seen = null; Date.now() - started < 15000;) {
            if (child.exitCode !== null)
                throw new Error(`${binary} capture ended (exit ${child.exitCode}) before its browser was seen`);
            if ((seen = browserCommandLine()))
                return seen.slice(1).filter(a => a.startsWith('--') && !MANAGED.test(a));
            await new Promise(resolve => setTimeout(resolve, 20));
        }
        throw new Error(`no browser seen under ${binary} capture within 15 s`);
    } finally {
        child.kill('SIGTERM');
        await ended;
        fs.rmSync(work, { recursive: true, force: true });
    }
}

function single(switches, name) {
    const found = switches.filter(a => a.startsWith(name + '='));
    if (found.length > 1)
        throw new Error(`${name} is passed ${found.length} times: ${found.join(' ')}`);
    return found[0];
}

// Reads ours and Playwright's defaults, builds the merged options, and
// checks on a second launch that each switch of ours reaches Chromium, and
// each merged one once, with all of our values.
// Without a binary (ours not built), Playwright's defaults alone.
async function probeLaunchOptions(binary = OURS) {
    const base = { executablePath: EXECUTABLE, headless: true };
    const ours = binary ? await ourSwitches(binary) : [];
    const defaults = await launchedSwitches(base);
    const ignoreDefaultArgs = [];
    const merged = [];
    const args = ours.map(a => {
        const name = a.split('=')[0];
        if (!LISTS.includes(name))
            return a;
        const values = a.slice(name.length + 1).split(',').filter(Boolean);
        merged.push([name, values]);
        const theirs = single(defaults, name);
        if (!theirs)
            return a;
        ignoreDefaultArgs.push(theirs);
        const kept = theirs.slice(name.length + 1).split(',').filter(Boolean);
        return `${name}=${[...kept, ...values.filter(v => !kept.includes(v))].join(',')}`;
    });
    if (process.getuid && process.getuid() === 0)
        args.push('--no-sandbox');
    const options = { ...base, args, ignoreDefaultArgs };

    const actual = await launchedSwitches(options);
    for (const [name, values] of merged) {
        const value = single(actual, name);
        if (!value || !values.every(v => value.slice(name.length + 1).split(',').includes(v)))
            throw new Error(`${name} does not reach Chromium as meant: ${value}`);
    }
    for (const a of args)
        if (!merged.some(([name]) => a.startsWith(name + '=')) && !actual.includes(a))
            throw new Error(`${a} does not reach Chromium`);
    return options;
}

// The options stored in `file` by an earlier probe, or a new probe's with
// the switches of `binary` (stored there when a file is named).
async function launchOptions(file, binary = OURS) {
    if (file && fs.existsSync(file))
        return JSON.parse(fs.readFileSync(file, 'utf8'));
    const options = await probeLaunchOptions(binary);
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
