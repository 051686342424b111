// One entry of a TOML document, such as [mcp_servers.kestrova], found in whatever form the file
// gives it (a table, a dotted key, an inline table), added and taken out at the offsets
// toml-eslint-parser gives; every other byte stays where it was. TOML 1.1, as Codex reads it.
import { getStaticTOMLValue, parseTOML } from 'toml-eslint-parser';
import { FileProblem, lineOf } from './userFile.mjs';

const keyNames = (key) => key.keys.map((part) => (part.type === 'TOMLBare' ? part.name : part.value));
const startsWith = (key, prefix) => prefix.every((name, i) => key[i] === name);
const equal = (a, b) => a.length === b.length && startsWith(a, b);

// A TOML string: JSON's escapes are TOML's, but for DEL, which TOML wants escaped.
export const tomlString = (text) => JSON.stringify(text).replaceAll('\x7f', '\\u007f');

export class TomlDocument {
  constructor(text, name) {
    this.text = text;
    this.name = name;
    this.eol = text.includes('\r\n') ? '\r\n' : '\n';
    this.parse((error) => new FileProblem(`${name} line ${error.lineNumber ?? 1}: ${error.message}`));
  }

  parse(problem) {
    try {
      // A byte-order mark is read as a space, as Codex skips it.
      this.ast = parseTOML(this.text.replace(/^\ufeff/, ' '), { tomlVersion: '1.1' });
    } catch (error) {
      throw problem(error);
    }
  }

  reparse() {
    this.parse(() => new FileProblem(`${this.name}: the entries could not be placed in this file without breaking it; nothing was changed`));
  }

  line(node) {
    return lineOf(this.text, node.range[0]);
  }

  value(key) {
    return key.reduce((value, name) => (value && typeof value === 'object' ? value[name] : undefined), getStaticTOMLValue(this.ast));
  }

  // Where the table at key is defined: `entry` when in one place this program can edit (its
  // own table, a key whose value is an inline table), `inline` when its parent is an inline
  // table, `foreign` when it is also defined in another way (a sub-table, dotted keys).
  find(key) {
    const parent = key.slice(0, -1);
    const found = { entries: [], foreign: null, inline: null };
    const definition = (full, node) => {
      if (node.type === 'TOMLKeyValue' && equal(full, parent)) {
        if (node.value.type !== 'TOMLInlineTable') {
          throw new FileProblem(`${this.name} line ${this.line(node)}: "${parent.join('.')}" is not a table`);
        }
        found.inline = node.value;
        node.value.body.forEach((inner) => definition([...full, ...keyNames(inner.key)], inner));
      } else if (equal(full, key) && (node.type === 'TOMLTable' ? node.kind === 'standard' : node.value.type === 'TOMLInlineTable')) {
        found.entries.push({ node, inline: found.inline && found.inline.body.includes(node) ? found.inline : null });
      } else if (startsWith(full, key) || (node.kind === 'array' && startsWith(full, parent))) {
        found.foreign ??= node;
      }
    };
    for (const node of this.ast.body[0].body) {
      if (node.type === 'TOMLKeyValue') {
        definition(keyNames(node.key), node);
        continue;
      }
      definition(node.resolvedKey, node);
      if (equal(node.resolvedKey, key)) continue;
      for (const pair of node.body) definition([...node.resolvedKey, ...keyNames(pair.key)], pair);
    }
    if (found.entries.length > 1) found.foreign ??= found.entries[1].node;
    return { entry: found.foreign ? null : (found.entries[0] ?? null), foreign: found.foreign, inline: found.inline };
  }

  cut(start, end, insert = '') {
    this.text = this.text.slice(0, start) + insert + this.text.slice(end);
    this.reparse();
  }

  // Adds the table at key: its own table after everything else, a blank line apart, or a key
  // in its parent when that is an inline table.
  insert(key, fields) {
    const { inline } = this.find(key);
    if (!inline) {
      const table = [`[${key.join('.')}]`, ...Object.entries(fields).map(([name, value]) => `${name} = ${value}`), ''].join(this.eol);
      this.cut(this.text.length, this.text.length, (this.text === '' ? '' : this.eol) + table);
      return;
    }
    const entry = `${key.at(-1)} = { ${Object.entries(fields).map(([name, value]) => `${name} = ${value}`).join(', ')} }`;
    const [open, close] = [inline.range[0], inline.range[1] - 1];
    const last = inline.body.at(-1);
    if (!last) {
      this.cut(open + 1, close, ` ${entry} `);
      return;
    }
    const comma = this.ast.tokens.find((token) => token.value === ',' && token.range[0] >= last.range[1] && token.range[1] <= close);
    if (comma) this.cut(comma.range[1], comma.range[1], ` ${entry},`);
    else this.cut(last.range[1], last.range[1], `, ${entry}`);
  }

  // Takes the entry out: its table's lines and the line end an insertion put before it, or
  // its key with one comma; an inline table left empty gets back the inside it had before.
  remove(key, before) {
    const { entry } = this.find(key);
    if (!entry) return;
    const { node, inline } = entry;
    if (inline) {
      this.removeInline(node, inline, before, key);
      return;
    }
    const start = this.text.lastIndexOf('\n', node.range[0] - 1) + 1;
    const lineEnd = this.text.indexOf('\n', node.range[1]);
    const end = lineEnd < 0 ? this.text.length : lineEnd + 1;
    const eolBefore = this.text.slice(0, start).endsWith('\r\n') ? 2 : 1;
    const blankBefore = /(^|\n)\r?\n$/.test(this.text.slice(0, start));
    const take = node.type === 'TOMLTable' && start > 0 && (end === this.text.length || blankBefore) ? eolBefore : 0;
    this.cut(start - take, end);
  }

  removeInline(node, inline, before, key) {
    const close = inline.range[1] - 1;
    if (inline.body.length === 1) {
      const was = before?.find(key).inline;
      const inside = was && was.body.length === 0 ? before.text.slice(was.range[0] + 1, was.range[1] - 1) : '';
      this.cut(inline.range[0] + 1, close, inside);
      return;
    }
    let start = node.range[0];
    while (/[ \t]/.test(this.text[start - 1])) start--;
    const index = inline.body.indexOf(node);
    const following = inline.body[index + 1];
    const commas = this.ast.tokens.filter((token) => token.value === ',' && token.type === 'Punctuator');
    const next = commas.find((token) => token.range[0] >= node.range[1] && token.range[1] <= (following ? following.range[0] : close));
    const comma = next ?? commas.findLast((token) => token.range[1] <= node.range[0]);
    const [first, second] = [[start, node.range[1]], comma.range].sort((a, b) => b[0] - a[0]);
    this.text = this.text.slice(0, first[0]) + this.text.slice(first[1]);
    this.cut(second[0], second[1]);
  }
}
