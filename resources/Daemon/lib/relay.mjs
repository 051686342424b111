// The account's relay room: requests are posted there for the phone, decisions long-polled back.
// Each post and each withdrawal is sent and retried on its own, so one the relay will not take
// never holds up another.
import { log } from './log.mjs';

const MAX_NOTE = 500;
const POLL_WAIT_S = 25;
const CALL_S = 15;
// The desktop waits 30 s for its answer: the decision and, when its answer is lost, the check.
const DESKTOP_CALL_S = 10;
const MAX_BACKOFF_MS = 60_000;
const DECISIONS = new Set(['approved', 'denied', 'approved_for_session']);

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const backoff = (failures) => Math.min(MAX_BACKOFF_MS, 1000 * 2 ** Math.min(failures - 1, 6));
const isObject = (value) => value !== null && typeof value === 'object' && !Array.isArray(value);

// An answer that asking again will not change: the relay refused, or no longer knows the key.
export class Refusal extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

// The relay answered, but with its own trouble (500 up, 408, 429) or with something that does not
// add up. Asked again, but not for ever.
class Trouble extends Error {}

const retried = (status) => status >= 500 || status === 408 || status === 429;

export class Relay {
  #intents;
  #base;
  #roomUrl;
  #headers;
  #patienceMs;
  #posting = new Set(); // ids whose post is being sent or waits to be sent again
  #attempts = new Map(); // id -> the post's call on its way
  #withdrawing = new Map(); // id -> the withdrawal, until the relay took it or never will
  #polling = false;
  #cursor = 0;
  #stopping = false;

  constructor({ relayBase, room, apiKey, patienceS }, intents) {
    this.#intents = intents;
    this.#base = relayBase;
    this.#roomUrl = `${relayBase}/api/v1/rooms/${encodeURIComponent(room)}`;
    this.#headers = { Authorization: `Bearer ${apiKey}`, 'Content-Type': 'application/json' };
    this.#patienceMs = patienceS * 1000;
  }

