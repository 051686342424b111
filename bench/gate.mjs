// Prints the gate's figures: the size of its npm packages, resident memory idle, after 1,000
// abandoned sessions expired and with 100 requests pending (each against a bare Node.js HTTP
// server measured in the same run), CPU wake-ups per minute while idle, and the round trip of a
// decision. Only prints, fails nothing.   node bench/gate.mjs DAEMON_SCRIPT DEVSTACK_BINARY
import { execFileSync, spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const [daemonPath, devstackPath] = process.argv.slice(2);
const modules = path.join(path.dirname(daemonPath), '..', 'node_modules');
const sdk = (p) => import(pathToFileURL(path.join(modules, '@modelcontextprotocol/sdk/dist/esm', p)).href);
const { Client } = await sdk('client/index.js');
const { StreamableHTTPClientTransport } = await sdk('client/streamableHttp.js');
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const median = (xs) => xs.sort((a, b) => a - b)[Math.floor(xs.length / 2)];

function start(command, args, env = {}) {
  const child = spawn(command, args, { env: { ...process.env, ...env }, stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(child);
  let text = '';
  child.stdout.setEncoding('utf8').on('data', (d) => { text += d; });
  return { child, output: () => text };
}
async function until(probe) {
  for (;;) {
    const value = await probe();
    if (value) return value;
    await sleep(5);
  }
}

const children = [];
process.on('exit', () => children.forEach((child) => child.kill('SIGTERM')));
const devstack = start(devstackPath, ['--port', '0', '--auto-approve']);
const relay = `http://127.0.0.1:${(await until(() => devstack.output().match(/relay=http:\/\/127\.0\.0\.1:(\d+)/)))[1]}`;
const post = (url, body, headers = { 'Content-Type': 'application/json' }) =>
  fetch(url, { method: 'POST', body, headers, redirect: 'manual' });
const verifier = randomBytes(32).toString('base64url');
const client_id = 'devstack-desktop.apps.googleusercontent.com';
const redirect_uri = 'http://127.0.0.1/callback';
const auth = await fetch(`${relay}/o/oauth2/v2/auth?` + new URLSearchParams({ client_id, redirect_uri,
  response_type: 'code', scope: 'openid', code_challenge_method: 'S256',
  code_challenge: createHash('sha256').update(verifier).digest('base64url') }), { redirect: 'manual' });
const code = new URL(auth.headers.get('location')).searchParams.get('code');
const token = await (await post(`${relay}/token`, new URLSearchParams({ grant_type: 'authorization_code',
  code, code_verifier: verifier, client_id, redirect_uri }), {})).json();
const account = await (await post(`${relay}/api/v1/relay/auth`, JSON.stringify({ google_id_token: token.id_token }))).json();
const roomUrl = `${relay}/api/v1/rooms/${account.personal_room}`;
const bearer = { Authorization: `Bearer ${account.api_key}`, 'Content-Type': 'application/json' };

const dir = mkdtempSync(path.join(os.tmpdir(), 'kestrova-gate-bench-'));
const port = 18000 + Math.floor(Math.random() * 1000);
const secret = randomBytes(32).toString('base64url');
const IDLE_S = 5; // sessions without requests expire after this
writeFileSync(path.join(dir, 'secret'), secret, { mode: 0o600 });
writeFileSync(path.join(dir, 'config.json'), JSON.stringify({
  queue: { path: path.join(dir, 'queue.jsonl') }, receipts: { path: path.join(dir, 'receipts.jsonl') },
  poller: { api_key: account.api_key },
  mcp: { confirmations: { port, host: '127.0.0.1', room: account.personal_room, wake_script: '/usr/bin/true',
    secret_path: path.join(dir, 'secret'), session_idle_s: IDLE_S } },
}));
// The bench's own folder (private, as mkdtemp makes it) is the gate's runtime folder.
const gate = start(process.execPath, [daemonPath, '--config', path.join(dir, 'config.json')],
  { KESTROVA_RELAY_URL: relay, XDG_RUNTIME_DIR: dir });
await until(() => gate.output().includes('listening'));
const pid = gate.child.pid;
const bare = start(process.execPath, ['-e', "require('node:http').createServer((q, s) => s.end('[]'))" +
  ".listen(0, '127.0.0.1', () => console.log('listening'))"]);
await until(() => bare.output().includes('listening'));
const rssKiB = (of = pid) => Number(readFileSync(`/proc/${of}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]);
const memory = (what) => {
  const [own, base] = [rssKiB(), rssKiB(bare.child.pid)];
  console.log(`resident memory ${what}: ${(own / 1024).toFixed(1)} MiB (${(own / base).toFixed(2)} x bare Node.js ${(base / 1024).toFixed(1)} MiB)`);
};
// Times any of the gate's threads was put on a CPU: its wake-ups.
const runs = () => readdirSync(`/proc/${pid}/task`).reduce(
  (sum, task) => sum + Number(readFileSync(`/proc/${pid}/task/${task}/schedstat`, 'utf8').split(' ')[2]), 0);

await sleep(5000);
memory('idle after start, before any MCP session');

const mcpUrl = `http://127.0.0.1:${port}/mcp`;
const headers = { Authorization: `Bearer ${secret}` };
const connect = async () => {
  const client = new Client({ name: 'bench', version: '1' });
  await client.connect(new StreamableHTTPClientTransport(new URL(mcpUrl), { requestInit: { headers } }));
  return client;
};
const client = await connect();
const ask = (title, by = client) => by.callTool({ name: 'request_approval', arguments: { title } }, undefined, { timeout: 600_000 });
const pending = async () => (await (await fetch(`${roomUrl}/intents?status=pending`, { headers: bearer })).json()).intents;
const decide = (id) => post(`${roomUrl}/intents/${id}/decision`, JSON.stringify({ status: 'approved' }), bearer);

const seen = [];
const answered = [];
for (let i = 0; i < 21; i++) {
  const t0 = performance.now();
  const answer = ask(`round trip ${i}`);
  const intent = await until(async () => (await pending())[0]);
  const t1 = performance.now();
  await decide(intent.id);
  await answer;
  const t2 = performance.now();
  if (i > 0) { seen.push(t1 - t0); answered.push(t2 - t1); } // the first warms up
}
console.log(`round trip, median of 20: call to phone ${median(seen).toFixed(1)} ms, decision to answer ${median(answered).toFixed(1)} ms`);

await sleep(30_000); // the last long poll ends, nothing is pending
memory('idle after 20 round trips');
const before = runs();
await sleep(60_000);
console.log(`idle wake-ups: ${runs() - before} in 60 s`);

// Agents that never say goodbye: sessions opened and left without a DELETE.
const initialize = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'initialize',
  params: { protocolVersion: '2025-03-26', capabilities: {}, clientInfo: { name: 'bench', version: '1' } } });
for (let i = 0; i < 1000; i++) {
  await (await post(mcpUrl, initialize, { ...headers, 'Content-Type': 'application/json',
    Accept: 'application/json, text/event-stream' })).arrayBuffer();
}
memory('with 1,000 abandoned sessions open');
await sleep((IDLE_S + 30) * 1000);
memory(`30 s after they expired (idle expiry ${IDLE_S} s)`);

// Five agents of 20 calls each (a session holds at most 20 waiting calls); the first session has expired.
const agents = await Promise.all(Array.from({ length: 5 }, connect));
const waiting = Array.from({ length: 100 }, (_, i) => ask(`pending ${i}`, agents[i % 5]));
await until(async () => (await pending()).length === 100);
await sleep(2000);
memory('with 100 requests pending');
for (const intent of await pending()) await decide(intent.id);
await Promise.all(waiting);
const bytes = Number(execFileSync('du', ['-sb', modules], { encoding: 'utf8' }).split('\t')[0]);
console.log(`npm packages beside the daemon: ${(bytes / 2 ** 20).toFixed(1)} MiB in ${readdirSync(modules).length} top-level entries`);

await Promise.all(agents.map((agent) => agent.close()));
rmSync(dir, { recursive: true, force: true });
process.exit(0); // the children's pipes would keep this process alive
