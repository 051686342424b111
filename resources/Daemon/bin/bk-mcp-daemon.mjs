#!/usr/bin/env node
// Local approval gate: an MCP server whose one tool waits until the user decides on the phone.
// Requests go to the account's relay room; decisions come back by long polling.
import http from 'node:http';
import { randomUUID } from 'node:crypto';
import { spawn } from 'node:child_process';
import { appendFileSync, readFileSync } from 'node:fs';
import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { isInitializeRequest } from '@modelcontextprotocol/sdk/types.js';
import { z } from 'zod';

const PREFIX = 'bk-mcp-daemon: ';
const MAX_BODY = 64 * 1024;
const MAX_TITLE = 200;
const MAX_DETAIL = 4000;
const MAX_NOTE = 500;
const MAX_SESSIONS = 1000;
const POLL_WAIT_S = 25;
const MAX_BACKOFF_MS = 60_000;
const PROGRESS_EVERY_MS = 20_000;

// One line only; newlines in paths or server texts would otherwise split the message.
function log(message) {
  process.stderr.write(PREFIX + String(message).replace(/[\r\n]+/g, ' ') + '\n');
}

function fail(status, reason) {
  log(reason);
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

// A missing file means "nothing yet"; a damaged line is reported and skipped so it cannot hide the rest.
function readJsonLines(path, what) {
  if (typeof path !== 'string' || path === '') return [];
  let text;
  try {
    text = readFileSync(path, 'utf8');
  } catch (err) {
    if (err.code !== 'ENOENT') log(`cannot read ${what}: ${err.code || err.message}`);
    return [];
  }
  const objects = [];
  text.split(/\r?\n/).forEach((line, index) => {
    if (!line.trim()) return;
    try {
      const value = JSON.parse(line);
      if (value !== null && typeof value === 'object' && !Array.isArray(value)) return objects.push(value);
    } catch {
      // reported below
    }
    log(`skipped damaged line ${index + 1} of ${what}`);
  });
  return objects;
}

function appendLine(path, what, object) {
  if (typeof path !== 'string' || path === '') return;
  try {
    appendFileSync(path, JSON.stringify(object) + '\n');
  } catch (err) {
    log(`cannot append to ${what}: ${err.code || err.message}`);
  }
}

const config = loadConfig(configPath(process.argv.slice(2)));
const { host, port, room, wake_script: wakeScript } = config.mcp.confirmations;
const shownHost = host.includes(':') ? `[${host}]` : host;
const queuePath = config.queue?.path;
const receiptsPath = config.receipts?.path;
const apiKey = typeof config.poller?.api_key === 'string' ? config.poller.api_key : '';
const relayBase = (process.env.KESTROVA_RELAY_URL ?? '').replace(/\/+$/, '');
const roomUrl = `${relayBase}/api/v1/rooms/${encodeURIComponent(room ?? '')}`;

// Pending intents by id. `settle` is set while a tool call waits on it; restored ones have none.
const intents = new Map();
const outbox = []; // ids not yet accepted by the relay, oldest first
let stopping = false;

function publicView(intent) {
  const { id, time, agent, title, detail, status, expires_at } = intent;
  return { id, time, agent, title, detail, status, expires_at, caller: intent.settle ? 'waiting' : 'gone' };
}

function armExpiry(intent) {
  const left = Date.parse(intent.expires_at) - Date.now();
  // setTimeout cannot hold more than ~24.8 days; no request may wait that long anyway.
  intent.timer = setTimeout(() => decide(intent.id, 'timed_out'), Math.max(0, Math.min(left, 2 ** 31 - 1)));
}

function decide(id, status, note) {
  const intent = intents.get(id);
  if (!intent) return false;
  intents.delete(id);
  clearTimeout(intent.timer);
  const receipt = { id, time: new Date().toISOString(), status };
  if (note) receipt.note = note;
  appendLine(receiptsPath, 'receipts', receipt);
  intent.settle?.(status, note);
  return true;
}

function restorePending() {
  const decided = new Set(readJsonLines(receiptsPath, 'receipts').map((r) => r.id));
  for (const entry of readJsonLines(queuePath, 'queue')) {
    if (typeof entry.id !== 'string' || entry.status !== 'pending' || decided.has(entry.id)) continue;
    if (Number.isNaN(Date.parse(entry.expires_at))) continue;
    const intent = { ...entry };
    intents.set(intent.id, intent);
    armExpiry(intent);
    outbox.push(intent.id); // the relay may not have it yet; posting again is harmless
  }
}

function runWakeScript(id) {
  if (typeof wakeScript !== 'string' || wakeScript === '') return;
  const child = spawn(wakeScript, [id], { stdio: 'ignore', shell: false });
  child.on('error', (err) => log(`cannot run wake_script: ${err.code || err.message}`));
  child.unref();
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const backoff = (failures) => Math.min(MAX_BACKOFF_MS, 1000 * 2 ** Math.min(failures - 1, 6));

function relayHeaders() {
  return { Authorization: `Bearer ${apiKey}`, 'Content-Type': 'application/json' };
}

let posting = false;
async function pumpOutbox() {
  if (posting || !relayBase) return;
  posting = true;
  let failures = 0;
  while (outbox.length > 0 && !stopping) {
    const intent = intents.get(outbox[0]);
    if (!intent) {
      outbox.shift();
      continue;
    }
    const { id, agent, title, detail, time, expires_at } = intent;
    try {
      const res = await fetch(`${roomUrl}/intents`, {
        method: 'POST',
        headers: relayHeaders(),
        body: JSON.stringify({ id, agent, title, detail, created_at: time, expires_at }),
        signal: AbortSignal.timeout(15_000),
      });
      await res.arrayBuffer();
      if (!res.ok) throw new Error(`HTTP ${res.status}`);
      outbox.shift();
      failures = 0;
    } catch (err) {
      failures++;
      log(`relay did not take request ${id} (${err.message}); retrying in ${backoff(failures) / 1000} s`);
      await sleep(backoff(failures));
    }
  }
  posting = false;
}

function parseDecisions(body) {
  if (!body || !Array.isArray(body.decisions) || !Number.isInteger(body.next)) {
    throw new Error('malformed decisions answer');
  }
  return body;
}

// One long poll in flight while anything is pending; none at all when idle.
let polling = false;
let cursor = 0;
async function pollDecisions() {
  if (polling || !relayBase) return;
  polling = true;
  let failures = 0;
  while (intents.size > 0 && !stopping) {
    try {
      const res = await fetch(`${roomUrl}/decisions?after=${cursor}&wait=${POLL_WAIT_S}`, {
        headers: relayHeaders(),
        signal: AbortSignal.timeout((POLL_WAIT_S + 15) * 1000),
      });
      if (!res.ok) {
        await res.arrayBuffer();
        throw new Error(`HTTP ${res.status}`);
      }
      const { decisions, next } = parseDecisions(await res.json());
      for (const d of decisions) {
        if (d && (d.status === 'approved' || d.status === 'denied') && typeof d.intent_id === 'string') {
          const note = typeof d.note === 'string' ? d.note.slice(0, MAX_NOTE) : '';
          decide(d.intent_id, d.status, note);
        }
      }
      cursor = next;
      failures = 0;
    } catch (err) {
      failures++;
      log(`cannot read decisions from the relay (${err.message}); retrying in ${backoff(failures) / 1000} s`);
      await sleep(backoff(failures));
    }
  }
  polling = false;
}

function oneLine(text, max) {
  return text.replace(/\s+/g, ' ').trim().slice(0, max);
}

async function requestApproval(server, { title, detail, timeout_s: timeoutS = 300 }, extra) {
  const now = Date.now();
  const intent = {
    id: randomUUID(),
    time: new Date(now).toISOString(),
    agent: oneLine(server.server.getClientVersion()?.name ?? '', 80) || 'unknown agent',
    title: oneLine(title, MAX_TITLE),
    detail: (detail ?? '').slice(0, MAX_DETAIL),
    status: 'pending',
    expires_at: new Date(now + timeoutS * 1000).toISOString(),
  };
  appendLine(queuePath, 'queue', intent);
  const outcome = new Promise((resolve) => {
    intent.settle = (status, note) => resolve({ status, note });
  });
  intents.set(intent.id, intent);
  armExpiry(intent);
  outbox.push(intent.id);
  runWakeScript(intent.id);
  pumpOutbox();
  pollDecisions();

  // The caller hanging up leaves the request answerable from the phone; only the waiter goes.
  extra.signal.addEventListener('abort', () => {
    delete intent.settle;
  });
  const token = extra._meta?.progressToken;
  const progress = token === undefined ? undefined : setInterval(() => {
    extra.sendNotification({
      method: 'notifications/progress',
      params: { progressToken: token, progress: Date.now() - now, message: 'waiting for the user' },
    }).catch(() => {});
  }, PROGRESS_EVERY_MS);
  const { status, note } = await outcome;
  clearInterval(progress);
  const text = status === 'timed_out' ? 'timed out' : note ? `${status}: ${note}` : status;
  return { content: [{ type: 'text', text }] };
}

function newMcpServer() {
  const server = new McpServer({ name: 'kestrova-gate', version: '1.0.0' });
  server.registerTool(
    'request_approval',
    {
      title: 'Ask the user for approval',
      description:
        "Ask the user to approve an action on their phone. Waits for the user's decision and " +
        'answers "approved", "denied" (with the user\'s note when given) or "timed out".',
      inputSchema: {
        title: z.string().min(1).describe('One line saying what you want to do'),
        detail: z.string().optional().describe('More context: the command, the files, the reason'),
        timeout_s: z.number().int().min(1).max(3600).optional()
          .describe('Seconds to wait for the decision (default 300, at most 3600)'),
      },
    },
    (args, extra) => requestApproval(server, args, extra),
  );
  return server;
}

const sessions = new Map(); // session id -> transport

async function openSession() {
  if (sessions.size >= MAX_SESSIONS) {
    // The oldest session is the likeliest abandoned one.
    const [, oldest] = sessions.entries().next().value;
    await oldest.close();
  }
  const transport = new StreamableHTTPServerTransport({
    sessionIdGenerator: () => randomUUID(),
    onsessioninitialized: (id) => sessions.set(id, transport),
  });
  transport.onclose = () => sessions.delete(transport.sessionId);
  await newMcpServer().connect(transport);
  return transport;
}

function sendJson(res, status, body, headers = {}) {
  res.writeHead(status, { 'Content-Type': 'application/json', ...headers });
  res.end(JSON.stringify(body));
}

function rpcError(res, status, code, message) {
  sendJson(res, status, { jsonrpc: '2.0', error: { code, message }, id: null });
}

const LOOPBACK_NAMES = new Set(['127.0.0.1', 'localhost', '[::1]']);
const allowedHosts = new Set([...LOOPBACK_NAMES].map((name) => `${name}:${port}`));

// Web pages may reach loopback too; refusing foreign origins and hosts stops DNS rebinding.
function originAllowed(origin) {
  if (origin === undefined || origin === 'null') return true;
  try {
    const url = new URL(origin);
    return (url.protocol === 'http:' || url.protocol === 'https:') && LOOPBACK_NAMES.has(url.hostname);
  } catch {
    return false;
  }
}

// An oversized body is read to its end and dropped, so the client still gets its 413.
function readBody(req) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size <= MAX_BODY) chunks.push(chunk);
    });
    req.on('end', () => resolve(size > MAX_BODY ? undefined : Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

async function handleMcp(req, res) {
  if (!allowedHosts.has(req.headers.host ?? '') || !originAllowed(req.headers.origin)) {
    return rpcError(res, 403, -32000, 'forbidden host or origin');
  }
  let body;
  if (req.method === 'POST') {
    const text = await readBody(req);
    if (text === undefined) return rpcError(res, 413, -32000, `request body over ${MAX_BODY} bytes`);
    try {
      body = JSON.parse(text);
    } catch {
      return rpcError(res, 400, -32700, 'parse error: body is not JSON');
    }
  }
  const sessionId = req.headers['mcp-session-id'];
  let transport = typeof sessionId === 'string' ? sessions.get(sessionId) : undefined;
  if (sessionId !== undefined && !transport) return rpcError(res, 404, -32001, 'unknown session');
  if (!transport) {
    if (req.method !== 'POST' || !isInitializeRequest(body)) {
      return rpcError(res, 400, -32000, 'start a session with an initialize request');
    }
    transport = await openSession();
  }
  await transport.handleRequest(req, res, body);
}

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
  // Liveness probes may name no port; a name rebound to loopback still reads nothing.
  if (!LOOPBACK_NAMES.has((req.headers.host ?? '').replace(/:\d*$/, ''))) {
    return sendJson(res, 403, { error: 'forbidden host' });
  }
  if (req.method !== 'GET') return sendJson(res, 405, { error: 'method not allowed' }, { Allow: 'GET' });
  sendJson(res, 200, [...intents.values()].map(publicView));
});

server.on('error', (err) => {
  const reason = err.code === 'EADDRINUSE' ? 'address already in use' : err.code || err.message;
  fail(1, `cannot listen on ${shownHost}:${port}: ${reason}`);
});

function shutdown() {
  stopping = true;
  server.close(() => process.exit(0));
  // Waiting tool calls and long-lived streams would otherwise keep close() waiting.
  server.closeAllConnections?.();
  setTimeout(() => process.exit(0), 500).unref();
}
process.on('SIGTERM', shutdown);
process.on('SIGINT', shutdown);

restorePending();
server.listen(port, host, () => {
  process.stdout.write(`${PREFIX}listening on http://${shownHost}:${port}/mcp (room ${room ?? '-'})\n`);
  if (!relayBase) log('KESTROVA_RELAY_URL is not set: requests wait here until they time out');
  pumpOutbox();
  pollDecisions();
});
