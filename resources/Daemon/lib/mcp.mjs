// The MCP server: one tool, request_approval, that waits until the user decides on the phone.
import { randomUUID } from 'node:crypto';
import { McpServer } from '@modelcontextprotocol/sdk/server/mcp.js';
import { StreamableHTTPServerTransport } from '@modelcontextprotocol/sdk/server/streamableHttp.js';
import { isInitializeRequest } from '@modelcontextprotocol/sdk/types.js';
import { z } from 'zod';
import { MAX_BODY, hostAllowed, originAllowed, readBody, rpcError } from './guards.mjs';

const MAX_TITLE = 200;
const MAX_DETAIL = 4000;
const MAX_SESSIONS = 1000;
const PROGRESS_EVERY_MS = 20_000;

function oneLine(text, max) {
  return text.replace(/\s+/g, ' ').trim().slice(0, max);
}

export function mcpHandler({ port }, intents, relay) {
  const sessions = new Map(); // session id -> transport

  async function requestApproval(server, { title, detail, timeout_s: timeoutS = 300 }, extra) {
    const now = Date.now();
    const intent = {
      id: randomUUID(),
      time: new Date(now).toISOString(),
      agent: oneLine(server.server.getClientVersion()?.name ?? '', 80) || 'unknown agent',
      title: oneLine(title, MAX_TITLE),
      detail: (detail ?? '').slice(0, MAX_DETAIL),
      status: 'pending',
      expires_at: new Date(now + timeoutS * 1000).toISOString(),
    };
    const outcome = new Promise((resolve) => {
      intent.settle = (status, note) => resolve({ status, note });
    });
    intents.add(intent);
    relay.post(intent.id);

    // The caller hanging up leaves the request answerable from the phone; only the waiter goes.
    extra.signal.addEventListener('abort', () => {
      delete intent.settle;
    });
    const token = extra._meta?.progressToken;
    const progress = token === undefined ? undefined : setInterval(() => {
      extra.sendNotification({
        method: 'notifications/progress',
        params: { progressToken: token, progress: Date.now() - now, message: 'waiting for the user' },
      }).catch(() => {});
    }, PROGRESS_EVERY_MS);
    const { status, note } = await outcome;
    clearInterval(progress);
    const text = status === 'timed_out' ? 'timed out' : note ? `${status}: ${note}` : status;
    return { content: [{ type: 'text', text }] };
  }

  function newMcpServer() {
    const server = new McpServer({ name: 'kestrova-gate', version: '1.0.0' });
    server.registerTool(
      'request_approval',
      {
        title: 'Ask the user for approval',
        description:
          "Ask the user to approve an action on their phone. Waits for the user's decision and " +
          'answers "approved", "denied" (with the user\'s note when given) or "timed out".',
        inputSchema: {
          title: z.string().min(1).describe('One line saying what you want to do'),
          detail: z.string().optional().describe('More context: the command, the files, the reason'),
          timeout_s: z.number().int().min(1).max(3600).optional()
            .describe('Seconds to wait for the decision (default 300, at most 3600)'),
        },
      },
      (args, extra) => requestApproval(server, args, extra),
    );
    return server;
  }

  async function openSession() {
    if (sessions.size >= MAX_SESSIONS) {
      // The oldest session is the likeliest abandoned one.
      const [, oldest] = sessions.entries().next().value;
      await oldest.close();
    }
    const transport = new StreamableHTTPServerTransport({
      sessionIdGenerator: () => randomUUID(),
      onsessioninitialized: (id) => sessions.set(id, transport),
    });
    transport.onclose = () => sessions.delete(transport.sessionId);
    await newMcpServer().connect(transport);
    return transport;
  }

  return async function handleMcp(req, res) {
    if (!hostAllowed(req.headers.host ?? '', port) || !originAllowed(req.headers.origin)) {
      return rpcError(res, 403, -32000, 'forbidden host or origin');
    }
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
    let transport = typeof sessionId === 'string' ? sessions.get(sessionId) : undefined;
    if (sessionId !== undefined && !transport) return rpcError(res, 404, -32001, 'unknown session');
    if (!transport) {
      if (req.method !== 'POST' || !isInitializeRequest(body)) {
        return rpcError(res, 400, -32000, 'start a session with an initialize request');
      }
      transport = await openSession();
    }
    await transport.handleRequest(req, res, body);
  };
}
