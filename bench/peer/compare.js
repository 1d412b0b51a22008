'use strict';
// Side-by-side benchmark: `snapvel capture` against Playwright's full-page
// screenshot, in the same Chromium with the same switches, on pages served
// here on 127.0.0.1. Runs the two in turn (alternating which goes first),
// reads every capture back, and prints a table of median wall times, peak
// memory of each process tree, and whether each capture shows its page.
//
//   node compare.js [--ours PATH] [--cold-runs N] [--warm-runs N] [--batch N]
//                   [--pages a,b] [--modes cold,warm1,warmN] [--jobs N]
//                   [--results FILE] [--keep DIR] [--note TEXT]
//
// --ours      the snapvel binary (default: build/src/snapvel, or $SNAPVEL_BIN);
//             our side runs only when `PATH capture --help` succeeds, and the
//             table says "not available" for it until then
// --cold-runs one page per process, browser start included (default 5)
// --warm-runs one process for a batch of --batch addresses (default 3, 20)
// --modes     cold; warm1: the batch one page at a time; warmN: --jobs pages
//             at a time (default: the number of cores)
// --results   also writes the report as Markdown to FILE
// --keep      copies the first run's captures of each kind to DIR
// --note      a line added to the report's header
const fs = require('fs');
const os = require('os');
const path = require('path');
const crypto = require('crypto');
const { spawn, spawnSync, execFileSync } = require('child_process');
const pages = require('./pages');
const { TreeSampler } = require('./proctree');
const { checkCapture } = require('./check');
const { launchOptions, EXECUTABLE } = require('./peerflags');

const HERE = __dirname;
const CORES = os.cpus().length;

function usage(message) {
    console.error(`compare.js: ${message}`);
    console.error('usage: node compare.js [--ours PATH] [--cold-runs N] [--warm-runs N] [--batch N] ' +
                  '[--pages a,b] [--modes cold,warm1,warmN] [--jobs N] [--results FILE] [--keep DIR] [--note TEXT]');
    process.exit(2);
}

function parse(argv) {
    const o = {
        ours: process.env.SNAPVEL_BIN || path.join(HERE, '..', '..', 'build', 'src', 'snapvel'),
        coldRuns: 5, warmRuns: 3, batch: 20, jobs: CORES,
        pages: pages.PAGES.map(p => p.name), modes: ['cold', 'warm1', 'warmN'],
    };
    const count = (name, text, max) => {
        const n = Number(text);
        if (!Number.isInteger(n) || n < 1 || n > max)
            usage(`${name} must be a whole number from 1 to ${max}, not ${text}`);
        return n;
    };
    for (let i = 0; i < argv.length; i++) {
        const a = argv[i];
        const value = () => (i + 1 < argv.length ? argv[++i] : usage(`${a} needs a value`));
        if (a === '--ours') o.ours = path.resolve(value());
        else if (a === '--cold-runs') o.coldRuns = count(a, value(), 99);
        else if (a === '--warm-runs') o.warmRuns = count(a, value(), 99);
        else if (a === '--batch') o.batch = count(a, value(), 1000);
        else if (a === '--jobs') o.jobs = count(a, value(), 64);
        else if (a === '--results') o.results = path.resolve(value());
        else if (a === '--keep') o.keep = path.resolve(value());
        else if (a === '--note') o.note = value();
        else if (a === '--pages') {
            o.pages = value().split(',').filter(Boolean);
            const unknown = o.pages.filter(n => !pages.PAGES.some(p => p.name === n));
            if (unknown.length || !o.pages.length)
                usage(`unknown page ${unknown.join(', ') || '(none)'}; pages: ${pages.PAGES.map(p => p.name).join(', ')}`);
        } else if (a === '--modes') {
            o.modes = value().split(',').filter(Boolean);
            const unknown = o.modes.filter(m => !['cold', 'warm1', 'warmN'].includes(m));
            if (unknown.length || !o.modes.length)
                usage(`unknown mode ${unknown.join(', ') || '(none)'}; modes: cold, warm1, warmN`);
        } else usage(`unknown option ${a}`);
    }
    return o;
}

