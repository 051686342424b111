// The connect script's command line, as a function: the script runs it once, the tests many
// times in one process.
import fs from 'node:fs/promises';
import os from 'node:os';
import { parseArgs } from 'node:util';
import { agentNames, agentPieces } from './agents.mjs';
import { JsonDocument } from './jsonEdit.mjs';
import { TomlDocument } from './tomlEdit.mjs';
import {
  FileProblem, backupPath, checkWritable, decodeText, readBackup, readUserFile, replaceFile, replaceSecret, whileWritten, writeBackup,
} from './userFile.mjs';

const usage = 'usage: kestrova-connect.mjs connect|disconnect|status AGENT... --hook PATH --secret-file PATH [--home DIR]';

class UsageProblem extends Error {}

function fail(message) {
  throw new UsageProblem(message);
}

// A file of our own is taken as its text, whole.
class WholeFile {
  constructor(text) {
    Object.assign(this, { text, eol: '', blank: false });
  }
}

function open(piece, text) {
  if (piece.whole) return new WholeFile(text ?? '');
  return piece.toml ? new TomlDocument(text ?? '', piece.file) : new JsonDocument(text ?? '', piece.file);
}
const isBare = (doc) => (doc instanceof JsonDocument ? doc.isBare() : doc.text.trim() === '');

// The agent's pieces, grouped by the file they live in, in order.
function byFile(pieces) {
  const files = new Map();
  for (const piece of pieces) files.set(piece.file, [...(files.get(piece.file) ?? []), piece]);
  return [...files.values()];
}

function read(pieces, bytes) {
  const doc = open(pieces[0], bytes && decodeText(bytes, pieces[0].file));
  pieces.forEach((piece) => piece.check(doc));
  return doc;
}

// A file's change as a function of its bytes, so that it can be made again on what another
// program wrote meanwhile; null for a file that goes. `backup` is the file as it was before
// the first change (null when connect made it): containers it had stay, and a file that held
// no setting comes back as it was.
function planner(pieces, mode, backup, seen) {
  let before = null;
  try {
    before = backup === null ? null : open(pieces[0], backup);
  } catch {}
  return (bytes) => {
    const doc = read(pieces, bytes);
    for (const piece of pieces) {
      const state = piece.state(doc);
      if (state === 'foreign') {
        if (mode === 'connect') throw new FileProblem(`${piece.foreign(doc)}, so it was left alone; rename or remove it, then connect again`);
        seen.foreign.add(`${piece.foreign(doc)}; it was left as it was`);
        continue;
      }
      piece.bearers(doc).forEach((bearer) => seen.bearers.add(bearer));
      if (mode === 'connect' && state !== 'current') piece.add(doc);
      if (mode === 'disconnect' && state !== 'absent') piece.remove(doc, before);
    }
    if (mode === 'disconnect' && isBare(doc)) {
      if (backup === null) return null;
      if (backup.trim() === '') return Buffer.from(backup);
    }
    const blank = bytes === null || (!pieces[0].toml && doc.blank);
    return Buffer.from(blank && !pieces[0].toml ? doc.text + doc.eol : doc.text);
  };
}

const sameBytes = (a, b) => (a === null || b === null ? a === b : a.equals(b));

// What one file needs (null: nothing), from its bytes now.
async function prepare(pieces, mode, seen) {
  const found = await readUserFile(pieces[0].file);
  if (mode === 'disconnect' && found.bytes === null) return null;
  let backup = await readBackup(found.file);
  const doc = read(pieces, found.bytes);
  // The previous version kept an empty copy for a file it made; this one keeps none.
  const madeBefore = backup === '' && pieces.some((piece) => piece.state(doc) !== 'foreign' && piece.legacy(doc));
  if (madeBefore) backup = null;
  const plan = planner(pieces, mode, backup, seen);
  const bytes = plan(found.bytes);
  if (sameBytes(bytes, found.bytes)) return null;
  await checkWritable(found);
  const ours = pieces.some((piece) => !['absent', 'foreign'].includes(piece.state(doc)));
  const clean = mode !== 'connect' || found.bytes === null || backup !== null ? null
    : ours ? planner(pieces, 'disconnect', null, { foreign: new Set(), bearers: new Set() })(found.bytes) : found.bytes;
  return { found, plan, madeBefore, clean, gone: bytes === null };
}

