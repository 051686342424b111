// The real gate against the real devstack relay, driven with the MCP SDK's own client.
// KESTROVA_DAEMON: the built daemon (its node_modules beside it); KESTROVA_DEVSTACK: the devstack.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { appendFile, mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const daemonPath = process.env.KESTROVA_DAEMON;
const sdk = (p) => import(pathToFileURL(path.join(path.dirname(daemonPath), '..', 'node_modules',
  '@modelcontextprotocol/sdk/dist/esm', p)).href);
const [{ Client }, { StreamableHTTPClientTransport }] = await Promise.all([sdk('client/index.js'), sdk('client/streamableHttp.js')]);

async function until(what, probe) { // about 15 s
  for (let i = 0, value; i < 300; i++, await new Promise((r) => setTimeout(r, 50))) if ((value = await probe())) return value;
  throw new Error(`never happened: ${what}`);
}
function run(command, args, env = {}) {
  const child = spawn(command, args, { env: { ...process.env, ...env } });
  const out = { text: '' };
  for (const stream of [child.stdout, child.stderr]) stream.setEncoding('utf8').on('data', (d) => { out.text += d; });
  return { child, out, exited: new Promise((resolve) => child.on('close', resolve)) };
}
async function http(url, { method = 'GET', body, headers = {}, key } = {}) {
  if (key) headers.Authorization = `Bearer ${key}`;
  const res = await fetch(url, { method, body, headers, redirect: 'manual' });
  return Object.assign(res, { json: JSON.parse.bind(null, await res.text()) });
}

const devstack = run(process.env.KESTROVA_DEVSTACK, ['--port', '0', '--auto-approve']);
const relay = `http://127.0.0.1:${(await until('devstack', () => devstack.out.text.match(/relay=http:\/\/127\.0\.0\.1:(\d+)/)))[1]}`;
// The same sign-in the helper does: PKCE at the Google stand-in, then the relay's key and room.
const verifier = randomBytes(32).toString('base64url');
const app = { client_id: 'devstack-desktop.apps.googleusercontent.com', redirect_uri: 'http://127.0.0.1/callback' };
const auth = await http(`${relay}/o/oauth2/v2/auth?` + new URLSearchParams({ ...app, response_type: 'code', scope: 'openid',
  code_challenge: createHash('sha256').update(verifier).digest('base64url'), code_challenge_method: 'S256', state: 's' }));
const code = new URL(auth.headers.get('location')).searchParams.get('code');
const token = await http(`${relay}/token`, { method: 'POST',
  body: new URLSearchParams({ ...app, grant_type: 'authorization_code', code, code_verifier: verifier }) });
const { api_key: KEY, personal_room: ROOM } = (await http(`${relay}/api/v1/relay/auth`, { method: 'POST',
  body: JSON.stringify({ google_id_token: token.json().id_token }), headers: { 'Content-Type': 'application/json' } })).json();
const roomUrl = `${relay}/api/v1/rooms/${ROOM}`;

// Sits between gate and relay so a test can take the relay off the network and bring it back.
const proxy = { server: null, sockets: new Set(), port: 0 };
async function relayUp() {
  proxy.server = net.createServer((socket) => {
    const upstream = net.connect(Number(new URL(relay).port), '127.0.0.1');
    for (const s of [socket, upstream]) { proxy.sockets.add(s); s.on('error', () => {}); }
    socket.pipe(upstream).pipe(socket);
  }).listen(proxy.port, '127.0.0.1');
  await once(proxy.server, 'listening');
  proxy.port = proxy.server.address().port;
}
function relayDown() { proxy.server.close(); for (const s of proxy.sockets) s.destroy(), proxy.sockets.delete(s); }
await relayUp();

const dir = await mkdtemp(path.join(os.tmpdir(), 'kestrova-gate-'));
const wake = path.join(dir, 'wake.sh');
await writeFile(wake, `#!/bin/sh\necho "$1" >> '${dir}/woken'\n`, { mode: 0o755 });
const probe = net.createServer().listen(0, '127.0.0.1');
const gatePort = (await once(probe, 'listening'), probe.address().port);
probe.close();
await writeFile(path.join(dir, 'config.json'), JSON.stringify({ queue: { path: path.join(dir, 'queue.jsonl') },
  receipts: { path: path.join(dir, 'receipts.jsonl') }, poller: { api_key: KEY },
  mcp: { confirmations: { port: gatePort, host: '127.0.0.1', room: ROOM, wake_script: wake } } }));
after(() => (devstack.child.kill('SIGTERM'), relayDown(), rm(dir, { recursive: true, force: true })));

let gate;
async function startGate() {
  gate = run(process.execPath, [daemonPath, '--config', path.join(dir, 'config.json')],
    { KESTROVA_RELAY_URL: `http://127.0.0.1:${proxy.port}` });
  await until('gate listening', () => gate.out.text.includes('listening'));
}
async function stopGate() {
  gate.child.kill('SIGTERM');
  assert.equal(await gate.exited, 0);
  assert.ok(!gate.out.text.includes(KEY.slice(3, 12)), 'the key leaked into the output');
}

const gateUrl = (p) => `http://127.0.0.1:${gatePort}${p}`;
const agent = async (name, client = new Client({ name, version: '1.0' })) =>
  (await client.connect(new StreamableHTTPClientTransport(new URL(gateUrl('/mcp')))), client);
const ask = (client, args) => client.callTool({ name: 'request_approval', arguments: args }, undefined,
  { timeout: 120_000 }).then((r) => r.content[0].text, (e) => `rejected: ${e.message}`);
