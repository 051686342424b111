// The real gate against the real devstack relay, driven with the MCP SDK's own client, over its
// sockets and its port. KESTROVA_DAEMON: the built daemon (its node_modules and peer check beside
// it); KESTROVA_DEVSTACK: the devstack.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { appendFile, cp, mkdir, mkdtemp, readFile, rm, stat, symlink, writeFile } from 'node:fs/promises';
import { createServer, request } from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const daemonPath = process.env.KESTROVA_DAEMON;
const sdk = (p) => import(pathToFileURL(path.join(path.dirname(daemonPath), '..', 'node_modules',
  '@modelcontextprotocol/sdk/dist/esm', p)).href);
const [{ Client }, { StreamableHTTPClientTransport }, { ReadBuffer, serializeMessage }] = await Promise.all([sdk('client/index.js'),
  sdk('client/streamableHttp.js'), sdk('shared/stdio.js')]);

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
async function http(url, { method = 'GET', body, headers = {}, key, signal } = {}) {
  if (key) headers.Authorization = `Bearer ${key}`;
  const send = () => fetch(url, { method, body, headers, signal: signal ?? AbortSignal.timeout(60_000), redirect: 'manual' });
  // A GET on a kept-alive connection the server closed meanwhile is sent again, as browsers do.
  const res = await send().catch((err) => (method === 'GET' && err.cause?.code === 'UND_ERR_SOCKET' ? send() : Promise.reject(err)));
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
// (`proxy.fault(request, body)` gives [status, body, content type] or nothing; 'hold' passes the
// request on and never answers).
const proxy = { up: true, fault: undefined, sockets: new Set() };
const proxyServer = createServer(async (req, res) => {
  const body = Buffer.concat(await req.toArray()).toString();
  const planted = proxy.up && proxy.fault?.(req, body);
  if (Array.isArray(planted)) {
    const [status, answer, type = 'application/json'] = planted;
    return res.writeHead(status, { 'Content-Type': type }).end(typeof answer === 'string' ? answer : JSON.stringify(answer));
  }
  const answer = proxy.up && await fetch(relay + req.url, { method: req.method, body: req.method === 'POST' ? body : undefined,
    headers: { Authorization: req.headers.authorization, 'Content-Type': 'application/json' } }).catch(() => undefined);
  if (!answer || !proxy.up) return req.socket.destroy();
  if (planted !== 'hold') res.writeHead(answer.status, { 'Content-Type': 'application/json' }).end(await answer.text());
}).on('connection', (s) => proxy.sockets.add(s.on('close', () => proxy.sockets.delete(s)))).listen(0, '127.0.0.1');
await once(proxyServer, 'listening');
// Open connections go too, so the gate's next call (not a long poll still waiting) meets the change.
const drop = () => { for (const s of proxy.sockets) s.destroy(); };
const relayDown = () => { proxy.up = false; drop(); };
const plant = (fault) => { proxy.fault = fault; drop(); };

const dir = await mkdtemp(path.join(os.tmpdir(), 'kestrova-gate-'));
// The gates' runtime folder, private as the user's own is; the sockets are in a folder inside it.
const runtime = path.join(dir, 'run');
await mkdir(runtime, { mode: 0o700 });
const sockets = path.join(runtime, 'kestrova-helper');
const wake = path.join(dir, 'wake.sh');
await writeFile(wake, `#!/bin/sh\necho "$1" >> '${dir}/woken'\n`, { mode: 0o755 });
async function freePort() {
  const probe = net.createServer().listen(0, '127.0.0.1');
  await once(probe, 'listening');
  const { port } = probe.address();
  return (probe.close(), port);
}
const gatePort = await freePort();
const SECRET = randomBytes(32).toString('base64url');
await writeFile(path.join(dir, 'secret'), `${SECRET}\n`, { mode: 0o600 });
const config = (confirmations = {}, rest = {}) => ({ queue: { path: path.join(dir, 'queue.jsonl') },
  receipts: { path: path.join(dir, 'receipts.jsonl') }, poller: { api_key: KEY }, ...rest, mcp: { confirmations: { port: gatePort,
    host: '127.0.0.1', room: ROOM, wake_script: wake, secret_path: path.join(dir, 'secret'), ...confirmations } } });

let gate;
const gates = new Set();
// A failed assertion must not leave a gate holding the runner open.
after(() => (gates.forEach((g) => g.child.kill('SIGKILL')), devstack.child.kill('SIGTERM'), relayDown(), proxyServer.close(),
  rm(dir, { recursive: true, force: true })));
// `limits`: prlimit's options for the gate, say a file size the disk cannot go past.
async function startGate(confirmations, rest, limits = []) {
  gates.forEach((g) => g.child.kill('SIGKILL')); // one a failed test left running would hold the port
  await writeFile(path.join(dir, 'config.json'), JSON.stringify(config(confirmations, rest)));
  const command = [...(limits.length ? ['prlimit', ...limits] : []), process.execPath, daemonPath, '--config', path.join(dir, 'config.json')];
  gate = run(command[0], command.slice(1), { KESTROVA_RELAY_URL: `http://127.0.0.1:${proxyServer.address().port}`, XDG_RUNTIME_DIR: runtime });
  gates.add(gate);
  await until('gate listening', () => gate.out.text.includes('listening'));
}
async function killGate() {
  gate.child.kill('SIGKILL');
  await gate.exited;
}
async function stopGate() {
  gate.child.kill('SIGTERM');
  assert.equal(await gate.exited, 0);
  assert.ok(!gate.out.text.includes(KEY.slice(3, 12)), 'the key leaked into the output');
}

const gateUrl = (p) => `http://127.0.0.1:${gatePort}${p}`;
// HTTP over the gate's socket, as the hook and the desktop speak it; `chunks` gets the answer's parts as they come.
const local = (p, { method = 'GET', body, signal, chunks = [] } = {}) => new Promise((resolve, reject) => {
  request({ socketPath: path.join(sockets, 'gate.sock'), path: p, method, signal }, (res) => {
    res.setEncoding('utf8').on('data', (d) => chunks.push(d)).on('end', () => resolve(Object.assign(res,
      { status: res.statusCode, text: chunks.join(''), json: () => JSON.parse(chunks.join('')) }))).on('error', reject);
  }).on('error', reject).end(body);
});
// MCP's stdio transport over the gate's MCP socket: the bytes `kestrova-hook mcp` carries.
function socketTransport() {
  const socket = net.connect(path.join(sockets, 'mcp.sock'));
  const buffer = new ReadBuffer();
  const transport = { start: () => new Promise((resolve, reject) => socket.once('connect', resolve).once('error', reject)),
    send: async (message) => void socket.write(serializeMessage(message)), close: async () => void socket.destroy() };
  socket.on('data', (chunk) => {
    buffer.append(chunk);
    for (let message; (message = buffer.readMessage());) transport.onmessage?.(message);
  }).on('close', () => transport.onclose?.());
  return transport;
}
const overHttp = () => new StreamableHTTPClientTransport(new URL(gateUrl('/mcp')),
  { requestInit: { headers: { Authorization: `Bearer ${SECRET}` } } });
const agent = async (name, transport = overHttp()) => {
  const client = new Client({ name, version: '1.0' });
  await client.connect(transport);
  return client;
};
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
async function raw(line, headers, body = '', local = false) {
  const socket = local ? net.connect(path.join(sockets, 'gate.sock')) : net.connect(gatePort, '127.0.0.1');
  socket.end(`${line} HTTP/1.1\r\n${Object.entries(headers).map(([k, v]) => `${k}: ${v}\r\n`).join('')}` +
    `Content-Length: ${Buffer.byteLength(body)}\r\nConnection: close\r\n\r\n${body}`);
  let reply = '';
  for await (const chunk of socket.setEncoding('utf8')) reply += chunk;
  return { status: Number(reply.split(' ')[1]), reply };
}
const init = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize',
  params: { protocolVersion: '2025-03-26', capabilities: {}, clientInfo: { name: 'raw', version: '1' } } });
