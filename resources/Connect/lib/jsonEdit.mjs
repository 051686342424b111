// Edits of a JSON (or JSON with comments) document that leave every other byte where it was:
// jsonc-parser finds the values, its scanner the commas and comments, and the text is cut and
// joined at their offsets. An insertion goes after the comments on its neighbour's line, never
// into a comment; a removal takes out exactly what an insertion put in and no comment, so
// connecting and disconnecting again gives back the same bytes.
import { createScanner, findNodeAtLocation, getNodeValue, parseTree, printParseErrorCode } from 'jsonc-parser';
import { FileProblem, lineOf } from './userFile.mjs';

const COMMA = 5;
const LINE_COMMENT = 12;
const BLOCK_COMMENT = 13;
const TRIVIA = new Set([14, 15]);
const isComment = (token) => token.kind === LINE_COMMENT || token.kind === BLOCK_COMMENT;

function lineIndent(text, offset) {
  const start = text.lastIndexOf('\n', offset - 1) + 1;
  return /^[ \t]*/.exec(text.slice(start))[0];
}

// A byte-order mark is read as a space: the parser refuses it, the agents' readers vary.
const parsable = (text) => text.replace(/^\ufeff/, ' ');

export class JsonDocument {
  constructor(text, name) {
    this.name = name;
    this.blank = text.trim() === '';
    this.text = this.blank ? '{}' : text;
    this.eol = text.includes('\r\n') ? '\r\n' : '\n';
    const indented = /\n([ \t]+)\S/.exec(text);
    this.unit = indented ? (indented[1][0] === '\t' ? '\t' : indented[1]) : '  ';
    // A document written on one line (JSON.stringify without indentation) stays on one line.
    this.oneLine = !this.blank && !text.trim().includes('\n');
    this.parse((error, offset) => new FileProblem(`${name} line ${lineOf(text, offset)}: ${printParseErrorCode(error)}`));
    if (this.root?.type !== 'object') {
      throw new FileProblem(`${name} line 1: the settings are not a JSON object`);
    }
  }

  parse(problem) {
    const errors = [];
    this.root = parseTree(parsable(this.text), errors, { allowTrailingComma: true });
    if (errors.length) throw problem(errors[0].error, errors[0].offset);
    this.tokens = [];
    const scanner = createScanner(parsable(this.text), false);
    for (let kind = scanner.scan(); kind !== 17; kind = scanner.scan()) {
      if (!TRIVIA.has(kind)) this.tokens.push({ kind, start: scanner.getTokenOffset(), end: scanner.getTokenOffset() + scanner.getTokenLength() });
    }
  }

  // Text after an edit is parsed again; a failure there is this program's, and nothing is written.
  reparse() {
    this.parse(() => new FileProblem(`${this.name}: the entries could not be placed in this file without breaking it; nothing was changed`));
  }

  tokensIn(start, end) {
    return this.tokens.filter((token) => token.start >= start && token.end <= end);
  }

  node(path) {
    return path.length === 0 ? this.root : findNodeAtLocation(this.root, path);
  }

  value(path) {
    const node = this.node(path);
    return node && getNodeValue(node);
  }

  line(node) {
    return lineOf(this.text, node.offset);
  }

  // The container at path must be of this type when it exists at all, and no key on the way
  // may appear twice: the agents read the last of two, this program would edit the first.
  expect(path, type) {
    for (let depth = 0; depth < path.length; depth++) {
      const parent = this.node(path.slice(0, depth));
      if (parent?.type !== 'object') break;
      const same = parent.children.filter((property) => property.children[0].value === path[depth]);
      if (same.length > 1) {
        throw new FileProblem(`${this.name} line ${this.line(same[1])}: "${path.slice(0, depth + 1).join('.')}" appears twice (also line ${this.line(same[0])}), and the agent reads only the last; merge them into one and try again`);
      }
    }
    const node = this.node(path);
    if (type && node && node.type !== type) {
      throw new FileProblem(`${this.name} line ${this.line(node)}: "${path.join('.')}" is not ${type === 'array' ? 'a list' : 'an object'}`);
    }
    return node;
  }

  // Changes given in the order of their place in the text; applied from the end.
  edit(...changes) {
    for (const [start, end, insert] of changes.reverse()) {
      this.text = this.text.slice(0, start) + insert + this.text.slice(end);
    }
    this.reparse();
  }

  pretty(value, indent) {
    if (this.oneLine) return JSON.stringify(value);
    return JSON.stringify(value, null, this.unit).split('\n').join(this.eol + indent);
  }