const pendingAt = (where, title) => until(`"${title}" pending at the ${where}`, async () => {
  const res = where === 'relay' ? (await http(`${roomUrl}/intents?status=pending`, { key: KEY })).json().intents
    : (await http(gateUrl('/intents'))).json();
  return res.find((i) => i.title === title);
});
const decide = (id, status, note) => http(`${roomUrl}/intents/${id}/decision`, { method: 'POST', key: KEY,
  body: JSON.stringify(note === undefined ? { status } : { status, note }) });
const text = (name) => readFile(path.join(dir, name), 'utf8');
const jsonLines = async (name) => (await text(name)).trim().split('\n').map((l) => JSON.parse(l));

test('requests reach the phone and its decisions come back', async () => {
  await startGate();
  const [claude, codex] = [await agent('claude-code'), await agent('codex')];
  const first = ask(claude, { title: 'run  rm -rf build\n(twice)' });
  const second = ask(codex, { title: 'push to main', detail: 'git push origin main' });
  const [a, b] = [await pendingAt('relay', 'run rm -rf build (twice)'), await pendingAt('relay', 'push to main')];
  assert.deepEqual([a.agent, b.agent, b.detail], ['claude-code', 'codex', 'git push origin main']);
  assert.equal((await pendingAt('gate', 'push to main')).caller, 'waiting');
  // Decided in reverse order: each answer reaches its own caller.
  await decide(b.id, 'denied', 'not on main');
  assert.equal(await second, 'denied: not on main');
  await decide(a.id, 'approved');
  assert.equal(await first, 'approved');
  const receipts = await jsonLines('receipts.jsonl');
  assert.deepEqual([a, b].map((i) => receipts.find((r) => r.id === i.id)).map((r) => [r.status, r.note ?? '']),
    [['approved', ''], ['denied', 'not on main']]);
  assert.equal(await ask(claude, { title: 'wait briefly', timeout_s: 1 }), 'timed out');
  // The wake script ran once for each request; nothing is left pending; the key is in no file.
  assert.deepEqual((await text('woken')).trim().split('\n'), (await jsonLines('queue.jsonl')).map((q) => q.id));
  assert.deepEqual((await http(gateUrl('/intents'))).json(), []);
  for (const file of ['queue.jsonl', 'receipts.jsonl']) assert.ok(!(await text(file)).includes(KEY), `key in ${file}`);
  await Promise.all([claude.close(), codex.close()]);
});

test('bad input gets a clear error and the gate keeps serving', async () => {
  const client = await agent('gemini-cli');
  for (const [args, message] of [[{ title: 'x', timeout_s: 3601 }, /timeout_s/], [{}, /title/]]) {
    const result = await client.callTool({ name: 'request_approval', arguments: args });
    assert.ok(result.isError && message.test(result.content[0].text), JSON.stringify(result));
  }
  const init = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize', params: { protocolVersion: '2025-03-26', capabilities: {}, clientInfo: { name: 'raw', version: '1' } } });
  for (const r of [
    { why: 'rebinding origin', headers: { Origin: 'http://127.0.0.1.evil.example' }, status: 403 },
    { why: 'rebound host reading /intents', line: 'GET /intents', headers: { Host: 'evil.example' }, status: 403 },
    { why: 'loopback origin', headers: { Origin: 'http://localhost:5173' }, status: 200 },
    { why: 'not JSON', body: '{"jsonrpc": "2.0", "id": 1, "method"', status: 400, code: -32700 },
    { why: 'oversized body', body: JSON.stringify({ pad: 'x'.repeat(65 * 1024) }), status: 413 },
  ]) {
    // node's fetch will not send a Host of our choosing, so these go over a raw socket.
    const headers = { Host: `127.0.0.1:${gatePort}`, 'Content-Type': 'application/json',
      Accept: 'application/json, text/event-stream', ...r.headers };
    const body = Buffer.from(r.body ?? init);
    const socket = net.connect(gatePort, '127.0.0.1');
    socket.end(`${r.line ?? 'POST /mcp'} HTTP/1.1\r\n${Object.entries(headers).map(([k, v]) => `${k}: ${v}\r\n`).join('')}` +
      `Content-Length: ${body.length}\r\nConnection: close\r\n\r\n${body}`);
    let reply = '';
    for await (const chunk of socket.setEncoding('utf8')) reply += chunk;
    assert.equal(Number(reply.split(' ')[1]), r.status, r.why);
    if (r.code) assert.match(reply, new RegExp(`"code":${r.code}`), r.why);
  }
  assert.equal((await client.listTools()).tools.length, 1, 'still serving');
  await client.close();
});

test('a pending request survives a gate restart and a relay outage', async () => {
  const claude = await agent('claude-code');
  ask(claude, { title: 'survive me', timeout_s: 600 });
  const posted = await pendingAt('relay', 'survive me');
  await stopGate();
  await claude.close(); // the SDK's client would otherwise wait for its own time-out
  await appendFile(path.join(dir, 'queue.jsonl'), '{"id": "broken\n');
  relayDown();
  await startGate();
  assert.equal((await pendingAt('gate', 'survive me')).caller, 'gone');
  assert.match(gate.out.text, /skipped damaged line \d+ of queue/);
  const client = await agent('codex');
  const answer = ask(client, { title: 'while the relay is down' });
  await until('a failed relay call', () => gate.out.text.includes('retrying'));
  await relayUp();
  await decide((await pendingAt('relay', 'while the relay is down')).id, 'approved');
  assert.equal(await answer, 'approved');
  await decide(posted.id, 'denied');
  await until('the restored request decided', async () => (await http(gateUrl('/intents'))).json().length === 0);
  assert.equal((await jsonLines('receipts.jsonl')).filter((r) => r.id === posted.id).length, 1);
  await client.close();
  await stopGate();
});