const mcpHeaders = { 'Content-Type': 'application/json', Accept: 'application/json, text/event-stream', Authorization: `Bearer ${SECRET}` };
const openSession = () => http(gateUrl('/mcp'), { method: 'POST', body: init, headers: { ...mcpHeaders } })
  .then((r) => r.headers.get('mcp-session-id'));
const ping = (id) => http(gateUrl('/mcp'), { method: 'POST', body: JSON.stringify({ jsonrpc: '2.0', id: 2, method: 'ping' }),
  headers: { ...mcpHeaders, 'mcp-session-id': id, 'mcp-protocol-version': '2025-03-26' } }).then((r) => r.status);

test('requests reach the phone and each decision comes back to its own caller', async () => {
  await startGate();
  const [claude, codex] = [await agent('claude-code'), await agent('codex', socketTransport())];
  // A client that half-closed is still answered, a call that waits for the user as withdrawn.
  const lastWords = net.connect(path.join(sockets, 'mcp.sock')).end(`${init}\n${JSON.stringify({ jsonrpc: '2.0', id: 2,
    method: 'tools/call', params: { name: 'request_approval', arguments: { title: 'last words' } } })}\n`);
  assert.match((await lastWords.setEncoding('utf8').toArray()).join(''), /"serverInfo".*\n.*"text":"withdrawn: the agent stopped waiting"/);
  const asks = { 'run rm -rf build (twice)': ask(claude, { title: 'run  rm -rf build\n(twice)' }),
    'push to main': ask(codex, { title: 'push to main', detail: 'git push origin main' }), 'drop the table': ask(codex, { title: 'drop the table' }) };
  const shown = {};
  for (const title of Object.keys(asks)) shown[title] = await pendingAt(title);
  assert.deepEqual([shown['run rm -rf build (twice)'].agent, shown['push to main'].detail], ['claude-code', 'git push origin main']);
  assert.ok(!(await local('/intents')).text.includes(KEY), 'the key served by /intents');
  assert.deepEqual((await http(gateUrl('/intents'), { key: SECRET })).json(), [], 'pending requests shown over TCP, even with the secret');
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
  assert.deepEqual((await local('/intents')).json(), []);
  for (const file of ['queue.jsonl', 'receipts.jsonl']) assert.ok(!(await text(file)).includes(KEY), `key in ${file}`);
  await Promise.all([claude.close(), codex.close()]);
});

