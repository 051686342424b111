// The queue and receipt files: one JSON object a line, appended to.
import { appendFileSync, readFileSync, renameSync, rmSync, writeFileSync } from 'node:fs';
import { log } from './log.mjs';

// A missing file means "nothing yet"; a damaged line is reported and skipped so it cannot hide the rest.
export function readJsonLines(path, what) {
  if (typeof path !== 'string' || path === '') return [];
  let text;
  try {
    text = readFileSync(path, 'utf8');
  } catch (err) {
    if (err.code !== 'ENOENT') log(`cannot read ${what}: ${err.code || err.message}`);
    return [];
  }
  const objects = [];
  text.split(/\r?\n/).forEach((line, index) => {
    if (!line.trim()) return;
    try {
      const value = JSON.parse(line);
      if (value !== null && typeof value === 'object' && !Array.isArray(value)) return objects.push(value);
    } catch {
      // reported below
    }
    log(`skipped damaged line ${index + 1} of ${what}`);
  });
  return objects;
}

export function appendLine(path, what, object) {
  if (typeof path !== 'string' || path === '') return;
  try {
    appendFileSync(path, JSON.stringify(object) + '\n');
  } catch (err) {
    log(`cannot append to ${what}: ${err.code || err.message}`);
  }
}

// Replaces the file at once: a crash leaves the old file or the new one, never half of it.
export function rewriteLines(path, what, objects) {
  if (typeof path !== 'string' || path === '') return;
  const temporary = `${path}.${process.pid}.tmp`;
  try {
    writeFileSync(temporary, objects.map((object) => JSON.stringify(object) + '\n').join(''), { mode: 0o600 });
    renameSync(temporary, path);
  } catch (err) {
    log(`cannot rewrite ${what}: ${err.code || err.message}`);
    rmSync(temporary, { force: true });
  }
}
