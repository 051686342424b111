// A decision made in the helper's window. It goes through the relay first, so the phone learns of
// it too; only a decision the relay holds decides the request here.
import { readBody, sendJson } from './guards.mjs';
import { Refusal } from './relay.mjs';

const STATUSES = new Set(['approved', 'denied', 'approved_for_session']);
const MAX_NOTE = 500;

export function desktopDecisions(intents, relay) {
  return async function decideOnDesktop(req, res, id) {
    let body;
    try {
      body = JSON.parse((await readBody(req)) ?? '');
    } catch {
      // answered below
    }
    const { status, note } = body ?? {};
    if (!STATUSES.has(status) || (note !== undefined && (typeof note !== 'string' || note.length > MAX_NOTE))) {
      return sendJson(res, 400, { error: 'status must be approved, denied or approved_for_session; note a string of at most 500 characters' });
    }
    const ended = intents.watch(id);
    if (!ended) return sendJson(res, 404, { error: 'no such request waits here' });
    const taken = {};
    let outcome = await Promise.race([relay.decide(id, status, note).then(() => taken, (err) => err), ended]);
    if (outcome === taken) {
      intents.end(id, { status, by: 'desktop', note });
      outcome = await ended;
    } else if (outcome instanceof Error) {
      const err = outcome;
      // The answer was lost or made no sense: the relay may hold the decision all the same.
      if (!(err instanceof Refusal)) await relay.catchUp().catch(() => {});
      if (intents.get(id)) {
        if (err instanceof Refusal && err.status === 409) return sendJson(res, 409, { error: 'already decided' });
        return sendJson(res, 502, { error: `nothing decided: ${err.message}` });
      }
      outcome = await ended;
    }
    // What the agent gets: this decision, whether the relay's answer or the decisions' poll
    // brought it, or another that came first.
    if (outcome.by === 'desktop' && outcome.status === status) return sendJson(res, 200, { decided: true });
    if (STATUSES.has(outcome.status)) return sendJson(res, 409, { error: 'already decided' });
    sendJson(res, 404, { error: 'no such request waits here' });
  };
}