test('another account reaches neither socket: their folder keeps it out, the peer check refuses it past the folder',
  { skip: process.getuid() !== 0 && 'needs root, to run a second account with setpriv' }, async () => {
  const probe = "const s = require('net').connect(process.argv[1]); s.on('data', () => { console.log('answered'); process.exit(); })" +
    ".on('error', (e) => { console.log(e.code === 'EACCES' ? 'kept out' : 'refused'); process.exit(); }).on('close', () => console.log('refused'));" +
    `s.write('${JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'ping' })}\\n');`;
  const other = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups'];
  for (const name of ['gate.sock', 'mcp.sock']) {
    for (const [who, as, expected] of [['this user', [], 'answered'], ['another user', other, 'kept out'],
      ['another user past the folder', [...other, '--inh-caps=+dac_override', '--ambient-caps=+dac_override'], 'refused']]) {
      const probing = run(as[0] ?? process.execPath, [...as.slice(1), ...as.slice(0, 1).map(() => process.execPath), '-e', probe,
        path.join(sockets, name)]);
      await probing.exited;
      assert.equal(probing.out.text.trim(), expected, `${who} on ${name}`);
    }
  }
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
    { why: 'a wrong secret', headers: { Authorization: `Bearer ${SECRET}x` }, status: 401 },
    // A secret someone else read can at most add a request.
    ...['POST /hooks/codex', 'GET /events', 'POST /intents/x/decision'].map((line) => ({ why: `${line} over TCP with the secret`,
      line, status: 403, error: "answers and the live list need the gate's socket" })),
    { why: 'unknown agent', line: 'POST /hooks/cursor', status: 404, local: true },
    { why: 'hook input over 1 MiB', line: 'POST /hooks/codex', body: 'x'.repeat(1024 * 1024 + 1), status: 413, local: true },
    ...['{"tool_name": "Bash"', '{"tool_input": {"command": "ls"}}'].map((body) =>
      ({ why: `hook input ${body}`, line: 'POST /hooks/codex', body, status: 200, answer: '', local: true })),
  ]) {
    const { status, reply } = await raw(r.line ?? 'POST /mcp', { Host: host, ...mcpHeaders, ...r.headers }, r.body ?? init, r.local);
    assert.equal(status, r.status, r.why);
    if (r.code) assert.match(reply, new RegExp(`"code":${r.code}`), r.why);
    if (r.answer !== undefined) assert.equal(reply.split('\r\n\r\n')[1], r.answer, r.why);
    if (r.error) assert.ok(reply.includes(JSON.stringify({ error: r.error })), r.why);
  }
  assert.deepEqual((await local('/intents')).json(), [], 'bad hook input posted');
  assert.match(gate.out.text, /hook input from codex ignored: not JSON.*\n.*hook input from codex ignored: no tool_name/);
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

