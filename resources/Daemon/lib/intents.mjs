// The pending requests, the queue file they are written to and the receipts of their outcomes.
import { spawn } from 'node:child_process';
import { appendLine, readJsonLines } from './files.mjs';
import { log } from './log.mjs';

export class Intents {
  #pending = new Map(); // by id; `settle` is set while a tool call waits on it, restored ones have none
  #settings;

  constructor(settings) {
    this.#settings = settings;
  }

  get size() {
    return this.#pending.size;
  }

  get(id) {
    return this.#pending.get(id);
  }

  list() {
    return [...this.#pending.values()].map(({ id, time, agent, title, detail, status, expires_at, settle }) =>
      ({ id, time, agent, title, detail, status, expires_at, caller: settle ? 'waiting' : 'gone' }));
  }

  add(intent) {
    appendLine(this.#settings.queuePath, 'queue', intent);
    this.#hold(intent);
    this.#wake(intent.id);
  }

  decide(id, status, note) {
    const intent = this.#pending.get(id);
    if (!intent) return false;
    this.#pending.delete(id);
    clearTimeout(intent.timer);
    const receipt = { id, time: new Date().toISOString(), status };
    if (note) receipt.note = note;
    appendLine(this.#settings.receiptsPath, 'receipts', receipt);
    intent.settle?.(status, note);
    return true;
  }

  // The requests a previous run left undecided; gives their ids, oldest first.
  restore() {
    const decided = new Set(readJsonLines(this.#settings.receiptsPath, 'receipts').map((r) => r.id));
    const restored = [];
    for (const entry of readJsonLines(this.#settings.queuePath, 'queue')) {
      if (typeof entry.id !== 'string' || entry.status !== 'pending' || decided.has(entry.id)) continue;
      if (Number.isNaN(Date.parse(entry.expires_at))) continue;
      this.#hold({ ...entry });
      restored.push(entry.id);
    }
    return restored;
  }

  #hold(intent) {
    this.#pending.set(intent.id, intent);
    const left = Date.parse(intent.expires_at) - Date.now();
    // setTimeout cannot hold more than ~24.8 days; no request may wait that long anyway.
    intent.timer = setTimeout(() => this.decide(intent.id, 'timed_out'), Math.max(0, Math.min(left, 2 ** 31 - 1)));
  }

  #wake(id) {
    const script = this.#settings.wakeScript;
    if (typeof script !== 'string' || script === '') return;
    const child = spawn(script, [id], { stdio: 'ignore', shell: false });
    child.on('error', (err) => log(`cannot run wake_script: ${err.code || err.message}`));
    child.unref();
  }
}