// ---- environment ---------------------------------------------------------

// Whether the binary has the capture command: `capture --help` must succeed
// without any display (the window program refuses to start without one, so
// an older binary fails fast instead of opening a window).
function detectOurs(binary) {
    if (!fs.existsSync(binary))
        return { available: false, why: `no program at ${binary}` };
    const env = { ...process.env };
    delete env.DISPLAY;
    delete env.WAYLAND_DISPLAY;
    delete env.QT_QPA_PLATFORM;
    const run = spawnSync(binary, ['capture', '--help'], { env, encoding: 'utf8', timeout: 15000 });
    const said = `${run.stdout || ''}${run.stderr || ''}`;
    if (run.error)
        return { available: false, why: `${binary} capture --help: ${run.error.message}` };
    if (run.status !== 0 || !/capture/i.test(said))
        return { available: false, why: `${binary} has no capture command yet (capture --help: exit ${run.status}: ${said.trim().split('\n')[0]})` };
    return { available: true, why: '' };
}

function machine() {
    const cpu = (fs.readFileSync('/proc/cpuinfo', 'utf8').match(/model name\s*:\s*(.*)/) || [])[1] || 'unknown CPU';
    let chromium = 'unknown';
    try {
        chromium = execFileSync(EXECUTABLE, ['--version'], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] }).trim();
    } catch { /* reported as unknown */ }
    const playwright = require('playwright-core/package.json').version;
    return {
        date: new Date().toISOString().replace('T', ' ').replace(/\..*/, ' UTC'),
        cores: CORES, cpu, memoryGb: (os.totalmem() / 2 ** 30).toFixed(0),
        chromium, playwright, node: process.version,
        load: os.loadavg().map(l => l.toFixed(2)).join(' '),
    };
}

// The version and path of the browser program seen running under ours.
function browserVersion(program) {
    if (!program)
        return 'unknown';
    try {
        return `${execFileSync(program, ['--version'], { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] }).trim()} (${program})`;
    } catch {
        return `unknown version (${program})`;
    }
}

function startServer() {
    return new Promise((resolve, reject) => {
        const server = spawn(process.execPath, [path.join(HERE, 'server.js'), '--exit-with-stdin'],
                             { stdio: ['pipe', 'pipe', 'inherit'] });
        let out = '';
        server.stdout.on('data', chunk => {
            out += chunk;
            const match = /listening (\S+)/.exec(out);
            if (match)
                resolve({ base: match[1], stop: () => { server.stdin.end(); server.kill('SIGTERM'); } });
        });
        server.on('exit', code => reject(new Error(`the page server stopped (exit ${code})`)));
    });
}

// ---- running one side ----------------------------------------------------

const running = new Set();

// Runs `argv` as its own process group, timing it and sampling its tree's
// memory. Resolves { seconds, peakBytes, browser, status, stderr, leftBehind }
// (browser: the program of the Chromium it started, when one was seen):
// leftBehind counts processes of the tree still running five seconds after
// it ended (they are then killed; Chromium's helpers can take a few seconds
// to go on a busy machine).
function measure(argv, timeoutSeconds) {
    return new Promise(resolve => {
        const started = process.hrtime.bigint();
        const child = spawn(argv[0], argv.slice(1), { stdio: ['ignore', 'ignore', 'pipe'], detached: true });
        running.add(child);
        const sampler = new TreeSampler(child.pid).start();
        let stderr = '';
        child.stderr.on('data', chunk => { if (stderr.length < 64 * 1024) stderr += chunk; });
        const timer = setTimeout(() => {
            stderr += `\n(killed after ${timeoutSeconds} s)`;
            if (running.has(child))
                try { process.kill(-child.pid, 'SIGKILL'); } catch { /* gone */ }
            killSurvivors(sampler);
        }, timeoutSeconds * 1000);
        let done = false, ended = null;
        const end = () => {
            if (ended === null) {
                ended = Number(process.hrtime.bigint() - started) / 1e9;
                sampler.stop();
            }
        };
        const finish = async (status) => {
            if (done)
                return;
            done = true;
            end();
            clearTimeout(timer);
            running.delete(child);
            let leftBehind = sampler.survivors().length;
            for (let waited = 0; leftBehind && waited < 5000; waited += 100) {
                await new Promise(r => setTimeout(r, 100));
                leftBehind = sampler.survivors().length;
            }
            killSurvivors(sampler);
            resolve({ seconds: ended, peakBytes: sampler.peakBytes, browser: sampler.browser, status, stderr: stderr.trim(), leftBehind });
        };
        child.on('error', error => { stderr += error.message; finish(127); });
        child.on('exit', (code, signal) => {
            end();
            running.delete(child); // its process group may be gone: no more group kills
            // stderr may stay open in helpers; give it a moment, not more.
            const status = code ?? `signal ${signal}`;
            child.stderr.once('close', () => finish(status));
            setTimeout(() => finish(status), 2000);
        });
    });
}

