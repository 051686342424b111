// Runs the real daemon as a child process against temp files and free ports.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { mkdtemp, rm, writeFile, appendFile } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

const daemonPath = fileURLToPath(new URL('../../resources/Daemon/bin/bk-mcp-daemon.mjs', import.meta.url));
const HOST = '127.0.0.1';
const API_KEY = 'zQ8xKw3vLm0pRt5yHb';

// Also catches a partial leak, e.g. an error message quoting a few characters around it.
function leaksKey(text) {
  for (let i = 0; i + 6 <= API_KEY.length; i++) if (text.includes(API_KEY.slice(i, i + 6))) return true;
  return false;
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function tempDir(t) {
  const dir = await mkdtemp(path.join(os.tmpdir(), 'bk-daemon-test-'));
  t.after(() => rm(dir, { recursive: true, force: true }));
  return dir;
}

async function freePort() {
  const srv = net.createServer();
  srv.listen(0, HOST);
  await once(srv, 'listening');
  const { port } = srv.address();
  await new Promise((r) => srv.close(r));
  return port;
}

function configFor(dir, port, extra = {}) {
  return {
    queue: { path: path.join(dir, 'queue.jsonl') },
    receipts: { path: path.join(dir, 'receipts.jsonl') },
    poller: { api_key: API_KEY },
    mcp: { confirmations: { port, host: HOST, room: 'kestrova', wake_script: '/usr/bin/true' } },
    ...extra,
  };
}

async function writeConfig(dir, config) {
  const file = path.join(dir, 'config.json');
  await writeFile(file, typeof config === 'string' ? config : JSON.stringify(config));
  return file;
}

// Spawns the daemon; the test's teardown kills it if it is still alive.
function startDaemon(t, args) {
  const child = spawn(process.execPath, [daemonPath, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  const out = { stdout: '', stderr: '' };
  child.stdout.setEncoding('utf8').on('data', (d) => { out.stdout += d; });
  child.stderr.setEncoding('utf8').on('data', (d) => { out.stderr += d; });
  // 'close' waits for the pipes to drain, so the output is complete once it fires.
  const exited = new Promise((resolve) => child.on('close', (code, signal) => resolve({ code, signal })));
  t.after(async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    await exited;
  });
  return { child, out, exited };
}

async function withTimeout(promise, ms, what) {
  let timer;
  const timeout = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error(`timed out: ${what}`)), ms); });
  try {
    return await Promise.race([promise, timeout]);
  } finally {
    clearTimeout(timer);
  }
}

function request(port, method, urlPath, options = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request({ host: HOST, port, method, path: urlPath, ...options }, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (d) => { body += d; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body }));
    });
    req.on('error', reject);
    req.end();
  });
}

async function waitServing(daemon, port) {
  const deadline = Date.now() + 5000;
  for (;;) {
    if (daemon.child.exitCode !== null || daemon.child.signalCode !== null) {
      throw new Error(`daemon exited early: ${daemon.out.stderr}`);
    }
    try {
      return await request(port, 'GET', '/intents', { agent: false });
    } catch (err) {
      if (Date.now() > deadline) throw new Error(`daemon not serving on ${port}: ${err.message}`);
      await sleep(50);
    }
  }
}

async function startServing(t, config) {
  const dir = config.dir;
  const port = await freePort();
  const cfg = await writeConfig(dir, config.make(dir, port));
  const daemon = startDaemon(t, ['--config', cfg]);
  await waitServing(daemon, port);
  return { ...daemon, port, cfg };
}

async function waitFor(predicate, what) {
  const deadline = Date.now() + 5000;
  while (!predicate()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(20);
  }
}

const lines = (values) => values.map((v) => (typeof v === 'string' ? v : JSON.stringify(v))).join('\n') + '\n';

