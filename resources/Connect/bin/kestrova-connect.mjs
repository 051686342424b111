#!/usr/bin/env node
// Adds the Kestrova gate to coding agents' user settings (connect), takes it out again
// (disconnect), or tells how each agent stands (status, one JSON object on stdout).
//   kestrova-connect.mjs connect|disconnect|status AGENT... --hook PATH --secret-file PATH [--home DIR]
// AGENT is claude-code, codex, gemini, copilot or opencode. A file that cannot be read as what
// it should be is left as it was, with a message naming it and the line; the exit status is then
// 1. Notes the user should read (an entry of their own left alone, the gate's key replaced) go
// to standard error, each on a line starting "kestrova-connect: note: ".
import { runCommand } from '../lib/command.mjs';

process.exitCode = await runCommand(process.argv.slice(2), { out: console.log, err: console.error });
