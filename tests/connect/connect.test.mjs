// The built connect script on real files in a temporary home: users' settings as they are
// found (other hooks and servers, comments, odd layouts, links, read-only files), and the built
// helper running it with no display at all.
// KESTROVA_CONNECT: the built script (its node_modules beside it); KESTROVA_HELPER: the helper.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const script = process.env.KESTROVA_CONNECT;
const { parse } = createRequire(script)('jsonc-parser');
const hook = '/opt/Kestrova Helper/bin/kestrova-hook';
const secret = 'S3cr3t-_0123456789abcdefghijklmnopqrstuvwxy';
const agents = ['claude-code', 'codex', 'gemini'];
const bearer = { Authorization: `Bearer ${secret}` };
const url = 'http://127.0.0.1:8789/mcp';

function makeHome(files) {
  const home = fs.mkdtempSync(path.join(os.tmpdir(), 'kestrova-connect-'));
  fs.writeFileSync(path.join(home, 'secret'), `${secret}\n`, { mode: 0o600 });
  for (const [name, { text, mode = 0o644, link }] of Object.entries(files)) {
    const at = path.join(home, name);
    fs.mkdirSync(path.dirname(at), { recursive: true });
    if (link) {
      fs.mkdirSync(path.dirname(path.join(home, link)), { recursive: true });
      fs.writeFileSync(path.join(home, link), text, { mode });
      fs.symlinkSync(path.relative(path.dirname(at), path.join(home, link)), at);
    } else {
      fs.writeFileSync(at, text, { mode });
      fs.chmodSync(at, mode);
    }
  }
  return home;
}

// Every file and link under the home with its bytes and mode (or where the link points).
function snapshot(home) {
  const seen = {};
  for (const entry of fs.readdirSync(home, { recursive: true })) {
    const at = path.join(home, entry);
    const stat = fs.lstatSync(at);
    if (stat.isSymbolicLink()) seen[entry] = `link to ${fs.readlinkSync(at)}`;
    else if (stat.isFile()) seen[entry] = `${(stat.mode & 0o777).toString(8)} ${fs.readFileSync(at, 'latin1')}`;
  }
  return seen;
}

function run(home, mode, ...names) {
  const result = spawnSync(process.execPath, [script, mode, ...names, '--hook', hook,
    '--secret-file', path.join(home, 'secret'), '--home', home], { encoding: 'utf8', timeout: 30000 });
  return { status: result.status, out: result.stdout, err: result.stderr };
}

const read = (home, name) => fs.readFileSync(path.join(home, name), 'utf8');
const json = (home, name) => parse(read(home, name), [], { allowTrailingComma: true });

// What each agent reads, exactly as its documentation describes it.
function assertConnected(home) {
  const command = (agent) => `'${hook}' ${agent}`;
  assert.deepEqual(json(home, '.claude/settings.json').hooks.PermissionRequest.at(-1),
    { matcher: '*', hooks: [{ type: 'command', command: command('claude-code'), timeout: 3660 }] });
  assert.deepEqual(json(home, '.claude.json').mcpServers.kestrova, { type: 'http', url, headers: bearer });
  assert.deepEqual(json(home, '.codex/hooks.json').hooks.PermissionRequest.at(-1),
    { hooks: [{ type: 'command', command: command('codex'), timeout: 3660 }] });
  assert.ok(read(home, '.codex/config.toml').endsWith(`[mcp_servers.kestrova]\nurl = "${url}"\n` +
    `http_headers = { Authorization = "Bearer ${secret}" }\ntool_timeout_sec = 3660\n`));
  const gemini = json(home, '.gemini/settings.json');
  assert.deepEqual(gemini.hooks.BeforeTool.at(-1), { matcher: '^(run_shell_command|write_file|replace)$',
    hooks: [{ name: 'kestrova', type: 'command', command: command('gemini'), timeout: 3660000 }] });
  assert.deepEqual(gemini.mcpServers.kestrova, { type: 'http', url, headers: bearer, timeout: 3660000 });
}