test('a request the relay will not take holds up no other, and ends on its own; a 404 poll is waited out', async () => {
  const client = await agent('codex');
  plant((req, body) => req.url.endsWith('/intents') && body.includes('"stuck') && [503, { error: 'overloaded' }]);
  const stuck = ask(client, { title: 'stuck', timeout_s: 3600 });
  await until('the stuck post retried', () => gate.out.text.includes('relay did not take the post'));
  // A hook, a tool call, a withdrawal and a desktop decision all go past it.
  const hooked = local('/hooks/codex', { method: 'POST', body: JSON.stringify({ tool_name: 'Bash', tool_input: { command: 'after it' } }) });
  const next = ask(client, { title: 'next' });
  const cancel = new AbortController();
  ask(client, { title: 'cancel me' }, { signal: cancel.signal });
  await pendingAt('cancel me');
  cancel.abort();
  await statusAt('cancel me', 'withdrawn');
  const desk = await local(`/intents/${(await pendingAt('Bash: after it')).id}/decision`, { method: 'POST', body: '{"status": "approved"}' });
  assert.deepEqual([desk.status, (await hooked).json()], [200, hookOutput({ behavior: 'allow' })]);
  await decide((await pendingAt('next')).id, 'approved');
  assert.equal(await next, 'approved');
  assert.ok((await local('/intents')).json().some((i) => i.title === 'stuck'), 'the stuck request went away');
  // With a patience of one second, the next stuck one ends by itself.
  await stopGate();
  assert.equal(await stuck, 'the gate restarted: ask again');
  await client.close();
  await startGate(undefined, { relay: { patience_s: 1 } });
  const again = await agent('codex');
  assert.equal(await ask(again, { title: 'stuck again' }), 'the relay is not taking requests: overloaded');
  // One 404 on the poll (a proxy in a deploy) is asked again; 404s for longer than that end what waits.
  let missing = 1;
  plant((req) => req.url.includes('/decisions') && missing > 0 && (missing--, [404, { error: 'no such room' }]));
  const past = ask(again, { title: 'past a 404' });
  await until('the 404 answered', () => missing === 0);
  await decide((await pendingAt('past a 404')).id, 'approved');
  assert.equal(await past, 'approved');
  plant((req) => req.url.includes('/decisions') && [404, { error: 'no such room' }]);
  assert.equal(await ask(again, { title: 'gone room' }), 'the relay refused this request: no such room');
  plant(undefined);
  await again.close();
});

test('a stop withdraws what waits, and withdrawals owed outlive restarts; an outage delays without loss', async () => {
  const claude = await agent('claude-code');
  const answer = ask(claude, { title: 'survive me', timeout_s: 600 });
  const hooked = local('/hooks/gemini', { method: 'POST', body: JSON.stringify({ tool_name: 'glob', tool_input: { pattern: '*' } }) });
  await Promise.all([pendingAt('survive me'), pendingAt('glob: *')]);
  await stopGate();
  assert.equal(await answer, 'the gate restarted: ask again');
  assert.equal((await hooked).text, '', 'a hook answered other than "no decision" when the gate restarted');
  // Withdrawn as the gate stopped: the phone can no longer approve what nobody would act on.
  await statusAt('survive me', 'withdrawn');
  // A withdrawal the relay could not take is written down and sent after any number of restarts.
  await startGate();
  const owing = await agent('codex');
  const owed = ask(owing, { title: 'owed' });
  await pendingAt('owed');
  relayDown();
  await stopGate();
  assert.equal(await owed, 'the gate restarted: ask again');
  await startGate();
  await until('the withdrawal asked again', () => gate.out.text.includes('relay did not take the withdrawal'));
  await killGate();
  await appendFile(path.join(dir, 'queue.jsonl'), '{"id": "torn');
  await startGate();
  assert.match(gate.out.text, /dropped the torn last line \d+ of queue/);
  const client = await agent('codex');
  const outage = ask(client, { title: 'while the relay is down' });
  // Failing polls back off: a second failure is logged, the third is seconds away.
  const failures = () => gate.out.text.split('cannot read decisions').length - 1;
  await until('two failed polls', () => failures() >= 2);
  assert.ok(failures() < 5, `${failures()} failed polls without a pause`);
  proxy.up = true;
  await statusAt('owed', 'withdrawn');
  const waiting = (await jsonLines('queue.jsonl')).filter((line) => line.title).map((line) => line.title);
  assert.deepEqual(waiting, ['while the relay is down'], 'the queue keeps what has ended');
  await decide((await pendingAt('while the relay is down')).id, 'approved');
  assert.equal(await outage, 'approved');
  assert.deepEqual(await receiptsOf(['survive me', 'owed']), new Set(['survive me|withdrawn|gate|claude-code|the gate restarted while it waited',
    'owed|withdrawn|gate|codex|the gate restarted while it waited']));
  await Promise.all([claude.close(), owing.close(), client.close()]);
});

test('a request the disk has no room for is refused at once, and no line is left torn', async () => {
  const small = { queue: { path: path.join(dir, 'small-queue.jsonl') }, receipts: { path: path.join(dir, 'small-receipts.jsonl') } };
  await startGate(undefined, small, ['--fsize=20000']);
  const client = await agent('codex');
  const detail = 'x'.repeat(7000);
  for (const title of ['saved 1', 'saved 2']) {
    ask(client, { title, detail });
    await pendingAt(title);
  }
  assert.equal(await ask(client, { title: 'no room', detail }), 'the gate cannot save this request: EFBIG');
  ask(client, { title: 'saved 3' });
  await pendingAt('saved 3');
  await killGate();
  await startGate(undefined, small);
  for (const title of ['saved 1', 'saved 2', 'saved 3']) await statusAt(title, 'withdrawn');
  assert.doesNotMatch(gate.out.text, /damaged|torn/);
  await client.close();
});

