// Tests for the language server, message by message: UTF-16 positions over
// UTF-8, full and incremental sync, diagnostics, and every request.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "LspServer.h"

namespace {

using TarqLsp::json;

const char* const kUri = "file:///t.tq";

struct Session {
  TarqLsp::Server server;
  int next = 1;

  std::vector<json> Send(const std::string& method, json params, bool request = true) {
    json m = {{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}};
    if (request) m["id"] = next++;
    return server.Handle(m);
  }
  json Request(const std::string& method, json params) {
    std::vector<json> out = Send(method, std::move(params));
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? json() : out[0].value("result", json());
  }
  json Open(const std::string& text) {
    Send("initialize", json::object());
    std::vector<json> out =
        Send("textDocument/didOpen", {{"textDocument", {{"uri", kUri}, {"languageId", "tarq"}, {"version", 1},
                                                        {"text", text}}}},
             false);
    EXPECT_EQ(out.size(), 1u);
    return out.empty() ? json() : out[0]["params"]["diagnostics"];
  }
  json At(const std::string& method, int line, int ch) {
    return Request(method, {{"textDocument", {{"uri", kUri}}}, {"position", {{"line", line}, {"character", ch}}},
                            {"context", {{"includeDeclaration", true}}}});
  }
};

json Pos(int line, int ch) { return {{"line", line}, {"character", ch}}; }

TEST(LspDocument, Utf16PositionsOverUtf8) {
  // "é" is 2 bytes and 1 unit; "𝄞" is 4 bytes and 2 units.
  TarqLsp::Document d("'\xC3\xA9\xF0\x9D\x84\x9E' x\r\ny");
  EXPECT_EQ(d.Offset(0, 2), 3u);
  EXPECT_EQ(d.Offset(0, 4), 7u);
  EXPECT_EQ(d.Position(9), Pos(0, 6));
  EXPECT_EQ(d.Offset(1, 0), 12u);
  EXPECT_EQ(d.Offset(0, 99), 10u);  // clamped to the line
  EXPECT_EQ(d.Position(12), Pos(1, 0));
}

TEST(LspServer, DiagnosticsOnOpenAndAfterIncrementalEdits) {
  Session s;
  json diags = s.Open("1 => x;\n:IF {1}");
  ASSERT_EQ(diags.size(), 1u);
  EXPECT_EQ(diags[0]["message"], "Syntax error: need (test)");
  EXPECT_EQ(diags[0]["severity"], 1);
  EXPECT_EQ(diags[0]["range"]["start"], Pos(1, 4));
  EXPECT_EQ(diags[0]["range"]["end"], Pos(1, 7));
  // Insert the test: the error goes away.
  std::vector<json> out = s.Send(
      "textDocument/didChange",
      {{"textDocument", {{"uri", kUri}, {"version", 2}}},
       {"contentChanges", {{{"range", {{"start", Pos(1, 4)}, {"end", Pos(1, 4)}}}, {"text", "(x) "}}}}},
      false);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(out[0]["params"]["diagnostics"].empty());
  // Two changes in one notification apply in order: ":IF (x) {1}" becomes
  // ":WHILE (x) {1}", then the body goes.
  out = s.Send("textDocument/didChange",
               {{"textDocument", {{"uri", kUri}, {"version", 3}}},
                {"contentChanges",
                 {{{"range", {{"start", Pos(1, 0)}, {"end", Pos(1, 3)}}}, {"text", ":WHILE"}},
                  {{"range", {{"start", Pos(1, 11)}, {"end", Pos(1, 14)}}}, {"text", ""}}}}},
               false);
  ASSERT_EQ(out[0]["params"]["diagnostics"].size(), 1u);
  EXPECT_EQ(out[0]["params"]["diagnostics"][0]["message"], "Syntax error: need {}");
  // A full replacement.
  out = s.Send("textDocument/didChange",
               {{"textDocument", {{"uri", kUri}, {"version", 4}}}, {"contentChanges", {{{"text", "1 2 3 + 10 20"}}}}},
               false);
  ASSERT_EQ(out[0]["params"]["diagnostics"].size(), 1u);
  EXPECT_EQ(out[0]["params"]["diagnostics"][0]["severity"], 2);
}

TEST(LspServer, HoverCompletionAndSignatures) {
  Session s;
  s.Open("5 => n; 1 #COS; n + 2");
  json h = s.At("textDocument/hover", 0, 11);
  std::string md = h["contents"]["value"];
  EXPECT_NE(md.find("#COS"), std::string::npos);
  EXPECT_NE(md.find("Cosine"), std::string::npos);
  h = s.At("textDocument/hover", 0, 17);
  EXPECT_EQ(h["contents"]["value"], "**n**: number");
  json items = s.At("textDocument/completion", 0, 12)["items"];  // after "#C"
  bool cos = false;
  for (const json& i : items) {
    EXPECT_EQ(std::string(i["label"]).rfind("#C", 0), 0u);
    if (i["label"] == "#COS") cos = true;
  }
  EXPECT_TRUE(cos);
  // Fields the text uses, with the selector being typed.
  Session f;
  f.Open("ns:names; ns.na");
  json fields = f.At("textDocument/completion", 0, 15)["items"];
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(fields[0]["label"], ".names");
  EXPECT_EQ(fields[0]["textEdit"]["range"]["start"], Pos(0, 12));
  json sig = s.At("textDocument/signatureHelp", 0, 21);
  ASSERT_TRUE(sig.is_object());
  EXPECT_NE(std::string(sig["signatures"][sig["activeSignature"].get<int>()]["label"]).find("dyadic"),
            std::string::npos);
}

TEST(LspServer, DefinitionReferencesSymbolsAndTokens) {
  Session s;
  s.Open("'f' #PGM {l__ + 1};\n2 => k; k f; k");
  json def = s.At("textDocument/definition", 1, 11);  // on "f"
  ASSERT_EQ(def.size(), 1u);
  EXPECT_EQ(def[0]["range"]["start"], Pos(0, 1));
  json refs = s.At("textDocument/references", 1, 8);  // on "k"
  EXPECT_EQ(refs.size(), 3u);
  json syms = s.Request("textDocument/documentSymbol", {{"textDocument", {{"uri", kUri}}}});
  ASSERT_EQ(syms.size(), 2u);
  EXPECT_EQ(syms[0]["name"], "f");
  EXPECT_EQ(syms[0]["kind"], 12);
  json data = s.Request("textDocument/semanticTokens/full", {{"textDocument", {{"uri", kUri}}}})["data"];
  ASSERT_EQ(data.size() % 5, 0u);
  // First token: the quote 'f' at 0:0, 3 units, a string.
  EXPECT_EQ(data[0], 0);
  EXPECT_EQ(data[1], 0);
  EXPECT_EQ(data[2], 3);
  EXPECT_EQ(data[3], 3);
}

TEST(LspServer, ShutdownExitAndBadMessages) {
  Session s;
  EXPECT_EQ(s.Send("no/such", json::object())[0]["error"]["code"], -32601);
  EXPECT_EQ(s.Send("textDocument/hover", {{"bad", 1}})[0]["error"]["code"], -32600);
  EXPECT_TRUE(s.server.Handle(json::array()).empty());
  s.Send("shutdown", nullptr);
  s.Send("exit", nullptr, false);
  EXPECT_TRUE(s.server.ShouldExit());
  EXPECT_EQ(s.server.ExitCode(), 0);
}

TEST(LspFraming, ReadsAndWritesFrames) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  TarqLsp::WriteMessage(f, {{"a", 1}});
  std::fputs("Content-Length: 2\r\n\r\n{}Content-Length: 99999999999\r\n\r\n", f);
  std::rewind(f);
  std::string body;
  ASSERT_TRUE(TarqLsp::ReadMessage(f, body));
  EXPECT_EQ(body, "{\"a\":1}");
  ASSERT_TRUE(TarqLsp::ReadMessage(f, body));
  EXPECT_EQ(body, "{}");
  EXPECT_FALSE(TarqLsp::ReadMessage(f, body));  // too long: refused, not allocated
  std::fclose(f);
}

}  // namespace
