// Edits of a JSON (or JSON with comments) document that leave every other byte where it was:
// jsonc-parser finds the nodes, and the text is cut and joined at their offsets. Inserted values
// follow the document's own indentation and line ends; a removal takes out exactly what an
// insertion put in, so connecting and disconnecting again gives back the same bytes.
import { findNodeAtLocation, getNodeValue, parseTree, printParseErrorCode } from 'jsonc-parser';

export class FileProblem extends Error {}

// Line (1-based) of an offset, for messages; the end of the text is on its last line.
export function lineOf(text, offset) {
  return text.slice(0, Math.min(offset, text.trimEnd().length)).split('\n').length;
}

function lineIndent(text, offset) {
  const start = text.lastIndexOf('\n', offset - 1) + 1;
  return /^[ \t]*/.exec(text.slice(start))[0];
}

export class JsonDocument {
  constructor(text, name) {
    this.name = name;
    this.text = text.trim() === '' ? '{}' : text;
    this.eol = text.includes('\r\n') ? '\r\n' : '\n';
    const indented = /\n([ \t]+)\S/.exec(text);
    this.unit = indented ? (indented[1][0] === '\t' ? '\t' : indented[1]) : '  ';
    // A document written on one line (JSON.stringify without indentation) stays on one line.
    this.oneLine = text.trim() !== '' && !text.trim().includes('\n');
    this.reparse();
    if (this.root?.type !== 'object') {
      throw new FileProblem(`${name} line 1: the settings are not a JSON object`);
    }
  }

  reparse() {
    const errors = [];
    this.root = parseTree(this.text, errors, { allowTrailingComma: true });
    if (errors.length) {
      const { error, offset } = errors[0];
      throw new FileProblem(`${this.name} line ${lineOf(this.text, offset)}: ${printParseErrorCode(error)}`);
    }
  }

  node(path) {
    return findNodeAtLocation(this.root, path);
  }

  value(path) {
    const node = this.node(path);
    return node && getNodeValue(node);
  }

  // The container at path must be of this type when it exists at all.
  expect(path, type) {
    const node = this.node(path);
    if (node && node.type !== type) {
      throw new FileProblem(`${this.name} line ${lineOf(this.text, node.offset)}: "${path.join('.')}" is not ${type === 'array' ? 'a list' : 'an object'}`);
    }
    return node;
  }

  replace(start, end, insert) {
    this.text = this.text.slice(0, start) + insert + this.text.slice(end);
    this.reparse();
  }

  pretty(value, indent) {
    if (this.oneLine) return JSON.stringify(value);
    return JSON.stringify(value, null, this.unit).split('\n').join(this.eol + indent);
  }

  // Adds an element to the array at path, or a property to the object there (key given).
  insert(path, key, value) {
    const container = this.node(path) ?? this.root;
    const entry = (indent) => (key === undefined ? '' : `${JSON.stringify(key)}: `) + this.pretty(value, indent);
    const children = container.children ?? [];
    const close = container.offset + container.length - 1;
    if (children.length === 0 && this.oneLine) {
      this.replace(container.offset + 1, close, entry(''));
      return;
    }
    if (children.length === 0) {
      const outer = lineIndent(this.text, container.offset);
      const inner = this.text.slice(container.offset + 1, close).trimEnd();
      this.replace(container.offset + 1, close, `${inner}${this.eol}${outer}${this.unit}${entry(outer + this.unit)}${this.eol}${outer}`);
      return;
    }
    const last = children.at(-1);
    const lastEnd = last.offset + last.length;
    const inline = this.oneLine || !this.text.slice(container.offset, last.offset).includes('\n');
    const indent = inline ? '' : lineIndent(this.text, last.offset);
    const separator = inline ? ' ' : this.eol + indent;
    const trailingComma = this.text.slice(lastEnd, close).indexOf(',');
    if (trailingComma >= 0) {
      const at = lastEnd + trailingComma + 1;
      this.replace(at, at, `${separator}${entry(indent)},`);
    } else {
      this.replace(lastEnd, lastEnd, `,${separator}${entry(indent)}`);
    }
  }

  // Removes the node (an array element, or a property node) with the separator an insertion
  // would have put before it.
  remove(node) {
    const container = node.parent;
    const siblings = container.children;
    const index = siblings.indexOf(node);
    const end = node.offset + node.length;
    if (index > 0) {
      const previous = siblings[index - 1];
      this.replace(previous.offset + previous.length, end, '');
    } else if (siblings.length > 1) {
      this.replace(node.offset, siblings[1].offset, '');
    } else {
      const close = container.offset + container.length - 1;
      const rest = this.text.slice(container.offset + 1, node.offset).trimEnd() + this.text.slice(end, close);
      this.replace(container.offset + 1, close, rest.trim() === '' ? '' : rest);
    }
  }

  // Sets the value at path (an object property), making the objects on the way.
  set(path, value) {
    const existing = this.node(path);
    if (existing) {
      this.replace(existing.offset, existing.offset + existing.length, this.pretty(value, lineIndent(this.text, existing.offset)));
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

  // After a removal: takes out the containers on path that are now empty and that the file
  // did not have before it was first changed.
  prune(path, before) {
    for (let depth = path.length; depth > 0; depth--) {
      const at = path.slice(0, depth);
      const node = this.node(at);
      if (!node || (node.children ?? []).length > 0 || before?.node(at)) return;
      this.remove(node.parent);
    }
  }
}
