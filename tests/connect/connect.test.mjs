// The built connect script on real files in a temporary home: users' settings as they are
// found (a generated corpus of them, and the cases users met), the agents' own commands reading
// what it wrote, another program writing the file meanwhile, root writing a user's files, and
// the built helper running it with no display at all.
// KESTROVA_CONNECT: the built script (its node_modules beside it); KESTROVA_HELPER: the helper.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const script = process.env.KESTROVA_CONNECT;
const { runCommand } = await import(path.join(path.dirname(script), '../lib/command.mjs'));
const { parse } = createRequire(script)('jsonc-parser');
const { parseTOML, getStaticTOMLValue } = createRequire(script)('toml-eslint-parser');
const hook = '/opt/Kestrova Helper/bin/kestrova-hook';
const secret = 'S3cr3t-_0123456789abcdefghijklmnopqrstuvwxy';
const agents = ['claude-code', 'codex', 'gemini', 'copilot', 'opencode'];
const files = ['.claude/settings.json', '.claude.json', '.codex/hooks.json', '.codex/config.toml', '.gemini/settings.json',
  '.copilot/mcp-config.json', '.config/opencode/opencode.json'];
// Where the agents would look instead, were these set: the test's homes only.
delete process.env.COPILOT_HOME;
delete process.env.XDG_CONFIG_HOME;

// The gate's key only where a test gives one: on a fresh computer there is none yet.
function makeHome(entries, withKey = false) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrova-connect-'));
  if (withKey) fs.writeFileSync(path.join(home, 'secret'), `${secret}\n`, { mode: 0o600 });
  for (const [name, { text, mode = 0o644, link }] of Object.entries(entries)) {
    const at = path.join(home, link ?? name);
    fs.mkdirSync(path.dirname(at), { recursive: true });
    if (text === null) { spawnSync('mkfifo', [at]); continue; }
    fs.writeFileSync(at, text, { mode });
    fs.chmodSync(at, mode);
    if (link) {
      fs.mkdirSync(path.dirname(path.join(home, name)), { recursive: true });
      fs.symlinkSync(path.relative(path.dirname(path.join(home, name)), at), path.join(home, name));
    }
  }
  return home;
}

// Every file and link under the home with its bytes, mode and owner (or where the link points).
function snapshot(home, { backups = true } = {}) {
  const seen = {};
  for (const entry of fs.readdirSync(home, { recursive: true })) {
    const at = path.join(home, entry);
    const stat = fs.lstatSync(at);
    if (stat.isSymbolicLink()) seen[entry] = `link to ${fs.readlinkSync(at)}`;
    else if (stat.isFile() && (backups || !entry.endsWith('.kestrova-backup'))) {
      seen[entry] = `${stat.uid}:${stat.gid} ${(stat.mode & 0o777).toString(8)} ${fs.readFileSync(at, 'latin1')}`;
    }
  }
  return seen;
}

const args = (home, mode, names) => [script, mode, ...names, '--hook', hook, '--secret-file', path.join(home, 'secret'), '--home', home];

function run(home, mode, ...names) {
  const result = spawnSync(process.execPath, args(home, mode, names), { encoding: 'utf8', timeout: 30000 });
  return { status: result.status, out: result.stdout, err: result.stderr };
}

function runAsync(home, mode, ...names) {
  return new Promise((resolve) => {
    const child = spawn(process.execPath, args(home, mode, names));
    let err = '';
    child.stderr.on('data', (chunk) => (err += chunk));
    child.on('close', (status) => resolve({ status, err }));
  });
}

// The same command in this process: the corpus is too large for a process a run.
async function runHere(home, mode, ...names) {
  const said = { out: [], err: [] };
  const status = await runCommand(args(home, mode, names).slice(1), { out: (line) => said.out.push(line), err: (line) => said.err.push(line) });
  return { status, out: said.out.join('\n'), err: said.err.join('\n') };
}

const read = (home, name) => fs.readFileSync(path.join(home, name), 'utf8');
const json = (text) => parse(text, [], { allowTrailingComma: true });
const tomlValue = (text) => getStaticTOMLValue(parseTOML(text.replace(/^\ufeff/, ' '), { tomlVersion: '1.1' }));
const statusOf = (home) => JSON.parse(run(home, 'status', ...agents).out);
const all = (state, names = agents) => Object.fromEntries(names.map((agent) => [agent, { state }]));

