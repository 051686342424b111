#!/usr/bin/env node
// Adds the Kestrova gate to coding agents' user settings (connect), takes it out again
// (disconnect), or tells how each agent stands (status, one JSON object on stdout).
//   kestrova-connect.mjs connect|disconnect|status AGENT... --hook PATH --secret-file PATH [--home DIR]
// AGENT is claude-code, codex or gemini. A file that cannot be read as what it should be is
// left as it was, with a message naming it and the line; the exit status is then 1. Notes the
// user should read (an entry of their own left alone, the gate's key replaced) go to standard
// error, each on a line starting "kestrova-connect: note: ".
import fs from 'node:fs/promises';
import os from 'node:os';
import { parseArgs } from 'node:util';
import { agentNames, agentPieces } from '../lib/agents.mjs';
import { JsonDocument } from '../lib/jsonEdit.mjs';
import { TomlDocument } from '../lib/tomlEdit.mjs';
import {
  FileProblem, backupPath, checkWritable, decodeText, readBackup, readUserFile, replaceFile, replaceSecret, writeBackup,
} from '../lib/userFile.mjs';

const usage = 'usage: kestrova-connect.mjs connect|disconnect|status AGENT... --hook PATH --secret-file PATH [--home DIR]';

function fail(message) {
  console.error(`kestrova-connect: ${message}`);
  process.exit(2);
}

const note = (message) => console.error(`kestrova-connect: note: ${message}`);

const open = (piece, text) => (piece.toml ? new TomlDocument(text ?? '', piece.file) : new JsonDocument(text ?? '', piece.file));
const isBare = (doc) => (doc instanceof TomlDocument ? doc.text.trim() === '' : doc.isBare());

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

// Works out every file's new text first, so that an agent whose files cannot all be read is
// left entirely as it was; then writes them.
async function change(agent, context, mode, noted) {
  const writes = [];
  const seen = { foreign: new Set(), bearers: new Set() };
  for (const pieces of byFile(agentPieces(agent, context))) {
    const found = await readUserFile(pieces[0].file);
    if (mode === 'disconnect' && found.bytes === null) continue;
    let backup = await readBackup(found.file);
    const doc = read(pieces, found.bytes);
    // The previous version kept an empty copy for a file it made; this one keeps none.
    const madeBefore = backup === '' && pieces.some((piece) => piece.state(doc) !== 'foreign' && piece.legacy(doc));
    if (madeBefore) backup = null;
    const plan = planner(pieces, mode, backup, seen);
    const bytes = plan(found.bytes);
    if (sameBytes(bytes, found.bytes)) continue;
    await checkWritable(found);
    const clean = mode === 'connect' && found.bytes !== null && backup === null
      ? planner(pieces, 'disconnect', null, { foreign: new Set(), bearers: new Set() })(found.bytes) : null;
    writes.push({ found, plan, madeBefore, clean, gone: bytes === null });
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
    const doc = read(pieces, (await readUserFile(pieces[0].file)).bytes);
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
async function replaceSecretIfHeld(file, bearers) {
  const secret = (await fs.readFile(file, 'utf8').catch(() => '')).trim();
  if (!secret || !bearers.has(secret)) return;
  if (await replaceSecret(file)) {
    note("the gate's key was in the agents' settings, which others may have read; it has been replaced (the gate takes the new one when it next starts)");
  }
}

async function main() {
  let parsed;
  try {
    parsed = parseArgs({
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
  if (unknown) fail(`unknown agent "${unknown}" (claude-code, codex or gemini)`);
  const context = { home: values.home ?? os.homedir(), hook: values.hook };

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
      console.log(`${agentNames[agent]}: ${changed ? done : `already ${done}`}`);
      if (mode === 'connect' && changed && agent === 'codex') {
        note('Codex: run /hooks in Codex once and trust the kestrova-hook command; Codex skips hooks it has not been told to trust');
      }
    } catch (error) {
      if (!(error instanceof FileProblem)) throw error;
      failed = true;
      if (mode === 'status') report[agent] = { state: 'unreadable', detail: error.message };
      else console.error(`kestrova-connect: ${error.message}; ${agentNames[agent]} left as it was`);
    }
  }
  if (mode === 'status') console.log(JSON.stringify(report));
  seen.foreign.forEach(note);
  if (mode !== 'status') await replaceSecretIfHeld(values['secret-file'], seen.bearers);
  process.exitCode = failed && mode !== 'status' ? 1 : 0;
}

await main();
