// Texts an agent sends are shown on a phone: one line where a line is expected, and nothing that
// could hide what a command does (control characters, direction marks and overrides, invisible
// marks). A zero-width joiner inside an emoji sequence stays: it only draws the emoji whole.
const ESCAPES = { '\n': '\\n', '\r': '\\r', '\t': '\\t' };
const HIDDEN = /[\u0000-\u001f\u007f-\u009f\u061c\u200b-\u200f\u2028\u2029\u202a-\u202e\u2060-\u2064\u2066-\u2069\ufeff]/gu;
const EMOJI = /[\p{Extended_Pictographic}\p{Emoji_Modifier}]\ufe0f?$/u;
const graphemes = new Intl.Segmenter('en', { granularity: 'grapheme' });

export function visible(text, keep = '') {
  return text.replace(HIDDEN, (c, at) => {
    if (keep.includes(c)) return c;
    if (c === '\u200d' && EMOJI.test(text.slice(Math.max(0, at - 3), at))
      && /^\p{Extended_Pictographic}/u.test(text.slice(at + 1, at + 3))) return c;
    return ESCAPES[c] ?? `\\u${c.charCodeAt(0).toString(16).padStart(4, '0')}`;
  });
}

// At most `max` UTF-16 units, ending in "…" when cut; the cut falls between two characters as the
// reader sees them, never inside a surrogate pair, a combining sequence or an emoji sequence.
export function cut(text, max) {
  if (text.length <= max) return text;
  let end = 0;
  for (const { index, segment } of graphemes.segment(text)) {
    if (index + segment.length > max - 1) break;
    end = index + segment.length;
  }
  return `${text.slice(0, end)}…`;
}

export function oneLine(text, max) {
  return cut(visible(text.replace(/\s+/g, ' ').trim()), max);
}
