// The real gate against the real devstack relay, driven with the MCP SDK's own client.
// KESTROVA_DAEMON: the built daemon (its node_modules beside it); KESTROVA_DEVSTACK: the devstack.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { appendFile, mkdtemp, readFile, rm, writeFile } from 'node:fs/promises';
import { createServer } from 'node:http';
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
  const text = await res.text();
  return Object.assign(res, { text, json: () => JSON.parse(text) });
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

// Stands between gate and relay: a test takes the relay off the network, or answers in its place
// (`proxy.fault(request, body)` gives [status, body] or nothing).
const proxy = { up: true, fault: undefined, sockets: new Set() };
const proxyServer = createServer(async (req, res) => {
  const body = Buffer.concat(await req.toArray()).toString();
  const planted = proxy.up && proxy.fault?.(req, body);
  if (planted) return res.writeHead(planted[0], { 'Content-Type': 'application/json' }).end(JSON.stringify(planted[1]));
  const answer = proxy.up && await fetch(relay + req.url, { method: req.method, body: req.method === 'POST' ? body : undefined,
    headers: { Authorization: req.headers.authorization, 'Content-Type': 'application/json' } }).catch(() => undefined);
  if (!answer || !proxy.up) return req.socket.destroy();
  res.writeHead(answer.status, { 'Content-Type': 'application/json' }).end(await answer.text());
}).on('connection', (s) => proxy.sockets.add(s.on('close', () => proxy.sockets.delete(s)))).listen(0, '127.0.0.1');
await once(proxyServer, 'listening');
// Open connections go too, so the gate's next call (not a long poll still waiting) meets the change.
const drop = () => { for (const s of proxy.sockets) s.destroy(); };
const relayDown = () => { proxy.up = false; drop(); };
const plant = (fault) => { proxy.fault = fault; drop(); };

const dir = await mkdtemp(path.join(os.tmpdir(), 'kestrova-gate-'));
const wake = path.join(dir, 'wake.sh');
await writeFile(wake, `#!/bin/sh\necho "$1" >> '${dir}/woken'\n`, { mode: 0o755 });
const probe = net.createServer().listen(0, '127.0.0.1');
const gatePort = (await once(probe, 'listening'), probe.address().port);
probe.close();
const config = (confirmations = {}, rest = {}) => ({ queue: { path: path.join(dir, 'queue.jsonl') },
  receipts: { path: path.join(dir, 'receipts.jsonl') }, poller: { api_key: KEY }, ...rest,
  mcp: { confirmations: { port: gatePort, host: '127.0.0.1', room: ROOM, wake_script: wake, ...confirmations } } });

let gate;
const gates = new Set();
// A failed assertion must not leave a gate holding the runner open.
after(() => (gates.forEach((g) => g.child.kill('SIGKILL')), devstack.child.kill('SIGTERM'), relayDown(), proxyServer.close(),
  rm(dir, { recursive: true, force: true })));
