// The real coding agents, connected with `kestrova-helper connect`, ask before they remove a
// folder; the real gate takes the question to the phone (the relay room's decision endpoint, as
// the phone page calls it) and the answer back. Their models are the devstack's scripted
// stand-ins, whose first turn calls the shell tool with `rm -rf victim`. Claude Code runs
// non-interactively (`claude -p`); Codex, Gemini CLI, Copilot CLI and OpenCode ask in their
// terminal interfaces, which run in tmux. With --bench, only Claude Code's approvals, timed from
// the phone's decision to the folder's removal. KESTROVA_E2E_AGENTS (claude-code,codex,gemini,
// copilot,opencode) picks the agents.
//   node agents_e2e.mjs AGENTS_DIR DEVSTACK HELPER DAEMON_SCRIPT [--bench RUNS]
import { spawn, execFileSync } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { existsSync, mkdirSync, mkdtempSync, rmSync, watch, writeFileSync } from 'node:fs';
import { request } from 'node:http';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { openPhone } from './phone_page.mjs';

const [agentsDir, devstackBin, helperBin, daemonScript, benchFlag, benchRuns] = process.argv.slice(2);
const work = mkdtempSync(path.join(tmpdir(), 'kestrova-agents-'));
// The test's own runtime folder (mkdtemp makes it private): the gate's sockets go there, never
// beside a gate the user runs, and the agents' hooks look for them there.
process.env.XDG_RUNTIME_DIR = work;
const home = path.join(work, 'home');
const data = path.join(home, '.local', 'share', 'Kestrova Helper');
const pause = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const failures = [];

async function until(what, probe, seconds = 60) {
  for (const end = Date.now() + seconds * 1000; Date.now() < end; await pause(100)) {
    const value = await probe();
    if (value) return value;
  }
  throw new Error(`never happened: ${what}`);
}
function run(command, args, options = {}) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  const out = { text: '' };
  for (const stream of [child.stdout, child.stderr]) stream.setEncoding('utf8').on('data', (d) => { out.text += d; });
  return { child, out, exited: new Promise((resolve) => child.on('close', resolve)) };
}
const json = async (url, options = {}) => (await fetch(url, options)).json();

// The devstack, and the sign-in the helper makes there: the relay's key and room.
const devstack = run(devstackBin, ['--port', '0', '--auto-approve']);
const relay = `http://127.0.0.1:${(await until('devstack', () => devstack.out.text.match(/relay=http:\/\/127\.0\.0\.1:(\d+)/)))[1]}`;
const app = { client_id: 'devstack-desktop.apps.googleusercontent.com', redirect_uri: 'http://127.0.0.1/callback' };
const verifier = 'v'.repeat(43);
const consent = await fetch(`${relay}/o/oauth2/v2/auth?${new URLSearchParams({ ...app, response_type: 'code', scope: 'openid', state: 's',
  code_challenge: createHash('sha256').update(verifier).digest('base64url'), code_challenge_method: 'S256' })}`, { redirect: 'manual' });
const code = new URL(consent.headers.get('location')).searchParams.get('code');
const { id_token: idToken } = await json(`${relay}/token`, { method: 'POST',
  body: new URLSearchParams({ ...app, grant_type: 'authorization_code', code, code_verifier: verifier }) });
const { api_key: key, personal_room: room } = await json(`${relay}/api/v1/relay/auth`, { method: 'POST',
  headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ google_id_token: idToken }) });
const roomUrl = `${relay}/api/v1/rooms/${room}`;
const asPhone = { Authorization: `Bearer ${key}`, 'Content-Type': 'application/json' };

