// The pending requests: the queue file they are written to, with the withdrawals the relay has not
// taken yet; the receipts of how each ended; and the events the desktop follows.
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { LineFile } from './files.mjs';
import { log } from './log.mjs';

// Lines appended to the queue file before it is rewritten with what is still pending or owed.
const COMPACT_AFTER = 1000;
export const RESTARTED = 'the gate restarted while it waited';

// A request as GET /intents and the desktop's event stream show it.
function shown({ intent, answer }) {
  const { id, time, agent, title, detail, status, expires_at, origin, cwd, offers_session, grant } = intent;
  return { id, time, agent, title, detail, status, expires_at, caller: answer ? 'waiting' : 'gone',
    origin, cwd: cwd ?? null, session_offer: offers_session, grant };
}

export class Intents extends EventEmitter {
  #pending = new Map(); // id -> { intent, answer, timer, watchers }
  #owed = new Map(); // id -> { id, withdraw: reason, expires_at }
  #settings;
  #queue;
  #receipts;
  #appended = 0;
  #closed = false;

  constructor(settings) {
    super();
    this.#settings = settings;
    this.#queue = new LineFile(settings.queuePath, 'queue');
    this.#receipts = new LineFile(settings.receiptsPath, 'receipts');
  }

  get size() {
    return this.#pending.size;
  }

  get(id) {
    return this.#pending.get(id)?.intent;
  }

  list() {
    return [...this.#pending.values()].map(shown);
  }

  shown(id) {
    const entry = this.#pending.get(id);
    return entry && shown(entry);
  }

  // `answer` gets the outcome: { status, by, note }. A request that cannot be saved is not taken:
  // gives why, for the caller.
  add(intent, answer) {
    if (this.#closed) return 'the gate is stopping: ask again';
    const failed = this.#append(intent);
    if (failed) return `the gate cannot save this request: ${failed}`;
    const left = Date.parse(intent.expires_at) - Date.now();
    // setTimeout cannot hold more than ~24.8 days; no request may wait that long anyway.
    const timer = setTimeout(() => this.end(intent.id, { status: 'timed_out', by: 'timeout' }),
      Math.max(0, Math.min(left, 2 ** 31 - 1)));
    this.#pending.set(intent.id, { intent, answer, timer, watchers: [] });
    this.#wake(intent.id);
    this.emit('added', intent);
    return undefined;
  }

  // The caller is told `told`, which is the outcome unless the gate is stopping.
  end(id, outcome, told = outcome) {
    const entry = this.#closed ? undefined : this.#pending.get(id);
    if (!entry) return false;
    this.#pending.delete(id);
    clearTimeout(entry.timer);
    // Written down before the receipt: a crash in between withdraws it again, never not at all.
    if (outcome.status === 'withdrawn') this.#owe(entry.intent, outcome.note);
    this.#receipt(entry.intent, outcome);
    entry.answer?.(told);
    for (const watcher of entry.watchers) watcher(outcome);
    this.emit('ended', entry.intent, outcome);
    return true;
  }

  // The outcome of a pending request, once it ends.
  watch(id) {
    const entry = this.#pending.get(id);
    return entry && new Promise((resolve) => entry.watchers.push(resolve));
  }

  // Stopping: every caller learns to ask again, and the phone stops offering what nobody would
  // act on. Nothing ends after this.
  stopAll() {
    for (const id of [...this.#pending.keys()]) {
      this.end(id, { status: 'withdrawn', by: 'gate', note: RESTARTED }, { status: 'restarting', by: 'gate' });
    }
    this.#closed = true;
  }

  // The relay took the withdrawal, or never will.
  settle(id) {
    if (this.#owed.delete(id)) this.#append({ id, withdrawn: true });
  }

  // What a previous run left: requests nobody answers now end as withdrawn, and every withdrawal
  // still owed to the relay, these and those the previous run could not send, is owed again.
  restore() {
    const ended = new Set(this.#receipts.read().map((r) => r.id));
    const left = new Map();
    for (const line of this.#queue.read()) {
      if (typeof line.id !== 'string') continue;
      if (typeof line.withdraw === 'string') this.#owed.set(line.id, line);
      else if (line.withdrawn === true) this.#owed.delete(line.id);
      else if (line.status === 'pending' && !ended.has(line.id)) left.set(line.id, line);
    }
    const owed = [...this.#owed.values()];
    for (const intent of left.values()) {
      this.#owe(intent, RESTARTED);
      this.#receipt(intent, { status: 'withdrawn', by: 'gate', note: RESTARTED });
    }
    this.#compact();
    for (const line of owed) this.emit('owed', line);
  }

  #owe({ id, expires_at }, reason = '') {
    if (!this.#settings.relayBase) return;
    const line = { id, withdraw: reason, expires_at };
    this.#append(line);
    this.#owed.set(id, line);
    this.emit('owed', line);
  }

  #append(line) {
    if (++this.#appended > COMPACT_AFTER) this.#compact();
    return this.#queue.append(line);
  }

  #receipt({ id, agent, title }, { status, by, note }) {
    const receipt = { id, time: new Date().toISOString(), status, by, agent, title };
    if (note) receipt.note = note;
    this.#receipts.append(receipt);
  }

  #compact() {
    const lines = [...[...this.#pending.values()].map(({ intent }) => intent), ...this.#owed.values()];
    this.#appended = lines.length;
    this.#queue.rewrite(lines);
  }

  #wake(id) {
    const script = this.#settings.wakeScript;
    if (typeof script !== 'string' || script === '') return;
    const child = spawn(script, [id], { stdio: 'ignore', shell: false });
    child.on('error', (err) => log(`cannot run wake_script: ${err.code || err.message}`));
    child.unref();
  }
}
