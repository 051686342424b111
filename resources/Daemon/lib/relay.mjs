// The account's relay room: requests are posted there for the phone, decisions long-polled back.
import { log } from './log.mjs';

const MAX_NOTE = 500;
const POLL_WAIT_S = 25;
const MAX_BACKOFF_MS = 60_000;
const DECISIONS = new Set(['approved', 'denied', 'approved_for_session']);

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const backoff = (failures) => Math.min(MAX_BACKOFF_MS, 1000 * 2 ** Math.min(failures - 1, 6));

// An answer that asking again will not change: the relay refused, or no longer knows the key.
export class Refusal extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

// Only a lost connection, a time-out or the relay's own trouble is worth asking again.
const retried = (status) => status >= 500 || status === 408 || status === 429;

export class Relay {
  #intents;
  #base;
  #roomUrl;
  #headers;
  #outbox = []; // posts and withdrawals not yet taken by the relay, oldest first
  #posting = false;
  #polling = false;
  #cursor = 0;
  #stopping = false;

  constructor({ relayBase, room, apiKey }, intents) {
    this.#intents = intents;
    this.#base = relayBase;
    this.#roomUrl = `${relayBase}/api/v1/rooms/${encodeURIComponent(room)}`;
    this.#headers = { Authorization: `Bearer ${apiKey}`, 'Content-Type': 'application/json' };
  }

  post(id) {
    this.#outbox.push({ kind: 'post', id });
    this.start();
  }

  // A request the relay never took needs no withdrawal: its post is dropped instead.
  withdraw(id, reason) {
    const queued = this.#outbox.findIndex((op) => op.id === id && op.kind === 'post');
    if (queued > 0 || (queued === 0 && !this.#posting)) this.#outbox.splice(queued, 1);
    else this.#outbox.push({ kind: 'withdrawal', id, reason });
    this.start();
  }

  // A decision made on the desktop goes through the relay, so the phone learns of it too.
  async decide(id, status, note) {
    await this.#call('POST', `/intents/${encodeURIComponent(id)}/decision`, { status, note, by: 'desktop' });
  }

  start() {
    this.#pump();
    this.#poll();
  }

  stop() {
    this.#stopping = true;
  }

  async #call(method, path, body, waitS = 0) {
    if (!this.#base) throw new Error('KESTROVA_RELAY_URL is not set');
    const res = await fetch(this.#roomUrl + path, {
      method,
      headers: this.#headers,
      body: body && JSON.stringify(body),
      signal: AbortSignal.timeout((waitS + 15) * 1000),
    });
    const answer = await res.json().catch(() => undefined);
    if (res.ok) return answer ?? {};
    const reason = typeof answer?.error === 'string' ? answer.error.slice(0, 200) : `HTTP ${res.status}`;
    if (retried(res.status)) throw new Error(reason);
    throw new Refusal(res.status === 401 ? 'signed out: the relay no longer knows this key'
      : `the relay refused this request: ${reason}`, res.status);
  }

  async #send({ kind, id, reason }) {
    if (kind === 'withdrawal') return this.#call('POST', `/intents/${encodeURIComponent(id)}/withdraw`, { reason });
    const intent = this.#intents.get(id);
    if (!intent) return; // decided or withdrawn meanwhile
    const { agent, title, detail, time, expires_at, offers_session, grant } = intent;
    const answer = await this.#call('POST', '/intents',
      { id, agent, title, detail, created_at: time, expires_at, offers_session, grant });
    if (typeof answer.created !== 'boolean') throw new Error('the answer lacks "created"');
  }

  // One call at a time, oldest first; a refusal ends only its own request.
  async #pump() {
    if (this.#posting || !this.#base) return;
    this.#posting = true;
    let failures = 0;
    while (this.#outbox.length > 0 && !this.#stopping) {
      const op = this.#outbox[0];
      try {
        await this.#send(op);
        this.#outbox.shift();
        failures = 0;
      } catch (err) {
        if (err instanceof Refusal) {
          this.#outbox.shift();
          log(`${op.kind} ${op.id}: ${err.message}`);
          if (op.kind === 'post') this.#intents.end(op.id, { status: 'refused', by: 'gate', note: err.message });
          continue;
        }
        const delay = backoff(++failures);
        log(`relay did not take the ${op.kind} ${op.id} (${err.message}); retrying in ${delay / 1000} s`);
        await sleep(delay);
      }
    }
    this.#posting = false;
  }

  // One long poll in flight while anything is pending; none at all when idle.
  async #poll() {
    if (this.#polling || !this.#base) return;
    this.#polling = true;
    let failures = 0;
    while (this.#intents.size > 0 && !this.#stopping) {
      let delay = 0;
      try {
        const sent = this.#cursor;
        const { decisions, next } = await this.#call('GET', `/decisions?after=${sent}&wait=${POLL_WAIT_S}`,
          undefined, POLL_WAIT_S);
        if (!Array.isArray(decisions)) throw new Error('the answer lacks "decisions"');
        for (const d of decisions) this.#take(d);
        if (Number.isInteger(next) && next >= sent) {
          this.#cursor = next;
          failures = 0;
        } else {
          // The relay lost its memory: read it from the start, and give it the requests again.
          log(`the relay's decisions restarted (next ${JSON.stringify(next)} after ${sent}); reading them from the start`);
          this.#cursor = 0;
          for (const { id } of this.#intents.list()) this.post(id);
          delay = backoff(++failures);
        }
      } catch (err) {
        if (err instanceof Refusal) {
          log(`cannot read decisions: ${err.message}`);
          for (const { id } of this.#intents.list()) this.#intents.end(id, { status: 'refused', by: 'gate', note: err.message });
          break;
        }
        delay = backoff(++failures);
        log(`cannot read decisions from the relay (${err.message}); retrying in ${delay / 1000} s`);
      }
      await sleep(delay);
    }
    this.#polling = false;
  }

  #take(d) {
    if (!d || !DECISIONS.has(d.status) || typeof d.intent_id !== 'string') return;
    const note = typeof d.note === 'string' ? d.note.slice(0, MAX_NOTE) : '';
    this.#intents.end(d.intent_id, { status: d.status, by: d.by === 'desktop' ? 'desktop' : 'phone', note });
  }
}