// The gate's config and the user's secret, as the helper writes them after signing in.
mkdirSync(data, { recursive: true, mode: 0o700 });
writeFileSync(path.join(data, 'gate-secret'), randomBytes(32).toString('base64url'), { mode: 0o600 });
writeFileSync(path.join(data, 'bramblekit.json'), JSON.stringify({
  queue: { path: path.join(data, 'queue.jsonl') }, receipts: { path: path.join(data, 'receipts.jsonl') },
  poller: { api_key: key }, hooks: { wait_s: 600 },
  mcp: { confirmations: { port: 8789, host: '127.0.0.1', room, wake_script: '/usr/bin/true', secret_path: path.join(data, 'gate-secret') } },
}), { mode: 0o600 });
let gate;
async function startGate() {
  gate = run(process.execPath, [daemonScript, '--config', path.join(data, 'bramblekit.json')],
    { env: { ...process.env, KESTROVA_RELAY_URL: relay } });
  await until('the gate listening', () => gate.out.text.includes('listening'));
}
async function stopGate() {
  gate.child.kill('SIGTERM');
  await gate.exited;
}
// Another account (as root: nobody) takes the stopped gate's port and prints whatever reaches
// it: no agent, hook or MCP server may send it a byte.
async function squat() {
  const listener = "require('node:net').createServer((s) => s.on('data', (d) => process.stdout.write(d)))" +
    ".listen(8789, '127.0.0.1', () => console.log('squatting'))";
  const other = process.getuid() === 0 ? ['--reuid=65534', '--regid=65534', '--clear-groups', process.execPath] : null;
  const squatter = other ? run('setpriv', [...other, '-e', listener]) : run(process.execPath, ['-e', listener]);
  await until('another account on the gate\'s port', () => squatter.out.text.includes('squatting'));
  return squatter;
}

// Each agent as a user sets it up to run offline: its model at the devstack, the project trusted.
const projects = path.join(work, 'projects');
const project = (agent) => path.join(projects, agent);
const env = { PATH: process.env.PATH, HOME: home, LANG: 'C.UTF-8', TERM: 'xterm-256color', XDG_RUNTIME_DIR: work };
const setup = {
  'claude-code': () => ({ ANTHROPIC_BASE_URL: relay, ANTHROPIC_API_KEY: 'sk-devstack',
    CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC: '1', DISABLE_AUTOUPDATER: '1' }),
  codex: () => {
    writeFileSync(path.join(home, '.codex', 'config.toml'), [
      'model = "stand-in"', 'model_provider = "devstack"',
      // Codex asks only for commands that leave its sandbox, as the stand-in's asks to.
      'approval_policy = "on-request"', 'sandbox_mode = "read-only"', '',
      '[model_providers.devstack]', 'name = "devstack"', `base_url = "${relay}/v1"`,
      'env_key = "DEVSTACK_API_KEY"', 'wire_api = "responses"', '',
      `[projects.${JSON.stringify(project('codex'))}]`, 'trust_level = "trusted"', ''].join('\n'));
    return { DEVSTACK_API_KEY: 'devstack' };
  },
  gemini: () => {
    writeFileSync(path.join(home, '.gemini', 'settings.json'), JSON.stringify({
      security: { auth: { selectedType: 'gemini-api-key' } }, model: { name: 'gemini-2.5-flash' },
      privacy: { usageStatisticsEnabled: false }, general: { enableAutoUpdate: false } }, null, 2));
    writeFileSync(path.join(home, '.gemini', 'trustedFolders.json'), JSON.stringify({ [project('gemini')]: 'TRUST_FOLDER' }));
    return { GOOGLE_GEMINI_BASE_URL: relay, GEMINI_API_KEY: 'devstack' };
  },
  copilot: () => {
    writeFileSync(path.join(home, '.copilot', 'config.json'), JSON.stringify({ trustedFolders: [project('copilot')] }));
    // Its program unpacks itself into the cache folder: once for all runs.
    return { COPILOT_OFFLINE: 'true', COPILOT_PROVIDER_BASE_URL: `${relay}/v1`, COPILOT_MODEL: 'stand-in',
      COPILOT_AUTO_UPDATE: 'false', XDG_CACHE_HOME: path.join(agentsDir, 'cache') };
  },
  opencode: () => {
    // OpenCode runs its shell without asking unless its permission setting says "ask".
    writeFileSync(path.join(home, '.config', 'opencode', 'opencode.json'), JSON.stringify({
      model: 'devstack/stand-in', autoupdate: false, share: 'disabled', permission: { bash: 'ask' },
      provider: { devstack: { npm: '@ai-sdk/openai-compatible', options: { baseURL: `${relay}/v1`, apiKey: 'devstack' },
        models: { 'stand-in': {} } } } }, null, 2));
    return { OPENCODE_DISABLE_AUTOUPDATE: '1', OPENCODE_DISABLE_MODELS_FETCH: '1' };
  },
};

