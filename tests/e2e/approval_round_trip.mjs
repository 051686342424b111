// One approval the way a user meets it: a coding agent asks the running gate, the phone page
// (the devstack's stand-in, in headless Chromium) shows the request, a click on Approve
// answers the agent, and the gate writes the receipt.
//   node approval_round_trip.mjs DAEMON_FOLDER DEVSTACK_URL API_KEY RECEIPTS_FILE
import { readFileSync } from 'node:fs';
import { createRequire } from 'node:module';
import { dirname, join } from 'node:path';
import { openPhone } from './phone_page.mjs';

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

const client = new Client({ name: 'e2e-agent', version: '1.0.0' });
// The agent shows the gate's secret, kept beside the receipts, as its MCP config says.
const secret = readFileSync(join(dirname(receiptsFile), 'gate-secret'), 'utf8').trim();
await client.connect(new StreamableHTTPClientTransport(new URL('http://127.0.0.1:8789/mcp'),
  { requestInit: { headers: { Authorization: `Bearer ${secret}` } } }));
const answer = client.callTool({ name: 'request_approval', arguments: { title, timeout_s: 60 } },
  undefined, { timeout: 70000 });

const phone = openPhone(`${devstackUrl}/phone?key=${encodeURIComponent(apiKey)}`);
try {
  const shown = await phone.until(`[...document.querySelectorAll('li.request')].find((li) =>
       li.querySelector('.title')?.textContent === ${JSON.stringify(title)})?.dataset.id`);
  if (!shown) fail('the phone page never showed the request');
  const clicked = await phone.until(`(document.querySelector('li.request[data-id="${shown}"] button.approve')?.click(), true)`);
  if (!clicked) fail('no Approve button to click');
  const result = await answer;
  const text = result.content?.map((part) => part.text).join('');
  if (text !== 'approved') fail(`the agent was told "${text}", not "approved"`);
  const receipt = readFileSync(receiptsFile, 'utf8').split('\n').filter(Boolean)
    .map((line) => JSON.parse(line)).find((line) => line.id === shown);
  if (receipt?.status !== 'approved') fail(`no "approved" receipt for ${shown}`);
  console.log(`approval: "${title}" approved on the phone page, receipt written`);
} finally {
  await phone.close();
  await client.close();
}
process.exit(0);
