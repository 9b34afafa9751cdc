// tarq-lsp: the Tarq language server over standard input and output
// (JSON-RPC messages framed by "Content-Length" headers). It checks texts and
// answers questions about them; it never runs a text. Exit status 0 after
// "shutdown" then "exit", 1 when the input ends or "exit" comes first.
#include <cstdio>
#include <string>

#include "LspServer.h"

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--version") {
      std::printf("tarq-lsp %s\n", TARQ_VERSION);
      return 0;
    }
    if (a == "--stdio") continue;  // what some clients pass; stdio is the only transport
    std::fprintf(stderr, "usage: tarq-lsp [--stdio] [--version]\n");
    return 2;
  }
  TarqLsp::Server server;
  std::string body;
  while (TarqLsp::ReadMessage(stdin, body)) {
    TarqLsp::json msg = TarqLsp::json::parse(body, nullptr, false);
    if (msg.is_discarded()) {
      TarqLsp::WriteMessage(stdout, {{"jsonrpc", "2.0"},
                                     {"id", nullptr},
                                     {"error", {{"code", -32700}, {"message", "parse error"}}}});
      continue;
    }
    for (const TarqLsp::json& reply : server.Handle(msg)) TarqLsp::WriteMessage(stdout, reply);
    if (server.ShouldExit()) return server.ExitCode();
  }
  return 1;
}
