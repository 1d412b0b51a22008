'use strict';
// Peak memory of a process tree: the sum of the resident set sizes of a
// process and all its descendants, sampled from /proc every 50 ms. Chromium
// runs as a dozen processes (browser, zygotes, renderers, GPU and network
// services), all descendants of whoever launched it. Shared pages count once
// per process, as RSS does.
const fs = require('fs');
const { execFileSync } = require('child_process');

const PAGE_BYTES = Number(execFileSync('getconf', ['PAGESIZE'], { encoding: 'utf8' }).trim()) || 4096;

function readStat(pid) {
    try {
        const stat = fs.readFileSync(`/proc/${pid}/stat`, 'latin1');
        const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
        return { parent: Number(fields[1]), started: fields[19], rssPages: Number(fields[21]) };
    } catch {
        return null; // Ended while we looked.
    }
}

// Whether a command line is a Chromium browser process's (driven over the
// DevTools pipe, not one of its helpers with a --type).
function isBrowser(argv) {
    return argv.includes('--remote-debugging-pipe') && !argv.some(a => a.startsWith('--type='));
}

// The program of `pid` when it is a Chromium browser process, otherwise null.
function browserProgram(pid) {
    try {
        const argv = fs.readFileSync(`/proc/${pid}/cmdline`, 'latin1').split('\0').filter(Boolean);
        return isBrowser(argv) ? argv[0] : null;
    } catch {
        return null; // Ended while we looked.
    }
}

class TreeSampler {
    constructor(root, intervalMs = 50) {
        this.root = root;
        this.intervalMs = intervalMs;
        this.parents = new Map(); // pid -> parent pid, kept while the pid lives
        this.peakBytes = 0;
        this.members = new Map(); // pid -> start time, of every process seen in the tree
        this.browser = null; // the program of the tree's Chromium browser process, once seen
    }

    start() {
        this.sample();
        this.timer = setInterval(() => this.sample(), this.intervalMs);
        return this;
    }

    // Ends sampling; returns the peak in bytes.
    stop() {
        clearInterval(this.timer);
        return this.peakBytes;
    }

    // The processes seen in the tree that are still running (the same
    // processes, not new ones that were given a freed pid).
    survivors() {
        return [...this.members].filter(([pid, started]) => readStat(pid)?.started === started)
            .map(([pid]) => pid);
    }

    sample() {
        let entries;
        try {
            entries = fs.readdirSync('/proc').filter(e => e.charCodeAt(0) <= 57);
        } catch {
            return;
        }
        const alive = new Set(entries.map(Number));
        for (const pid of this.parents.keys())
            if (!alive.has(pid))
                this.parents.delete(pid);
        const fresh = new Map();
        for (const pid of alive) {
            if (this.parents.has(pid))
                continue;
            const stat = readStat(pid);
            if (stat) {
                this.parents.set(pid, stat.parent);
                fresh.set(pid, stat);
            }
        }
        // The tree: the root and every process whose chain of parents reaches it.
        const inTree = new Map([[this.root, true]]);
        const reaches = pid => {
            const path = [];
            let at = pid, answer = false;
            for (;;) {
                if (inTree.has(at)) {
                    answer = inTree.get(at);
                    break;
                }
                if (at <= 1 || !this.parents.has(at))
                    break;
                path.push(at);
                at = this.parents.get(at);
            }
            for (const p of path)
                inTree.set(p, answer);
            return answer;
        };
        let bytes = 0;
        for (const pid of alive) {
            if (!reaches(pid))
                continue;
            const stat = fresh.get(pid) || readStat(pid);
            if (!stat)
                continue;
            this.members.set(pid, stat.started);
            bytes += stat.rssPages * PAGE_BYTES;
            if (!this.browser)
                this.browser = browserProgram(pid);
        }
        this.peakBytes = Math.max(this.peakBytes, bytes);
    }
}

module.exports = { TreeSampler, isBrowser };
