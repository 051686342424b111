#!/usr/bin/env node
// Adds the Kestrova gate to coding agents' user settings (connect), takes it out again
// (disconnect), or tells how each agent stands (status, one JSON object on stdout).
//   kestrova-connect.mjs connect|disconnect|status AGENT... --hook PATH --secret-file PATH
//       [--port N] [--home DIR]
// AGENT is claude-code, codex or gemini. A file that cannot be read as what it should be is
// left as it was, with a message naming it and the line; the exit status is then 1.
import fs from 'node:fs/promises';
import os from 'node:os';
import { parseArgs } from 'node:util';
import { agentNames, agentPieces, defaultPort } from '../lib/agents.mjs';
import { FileProblem, JsonDocument } from '../lib/jsonEdit.mjs';
import { TomlDocument } from '../lib/tomlEdit.mjs';
import { checkWritable, readBackup, readUserFile, removeUserFile, writeUserFile } from '../lib/userFile.mjs';

const usage = 'usage: kestrova-connect.mjs connect|disconnect|status AGENT... --hook PATH --secret-file PATH [--port N] [--home DIR]';

function fail(message) {
  console.error(`kestrova-connect: ${message}`);
  process.exit(2);
}

const open = (piece, text) => (piece.toml ? new TomlDocument(text ?? '', piece.file) : new JsonDocument(text ?? '', piece.file));
const isEmpty = (piece, text) => (piece.toml ? text.trim() === '' : text.trim() === '{}');

// The agent's pieces, grouped by the file they live in, in order.
function byFile(pieces) {
  const files = new Map();
  for (const piece of pieces) files.set(piece.file, [...(files.get(piece.file) ?? []), piece]);
  return [...files.values()];
}

async function readSecret(file) {
  const secret = (await fs.readFile(file, 'utf8').catch(() => '')).replace(/\n$/, '');
  return /^[A-Za-z0-9_-]+$/.test(secret) ? secret : null;
}

// Works out every file's new text first, so that an agent whose files cannot all be read is
// left entirely as it was; then writes them.
async function change(agent, context, mode) {
  const writes = [];
  for (const pieces of byFile(agentPieces(agent, context))) {
    const file = await readUserFile(pieces[0].file);
    if (mode === 'disconnect' && file.text === null) continue;
    const doc = open(pieces[0], file.text);
    pieces.forEach((piece) => piece.check(doc));
    const pending = pieces.filter((piece) => piece.state(doc) !== (mode === 'connect' ? 'current' : 'absent'));
    if (pending.length === 0) continue;
    if (mode === 'connect') {
      pending.forEach((piece) => piece.add(doc));
    } else {
      const backup = await readBackup(file.file);
      let before = null;
      try {
        before = backup === null || pieces[0].toml ? null : new JsonDocument(backup, file.file);
      } catch {}
      pending.forEach((piece) => piece.remove(doc, before));
      // An empty copy stands for a file that was not there before connecting.
      if (!backup && isEmpty(pieces[0], doc.text)) {
        writes.push({ file, run: () => removeUserFile(file) });
        continue;
      }
    }
    const text = file.text === null && !pieces[0].toml ? doc.text + doc.eol : doc.text;
    const holdsSecret = mode === 'connect' && pieces.some((piece) => piece.secret);
    await checkWritable(file);
    writes.push({ file, run: () => writeUserFile(file, text, { holdsSecret }) });
  }
  for (const { file, run } of writes) {
    await run().catch((error) => {
      throw new FileProblem(`${file.file}: ${error.message}`);
    });
  }
  return writes.length > 0;
}

async function state(agent, context) {
  const states = new Set();
  for (const pieces of byFile(agentPieces(agent, context))) {
    const file = await readUserFile(pieces[0].file);
    const doc = open(pieces[0], file.text);
    pieces.forEach((piece) => piece.check(doc));
    pieces.forEach((piece) => states.add(piece.state(doc)));
  }
  if (states.size === 1 && states.has('current')) return 'connected';
  if (states.size === 1 && states.has('absent')) return 'not-connected';
  return 'outdated';
}

async function main() {
  let parsed;
  try {
    parsed = parseArgs({
      allowPositionals: true,
      options: { hook: { type: 'string' }, 'secret-file': { type: 'string' }, port: { type: 'string' }, home: { type: 'string' } },
    });
  } catch (error) {
    fail(`${error.message}\n${usage}`);
  }
  const { positionals: [mode, ...agents], values } = parsed;
  const port = Number(values.port ?? defaultPort);
  if (!['connect', 'disconnect', 'status'].includes(mode) || agents.length === 0 || !values.hook || !values['secret-file'] || !(port > 0 && port < 65536)) {
    fail(usage);
  }
  const unknown = agents.find((agent) => !(agent in agentNames));
  if (unknown) fail(`unknown agent "${unknown}" (claude-code, codex or gemini)`);
  const secret = await readSecret(values['secret-file']);
  if (!secret && mode === 'connect') fail(`no gate key in ${values['secret-file']}`);
  const context = { home: values.home ?? os.homedir(), hook: values.hook, port, secret: secret ?? '' };

  let failed = false;
  const report = {};
  for (const agent of agents) {
    try {
      if (mode === 'status') {
        report[agent] = { state: await state(agent, context) };
        continue;
      }
      const changed = await change(agent, context, mode);
      const done = mode === 'connect' ? 'connected' : 'disconnected';
      console.log(`${agentNames[agent]}: ${changed ? done : `already ${done}`}`);
      if (mode === 'connect' && changed && agent === 'codex') {
        console.log('Codex: run /hooks in Codex once and trust the kestrova-hook command; Codex skips hooks it has not been told to trust');
      }
    } catch (error) {
      if (!(error instanceof FileProblem)) throw error;
      failed = true;
      if (mode === 'status') report[agent] = { state: 'unreadable', detail: error.message };
      else console.error(`kestrova-connect: ${error.message}; ${agentNames[agent]} left as it was`);
    }
  }
  if (mode === 'status') console.log(JSON.stringify(report));
  process.exitCode = failed && mode !== 'status' ? 1 : 0;
}

await main();