async function startGate(confirmations) {
  await writeFile(path.join(dir, 'config.json'), JSON.stringify(config(confirmations)));
  gate = run(process.execPath, [daemonPath, '--config', path.join(dir, 'config.json')],
    { KESTROVA_RELAY_URL: `http://127.0.0.1:${proxyServer.address().port}` });
  gates.add(gate);
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
const ask = (client, args, options) => client.callTool({ name: 'request_approval', arguments: args }, undefined,
  { timeout: 120_000, ...options }).then((r) => r.content[0].text, (e) => `rejected: ${e.message}`);
const relayIntents = async (query = '') => (await http(`${roomUrl}/intents${query}`, { key: KEY })).json().intents;
const pendingAt = (title) => until(`"${title}" pending at the relay`, async () =>
  (await relayIntents('?status=pending')).find((i) => i.title === title));
const statusAt = (title, status) => until(`"${title}" ${status} at the relay`, async () =>
  (await relayIntents()).find((i) => i.title === title && i.status === status));
const decide = (id, status, note) => http(`${roomUrl}/intents/${id}/decision`, { method: 'POST', key: KEY,
  body: JSON.stringify(note === undefined ? { status } : { status, note }) });
const text = (name) => readFile(path.join(dir, name), 'utf8');
const jsonLines = async (name) => (await text(name)).trim().split('\n').filter(Boolean).map((l) => JSON.parse(l));
const receiptsOf = async (titles) => new Set((await jsonLines('receipts.jsonl')).filter((r) => titles.includes(r.title))
  .map((r) => [r.title, r.status, r.by, r.agent, r.note ?? ''].join('|')));
// node's fetch will not send a Host of our choosing, so these go over a raw socket.
async function raw(line, headers, body = '') {
  const socket = net.connect(gatePort, '127.0.0.1');
  socket.end(`${line} HTTP/1.1\r\n${Object.entries(headers).map(([k, v]) => `${k}: ${v}\r\n`).join('')}` +
    `Content-Length: ${Buffer.byteLength(body)}\r\nConnection: close\r\n\r\n${body}`);
  let reply = '';
  for await (const chunk of socket.setEncoding('utf8')) reply += chunk;
  return { status: Number(reply.split(' ')[1]), reply };
}
const init = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize',
  params: { protocolVersion: '2025-03-26', capabilities: {}, clientInfo: { name: 'raw', version: '1' } } });