// What each agent reads after connecting, per its documentation: the value the file had, with
// our hook last in the event's list and our server beside the others.
const command = (agent) => `'${hook}' ${agent}`;
const ours = {
  '.claude/settings.json': { hooks: { PermissionRequest: { matcher: '*', hooks: [{ type: 'command', command: command('claude-code'), timeout: 3660 }] } } },
  '.claude.json': { mcpServers: { kestrova: { type: 'stdio', command: hook, args: ['mcp'] } } },
  '.codex/hooks.json': { hooks: { PermissionRequest: { hooks: [{ type: 'command', command: command('codex'), timeout: 3660 }] } } },
  '.codex/config.toml': { mcp_servers: { kestrova: { command: hook, args: ['mcp'], tool_timeout_sec: 3660 } } },
  '.gemini/settings.json': {
    hooks: { BeforeTool: { matcher: '^(run_shell_command|write_file|replace)$', hooks: [{ name: 'kestrova', type: 'command', command: command('gemini'), timeout: 3660000 }] } },
    mcpServers: { kestrova: { command: hook, args: ['mcp'], timeout: 3660000 } },
  },
  '.copilot/mcp-config.json': { mcpServers: { kestrova: { type: 'local', command: hook, args: ['mcp'], tools: ['*'], timeout: 3660000 } } },
  '.config/opencode/opencode.json': { mcp: { kestrova: { type: 'local', command: [hook, 'mcp'], timeout: 3660000 } } },
};

function withOurs(value, name) {
  const expected = structuredClone(value ?? {});
  for (const [section, entries] of Object.entries(ours[name])) {
    for (const [key, entry] of Object.entries(entries)) {
      expected[section] ??= {};
      if (section === 'hooks') expected.hooks[key] = [...(expected.hooks[key] ?? []), entry];
      else expected[section][key] = entry;
    }
  }
  return expected;
}

function assertConnected(home, before) {
  for (const name of files) {
    const was = before[name] === undefined || before[name].trim() === '' ? undefined : before[name];
    const reader = name.endsWith('.toml') ? tomlValue : json;
    const plain = (value) => JSON.parse(JSON.stringify(value));
    assert.deepEqual(plain(reader(read(home, name))), withOurs(was && plain(reader(was)), name), name);
  }
  // Files of our own: Copilot CLI's hook file, OpenCode's plugin, which runs the hook program.
  assert.deepEqual(json(read(home, '.copilot/hooks/kestrova-helper.json')),
    { version: 1, hooks: { permissionRequest: [{ type: 'command', bash: command('copilot'), timeoutSec: 3660 }] } });
  assert.match(read(home, '.config/opencode/plugins/kestrova-helper.js'), new RegExp(`spawn\\(${JSON.stringify(hook)}, \\['opencode'\\]`));
}

// connect, connect again, disconnect: the agents read their entries, a second connect changes
// nothing, and disconnect gives back every byte (backups aside).
async function roundTrip(home) {
  const texts = Object.fromEntries(files.map((name) => [name, fs.existsSync(path.join(home, name)) ? read(home, name) : undefined]));
  const before = snapshot(home);
  const connect = await runHere(home, 'connect', ...agents);
  assert.equal(connect.status, 0, connect.err);
  assertConnected(home, texts);
  const disconnect = await runHere(home, 'disconnect', ...agents);
  assert.equal(disconnect.status, 0, disconnect.err);
  const after = snapshot(home, { backups: false });
  assert.deepEqual(after, Object.fromEntries(Object.entries(before).filter(([name]) => !name.endsWith('.kestrova-backup'))));
}

// The generated corpus: settings as people and programs write them, with comments in every
// place a comment can go, both line ends, byte-order marks, tabs, trailing commas, and the
// agents' own sections in many shapes.
function random(seed) {
  return () => ((seed = (Math.imul(seed, 1103515245) + 12345) >>> 0) / 2 ** 32);
}
const pick = (r, list) => list[Math.floor(r() * list.length)];

