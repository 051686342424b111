// What each agent gets in its own user-level settings: the hook that asks the phone at the
// point where the agent would ask the user, and the gate's MCP server, a stdio command (the
// hook program's "mcp" mode) that holds no key. Every setting is a piece that can tell whether
// it is there, in this form or the previous version's (an HTTP entry with the gate's key, a
// hook with --port), or whether the user has an entry of that name of their own.
import { existsSync } from 'node:fs';
import { isDeepStrictEqual } from 'node:util';
import path from 'node:path';
import { tomlString } from './tomlEdit.mjs';

// Longer than the gate ever holds a request (3600 s), so the gate's answer always comes first.
const waitSeconds = 3660;

export const agentNames = { 'claude-code': 'Claude Code', codex: 'Codex', gemini: 'Gemini CLI', copilot: 'Copilot CLI', opencode: 'OpenCode' };

const shellWord = (word) => (/^[\w@%+=:,./-]+$/.test(word) ? word : `'${word.replaceAll("'", `'\\''`)}'`);
// Parsed values are objects without a prototype; compared as plain data.
const plain = (value) => (value === undefined ? undefined : JSON.parse(JSON.stringify(value)));
const same = (found, wanted) => isDeepStrictEqual(plain(found), wanted);
const isOurCommand = (command) => typeof command === 'string' && /(^|[/'])kestrova-hook'?( |$)/.test(command);

// The MCP entries this program writes or wrote: the hook program's "mcp" mode wherever it is
// installed, or the previous version's HTTP entry on loopback with the gate's key.
function ourServer(value, urlKeys, headersKey) {
  if (!value || typeof value !== 'object') return { ours: false };
  const bearer = /^Bearer (.+)$/.exec(value[headersKey]?.Authorization ?? '')?.[1];
  const url = urlKeys.map((key) => value[key]).find((found) => typeof found === 'string');
  if (bearer && /^http:\/\/(127\.0\.0\.1|localhost):\d+\/mcp$/.test(url ?? '')) return { ours: true, legacy: true, bearer };
  // OpenCode names the program and its arguments in one list.
  const [program, ...args] = Array.isArray(value.command) ? value.command : [value.command, ...(Array.isArray(value.args) ? value.args : [null])];
  return { ours: path.basename(String(program)) === 'kestrova-hook' && same(args, ['mcp']) };
}

const foreignNote = (file, line, name) => `${file} line ${line}: "${name}" is an entry of your own, not one this program wrote`;

// A hook group in an event's list ("hooks": {"<event>": [group, ...]}), recognised by the
// hook command's name wherever the program lives.
function hookPiece(file, event, group) {
  const list = ['hooks', event];
  const ours = (hooks) => Array.isArray(hooks) && hooks.some((hook) => isOurCommand(hook?.command));
  const found = (doc) => (doc.value(list) ?? []).filter((entry) => ours(entry?.hooks));
  return {
    file,
    check(doc) {
      doc.expect(['hooks'], 'object');
      doc.expect(list, 'array');
    },
    state(doc) {
      const entries = found(doc);
      if (entries.length === 0) return 'absent';
      return entries.length === 1 && same(entries[0], group) ? 'current' : 'stale';
    },
    legacy: (doc) => found(doc).some((entry) => entry.hooks.some((hook) => / --port\b/.test(hook?.command ?? ''))),
    bearers: () => [],
    remove(doc, before) {
      const entries = doc.value(list) ?? [];
      for (let i = entries.length - 1; i >= 0; i--) {
        const hooks = entries[i]?.hooks;
        if (!ours(hooks)) continue;
        if (hooks.every((hook) => isOurCommand(hook?.command))) {
          doc.remove(doc.node([...list, i]));
          continue;
        }
        for (let j = hooks.length - 1; j >= 0; j--) {
          if (isOurCommand(hooks[j]?.command)) doc.remove(doc.node([...list, i, 'hooks', j]));
        }
      }
      doc.prune(list, before);
    },
    add(doc) {
      this.remove(doc, doc);
      if (doc.node(list)) doc.insert(list, undefined, group);
      else doc.insertNested(list, [group]);
    },
  };
}

// The server's entry under "mcpServers" (OpenCode: "mcp") of a JSON settings file.
function jsonServerPiece(file, value, key = ['mcpServers', 'kestrova']) {
  const server = (doc) => ourServer(doc.value(key), ['url', 'httpUrl'], 'headers');
  return {
    file,
    check(doc) {
      doc.expect(key.slice(0, -1), 'object');
      doc.expect(key);
    },
    state(doc) {
      if (!doc.node(key)) return 'absent';
      if (same(doc.value(key), value)) return 'current';
      return server(doc).ours ? 'stale' : 'foreign';
    },
    foreign: (doc) => foreignNote(file, doc.line(doc.node(key).parent), key.join('.')),
    legacy: (doc) => Boolean(server(doc).legacy),
    bearers: (doc) => [server(doc).bearer].filter(Boolean),
    remove(doc, before) {
      doc.remove(doc.node(key).parent);
      doc.prune(key.slice(0, -1), before);
    },
    add(doc) {
      doc.set(key, value);
    },
  };
}

// The server's table in Codex's config.toml, [mcp_servers.kestrova].
function tomlServerPiece(file, fields, value) {
  const key = ['mcp_servers', 'kestrova'];
  const server = (doc) => ourServer(doc.value(key), ['url'], 'http_headers');
  return {
    file,
    toml: true,
    check(doc) {
      doc.find(key);
    },
    state(doc) {
      const { entry, foreign } = doc.find(key);
      if (foreign) return 'foreign';
      if (!entry) return 'absent';
      if (same(doc.value(key), value)) return 'current';
      return server(doc).ours ? 'stale' : 'foreign';
    },
    foreign(doc) {
      const { entry, foreign } = doc.find(key);
      return foreignNote(file, doc.line(foreign ?? entry.node), key.join('.'));
    },
    legacy: (doc) => Boolean(server(doc).legacy),
    bearers: (doc) => [server(doc).bearer].filter(Boolean),
    remove(doc, before) {
      doc.remove(key, before);
    },
    add(doc) {
      doc.remove(key, null);
      doc.insert(key, fields);
    },
  };
}

// A file of our own, such as Copilot CLI's hook file or OpenCode's plugin: written whole and
// taken out whole. A file of that name that is not ours is the user's.
function ownFilePiece(file, text, isOurs) {
  return {
    file,
    whole: true,
    check() {},
    state(doc) {
      if (doc.text === '') return 'absent';
      if (doc.text === text) return 'current';
      return isOurs(doc.text) ? 'stale' : 'foreign';
    },
    foreign: () => `${file} is a file of your own, not one this program wrote`,
    legacy: () => false,
    bearers: () => [],
    remove(doc) {
      doc.text = '';
    },
    add(doc) {
      doc.text = text;
    },
  };
}

// Copilot CLI runs its permissionRequest hooks where it would ask the user.
const copilotHooks = (command) =>
  `${JSON.stringify({ version: 1, hooks: { permissionRequest: [{ type: 'command', bash: command, timeoutSec: waitSeconds }] } }, null, 2)}\n`;
function isOurCopilotHooks(text) {
  try {
    const hooks = Object.values(JSON.parse(text).hooks).flat();
    return hooks.length > 0 && hooks.every((hook) => isOurCommand(hook?.bash));
  } catch {
    return false;
  }
}

// OpenCode's permission.ask plugin hook is never called: the plugin follows its event stream
// and answers a request it announces through the permission reply endpoint, with what the
// hook program prints. Nothing printed (no decision, no gate): OpenCode's own prompt decides.
// An answer given at that prompt first ends the hook program, which withdraws the request.
const pluginHeader = '// Kestrova Helper: OpenCode asks your phone too.';
const openCodePlugin = (hook) => `${pluginHeader} Written by \`kestrova-helper connect opencode\`,
// removed by \`kestrova-helper disconnect opencode\`.
import { spawn } from 'node:child_process';

const waiting = new Map();

function ask(request) {
  return new Promise((resolve) => {
    const hook = spawn(${JSON.stringify(hook)}, ['opencode'], { stdio: ['pipe', 'pipe', 'ignore'] });
    let printed = '';
    waiting.set(request.id, hook);
    hook.stdout.setEncoding('utf8').on('data', (text) => { printed += text; });
    hook.stdin.on('error', () => {});
    hook.on('error', () => resolve(null));
    hook.on('close', () => {
      waiting.delete(request.id);
      try { resolve(JSON.parse(printed)); } catch { resolve(null); }
    });
    hook.stdin.end(JSON.stringify(request));
  });
}

export const KestrovaHelper = async ({ client, directory }) => ({
  event: async ({ event }) => {
    if (event.type === 'permission.replied') waiting.get(event.properties.requestID)?.kill();
    if (event.type !== 'permission.asked') return;
    const request = event.properties;
    ask({ ...request, cwd: directory }).then((reply) => reply?.reply && client._client.post({
      url: '/permission/{requestID}/reply', path: { requestID: request.id }, body: reply,
      headers: { 'Content-Type': 'application/json' },
    })).catch(() => {});
  },
});
`;

// A folder an agent takes from the environment, as the agent does.
const absolute = (folder) => (folder && path.isAbsolute(folder) ? folder : undefined);

// The pieces of each agent, in the order they are written.
export function agentPieces(agent, { home, hook, env = {} }) {
  const command = `${shellWord(hook)} ${agent}`;
  const at = (...parts) => path.join(home, ...parts);
  switch (agent) {
    case 'claude-code':
      return [
        hookPiece(at('.claude', 'settings.json'), 'PermissionRequest', {
          matcher: '*',
          hooks: [{ type: 'command', command, timeout: waitSeconds }],
        }),
        jsonServerPiece(at('.claude.json'), { type: 'stdio', command: hook, args: ['mcp'] }),
      ];
    case 'codex':
      return [
        hookPiece(at('.codex', 'hooks.json'), 'PermissionRequest', {
          hooks: [{ type: 'command', command, timeout: waitSeconds }],
        }),
        tomlServerPiece(at('.codex', 'config.toml'),
          { command: tomlString(hook), args: '["mcp"]', tool_timeout_sec: String(waitSeconds) },
          { command: hook, args: ['mcp'], tool_timeout_sec: waitSeconds }),
      ];
    case 'gemini':
      return [
        // The tools that change something; Gemini's matcher is a regular expression.
        hookPiece(at('.gemini', 'settings.json'), 'BeforeTool', {
          matcher: '^(run_shell_command|write_file|replace)$',
          hooks: [{ name: 'kestrova', type: 'command', command, timeout: waitSeconds * 1000 }],
        }),
        jsonServerPiece(at('.gemini', 'settings.json'), { command: hook, args: ['mcp'], timeout: waitSeconds * 1000 }),
      ];
    case 'copilot': {
      const folder = absolute(env.COPILOT_HOME) ?? at('.copilot');
      return [
        ownFilePiece(path.join(folder, 'hooks', 'kestrova-helper.json'), copilotHooks(command), isOurCopilotHooks),
        jsonServerPiece(path.join(folder, 'mcp-config.json'),
          { type: 'local', command: hook, args: ['mcp'], tools: ['*'], timeout: waitSeconds * 1000 }),
      ];
    }
    case 'opencode': {
      const folder = path.join(absolute(env.XDG_CONFIG_HOME) ?? at('.config'), 'opencode');
      // It reads opencode.json and opencode.jsonc both: the entry goes in the one the user has.
      const settings = ['opencode.json', 'opencode.jsonc'].map((name) => path.join(folder, name)).find(existsSync)
        ?? path.join(folder, 'opencode.json');
      return [
        ownFilePiece(path.join(folder, 'plugins', 'kestrova-helper.js'), openCodePlugin(hook), (text) => text.startsWith(pluginHeader)),
        jsonServerPiece(settings, { type: 'local', command: [hook, 'mcp'], timeout: waitSeconds * 1000 }, ['mcp', 'kestrova']),
      ];
    }
    default:
      return [];
  }
}