// Kills what is left of a measured tree: only processes seen in it, checked
// by start time so that a recycled pid is never hit.
function killSurvivors(sampler) {
    for (const pid of sampler.survivors()) {
        try { process.kill(pid, 'SIGKILL'); } catch { /* already gone */ }
    }
}

// The faults of a run itself, before its captures are looked at.
function runFaults(result) {
    const faults = [];
    if (result.status !== 0)
        faults.push({ where: '', text: `exit ${result.status}: ${lastLine(result.stderr)}` });
    return faults;
}

// ---- checking ------------------------------------------------------------

const checked = new Map(); // sha1 of file + page -> fault or null

function check(file, page) {
    if (!fs.existsSync(file))
        return 'no file written';
    const hash = crypto.createHash('sha1').update(fs.readFileSync(file)).digest('hex') + page.name;
    if (!checked.has(hash))
        checked.set(hash, checkCapture(file, page));
    return checked.get(hash);
}

// The output in `dir` for the batch entry named `token`: file names come
// from addresses, which each tool turns into safe characters its own way.
// The token's words must appear in order, separated by nothing but other
// characters, and not run on into more digits ("x1" is not "x12").
function findOutput(dir, token) {
    const words = token.toLowerCase().split(/[^a-z0-9]+/).filter(Boolean);
    const pattern = new RegExp(`${words.join('[^a-z0-9]*')}(?![0-9])`);
    const matches = fs.existsSync(dir)
        ? fs.readdirSync(dir).filter(f => /\.png$/i.test(f) && pattern.test(f.toLowerCase())) : [];
    return matches.length === 1 ? path.join(dir, matches[0]) : null;
}

// ---- the runs ------------------------------------------------------------

function lastLine(text) {
    return text.split('\n').filter(Boolean).slice(-1)[0] || '(nothing on stderr)';
}

// What the tool said on stderr about one address, if anything.
function saidAbout(stderr, url) {
    const line = stderr.split('\n').find(l => l.includes(url) && /fail|error|timeout|refus/i.test(l));
    return line ? ` (${line.slice(line.indexOf(url) + url.length).replace(/^[\s:]+/, '').trim()})` : '';
}