test('a caller that goes away is withdrawn from the phone', async () => {
  for (const [how, leave, over = overHttp] of [['cancelled', (c, cancel) => cancel.abort()], ['closed', (c) => c.transport.terminateSession()],
    ['disconnected', (c) => c.close()], ['hung up', (c) => c.close(), socketTransport]]) {
    const client = await agent('gemini-cli', over());
    const cancel = new AbortController();
    ask(client, { title: `${how} call` }, { signal: cancel.signal });
    await pendingAt(`${how} call`);
    await leave(client, cancel);
    await statusAt(`${how} call`, 'withdrawn');
    await client.close();
  }
  assert.equal((await local('/intents')).json().length, 0);
  // Two calls with one id in a session: the second is refused while the first waits for its own answer.
  const session = await openSession();
  const call = (title) => fetch(gateUrl('/mcp'), { method: 'POST', headers: { ...mcpHeaders, 'mcp-session-id': session,
    'mcp-protocol-version': '2025-03-26' }, body: JSON.stringify({ jsonrpc: '2.0', id: 7, method: 'tools/call',
    params: { name: 'request_approval', arguments: { title } } }) });
  const first = await call('one id, first');
  const { id } = await pendingAt('one id, first');
  const twice = await call('one id, second');
  assert.deepEqual([twice.status, (await twice.json()).error.code], [400, -32600]);
  await decide(id, 'approved');
  assert.match(await first.text(), /"text":"approved"/);
  await stopGate();
});

test('a session holds 20 waiting calls; a full gate makes room by ending the least recently used idle session', async () => {
  await startGate();
  const busy = await agent('claude-code');
  const calls = Array.from({ length: 20 }, (_, i) => ask(busy, { title: `busy ${i}` }));
  const waiting = async () => (await relayIntents('?status=pending')).filter((i) => i.title.startsWith('busy '));
  await until('20 calls waiting', async () => (await waiting()).length === 20);
  assert.match(await ask(busy, { title: 'one too many' }), /already has 20 requests waiting/);
  const [first, second] = [await openSession(), await openSession()];
  for (let i = 0; i < 997; i += 50) await Promise.all(Array.from({ length: Math.min(50, 997 - i) }, openSession));
  // A refused initialize (no Accept header) makes no session, so it ends none either.
  for (let i = 0; i < 3; i++) {
    assert.equal((await http(gateUrl('/mcp'), { method: 'POST', body: init, headers: { ...mcpHeaders, Accept: '*/*' } })).status, 406);
  }
  assert.equal(await ping(first), 200, 'a refused initialize ended a session');
  await openSession();
  assert.equal(await ping(second), 404, 'the least recently used idle session still open');
  for (const { id } of await waiting()) await decide(id, 'approved');
  assert.deepEqual(new Set(await Promise.all(calls)), new Set(['approved']));
  await busy.close();
  await stopGate();
});

