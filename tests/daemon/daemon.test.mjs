// The real gate against the real devstack relay, driven with the MCP SDK's own client.
// KESTROVA_DAEMON: the built daemon (its node_modules beside it); KESTROVA_DEVSTACK: the devstack.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { appendFile, chmod, mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const daemonPath = process.env.KESTROVA_DAEMON;
const sdk = (p) => import(pathToFileURL(path.join(path.dirname(daemonPath), '..', 'node_modules',
  '@modelcontextprotocol/sdk/dist/esm', p)).href);
const { Client } = await sdk('client/index.js');
const { StreamableHTTPClientTransport } = await sdk('client/streamableHttp.js');

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(what, probe) {
  for (let i = 0; i < 300; i++) {
    const value = await probe();
    if (value) return value;
    await sleep(50);
  }
  throw new Error(`never happened: ${what}`);
}

function run(command, args, env = {}) {
  const child = spawn(command, args, { env: { ...process.env, ...env } });
  const out = { text: '' };
  for (const stream of [child.stdout, child.stderr]) stream.setEncoding('utf8').on('data', (d) => { out.text += d; });
  const exited = new Promise((resolve) => child.on('close', (code) => resolve(code)));
  return { child, out, exited };
}

const devstack = run(process.env.KESTROVA_DEVSTACK, ['--port', '0', '--auto-approve']);
const relay = `http://127.0.0.1:${(await until('devstack', () => devstack.out.text.match(/relay=http:\/\/127\.0\.0\.1:(\d+)/)))[1]}`;

async function http(url, { method = 'GET', body, headers = {}, key } = {}) {
  if (key) headers.Authorization = `Bearer ${key}`;
  const res = await fetch(url, { method, body, headers, redirect: 'manual' });
  const text = await res.text();
  return { status: res.status, headers: res.headers, text, json: () => JSON.parse(text) };
}