function median(values) {
    const sorted = [...values].sort((a, b) => a - b);
    const mid = Math.floor(sorted.length / 2);
    return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

class Cell {
    constructor() { this.seconds = []; this.peaks = []; this.faults = []; this.leftBehind = []; }
    // faults: [{ where, text }], where names the batch entry (or '').
    add(run, result, faults) {
        this.seconds.push(result.seconds);
        this.peaks.push(result.peakBytes);
        if (result.leftBehind)
            this.leftBehind.push(`run ${run + 1}: ${result.leftBehind}`);
        for (const f of faults)
            this.faults.push({ run: run + 1, ...f });
    }
}

async function main() {
    const o = parse(process.argv.slice(2));
    const began = Date.now();
    const info = machine();
    const ours = detectOurs(o.ours);
    console.log(`machine: ${info.cores} cores (${info.cpu}), ${info.memoryGb} GB; peer ${info.chromium}; ` +
                `playwright-core ${info.playwright}; node ${info.node}; load ${info.load}`);
    console.log(ours.available ? `ours: ${o.ours}` : `ours: not available (${ours.why})`);

    const work = fs.mkdtempSync(path.join(os.tmpdir(), 'snapvel-compare-'));
    const launchFile = path.join(work, 'peer-launch.json');
    // Ours and Playwright's switches, probed once, outside the timings.
    const launch = await launchOptions(launchFile, ours.available ? o.ours : null);
    console.log(`peer switches: ${launch.args.join(' ')}`);
    const server = await startServer();
    const stopAll = () => {
        for (const child of running)
            try { process.kill(-child.pid, 'SIGKILL'); } catch { /* gone */ }
        server.stop();
    };
    const abandon = code => {
        stopAll();
        fs.rmSync(work, { recursive: true, force: true });
        process.exit(code);
    };
    process.on('SIGINT', () => abandon(130));
    process.on('SIGTERM', () => abandon(143));

    const selected = pages.PAGES.filter(p => o.pages.includes(p.name));
    const sides = ours.available ? ['ours', 'peer'] : ['peer'];
    const rows = [];
    const captureJs = path.join(HERE, 'capture.js');
    const keep = (from, name) => {
        if (o.keep) {
            fs.mkdirSync(o.keep, { recursive: true });
            fs.cpSync(from, path.join(o.keep, name), { recursive: true });
        }
    };

    try {
        if (o.modes.includes('cold')) {
            for (const page of selected) {
                const row = { page: page.label, mode: `cold, median of ${o.coldRuns}`, cells: {} };
                for (const side of sides)
                    row.cells[side] = new Cell();
                const url = `${server.base}/page/${page.name}.html`;
                for (let run = 0; run < o.coldRuns; run++) {
                    for (const side of run % 2 ? [...sides].reverse() : sides) {
                        const out = path.join(work, `cold-${side}-${page.name}.png`);
                        fs.rmSync(out, { force: true });
                        const argv = side === 'ours'
                            ? [o.ours, 'capture', url, '-o', out, '--width', String(pages.WIDTH)]
                            : [process.execPath, captureJs, '--launch', launchFile, url, '-o', out];
                        const result = await measure(argv, 300);
                        if (side === 'ours')
                            info.oursProgram ??= result.browser;
                        const faults = runFaults(result);
                        const fault = check(out, page);
                        if (fault)
                            faults.push({ where: '', text: fault });
                        row.cells[side].add(run, result, faults);
                        if (run === 0)
                            keep(out, `cold-${side}-${page.name}.png`);
                        process.stderr.write(`  cold ${page.name} ${side} run ${run + 1}: ` +
                            `${result.seconds.toFixed(2)} s, ${(result.peakBytes / 2 ** 20).toFixed(0)} MB` +
                            `${faults.length ? ' WRONG' : ''}\n`);
                    }
                }
                rows.push(row);
            }
        }

        // A batch: the page set repeated to o.batch addresses, each under its
        // own address so that each output has its own name.
        const batch = [];
        for (let i = 0; batch.length < o.batch; i++) {
            const page = selected[i % selected.length];
            const token = `${page.name}-x${Math.floor(i / selected.length) + 1}`;
            batch.push({ page, token, url: `${server.base}/page/${token}.html` });
        }
        const list = path.join(work, 'batch.txt');
        fs.writeFileSync(list, batch.map(b => b.url).join('\n') + '\n');

        for (const mode of ['warm1', 'warmN'].filter(m => o.modes.includes(m))) {
            const at = mode === 'warm1' ? 1 : o.jobs;
            const row = {
                page: `batch of ${batch.length} (${selected.length} page${selected.length > 1 ? 's' : ''} ` +
                      `x${Math.ceil(batch.length / selected.length)})`,
                mode: `warm, ${at} at a time, median of ${o.warmRuns}`, cells: {}, batchMode: mode,
            };
            for (const side of sides)
                row.cells[side] = new Cell();
            for (let run = 0; run < o.warmRuns; run++) {
                for (const side of run % 2 ? [...sides].reverse() : sides) {
                    const dir = path.join(work, `${mode}-${side}`);
                    fs.rmSync(dir, { recursive: true, force: true });
                    fs.mkdirSync(dir);
                    const argv = side === 'ours'
                        ? [o.ours, 'capture', '--input', list, '-o', dir, '--width', String(pages.WIDTH), '--jobs', String(at)]
                        : [process.execPath, captureJs, '--launch', launchFile, '--pages', String(at), '--input', list, '-o', dir];
                    const result = await measure(argv, 900);
                    if (side === 'ours')
                        info.oursProgram ??= result.browser;
                    const faults = [];
                    for (const entry of batch) {
                        const file = findOutput(dir, entry.token);
                        const fault = file ? check(file, entry.page) : `no file written${saidAbout(result.stderr, entry.url)}`;
                        if (fault)
                            faults.push({ where: entry.token, text: fault });
                    }
                    // A failed exit is explained by the pages without a file;
                    // it is listed only when no page shows why.
                    if (!faults.some(f => f.text.startsWith('no file written')))
                        faults.unshift(...runFaults(result));
                    row.cells[side].add(run, result, faults);
                    if (run === 0)
                        keep(dir, `${mode}-${side}`);
                    process.stderr.write(`  ${mode} ${side} run ${run + 1}: ${result.seconds.toFixed(2)} s, ` +
                        `${(result.peakBytes / 2 ** 20).toFixed(0)} MB${faults.length ? ` ${faults.length} WRONG` : ''}\n`);
                    fs.rmSync(dir, { recursive: true, force: true });
                }
            }
            rows.push(row);
        }
        // The command as a script would run it (its default, as many pages
        // at a time as cores) against the usual Playwright script (one page
        // after another): the same runs, compared across modes.
        const byMode = m => rows.find(r => r.batchMode === m);
        const warm1 = byMode('warm1'), warmN = byMode('warmN');
        if (warm1 && warmN && o.jobs === CORES && o.jobs > 1) {
            rows.push({
                page: warmN.page, derived: true,
                mode: `warm, ours ${o.jobs} at a time (its default) against the peer 1 at a time`,
                cells: { ours: warmN.cells.ours, peer: warm1.cells.peer },
            });
        }
    } finally {
        stopAll();
        fs.rmSync(work, { recursive: true, force: true });
    }

    if (ours.available)
        console.log(`ours ran ${browserVersion(info.oursProgram)}`);
    const report = render(rows, info, ours, o, (Date.now() - began) / 1000);
    console.log('\n' + report.table + '\n' + report.notes);
    if (o.results) {
        fs.writeFileSync(o.results, report.markdown);
        console.log(`\nwritten to ${o.results}`);
    }
}

// ---- the report ----------------------------------------------------------

function render(rows, info, ours, o, elapsed) {
    const na = 'not available';
    const secs = cell => cell ? median(cell.seconds).toFixed(2) : na;
    const mb = cell => cell ? `${(Math.max(...cell.peaks) / 2 ** 20).toFixed(0)}` : na;
    const right = cell => cell ? (cell.faults.length ? 'no' : 'yes') : na;
    const header = ['page', 'mode', 'ours s', 'peer s', 'ours/peer', 'ours peak MB', 'peer peak MB', 'ours right', 'peer right'];
    const lines = [header, header.map(() => '---')];
    const notes = [];
    const leftovers = [];
    const details = [];
    for (const row of rows) {
        const { ours: a, peer: b } = row.cells;
        lines.push([row.page, row.mode, secs(a), secs(b),
                    a ? (median(a.seconds) / median(b.seconds)).toFixed(2) : na,
                    mb(a), mb(b), right(a), right(b)]);
        for (const [side, cell] of [['ours', a], ['peer', b]]) {
            if (!cell || row.derived)
                continue;
            details.push(`- ${row.page}, ${row.mode.replace(/, median.*/, '')}, ${side}: ` +
                         `${cell.seconds.map(s => s.toFixed(2)).join(' ')} s; ` +
                         `peak ${cell.peaks.map(p => (p / 2 ** 20).toFixed(0)).join(' ')} MB`);
            // The same fault on several runs or batch entries is listed once.
            const groups = new Map();
            for (const f of cell.faults) {
                const key = `${f.where.replace(/-x\d+$/, '')}\n${f.text}`;
                if (!groups.has(key))
                    groups.set(key, { page: f.where.replace(/-x\d+$/, ''), text: f.text, runs: new Set(), count: 0 });
                groups.get(key).runs.add(f.run);
                groups.get(key).count++;
            }
            const list = [...groups.values()];
            for (const g of list.slice(0, 8)) {
                const where = g.page ? `${g.page} ${g.count}x in ` : '';
                notes.push(`- ${row.page}, ${row.mode.replace(/, median.*/, '')}, ${side}: ${where}run ${[...g.runs].join(', ')}: ${g.text}`);
            }
            if (list.length > 8)
                notes.push(`- ... and ${list.length - 8} other faults`);
            if (cell.leftBehind.length)
                leftovers.push(`- ${row.page}, ${row.mode.replace(/, median.*/, '')}, ${side}: ` +
                               `processes still running 5 s after the tool ended (${cell.leftBehind.join('; ')}), then killed`);
        }
    }
    const table = lines.map(l => `| ${l.join(' | ')} |`).join('\n');
    let notesText = notes.length ? `Wrong captures:\n${notes.join('\n')}` : 'Every capture showed its page.';
    if (leftovers.length)
        notesText += `\n\nLeft behind:\n${leftovers.join('\n')}`;
    const oursLine = ours.available ? `ours: \`${o.ours} capture\`` : `ours: not available (${ours.why})`;
    const markdown = `# Side-by-side: snapvel capture against Playwright

Written by \`scripts/bench compare --results bench/RESULTS.md\` (bench/peer/compare.js).

- date: ${info.date}
- machine: ${info.cores} cores (${info.cpu}), ${info.memoryGb} GB RAM, shared; load average (1, 5, 15 min) at start ${info.load}, at the end ${os.loadavg().map(l => l.toFixed(2)).join(' ')}
- browser: ours ${browserVersion(info.oursProgram)}; peer ${info.chromium} (${EXECUTABLE}); the same switches
- peer: playwright-core ${info.playwright} on node ${info.node}: \`page.goto(url, {waitUntil: 'load'})\` then \`page.screenshot({fullPage: true})\`, viewport 1280x720
- ${oursLine}${o.note ? `\n- ${o.note}` : ''}
- whole run: ${elapsed.toFixed(0)} s

Times are wall-clock seconds of the whole process (cold: browser start included,
one page per process; warm: one process for the batch). Peak MB is the highest
sum of RSS over the process tree (the tool and all Chromium processes),
sampled every 50 ms; shared pages count once per process. "right" means every
run exited 0 and every capture read back correctly (stripe rows in place,
image blocks in colour, text from the top band to the bottom band).

${table}

${notesText}

Every run:
${details.join('\n')}

## How to run

\`scripts/bench compare\` (add \`--results bench/RESULTS.md\` to rewrite this file;
\`scripts/bench\` runs the C++ benchmarks first). It installs playwright-core
and pngjs into bench/peer/node_modules with \`npm ci\` when missing, builds the
snapvel target (not with SNAPVEL_BENCH_NO_BUILD=1), serves the pages on
127.0.0.1, and drives the system's Chromium on both sides: snapvel its own
choice (Debian's headless shell of Chromium when installed), Playwright
/usr/bin/chromium or the program SNAPVEL_BENCH_CHROMIUM names; no browser is
downloaded. A quicker look: \`scripts/bench compare --cold-runs 3 --warm-runs 1\`.
Pages: 1280 px wide stripes of 10 px rows, each row a colour that names its
index (2,000, 20,000 and 100,000 px tall), about 30,000 px of paragraphs
between two marker bands, and 300 generated PNG images (every other one
loading="lazy") in a grid, each a solid colour naming its index.
`;
    return { table, notes: notesText, markdown };
}

if (require.main === module) {
    main().catch(error => {
        console.error(`compare.js: ${error.stack || error.message}`);
        process.exit(1);
    });
}
