// The queue and receipt files: one JSON object a line, appended to, each line written whole.
import { closeSync, fstatSync, ftruncateSync, openSync, readFileSync, readSync, renameSync, rmSync, writeFileSync,
  writeSync } from 'node:fs';
import { log } from './log.mjs';

export class LineFile {
  #path;
  #what;

  constructor(path, what) {
    this.#path = typeof path === 'string' && path !== '' ? path : undefined;
    this.#what = what;
  }

  // A missing file means "nothing yet"; a damaged line is reported and skipped so it cannot hide
  // the rest. A last line without its line end was cut short by a crash or a full disk: it is
  // dropped from the file too, so the next line does not join it.
  read() {
    if (!this.#path) return [];
    let text;
    try {
      text = readFileSync(this.#path, 'utf8');
    } catch (err) {
      if (err.code !== 'ENOENT') log(`cannot read ${this.#what}: ${err.code || err.message}`);
      return [];
    }
    const lines = text.split('\n');
    const torn = lines.pop();
    if (torn !== '') {
      log(`dropped the torn last line ${lines.length + 1} of ${this.#what}`);
      this.#cut(Buffer.byteLength(text) - Buffer.byteLength(torn));
    }
    const objects = [];
    lines.forEach((line, index) => {
      if (!line.trim()) return;
      try {
        const value = JSON.parse(line);
        if (value !== null && typeof value === 'object' && !Array.isArray(value)) return objects.push(value);
      } catch {
        // reported below
      }
      log(`skipped damaged line ${index + 1} of ${this.#what}`);
    });
    return objects;
  }

  // Gives what went wrong, or nothing once the line is in the file. A line written in part (a full
  // disk) is taken back.
  append(object) {
    if (!this.#path) return undefined;
    let fd;
    try {
      fd = openSync(this.#path, 'a+', 0o600);
      const { size } = fstatSync(fd);
      // After a take-back that failed too, the next line starts a line of its own.
      const line = Buffer.from((size > 0 && !endsLine(fd, size) ? '\n' : '') + JSON.stringify(object) + '\n');
      try {
        for (let at = 0; at < line.length;) at += writeSync(fd, line, at);
      } catch (err) {
        ftruncateSync(fd, size);
        throw err;
      }
      return undefined;
    } catch (err) {
      log(`cannot append to ${this.#what}: ${err.code || err.message}`);
      return err.code || err.message;
    } finally {
      if (fd !== undefined) closeSync(fd);
    }
  }

  // Replaces the file at once: a crash leaves the old file or the new one, never half of it.
  rewrite(objects) {
    if (!this.#path) return;
    const temporary = `${this.#path}.${process.pid}.tmp`;
    try {
      writeFileSync(temporary, objects.map((object) => JSON.stringify(object) + '\n').join(''), { mode: 0o600 });
      renameSync(temporary, this.#path);
    } catch (err) {
      log(`cannot rewrite ${this.#what}: ${err.code || err.message}`);
      rmSync(temporary, { force: true });
    }
  }

  #cut(size) {
    let fd;
    try {
      fd = openSync(this.#path, 'r+');
      ftruncateSync(fd, size);
    } catch (err) {
      log(`cannot drop the torn line of ${this.#what}: ${err.code || err.message}`);
    } finally {
      if (fd !== undefined) closeSync(fd);
    }
  }
}

function endsLine(fd, size) {
  const last = Buffer.alloc(1);
  return readSync(fd, last, 0, 1, size - 1) === 1 && last[0] === 0x0a;
}
