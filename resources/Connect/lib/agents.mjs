// What each agent gets in its own user-level settings: the hook that asks the phone at the
// point where the agent would ask the user, and the gate's MCP server with its key. Every
// setting is a piece that can tell whether it is there, put itself in and take itself out.
import { isDeepStrictEqual } from 'node:util';
import path from 'node:path';

export const defaultPort = 8789;
// Longer than the gate ever holds a request (3600 s), so the gate's answer always comes first.
const waitSeconds = 3660;

export const agentNames = { 'claude-code': 'Claude Code', codex: 'Codex', gemini: 'Gemini CLI' };

const shellWord = (word) => (/^[\w@%+=:,./-]+$/.test(word) ? word : `'${word.replaceAll("'", `'\\''`)}'`);
// Parsed values are objects without a prototype; compared as plain data.
const same = (found, wanted) => isDeepStrictEqual(JSON.parse(JSON.stringify(found)), wanted);
const isOurCommand = (command) => typeof command === 'string' && /(^|[/'])kestrova-hook'? /.test(command);

// A hook group in an event's list ("hooks": {"<event>": [group, ...]}), recognised by the
// hook command's name wherever the program lives.
function hookPiece(file, event, group) {
  const list = ['hooks', event];
  const ours = (hooks) => Array.isArray(hooks) && hooks.some((hook) => isOurCommand(hook?.command));
  return {
    file,
    check(doc) {
      doc.expect(['hooks'], 'object');
      doc.expect(list, 'array');
    },
    state(doc) {
      const found = (doc.value(list) ?? []).filter((entry) => ours(entry?.hooks));
      if (found.length === 0) return 'absent';
      return found.length === 1 && same(found[0], group) ? 'current' : 'stale';
    },
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

// One value under an object's key, such as the server's entry in "mcpServers".
function valuePiece(file, key, value) {
  return {
    file,
    secret: true,
    check(doc) {
      doc.expect(key.slice(0, -1), 'object');
    },
    state(doc) {
      if (!doc.node(key)) return 'absent';
      return same(doc.value(key), value) ? 'current' : 'stale';
    },
    remove(doc, before) {
      const node = doc.node(key);
      if (!node) return;
      doc.remove(node.parent);
      doc.prune(key.slice(0, -1), before);
    },
    add(doc) {
      doc.set(key, value);
    },
  };
}

// A TOML table of our own, such as [mcp_servers.kestrova].
function tablePiece(file, key, table) {
  return {
    file,
    toml: true,
    secret: true,
    check(doc) {
      doc.tables(key);
    },
    state(doc) {
      const now = doc.tableText(key);
      if (now === '') return 'absent';
      return now === table ? 'current' : 'stale';
    },
    remove(doc) {
      doc.removeTable(key);
    },
    add(doc) {
      doc.setTable(key, table);
    },
  };
}

// The pieces of each agent, in the order they are written.
export function agentPieces(agent, { home, hook, port, secret }) {
  const command = `${shellWord(hook)} ${agent}${port === defaultPort ? '' : ` --port ${port}`}`;
  const url = `http://127.0.0.1:${port}/mcp`;
  const authorization = `Bearer ${secret}`;
  const at = (...parts) => path.join(home, ...parts);
  switch (agent) {
    case 'claude-code':
      return [
        hookPiece(at('.claude', 'settings.json'), 'PermissionRequest', {
          matcher: '*',
          hooks: [{ type: 'command', command, timeout: waitSeconds }],
        }),
        valuePiece(at('.claude.json'), ['mcpServers', 'kestrova'], {
          type: 'http', url, headers: { Authorization: authorization },
        }),
      ];
    case 'codex':
      return [
        hookPiece(at('.codex', 'hooks.json'), 'PermissionRequest', {
          hooks: [{ type: 'command', command, timeout: waitSeconds }],
        }),
        tablePiece(at('.codex', 'config.toml'), ['mcp_servers', 'kestrova'], [
          '[mcp_servers.kestrova]',
          `url = ${JSON.stringify(url)}`,
          `http_headers = { Authorization = ${JSON.stringify(authorization)} }`,
          `tool_timeout_sec = ${waitSeconds}`,
          '',
        ].join('\n')),
      ];
    case 'gemini':
      return [
        // The tools that change something; Gemini's matcher is a regular expression.
        hookPiece(at('.gemini', 'settings.json'), 'BeforeTool', {
          matcher: '^(run_shell_command|write_file|replace)$',
          hooks: [{ name: 'kestrova', type: 'command', command, timeout: waitSeconds * 1000 }],
        }),
        valuePiece(at('.gemini', 'settings.json'), ['mcpServers', 'kestrova'], {
          type: 'http', url, headers: { Authorization: authorization }, timeout: waitSeconds * 1000,
        }),
      ];
    default:
      return [];
  }
}