test('serving /intents', async (t) => {
  await t.test('answers [] as JSON without a queue file and announces itself', async (t) => {
    const dir = await tempDir(t);
    const d = await startServing(t, { dir, make: configFor });
    const res = await request(d.port, 'GET', '/intents', { agent: false });
    assert.equal(res.status, 200);
    assert.match(res.headers['content-type'], /^application\/json/);
    assert.deepEqual(JSON.parse(res.body), []);
    const line = `bk-mcp-daemon: listening on http://${HOST}:${d.port} (room kestrova)\n`;
    await waitFor(() => d.out.stdout.includes('\n'), 'listening line');
    assert.equal(d.out.stdout, line);
    assert.ok(!leaksKey(d.out.stdout + d.out.stderr));
  });

  await t.test('answers [] when queue.path is absent even if a queue file exists nearby', async (t) => {
    const dir = await tempDir(t);
    await writeFile(path.join(dir, 'queue.jsonl'), lines([{ id: 'x' }]));
    const d = await startServing(t, {
      dir,
      make: (dir, port) => { const c = configFor(dir, port); delete c.queue; return c; },
    });
    const res = await request(d.port, 'GET', '/intents', { agent: false });
    assert.equal(res.status, 200);
    assert.deepEqual(JSON.parse(res.body), []);
  });

  await t.test('lists exactly the pending, unreceipted entries in queue order, re-read per request', async (t) => {
    const dir = await tempDir(t);
    const a = { id: 'a', status: 'pending', action: 'send', n: 1 };
    const b = { id: 'b', action: 'post', n: 2 };
    const approved = { id: 'c', status: 'approved' };
    const receipted = { id: 'd', status: 'pending' };
    const noId = { action: 'anon', n: 5 };
    const rejected = { id: 'e', status: 'rejected' };
    const nullStatus = { id: 'g', status: null };
    const numericId = { id: 7, status: 'pending' };
    const last = { id: 'f', n: 6 };
    await writeFile(path.join(dir, 'queue.jsonl'),
      lines([a, '{broken', b, approved, '[1,2]', '"just a string"', receipted, 'null', '',
        noId, rejected, nullStatus, numericId]) + JSON.stringify(last)); // last line lacks a newline
    await writeFile(path.join(dir, 'receipts.jsonl'),
      lines([{ id: 'd', result: 'ok' }, 'not json', { id: 'zzz' }, { id: 'c' }, { id: '7' }]));
    const d = await startServing(t, { dir, make: configFor });

    const first = await request(d.port, 'GET', '/intents?room=kestrova&x=1', { agent: false });
    assert.equal(first.status, 200);
    assert.match(first.headers['content-type'], /^application\/json/);
    assert.deepEqual(JSON.parse(first.body), [a, b, noId, numericId, last]);

    // Files change while the daemon runs; the answer must follow them.
    const added = { id: 'h', status: 'pending' };
    await appendFile(path.join(dir, 'queue.jsonl'), '\n' + JSON.stringify(added) + '\n');
    await appendFile(path.join(dir, 'receipts.jsonl'), lines([{ id: 'a' }, { id: 7 }]));
    const second = await request(d.port, 'GET', '/intents', { agent: false });
    assert.equal(second.status, 200);
    assert.deepEqual(JSON.parse(second.body), [b, noId, last, added]);
  });

  await t.test('answers 404 on other paths and 405 on non-GET /intents', async (t) => {
    const dir = await tempDir(t);
    await writeFile(path.join(dir, 'queue.jsonl'), lines([{ id: 'a' }]));
    const d = await startServing(t, { dir, make: configFor });
    for (const p of ['/', '/nope', '/intents/a', '/intentsx', '/INTENTS']) {
      const res = await request(d.port, 'GET', p, { agent: false });
      assert.equal(res.status, 404, p);
      assert.deepEqual(JSON.parse(res.body), { error: 'not found' }, p);
    }
    for (const m of ['POST', 'PUT', 'DELETE']) {
      const res = await request(d.port, m, '/intents', { agent: false });
      assert.equal(res.status, 405, m);
    }
    assert.ok(!leaksKey(d.out.stdout + d.out.stderr));
  });
});

