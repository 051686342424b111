// The agents' own files: read as bytes and taken only as UTF-8, followed through links, replaced
// whole and at once with their owner and mode, and edited again when another program (the agent
// itself) wrote them while the new text was being made.
import { closeSync, constants, fstatSync, openSync, readSync, renameSync, rmSync } from 'node:fs';
import fs from 'node:fs/promises';
import path from 'node:path';
import { randomBytes } from 'node:crypto';

export class FileProblem extends Error {}

export const backupPath = (file) => `${file}.kestrova-backup`;

// Line (1-based) of an offset, for messages; the end of the text is on its last line.
export function lineOf(text, offset) {
  return text.slice(0, Math.min(offset, text.trimEnd().length)).split('\n').length;
}

const utf8 = new TextDecoder('utf-8', { fatal: true, ignoreBOM: true });

// The text of the bytes; a byte sequence that is not UTF-8 is refused with its line, since
// writing it back as text would change it.
export function decodeText(bytes, name) {
  try {
    return utf8.decode(bytes);
  } catch {
    const lossy = Buffer.from(bytes.toString('utf8'));
    let at = 0;
    while (bytes[at] === lossy[at]) at++;
    const line = bytes.subarray(0, at).filter((byte) => byte === 0x0a).length + 1;
    throw new FileProblem(`${name} line ${line}: it holds bytes that are not UTF-8 text; save it as UTF-8 and try again`);
  }
}

const same = (a, b) => (a === null || b === null ? a === b : a.equals(b));

// Read through a descriptor, without a turn of the event loop: the check before a rename and
// the rename follow each other at once.
function readAll(descriptor) {
  const chunks = [];
  for (let position = 0; ;) {
    const buffer = Buffer.alloc(Math.max(fstatSync(descriptor).size - position, 0) + 65536);
    const read = readSync(descriptor, buffer, 0, buffer.length, position);
    if (read === 0) return Buffer.concat(chunks);
    chunks.push(buffer.subarray(0, read));
    position += read;
  }
}

// Where writes go (a link is followed, so it stays a link to the file it names), what the
// file holds (null when there is none), and its owner and mode.
export async function readUserFile(file) {
  let target = file;
  try {
    target = await fs.realpath(file);
  } catch (error) {
    if (error.code !== 'ENOENT') throw new FileProblem(`${file}: ${error.message}`);
    if ((await fs.lstat(file).catch(() => null))?.isSymbolicLink()) {
      throw new FileProblem(`${file}: it is a link to a file that does not exist`);
    }
    return { file, target, bytes: null, stat: null };
  }
  // A FIFO or a device there would hold the read up for good.
  const stat = await fs.stat(target).catch((error) => {
    throw new FileProblem(`${file}: ${error.message}`);
  });
  if (!stat.isFile()) throw new FileProblem(`${file}: it is not a regular file`);
  const bytes = await fs.readFile(target).catch((error) => {
    throw new FileProblem(`${file}: ${error.message}`);
  });
  return { file, target, bytes, stat };
}

export async function readBackup(file) {
  return fs.readFile(backupPath(file), 'utf8').catch(() => null);
}

async function nearestFolder(folder) {
  for (;;) {
    const stat = await fs.stat(folder).catch(() => null);
    if (stat) return { folder, stat };
    folder = path.dirname(folder);
  }
}

// Refuses before anything is written: a file the user made read-only stays as it is, whoever
// runs this (the owner's write bit counts, which root's access check would not).
export async function checkWritable({ file, target, stat }) {
  const { folder } = await nearestFolder(path.dirname(target));
  const writable = (stat === null || (stat.mode & 0o200) !== 0) && (await fs.access(folder, constants.W_OK).then(() => true, () => false));
  if (!writable) throw new FileProblem(`${file}: it cannot be written (read-only); nothing was changed`);
}

// Who owns what is made here: the file's owner, or for a new file the owner of the folder it
// goes in. Only root writes as someone else (`sudo -E`); the user keeps their own files.
async function ownerFor(target, stat) {
  const from = stat ?? (await nearestFolder(path.dirname(target))).stat;
  return { uid: from.uid, gid: from.gid };
}

const asRoot = () => process.getuid?.() === 0;

async function makeFolders(folder, owner) {
  const { folder: existing } = await nearestFolder(folder);
  await fs.mkdir(folder, { recursive: true, mode: 0o700 });
  if (!asRoot()) return;
  for (let at = folder; at !== existing; at = path.dirname(at)) await fs.chown(at, owner.uid, owner.gid);
}