function jsonc(r, value, style, indent = '') {
  const inner = indent + style.unit;
  const gap = () => pick(r, ['', ' ', style.eol + inner, style.eol + inner, ` /* a, "b": } */ `, ` // c, ]${style.eol}${inner}`,
    `${style.eol}${inner}// "sandbox": true,${style.eol}${inner}`, '\t', `${style.eol}${style.eol}${inner}`]);
  if (value === null || typeof value !== 'object') return JSON.stringify(value);
  const entries = Array.isArray(value) ? value.map((entry) => [null, entry]) : Object.entries(value);
  const body = entries.map(([key, entry], i) => gap() + (key === null ? '' : `${JSON.stringify(key)}${pick(r, ['', ' /* k */'])}:${pick(r, ['', ' '])}`) +
    jsonc(r, entry, style, inner) + gap() + (i < entries.length - 1 || (style.trailing && r() < 0.5) ? ',' : ''));
  const [open, close] = Array.isArray(value) ? '[]' : '{}';
  return open + body.join('') + (entries.length ? gap() + (r() < 0.5 ? style.eol + indent : '') : pick(r, ['', ' ', style.eol + indent, ' /* none */ '])) + close;
}

function settingsValue(r) {
  const value = {};
  for (const key of ['theme', 'model', 'numStartups', 'permissions', 'env', 'hooks', 'mcpServers', 'ui']) {
    if (r() < 0.4) continue;
    value[key] = {
      theme: 'GitHub', model: 'opus', numStartups: 41, permissions: { allow: ['Bash(npm test)'], deny: [] }, env: {}, ui: { theme: 'x' },
      hooks: pick(r, [{}, { PermissionRequest: [] }, { BeforeTool: [] }, { PermissionRequest: [{ matcher: 'Bash', hooks: [{ type: 'command', command: '~/bin/audit.sh' }] }] },
        { BeforeTool: [{ matcher: 'read_.*', hooks: [{ type: 'command', command: './log.sh' }] }], Stop: [{ hooks: [{ type: 'command', command: 'say done' }] }] }]),
      mcpServers: pick(r, [{}, { github: { type: 'http', url: 'https://api.example.com/mcp' } }, { docs: { command: 'npx', args: ['-y', 'docs'] }, legacy: { httpUrl: 'http://localhost:3000/mcp' } }]),
    }[key];
  }
  return value;
}

function jsoncFile(r) {
  if (r() < 0.06) return pick(r, ['', '\n', '  \r\n\t\n', '\ufeff']);
  const style = { eol: r() < 0.25 ? '\r\n' : '\n', unit: pick(r, ['  ', '    ', '\t']), trailing: r() < 0.5 };
  const value = settingsValue(r);
  const text = r() < 0.15 ? JSON.stringify(value) : r() < 0.4 ? JSON.stringify(value, null, style.unit).replaceAll('\n', style.eol) : jsonc(r, value, style);
  return (r() < 0.1 ? '\ufeff' : '') + pick(r, ['', `// settings${style.eol}`, `/* top */ `]) + text + pick(r, [style.eol, '', ` // end${style.eol}`, `${style.eol}${style.eol}`]);
}

function tomlFile(r) {
  if (r() < 0.06) return pick(r, ['', '\n', ' \r\n', '\ufeff']);
  const eol = r() < 0.25 ? '\r\n' : '\n';
  const top = ['model = "o3"', 'approval_policy = "on-request" # ask', 'tui.notifications = true', 'sandbox = { mode = "workspace-write" }', '# a comment', '',
    'env = { A = "1",\n  B = "2", }'.replace('\n', eol)].filter(() => r() < 0.5);
  const servers = pick(r, [[], ['mcp_servers = {}'], ['mcp_servers = { docs = { command = "npx" } }'], ['mcp_servers = { docs = { command = "npx" }, }'],
    ['mcp_servers.docs.command = "npx"'], [], []]);
  const tables = ['[profiles.fast]\nmodel_reasoning_effort = "low"', '[mcp_servers.docs]\ncommand = "npx"\nargs = ["-y", "docs-mcp"] # pinned',
    '[mcp_servers.docs.env]\nDOCS_TOKEN = "abc"', '[mcp_servers]\nlocal = { command = "./serve" }', '[[skills]]\nname = "a"', '# the end', '[features]\nhooks = true']
    .filter(() => r() < 0.4).filter((table) => !(servers.length && table.startsWith('[mcp_servers')) ||
      (servers[0] === 'mcp_servers.docs.command = "npx"' && table.startsWith('[mcp_servers.docs.env]')));
  const lines = [...top, ...servers, ...tables].join(eol + pick(r, ['', eol])).replaceAll('\n', eol).replaceAll('\r\r', '\r');
  return (r() < 0.1 ? '\ufeff' : '') + lines + pick(r, [eol, '', `${eol}${eol}`, ' ']);
}

