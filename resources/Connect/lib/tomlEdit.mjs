// One table of a TOML document, added and taken out by its place in the parsed document
// (toml-eslint-parser gives each table its range); every other byte stays where it was.
import { parseTOML } from 'toml-eslint-parser';
import { FileProblem, lineOf } from './jsonEdit.mjs';

const keyNames = (key) => key.keys.map((part) => (part.type === 'TOMLBare' ? part.name : part.value));
const startsWith = (key, prefix) => prefix.every((name, i) => key[i] === name);

function parse(text, name) {
  try {
    return parseTOML(text);
  } catch (error) {
    throw new FileProblem(`${name} line ${error.lineNumber ?? 1}: ${error.message}`);
  }
}

export class TomlDocument {
  constructor(text, name) {
    this.text = text;
    this.name = name;
    parse(text, name);
  }

  // The ranges (whole lines) of the tables at key and below it, last first. A definition of
  // the key in any other form (a dotted key, an inline table, an array of tables) is refused:
  // this program writes and removes only the table form.
  tables(key) {
    const ranges = [];
    for (const node of parse(this.text, this.name).body[0].body) {
      const inOurs = node.type === 'TOMLTable' && node.kind === 'standard' && startsWith(node.resolvedKey, key);
      const defined = node.type === 'TOMLTable'
        ? [{ name: node.resolvedKey, at: node }, ...node.body.map((kv) => ({ name: [...node.resolvedKey, ...keyNames(kv.key)], at: kv }))]
        : [{ name: keyNames(node.key), at: node }];
      const foreign = inOurs ? null : defined.find(({ name }) => startsWith(name, key));
      if (foreign) {
        throw new FileProblem(`${this.name} line ${lineOf(this.text, foreign.at.range[0])}: "${key.join('.')}" is set in a form this program does not edit; remove it and connect again`);
      }
      if (inOurs) {
        const start = this.text.lastIndexOf('\n', node.range[0] - 1) + 1;
        const lineEnd = this.text.indexOf('\n', node.range[1]);
        ranges.unshift({ start, end: lineEnd < 0 ? this.text.length : lineEnd + 1 });
      }
    }
    return ranges;
  }

  // What is there now: the table's text as written, or nothing.
  tableText(key) {
    return this.tables(key).map(({ start, end }) => this.text.slice(start, end)).reverse().join('');
  }

  // Puts the table (its lines, each ending in a line end) in place of the one there, or after
  // everything else, a blank line apart.
  setTable(key, table) {
    const ranges = this.tables(key);
    if (ranges.length) {
      ranges.forEach(({ start, end }) => this.cut(start, end));
      const at = ranges.at(-1).start;
      this.text = this.text.slice(0, at) + table + this.text.slice(at);
    } else {
      this.text += (this.text === '' ? '' : '\n') + table;
    }
    parse(this.text, this.name);
  }

  // Takes the table out, and the blank line that set it apart.
  removeTable(key) {
    for (const { start, end } of this.tables(key)) {
      const atEnd = end === this.text.length;
      const blankBefore = this.text.slice(Math.max(0, start - 2), start) === '\n\n';
      this.cut(start - (start > 0 && (atEnd || blankBefore) ? 1 : 0), end);
    }
  }

  cut(start, end) {
    this.text = this.text.slice(0, start) + this.text.slice(end);
  }
}