  post(id) {
    if (!this.#base || this.#posting.has(id)) return;
    this.#posting.add(id);
    this.#postUntilTaken(id).finally(() => this.#posting.delete(id));
    this.#poll();
  }

  // Owed withdrawals ({ id, withdraw: reason, expires_at }) go after the post on its way, if any:
  // one that overtook it would find nothing to withdraw.
  withdraw({ id, withdraw: reason, expires_at: expiresAt }) {
    if (!this.#base || this.#withdrawing.has(id)) return;
    this.#withdrawing.set(id, this.#withdrawUntilTaken(id, reason, expiresAt).finally(() => this.#withdrawing.delete(id)));
  }

  // A decision made on the desktop goes through the relay, so the phone learns of it too. Resolves
  // only when the relay's answer holds this very decision.
  async decide(id, status, note) {
    const { decision } = await this.#call('POST', `/intents/${encodeURIComponent(id)}/decision`,
      { status, note, by: 'desktop' }, DESKTOP_CALL_S);
    if (decision?.intent_id !== id || decision.status !== status) throw new Trouble('the answer does not hold this decision');
  }

  // The decisions since the last poll, at once: whether the relay took one whose answer was lost.
  async catchUp() {
    const { decisions } = await this.#call('GET', `/decisions?after=${this.#cursor}&wait=0`, undefined, DESKTOP_CALL_S);
    if (!Array.isArray(decisions)) throw new Trouble('the answer lacks "decisions"');
    for (const d of decisions) this.#take(d);
  }

  start() {
    this.#poll();
  }

  stop() {
    this.#stopping = true;
  }

  // The withdrawals on their way, for at most `ms`.
  settled(ms) {
    return Promise.race([Promise.allSettled(this.#withdrawing.values()), sleep(ms)]);
  }

  async #call(method, path, body, timeoutS = CALL_S) {
    if (!this.#base) throw new Error('KESTROVA_RELAY_URL is not set');
    const res = await fetch(this.#roomUrl + path, {
      method,
      headers: this.#headers,
      body: body && JSON.stringify(body),
      signal: AbortSignal.timeout(timeoutS * 1000),
    });
    const type = res.headers.get('content-type') ?? '';
    const text = await res.text();
    let answer;
    try {
      answer = /^application\/json\s*(;|$)/i.test(type) ? JSON.parse(text) : undefined;
    } catch {
      // not an answer of the relay's
    }
    if (res.ok) {
      if (isObject(answer)) return answer;
      throw new Trouble(`the answer is not JSON (HTTP ${res.status}${type ? `, ${type.split(';')[0]}` : ''})`);
    }
    const reason = typeof answer?.error === 'string' ? answer.error.slice(0, 200) : `HTTP ${res.status}`;
    if (retried(res.status)) throw new Trouble(reason);
    throw new Refusal(res.status === 401 ? 'signed out: the relay no longer knows this key'
      : `the relay refused this request: ${reason}`, res.status);
  }

  async #send({ id, agent, title, detail, time, expires_at, offers_session, grant }) {
    const answer = await this.#call('POST', '/intents',
      { id, agent, title, detail, created_at: time, expires_at, offers_session, grant });
    if (typeof answer.created !== 'boolean') throw new Trouble('the answer lacks "created"');
  }

  // Until the relay takes it, refuses it, or has answered with its own trouble for longer than the
  // gate's patience; a relay out of reach is waited for until the request ends.
  async #postUntilTaken(id) {
    let troubleSince;
    for (let failures = 1; ; failures++) {
      const intent = this.#intents.get(id);
      if (!intent || this.#stopping) return;
      const attempt = this.#send(intent);
      this.#attempts.set(id, attempt);
      const err = await attempt.then(() => undefined, (e) => e);
      this.#attempts.delete(id);
      if (!err) return;
      if (err instanceof Trouble) troubleSince ??= Date.now();
      const note = err instanceof Refusal ? err.message
        : Date.now() - troubleSince >= this.#patienceMs ? `the relay is not taking requests: ${err.message}` : undefined;
      if (note) {
        log(`post ${id}: ${note}`);
        this.#intents.end(id, { status: 'refused', by: 'gate', note });
        return;
      }
      const delay = backoff(failures);
      log(`relay did not take the post ${id} (${err.message}); retrying in ${delay / 1000} s`);
      await sleep(delay);
    }
  }

  // Until the relay takes it or has nothing to withdraw; once the request is past its time, the
  // relay lets it expire anyway.
  async #withdrawUntilTaken(id, reason, expiresAt) {
    await this.#attempts.get(id)?.catch(() => {});
    for (let failures = 1; Date.parse(expiresAt) > Date.now(); failures++) {
      try {
        const answer = await this.#call('POST', `/intents/${encodeURIComponent(id)}/withdraw`, { reason });
        if (answer.withdrawn !== true) throw new Trouble('the answer lacks "withdrawn"');
        break;
      } catch (err) {
        if (err instanceof Refusal) {
          // 404: it never arrived; 409: decided or withdrawn already.
          if (err.status !== 404 && err.status !== 409) log(`withdrawal ${id}: ${err.message}`);
          break;
        }
        const delay = backoff(failures);
        log(`relay did not take the withdrawal ${id} (${err.message}); retrying in ${delay / 1000} s`);
        await sleep(delay);
      }
    }
    this.#intents.settle(id);
  }

  // One long poll in flight while anything is pending; none at all when idle.
  async #poll() {
    if (this.#polling || !this.#base) return;
    this.#polling = true;
    let failures = 0;
    let missingSince; // answered 404 since: a proxy in a deploy, or a room that is gone
    while (this.#intents.size > 0 && !this.#stopping) {
      let delay = 0;
      try {
        const sent = this.#cursor;
        const { decisions, next } = await this.#call('GET', `/decisions?after=${sent}&wait=${POLL_WAIT_S}`,
          undefined, POLL_WAIT_S + CALL_S);
        if (!Array.isArray(decisions)) throw new Trouble('the answer lacks "decisions"');
        missingSince = undefined;
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
        if (err instanceof Refusal && err.status === 404) missingSince ??= Date.now();
        if (err instanceof Refusal && (err.status !== 404 || Date.now() - missingSince >= this.#patienceMs)) {
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
