#!/usr/bin/env node
// Local approval gate: an MCP server whose one tool waits until the user decides on the phone.
// Requests go to the account's relay room; decisions come back by long polling.
import http from 'node:http';
import { loadSettings } from '../lib/config.mjs';
import { hostAllowed, hostIsLoopback, originAllowed, rpcError, sendJson } from '../lib/guards.mjs';
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
intents.on('added', (intent) => relay.post(intent.id));
intents.on('ended', (intent, { status, note }) => status === 'withdrawn' && relay.withdraw(intent.id, note));

const server = http.createServer((req, res) => {
  const pathname = (req.url ?? '').split('?')[0];
  if (!originAllowed(req.headers.origin)) return sendJson(res, 403, { error: 'forbidden origin' });
  if (pathname === '/mcp') {
    if (!hostAllowed(req.headers.host ?? '', port)) return rpcError(res, 403, -32000, 'forbidden host');
    handleMcp(req, res).catch((err) => {
      log(`mcp request failed: ${err.message}`);
      if (!res.headersSent) rpcError(res, 500, -32603, 'internal error');
      else res.end();
    });
    return;
  }
  if (pathname !== '/intents') return sendJson(res, 404, { error: 'not found' });
  // Liveness probes may name no port; a name rebound to loopback still reads nothing.
  if (!hostIsLoopback(req.headers.host)) return sendJson(res, 403, { error: 'forbidden host' });
  if (req.method !== 'GET') return sendJson(res, 405, { error: 'method not allowed' }, { Allow: 'GET' });
  sendJson(res, 200, intents.list());
});

server.on('error', (err) => {
  const reason = err.code === 'EADDRINUSE' ? 'address already in use' : err.code || err.message;
  fail(1, `cannot listen on ${shownHost}:${port}: ${reason}`);
});

function shutdown() {
  relay.stop();
  intents.answerAll({ status: 'restarting', by: 'gate' });
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