test('shutdown', async (t) => {
  for (const signal of ['SIGTERM', 'SIGINT']) {
    await t.test(`${signal} exits with status 0`, async (t) => {
      const dir = await tempDir(t);
      const d = await startServing(t, { dir, make: configFor });
      d.child.kill(signal);
      const result = await withTimeout(d.exited, 2000, `exit after ${signal}`);
      assert.deepEqual(result, { code: 0, signal: null });
    });
  }

  await t.test('SIGTERM exits with status 0 while client connections stay open', async (t) => {
    const dir = await tempDir(t);
    const d = await startServing(t, { dir, make: configFor });
    const agent = new http.Agent({ keepAlive: true, maxSockets: 1 });
    t.after(() => agent.destroy());
    const res = await request(d.port, 'GET', '/intents', { agent });
    assert.equal(res.status, 200);
    // A half-sent request keeps its connection busy, which close() alone waits on.
    const raw = net.connect(d.port, HOST);
    await once(raw, 'connect');
    raw.on('error', () => {});
    t.after(() => raw.destroy());
    raw.write('GET /intents HTTP/1.1\r\nHost: x\r\n');
    await sleep(100);
    const started = Date.now();
    d.child.kill('SIGTERM');
    const result = await withTimeout(d.exited, 2000, 'exit after SIGTERM with open connections');
    assert.deepEqual(result, { code: 0, signal: null });
    assert.ok(Date.now() - started < 2000);
  });
});

async function expectConfigFailure(t, args) {
  const d = startDaemon(t, args);
  const result = await withTimeout(d.exited, 5000, 'exit on bad config');
  assert.deepEqual(result, { code: 2, signal: null }, d.out.stderr);
  assert.equal(d.out.stdout, '');
  assert.ok(d.out.stderr.endsWith('\n'), JSON.stringify(d.out.stderr));
  const errLines = d.out.stderr.slice(0, -1).split('\n');
  assert.equal(errLines.length, 1, JSON.stringify(d.out.stderr));
  assert.match(errLines[0], /^bk-mcp-daemon: \S/);
  assert.ok(!leaksKey(d.out.stderr), `api key leaked: ${d.out.stderr}`);
  return errLines[0];
}

test('bad configuration exits with status 2 and one line on stderr', async (t) => {
  await t.test('missing --config', async (t) => {
    const line = await expectConfigFailure(t, []);
    assert.match(line, /--config/);
  });

  await t.test('config file does not exist', async (t) => {
    const dir = await tempDir(t);
    const missing = path.join(dir, 'nowhere.json');
    const line = await expectConfigFailure(t, ['--config', missing]);
    assert.ok(line.includes(missing), line);
  });

  await t.test('invalid JSON, with the key near the fault', async (t) => {
    const dir = await tempDir(t);
    // Unquoted key right at the error: a parser message quoting the text would leak it.
    const cfg = await writeConfig(dir, `{"poller": {"api_key": ${API_KEY}}}`);
    const line = await expectConfigFailure(t, ['--config', cfg]);
    assert.ok(line.includes(cfg), line);
  });

  await t.test('top-level array', async (t) => {
    const dir = await tempDir(t);
    const cfg = await writeConfig(dir, JSON.stringify([configFor(dir, 8789)]));
    await expectConfigFailure(t, ['--config', cfg]);
  });

  await t.test('port given as a string (via --config=PATH)', async (t) => {
    const dir = await tempDir(t);
    const config = configFor(dir, String(await freePort()));
    const cfg = await writeConfig(dir, config);
    const line = await expectConfigFailure(t, [`--config=${cfg}`]);
    assert.match(line, /port/);
  });

  await t.test('port out of range, empty host, missing mcp section', async (t) => {
    const dir = await tempDir(t);
    const variants = [
      configFor(dir, 70000),
      configFor(dir, 0),
      configFor(dir, 8789.5),
      (() => { const c = configFor(dir, 8789); c.mcp.confirmations.host = ''; return c; })(),
      (() => { const c = configFor(dir, 8789); delete c.mcp; return c; })(),
    ];
    for (const config of variants) {
      const cfg = await writeConfig(dir, config);
      await expectConfigFailure(t, ['--config', cfg]);
    }
  });
});

test('port already in use exits with status 1 and one line on stderr', async (t) => {
  const dir = await tempDir(t);
  const blocker = net.createServer();
  blocker.listen(0, HOST);
  await once(blocker, 'listening');
  t.after(() => new Promise((r) => blocker.close(r)));
  const { port } = blocker.address();
  const cfg = await writeConfig(dir, configFor(dir, port));
  const d = startDaemon(t, ['--config', cfg]);
  const result = await withTimeout(d.exited, 5000, 'exit on busy port');
  assert.deepEqual(result, { code: 1, signal: null }, d.out.stderr);
  assert.equal(d.out.stdout, '');
  assert.equal(d.out.stderr, `bk-mcp-daemon: cannot listen on ${HOST}:${port}: address already in use\n`);
});