async function writeTemporary(target, bytes, { mode, owner }) {
  const temporary = path.join(path.dirname(target), `.${path.basename(target)}.${randomBytes(6).toString('hex')}`);
  const handle = await fs.open(temporary, 'wx', mode);
  try {
    await handle.writeFile(bytes);
    if (asRoot()) await handle.chown(owner.uid, owner.gid);
    await handle.chmod(mode);
    await handle.sync();
  } catch (error) {
    await handle.close();
    await fs.rm(temporary, { force: true });
    throw error;
  }
  await handle.close();
  return temporary;
}

// The file as it was before the first change, kept once beside it, with its owner and mode.
export async function writeBackup({ file, target, stat }, text) {
  const owner = await ownerFor(target, stat);
  const temporary = await writeTemporary(backupPath(file), Buffer.from(text), { mode: stat.mode & 0o7777, owner });
  await fs.link(temporary, backupPath(file)).catch((error) => {
    if (error.code !== 'EEXIST') throw error;
  }).finally(() => fs.rm(temporary, { force: true }));
}

const tries = 20;
const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function bytesOf(file) {
  const target = await fs.realpath(file).catch(() => null);
  const regular = target && (await fs.stat(target).catch(() => null))?.isFile();
  return regular ? fs.readFile(target).catch(() => null) : null;
}

// Runs work(), which reads the file; a file it cannot take is read again a moment later, since
// a program writing it in place leaves it half written for that moment. Only a file that stays
// as it was is refused.
export async function whileWritten(file, work) {
  for (let round = 0; ; round++) {
    const before = await bytesOf(file);
    try {
      return await work();
    } catch (error) {
      if (!(error instanceof FileProblem) || round >= tries) throw error;
      await pause(20);
      if (same(await bytesOf(file), before)) throw error;
    }
  }
}

// Replaces the file with edit(its bytes) (null: removes it). Just before the rename the file is
// read again; if another program changed it since, the edit is made again on the new bytes. A
// program that writes into the file in place just after that check wrote into what the rename
// replaced: its bytes are read back through the open file and edited in turn.
export async function replaceFile(found, edit) {
  const { file, target } = found;
  let source = found.bytes;
  let expected = found.bytes;
  let stat = found.stat;
  for (let round = 0; round < tries; round++) {
    let bytes;
    try {
      bytes = edit(source);
    } catch (error) {
      if (!(error instanceof FileProblem)) throw error;
      await pause(20);
      const now = await bytesOf(file);
      if (same(now, source)) throw error;
      [source, expected, stat] = [now, now, await fs.stat(target).catch(() => null)];
      continue;
    }
    if (same(bytes, expected)) return;
    const owner = await ownerFor(target, stat);
    if (bytes !== null && stat === null) await makeFolders(path.dirname(target), owner);
    const temporary = bytes === null ? null : await writeTemporary(target, bytes, { mode: stat ? stat.mode & 0o7777 : 0o600, owner });
    let descriptor = null;
    try {
      descriptor = openSync(target, 'r');
    } catch (error) {
      if (error.code !== 'ENOENT') throw error;
    }
    try {
      const now = descriptor === null ? null : readAll(descriptor);
      if (!same(now, expected)) {
        if (temporary) await fs.rm(temporary, { force: true });
        // A program writing now is likely to write again at once: a moment's pause, then its
        // latest bytes.
        await pause(5 * round);
        source = expected = await bytesOf(file);
        stat = await fs.stat(target).catch(() => null);
        continue;
      }
      if (temporary) renameSync(temporary, target);
      else rmSync(target);
      let late = descriptor === null ? null : readAll(descriptor);
      if (same(late, now)) return;
      // Taken once the other program is done writing it.
      for (let settling = 0; settling < tries; settling++) {
        await pause(20);
        const again = readAll(descriptor);
        if (same(again, late)) break;
        late = again;
      }
      [source, expected] = [late, bytes];
      stat = await fs.stat(target).catch(() => null);
    } catch (error) {
      if (temporary) await fs.rm(temporary, { force: true });
      throw error;
    } finally {
      if (descriptor !== null) closeSync(descriptor);
    }
  }
  throw new FileProblem(`${file}: another program kept changing it while it was being edited; try again`);
}

// A new key for the gate, the user's alone, in place of one that others may have read.
export async function replaceSecret(file) {
  const found = await readUserFile(file).catch(() => null);
  if (!found?.bytes) return false;
  const key = `${randomBytes(32).toString('base64url')}\n`;
  const owner = await ownerFor(found.target, found.stat);
  const temporary = await writeTemporary(found.target, Buffer.from(key), { mode: 0o600, owner });
  await fs.rename(temporary, found.target);
  return true;
}
