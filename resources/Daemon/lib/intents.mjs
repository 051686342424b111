// The pending requests: the queue file they are written to, the receipts of how each ended, and
// the change events the desktop follows.
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { appendLine, readJsonLines, rewriteLines } from './files.mjs';
import { log } from './log.mjs';

// Lines appended to the queue file before it is rewritten with the pending requests only.
const COMPACT_AFTER = 1000;

export class Intents extends EventEmitter {
  #pending = new Map(); // id -> { intent, answer, timer }
  #settings;
  #appended = 0;
  #closed = false;

  constructor(settings) {
    super();
    this.#settings = settings;
  }

  get size() {
    return this.#pending.size;
  }

  get(id) {
    return this.#pending.get(id)?.intent;
  }

  list() {
    return [...this.#pending.values()].map(({ intent, answer }) => {
      const { id, time, agent, title, detail, status, expires_at, origin, cwd, offers_session, grant } = intent;
      return { id, time, agent, title, detail, status, expires_at, caller: answer ? 'waiting' : 'gone',
        origin, cwd: cwd ?? null, session_offer: offers_session, grant };
    });
  }

  // `answer` gets the outcome: { status, by, note }.
  add(intent, answer) {
    const { queuePath } = this.#settings;
    if (++this.#appended > COMPACT_AFTER) this.#compact();
    appendLine(queuePath, 'queue', intent);
    const left = Date.parse(intent.expires_at) - Date.now();
    // setTimeout cannot hold more than ~24.8 days; no request may wait that long anyway.
    const timer = setTimeout(() => this.end(intent.id, { status: 'timed_out', by: 'timeout' }),
      Math.max(0, Math.min(left, 2 ** 31 - 1)));
    this.#pending.set(intent.id, { intent, answer, timer });
    this.#wake(intent.id);
    this.emit('added', intent);
    this.emit('change');
  }

  end(id, outcome) {
    const entry = this.#closed ? undefined : this.#pending.get(id);
    if (!entry) return false;
    this.#pending.delete(id);
    clearTimeout(entry.timer);
    this.#receipt(entry.intent, outcome);
    entry.answer?.(outcome);
    this.emit('ended', entry.intent, outcome);
    this.emit('change');
    return true;
  }

  // Shutting down: every caller learns to ask again. The requests stay in the queue file, and the
  // next start withdraws them from the phone; nothing ends here any more.
  answerAll(outcome) {
    this.#closed = true;
    for (const entry of this.#pending.values()) entry.answer?.(outcome);
  }

  // Requests a previous run left waiting have nobody to answer now: they end as withdrawn. Gives
  // their ids, for the phone to drop them.
  restore() {
    const { queuePath, receiptsPath } = this.#settings;
    const ended = new Set(readJsonLines(receiptsPath, 'receipts').map((r) => r.id));
    const left = readJsonLines(queuePath, 'queue')
      .filter((entry) => typeof entry.id === 'string' && entry.status === 'pending' && !ended.has(entry.id));
    for (const intent of left) {
      this.#receipt(intent, { status: 'withdrawn', by: 'gate', note: 'the gate restarted while it waited' });
    }
    this.#compact();
    return left.map((intent) => intent.id);
  }

  #receipt({ id, agent, title }, { status, by, note }) {
    const receipt = { id, time: new Date().toISOString(), status, by, agent, title };
    if (note) receipt.note = note;
    appendLine(this.#settings.receiptsPath, 'receipts', receipt);
  }

  #compact() {
    this.#appended = this.#pending.size;
    rewriteLines(this.#settings.queuePath, 'queue', [...this.#pending.values()].map(({ intent }) => intent));
  }

  #wake(id) {
    const script = this.#settings.wakeScript;
    if (typeof script !== 'string' || script === '') return;
    const child = spawn(script, [id], { stdio: 'ignore', shell: false });
    child.on('error', (err) => log(`cannot run wake_script: ${err.code || err.message}`));
    child.unref();
  }
}
