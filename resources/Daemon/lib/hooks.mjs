// Agents' permission hooks: the hook command posts the agent's hook input here, waits, and prints
// the answer for the agent. Only a decision on the phone or the desktop ever allows anything;
// an empty answer leaves the agent to ask at its own prompt.
import { randomUUID } from 'node:crypto';
import { grantWords, sessionAllowance } from './allowance.mjs';
import { readBody, sendJson } from './guards.mjs';
import { log } from './log.mjs';
import { MAX_DETAIL, MAX_TITLE } from './mcp.mjs';
import { cut, visible } from './text.mjs';

const MAX_INPUT = 1024 * 1024;
// The hook gives up 15 s after the last byte it received: a gate that waits says so more often.
const HEARTBEAT_MS = 5000;
const DENIED = { phone: 'Denied on the phone.', desktop: 'Denied on the desktop.' };

// Claude Code and Codex: the PermissionRequest hook. Codex refuses updatedPermissions, so only
// Claude Code can be allowed for the rest of the session (see allowance.mjs).
function permissionRequest({ status, by, note }, allowance) {
  const decision = status === 'denied' ? { behavior: 'deny', message: note || DENIED[by] } : { behavior: 'allow' };
  if (status === 'approved_for_session' && allowance.length) decision.updatedPermissions = allowance;
  return { hookSpecificOutput: { hookEventName: 'PermissionRequest', decision } };
}

// Gemini CLI: the BeforeTool hook.
const beforeTool = ({ status, by, note }) =>
  (status === 'denied' ? { decision: 'deny', reason: note || DENIED[by] } : { decision: 'allow' });

// Copilot CLI: the permissionRequest hook, which it runs where it would ask the user.
const copilotRequest = ({ status, by, note }) =>
  (status === 'denied' ? { behavior: 'deny', message: note || DENIED[by] } : { behavior: 'allow' });

// OpenCode: the body of its permission reply endpoint, which our plugin posts for the request
// its event stream announced (its permission.ask plugin hook is never called).
const permissionReply = ({ status, by, note }) =>
  (status === 'denied' ? { reply: 'reject', message: note || DENIED[by] } : { reply: 'once' });

// Each agent's hook input in the shape the rest reads: tool_name, tool_input, cwd.
const AGENTS = {
  'claude-code': { name: 'Claude Code', answer: permissionRequest, allowance: sessionAllowance },
  codex: { name: 'Codex', answer: permissionRequest, allowance: () => [] },
  gemini: { name: 'Gemini CLI', answer: beforeTool, allowance: () => [] },
  copilot: { name: 'Copilot CLI', answer: copilotRequest, allowance: () => [],
    read: (input) => ({ tool_name: input.toolName, tool_input: input.toolInput, cwd: input.cwd }) },
  opencode: { name: 'OpenCode', answer: permissionReply, allowance: () => [],
    read: (input) => ({ tool_name: input.permission, cwd: input.cwd,
      tool_input: { ...input.metadata, pattern: Array.isArray(input.patterns) ? input.patterns.join(', ') : undefined } }) },
};
const DECIDED = new Set(['approved', 'approved_for_session', 'denied']);

// What the phone's one line shows of the call: the command, the file, the address…
function summary(toolInput) {
  if (typeof toolInput === 'string') return toolInput;
  const shown = ['command', 'file_path', 'path', 'url', 'pattern', 'query', 'description']
    .map((key) => toolInput?.[key]).find((value) => typeof value === 'string');
  return shown ?? JSON.stringify(toolInput ?? null);
}

// The folder is the agent's to name: one line, cut like a title.
const folderOf = (cwd) => (typeof cwd === 'string' ? cut(visible(cwd), MAX_TITLE) : undefined);

function detail(toolInput, folder) {
  const where = folder === undefined ? '' : `\nFolder: ${folder}`;
  return cut(visible(JSON.stringify(toolInput ?? null, null, 2), '\n'), MAX_DETAIL - where.length) + where;
}

export function hooksHandler({ waitS }, intents) {
  const reply = (res, body) => {
    const text = body ? JSON.stringify(body) : '';
    if (res.headersSent) return res.end(text);
    res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text) }).end(text);
  };
  // The answer starts at once and a space follows every few seconds while the user decides, so
  // the hook tells a gate that waits from one that froze.
  const keepAlive = (res) => {
    res.writeHead(200, { 'Content-Type': 'application/json' }).flushHeaders();
    const timer = setInterval(() => res.write(' '), HEARTBEAT_MS);
    return () => clearInterval(timer);
  };

  return async function handleHook(req, res, key) {
    const agent = Object.hasOwn(AGENTS, key) ? AGENTS[key] : undefined;
    if (!agent) return sendJson(res, 404, { error: `unknown agent: use ${Object.keys(AGENTS).join(', ')}` });
    const text = await readBody(req, MAX_INPUT);
    if (text === undefined) {
      log(`hook input from ${key} ignored: over ${MAX_INPUT} bytes`);
      return sendJson(res, 413, { error: `hook input over ${MAX_INPUT} bytes` });
    }
    let input;
    try {
      input = JSON.parse(text);
      if (agent.read && input !== null && typeof input === 'object') input = agent.read(input);
    } catch {
      // nothing to decide
    }
    if (typeof input?.tool_name !== 'string' || input.tool_name.trim() === '') {
      log(`hook input from ${key} ignored: ${input === undefined ? 'not JSON' : 'no tool_name'}`);
      return reply(res);
    }
    const now = Date.now();
    const folder = folderOf(input.cwd);
    // Nothing said in words, nothing granted: then the session allowance is not offered at all.
    const offered = agent.allowance(input);
    const grant = grantWords(offered, input);
    const allowance = grant ? offered : [];
    const intent = {
      id: randomUUID(),
      time: new Date(now).toISOString(),
      agent: agent.name,
      title: cut(visible(`${input.tool_name}: ${summary(input.tool_input)}`.trim()), MAX_TITLE),
      detail: detail(input.tool_input, folder),
      status: 'pending',
      expires_at: new Date(now + waitS * 1000).toISOString(),
      origin: 'hook',
      cwd: folder,
      offers_session: allowance.length > 0,
      grant,
    };
    let failed;
    const outcome = new Promise((resolve) => { failed = intents.add(intent, resolve); });
    if (failed) return sendJson(res, 500, { error: failed });
    const stopHeartbeat = keepAlive(res);
    // The hook was killed or the agent moved on: the phone no longer shows the request.
    res.on('close', () => res.writableFinished
      || intents.end(intent.id, { status: 'withdrawn', by: 'gate', note: 'the agent stopped waiting' }));
    const result = await outcome;
    stopHeartbeat();
    if (!res.destroyed) reply(res, DECIDED.has(result.status) && agent.answer(result, allowance));
  };
}
