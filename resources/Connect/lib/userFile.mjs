// The agents' own files: read through links, replaced whole and at once, their mode kept, and
// copied once before the first change.
import { constants } from 'node:fs';
import fs from 'node:fs/promises';
import path from 'node:path';
import { randomBytes } from 'node:crypto';
import { FileProblem } from './jsonEdit.mjs';

export const backupPath = (file) => `${file}.kestrova-backup`;

// What the file holds now (null when there is none) and where writes go: a link is followed,
// so it stays a link to the file it names.
export async function readUserFile(file) {
  let target = file;
  try {
    target = await fs.realpath(file);
  } catch (error) {
    if (error.code !== 'ENOENT') throw new FileProblem(`${file}: ${error.message}`);
    if ((await fs.lstat(file).catch(() => null))?.isSymbolicLink()) {
      throw new FileProblem(`${file}: it is a link to a file that does not exist`);
    }
    return { file, target, text: null, mode: null };
  }
  let found;
  try {
    found = await fs.stat(target);
  } catch (error) {
    throw new FileProblem(`${file}: ${error.message}`);
  }
  // A FIFO or a device there would hold the read up for good.
  if (!found.isFile()) throw new FileProblem(`${file}: it is not a regular file`);
  try {
    return { file, target, text: await fs.readFile(target, 'utf8'), mode: found.mode & 0o7777 };
  } catch (error) {
    throw new FileProblem(`${file}: ${error.message}`);
  }
}

export async function readBackup(file) {
  return fs.readFile(backupPath(file), 'utf8').catch(() => null);
}

// Refuses before anything is written: a file the user made read-only stays as it is, whoever
// runs this (the owner's write bit counts, which root's access check would not).
export async function checkWritable({ file, target, text, mode }) {
  let writable = text === null || (mode & 0o200) !== 0;
  let folder = path.dirname(target);
  while (!(await fs.stat(folder).catch(() => null))) folder = path.dirname(folder);
  writable &&= await fs.access(folder, constants.W_OK).then(() => true, () => false);
  if (!writable) throw new FileProblem(`${file}: it cannot be written (read-only); nothing was changed`);
}

// A new file that will hold the secret is the user's alone; an existing one keeps its mode.
export async function writeUserFile({ file, target, text: before, mode }, text, { holdsSecret }) {
  const fileMode = mode ?? (holdsSecret ? 0o600 : 0o644);
  if (before === null) await fs.mkdir(path.dirname(target), { recursive: true, mode: 0o700 });
  // Made once, before the first change; empty for a file that was not there.
  const backup = before === null ? fs.writeFile(backupPath(file), '', { flag: 'wx', mode: 0o600 }) : fs.copyFile(target, backupPath(file), constants.COPYFILE_EXCL);
  await backup.catch((error) => {
    if (error.code !== 'EEXIST') throw error;
  });
  const temporary = path.join(path.dirname(target), `.${path.basename(target)}.${randomBytes(6).toString('hex')}`);
  const handle = await fs.open(temporary, 'wx', fileMode);
  try {
    await handle.writeFile(text);
    await handle.chmod(fileMode);
    await handle.sync();
  } finally {
    await handle.close();
  }
  await fs.rename(temporary, target).catch(async (error) => {
    await fs.rm(temporary, { force: true });
    throw error;
  });
  if (holdsSecret && (fileMode & 0o077)) {
    console.error(`kestrova-connect: note: ${file} can be read by other users of this computer, and it holds the gate's key`);
  }
}

// A file that connecting made goes again, with the empty copy that stood for it.
export async function removeUserFile({ file, target }) {
  await fs.rm(target);
  await fs.rm(backupPath(file), { force: true });
}
