'use strict';
// Serves the benchmark's pages on 127.0.0.1 (a free port) and prints
// "listening <base url>" on standard output once it accepts connections.
//
//   /page/<name>.html         a page of pages.js (also /page/<name>-x<n>.html:
//                             the same page under a distinct address, for
//                             batches whose outputs are named from addresses)
//   /img/<k>.png              image block k of the images page
//
// Nothing is cacheable, so a page loaded again in the same browser costs
// the same as the first time, for either side.
const http = require('http');
const pages = require('./pages');

const bodies = new Map();
for (const page of pages.PAGES)
    bodies.set(page.name, Buffer.from(pages.pageHtml(page)));
const images = [];
for (let k = 0; k < pages.IMAGE_COUNT; k++)
    images.push(pages.imagePng(k));

function send(response, status, type, body) {
    response.writeHead(status, {
        'Content-Type': type,
        'Content-Length': body.length,
        'Cache-Control': 'no-store',
    });
    response.end(body);
}

const server = http.createServer((request, response) => {
    const path = new URL(request.url, 'http://127.0.0.1').pathname;
    let match = /^\/page\/([a-z0-9]+)(?:-x\d+)?\.html$/.exec(path);
    if (match && bodies.has(match[1]))
        return send(response, 200, 'text/html; charset=utf-8', bodies.get(match[1]));
    match = /^\/img\/(\d+)\.png$/.exec(path);
    if (match && Number(match[1]) < images.length)
        return send(response, 200, 'image/png', images[Number(match[1])]);
    send(response, 404, 'text/plain', Buffer.from('not found\n'));
});
server.keepAliveTimeout = 5000;
server.listen(0, '127.0.0.1', () => {
    process.stdout.write(`listening http://127.0.0.1:${server.address().port}\n`);
});
for (const signal of ['SIGTERM', 'SIGINT'])
    process.on(signal, () => server.close(() => process.exit(0)));
// Started by the benchmark with --exit-with-stdin: it holds our standard
// input open, so the server also goes when the benchmark dies.
if (process.argv.includes('--exit-with-stdin')) {
    process.stdin.on('end', () => process.exit(0));
    process.stdin.resume();
}