// tmux on a socket of its own: Codex and Gemini CLI ask in a terminal.
const tmux = (...args) => execFileSync('tmux', ['-L', `kestrova-e2e-${process.pid}`, '-f', '/dev/null', ...args],
  { encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
const screen = (name) => tmux('capture-pane', '-p', '-t', name);
// Presses a key until the screen shows it was taken: one that comes while a prompt is still being
// drawn can be lost.
async function press(session, key, taken) {
  for (let tries = 0; tries < 10; tries++) {
    session.keys(key);
    if (await until(`${key} taken`, () => taken(session.screen()), 2).catch(() => false)) return;
  }
  throw new Error(`${key} never taken`);
}
function inTerminal(name, dir, agentEnv, command) {
  tmux('new-session', '-d', '-s', name, '-x', '200', '-y', '50', '-c', dir, '--', 'env', '-i',
    ...Object.entries({ ...env, ...agentEnv }).map(([k, v]) => `${k}=${v}`), ...command);
  // The agent leads the pane's process group; Gemini CLI's restarted self outlives a hang-up.
  const group = Number(tmux('display-message', '-p', '-t', name, '#{pane_pid}'));
  const stop = () => { try { process.kill(-group, 'SIGKILL'); tmux('kill-session', '-t', name); } catch {} };
  return { screen: () => screen(name), keys: (...keys) => tmux('send-keys', '-t', name, ...keys), stop };
}
const prompt = 'Remove the folder victim';
const agents = {
  'claude-code': {
    label: 'Claude Code', api: 'messages', ownPrompt: null,
    start(agentEnv) {
      const claude = run(path.join(agentsDir, 'node_modules', '.bin', 'claude'), ['-p', prompt],
        { cwd: project('claude-code'), env: { ...env, ...agentEnv }, detached: true });
      return { finished: () => until('Claude Code done', () => claude.child.exitCode !== null || claude.child.signalCode !== null),
        stop: () => { try { process.kill(-claude.child.pid, 'SIGKILL'); } catch {} } };
    },
  },
  codex: {
    label: 'Codex', api: 'responses', ownPrompt: 'Would you like to run the following command?',
    start(agentEnv) {
      // --no-daemon: no shared background server that would outlive the test.
      const tui = inTerminal('codex', project('codex'), agentEnv, [path.join(agentsDir, 'node_modules', '.bin', 'codex'), '--no-daemon', prompt]);
      // The first start after connecting asks the user, once, to trust the new hook: "2" picks
      // "Trust all and continue", Enter confirms it.
      until('Codex\'s hook review', () => tui.screen().includes('Hooks need review'))
        .then(() => press(tui, '2', (shown) => shown.includes('› 2. Trust all')))
        .then(() => press(tui, 'Enter', (shown) => !shown.includes('Hooks need review'))).catch(() => {});
      return { ...tui, finished: () => until('Codex done', () => /Worked for|canceled/.test(tui.screen())) };
    },
  },
  gemini: {
    label: 'Gemini CLI', api: 'gemini', ownPrompt: 'Allow execution of',
    start(agentEnv) {
      const tui = inTerminal('gemini', project('gemini'), agentEnv,
        [process.execPath, path.join(agentsDir, 'node_modules', '@google', 'gemini-cli', 'bundle', 'gemini.js'), '-i', prompt]);
      return { ...tui, finished: () => until('Gemini CLI done', () => /✦ Done\.|cancel/i.test(tui.screen())) };
    },
  },
  copilot: {
    label: 'Copilot CLI', api: 'chat', ownPrompt: 'Do you want to run this command?', refuse: 'Escape',
    start(agentEnv) {
      const tui = inTerminal('copilot', project('copilot'), agentEnv, [path.join(agentsDir, 'node_modules', '.bin', 'copilot'), '-i', prompt]);
      return { ...tui, finished: () => until('Copilot CLI done', () => /● Done\.|cancelled/.test(tui.screen())) };
    },
  },
  // OpenCode's own prompt shows while the phone decides: the first answer counts.
  opencode: {
    label: 'OpenCode', api: 'chat', ownPrompt: 'Permission required', refuse: 'Escape', promptsAlongside: true,
    start(agentEnv) {
      const tui = inTerminal('opencode', project('opencode'), agentEnv,
        [path.join(agentsDir, 'node_modules', 'opencode-linux-x64', 'bin', 'opencode'), '--prompt', prompt]);
      // While it works it offers "esc interrupt".
      return { ...tui, finished: () => until('OpenCode done', () => !/esc interrupt|Permission required/.test(tui.screen())) };
    },
  },
};

const modelRequests = async (api) => (await json(`${relay}/devstack/model-requests`)).requests.filter((r) => r.api === api);
// OpenCode takes a minute or more to start on a busy machine.
const pendingFor = (label) => until(`a request from ${label} on the phone`, async () =>
  (await json(`${roomUrl}/intents?status=pending`, { headers: asPhone })).intents
    .find((i) => i.agent === label && i.title.includes('rm -rf victim')), 180);
const decide = (id, status, note) => fetch(`${roomUrl}/intents/${id}/decision`,
  { method: 'POST', headers: asPhone, body: JSON.stringify({ status, note }) });

// One attempt to remove the folder, answered as `answer` says; returns what went wrong.
async function attempt(name, answer, agentEnv) {
  const agent = agents[name];
  const victim = path.join(project(name), 'victim');
  mkdirSync(victim, { recursive: true });
  const seen = (await modelRequests(agent.api)).length;
  const session = agent.start(agentEnv);
  try {
    if (answer === 'gate stopped') {
      // No gate: the hook says nothing and the agent asks at its own prompt, refused here.
      if (agent.ownPrompt) {
        const gone = (shown) => !shown.includes(agent.ownPrompt);
        await until(`${agent.label}'s own prompt`, () => !gone(session.screen()), 180);
        // The third choice is "No…"; Escape, meaning the same, at times went unseen by Codex.
        if (agent.refuse) await press(session, agent.refuse, gone);
        else await press(session, '3', (shown) => gone(shown) || /[›●] 3\. No/.test(shown));
        if (!gone(session.screen())) await press(session, 'Enter', gone);
      }
      await session.finished();
      return existsSync(victim) ? null : 'the folder went with the gate stopped';
    }
    const intent = await pendingFor(agent.label);
    if (agent.ownPrompt && !agent.promptsAlongside && session.screen().includes(agent.ownPrompt)) {
      return 'asked at its own prompt while the phone decided';
    }
    const note = `Not now, ${name} ${randomBytes(3).toString('hex')}`;
    await decide(intent.id, answer, answer === 'denied' ? note : undefined);
    if (answer === 'denied') {
      const told = await until('the note in the model\'s next request', async () => (await modelRequests(agent.api))
        .slice(seen).some((r) => JSON.stringify(r.body).includes(note))).catch(() => false);
      if (!told) return 'the model never heard the phone\'s note';
      await session.finished();
      return existsSync(victim) ? null : 'the folder went although denied';
    }
    // Gemini CLI's own policy asks for the shell however a hook answered: approved there too.
    if (name === 'gemini') {
      await until('Gemini CLI\'s own prompt', () => session.screen().includes(agent.ownPrompt));
      await press(session, 'Enter', (shown) => !shown.includes(agent.ownPrompt));
    }
    return (await until('the folder removed', () => !existsSync(victim)).catch(() => false)) ? null : 'the folder stayed although approved';
  } catch (error) {
    // What the terminal showed then says why.
    return `${error.message}${session.screen ? `; the screen:\n${session.screen().replace(/\n\s*$/gm, '\n')}` : ''}`;
  } finally {
    session.stop();
  }
}

// "Allow for this session" on the phone page, which says beside it what the allowance grants:
// the same command again in that session runs without a second request, and a file the model
// writes afterwards is asked for on the phone (the allowance did not switch Claude Code to
// accepting edits unasked).
async function trustForSession(agentEnv) {
  const victim = path.join(project('claude-code'), 'victim');
  const written = path.join(project('claude-code'), 'notes.txt');
  mkdirSync(victim, { recursive: true });
  const seen = (await modelRequests('messages')).length;
  const listed = async () => (await json(`${roomUrl}/intents`, { headers: asPhone })).intents.filter((i) => i.agent === 'Claude Code');
  const before = (await listed()).length;
  const claude = run(path.join(agentsDir, 'node_modules', '.bin', 'claude'), ['-p', `${prompt}, twice, then write ${written}`],
    { cwd: project('claude-code'), env: { ...env, ...agentEnv }, detached: true });
  const phone = openPhone(`${relay}/phone?key=${encodeURIComponent(key)}`);
  const item = (title) => `[...document.querySelectorAll('li.request')].find((li) => li.querySelector('.agent')?.textContent === 'Claude Code'
    && li.querySelector('.title')?.textContent === ${JSON.stringify(title)})`;
  try {
    const grant = await phone.until(`${item('Bash: rm -rf victim')}?.querySelector('.grant')?.textContent`, 60);
    const expected = 'also: `rm -rf victim` again; reading files under `victim/`';
    if (grant !== expected) return `the phone page showed the grant as ${JSON.stringify(grant)}, not ${JSON.stringify(expected)}`;
    await phone.until(`(${item('Bash: rm -rf victim')}.querySelector('button.session').click(), true)`);
    const next = await until('the next request from Claude Code, or its end', async () =>
      (await listed())[before + 1] ?? claude.child.exitCode !== null);
    if (next === true) return `Claude Code ended without asking for the write (written: ${existsSync(written)}): ${claude.out.text}`;
    if (next.title !== `Write: ${written}`) return `asked next: ${next.title}`;
    await phone.until(`(${item(`Write: ${written}`)}.querySelector('button.approve').click(), true)`);
    await until('Claude Code done', () => claude.child.exitCode !== null);
    const last = (await modelRequests('messages')).slice(seen).at(-1)?.body.messages ?? [];
    const results = last.flatMap((m) => (Array.isArray(m.content) ? m.content : [])).filter((b) => b.type === 'tool_result');
    return results.length === 3 && !results.some((b) => b.is_error) && existsSync(written) && !existsSync(victim)
      ? null : `the tools' results: ${JSON.stringify(results)}`;
  } catch (error) {
    return error.message;
  } finally {
    try { process.kill(-claude.child.pid, 'SIGKILL'); } catch {}
    await phone.close();
  }
}

async function connect(name) {
  const connected = run(helperBin, ['connect', name], { env: { ...env, QT_QPA_PLATFORM: 'offscreen' } });
  if ((await connected.exited) !== 0) throw new Error(`kestrova-helper connect ${name} failed: ${connected.out.text}`);
}

// Approve to the tool running, the folder's removal seen by inotify; and the gate's own part: the
// same decision to the answer of a hook request made here as kestrova-hook makes it.
async function bench(runs) {
  const median = (list) => list.sort((a, b) => a - b)[runs >> 1].toFixed(1);
  const [total, gateOnly] = [[], []];
  const victim = path.join(project('claude-code'), 'victim');
  const approveNext = async () => {
    const intent = await pendingFor('Claude Code');
    const sent = performance.now();
    await decide(intent.id, 'approved');
    return sent;
  };
  for (let i = 0; i < runs; i++) {
    mkdirSync(victim, { recursive: true });
    const session = agents['claude-code'].start(setup['claude-code']());
    const gone = new Promise((resolve) => { const w = watch(project('claude-code'), () => existsSync(victim) || (w.close(), resolve(performance.now()))); });
    const sent = await approveNext();
    total.push((await gone) - sent);
    await session.finished();
    const answered = new Promise((resolve, reject) => request({ socketPath: path.join(work, 'kestrova-helper', 'gate.sock'),
      path: '/hooks/claude-code', method: 'POST' }, (res) => res.resume().on('end', resolve)).on('error', reject)
      .end(JSON.stringify({ hook_event_name: 'PermissionRequest', tool_name: 'Bash', tool_input: { command: 'rm -rf victim' },
        cwd: project('claude-code') })));
    const decided = await approveNext();
    gateOnly.push((await answered, performance.now()) - decided);
  }
  console.log(`approve-to-tool: ${median(total)} ms (real Claude Code on loopback, median of ${runs}; of which the gate answering the hook ${median(gateOnly)} ms, the rest Claude Code starting its shell; target ≤ 30 ms)`);
}

let exitCode = 0;
try {
  for (const name of Object.keys(agents)) mkdirSync(project(name), { recursive: true });
  for (const folder of ['.codex', '.gemini', '.copilot', '.config/opencode']) mkdirSync(path.join(home, folder), { recursive: true });
  await startGate();
  // KESTROVA_E2E_AGENTS=claude-code,codex runs only those.
  const only = process.env.KESTROVA_E2E_AGENTS?.split(',');
  const names = benchFlag === '--bench' ? ['claude-code'] : Object.keys(agents).filter((name) => !only || only.includes(name))
    .filter((name) => name !== 'gemini' || Number(process.versions.node.split('.')[0]) >= 20 ||
      console.log('SKIP gemini: Gemini CLI needs Node.js 20 or later'));
  const agentEnvs = Object.fromEntries(names.map((name) => [name, setup[name]()]));
  for (const name of names) await connect(name);
  if (benchFlag === '--bench') {
    await bench(Number(benchRuns) || 10);
  } else {
    for (const answer of ['denied', 'approved', 'gate stopped']) {
      if (answer === 'gate stopped' && names.includes('claude-code')) {
        const problem = await trustForSession(agentEnvs['claude-code']);
        console.log(`${problem ? 'FAIL' : 'ok'}: Claude Code, allowed for the session${problem ? `: ${problem}` : ''}`);
        if (problem) failures.push('claude-code');
      }
      if (answer === 'gate stopped') await stopGate();
      const squatter = answer === 'gate stopped' ? await squat() : null;
      for (const name of names) {
        const problem = await attempt(name, answer, agentEnvs[name]);
        console.log(`${problem ? 'FAIL' : 'ok'}: ${agents[name].label}, ${answer}${problem ? `: ${problem}` : ''}`);
        if (problem) failures.push(name);
      }
      const reached = squatter?.out.text.replace('squatting\n', '');
      squatter?.child.kill();
      if (reached) {
        console.log(`FAIL: another account on the stopped gate's port received: ${JSON.stringify(reached.slice(0, 300))}`);
        failures.push('squatter');
      }
    }
    exitCode = failures.length ? 1 : 0;
  }
} catch (error) {
  console.error(`agents: ${error.message}`);
  exitCode = 1;
} finally {
  if (gate?.child.exitCode === null) await stopGate();
  devstack.child.kill();
  try { tmux('kill-server'); } catch {}
  rmSync(work, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
}
process.exit(exitCode);
