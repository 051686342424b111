// The MCP server: one tool, request_approval, that waits until the user decides on the phone.
import { randomUUID } from 'node:crypto';
import { MAX_BODY, readBody, rpcError, sendJson } from './guards.mjs';
import { cut, oneLine, visible } from './text.mjs';

export const MAX_TITLE = 200;
export const MAX_DETAIL = 8000;
const MAX_SESSIONS = 1000;
const MAX_WAITING = 20; // calls waiting in one session
const PROGRESS_EVERY_MS = 20_000;

const ANSWERS = {
  approved: 'approved',
  approved_for_session: 'approved',
  denied: 'denied',
  timed_out: 'timed out',
  restarting: 'the gate restarted: ask again',
};

const result = (text, isError = false) => ({ content: [{ type: 'text', text }], isError });

// Answers find their call by its id: a request whose id is still in flight in its session would
// take the other's answer, and its cancellation and withdrawal.
const requestIds = (messages) => [messages].flat()
  .filter((m) => typeof m?.method === 'string' && m.id !== undefined && m.id !== null).map((m) => m.id);
const inFlightError = (id) => ({ jsonrpc: '2.0', id,
  error: { code: -32600, message: `request id ${JSON.stringify(id)} is already in flight in this session` } });

// Takes the ids for the session, or gives the first one already in flight and takes none.
function claim(session, ids) {
  const keys = ids.map((id) => JSON.stringify(id));
  const twice = ids.find((id, i) => session.inFlight.has(keys[i]) || keys.indexOf(keys[i]) !== i);
  if (twice === undefined) keys.forEach((key) => session.inFlight.add(key));
  return twice;
}
const release = (session, ids) => ids.forEach((id) => session.inFlight.delete(JSON.stringify(id)));