  // Adds an element to the array at path, or a property to the object there (key given),
  // after the last one and the comments on its line.
  insert(path, key, value) {
    const container = this.node(path);
    const entry = (indent) => (key === undefined ? '' : `${JSON.stringify(key)}: `) + this.pretty(value, indent);
    const close = container.offset + container.length - 1;
    const children = container.children ?? [];
    if (children.length === 0) {
      const comments = this.tokensIn(container.offset + 1, close);
      const at = comments.length ? comments.at(-1).end : container.offset + 1;
      if (this.oneLine && comments.at(-1)?.kind !== LINE_COMMENT) {
        this.edit([at, at, (comments.length ? ' ' : '') + entry('')]);
        return;
      }
      const outer = lineIndent(this.text, container.offset);
      const closing = this.text.slice(at, close).includes('\n') ? '' : this.eol + outer;
      this.edit([at, at, `${this.eol}${outer}${this.unit}${entry(outer + this.unit)}${closing}`]);
      return;
    }
    const last = children.at(-1);
    const lastEnd = last.offset + last.length;
    const after = this.tokensIn(lastEnd, close);
    // A trailing comma, wherever it is, comes before the new entry; the comments on its line stay
    // on its line.
    const comma = after.find((token) => token.kind === COMMA);
    const from = comma ? comma.end : lastEnd;
    let at = from;
    let lineComment = false;
    for (const token of after.filter((candidate) => candidate.start >= from)) {
      if (this.text.slice(from, token.start).includes('\n')) break;
      [at, lineComment] = [token.end, token.kind === LINE_COMMENT];
    }
    // After a line comment the entry starts a line of its own, or it would be in the comment.
    const inline = !lineComment && (this.oneLine || !this.text.slice(container.offset, last.offset).includes('\n'));
    const indent = inline ? '' : lineIndent(this.text, last.offset);
    const added = `${inline ? ' ' : this.eol + indent}${entry(indent)}`;
    if (comma) this.edit([at, at, `${added},`]);
    else this.edit([lastEnd, lastEnd, ','], [at, at, added]);
  }

  // Removes the node (an array element, or a property node) with the white space before it and
  // one comma: the one an insertion added. Comments stay.
  remove(node) {
    const container = node.parent;
    const siblings = container.children;
    const index = siblings.indexOf(node);
    const end = node.offset + node.length;
    let start = node.offset;
    while (start > 0 && /\s/.test(this.text[start - 1])) start--;
    const following = siblings[index + 1];
    const next = this.tokensIn(end, following ? following.offset : container.offset + container.length - 1).find((token) => token.kind === COMMA);
    if (next) {
      this.edit([start, end, ''], [next.start, next.end, '']);
    } else if (index > 0) {
      const previous = siblings[index - 1];
      const comma = this.tokensIn(previous.offset + previous.length, node.offset).find((token) => token.kind === COMMA);
      this.edit([comma.start, comma.end, ''], [start, end, '']);
    } else {
      this.edit([start, end, '']);
    }
  }

  // Sets the value at path (an object property), making the objects on the way.
  set(path, value) {
    const existing = this.node(path);
    if (existing) {
      this.edit([existing.offset, existing.offset + existing.length, this.pretty(value, lineIndent(this.text, existing.offset))]);
      return;
    }
    this.insertNested(path, value);
  }

  // Adds value at path, where the last segment may be absent, as can any parent object.
  insertNested(path, value) {
    let depth = 0;
    while (depth < path.length - 1 && this.node(path.slice(0, depth + 1))) depth++;
    const nested = path.slice(depth + 1).reduceRight((inner, key) => ({ [key]: inner }), value);
    this.insert(path.slice(0, depth), path[depth], nested);
  }

  // A container left empty takes back the inside it had before the first change (its white
  // space and comments), when it had one.
  restoreEmpty(path, before) {
    const node = this.node(path);
    const was = before?.node(path);
    if (!node || (node.children ?? []).length > 0 || !was || (was.children ?? []).length > 0) return;
    const inside = (doc, at) => [at.offset + 1, at.offset + at.length - 1];
    const comments = (doc, at) => doc.tokensIn(...inside(doc, at)).map((token) => doc.text.slice(token.start, token.end)).join('\n');
    if (comments(this, node) !== comments(before, was)) return;
    this.edit([...inside(this, node), before.text.slice(...inside(before, was))]);
  }

  // After a removal: takes out the containers on path that are now empty and that the file
  // did not have before it was first changed; one it had gets its old inside back.
  prune(path, before) {
    for (let depth = path.length; depth >= 0; depth--) {
      const at = path.slice(0, depth);
      const node = this.node(at);
      if (!node || (node.children ?? []).length > 0) return;
      if (depth === 0 || before?.node(at)) {
        this.restoreEmpty(at, before);
        return;
      }
      this.remove(node.parent);
    }
  }

  // Nothing left but the braces: the file holds no setting.
  isBare() {
    return this.root.children.length === 0 && this.tokens.every((token) => !isComment(token)) && /^\{\s*\}$/.test(this.text.trim());
  }
}
