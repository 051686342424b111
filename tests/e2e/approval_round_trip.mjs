// One approval the way a user meets it: a coding agent asks the running gate, the phone page
// (the devstack's stand-in, in headless Chromium) shows the request, a click on Approve
// answers the agent, and the gate writes the receipt.
//   node approval_round_trip.mjs DAEMON_FOLDER DEVSTACK_URL API_KEY RECEIPTS_FILE
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createRequire } from 'node:module';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';

const [daemonFolder, devstackUrl, apiKey, receiptsFile] = process.argv.slice(2);
// The SDK the gate ships with, from the gate's own folder.
const sdk = createRequire(join(daemonFolder, 'package.json'));
const { Client } = await import(sdk.resolve('@modelcontextprotocol/sdk/client/index.js'));
const { StreamableHTTPClientTransport } = await import(
  sdk.resolve('@modelcontextprotocol/sdk/client/streamableHttp.js'));

const fail = (message) => {
  console.error(`approval: ${message}`);
  process.exit(1);
};
const title = `Run the end-to-end suite ${process.pid}`;

// Chromium driven over --remote-debugging-pipe: commands on fd 3, answers on fd 4, each a JSON
// message ended by a NUL byte. No WebSocket client needed.
function startBrowser(url) {
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
  // The profile goes once Chromium has stopped writing to it: the browser and its helper
  // processes, its own process group, all end first.
  const close = async () => {
    const exited = new Promise((resolve) => browser.once('exit', resolve));
    process.kill(-browser.pid, 'SIGTERM');
    await exited;
    rmSync(profile, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
  };
  return { send, close };
}

// Runs the expression in the page until it yields something, for up to 20 s.
async function inPage(browser, expression) {
  for (let tries = 0; tries < 100; tries++) {
    const { result } = await browser.send('Target.getTargets');
    const page = result?.targetInfos.find((target) => target.type === 'page');
    if (page) {
      const attached = await browser.send('Target.attachToTarget',
        { targetId: page.targetId, flatten: true });
      const evaluated = await browser.send('Runtime.evaluate',
        { expression, returnByValue: true }, attached.result.sessionId);
      const value = evaluated.result?.result?.value;
      if (value) return value;
    }
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
  return null;
}

const client = new Client({ name: 'e2e-agent', version: '1.0.0' });
// The agent shows the gate's secret, kept beside the receipts, as its MCP config says.
const secret = readFileSync(join(dirname(receiptsFile), 'gate-secret'), 'utf8').trim();
await client.connect(new StreamableHTTPClientTransport(new URL('http://127.0.0.1:8789/mcp'),
  { requestInit: { headers: { Authorization: `Bearer ${secret}` } } }));
const answer = client.callTool({ name: 'request_approval', arguments: { title, timeout_s: 60 } },
  undefined, { timeout: 70000 });

const browser = startBrowser(`${devstackUrl}/phone?key=${encodeURIComponent(apiKey)}`);
try {
  const shown = await inPage(browser,
    `[...document.querySelectorAll('li.request')].find((li) =>
       li.querySelector('.title')?.textContent === ${JSON.stringify(title)})?.dataset.id`);
  if (!shown) fail('the phone page never showed the request');
  const clicked = await inPage(browser,
    `(document.querySelector('li.request[data-id="${shown}"] button.approve')?.click(), true)`);
  if (!clicked) fail('no Approve button to click');
  const result = await answer;
  const text = result.content?.map((part) => part.text).join('');
  if (text !== 'approved') fail(`the agent was told "${text}", not "approved"`);
  const receipt = readFileSync(receiptsFile, 'utf8').split('\n').filter(Boolean)
    .map((line) => JSON.parse(line)).find((line) => line.id === shown);
  if (receipt?.status !== 'approved') fail(`no "approved" receipt for ${shown}`);
  console.log(`approval: "${title}" approved on the phone page, receipt written`);
} finally {
  await browser.close();
  await client.close();
}
process.exit(0);
