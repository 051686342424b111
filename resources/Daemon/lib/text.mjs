// Texts an agent sends are shown on a phone: one line where a line is expected, and nothing that
// could hide what a command does (control characters, direction overrides, invisible marks).
const ESCAPES = { '\n': '\\n', '\r': '\\r', '\t': '\\t' };

export function visible(text, keep = '') {
  return text.replace(/[\u0000-\u001f\u007f-\u009f\u200b-\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]/g,
    (c) => (keep.includes(c) ? c : ESCAPES[c] ?? `\\u${c.charCodeAt(0).toString(16).padStart(4, '0')}`));
}

export function cut(text, max) {
  return text.length > max ? `${text.slice(0, max - 1)}…` : text;
}

export function oneLine(text, max) {
  return cut(visible(text.replace(/\s+/g, ' ').trim()), max);
}
