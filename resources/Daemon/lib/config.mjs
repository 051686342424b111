// The gate's settings: the config file the helper writes, and the relay's address.
import { isIP } from 'node:net';
import { isAbsolute } from 'node:path';
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

// Only this user's own programs may reach the gate.
function isLoopback(host) {
  if (host === 'localhost' || host === '::1') return true;
  return isIP(host) === 4 && host.startsWith('127.');
}

const nonEmpty = (value) => typeof value === 'string' && value.trim() !== '';

// The user's secret opens the gate to the agents and the desktop; without it nothing could.
function readSecret(path, configFile) {
  if (typeof path !== 'string' || !isAbsolute(path)) {
    fail(2, `mcp.confirmations.secret_path must be the absolute path of the user's secret in ${configFile}`);
  }
  let secret;
  try {
    secret = readFileSync(path, 'utf8').replace(/\r?\n$/, '');
  } catch (err) {
    fail(2, `cannot read the user's secret ${path}: ${err.code || err.message}`);
  }
  if (secret.trim() === '') fail(2, `the user's secret ${path} is empty`);
  return secret;
}
const seconds = (value, fallback, max) =>
  value === undefined ? fallback : Number.isInteger(value) && value >= 1 && value <= max ? value : undefined;

export function loadSettings(argv, env) {
  const path = configPath(argv);
  const config = readConfig(path);
  const conf = config.mcp?.confirmations ?? {};
  const check = (ok, what) => ok || fail(2, `${what} in ${path}`);
  check(typeof conf.host === 'string' && isLoopback(conf.host),
    'mcp.confirmations.host must be a loopback address (127.0.0.1, ::1 or localhost)');
  check(Number.isInteger(conf.port) && conf.port >= 1 && conf.port <= 65535,
    'mcp.confirmations.port must be an integer 1..65535');
  check(nonEmpty(conf.room), 'mcp.confirmations.room must be a non-empty string');
  check(nonEmpty(config.poller?.api_key), 'poller.api_key must be a non-empty string');
  const sessionIdleS = seconds(conf.session_idle_s, 1800, 86_400);
  check(sessionIdleS, 'mcp.confirmations.session_idle_s must be an integer 1..86400');
  const waitS = seconds(config.hooks?.wait_s, 600, 3600);
  check(waitS, 'hooks.wait_s must be an integer 1..3600');
  const patienceS = seconds(config.relay?.patience_s, 120, 3600);
  check(patienceS, 'relay.patience_s must be an integer 1..3600');
  return {
    host: conf.host,
    port: conf.port,
    room: conf.room,
    wakeScript: conf.wake_script,
    sessionIdleS,
    waitS,
    patienceS,
    secret: readSecret(conf.secret_path, path),
    queuePath: config.queue?.path,
    receiptsPath: config.receipts?.path,
    apiKey: config.poller.api_key,
    relayBase: (env.KESTROVA_RELAY_URL ?? '').replace(/\/+$/, ''),
  };
}