const homes = {
  'settings used for a while': {
    '.claude/settings.json': { text: `{
  "$schema": "https://json.schemastore.org/claude-code-settings.json",
  "permissions": { "allow": ["Bash(npm test)"], "deny": ["Read(./.env)"] },
  "env": { "MCP_TOOL_TIMEOUT": "600000" },
  "hooks": {
    "PreToolUse": [{ "matcher": "Bash", "hooks": [{ "type": "command", "command": "~/bin/audit.sh" }] }],
    "PermissionRequest": [
      { "matcher": "Bash", "hooks": [{ "type": "command", "command": "notify-send 'Claude asks'" }] }
    ]
  },
  "statusLine": { "type": "command", "command": "~/.claude/statusline.sh" }
}
` },
    '.claude.json': { mode: 0o600, text: `{
  "numStartups": 41,
  "theme": "dark",
  "projects": {
    "/home/ada/src/app": { "allowedTools": [], "hasTrustDialogAccepted": true }
  },
  "mcpServers": {
    "github": { "type": "http", "url": "https://api.example.com/mcp" }
  },
  "userID": "2f5c"
}
` },
    '.codex/config.toml': { mode: 0o640, text: `# Codex, as I like it
model = "gpt-5-codex"
approval_policy = "on-request" # ask before running

[profiles.fast]
model_reasoning_effort = "low"

[mcp_servers.docs]
command = "npx"
args = ["-y", "docs-mcp"]

[mcp_servers.docs.env]
DOCS_TOKEN = "abc"
# the end
` },
    '.codex/hooks.json': { text: `{
  "hooks": {
    "Stop": [{ "hooks": [{ "type": "command", "command": "say done", "timeout": 5 }] }]
  }
}
` },
    '.gemini/settings.json': { text: `{
    // Gemini, with comments and trailing commas
    "ui": { "theme": "GitHub" },
    "hooks": {
        "BeforeTool": [
            { "matcher": "read_.*", "hooks": [{ "type": "command", "command": "./log.sh" }] },
        ],
    },
    "mcpServers": {
        "legacy": { "httpUrl": "http://localhost:3000/mcp" }, // still works
    },
}
` },
  },
  'tabs, Windows line ends, one line, no last line end': {
    '.claude/settings.json': { text: '{\r\n\t"model": "opus",\r\n\t"hooks": {}\r\n}\r\n' },
    '.claude.json': { mode: 0o600, text: '{"numStartups":3,"autoUpdates":false,"mcpServers":{}}' },
    '.codex/config.toml': { text: 'model = "o3"' },
    '.gemini/settings.json': { text: '{}' },
  },
  'nothing yet': {},
};

for (const [name, files] of Object.entries(homes)) {
  test(`connect, connect again, disconnect: ${name}`, () => {
    const home = makeHome(files);
    const before = snapshot(home);
    const connect = run(home, 'connect', ...agents);
    assert.equal(connect.status, 0, connect.err);
    assertConnected(home);
    const connected = snapshot(home);
    for (const file of ['.claude.json', '.codex/config.toml', '.gemini/settings.json']) {
      assert.ok(connected[file].startsWith(before[file]?.slice(0, 3) ?? '600'), `${file}: ${connected[file].slice(0, 3)}`);
    }
    assert.equal(run(home, 'connect', ...agents).status, 0);
    assert.deepEqual(snapshot(home), connected);
    assert.deepEqual(JSON.parse(run(home, 'status', ...agents).out),
      Object.fromEntries(agents.map((agent) => [agent, { state: 'connected' }])));

    assert.equal(run(home, 'disconnect', ...agents).status, 0);
    const after = snapshot(home);
    for (const [file, was] of Object.entries(before)) {
      assert.equal(after[file], was, file);
      if (file !== 'secret') assert.equal(after[`${file}.kestrova-backup`].slice(4), was.slice(4), `${file}: backup`);
    }
    assert.deepEqual(Object.keys(after).filter((file) => !file.endsWith('.kestrova-backup')).sort(), Object.keys(before).sort());
    assert.deepEqual(JSON.parse(run(home, 'status', ...agents).out),
      Object.fromEntries(agents.map((agent) => [agent, { state: 'not-connected' }])));
  });
}

