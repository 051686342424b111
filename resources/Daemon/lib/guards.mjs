// What every HTTP answer of the gate goes through: host, origin and secret checks, bodies, JSON answers.
import { createHash, timingSafeEqual } from 'node:crypto';

const MAX_BODY = 64 * 1024;
const LOOPBACK_NAMES = new Set(['127.0.0.1', 'localhost', '[::1]']);

export function sendJson(res, status, body, headers = {}) {
  res.writeHead(status, { 'Content-Type': 'application/json', ...headers });
  res.end(JSON.stringify(body));
}

export function rpcError(res, status, code, message) {
  sendJson(res, status, { jsonrpc: '2.0', error: { code, message }, id: null });
}

// Web pages may reach loopback too; refusing foreign origins and hosts stops DNS rebinding.
// Sandboxed frames and local files send "null".
export function originAllowed(origin) {
  if (origin === undefined) return true;
  try {
    const url = new URL(origin);
    return (url.protocol === 'http:' || url.protocol === 'https:') && LOOPBACK_NAMES.has(url.hostname);
  } catch {
    return false;
  }
}

// The exact loopback name and port, as a client that reached this gate directly sends it.
export function hostAllowed(host, port) {
  return [...LOOPBACK_NAMES].some((name) => host === `${name}:${port}`);
}

// Liveness probes may name no port; a name rebound to loopback still reads nothing.
export function hostIsLoopback(host) {
  return LOOPBACK_NAMES.has((host ?? '').replace(/:\d*$/, ''));
}

// Hashing first gives both sides one length, so the comparison takes the same time whatever was sent.
export function secretCheck(secret) {
  const digest = (text) => createHash('sha256').update(text).digest();
  const wanted = digest(`Bearer ${secret}`);
  return (req) => timingSafeEqual(digest(req.headers.authorization ?? ''), wanted);
}

// An oversized body is read to its end and dropped, so the client still gets its 413.
export function readBody(req, max = MAX_BODY) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    req.on('data', (chunk) => {
      size += chunk.length;
      if (size <= max) chunks.push(chunk);
    });
    req.on('end', () => resolve(size > max ? undefined : Buffer.concat(chunks).toString('utf8')));
    req.on('error', reject);
  });
}

export { MAX_BODY };
