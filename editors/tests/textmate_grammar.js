#!/usr/bin/env node
// Tokenizes the README's Tarq examples with the VS Code grammar (through the
// npm packages vscode-textmate and vscode-oniguruma, as VS Code does) and
// checks the scopes: every character outside blanks gets a scope of the
// grammar, the "$$" results are comments, and a table of fragments gets the
// scope it must. Exits 77 (skipped) when node's modules are not installed;
// TARQ_NODE_MODULES may name the folder that holds them ("npm install" in this
// folder puts them in node_modules beside this file).
// Usage: textmate_grammar.js GRAMMAR README
'use strict';
const fs = require('fs');
const path = require('path');

// The resolved entry file of a module, or null.
function locate(name) {
  const where = [process.env.TARQ_NODE_MODULES, path.join(__dirname, 'node_modules')].filter(Boolean);
  for (const dir of where) {
    try { return require.resolve(path.join(dir, name)); } catch (e) { /* next */ }
  }
  try { return require.resolve(name); } catch (e) { return null; }
}
function load(name) {
  const at = locate(name);
  return at ? require(at) : null;
}

const vsctm = load('vscode-textmate');
const oniguruma = load('vscode-oniguruma');
if (!vsctm || !oniguruma) {
  console.log('skipped: the npm packages vscode-textmate and vscode-oniguruma are not installed');
  process.exit(77);
}

const [grammarPath, readmePath] = process.argv.slice(2);
const wasmPath = path.join(path.dirname(locate('vscode-oniguruma')), 'onig.wasm');

async function main() {
  await oniguruma.loadWASM(fs.readFileSync(wasmPath).buffer);
  const registry = new vsctm.Registry({
    onigLib: Promise.resolve({
      createOnigScanner: (p) => new oniguruma.OnigScanner(p),
      createOnigString: (s) => new oniguruma.OnigString(s),
    }),
    loadGrammar: async () => vsctm.parseRawGrammar(fs.readFileSync(grammarPath, 'utf8'), grammarPath),
  });
  const grammar = await registry.loadGrammar('source.tarq');
  const failures = [];

  // Scopes of every character of one line.
  function scopes(line) {
    const r = grammar.tokenizeLine(line, vsctm.INITIAL);
    const at = [];
    for (const t of r.tokens) {
      for (let k = t.startIndex; k < t.endIndex; ++k) at[k] = t.scopes;
    }
    return at;
  }

  // The README's examples: every line of every ```tarq block.
  const readme = fs.readFileSync(readmePath, 'utf8');
  const blocks = [...readme.matchAll(/^```tarq\n([\s\S]*?)^```$/gm)].map((m) => m[1]);
  let lines = 0;
  for (const block of blocks) {
    for (const line of block.split('\n')) {
      if (!line.trim()) continue;
      ++lines;
      const at = scopes(line);
      for (let k = 0; k < line.length; ++k) {
        if (/\s/.test(line[k])) continue;
        const s = at[k] || [];
        if (s.length < 2) failures.push(`no scope for "${line[k]}" at ${k} in: ${line}`);
      }
      const c = line.indexOf('$$');
      if (c >= 0 && !(at[c] || []).some((s) => s.startsWith('comment.line'))) {
        // Only a "$$" outside quotes starts a comment.
        const before = line.slice(0, c);
        const quotes = (before.match(/'/g) || []).length % 2 === 0 && (before.match(/"/g) || []).length % 2 === 0;
        if (quotes) failures.push(`"$$" is no comment in: ${line}`);
      }
    }
  }
  if (lines < 20) failures.push(`only ${lines} example lines found in the README`);

  // Fragments and the scope the first character of each must have.
  const table = [
    ['1 2 3 + 10', 0, 'constant.numeric.tarq'],
    ['1 2 3 + 10', 6, 'keyword.operator.tarq'],
    ['x #COS', 2, 'keyword.operator.word.tarq'],
    [':IF (1) {2} :ELSE {3}', 0, 'keyword.control.tarq'],
    [':IF (1) {2} :ELSE {3}', 12, 'keyword.control.tarq'],
    ["'it''s' $$ note", 0, 'string.quoted.single.tarq'],
    ["'it''s' $$ note", 8, 'comment.line.double-dollar.tarq'],
    ['"a $$ b"', 3, 'string.quoted.double.tarq'],
    ['1 $* block *$ 2', 2, 'comment.block.tarq'],
    ['1 $* block *$ 2', 14, 'constant.numeric.tarq'],
    ['x $** 1', 2, 'keyword.other.display.tarq'],
    ['$P 1', 0, 'keyword.other.directive.tarq'],
    ['$R|$rtext|', 5, 'string.unquoted.bulk.tarq'],
    ['r:names', 1, 'variable.other.member.tarq'],
    ['count => n', 0, 'variable.other.tarq'],
    ['_3 + 1.5e3', 0, 'constant.numeric.tarq'],
    ['1 .. 5', 2, 'keyword.operator.tarq'],
    ['a; b', 1, 'punctuation.terminator.statement.tarq'],
  ];
  for (const [line, k, want] of table) {
    const s = scopes(line)[k] || [];
    if (!s.includes(want)) failures.push(`"${line}" at ${k}: want ${want}, got ${s.join(' ')}`);
  }

  for (const f of failures) console.error('FAIL: ' + f);
  console.log(`${lines} README lines and ${table.length} fragments tokenized`);
  process.exit(failures.length ? 1 : 0);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
