// The account's relay room: requests are posted there for the phone, decisions long-polled back.
import { log } from './log.mjs';

const MAX_NOTE = 500;
const POLL_WAIT_S = 25;
const MAX_BACKOFF_MS = 60_000;

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const backoff = (failures) => Math.min(MAX_BACKOFF_MS, 1000 * 2 ** Math.min(failures - 1, 6));

function parseDecisions(body) {
  if (!body || !Array.isArray(body.decisions) || !Number.isInteger(body.next)) {
    throw new Error('malformed decisions answer');
  }
  return body;
}

export class Relay {
  #intents;
  #base;
  #roomUrl;
  #headers;
  #outbox = []; // ids not yet accepted by the relay, oldest first
  #posting = false;
  #polling = false;
  #cursor = 0;
  #stopping = false;

  constructor({ relayBase, room, apiKey }, intents) {
    this.#intents = intents;
    this.#base = relayBase;
    this.#roomUrl = `${relayBase}/api/v1/rooms/${encodeURIComponent(room ?? '')}`;
    this.#headers = { Authorization: `Bearer ${apiKey}`, 'Content-Type': 'application/json' };
  }

  // Posting again is harmless: the relay keeps the first copy.
  post(id) {
    this.#outbox.push(id);
    this.start();
  }

  start() {
    this.#pump();
    this.#poll();
  }

  stop() {
    this.#stopping = true;
  }

  async #pump() {
    if (this.#posting || !this.#base) return;
    this.#posting = true;
    let failures = 0;
    while (this.#outbox.length > 0 && !this.#stopping) {
      const intent = this.#intents.get(this.#outbox[0]);
      if (!intent) {
        this.#outbox.shift();
        continue;
      }
      const { id, agent, title, detail, time, expires_at } = intent;
      try {
        const res = await fetch(`${this.#roomUrl}/intents`, {
          method: 'POST',
          headers: this.#headers,
          body: JSON.stringify({ id, agent, title, detail, created_at: time, expires_at }),
          signal: AbortSignal.timeout(15_000),
        });
        await res.arrayBuffer();
        if (!res.ok) throw new Error(`HTTP ${res.status}`);
        this.#outbox.shift();
        failures = 0;
      } catch (err) {
        failures++;
        log(`relay did not take request ${id} (${err.message}); retrying in ${backoff(failures) / 1000} s`);
        await sleep(backoff(failures));
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
      try {
        const res = await fetch(`${this.#roomUrl}/decisions?after=${this.#cursor}&wait=${POLL_WAIT_S}`, {
          headers: this.#headers,
          signal: AbortSignal.timeout((POLL_WAIT_S + 15) * 1000),
        });
        if (!res.ok) {
          await res.arrayBuffer();
          throw new Error(`HTTP ${res.status}`);
        }
        const { decisions, next } = parseDecisions(await res.json());
        for (const d of decisions) {
          if (d && (d.status === 'approved' || d.status === 'denied') && typeof d.intent_id === 'string') {
            const note = typeof d.note === 'string' ? d.note.slice(0, MAX_NOTE) : '';
            this.#intents.decide(d.intent_id, d.status, note);
          }
        }
        this.#cursor = next;
        failures = 0;
      } catch (err) {
        failures++;
        log(`cannot read decisions from the relay (${err.message}); retrying in ${backoff(failures) / 1000} s`);
        await sleep(backoff(failures));
      }
    }
    this.#polling = false;
  }
}
