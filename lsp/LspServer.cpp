// LspServer: requests and notifications of the Language Server Protocol
// answered from the checker's report of each document (see LspServer.h).
#include "LspServer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <strings.h>

#include "KLex.h"
#include "KOps.h"
#include "TarqHelp.h"
#include "KPlatform.h"

namespace TarqLsp {

using KLex::Kind;

namespace {

// Protocol constants.
constexpr int kSeverityError = 1, kSeverityWarning = 2;
constexpr int kCompletionKeyword = 14, kCompletionOperator = 24, kCompletionVariable = 6,
              kCompletionFunction = 3, kCompletionField = 5;
constexpr int kSymbolFunction = 12, kSymbolVariable = 13, kSymbolOperator = 25;
constexpr int kParseError = -32700, kInvalidRequest = -32600, kMethodNotFound = -32601,
              kServerNotInitialized = -32002;

// Semantic token types, in the legend's order.
enum TokenType { stKeyword, stOperator, stNumber, stString, stComment, stVariable, stProperty, stFunction, stMacro };
const char* const kTokenTypes[] = {"keyword", "operator", "number", "string", "comment",
                                   "variable", "property", "function", "macro"};

const char* const kControlWords[] = {":IF", ":ELSEIF", ":ELSE", ":FOR", ":WHILE", ":DO", ":SELECT", ":CASE",
                                     ":DEFAULT", ":BREAK", ":CONTINUE", ":RETURN"};

// Operator texts are Windows-1252; the protocol speaks UTF-8.
std::string Utf8(const char* s) { return KPlat::Cp1252ToUtf8(s ? s : ""); }

// Length in UTF-16 units of the UTF-8 bytes [from, to).
uint32_t Utf16Units(const std::string& t, uint32_t from, uint32_t to) {
  uint32_t n = 0;
  for (uint32_t k = from; k < to; ++k) {
    unsigned char c = static_cast<unsigned char>(t[k]);
    if ((c & 0xC0) == 0x80) continue;
    n += c >= 0xF0 ? 2 : 1;
  }
  return n;
}

json Response(const json& id, json result) { return {{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}}; }

json ErrorResponse(const json& id, int code, const std::string& message) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

bool IsNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

// ------------------------------------------------------------ documents

void Document::Set(std::string text, bool check) {
  text_ = std::move(text);
  lines_.assign(1, 0);
  for (uint32_t k = 0; k < text_.size(); ++k) {
    char c = text_[k];
    if (c == '\n' || (c == '\r' && !(k + 1 < text_.size() && text_[k + 1] == '\n'))) lines_.push_back(k + 1);
  }
  if (check) Recheck();
}

void Document::Edit(const json& range, const std::string& with) {
  uint32_t a = Offset(range.at("start")), b = Offset(range.at("end"));
  if (b < a) std::swap(a, b);
  std::string t = text_;
  t.replace(a, b - a, with);
  Set(std::move(t), false);
}

uint32_t Document::Offset(uint32_t line, uint32_t character) const {
  if (line >= lines_.size()) return static_cast<uint32_t>(text_.size());
  uint32_t k = lines_[line];
  uint32_t lineEnd = line + 1 < lines_.size() ? lines_[line + 1] : static_cast<uint32_t>(text_.size());
  uint32_t units = 0;
  while (k < lineEnd && units < character) {
    char c = text_[k];
    if (c == '\n' || c == '\r') break;
    unsigned char u = static_cast<unsigned char>(c);
    units += u >= 0xF0 ? 2 : 1;
    ++k;
    while (k < lineEnd && (static_cast<unsigned char>(text_[k]) & 0xC0) == 0x80) ++k;
  }
  return k;
}

uint32_t Document::Offset(const json& position) const {
  return Offset(position.value("line", 0u), position.value("character", 0u));
}

json Document::Position(uint32_t offset) const {
  if (offset > text_.size()) offset = static_cast<uint32_t>(text_.size());
  auto it = std::upper_bound(lines_.begin(), lines_.end(), offset);
  uint32_t line = static_cast<uint32_t>(it - lines_.begin()) - 1;
  return {{"line", line}, {"character", Utf16Units(text_, lines_[line], offset)}};
}

int Document::TokenAt(uint32_t offset) const {
  const auto& t = report_.lex.tokens;
  // The token holding the offset; at a boundary a name or operator that
  // ends there is preferred (the cursor just after a word names the word).
  // Tokens stand in text order and do not overlap: only the last two that
  // start at or before the offset can hold it or end at it.
  int inside = -1, ending = -1;
  auto it = std::upper_bound(t.begin(), t.end(), offset,
                             [](uint32_t o, const KLex::Token& k) { return o < k.start; });
  int last = static_cast<int>(it - t.begin()) - 1;
  for (int i = last; i >= 0 && i >= last - 1; --i) {
    const KLex::Token& k = t[static_cast<size_t>(i)];
    if (offset < k.end && inside < 0) inside = i;
    if (k.end == offset && k.end > k.start && ending < 0) ending = i;
  }
  auto named = [&](int i) {
    return i >= 0 && (t[static_cast<size_t>(i)].kind == Kind::Symbol || t[static_cast<size_t>(i)].kind == Kind::Operator);
  };
  if (inside >= 0 && (named(inside) || !named(ending))) return inside;
  return ending;
}

// ------------------------------------------------------------ operator help

std::string OperatorMarkdown(int op) {
  if (KOps::first) KOps::TblInit();
  if (op < 0 || op >= KOps::nOps) return "";
  const KOps::KOpRec& r = KOps::fOpsTbl[op];
  std::string sym = Utf8(r.symbol);
  std::string md = "**" + sym + "**\n\n";
  if (r.fnN != &KOps::opErrN) md += "- niladic `" + sym + "`: " + Utf8(r.txtN) + "\n";
  if (r.fnM != &KOps::opErrM) md += "- monadic `x " + sym + "`: " + Utf8(r.txtM) + "\n";
  if (r.fnD != &KOps::opErrD) md += "- dyadic `x " + sym + " y`: " + Utf8(r.txtD) + "\n";
  if (const char* ex = TarqHelp::ExampleOf(r.symbol)) md += "\nExample: `" + Utf8(ex) + "`\n";
  return md;
}

namespace {

std::string FormsLine(int op) {
  const KOps::KOpRec& r = KOps::fOpsTbl[op];
  std::string s;
  auto add = [&](const char* form, const char* text) {
    if (!s.empty()) s += "; ";
    s += std::string(form) + (text && *text ? std::string(" ") + Utf8(text) : std::string());
  };
  if (r.fnN != &KOps::opErrN) add("niladic", r.txtN);
  if (r.fnM != &KOps::opErrM) add("monadic", r.txtM);
  if (r.fnD != &KOps::opErrD) add("dyadic", r.txtD);
  return s;
}

// What the text makes plain about the value a definition gives its name:
// the tokens of the statement before its "=>", when they are all numbers or
// all quotes.
std::string ValueKind(const Document& d, const KCheck::Name& def) {
  if (def.kind == KCheck::DefKind::Program) return "program";
  if (def.kind == KCheck::DefKind::Operator) return "user-defined operator";
  const auto& t = d.Report().lex.tokens;
  // Tokens stand in text order: the definition's token by its start.
  auto it = std::lower_bound(t.begin(), t.end(), def.start,
                             [](const KLex::Token& k, uint32_t s) { return k.start < s; });
  if (it == t.end() || it->start != def.start || it->kind != Kind::Symbol) return "";
  int at = static_cast<int>(it - t.begin());
  if (at < 2 || t[at - 1].kind != Kind::Operator) return "";
  int numbers = 0, quotes = 0, others = 0;
  for (int i = at - 2; i >= 0; --i) {
    const KLex::Token& k = t[i];
    if (k.depth != t[at].depth || k.kind == Kind::Separator || k.kind == Kind::Open) break;
    if (k.kind == Kind::Number) ++numbers;
    else if (k.kind == Kind::Quote) ++quotes;
    else if (k.kind != Kind::Comment) ++others;
  }
  if (others) return "";
  if (numbers && !quotes) return numbers == 1 ? "number" : "numbers (" + std::to_string(numbers) + ")";
  if (quotes && !numbers) return quotes == 1 ? "string" : "sequence of strings";
  return "";
}

}  // namespace

// ------------------------------------------------------------ server

const Document* Server::Find(const json& params) const {
  auto it = docs_.find(params.at("textDocument").at("uri").get<std::string>());
  return it == docs_.end() ? nullptr : it->second.get();
}

json Server::Initialize() {
  json legend = {{"tokenTypes", json::array()}, {"tokenModifiers", json::array()}};
  for (const char* t : kTokenTypes) legend["tokenTypes"].push_back(t);
  return {{"capabilities",
           {{"textDocumentSync", {{"openClose", true}, {"change", 2}}},
            {"completionProvider", {{"triggerCharacters", {"#", ":", "."}}}},
            {"hoverProvider", true},
            {"definitionProvider", true},
            {"referencesProvider", true},
            {"documentSymbolProvider", true},
            {"semanticTokensProvider", {{"legend", legend}, {"full", true}}},
            {"signatureHelpProvider", {{"triggerCharacters", {" "}}}}}},
          {"serverInfo", {{"name", "tarq-lsp"}, {"version", TARQ_VERSION}}}};
}

json Server::Diagnostics(const std::string& uri) {
  const Document& d = *docs_.at(uri);
  json list = json::array();
  for (const KCheck::Diagnostic& g : d.Report().diagnostics) {
    json one = {{"range", d.Range(g.start, g.end)},
                {"severity", g.severity == KCheck::Severity::Error ? kSeverityError : kSeverityWarning},
                {"source", "tarq"},
                {"message", Utf8(g.Message().c_str())}};
    if (g.severity == KCheck::Severity::Error) one["code"] = KLex::ErrorName(g.code);
    list.push_back(std::move(one));
  }
  return {{"jsonrpc", "2.0"},
          {"method", "textDocument/publishDiagnostics"},
          {"params", {{"uri", uri}, {"diagnostics", list}}}};
}

json Server::Completion(const Document& d, const json& params) {
  uint32_t at = d.Offset(params.at("position"));
  const std::string& t = d.Text();
  uint32_t from = at;
  while (from > 0 && IsNameByte(t[from - 1])) --from;
  if (from > 0 && (t[from - 1] == '#' || t[from - 1] == ':' || t[from - 1] == '.')) --from;
  std::string prefix = KCheck::Key(t.substr(from, at - from));
  json range = d.Range(from, at);
  json items = json::array();
  auto add = [&](const std::string& label, int kind, const std::string& detail, const std::string& doc) {
    if (KCheck::Key(label).compare(0, prefix.size(), prefix) != 0) return;
    json item = {{"label", label}, {"kind", kind}, {"textEdit", {{"range", range}, {"newText", label}}}};
    if (!detail.empty()) item["detail"] = detail;
    if (!doc.empty()) item["documentation"] = {{"kind", "markdown"}, {"value", doc}};
    items.push_back(std::move(item));
  };
  std::set<std::string> seen;
  for (const KCheck::Name& n : d.Report().definitions) {
    if (!seen.insert(n.key).second) continue;
    int kind = n.kind == KCheck::DefKind::Assign ? kCompletionVariable : kCompletionFunction;
    add(n.name, kind, ValueKind(d, n), "");
  }
  if (KOps::first) KOps::TblInit();
  for (int op = 0; op < KOps::nOps; ++op) {
    const char* sym = KOps::fOpsTbl[op].symbol;
    if (sym[0] != '#' || !sym[1]) continue;
    add(Utf8(sym), kCompletionOperator, FormsLine(op), OperatorMarkdown(op));
  }
  for (const char* w : kControlWords) add(w, kCompletionKeyword, "", "");
  // Fields the text uses, written with the selector being typed (":" or ".").
  std::string selector = !prefix.empty() && prefix[0] == '.' ? "." : ":";
  std::set<std::string> fields;
  for (const KLex::Token& k : d.Report().lex.tokens)
    if (k.kind == Kind::Field && k.end > k.start + 1 && !(k.start <= at && at <= k.end))  // not the one typed
      fields.insert(selector + t.substr(k.start + 1, k.end - k.start - 1));
  for (const std::string& f : fields) add(f, kCompletionField, "", "");
  return {{"isIncomplete", false}, {"items", items}};
}

json Server::Hover(const Document& d, const json& params) {
  int i = d.TokenAt(d.Offset(params.at("position")));
  if (i < 0) return nullptr;
  const KLex::Token& k = d.Report().lex.tokens[static_cast<size_t>(i)];
  const std::string& t = d.Text();
  std::string md;
  if (k.kind == Kind::Operator) {
    md = OperatorMarkdown(k.op);
  } else if (k.kind == Kind::Control) {
    md = "**" + std::string(KLex::ControlName(k.ct)) + "** (control word)";
  } else if (k.kind == Kind::Symbol) {
    std::string key = KCheck::Key(t.substr(k.start, k.end - k.start));
    for (const KCheck::Name& n : d.Report().definitions) {
      if (n.key != key) continue;
      std::string kind = ValueKind(d, n);
      md = "**" + n.name + "**" + (kind.empty() ? std::string(" (name)") : ": " + kind);
      break;
    }
    if (md.empty()) md = "**" + t.substr(k.start, k.end - k.start) + "**: nothing in this text assigns it";
  } else {
    return nullptr;
  }
  return {{"contents", {{"kind", "markdown"}, {"value", md}}}, {"range", d.Range(k.start, k.end)}};
}

namespace {
// The name under the position (a Symbol token, or the name of a #PGM/#OP
// definition), in capitals; empty for none.
std::string NameAt(const Document& d, uint32_t at) {
  for (const KCheck::Name& n : d.Report().definitions)
    if (n.start <= at && at <= n.end) return n.key;
  int i = d.TokenAt(at);
  if (i < 0) return "";
  const KLex::Token& k = d.Report().lex.tokens[static_cast<size_t>(i)];
  if (k.kind != Kind::Symbol) return "";
  return KCheck::Key(d.Text().substr(k.start, k.end - k.start));
}
}  // namespace

json Server::Definition(const Document& d, const std::string& uri, const json& params) {
  std::string key = NameAt(d, d.Offset(params.at("position")));
  json out = json::array();
  if (key.empty()) return out;
  for (const KCheck::Name& n : d.Report().definitions)
    if (n.key == key) out.push_back({{"uri", uri}, {"range", d.Range(n.start, n.end)}});
  return out;
}

json Server::References(const Document& d, const std::string& uri, const json& params) {
  std::string key = NameAt(d, d.Offset(params.at("position")));
  json out = json::array();
  if (key.empty()) return out;
  bool withDecl = params.value("/context/includeDeclaration"_json_pointer, true);
  std::vector<std::pair<uint32_t, uint32_t>> at;
  if (withDecl)
    for (const KCheck::Name& n : d.Report().definitions)
      if (n.key == key) at.push_back({n.start, n.end});
  for (const KCheck::Name& n : d.Report().reads)
    if (n.key == key) at.push_back({n.start, n.end});
  std::sort(at.begin(), at.end());
  at.erase(std::unique(at.begin(), at.end()), at.end());
  for (auto [s, e] : at) out.push_back({{"uri", uri}, {"range", d.Range(s, e)}});
  return out;
}

json Server::Symbols(const Document& d) {
  json out = json::array();
  std::set<std::string> seen;
  for (const KCheck::Name& n : d.Report().definitions) {
    if (!seen.insert(n.key).second) continue;
    int kind = n.kind == KCheck::DefKind::Assign     ? kSymbolVariable
               : n.kind == KCheck::DefKind::Program ? kSymbolFunction
                                                    : kSymbolOperator;
    json r = d.Range(n.start, n.end);
    json sym = {{"name", n.name}, {"kind", kind}, {"range", r}, {"selectionRange", r}};
    std::string detail = ValueKind(d, n);
    if (!detail.empty()) sym["detail"] = detail;
    out.push_back(std::move(sym));
  }
  return out;
}

json Server::SemanticTokens(const Document& d) {
  const auto& toks = d.Report().lex.tokens;
  const std::string& t = d.Text();
  std::set<std::string> callables;
  for (const KCheck::Name& n : d.Report().definitions)
    if (n.kind != KCheck::DefKind::Assign) callables.insert(n.key);
  // Tokens in text order, each cut at line ends (a "$*" comment or a quote
  // may span lines; the protocol's tokens may not).
  std::vector<std::pair<uint32_t, std::pair<uint32_t, int>>> spans;
  for (const KLex::Token& k : toks) {
    int type;
    switch (k.kind) {
      case Kind::Control: type = stKeyword; break;
      case Kind::Operator: case Kind::Unknown: type = stOperator; break;
      case Kind::Number: type = stNumber; break;
      case Kind::Quote: case Kind::Bulk: type = stString; break;
      case Kind::Comment: type = stComment; break;
      case Kind::Field: type = stProperty; break;
      case Kind::Directive: case Kind::Display: type = stMacro; break;
      case Kind::Symbol:
        type = callables.count(KCheck::Key(t.substr(k.start, k.end - k.start))) ? stFunction : stVariable;
        break;
      default: continue;
    }
    spans.push_back({k.start, {k.end, type}});
  }
  std::sort(spans.begin(), spans.end());
  std::vector<uint32_t> data;
  uint32_t prevLine = 0, prevChar = 0;
  for (auto& [s, rest] : spans) {
    uint32_t e = rest.first;
    int type = rest.second;
    uint32_t from = s;
    while (from < e) {
      uint32_t to = from;
      while (to < e && t[to] != '\n' && t[to] != '\r') ++to;
      if (to > from) {
        json p = d.Position(from);
        uint32_t line = p["line"], ch = p["character"];
        uint32_t len = Utf16Units(t, from, to);
        data.push_back(line - prevLine);
        data.push_back(line == prevLine ? ch - prevChar : ch);
        data.push_back(len);
        data.push_back(static_cast<uint32_t>(type));
        data.push_back(0);
        prevLine = line;
        prevChar = ch;
      }
      from = to;
      while (from < e && (t[from] == '\n' || t[from] == '\r')) ++from;
    }
  }
  return {{"data", data}};
}

json Server::SignatureHelp(const Document& d, const json& params) {
  uint32_t at = d.Offset(params.at("position"));
  const auto& toks = d.Report().lex.tokens;
  // The operator nearest before the position in the same statement.
  int op = -1;
  bool valueBefore = false;
  int found = -1;
  for (size_t i = 0; i < toks.size(); ++i) {
    if (toks[i].end > at) continue;
    if (found < 0 || toks[i].start >= toks[static_cast<size_t>(found)].start) found = static_cast<int>(i);
  }
  for (int i = found; i >= 0; --i) {
    const KLex::Token& k = toks[static_cast<size_t>(i)];
    if (k.end > at) continue;
    if (k.kind == Kind::Separator || k.kind == Kind::Open) break;
    if (k.kind == Kind::Operator) {
      op = k.op;
      for (int j = i - 1; j >= 0; --j) {
        const KLex::Token& b = toks[static_cast<size_t>(j)];
        if (b.kind == Kind::Comment || b.kind == Kind::Directive) continue;
        valueBefore = b.kind != Kind::Separator && b.kind != Kind::Open && b.kind != Kind::Operator &&
                      b.kind != Kind::Control;
        break;
      }
      break;
    }
  }
  if (op < 0) return nullptr;
  const KOps::KOpRec& r = KOps::fOpsTbl[op];
  std::string sym = Utf8(r.symbol);
  json sigs = json::array();
  int active = 0;
  auto add = [&](const std::string& label, const char* text, bool wanted) {
    if (wanted) active = static_cast<int>(sigs.size());
    sigs.push_back({{"label", label}, {"documentation", Utf8(text)}});
  };
  if (r.fnN != &KOps::opErrN) add(sym + "  (niladic)", r.txtN, !valueBefore);
  if (r.fnM != &KOps::opErrM) add("x " + sym + "  (monadic)", r.txtM, valueBefore && r.fnD == &KOps::opErrD);
  if (r.fnD != &KOps::opErrD) add("x " + sym + " y  (dyadic)", r.txtD, valueBefore);
  if (sigs.empty()) return nullptr;
  return {{"signatures", sigs}, {"activeSignature", active}, {"activeParameter", 0}};
}

std::vector<json> Server::Handle(const json& msg) {
  std::vector<json> out;
  if (!msg.is_object() || !msg.contains("method")) {
    if (msg.is_object() && msg.contains("id")) out.push_back(ErrorResponse(msg["id"], kInvalidRequest, "no method"));
    return out;
  }
  std::string method = msg["method"].get<std::string>();
  bool isRequest = msg.contains("id");
  json id = isRequest ? msg["id"] : json();
  json params = msg.value("params", json::object());
  try {
    if (method == "initialize") {
      out.push_back(Response(id, Initialize()));
    } else if (method == "initialized" || method == "$/cancelRequest" || method == "workspace/didChangeConfiguration") {
    } else if (method == "shutdown") {
      shutdown_ = true;
      out.push_back(Response(id, nullptr));
    } else if (method == "exit") {
      exit_ = true;
    } else if (method == "textDocument/didOpen") {
      const json& td = params.at("textDocument");
      std::string uri = td.at("uri");
      docs_[uri] = std::make_unique<Document>(td.at("text").get<std::string>());
      out.push_back(Diagnostics(uri));
    } else if (method == "textDocument/didChange") {
      std::string uri = params.at("textDocument").at("uri");
      auto it = docs_.find(uri);
      if (it == docs_.end()) return out;
      try {
        for (const json& c : params.at("contentChanges")) {
          if (c.contains("range")) {
            it->second->Edit(c["range"], c.at("text").get<std::string>());
          } else {
            it->second->Set(c.at("text").get<std::string>(), false);
          }
        }
      } catch (...) {
        it->second->Recheck();  // the report follows the text, whatever was applied
        throw;
      }
      it->second->Recheck();
      out.push_back(Diagnostics(uri));
    } else if (method == "textDocument/didClose") {
      std::string uri = params.at("textDocument").at("uri");
      docs_.erase(uri);
      out.push_back({{"jsonrpc", "2.0"},
                     {"method", "textDocument/publishDiagnostics"},
                     {"params", {{"uri", uri}, {"diagnostics", json::array()}}}});
    } else if (method.rfind("textDocument/", 0) == 0 && isRequest) {
      const Document* d = Find(params);
      std::string uri = params.at("textDocument").at("uri");
      if (!d) {
        out.push_back(Response(id, nullptr));
      } else if (method == "textDocument/completion") {
        out.push_back(Response(id, Completion(*d, params)));
      } else if (method == "textDocument/hover") {
        out.push_back(Response(id, Hover(*d, params)));
      } else if (method == "textDocument/definition") {
        out.push_back(Response(id, Definition(*d, uri, params)));
      } else if (method == "textDocument/references") {
        out.push_back(Response(id, References(*d, uri, params)));
      } else if (method == "textDocument/documentSymbol") {
        out.push_back(Response(id, Symbols(*d)));
      } else if (method == "textDocument/semanticTokens/full") {
        out.push_back(Response(id, SemanticTokens(*d)));
      } else if (method == "textDocument/signatureHelp") {
        out.push_back(Response(id, SignatureHelp(*d, params)));
      } else {
        out.push_back(ErrorResponse(id, kMethodNotFound, "unknown method " + method));
      }
    } else if (isRequest) {
      out.push_back(ErrorResponse(id, kMethodNotFound, "unknown method " + method));
    }
  } catch (const json::exception& e) {
    if (isRequest) out.push_back(ErrorResponse(id, kInvalidRequest, e.what()));
  } catch (const std::exception& e) {
    // Anything else (memory) fails the one message, not the server.
    if (isRequest) out.push_back(ErrorResponse(id, kInvalidRequest, e.what()));
  }
  (void)kParseError;
  (void)kServerNotInitialized;
  return out;
}

// ------------------------------------------------------------ framing

bool ReadMessage(std::FILE* in, std::string& body) {
  size_t length = 0;
  bool haveLength = false;
  char line[1024];
  for (;;) {
    if (!std::fgets(line, sizeof line, in)) return false;
    size_t n = std::strlen(line);
    while (n && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
    if (n == 0) {
      if (haveLength) break;
      continue;  // stray blank lines before a header
    }
    if (strncasecmp(line, "Content-Length:", 15) == 0) {
      char* end = nullptr;
      unsigned long long v = std::strtoull(line + 15, &end, 10);
      if (v > (size_t(1) << 28)) return false;  // 256 MiB: no editor sends that
      length = static_cast<size_t>(v);
      haveLength = true;
    }
  }
  body.assign(length, '\0');
  return length == 0 || std::fread(body.data(), 1, length, in) == length;
}

void WriteMessage(std::FILE* out, const json& message) {
  std::string body = message.dump(-1, ' ', false, json::error_handler_t::replace);
  std::fprintf(out, "Content-Length: %zu\r\n\r\n", body.size());
  std::fwrite(body.data(), 1, body.size(), out);
  std::fflush(out);
}

}  // namespace TarqLsp