// The same sign-in the helper does: PKCE at the Google stand-in, then the relay's key and room.
async function signIn() {
  const verifier = randomBytes(32).toString('base64url');
  const challenge = createHash('sha256').update(verifier).digest('base64url');
  const client = 'devstack-desktop.apps.googleusercontent.com';
  const redirect = 'http://127.0.0.1/callback';
  const auth = await http(`${relay}/o/oauth2/v2/auth?` + new URLSearchParams({ client_id: client,
    redirect_uri: redirect, response_type: 'code', scope: 'openid', code_challenge: challenge,
    code_challenge_method: 'S256', state: 's' }));
  const code = new URL(auth.headers.get('location')).searchParams.get('code');
  const form = new URLSearchParams({ grant_type: 'authorization_code', code, code_verifier: verifier,
    client_id: client, redirect_uri: redirect });
  const token = await http(`${relay}/token`, { method: 'POST', body: form,
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' } });
  const account = await http(`${relay}/api/v1/relay/auth`, { method: 'POST',
    body: JSON.stringify({ google_id_token: token.json().id_token }), headers: { 'Content-Type': 'application/json' } });
  return account.json();
}
const { api_key: KEY, personal_room: ROOM } = await signIn();
const roomUrl = `${relay}/api/v1/rooms/${ROOM}`;

// Sits between gate and relay so a test can take the relay off the network and bring it back.
const proxy = { server: null, sockets: new Set(), port: 0 };
async function relayUp() {
  proxy.server = net.createServer((socket) => {
    const upstream = net.connect(Number(new URL(relay).port), '127.0.0.1');
    for (const s of [socket, upstream]) { proxy.sockets.add(s); s.on('error', () => {}); }
    socket.pipe(upstream).pipe(socket);
  });
  proxy.server.listen(proxy.port, '127.0.0.1');
  await once(proxy.server, 'listening');
  proxy.port = proxy.server.address().port;
}
function relayDown() {
  proxy.server.close();
  for (const s of proxy.sockets) s.destroy();
  proxy.sockets.clear();
}

let dir;
let gatePort;
before(async () => {
  await relayUp();
  dir = await mkdtemp(path.join(os.tmpdir(), 'kestrova-gate-'));
  const wake = path.join(dir, 'wake.sh');
  await writeFile(wake, `#!/bin/sh\necho "$1" >> '${dir}/woken'\n`);
  await chmod(wake, 0o755);
  const probe = net.createServer().listen(0, '127.0.0.1');
  await once(probe, 'listening');
  gatePort = probe.address().port;
  probe.close();
  await writeFile(path.join(dir, 'config.json'), JSON.stringify({
    queue: { path: path.join(dir, 'queue.jsonl') },
    receipts: { path: path.join(dir, 'receipts.jsonl') },
    poller: { api_key: KEY },
    mcp: { confirmations: { port: gatePort, host: '127.0.0.1', room: ROOM, wake_script: wake } },
  }));
});
after(async () => {
  devstack.child.kill('SIGTERM');
  relayDown();
  await rm(dir, { recursive: true, force: true });
});

let gate;
async function startGate() {
  gate = run(process.execPath, [daemonPath, '--config', path.join(dir, 'config.json')],
    { KESTROVA_RELAY_URL: `http://127.0.0.1:${proxy.port}` });
  await until('gate listening', () => gate.out.text.includes('listening'));
  return gate;
}
async function stopGate() {
  gate.child.kill('SIGTERM');
  assert.equal(await gate.exited, 0);
  assert.ok(!gate.out.text.includes(KEY.slice(3, 12)), 'the key leaked into the output');
}

const gateUrl = (p) => `http://127.0.0.1:${gatePort}${p}`;
async function agent(name) {
  const client = new Client({ name, version: '1.0' });
  await client.connect(new StreamableHTTPClientTransport(new URL(gateUrl('/mcp'))));
  return client;
}
const ask = (client, args) => client.callTool({ name: 'request_approval', arguments: args }, undefined,
  { timeout: 120_000 }).then((r) => r.content[0].text, (e) => `rejected: ${e.message}`);
const pendingAt = (where, title) => until(`"${title}" pending at the ${where}`, async () => {
  const res = where === 'relay' ? (await http(`${roomUrl}/intents?status=pending`, { key: KEY })).json().intents
    : (await http(gateUrl('/intents'))).json();
  return res.find((i) => i.title === title);
});
const decide = (id, status, note) => http(`${roomUrl}/intents/${id}/decision`, { method: 'POST', key: KEY,
  body: JSON.stringify(note === undefined ? { status } : { status, note }) });
const jsonLines = async (name) => (await readFile(path.join(dir, name), 'utf8')).trim().split('\n').map((l) => JSON.parse(l));

test('requests reach the phone and its decisions come back', async () => {
  await startGate();
  const claude = await agent('claude-code');
  const cases = [
    { title: 'run  rm -rf build\n(twice)', shown: 'run rm -rf build (twice)', status: 'approved', answer: 'approved' },
    { title: 'push to main', detail: 'git push origin main', status: 'denied', note: 'not on main', answer: 'denied: not on main' },
    { title: 'deploy', status: 'denied', answer: 'denied' },
  ];
  for (const c of cases) {
    const answer = ask(claude, { title: c.title, detail: c.detail });
    const intent = await pendingAt('relay', c.shown ?? c.title);
    assert.equal(intent.agent, 'claude-code');
    assert.equal((await pendingAt('gate', c.shown ?? c.title)).caller, 'waiting');
    assert.equal((await decide(intent.id, c.status, c.note)).status, 200);
    assert.equal(await answer, c.answer);
    assert.equal((await decide(intent.id, 'approved')).status, 409, 'a second decision');
    const receipt = (await jsonLines('receipts.jsonl')).find((r) => r.id === intent.id);
    assert.deepEqual([receipt.status, receipt.note ?? ''], [c.status, c.note ?? '']);
  }
  assert.equal((await decide('no-such-id', 'approved')).status, 404);
  assert.equal(await ask(claude, { title: 'wait briefly', timeout_s: 1 }), 'timed out');

  // Two at once, decided in reverse order: each answer reaches its own caller.
  const codex = await agent('codex');
  const first = ask(claude, { title: 'first' });
  const second = ask(codex, { title: 'second' });
  const [a, b] = [await pendingAt('relay', 'first'), await pendingAt('relay', 'second')];
  assert.equal(b.agent, 'codex');
  await decide(b.id, 'denied', 'later');
  assert.equal(await second, 'denied: later');
  await decide(a.id, 'approved');
  assert.equal(await first, 'approved');

  const queue = await jsonLines('queue.jsonl');
  assert.deepEqual(Object.keys(queue[0]).sort(), ['agent', 'detail', 'expires_at', 'id', 'status', 'time', 'title']);
  assert.equal(queue.length, cases.length + 3);
  const woken = (await readFile(path.join(dir, 'woken'), 'utf8')).trim().split('\n');
  assert.deepEqual(woken, queue.map((q) => q.id));
  assert.deepEqual((await http(gateUrl('/intents'))).json(), []);
  for (const file of ['queue.jsonl', 'receipts.jsonl']) {
    assert.ok(!(await readFile(path.join(dir, file), 'utf8')).includes(KEY), `key in ${file}`);
  }
  await claude.close();
  await codex.close();
});

test('bad input gets a clear error and the gate keeps serving', async () => {
  const client = await agent('gemini-cli');
  const { tools } = await client.listTools();
  assert.deepEqual(tools.map((t) => [t.name, Object.keys(t.inputSchema.properties)]),
    [['request_approval', ['title', 'detail', 'timeout_s']]]);
  const toolErrors = [
    [{ name: 'no_such_tool', arguments: {} }, /not found/],
    ...[-1, 'abc', 3601, 2.5].map((t) => [{ name: 'request_approval', arguments: { title: 'x', timeout_s: t } }, /timeout_s/]),
    [{ name: 'request_approval', arguments: {} }, /title/],
  ];
  for (const [call, message] of toolErrors) {
    const result = await client.callTool(call);
    assert.equal(result.isError, true, JSON.stringify(call));
    assert.match(result.content[0].text, message);
  }
  const init = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize', params: {
    protocolVersion: '2025-03-26', capabilities: {}, clientInfo: { name: 'raw', version: '1' } } });
  const mcpHeaders = { 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream' };
  const host = `127.0.0.1:${gatePort}`;
  const raw = [
    { why: 'foreign origin', headers: { Origin: 'http://evil.example' }, status: 403 },
    { why: 'rebinding origin', headers: { Origin: 'http://127.0.0.1.evil.example' }, status: 403 },
    { why: 'rebound host', headers: { Host: `evil.example:${gatePort}` }, status: 403 },
    { why: 'rebound host reading /intents', line: 'GET /intents', headers: { Host: 'evil.example' }, status: 403 },
    { why: 'loopback origin', headers: { Origin: 'http://localhost:5173' }, status: 200 },
    { why: 'null origin', headers: { Origin: 'null', Host: `localhost:${gatePort}` }, status: 200 },
    { why: 'not JSON', body: '{"jsonrpc": "2.0", "id": 1, "method"', status: 400, code: -32700 },
    { why: 'no session', body: '{"jsonrpc":"2.0","id":1,"method":"tools/list"}', status: 400 },
    { why: 'unknown session', headers: { 'mcp-session-id': 'nope' }, status: 404 },
    { why: 'oversized body', body: JSON.stringify({ pad: 'x'.repeat(65 * 1024) }), status: 413 },
    { why: 'a 1 MB title', body: JSON.stringify({ jsonrpc: '2.0', id: 2, method: 'tools/call',
      params: { name: 'request_approval', arguments: { title: 't'.repeat(1 << 20) } } }), status: 413 },
  ];
  for (const r of raw) {
    // node's fetch will not send a Host of our choosing, so these go over a raw socket.
    const headers = { Host: host, ...mcpHeaders, ...r.headers };
    const body = Buffer.from(r.body ?? init);
    const socket = net.connect(gatePort, '127.0.0.1');
    socket.end(`${r.line ?? 'POST /mcp'} HTTP/1.1\r\n${Object.entries(headers).map(([k, v]) => `${k}: ${v}\r\n`).join('')}` +
      `Content-Length: ${body.length}\r\nConnection: close\r\n\r\n${body}`);
    let reply = '';
    for await (const chunk of socket.setEncoding('utf8')) reply += chunk;
    assert.equal(Number(reply.split(' ')[1]), r.status, r.why);
    if (r.code) assert.match(reply, new RegExp(`"code":${r.code}`), r.why);
  }
  assert.equal((await client.listTools()).tools.length, 1);
  assert.equal((await http(gateUrl('/intents'))).status, 200);
  await client.close();
});

