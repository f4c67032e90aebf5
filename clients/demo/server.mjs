// server.mjs -- serves the Kestrovan demo page (and the page library it
// loads) from its own origin, so the page talks to the service cross-origin
// as a real site does. Plain node, no dependencies; serves a fixed list of
// files and nothing else.
//
//   node clients/demo/server.mjs [--host 127.0.0.1] [--port 8480] [--exit-with-parent [PID]]
//
// Prints "Demo page: http://HOST:PORT/" once it listens. Port 0 picks a free
// port. Ctrl-C (or SIGTERM) stops it; with --exit-with-parent it also stops
// when the process that started it ends (the run command starts it and then
// becomes the service). Name that process's PID: one that ended before this
// server looked at its parent would otherwise go unnoticed.
import http from 'node:http';
import { readFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const here = path.dirname(fileURLToPath(import.meta.url));
const files = new Map([
  ['/', [path.join(here, 'index.html'), 'text/html; charset=utf-8']],
  ['/index.html', [path.join(here, 'index.html'), 'text/html; charset=utf-8']],
  ['/demo.js', [path.join(here, 'demo.js'), 'text/javascript; charset=utf-8']],
  ['/demo.css', [path.join(here, 'demo.css'), 'text/css; charset=utf-8']],
  ['/kestrovan.js', [path.join(here, '..', 'js', 'kestrovan.js'), 'text/javascript; charset=utf-8']],
]);

function option(name, fallback) {
  const i = process.argv.indexOf(name);
  return i > 0 && i + 1 < process.argv.length ? process.argv[i + 1] : fallback;
}

const host = option('--host', process.env.KESTROVAN_DEMO_HOST || '127.0.0.1');
const port = Number(option('--port', process.env.KESTROVAN_DEMO_PORT || '8480'));
if (!Number.isInteger(port) || port < 0 || port > 65535) {
  console.error(`server.mjs: not a port: ${option('--port', process.env.KESTROVAN_DEMO_PORT)}`);
  process.exit(2);
}

// The path of the request line as sent, without query: no URL parsing, which
// would throw on some request lines and read "//name" as a host.
function pathOf(target) {
  const end = target.search(/[?#]/);
  return end < 0 ? target : target.slice(0, end);
}

const server = http.createServer((req, res) => {
  serve(req, res).catch((error) => {
    // Nothing a request sends may end the server.
    if (!res.headersSent) res.writeHead(500, { 'Content-Type': 'text/plain; charset=utf-8' }).end(`${error.message}\n`);
    else res.destroy();
  });
});

async function serve(req, res) {
  const entry = files.get(pathOf(req.url));
  if (req.method !== 'GET' && req.method !== 'HEAD') {
    res.writeHead(405, { Allow: 'GET, HEAD' }).end();
    return;
  }
  if (!entry) {
    res.writeHead(404, { 'Content-Type': 'text/plain; charset=utf-8' }).end('Not found\n');
    return;
  }
  try {
    const body = await readFile(entry[0]);
    res.writeHead(200, {
      'Content-Type': entry[1],
      'Content-Length': body.length,
      'Cache-Control': 'no-store',
      'X-Content-Type-Options': 'nosniff',
      'Content-Security-Policy': "default-src 'self'; connect-src https://127.0.0.1:* https://localhost:*",
      'Referrer-Policy': 'strict-origin-when-cross-origin',
    });
    res.end(req.method === 'HEAD' ? undefined : body);
  } catch (error) {
    res.writeHead(500, { 'Content-Type': 'text/plain; charset=utf-8' }).end(`${error.message}\n`);
  }
}

server.on('error', (error) => {
  console.error(`server.mjs: ${error.message}`);
  process.exit(1);
});
server.listen(port, host, () => {
  const address = server.address();
  const shown = address.family === 'IPv6' ? `[${address.address}]` : address.address;
  console.log(`Demo page: http://${shown}:${address.port}/`);
});
function stop() {
  server.close(() => process.exit(0));
  server.closeAllConnections();
}
// True while pid names a live process of this user (a pid reused by another
// user's process reads as gone).
function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

const withParent = process.argv.indexOf('--exit-with-parent');
if (withParent > 0) {
  const named = process.argv[withParent + 1];
  if (named !== undefined && /^[0-9]+$/.test(named)) {
    const parent = Number(named);
    const check = () => { if (!alive(parent)) stop(); };
    check();
    setInterval(check, 1000).unref();
  } else {
    const parent = process.ppid;
    setInterval(() => { if (process.ppid !== parent) stop(); }, 1000).unref();
  }
}
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, stop);
}
