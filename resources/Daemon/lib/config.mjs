// The gate's settings: the config file the helper writes, and the relay's address.
import { readFileSync } from 'node:fs';
import { fail } from './log.mjs';

function configPath(argv) {
  for (let i = 0; i < argv.length; i++) {
    if (argv[i] === '--config') return argv[i + 1];
    if (argv[i].startsWith('--config=')) return argv[i].slice('--config='.length);
  }
  return undefined;
}

function readConfig(path) {
  if (!path) fail(2, 'missing --config PATH');
  let text;
  try {
    text = readFileSync(path, 'utf8');
  } catch (err) {
    fail(2, `cannot read config ${path}: ${err.code === 'ENOENT' ? 'file not found' : err.code || err.message}`);
  }
  let config;
  try {
    config = JSON.parse(text);
  } catch {
    // The parser's message quotes the file's text, which may hold the api key.
    fail(2, `invalid JSON in config ${path}`);
  }
  if (config === null || typeof config !== 'object' || Array.isArray(config)) {
    fail(2, `config ${path} must hold a JSON object`);
  }
  return config;
}

export function loadSettings(argv, env) {
  const path = configPath(argv);
  const config = readConfig(path);
  const conf = config.mcp?.confirmations ?? {};
  if (typeof conf.host !== 'string' || conf.host === '') {
    fail(2, `mcp.confirmations.host must be a non-empty string in ${path}`);
  }
  if (!Number.isInteger(conf.port) || conf.port < 1 || conf.port > 65535) {
    fail(2, `mcp.confirmations.port must be an integer 1..65535 in ${path}`);
  }
  return {
    host: conf.host,
    port: conf.port,
    room: conf.room,
    wakeScript: conf.wake_script,
    queuePath: config.queue?.path,
    receiptsPath: config.receipts?.path,
    apiKey: typeof config.poller?.api_key === 'string' ? config.poller.api_key : '',
    relayBase: (env.KESTROVA_RELAY_URL ?? '').replace(/\/+$/, ''),
  };
}