test('a pending request survives a gate restart and a relay outage', async () => {
  const claude = await agent('claude-code');
  const orphan = ask(claude, { title: 'survive me', timeout_s: 600 });
  const posted = await pendingAt('relay', 'survive me');
  await stopGate();
  await claude.close(); // the SDK's client would otherwise wait for its own time-out
  assert.match(await orphan, /^rejected/);
  await appendFile(path.join(dir, 'queue.jsonl'), '{"id": "broken\n');

  relayDown();
  await startGate();
  assert.equal((await pendingAt('gate', 'survive me')).caller, 'gone');
  assert.match(gate.out.text, /skipped damaged line \d+ of queue/);
  const client = await agent('codex');
  const answer = ask(client, { title: 'while the relay is down' });
  await until('a failed relay call', () => gate.out.text.includes('retrying'));
  await relayUp();

  const fresh = await pendingAt('relay', 'while the relay is down');
  await decide(fresh.id, 'approved');
  assert.equal(await answer, 'approved');
  await decide(posted.id, 'denied');
  await until('the restored request decided', async () => (await http(gateUrl('/intents'))).json().length === 0);
  assert.equal((await jsonLines('receipts.jsonl')).filter((r) => r.id === posted.id).length, 1);
  await client.close();
  await stopGate();
});
