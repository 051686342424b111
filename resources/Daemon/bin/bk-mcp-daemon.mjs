#!/usr/bin/env node
// Local approval gate: serves the pending intents of the queue over HTTP.
import http from 'node:http';
import { readFileSync } from 'node:fs';
import { readFile } from 'node:fs/promises';

const PREFIX = 'bk-mcp-daemon: ';

function fail(status, reason) {
  // One line only; newlines in paths would otherwise split the message.
  process.stderr.write(PREFIX + String(reason).replace(/[\r\n]+/g, ' ') + '\n');
  process.exit(status);
}

function configPath(argv) {
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--config') return argv[i + 1];
    if (argv[i].startsWith('--config=')) return argv[i].slice('--config='.length);
  }
  return undefined;
}

function loadConfig(path) {
  if (!path) fail(2, 'missing --config PATH');
  let text;
  try {
    text = readFileSync(path, 'utf8');
  } catch (err) {
    fail(2, `cannot read config ${path}: ${err.code === 'ENOENT' ? 'file not found' : err.code || err.message}`);
  }
  let config;
  try {
    config = JSON.parse(text);
  } catch {
    // The parser's message quotes the file's text, which may hold the api key.
    fail(2, `invalid JSON in config ${path}`);
  }
  if (config === null || typeof config !== 'object' || Array.isArray(config)) {
    fail(2, `config ${path} must hold a JSON object`);
  }
  const conf = config.mcp?.confirmations ?? {};
  if (typeof conf.host !== 'string' || conf.host === '') {
    fail(2, `mcp.confirmations.host must be a non-empty string in ${path}`);
  }
  if (!Number.isInteger(conf.port) || conf.port < 1 || conf.port > 65535) {
    fail(2, `mcp.confirmations.port must be an integer 1..65535 in ${path}`);
  }
  return config;
}

// Missing file means "nothing yet"; any other read error is real and surfaces.
async function readJsonLines(path) {
  if (typeof path !== 'string' || path === '') return [];
  let text;
  try {
    text = await readFile(path, 'utf8');
  } catch (err) {
    if (err.code === 'ENOENT') return [];
    throw err;
  }
  const objects = [];
  for (const line of text.split(/\r?\n/)) {
    if (!line.trim()) continue;
    try {
      const value = JSON.parse(line);
      if (value !== null && typeof value === 'object' && !Array.isArray(value)) objects.push(value);
    } catch {
      // Malformed lines are skipped so one bad write cannot hide the rest.
    }
  }
  return objects;
}

async function pendingIntents(config) {
  const queue = await readJsonLines(config.queue?.path);
  if (queue.length === 0) return [];
  const receipts = await readJsonLines(config.receipts?.path);
  const done = new Set(receipts.filter((r) => Object.hasOwn(r, 'id')).map((r) => r.id));
  return queue.filter((entry) =>
    (!Object.hasOwn(entry, 'status') || entry.status === 'pending') &&
    !(Object.hasOwn(entry, 'id') && done.has(entry.id)));
}

function send(res, status, body, headers = {}) {
  res.writeHead(status, { 'Content-Type': 'application/json', ...headers });
  res.end(JSON.stringify(body));
}

const config = loadConfig(configPath(process.argv.slice(2)));
const { host, port, room } = config.mcp.confirmations;
const shownHost = host.includes(':') ? `[${host}]` : host;

const server = http.createServer((req, res) => {
  const pathname = (req.url ?? '').split('?')[0];
  if (pathname !== '/intents') return send(res, 404, { error: 'not found' });
  if (req.method !== 'GET') return send(res, 405, { error: 'method not allowed' }, { Allow: 'GET' });
  pendingIntents(config).then(
    (entries) => send(res, 200, entries),
    (err) => {
      process.stderr.write(`${PREFIX}cannot read queue or receipts: ${err.code || err.message}\n`);
      send(res, 500, { error: 'cannot read queue' });
    });
});

server.on('error', (err) => {
  const reason = err.code === 'EADDRINUSE' ? 'address already in use' : err.code || err.message;
  fail(1, `cannot listen on ${shownHost}:${port}: ${reason}`);
});

function shutdown() {
  server.close(() => process.exit(0));
  // Open or half-sent requests would otherwise keep close() waiting.
  server.closeAllConnections?.();
  setTimeout(() => process.exit(0), 500).unref();
}
process.on('SIGTERM', shutdown);
process.on('SIGINT', shutdown);

server.listen(port, host, () => {
  process.stdout.write(`${PREFIX}listening on http://${shownHost}:${port} (room ${room ?? '-'})\n`);
});