const mcpHeaders = { 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream' };
const openSession = () => http(gateUrl('/mcp'), { method: 'POST', body: init, headers: { ...mcpHeaders } })
  .then((r) => r.headers.get('mcp-session-id'));
const ping = (id) => http(gateUrl('/mcp'), { method: 'POST', body: JSON.stringify({ jsonrpc: '2.0', id: 2, method: 'ping' }),
  headers: { ...mcpHeaders, 'mcp-session-id': id, 'mcp-protocol-version': '2025-03-26' } }).then((r) => r.status);

test('requests reach the phone and each decision comes back to its own caller', async () => {
  await startGate();
  const [claude, codex] = [await agent('claude-code'), await agent('codex')];
  const asks = { 'run rm -rf build (twice)': ask(claude, { title: 'run  rm -rf build\n(twice)' }),
    'push to main': ask(codex, { title: 'push to main', detail: 'git push origin main' }), 'drop the table': ask(codex, { title: 'drop the table' }) };
  const shown = {};
  for (const title of Object.keys(asks)) shown[title] = await pendingAt(title);
  assert.deepEqual([shown['run rm -rf build (twice)'].agent, shown['push to main'].detail], ['claude-code', 'git push origin main']);
  assert.ok(!(await http(gateUrl('/intents'))).text.includes(KEY), 'the key served by /intents');
  for (const [title, status, note, answer] of [['push to main', 'denied', 'not on main', 'denied: not on main'],
    ['drop the table', 'denied', undefined, 'denied']]) {
    await decide(shown[title].id, status, note);
    assert.equal(await asks[title], answer, title);
  }
  // With decisions behind it, the gate's next poll waits for a new one instead of reading them again.
  await until('a waiting poll', async () => (await http(`${relay}/devstack/state`)).json().rooms[ROOM].waiting_polls === 1);
  await decide(shown['run rm -rf build (twice)'].id, 'approved');
  assert.equal(await asks['run rm -rf build (twice)'], 'approved');
  assert.equal(await ask(claude, { title: 'wait briefly', timeout_s: 1 }), 'timed out');
  assert.deepEqual(await receiptsOf([...Object.keys(asks), 'wait briefly']), new Set(['push to main|denied|phone|codex|not on main',
    'drop the table|denied|phone|codex|', 'run rm -rf build (twice)|approved|phone|claude-code|', 'wait briefly|timed_out|timeout|claude-code|']));
  // The wake script ran once for each request; nothing is left pending; the key is in no file.
  assert.deepEqual(new Set((await text('woken')).trim().split('\n')), new Set((await jsonLines('queue.jsonl')).map((q) => q.id)));
  assert.deepEqual((await http(gateUrl('/intents'))).json(), []);
  for (const file of ['queue.jsonl', 'receipts.jsonl']) assert.ok(!(await text(file)).includes(KEY), `key in ${file}`);
  await Promise.all([claude.close(), codex.close()]);
});

test('bad input gets a clear error and the gate keeps serving', async () => {
  const client = await agent('gemini-cli');
  for (const [args, message] of [[{ title: 'x', timeout_s: 3601 }, /timeout_s/], [{}, /title/],
    [{ title: ' \n\t ' }, /the title must hold a visible character/]]) {
    const result = await client.callTool({ name: 'request_approval', arguments: args });
    assert.ok(result.isError && message.test(result.content[0].text), JSON.stringify(result));
  }
  const host = `127.0.0.1:${gatePort}`;
  for (const r of [
    { why: 'rebinding origin', headers: { Origin: 'http://127.0.0.1.evil.example' }, status: 403 },
    { why: 'null origin', headers: { Origin: 'null' }, status: 403 },
    { why: 'rebound host', headers: { Host: `evil.example:${gatePort}` }, status: 403 },
    { why: 'rebound host reading /intents', line: 'GET /intents', headers: { Host: 'evil.example' }, status: 403 },
    { why: 'loopback origin', headers: { Origin: 'http://localhost:5173' }, status: 200 },
    { why: 'not JSON', body: '{"jsonrpc": "2.0", "id": 1, "method"', status: 400, code: -32700 },
    { why: 'oversized body', body: JSON.stringify({ pad: 'x'.repeat(65 * 1024) }), status: 413 },
  ]) {
    const { status, reply } = await raw(r.line ?? 'POST /mcp', { Host: host, ...mcpHeaders, ...r.headers }, r.body ?? init);
    assert.equal(status, r.status, r.why);
    if (r.code) assert.match(reply, new RegExp(`"code":${r.code}`), r.why);
  }
  assert.equal((await client.listTools()).tools.length, 1, 'still serving');
  await client.close();
});

test('relay refusals end only their own request; answers that do not add up are not trusted', async () => {
  const client = await agent('codex');
  plant((req, body) => body.includes('refuse me') && [400, { error: 'no such thing' }]);
  const refused = ask(client, { title: 'refuse me' });
  const kept = ask(client, { title: 'keep me' });
  assert.equal(await refused, 'the relay refused this request: no such thing');
  await decide((await pendingAt('keep me')).id, 'approved');
  assert.equal(await kept, 'approved');
  // A post answered without "created" did not arrive; a cursor going back means a relay that forgot.
  plant((req, body) => (body.includes('lost post') ? [200, {}]
    : req.url.includes('/decisions') && !req.url.includes('after=0&') && [200, { decisions: [], next: -3 }]));
  const lost = ask(client, { title: 'lost post' });
  await until('the post retried', () => gate.out.text.includes('the answer lacks "created"'));
  await until('the cursor restarted', () => gate.out.text.includes("the relay's decisions restarted"));
  plant(undefined);
  await decide((await pendingAt('lost post')).id, 'approved');
  assert.equal(await lost, 'approved');
  // A key the relay no longer knows ends what waits, at once.
  const orphan = ask(client, { title: 'orphan' });
  await pendingAt('orphan');
  plant(() => [401, { error: 'invalid api key' }]);
  assert.equal(await orphan, 'signed out: the relay no longer knows this key');
  plant(undefined);
  assert.deepEqual(await receiptsOf(['refuse me', 'orphan']), new Set(['refuse me|refused|gate|codex|the relay refused this request: no such thing',
    'orphan|refused|gate|codex|signed out: the relay no longer knows this key']));
  await client.close();
});

test('a restart answers the callers and withdraws their requests; an outage delays without loss', async () => {
  const claude = await agent('claude-code');
  const answer = ask(claude, { title: 'survive me', timeout_s: 600 });
  await pendingAt('survive me');
  await stopGate();
  assert.equal(await answer, 'the gate restarted: ask again');
  await appendFile(path.join(dir, 'queue.jsonl'), '{"id": "broken\n');
  relayDown();
  await startGate();
  assert.match(gate.out.text, /skipped damaged line \d+ of queue/);
  assert.equal(await text('queue.jsonl'), '', 'the queue keeps what has ended');
  const client = await agent('codex');
  const outage = ask(client, { title: 'while the relay is down' });
  // Failing polls back off: a second failure is logged, the third is seconds away.
  const failures = () => gate.out.text.split('cannot read decisions').length - 1;
  await until('two failed polls', () => failures() >= 2);
  assert.ok(failures() < 5, `${failures()} failed polls without a pause`);
  proxy.up = true;
  await statusAt('survive me', 'withdrawn');
  await decide((await pendingAt('while the relay is down')).id, 'approved');
  assert.equal(await outage, 'approved');
  assert.deepEqual(await receiptsOf(['survive me']), new Set(['survive me|withdrawn|gate|claude-code|the gate restarted while it waited']));
  await Promise.all([claude.close(), client.close()]);
});

test('a caller that goes away is withdrawn from the phone', async () => {
  for (const [how, leave] of [['cancelled', (c, cancel) => cancel.abort()], ['closed', (c) => c.transport.terminateSession()],
    ['disconnected', (c) => c.close()]]) {
    const client = await agent('gemini-cli');
    const cancel = new AbortController();
    ask(client, { title: `${how} call` }, { signal: cancel.signal });
    await pendingAt(`${how} call`);
    await leave(client, cancel);
    await statusAt(`${how} call`, 'withdrawn');
    await client.close();
  }
  assert.equal((await http(gateUrl('/intents'))).json().length, 0);
  await stopGate();
});

test('a session holds 20 waiting calls; a full gate makes room by ending the least recently used idle session', async () => {
  await startGate();
  const busy = await agent('claude-code');
  const calls = Array.from({ length: 20 }, (_, i) => ask(busy, { title: `busy ${i}` }));
  const waiting = async () => (await relayIntents('?status=pending')).filter((i) => i.title.startsWith('busy '));
  await until('20 calls waiting', async () => (await waiting()).length === 20);
  assert.match(await ask(busy, { title: 'one too many' }), /already has 20 requests waiting/);
  const first = await openSession();
  for (let i = 0; i < 1000; i += 50) await Promise.all(Array.from({ length: 50 }, openSession));
  assert.equal(await ping(first), 404, 'the oldest idle session still open');
  for (const { id } of await waiting()) await decide(id, 'approved');
  assert.deepEqual(new Set(await Promise.all(calls)), new Set(['approved']));
  await busy.close();
  await stopGate();
});

test('an idle session ends, but not while a call of its own waits', async () => {
  await startGate({ session_idle_s: 1 });
  const busy = await agent('claude-code');
  const call = ask(busy, { title: 'outlive the idle ones' });
  const { id } = await pendingAt('outlive the idle ones');
  const idle = [];
  for (let i = 0; i < 300; i += 50) idle.push(...await Promise.all(Array.from({ length: 50 }, openSession)));
  // Each is asked once, later than the one before, until one has been left alone long enough:
  // the busy session, quiet for longer, has outlived it.
  await until('an idle session ended', async () => (await ping(idle.shift())) === 404);
  assert.equal((await decide(id, 'approved')).status, 200, 'the waiting call went with its idle session');
  assert.equal(await call, 'approved');
  await busy.close();
  await stopGate();
});

test('a config that cannot work stops the gate at once with the reason', async () => {
  for (const [bad, reason] of [[{ host: '0.0.0.0' }, /host must be a loopback address/], [{ room: ' ' }, /room must be a non-empty string/],
    [{ session_idle_s: 0 }, /session_idle_s must be an integer/]]) {
    await writeFile(path.join(dir, 'bad.json'), JSON.stringify(config(bad)));
    const refused = run(process.execPath, [daemonPath, '--config', path.join(dir, 'bad.json')]);
    gates.add(refused);
    const listening = () => refused.out.text.includes('listening') && 'listening';
    assert.equal(await Promise.race([refused.exited, until('the gate to exit', listening)]), 2, JSON.stringify(bad));
    assert.match(refused.out.text, reason);
  }
});
