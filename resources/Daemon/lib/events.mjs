// The desktop's live view of what waits: the whole list once, then each change as it happens
// (docs/gate-hooks.md). A reader that falls behind by more than a bound is dropped; it reconnects
// and starts again from a whole list, so nothing it missed is lost.
import { log } from './log.mjs';

const MAX_BUFFERED = 1024 * 1024;

export function eventStream(intents) {
  const clients = new Map(); // response -> the bytes it may leave unread
  const frame = (name, data) => `event: ${name}\ndata: ${JSON.stringify(data)}\n\n`;
  const send = (res, text) => {
    res.write(text);
    if (res.writableLength > clients.get(res)) {
      log(`dropped a reader of /events that left ${res.writableLength} bytes unread`);
      res.destroy();
    }
  };
  const broadcast = (text) => clients.forEach((allowed, res) => send(res, text));
  intents.on('added', ({ id }) => clients.size && broadcast(frame('added', { intent: intents.shown(id) })));
  intents.on('ended', ({ id }, { status, by }) => clients.size && broadcast(frame('ended', { id, status, by })));
  function open(res) {
    res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-cache' });
    // However long the list, a reader is given the time to read it.
    const snapshot = frame('snapshot', { intents: intents.list() });
    clients.set(res, MAX_BUFFERED + Buffer.byteLength(snapshot));
    res.on('close', () => clients.delete(res));
    send(res, snapshot);
  }
  open.closeAll = () => clients.forEach((allowed, res) => res.end());
  return open;
}
