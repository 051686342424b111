// The desktop's live view of what waits: the whole list at once, then again after each change,
// and nothing in between.
export function eventStream(intents) {
  const clients = new Set();
  const frame = () => `data: ${JSON.stringify({ intents: intents.list() })}\n\n`;
  intents.on('change', () => {
    const data = frame();
    for (const res of clients) res.write(data);
  });
  function open(res) {
    res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-cache' });
    res.write(frame());
    clients.add(res);
    res.on('close', () => clients.delete(res));
  }
  open.closeAll = () => clients.forEach((res) => res.end());
  return open;
}
