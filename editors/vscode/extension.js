// The Tarq extension: the grammar and language configuration come from
// package.json; this starts the language server tarq-lsp over stdio for
// every Tarq text (diagnostics, completion, hover, definitions, references,
// symbols, semantic tokens, signature help).
const vscode = require('vscode');
const { LanguageClient, TransportKind } = require('vscode-languageclient/node');

let client;

function activate(context) {
  const command = vscode.workspace.getConfiguration('tarq').get('server.path') || 'tarq-lsp';
  const server = { command, transport: TransportKind.stdio };
  client = new LanguageClient('tarq', 'Tarq language server', { run: server, debug: server }, {
    documentSelector: [{ language: 'tarq' }],
  });
  context.subscriptions.push({ dispose: () => client && client.stop() });
  return client.start();
}

function deactivate() {
  return client ? client.stop() : undefined;
}

module.exports = { activate, deactivate };
