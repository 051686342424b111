// What each agent gets in its own user-level settings: the hook that asks the phone at the
// point where the agent would ask the user, and the gate's MCP server, a stdio command (the
// hook program's "mcp" mode) that holds no key. Every setting is a piece that can tell whether
// it is there, in this form or the previous version's (an HTTP entry with the gate's key, a
// hook with --port), or whether the user has an entry of that name of their own.
import { isDeepStrictEqual } from 'node:util';
import path from 'node:path';
import { tomlString } from './tomlEdit.mjs';

// Longer than the gate ever holds a request (3600 s), so the gate's answer always comes first.
const waitSeconds = 3660;

export const agentNames = { 'claude-code': 'Claude Code', codex: 'Codex', gemini: 'Gemini CLI' };

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
  return { ours: path.basename(String(value.command)) === 'kestrova-hook' && same(value.args, ['mcp']) };
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

// The server's entry under "mcpServers" of a JSON settings file.
function jsonServerPiece(file, value) {
  const key = ['mcpServers', 'kestrova'];
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

// The pieces of each agent, in the order they are written.
export function agentPieces(agent, { home, hook }) {
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
    default:
      return [];
  }
}