// Works out every file's new text first, so that an agent whose files cannot all be read is
// left entirely as it was; then writes them.
async function change(agent, context, mode, noted) {
  const writes = [];
  const seen = { foreign: new Set(), bearers: new Set() };
  for (const pieces of byFile(agentPieces(agent, context))) {
    const write = await whileWritten(pieces[0].file, () => prepare(pieces, mode, seen));
    if (write) writes.push(write);
  }
  for (const { found, plan, madeBefore, clean, gone } of writes) {
    try {
      if (madeBefore || gone) await fs.rm(backupPath(found.file), { force: true });
      // The file as it was without this program's entries, kept once: it never holds the key.
      if (clean) await writeBackup(found, clean.toString());
      await replaceFile(found, plan);
    } catch (error) {
      throw error instanceof FileProblem ? error : new FileProblem(`${found.file}: ${error.message}`);
    }
  }
  seen.foreign.forEach((message) => noted.foreign.add(message));
  seen.bearers.forEach((bearer) => noted.bearers.add(bearer));
  return writes.length > 0;
}

async function state(agent, context) {
  const states = new Set();
  for (const pieces of byFile(agentPieces(agent, context))) {
    const doc = await whileWritten(pieces[0].file, async () => read(pieces, (await readUserFile(pieces[0].file)).bytes));
    for (const piece of pieces) {
      if (piece.state(doc) === 'foreign') throw new FileProblem(`${piece.foreign(doc)}; rename or remove it, then connect again`);
      states.add(piece.state(doc));
    }
  }
  if (states.size === 1 && states.has('current')) return 'connected';
  if (states.size === 1 && states.has('absent')) return 'not-connected';
  return 'outdated';
}

// The gate's key was written into settings files by the previous version; once such an entry
// is taken out, the key is replaced, once.
async function replaceSecretIfHeld(file, bearers, note) {
  const secret = (await fs.readFile(file, 'utf8').catch(() => '')).trim();
  if (!secret || !bearers.has(secret)) return;
  if (await replaceSecret(file)) {
    note("the gate's key was in the agents' settings, which others may have read; it has been replaced (the gate takes the new one when it next starts)");
  }
}

// Runs one command line; what it says goes to print.out and print.err, a line a call. Returns
// the exit status.
export async function runCommand(argv, print) {
  try {
    return await command(argv, print);
  } catch (error) {
    if (!(error instanceof UsageProblem)) throw error;
    print.err(`kestrova-connect: ${error.message}`);
    return 2;
  }
}

async function command(argv, print) {
  const note = (message) => print.err(`kestrova-connect: note: ${message}`);
  let parsed;
  try {
    parsed = parseArgs({
      args: argv,
      allowPositionals: true,
      options: { hook: { type: 'string' }, 'secret-file': { type: 'string' }, home: { type: 'string' } },
    });
  } catch (error) {
    fail(`${error.message}\n${usage}`);
  }
  const { positionals: [mode, ...agents], values } = parsed;
  if (!['connect', 'disconnect', 'status'].includes(mode) || agents.length === 0 || !values.hook || !values['secret-file']) {
    fail(usage);
  }
  const unknown = agents.find((agent) => !(agent in agentNames));
  if (unknown) fail(`unknown agent "${unknown}" (${Object.keys(agentNames).join(', ')})`);
  const context = { home: values.home ?? os.homedir(), hook: values.hook, env: process.env };

  let failed = false;
  const report = {};
  const seen = { foreign: new Set(), bearers: new Set() };
  for (const agent of agents) {
    try {
      if (mode === 'status') {
        report[agent] = { state: await state(agent, context) };
        continue;
      }
      const changed = await change(agent, context, mode, seen);
      const done = mode === 'connect' ? 'connected' : 'disconnected';
      print.out(`${agentNames[agent]}: ${changed ? done : `already ${done}`}`);
      if (mode === 'connect' && changed && agent === 'codex') {
        note('Codex: run /hooks in Codex once and trust the kestrova-hook command; Codex skips hooks it has not been told to trust');
      }
    } catch (error) {
      if (!(error instanceof FileProblem)) throw error;
      failed = true;
      if (mode === 'status') report[agent] = { state: 'unreadable', detail: error.message };
      else print.err(`kestrova-connect: ${error.message}; ${agentNames[agent]} left as it was`);
    }
  }
  if (mode === 'status') print.out(JSON.stringify(report));
  seen.foreign.forEach(note);
  if (mode !== 'status') await replaceSecretIfHeld(values['secret-file'], seen.bearers, note);
  return failed && mode !== 'status' ? 1 : 0;
}
