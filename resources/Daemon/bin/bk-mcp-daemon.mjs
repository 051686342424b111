#!/usr/bin/env node
// Local approval gate: an MCP server whose one tool waits until the user decides on the phone.
// Requests go to the account's relay room; decisions come back by long polling.
import http from 'node:http';
import { loadSettings } from '../lib/config.mjs';
import { hostIsLoopback, rpcError, sendJson } from '../lib/guards.mjs';
import { Intents } from '../lib/intents.mjs';
import { announce, fail, log } from '../lib/log.mjs';
import { mcpHandler } from '../lib/mcp.mjs';
import { Relay } from '../lib/relay.mjs';

const settings = loadSettings(process.argv.slice(2), process.env);
const { host, port, room, relayBase } = settings;
const shownHost = host.includes(':') ? `[${host}]` : host;
const intents = new Intents(settings);
const relay = new Relay(settings, intents);
const handleMcp = mcpHandler(settings, intents, relay);

const server = http.createServer((req, res) => {
  const pathname = (req.url ?? '').split('?')[0];
  if (pathname === '/mcp') {
    handleMcp(req, res).catch((err) => {
      log(`mcp request failed: ${err.message}`);
      if (!res.headersSent) rpcError(res, 500, -32603, 'internal error');
      else res.end();
    });
    return;
  }
  if (pathname !== '/intents') return sendJson(res, 404, { error: 'not found' });
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
  server.close(() => process.exit(0));
  // Waiting tool calls and long-lived streams would otherwise keep close() waiting.
  server.closeAllConnections?.();
  setTimeout(() => process.exit(0), 500).unref();
}
process.on('SIGTERM', shutdown);
process.on('SIGINT', shutdown);

for (const id of intents.restore()) relay.post(id); // the relay may not have them yet
server.listen(port, host, () => {
  announce(`listening on http://${shownHost}:${port}/mcp (room ${room ?? '-'})`);
  if (!relayBase) log('KESTROVA_RELAY_URL is not set: requests wait here until they time out');
  relay.start();
});
