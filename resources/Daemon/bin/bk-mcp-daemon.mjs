#!/usr/bin/env node
// Local approval gate: coding agents ask it, as an MCP tool or from their permission hooks, and it
// waits until the user decides on the phone or the desktop. Requests go to the account's relay
// room; decisions come back by long polling. docs/gate-hooks.md describes the HTTP interface.
import http from 'node:http';
import { loadSettings } from '../lib/config.mjs';
import { desktopDecisions } from '../lib/desktop.mjs';
import { eventStream } from '../lib/events.mjs';
import { hostAllowed, hostIsLoopback, originAllowed, rpcError, secretCheck, sendJson } from '../lib/guards.mjs';
import { hooksHandler } from '../lib/hooks.mjs';
import { Intents } from '../lib/intents.mjs';
import { announce, fail, log } from '../lib/log.mjs';
import { mcpHandler } from '../lib/mcp.mjs';
import { Relay } from '../lib/relay.mjs';

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
intents.on('ended', (intent, { status, note }) => status === 'withdrawn' && relay.withdraw(intent.id, note));

function route(req, res) {
  const pathname = (req.url ?? '').split('?')[0];
  const method = (allowed, handle) => (req.method === allowed ? handle()
    : sendJson(res, 405, { error: 'method not allowed' }, { Allow: allowed }));
  if (!originAllowed(req.headers.origin)) return sendJson(res, 403, { error: 'forbidden origin' });
  if (pathname === '/intents') {
    // Liveness probes may name no port and carry no secret; a name rebound to loopback still reads nothing.
    if (!hostIsLoopback(req.headers.host)) return sendJson(res, 403, { error: 'forbidden host' });
    return method('GET', () => sendJson(res, 200, hasSecret(req) ? intents.list() : []));
  }
  if (!hostAllowed(req.headers.host ?? '', port)) return sendJson(res, 403, { error: 'forbidden host' });
  if (!hasSecret(req)) {
    const why = "the user's secret is missing: send Authorization: Bearer <secret>";
    return pathname === '/mcp' ? rpcError(res, 401, -32001, why) : sendJson(res, 401, { error: why });
  }
  const [, hook] = pathname.match(/^\/hooks\/([^/]+)$/) ?? [];
  const [, decided] = pathname.match(/^\/intents\/([^/]+)\/decision$/) ?? [];
  if (pathname === '/mcp') return handleMcp(req, res);
  if (hook) return method('POST', () => handleHook(req, res, hook));
  if (decided) return method('POST', () => decideOnDesktop(req, res, decided));
  if (pathname === '/events') return method('GET', () => openEvents(res));
  sendJson(res, 404, { error: 'not found' });
}

const server = http.createServer((req, res) => {
  Promise.resolve().then(() => route(req, res)).catch((err) => {
    log(`${req.method} ${(req.url ?? '').split('?')[0]} failed: ${err.message}`);
    if (!res.headersSent) sendJson(res, 500, { error: 'internal error' });
    else res.end();
  });
});

server.on('error', (err) => {
  const reason = err.code === 'EADDRINUSE' ? 'address already in use' : err.code || err.message;
  fail(1, `cannot listen on ${shownHost}:${port}: ${reason}`);
});

function shutdown() {
  relay.stop();
  intents.answerAll({ status: 'restarting', by: 'gate' });
  openEvents.closeAll();
  server.close(() => process.exit(0));
  // The answers go out first; long-lived streams would then keep close() waiting.
  setTimeout(() => server.closeAllConnections(), 100).unref();
  setTimeout(() => process.exit(0), 1000).unref();
}
process.on('SIGTERM', shutdown);
process.on('SIGINT', shutdown);

for (const id of intents.restore()) relay.withdraw(id, 'the gate restarted while it waited');
server.listen(port, host, () => {
  announce(`listening on http://${shownHost}:${port}/mcp (room ${room})`);
  if (!relayBase) log('KESTROVA_RELAY_URL is not set: requests wait here until they time out');
  relay.start();
});