test('a generated corpus of settings: connect then disconnect gives back every byte', async () => {
  const r = random(27);
  const homes = [];
  for (let i = 0; i < 300; i++) {
    const entries = {};
    for (const name of files) {
      const text = name.endsWith('.toml') ? tomlFile(r) : jsoncFile(r);
      if (r() < 0.08 && !name.endsWith('.toml')) continue;
      entries[name] = { text, mode: pick(r, [0o600, 0o644, 0o640]), link: r() < 0.05 ? `dotfiles/${name.replace(/^\./, '')}` : undefined };
    }
    homes.push(makeHome(entries));
  }
  const generated = homes.flatMap((home) => files.filter((name) => fs.existsSync(path.join(home, name))));
  const count = (end) => generated.filter((name) => name.endsWith(end)).length;
  assert.ok(count('.json') >= 1000 && count('.toml') >= 300, `${count('.json')} JSON, ${count('.toml')} TOML`);
  const failures = [];
  for (const home of homes) await roundTrip(home).catch((error) => failures.push(`${home}: ${error.message.slice(0, 2000)}`));
  assert.deepEqual(failures, []);
});

const gemini = (text) => ({ '.gemini/settings.json': { text } });
const previous = {
  '.claude/settings.json': { text: `{"hooks":{"PermissionRequest":[{"matcher":"*","hooks":[{"type":"command","command":"'${hook}' claude-code --port 28803","timeout":3660}]}]}}\n` },
  '.claude.json': { mode: 0o600, text: `{"numStartups":3,"mcpServers":{"kestrova":{"type":"http","url":"http://127.0.0.1:8789/mcp","headers":{"Authorization":"Bearer ${secret}"}}}}\n` },
  '.codex/config.toml': { text: `model = "o3"\n\n[mcp_servers.kestrova]\nurl = "http://127.0.0.1:8789/mcp"\nhttp_headers = { Authorization = "Bearer ${secret}" }\ntool_timeout_sec = 3660\n` },
  '.gemini/settings.json': { text: `{\n  "mcpServers": {\n    "kestrova": { "type": "http", "url": "http://127.0.0.1:28803/mcp", "headers": { "Authorization": "Bearer ${secret}" }, "timeout": 3660000 }\n  }\n}\n` },
};

// Files users had that connect must refuse, with the user's own line, leaving every agent's file
// as it was.
const cases = [
  ['a key twice where connect writes', gemini('{\n  "mcpServers": {},\n  "theme": "x",\n  "mcpServers": { "a": { "command": "a" } }\n}\n'), 'settings.json line 4: "mcpServers" appears twice (also line 2)'],
  ['a byte that is not UTF-8', gemini(Buffer.from('{\n  "theme": "Caf\xe9"\n}\n', 'latin1')), 'settings.json line 2: it holds bytes that are not UTF-8'],
  ['a syntax error, with the user\'s line', gemini('{\n  // mine\n  "ui": { "theme": "x" }\n  "hooks": {}\n}\n'), 'settings.json line 4: CommaExpected'],
  ['the user\'s own server of that name', { '.claude.json': { text: '{\n  "mcpServers": {\n    "kestrova": { "command": "my-kestrova" }\n  }\n}\n' } }, '.claude.json line 3: "mcpServers.kestrova" is an entry of your own'],
  ['the user\'s own Codex server with an env table', { '.codex/config.toml': { text: '[mcp_servers.kestrova]\ncommand = "mine"\n\n[mcp_servers.kestrova.env]\nA = "1"\n' } }, 'config.toml line 4: "mcp_servers.kestrova" is an entry of your own'],
  ['a list where an object goes', { '.claude.json': { text: '{\n  "mcpServers": []\n}\n' } }, '.claude.json line 2: "mcpServers" is not an object'],
  ['a FIFO where settings go, not read', { '.codex/hooks.json': { text: null } }, 'hooks.json: it is not a regular file'],
  ['a file the user made read-only', { '.claude.json': { text: '{}\n', mode: 0o444 } }, '.claude.json: it cannot be written (read-only)'],
  ['a hook file of that name of the user\'s own', { '.copilot/hooks/kestrova-helper.json': { text: '{"version":1,"hooks":{}}\n' } },
    'kestrova-helper.json is a file of your own'],
];