// Each leaves the agent's files as they were, says which file and line, and fails. A FIFO
// (no text) would hold a read up for good.
const refusals = [
  ['claude-code', '.claude/settings.json', '{\n  "model": "opus",\n  "hooks": {\n}\n', ' line 4'],
  ['claude-code', '.claude.json', '{\n  "mcpServers": []\n}\n', ' line 2'],
  ['codex', '.codex/config.toml', 'model = "o3"\n\n[mcp_servers.docs]\ncommand = npx\n', ' line 4'],
  ['codex', '.codex/config.toml', '[mcp_servers]\nkestrova = { url = "http://x" }\n', ' line 2'],
  ['codex', '.codex/hooks.json', null, ': it is not a regular file'],
  ['gemini', '.gemini/settings.json', '{\n  // mine\n  "ui": { "theme": "x" }\n  "hooks": {}\n}\n', ' line 4'],
];
for (const [agent, file, text, said] of refusals) {
  test(`refused, left as it was: ${file}${said}`, () => {
    const home = makeHome(text === null ? {} : { [file]: { text } });
    if (text === null) {
      fs.mkdirSync(path.dirname(path.join(home, file)));
      spawnSync('mkfifo', [path.join(home, file)]);
    }
    const before = snapshot(home);
    const result = run(home, 'connect', agent);
    assert.equal(result.status, 1);
    assert.ok(result.err.includes(`${path.join(home, file)}${said}`), result.err);
    assert.deepEqual(snapshot(home), before);
  });
}

test('a read-only file is not written, and neither is the rest of that agent', () => {
  const home = makeHome({ '.claude.json': { text: '{}\n', mode: 0o444 }, '.claude/settings.json': { text: '{}\n' } });
  const before = snapshot(home);
  const result = run(home, 'connect', 'claude-code');
  assert.equal(result.status, 1);
  assert.match(result.err, /\.claude\.json: it cannot be written \(read-only\)/);
  assert.deepEqual(snapshot(home), before);
});

test('a settings file that is a link stays a link to the file it names', () => {
  const original = '{\n  "model": "opus"\n}\n';
  const home = makeHome({ '.claude/settings.json': { link: 'dotfiles/claude/settings.json', text: original } });
  assert.equal(run(home, 'connect', 'claude-code').status, 0);
  assert.equal(fs.readlinkSync(path.join(home, '.claude/settings.json')), '../dotfiles/claude/settings.json');
  assert.match(read(home, 'dotfiles/claude/settings.json'), /kestrova-hook' claude-code/);
  assert.equal(run(home, 'disconnect', 'claude-code').status, 0);
  assert.equal(read(home, 'dotfiles/claude/settings.json'), original);
  assert.ok(fs.lstatSync(path.join(home, '.claude/settings.json')).isSymbolicLink());
});

// The helper itself: no display, no running helper, no key yet. It makes the key (the user's
// alone) and hands the work to the script with the hook beside it.
test('kestrova-helper connect runs with no display', () => {
  const home = makeHome({});
  const env = { PATH: process.env.PATH, HOME: home, XDG_DATA_HOME: path.join(home, 'data') };
  const result = spawnSync(process.env.KESTROVA_HELPER, ['connect', 'codex'], { env, encoding: 'utf8' });
  assert.equal(result.status, 0, result.stderr);
  assert.match(result.stdout, /^Codex: connected$/m);
  const key = path.join(home, 'data/Kestrova Helper/gate-secret');
  assert.equal(fs.statSync(key).mode & 0o777, 0o600);
  assert.match(fs.readFileSync(key, 'utf8'), /^[A-Za-z0-9_-]{43}\n?$/);
  const hookCommand = `${path.dirname(process.env.KESTROVA_HELPER)}/kestrova-hook codex`;
  assert.equal(json(home, '.codex/hooks.json').hooks.PermissionRequest[0].hooks[0].command, hookCommand);
  assert.match(read(home, '.codex/config.toml'), new RegExp(`Bearer ${fs.readFileSync(key, 'utf8').trim()}`));
  assert.equal(spawnSync(process.env.KESTROVA_HELPER, ['disconnect', 'all'], { env }).status, 0);
  assert.equal(fs.existsSync(path.join(home, '.codex/config.toml')), false);
});
