// The devstack's phone page in headless Chromium, driven over --remote-debugging-pipe: commands
// on fd 3, answers on fd 4, each a JSON message ended by a NUL byte. No WebSocket client needed.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

export function openPhone(url) {
  const profile = mkdtempSync(join(tmpdir(), 'kestrova-phone-'));
  const browser = spawn('chromium', [
    '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-breakpad', '--remote-debugging-pipe', `--user-data-dir=${profile}`, url,
  ], { stdio: ['ignore', 'ignore', 'ignore', 'pipe', 'pipe'], detached: true });
  const waiting = new Map();
  let buffer = Buffer.alloc(0);
  let next = 0;
  browser.stdio[4].on('data', (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    for (let end = buffer.indexOf(0); end >= 0; end = buffer.indexOf(0)) {
      const message = JSON.parse(buffer.subarray(0, end).toString());
      buffer = buffer.subarray(end + 1);
      waiting.get(message.id)?.(message);
    }
  });
  const send = (method, params = {}, sessionId) => new Promise((resolve) => {
    const id = ++next;
    waiting.set(id, resolve);
    browser.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + '\0');
  });
  // Runs the expression in the page until it yields something, for up to `seconds`.
  const until = async (expression, seconds = 20) => {
    for (const end = Date.now() + seconds * 1000; Date.now() < end;) {
      const { result } = await send('Target.getTargets');
      const page = result?.targetInfos.find((target) => target.type === 'page');
      if (page) {
        const attached = await send('Target.attachToTarget', { targetId: page.targetId, flatten: true });
        const evaluated = await send('Runtime.evaluate', { expression, returnByValue: true }, attached.result.sessionId);
        const value = evaluated.result?.result?.value;
        if (value) return value;
      }
      await new Promise((resolve) => setTimeout(resolve, 200));
    }
    return null;
  };
  // The profile goes once Chromium has stopped writing to it: the browser and its helper
  // processes, its own process group, all end first.
  const close = async () => {
    const exited = new Promise((resolve) => browser.once('exit', resolve));
    process.kill(-browser.pid, 'SIGTERM');
    await exited;
    rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
  };
  return { until, close };
}
