// A decision made in the helper's window. It goes through the relay first, so the phone learns of
// it too; only the relay's yes decides the request here.
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
    if (!intents.get(id)) return sendJson(res, 404, { error: 'no such request waits here' });
    try {
      await relay.decide(id, status, note);
    } catch (err) {
      if (err instanceof Refusal && err.status === 409) return sendJson(res, 409, { error: 'already decided' });
      return sendJson(res, 502, { error: `nothing decided: ${err.message}` });
    }
    // The relay took it, so the decision is this one, whether it ends the request here or the
    // decisions' poll brought it back first.
    intents.end(id, { status, by: 'desktop', note });
    sendJson(res, 200, { decided: true });
  };
}
