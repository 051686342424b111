// "Allow for this session" for Claude Code: what the agent is handed back, and the plain words
// the user reads beside the button. Only rules and folders are passed on, each for this session
// alone: the command itself again, and the rules and folders the agent suggested. A change of
// mode (acceptEdits would let every later edit through unasked) and anything the words could not
// say are dropped.
import path from 'node:path';
import { cut, visible } from './text.mjs';

const MAX_QUOTED = 120;
const MAX_GRANT = 1000;

const isText = (value) => typeof value === 'string' && value !== '';

function rulesOf(suggestion) {
  if (suggestion?.type !== 'addRules' || suggestion.behavior !== 'allow' || !Array.isArray(suggestion.rules)) return [];
  return suggestion.rules.filter((rule) => isText(rule?.toolName) && (rule.ruleContent === undefined || isText(rule.ruleContent)))
    .map(({ toolName, ruleContent }) => (ruleContent === undefined ? { toolName } : { toolName, ruleContent }));
}

function directoriesOf(suggestion) {
  return suggestion?.type === 'addDirectories' && Array.isArray(suggestion.directories)
    ? suggestion.directories.filter((dir) => isText(dir) && path.isAbsolute(dir)) : [];
}

// A shell command exactly as asked; one holding `*` would be read as a pattern, matching more.
function sameCommand({ tool_name: tool, tool_input: toolInput }) {
  const command = toolInput?.command;
  return tool === 'Bash' && isText(command) && !command.includes('*') ? [{ toolName: 'Bash', ruleContent: command }] : [];
}

// The updatedPermissions for an approval for the session, from Claude Code's hook input: empty
// when nothing would be granted, or when Claude Code suggested nothing (it offers no allowance
// for this call).
export function sessionAllowance(input) {
  const suggestions = input.permission_suggestions;
  if (!Array.isArray(suggestions) || suggestions.length === 0) return [];
  const rules = [...sameCommand(input), ...suggestions.flatMap(rulesOf)]
    .filter((rule, i, all) => all.findIndex((r) => r.toolName === rule.toolName && r.ruleContent === rule.ruleContent) === i);
  const directories = suggestions.flatMap(directoriesOf);
  return [
    ...(rules.length ? [{ type: 'addRules', rules, behavior: 'allow', destination: 'session' }] : []),
    ...(directories.length ? [{ type: 'addDirectories', directories, destination: 'session' }] : []),
  ];
}

// In backticks, as many as it takes for none inside to end the quote early.
function quoted(text) {
  const shown = cut(visible(text), MAX_QUOTED);
  const fence = '`'.repeat(1 + Math.max(0, ...[...shown.matchAll(/`+/g)].map(([run]) => run.length)));
  const pad = shown.startsWith('`') || shown.endsWith('`') ? ' ' : '';
  return `${fence}${pad}${shown}${pad}${fence}`;
}

function ruleWords({ toolName, ruleContent }) {
  const bash = toolName === 'Bash';
  if (ruleContent === undefined) return bash ? 'any command' : `any ${quoted(toolName)} call`;
  if (!bash) return `${quoted(toolName)} on ${quoted(ruleContent)}`;
  if (ruleContent.endsWith(':*')) return `commands starting ${quoted(ruleContent.slice(0, -2))}`;
  return ruleContent.includes('*') ? `commands matching ${quoted(ruleContent)}` : `${quoted(ruleContent)} again`;
}

// A folder inside the agent's working folder is named from there, as the user knows it. Claude
// Code reads in its working folders unasked, and edits there unasked only in its acceptEdits mode.
function folderWords(dir, { cwd, permission_mode: mode }) {
  const inside = isText(cwd) ? path.relative(cwd, dir) : '';
  const shown = inside && !inside.startsWith('..') && !path.isAbsolute(inside) ? inside : dir;
  const access = mode === 'acceptEdits' ? 'reading and editing' : 'reading';
  return `${access} files under ${quoted(shown.endsWith('/') ? shown : `${shown}/`)}`;
}

// What the allowance grants beyond this one request, e.g. "also: `rm -rf victim` again; reading
// files under `victim/`"; undefined when it grants nothing or more than can be said in a few lines.
export function grantWords(allowance, input) {
  const words = allowance.flatMap((update) => (update.type === 'addRules'
    ? update.rules.map(ruleWords) : update.directories.map((dir) => folderWords(dir, input))));
  const grant = `also: ${words.join('; ')}`;
  return words.length && grant.length <= MAX_GRANT ? grant : undefined;
}