export function mcpHandler({ sessionIdleS }, intents) {
  // Loaded at the first MCP request: a gate that only ever serves hooks does without it.
  let sdk;
  // session id -> { transport, timer, calls, inFlight }, least recently used first; a session is
  // here once its initialize succeeded.
  const sessions = new Map();
  const streams = new Set(); // sessions of the MCP socket: each lasts as long as its connection

  // A session ends after a while without requests, but never while a call of its own waits.
  function touch(session) {
    if (streams.has(session)) return;
    clearTimeout(session.timer);
    session.timer = setTimeout(() => (session.calls.size > 0 ? touch(session) : session.transport.close()),
      sessionIdleS * 1000);
    if (session.transport.sessionId && sessions.delete(session.transport.sessionId)) {
      sessions.set(session.transport.sessionId, session);
    }
  }

  async function requestApproval(session, server, { title, detail, timeout_s: timeoutS = 300 }, extra) {
    const line = oneLine(title, MAX_TITLE);
    if (!line) return result('the title must hold a visible character', true);
    if (session.calls.size >= MAX_WAITING) {
      return result(`this session already has ${MAX_WAITING} requests waiting: wait for their answers first`, true);
    }
    const now = Date.now();
    const intent = {
      id: randomUUID(),
      time: new Date(now).toISOString(),
      agent: oneLine(server.server.getClientVersion()?.name ?? '', 80) || 'unknown agent',
      title: line,
      detail: cut(visible(detail ?? '', '\n\t'), MAX_DETAIL),
      status: 'pending',
      expires_at: new Date(now + timeoutS * 1000).toISOString(),
      origin: 'tool',
      offers_session: false,
    };
    let failed;
    const outcome = new Promise((resolve) => { failed = intents.add(intent, resolve); });
    if (failed) return result(failed, true);
    // Cancelled, closed or disconnected: the phone no longer shows what nobody waits for.
    const gone = () => intents.end(intent.id, { status: 'withdrawn', by: 'gate', note: 'the agent stopped waiting' });
    session.calls.set(extra.requestId, gone);
    extra.signal.addEventListener('abort', gone, { once: true });
    const token = extra._meta?.progressToken;
    const progress = token === undefined ? undefined : setInterval(() => {
      extra.sendNotification({
        method: 'notifications/progress',
        params: { progressToken: token, progress: Date.now() - now, message: 'waiting for the user' },
      }).catch(() => {});
    }, PROGRESS_EVERY_MS);
    const { status, note } = await outcome;
    clearInterval(progress);
    session.calls.delete(extra.requestId);
    touch(session);
    if (status === 'refused') return result(note, true);
    const text = ANSWERS[status] ?? status;
    return result(note && status !== 'timed_out' ? `${text}: ${note}` : text, status === 'restarting');
  }

  function newMcpServer(session) {
    const server = new sdk.McpServer({ name: 'kestrova-gate', version: '1.0.0' });
    server.registerTool(
      'request_approval',
      {
        title: 'Ask the user for approval',
        description:
          "Ask the user to approve an action on their phone. Waits for the user's decision and " +
          'answers "approved", "denied" (with the user\'s note when given) or "timed out".',
        inputSchema: {
          title: sdk.z.string().min(1).describe('One line saying what you want to do'),
          detail: sdk.z.string().optional().describe('More context: the command, the files, the reason'),
          timeout_s: sdk.z.number().int().min(1).max(3600).optional()
            .describe('Seconds to wait for the decision (default 300, at most 3600)'),
        },
      },
      (args, extra) => requestApproval(session, server, args, extra),
    );
    return server;
  }

  // The least recently used session without a waiting call is the likeliest abandoned one.
  const idleSession = () => [...sessions.entries()].find(([, session]) => session.calls.size === 0);

  async function openSession() {
    sdk ??= await loadSdk();
    const session = { transport: undefined, timer: undefined, calls: new Map(), inFlight: new Set() };
    session.transport = new sdk.StreamableHTTPServerTransport({
      sessionIdGenerator: () => randomUUID(),
      onsessioninitialized: (id) => {
        const idle = sessions.size >= MAX_SESSIONS && idleSession();
        if (idle) {
          sessions.delete(idle[0]);
          idle[1].transport.close();
        }
        sessions.set(id, session);
        touch(session);
      },
    });
    session.transport.onclose = () => {
      clearTimeout(session.timer);
      sessions.delete(session.transport.sessionId);
    };
    await newMcpServer(session).connect(session.transport);
    return session;
  }

  async function handleMcp(req, res) {
    let body;
    if (req.method === 'POST') {
      const text = await readBody(req);
      if (text === undefined) return rpcError(res, 413, -32000, `request body over ${MAX_BODY} bytes`);
      try {
        body = JSON.parse(text);
      } catch {
        return rpcError(res, 400, -32700, 'parse error: body is not JSON');
      }
    }
    const sessionId = req.headers['mcp-session-id'];
    let session = typeof sessionId === 'string' ? sessions.get(sessionId) : undefined;
    if (sessionId !== undefined && !session) return rpcError(res, 404, -32001, 'unknown session');
    if (!session) {
      sdk ??= await loadSdk();
      if (req.method !== 'POST' || !sdk.isInitializeRequest(body)) {
        return rpcError(res, 400, -32000, 'start a session with an initialize request');
      }
      if (sessions.size >= MAX_SESSIONS && !idleSession()) {
        return rpcError(res, 503, -32000, `all ${MAX_SESSIONS} sessions have calls waiting`);
      }
      session = await openSession();
    } else {
      touch(session);
    }
    const ids = requestIds(body);
    const twice = claim(session, ids);
    if (twice !== undefined) return sendJson(res, 400, inFlightError(twice));
    // A caller that hangs up while its call waits is gone as surely as one that cancels.
    res.on('close', () => {
      release(session, ids);
      if (!res.writableFinished) ids.forEach((id) => session.calls.get(id)?.());
    });
    await session.transport.handleRequest(req, res, body);
    // A refused initialize (say, without an Accept header) leaves nothing behind.
    if (!session.transport.sessionId) await session.transport.close();
  }

  // A connection to the MCP socket: MCP's stdio transport over it, one session for its lifetime.
  // Its calls are withdrawn when it closes, as when an HTTP caller hangs up.
  handleMcp.serveStream = async (socket) => {
    sdk ??= await loadSdk();
    const transport = new sdk.StdioServerTransport(socket, socket);
    const session = { transport, timer: undefined, calls: new Map(), inFlight: new Set() };
    streams.add(session);
    transport.onclose = () => {
      streams.delete(session);
      socket.destroy();
    };
    socket.on('close', () => streams.has(session) && transport.close());
    await newMcpServer(session).connect(transport);
    // A client that has said all it will (it half-closed, or went away: the gate cannot tell)
    // gets the answers to what it asked, a call that waits for the user withdrawn; then the
    // connection ends.
    const finish = () => socket.readableEnded && session.inFlight.size === 0 && socket.end();
    const [receive, send] = [transport.onmessage, transport.send.bind(transport)];
    transport.onmessage = (message, extra) => {
      const twice = claim(session, requestIds(message));
      return twice === undefined ? receive(message, extra) : send(inFlightError(twice));
    };
    transport.send = async (message, options) => {
      await send(message, options);
      if (message.method !== undefined) return;
      release(session, [message.id]);
      finish();
    };
    socket.on('end', () => {
      for (const gone of session.calls.values()) gone();
      finish();
    }).resume();
  };

  // Shutting down: the transports' streams would otherwise hold the process.
  handleMcp.closeAll = () => Promise.all([...sessions.values(), ...streams].map((session) => session.transport.close()));
  return handleMcp;
}

async function loadSdk() {
  const [{ McpServer }, { StreamableHTTPServerTransport }, { StdioServerTransport }, { isInitializeRequest }, { z }] =
    await Promise.all([
      import('@modelcontextprotocol/sdk/server/mcp.js'),
      import('@modelcontextprotocol/sdk/server/streamableHttp.js'),
      import('@modelcontextprotocol/sdk/server/stdio.js'),
      import('@modelcontextprotocol/sdk/types.js'),
      import('zod'),
    ]);
  return { McpServer, StreamableHTTPServerTransport, StdioServerTransport, isInitializeRequest, z };
}