for (const [name, entries, refusal] of cases) {
  test(`refused: ${name}`, () => {
    const home = makeHome(entries);
    const before = snapshot(home);
    const result = run(home, 'connect', ...agents);
    assert.equal(result.status, 1);
    assert.ok(result.err.includes(refusal), result.err);
    const agent = agents.find((candidate) => result.err.includes(`; ${{ 'claude-code': 'Claude Code', codex: 'Codex', gemini: 'Gemini CLI',
      copilot: 'Copilot CLI', opencode: 'OpenCode' }[candidate]} left as it was`));
    const file = Object.keys(entries)[0];
    assert.ok(agent, result.err);
    assert.equal(snapshot(home)[file], before[file]);
    if (!refusal.includes('read-only')) assert.equal(statusOf(home)[agent].state, 'unreadable');
    if (refusal.includes('of your own')) {
      const off = run(home, 'disconnect', ...agents);
      assert.equal(off.status, 0);
      assert.match(off.err, /note: .* it was left as it was/);
      assert.equal(snapshot(home)[file], before[file]);
    }
  });
}

test("the previous version's entries: replaced, the gate's key replaced once, no key left in any file", () => {
  const home = makeHome(previous, true);
  assert.deepEqual(statusOf(home), { ...all('not-connected'), ...all('outdated', agents.slice(0, 3)) });
  const connect = run(home, 'connect', ...agents);
  assert.equal(connect.status, 0, connect.err);
  assert.equal(connect.err.match(/gate's key .* has been replaced/g)?.length, 1, connect.err);
  const key = read(home, 'secret');
  assert.match(key, /^[A-Za-z0-9_-]{43}\n$/);
  assert.equal(fs.statSync(path.join(home, 'secret')).mode & 0o777, 0o600);
  for (const [name, text] of Object.entries(snapshot(home))) {
    if (name !== 'secret') assert.doesNotMatch(text, new RegExp(`Bearer|${secret}|${key.trim()}`), name);
  }
  assert.deepEqual(statusOf(home), all('connected'));
  assert.equal(run(home, 'connect', ...agents).err.includes('replaced'), false);
  assert.equal(run(home, 'disconnect', ...agents).status, 0);
  assert.deepEqual(statusOf(home), all('not-connected'));
  assert.equal(read(home, '.codex/config.toml'), 'model = "o3"\n');
  // Disconnect takes out the previous version's entries as well.
  const old = makeHome(previous);
  assert.equal(run(old, 'disconnect', ...agents).status, 0);
  assert.deepEqual(statusOf(old), all('not-connected'));
  assert.equal(read(old, '.claude.json'), '{"numStartups":3}\n');
});

// Claude Code rewrites ~/.claude.json while it runs: each of its writes reads the file, adds to
// it and writes it back in place. Not one of them may be lost to a connect or disconnect.
test('another program writing the file while connect runs loses nothing', async () => {
  const home = makeHome({ '.claude.json': { mode: 0o600, text: '{"log":[]}\n' } });
  const file = path.join(home, '.claude.json');
  const writer = spawn(process.execPath, ['-e', `
    const fs = require('node:fs'); const pause = new Int32Array(new SharedArrayBuffer(4));
    let i = 0;
    for (; !fs.existsSync(process.argv[2]); i++) {
      const value = JSON.parse(fs.readFileSync(process.argv[1], 'utf8'));
      value.log.push(i);
      fs.writeFileSync(process.argv[1], JSON.stringify(value, null, 2));
      Atomics.wait(pause, 0, 0, 50);
    }
    console.log(i);`, file, path.join(home, 'stop')]);
  let written = '';
  writer.stdout.on('data', (chunk) => (written += chunk));
  const ended = new Promise((resolve) => writer.on('close', resolve));
  for (let i = 0; i < 8; i++) {
    const result = await runAsync(home, i % 2 ? 'disconnect' : 'connect', 'claude-code');
    assert.equal(result.status, 0, result.err);
  }
  fs.writeFileSync(path.join(home, 'stop'), '');
  assert.equal(await ended, 0);
  assert.deepEqual(JSON.parse(read(home, '.claude.json')).log, [...Array(Number(written)).keys()]);
});

// `sudo -E kestrova-helper connect`: root writes a user's files, which stay theirs.
test('as root with another user\'s home, every file keeps its owner and mode', { skip: process.getuid() !== 0 && 'needs root to write as another user' }, async () => {
  const home = makeHome({ '.claude.json': { mode: 0o600, text: '{"theme":"dark"}\n' }, '.gemini/settings.json': { mode: 0o640, text: '{}\n' } });
  spawnSync('chown', ['-R', '4321:4321', home]);
  const before = snapshot(home);
  assert.equal(run(home, 'connect', ...agents).status, 0);
  for (const entry of fs.readdirSync(home, { recursive: true })) {
    const stat = fs.statSync(path.join(home, entry));
    assert.deepEqual([stat.uid, stat.gid], [4321, 4321], entry);
  }
  assert.equal(fs.statSync(path.join(home, '.gemini/settings.json')).mode & 0o777, 0o640);
  assert.equal(run(home, 'disconnect', ...agents).status, 0);
  assert.deepEqual(snapshot(home, { backups: false }), before);
});

// The agents themselves, at the versions tests/agents pins, where the agents' test installed
// them: each lists the server connect wrote, beside the user's own.
const agentBin = (() => {
  const cache = path.join(process.env.XDG_CACHE_HOME ?? path.join(os.homedir(), '.cache'), 'kestrova-tests/agents');
  const found = fs.existsSync(cache) && fs.readdirSync(cache).map((dir) => path.join(cache, dir, 'node_modules/.bin'))
    .find((bin) => ['codex', 'copilot'].every((name) => fs.existsSync(path.join(bin, name))));
  return found ?? null;
})();

test('each agent lists the server connect wrote', { skip: !agentBin && 'the agents are not installed (the agents\' end-to-end test installs them)' }, () => {
  const home = makeHome({
    '.claude.json': { mode: 0o600, text: '{"numStartups":3,"mcpServers":{"github":{"type":"http","url":"https://api.example.com/mcp"}}}' },
    '.codex/config.toml': { text: '\ufeffmodel = "o3"\nmcp_servers = { docs = { command = "npx",\n  args = ["-y"], } }\n' },
    '.gemini/settings.json': { text: '{\n  // mine\n  "theme": "GitHub" /* "sandbox": true, */\n}\n' },
  });
  assert.equal(run(home, 'connect', ...agents).status, 0);
  // Copilot CLI unpacks itself into the cache folder: the one the agents' test uses.
  const env = { ...process.env, HOME: home, CODEX_HOME: path.join(home, '.codex'), XDG_CONFIG_HOME: path.join(home, '.config'), NO_COLOR: '1',
    XDG_CACHE_HOME: path.join(agentBin, '../../cache') };
  const said = (bin, ...words) => {
    const result = spawnSync(path.join(agentBin, bin), words, { env, cwd: home, encoding: 'utf8', timeout: 60000 });
    return result.stdout + result.stderr;
  };
  assert.match(said('claude', 'mcp', 'get', 'kestrova'), new RegExp(`Type: stdio[\\s\\S]*Command: ${hook}[\\s\\S]*Args: mcp`));
  assert.match(said('codex', 'mcp', 'list'), new RegExp(`docs +npx[\\s\\S]*kestrova +${hook} +mcp`));
  assert.match(said('gemini', 'mcp', 'list'), new RegExp(`kestrova: ${hook} mcp \\(stdio\\)`));
  assert.match(said('copilot', 'mcp', 'get', 'kestrova'), new RegExp(`Type: local\\s+Command: ${hook} mcp\\s`));
});

// The helper itself: no display, no running helper. It hands the work to the script with the
// hook beside it, and the gate's key where the helper keeps it (under XDG_DATA_HOME), which an
// entry of the previous version held.
test('kestrova-helper connect runs with no display', () => {
  const key = 'data/Kestrova Helper/gate-secret';
  const home = makeHome({ '.codex/config.toml': previous['.codex/config.toml'], [key]: { text: `${secret}\n`, mode: 0o600 } });
  const env = { PATH: process.env.PATH, HOME: home, XDG_DATA_HOME: path.join(home, 'data') };
  const result = spawnSync(process.env.KESTROVA_HELPER, ['connect', 'codex'], { env, encoding: 'utf8' });
  assert.equal(result.status, 0, result.stderr);
  assert.match(result.stdout, /^Codex: connected$/m);
  assert.notEqual(read(home, key), `${secret}\n`, result.stderr);
  const hookCommand = `${path.dirname(process.env.KESTROVA_HELPER)}/kestrova-hook codex`;
  assert.equal(json(read(home, '.codex/hooks.json')).hooks.PermissionRequest[0].hooks[0].command, hookCommand);
  assert.equal(spawnSync(process.env.KESTROVA_HELPER, ['disconnect', 'all'], { env }).status, 0);
  assert.equal(read(home, '.codex/config.toml'), 'model = "o3"\n');
});
