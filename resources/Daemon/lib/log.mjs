// The gate's output goes to a log the helper keeps; every message is one line.
const PREFIX = 'bk-mcp-daemon: ';

// Newlines in paths or server texts would otherwise split the message.
export function log(message) {
  process.stderr.write(PREFIX + String(message).replace(/[\r\n]+/g, ' ') + '\n');
}

export function announce(message) {
  process.stdout.write(PREFIX + message + '\n');
}

export function fail(status, reason) {
  log(reason);
  process.exit(status);
}
