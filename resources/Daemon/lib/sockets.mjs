// The gate's Unix sockets: the user's runtime folder they live in, a folder of the gate's own
// inside it, and the check of every connection's peer. Only this user's programs may answer a
// request or read the list, so what serves those needs no secret anyone could copy.
import { chmodSync, lstatSync, mkdirSync, unlinkSync } from 'node:fs';
import { createRequire } from 'node:module';
import net from 'node:net';
import path from 'node:path';

export const GATE_FOLDER = 'kestrova-helper';

// Without the peer check the sockets would serve whoever reaches them: its absence throws, and
// the gate serves nothing.
export function loadPeerCheck() {
  const { peerUid } = createRequire(import.meta.url)('../native/peercred.node');
  const uid = process.geteuid();
  // A connection whose peer cannot be told counts as another user's.
  return (socket) => {
    try {
      return peerUid(socket._handle?.fd) === uid;
    } catch {
      return false;
    }
  };
}

// Why a folder cannot hold the sockets, or nothing when it can: it must be this user's own
// directory (not a link to one) that no one else may enter.
function unfit(folder, uid) {
  if (!folder) return 'not set';
  if (!path.isAbsolute(folder)) return 'not an absolute path';
  let status;
  try {
    status = lstatSync(folder);
  } catch (err) {
    return err.code || err.message;
  }
  if (status.isSymbolicLink()) return 'a link';
  if (!status.isDirectory()) return 'not a folder';
  if (status.uid !== uid) return 'owned by another user';
  if ((status.mode & 0o077) !== 0) return 'open to other users';
  return undefined;
}

// $XDG_RUNTIME_DIR, else /run/user/<uid>: { folder } or { why } there is none.
export function runtimeFolder(env, uid = process.geteuid()) {
  const reasons = [];
  const fallback = `/run/user/${uid}`;
  for (const [named, folder] of [[`XDG_RUNTIME_DIR=${env.XDG_RUNTIME_DIR ?? ''}`, env.XDG_RUNTIME_DIR], [fallback, fallback]]) {
    const why = unfit(folder, uid);
    if (!why) return { folder };
    reasons.push(`${named}: ${why}`);
  }
  return { why: `no private runtime folder: ${reasons.join('; ')}` };
}

// The gate's own 0700 folder in the runtime folder.
export function gateFolder(env, uid = process.geteuid()) {
  const runtime = runtimeFolder(env, uid);
  if (!runtime.folder) return runtime;
  const folder = path.join(runtime.folder, GATE_FOLDER);
  try {
    mkdirSync(folder, { mode: 0o700 });
  } catch (err) {
    if (err.code !== 'EEXIST') return { why: `cannot make ${folder}: ${err.code || err.message}` };
  }
  const status = lstatSync(folder);
  if (status.isSymbolicLink() || !status.isDirectory() || status.uid !== uid) {
    return { why: `${folder} is not a folder of this user's own` };
  }
  chmodSync(folder, 0o700);
  return { folder };
}

function listen(server, file) {
  return new Promise((resolve, reject) => {
    const failed = (err) => reject(err);
    server.once('error', failed).listen(file, () => {
      server.off('error', failed);
      resolve();
    });
  });
}

// Whether a gate answers on the socket: a file nobody listens on is what a killed gate left.
function answers(file) {
  return new Promise((resolve) => {
    const probe = net.connect(file, () => {
      probe.destroy();
      resolve(true);
    });
    probe.on('error', () => resolve(false));
  });
}

// Takes the socket, unless another gate serves it.
export async function listenAt(server, file) {
  try {
    return await listen(server, file);
  } catch (err) {
    if (err.code !== 'EADDRINUSE') throw err;
  }
  if (await answers(file)) throw Object.assign(new Error('another gate serves it'), { code: 'EADDRINUSE' });
  unlinkSync(file);
  return listen(server, file);
}

// A server whose connections reach `serve` only once their peer proved to be this user; nothing
// is read from the others. `serve` gets each connection paused, and resumes it when it listens.
export function peerCheckedServer(samePeer, serve, { allowHalfOpen = false } = {}) {
  return net.createServer({ pauseOnConnect: true, allowHalfOpen }, (socket) => {
    if (!samePeer(socket)) return socket.destroy();
    socket.on('error', () => {});
    return serve(socket);
  });
}