test('an idle session ends, but not while a call of its own waits; a hook whose wait ends gets no decision', async () => {
  await startGate({ session_idle_s: 1 }, { hooks: { wait_s: 1 } });
  const expired = await local('/hooks/codex', { method: 'POST', body: JSON.stringify({ tool_name: 'Bash', tool_input: { command: 'sleep on it' } }) });
  assert.deepEqual([expired.status, expired.text], [200, '']);
  await statusAt('Bash: sleep on it', 'expired');
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

test('a gate that cannot serve stops at once with the reason, and leaves the running gate and its files alone', async () => {
  await startGate();
  const hooked = local('/hooks/codex', { method: 'POST', body: JSON.stringify({ tool_name: 'Bash', tool_input: { command: 'make twice' } }) });
  const { id } = await pendingAt('Bash: make twice');
  const files = () => Promise.all(['queue.jsonl', 'receipts.jsonl'].map((name) => text(name).catch(() => 'none')));
  const before = await files();
  await writeFile(path.join(dir, 'empty'), '\n');
  // The daemon as installed, less the addon its sockets' peer check needs.
  const bare = path.join(dir, 'bare');
  for (const part of ['bin', 'lib']) await cp(path.join(daemonPath, '../..', part), path.join(bare, part), { recursive: true });
  for (const [bad, reason, status = 2, daemon = daemonPath] of [[{ host: '0.0.0.0' }, /host must be a loopback address/],
    [{ secret_path: undefined }, /secret_path must be the absolute path/], [{ secret_path: path.join(dir, 'empty') }, /secret .* is empty/],
    [{}, /cannot load the peer check of the gate's sockets .*: serving nothing/, 1, path.join(bare, 'bin/bk-mcp-daemon.mjs')],
    [{}, /cannot listen on 127\.0\.0\.1:\d+: address already in use/, 1], // a second gate on the same config
    [{ port: await freePort() }, /gate\.sock: another gate serves it/, 1]]) { // on the same runtime folder
    await writeFile(path.join(dir, 'bad.json'), JSON.stringify(config(bad)));
    const refused = run(process.execPath, [daemon, '--config', path.join(dir, 'bad.json')], { XDG_RUNTIME_DIR: runtime });
    gates.add(refused);
    const listening = () => refused.out.text.includes('listening') && 'listening';
    assert.equal(await Promise.race([refused.exited, until('the gate to exit', listening)]), status, String(reason));
    assert.match(refused.out.text, reason);
    assert.deepEqual(await files(), before, `${reason}: the running gate's files changed`);
  }
  assert.deepEqual((await local('/intents')).json().map((i) => i.id), [id], 'the running gate lost its socket');
  await decide(id, 'approved');
  assert.deepEqual((await hooked).json(), { hookSpecificOutput: { hookEventName: 'PermissionRequest', decision: { behavior: 'allow' } } });
  await stopGate();
});

test('the sockets go only where no other account can enter: a private runtime folder, and a gate folder of its own', async () => {
  const { gateFolder } = await import(pathToFileURL(path.join(daemonPath, '../../lib/sockets.mjs')).href);
  const place = (name) => path.join(dir, 'places', name);
  for (const [name, mode] of [['open', 0o755], ['private', 0o700], ['private/kestrova-helper', 0o755], ['linked', 0o700]]) {
    await mkdir(place(name), { recursive: true, mode });
  }
  await Promise.all([symlink(place('open'), place('linked/kestrova-helper')), symlink(place('private'), place('link')), writeFile(place('file'), '')]);
  const fallback = `/run/user/${process.geteuid()}/kestrova-helper`;
  for (const [runtimeDir, expected] of [['open', /open: open to other users/], ['link', /link: a link/], ['file', /file: not a folder/],
    ['missing', /missing: ENOENT/], ['linked', /linked\/kestrova-helper is not a folder of this user's own/]]) {
    const { folder, why } = gateFolder({ XDG_RUNTIME_DIR: place(runtimeDir) });
    assert.ok(folder === fallback || expected.test(why), `${runtimeDir}: ${folder ?? why}`);
  }
  assert.deepEqual(gateFolder({ XDG_RUNTIME_DIR: place('private') }), { folder: place('private/kestrova-helper') });
  assert.equal((await stat(place('private/kestrova-helper'))).mode & 0o777, 0o700, 'a gate folder others may enter');
});

const hookOutput = (decision) => ({ hookSpecificOutput: { hookEventName: 'PermissionRequest', decision } });

test('a hook gets exactly what the agent must read: allow, allow for the session, deny with the note', async () => {
  await startGate();
  const rules = (destination, ...list) => ({ type: 'addRules', behavior: 'allow', destination,
    rules: list.map(([toolName, ruleContent]) => (ruleContent === undefined ? { toolName } : { toolName, ruleContent })) });
  const folders = (destination, ...directories) => ({ type: 'addDirectories', directories, destination });
  // A mode that would accept every later edit unasked.
  const acceptEdits = { type: 'setMode', mode: 'acceptEdits', destination: 'session' };
  // What each agent does with these, and with the note, the agents' end-to-end test proves.
  const cases = [ // agent, input, decision, note, what the hook prints, the grant beside "Allow for this session"
    ['claude-code', { tool_input: { command: 'npm run `x`' }, permission_mode: 'acceptEdits', permission_suggestions: [rules('localSettings',
      ['Bash', 'npm run `x`:*'], ['WebFetch', 'domain:example.com'], ['Read']), folders('userSettings', '/etc', 'relative'),
    { type: 'removeRules', rules: [{ toolName: 'Bash' }], behavior: 'deny', destination: 'session' }] },
    'approved_for_session', undefined, hookOutput({ behavior: 'allow', updatedPermissions: [rules('session', ['Bash', 'npm run `x`'],
      ['Bash', 'npm run `x`:*'], ['WebFetch', 'domain:example.com'], ['Read']), folders('session', '/etc')] }),
    'also: `` npm run `x` `` again; commands starting `` npm run `x` ``; `WebFetch` on `domain:example.com`; any `Read` call; ' +
      'reading and editing files under `/etc/`'],
    // Nothing left to grant once the mode is dropped, or more than a few lines can say: not
    // offered, and answered as a plain approval.
    ['claude-code', { tool_name: 'Write', tool_input: { file_path: '/work/app/a.txt' }, permission_suggestions: [acceptEdits] },
      'approved_for_session', undefined, hookOutput({ behavior: 'allow' })],
    ['claude-code', { tool_input: { command: 'du' }, permission_suggestions: [rules('session', ...Array.from({ length: 9 },
      (_, i) => ['Bash', `du ${i}${'y'.repeat(120)}`]))] }, 'approved_for_session', undefined, hookOutput({ behavior: 'allow' })],
    ['claude-code', { tool_input: { command: 'rm -rf build' } }, 'denied', undefined, hookOutput({ behavior: 'deny', message: 'Denied on the phone.' })],
    ['codex', { tool_input: { command: 'git push' }, permission_suggestions: [rules('session', ['Bash', 'git push'])] },
      'approved_for_session', undefined, hookOutput({ behavior: 'allow' })],
    ['gemini', { tool_name: 'write_file', tool_input: { file_path: '/etc/hosts' } }, 'denied', undefined, { decision: 'deny', reason: 'Denied on the phone.' }],
  ];
  const heartbeat = [];
  const answers = cases.map(([name, input], i) => local(`/hooks/${name}`, { method: 'POST', chunks: i === 0 ? heartbeat : [],
    body: JSON.stringify({ tool_name: 'Bash', cwd: '/work/app', hook_event_name: 'PermissionRequest', ...input }) }));
  for (const [i, [name, input, status, note, expected, grant]] of cases.entries()) {
    const shown = await pendingAt(`${input.tool_name ?? 'Bash'}: ${Object.values(input.tool_input)[0]}`);
    assert.deepEqual([shown.offers_session, shown.grant], [grant !== undefined, grant], `${name} case ${i}: the session offered`);
    // While the user decides, the hook hears a space every few seconds.
    if (i === 0) await until('a sign of life', () => heartbeat.join('') === ' ');
    await decide(shown.id, status, note);
    const answer = await answers[i];
    assert.deepEqual(answer.json(), expected, `${name} case ${i} ${status}`);
  }
  const [first] = (await jsonLines('receipts.jsonl')).slice(-cases.length);
  assert.deepEqual([first.title, first.agent, first.by], ['Bash: npm run `x`', 'Claude Code', 'phone']);
  // What the agent names is escaped and cut, the title and the folder alike, between characters
  // as read: never inside a surrogate pair, an emoji sequence or a combining sequence.
  const x = (n) => 'x'.repeat(n);
  const long = `echo \u001b[31m\u202e${x(5000)}\nrm -rf ~`;
  const family = '\u{1f468}\u200d\u{1f469}\u200d\u{1f467}';
  const hidden = `/w/\u202egnp.exe\n${'d'.repeat(600_000)}`;
  const shownFolder = `/w/\\u202egnp.exe\\n${'d'.repeat(181)}…`;
  const texts = [ // command, folder, title, folder shown
    [long, '/w', `Bash: echo \\u001b[31m\\u202e${x(5000)}`.slice(0, 199) + '…', '/w'],
    [`${x(192)}\u{1f600}y`, '/w', `Bash: ${x(192)}…`, '/w'],
    [`${x(190)}${family}`, '/w', `Bash: ${x(190)}…`, '/w'],
    [`${x(180)}${family}${x(20)}`, '/w', `Bash: ${x(180)}${family}${x(5)}…`, '/w'],
    [`${x(191)}e\u0301\u0302y`, '/w', `Bash: ${x(191)}…`, '/w'],
    ['ls', hidden, 'Bash: ls', shownFolder],
  ];
  const killed = new AbortController();
  for (const [command, cwd] of texts) {
    local('/hooks/claude-code', { method: 'POST', signal: killed.signal,
      body: JSON.stringify({ tool_name: 'Bash', tool_input: { command }, cwd }) }).catch(() => {});
  }
  const listed = await until('all listed', async () => { const all = (await local('/intents')).json(); return all.length === texts.length && all; });
  for (const [command, , title, folder] of texts) {
    const shown = await pendingAt(title);
    assert.deepEqual([listed.find((i) => i.id === shown.id).cwd, shown.detail.slice(shown.detail.lastIndexOf('\nFolder: '))],
      [folder, `\nFolder: ${folder}`], title);
    if (command === long) assert.equal(shown.detail, `${JSON.stringify({ command }, null, 2).replace('\u202e', '\\u202e')}\nFolder: /w`);
  }
  killed.abort(); // the hooks killed: the phone no longer offers them
  await until('the killed hooks withdrawn', async () => (await local('/intents')).json().length === 0);
  await statusAt(texts[0][2], 'withdrawn');
});

test('the desktop follows the pending list live and decides through the relay', async () => {
  const stream = [];
  const events = new AbortController();
  local('/events', { chunks: stream, signal: events.signal }).catch(() => {});
  let buffered = '';
  const next = async () => {
    await until('an event', () => (buffered += stream.splice(0).join('')).includes('\n\n'));
    const [frame] = buffered.split('\n\n', 1);
    buffered = buffered.slice(frame.length + 2);
    const [, event, data] = frame.match(/^event: (\w+)\ndata: (.*)$/);
    return [event, JSON.parse(data)];
  };
  assert.deepEqual(await next(), ['snapshot', { intents: [] }]);
  const hooked = local('/hooks/claude-code', { method: 'POST',
    body: JSON.stringify({ tool_name: 'Edit', tool_input: { file_path: '/w/a.c' }, cwd: '/w',
      permission_suggestions: [{ type: 'addDirectories', directories: ['/w/lib'], destination: 'session' }] }) });
  const [added, { intent: listed }] = await next();
  assert.deepEqual([added, listed.title, listed.origin, listed.cwd, listed.session_offer, listed.grant],
    ['added', 'Edit: /w/a.c', 'hook', '/w', true, 'also: reading files under `lib/`']);
  await pendingAt('Edit: /w/a.c');
  const desk = (id, body) => local(`/intents/${id}/decision`, { method: 'POST', body: JSON.stringify(body) });
  assert.equal((await desk('no-such-request', { status: 'approved' })).status, 404);
  relayDown();
  assert.equal((await desk(listed.id, { status: 'approved' })).status, 502, 'decided without the relay');
  proxy.up = true;
  // What is not the relay's record of this decision decides nothing: a 409, a 200 page from something in between.
  for (const [answer, status, body] of [[[409, { error: 'the request was already decided' }], 409, { error: 'already decided' }],
    [[200, '<p>OK</p>', 'text/html'], 502, { error: 'nothing decided: the answer is not JSON (HTTP 200, text/html)' }]]) {
    plant((req) => req.url.endsWith('/decision') && answer);
    const refused = await desk(listed.id, { status: 'approved' });
    assert.deepEqual([refused.status, refused.json()], [status, body]);
  }
  // The relay took it, and its answer never comes: the agent gets the decision, and the desktop is told so.
  plant((req) => req.url.endsWith('/decision') && 'hold');
  assert.deepEqual((await desk(listed.id, { status: 'denied', note: 'not that file' })).json(), { decided: true });
  plant(undefined);
  assert.deepEqual(await next(), ['ended', { id: listed.id, status: 'denied', by: 'desktop' }]);
  assert.deepEqual((await hooked).json(), hookOutput({ behavior: 'deny', message: 'not that file' }));
  const decision = (await http(`${roomUrl}/decisions?after=0`, { key: KEY })).json().decisions.find((d) => d.intent_id === listed.id);
  assert.deepEqual([decision.status, decision.by], ['denied', 'desktop']);
  assert.deepEqual(await receiptsOf(['Edit: /w/a.c']), new Set(['Edit: /w/a.c|denied|desktop|Claude Code|not that file']));
  events.abort();
  await stopGate();
});

test('a desktop that stops reading is dropped once it is 1 MiB behind, and nothing else waits for it', async () => {
  await startGate();
  relayDown(); // spares the relay the requests that come and go
  const stalled = net.connect(path.join(sockets, 'gate.sock'));
  stalled.write('GET /events HTTP/1.1\r\nHost: gate\r\n\r\n');
  let read = String((await once(stalled, 'data'))[0]);
  stalled.pause();
  // Hooks of 8 KB each come and go until the gate gives up on the reader.
  const command = 'x'.repeat(7900);
  for (let round = 0; !gate.out.text.includes('dropped a reader of /events'); round++) {
    assert.ok(round < 40, 'a reader that never reads is kept');
    const stop = new AbortController();
    const hooks = Array.from({ length: 50 }, (_, i) => local('/hooks/codex', { method: 'POST', signal: stop.signal,
      body: JSON.stringify({ tool_name: 'Bash', tool_input: { command: `${i} ${command}` } }) }).catch(() => {}));
    await until('a round waiting', async () => (await local('/intents')).json().length === 50);
    stop.abort();
    await Promise.all(hooks);
    await until('a round withdrawn', async () => (await local('/intents')).json().length === 0);
  }
  // Once it reads, it finds the end of the stream after what was sent before.
  for await (const chunk of stalled.resume().setEncoding('utf8')) read += chunk;
  assert.match(read, /^HTTP\/1.1 200[^]*event: added\n/);
  proxy.up = true;
  await stopGate();
});
