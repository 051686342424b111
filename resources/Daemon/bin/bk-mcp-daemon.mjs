#!/usr/bin/env node
// Local approval gate: coding agents ask it, as an MCP tool or from their permission hooks, and it
// waits until the user decides on the phone or the desktop. Requests go to the account's relay
// room; decisions come back by long polling. docs/gate-hooks.md describes its sockets and HTTP.
import http from 'node:http';
import path from 'node:path';
import { loadSettings } from '../lib/config.mjs';
import { desktopDecisions } from '../lib/desktop.mjs';
import { eventStream } from '../lib/events.mjs';
import { hostAllowed, hostIsLoopback, originAllowed, rpcError, secretCheck, sendJson } from '../lib/guards.mjs';
import { hooksHandler } from '../lib/hooks.mjs';
import { Intents } from '../lib/intents.mjs';
import { announce, fail, log } from '../lib/log.mjs';
import { mcpHandler } from '../lib/mcp.mjs';
import { Relay } from '../lib/relay.mjs';
import { gateFolder, listenAt, loadPeerCheck, peerCheckedServer } from '../lib/sockets.mjs';

// The log writer may end before the gate does: a closed pipe must not end the gate with it.
for (const stream of [process.stdout, process.stderr]) stream.on('error', () => {});

let samePeer;
try {
  samePeer = loadPeerCheck();
} catch (err) {
  fail(1, `cannot load the peer check of the gate's sockets (${err.message}): serving nothing`);
}
const settings = loadSettings(process.argv.slice(2), process.env);
const { host, port, room, relayBase } = settings;
const shownHost = host.includes(':') ? `[${host}]` : host;
const intents = new Intents(settings);
const relay = new Relay(settings, intents);
const handleMcp = mcpHandler(settings, intents);
const handleHook = hooksHandler(settings, intents);
const decideOnDesktop = desktopDecisions(intents, relay);
const openEvents = eventStream(intents);
const hasSecret = secretCheck(settings.secret);
intents.on('added', (intent) => relay.post(intent.id));
intents.on('owed', (withdrawal) => relay.withdraw(withdrawal));

const allow = (req, res) => (allowed, handle) => (req.method === allowed ? handle()
  : sendJson(res, 405, { error: 'method not allowed' }, { Allow: allowed }));
// What answers a request or shows the live list, if the path names it: only ever on the socket.
function answering(pathname) {
  const [, hook] = pathname.match(/^\/hooks\/([^/]+)$/) ?? [];
  const [, decided] = pathname.match(/^\/intents\/([^/]+)\/decision$/) ?? [];
  if (hook) return (req, res) => allow(req, res)('POST', () => handleHook(req, res, hook));
  if (decided) return (req, res) => allow(req, res)('POST', () => decideOnDesktop(req, res, decided));
  if (pathname === '/events') return (req, res) => allow(req, res)('GET', () => openEvents(res));
  return undefined;
}

function route(req, res) {
  const pathname = (req.url ?? '').split('?')[0];
  const method = allow(req, res);
  if (!originAllowed(req.headers.origin)) return sendJson(res, 403, { error: 'forbidden origin' });
  if (pathname === '/intents') {
    // Liveness only: probes may name no port and carry no secret; the list is on the socket.
    if (!hostIsLoopback(req.headers.host)) return sendJson(res, 403, { error: 'forbidden host' });
    return method('GET', () => sendJson(res, 200, []));
  }
  if (!hostAllowed(req.headers.host ?? '', port)) return sendJson(res, 403, { error: 'forbidden host' });
  // The secret has been where others could read it: over TCP it can at most add a request.
  if (answering(pathname)) return sendJson(res, 403, { error: "answers and the live list need the gate's socket" });
  if (!hasSecret(req)) {
    const why = "the user's secret is missing: send Authorization: Bearer <secret>";
    return pathname === '/mcp' ? rpcError(res, 401, -32001, why) : sendJson(res, 401, { error: why });
  }
  if (pathname === '/mcp') return handleMcp(req, res);
  sendJson(res, 404, { error: 'not found' });
}

// The gate's socket: only this user's programs reach it (the folder's mode, the peer check), so
// it asks for no secret; browsers cannot reach it at all.
function routeLocal(req, res) {
  const pathname = (req.url ?? '').split('?')[0];
  if (pathname === '/intents') return allow(req, res)('GET', () => sendJson(res, 200, intents.list()));
  const answer = answering(pathname);
  return answer ? answer(req, res) : sendJson(res, 404, { error: 'not found' });
}

const serving = (routes) => (req, res) => {
  Promise.resolve().then(() => routes(req, res)).catch((err) => {
    log(`${req.method} ${(req.url ?? '').split('?')[0]} failed: ${err.message}`);
    if (!res.headersSent) sendJson(res, 500, { error: 'internal error' });
    else res.end();
  });
};
const server = http.createServer(serving(route));
const local = http.createServer(serving(routeLocal));
const localConnections = new Set();
const gateSocket = peerCheckedServer(samePeer, (socket) => {
  localConnections.add(socket.on('close', () => localConnections.delete(socket)));
  local.emit('connection', socket);
  socket.resume();
});
const mcpSocket = peerCheckedServer(samePeer, (socket) => handleMcp.serveStream(socket).catch((err) => {
  log(`an MCP connection failed: ${err.message}`);
  socket.destroy();
}), { allowHalfOpen: true });

// The helper kills a gate that has not ended 5 s after its SIGTERM.
const SHUTDOWN_WINDOW_MS = 3000;
let stopping = false;
async function shutdown() {
  if (stopping) return;
  stopping = true;
  relay.stop();
  // Withdrawn at once: the phone must not approve what nobody would act on.
  intents.stopAll();
  openEvents.closeAll();
  server.close();
  gateSocket.close();
  mcpSocket.close();
  // The answers go out first; long-lived streams would then keep close() waiting.
  setTimeout(() => {
    server.closeAllConnections();
    localConnections.forEach((socket) => socket.destroy());
    handleMcp.closeAll();
  }, 100).unref();
  // What the relay has not taken by then stays owed, for the next start.
  await relay.settled(SHUTDOWN_WINDOW_MS);
  process.exit(0);
}

// The port and the sockets are taken before any file is read: a second gate on the same config
// ends here, and leaves the first one's requests alone.
async function start() {
  await new Promise((resolve) => {
    server.on('error', (err) => {
      const reason = err.code === 'EADDRINUSE' ? 'address already in use' : err.code || err.message;
      fail(1, `cannot listen on ${shownHost}:${port}: ${reason}`);
    }).listen(port, host, resolve);
  });
  const folder = gateFolder(process.env);
  if (folder.folder) {
    for (const [socketServer, name] of [[gateSocket, 'gate.sock'], [mcpSocket, 'mcp.sock']]) {
      const file = path.join(folder.folder, name);
      await listenAt(socketServer, file).catch((err) => fail(1, `cannot listen on ${file}: ${err.message}`));
    }
  } else {
    log(`${folder.why}: serving on TCP only`);
  }
  process.on('SIGTERM', shutdown);
  process.on('SIGINT', shutdown);
  intents.restore();
  announce(`listening on http://${shownHost}:${port}/mcp${folder.folder ? ` and in ${folder.folder}` : ''} (room ${room})`);
  if (!relayBase) log('KESTROVA_RELAY_URL is not set: requests wait here until they time out');
  relay.start();
}
start();
