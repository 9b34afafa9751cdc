// LspServer: the Language Server Protocol for Tarq texts, over the checker
// (KCheck) and the token API (KLex) of the library. Nothing is ever run: every
// answer comes from reading the text. The server is a function from one
// incoming message to the messages it sends back (answers and notifications),
// so tests drive it without a process; lsp/main.cpp frames it over stdio.
//
// Documents are kept as UTF-8 text, with full and incremental sync. Protocol
// positions count UTF-16 code units in a line; Document converts them to byte
// offsets and back (a character beyond U+FFFF is two units).
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "KCheck.h"

namespace TarqLsp {

using json = nlohmann::json;

// One open text, checked once per version.
class Document {
 public:
  explicit Document(std::string text) { Set(std::move(text)); }
  // Takes a new text; `check` false leaves the report to a later Recheck
  // (several changes of one notification are checked once).
  void Set(std::string text, bool check = true);
  // Replaces the bytes between two protocol positions (not checked yet).
  void Edit(const json& range, const std::string& with);
  void Recheck() { report_ = KCheck::Check(text_); }
  const std::string& Text() const { return text_; }
  const KCheck::Report& Report() const { return report_; }

  // Byte offset of a protocol position (clamped to its line and the text).
  uint32_t Offset(uint32_t line, uint32_t character) const;
  uint32_t Offset(const json& position) const;
  // Protocol position of a byte offset.
  json Position(uint32_t offset) const;
  json Range(uint32_t start, uint32_t end) const { return {{"start", Position(start)}, {"end", Position(end)}}; }

  // The token whose range holds the offset (or ends at it), -1 for none.
  int TokenAt(uint32_t offset) const;

 private:
  std::string text_;
  std::vector<uint32_t> lines_;  // byte offset where each line starts
  KCheck::Report report_;
};

class Server {
 public:
  // Handles one message; returns what to send (in order).
  std::vector<json> Handle(const json& message);
  bool ShouldExit() const { return exit_; }
  int ExitCode() const { return shutdown_ ? 0 : 1; }

 private:
  json Initialize();
  json Diagnostics(const std::string& uri);
  json Completion(const Document& d, const json& params);
  json Hover(const Document& d, const json& params);
  json Definition(const Document& d, const std::string& uri, const json& params);
  json References(const Document& d, const std::string& uri, const json& params);
  json Symbols(const Document& d);
  json SemanticTokens(const Document& d);
  json SignatureHelp(const Document& d, const json& params);
  const Document* Find(const json& params) const;

  std::map<std::string, std::unique_ptr<Document>> docs_;
  bool shutdown_ = false, exit_ = false;
};

// The help of one operator for hover and completion (Markdown).
std::string OperatorMarkdown(int op);

// Reads one framed message from `in` ("Content-Length: N" headers, a blank
// line, N bytes); false at the end of input or on a broken frame.
bool ReadMessage(std::FILE* in, std::string& body);
void WriteMessage(std::FILE* out, const json& message);

}  // namespace TarqLsp
