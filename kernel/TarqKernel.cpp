// TarqKernel: the Jupyter kernel's interpreter (see TarqKernel.h).
#include "TarqKernel.h"

#include <fnmatch.h>

#include <algorithm>

#include <xeus/xhelper.hpp>
#include <xeus/xmessage.hpp>

#include "KComplete.h"
#include "KPlatform.h"
#include "TarqHelp.h"
#include "TarqRich.h"
#include "TarqText.h"

namespace TarqKernel {

std::atomic<bool> gInterrupt{false};

namespace {

// Windows-1252 -> UTF-8 with "\n" line ends.
std::string ToUtf8(const std::string& cp1252) {
  std::string lf;
  lf.reserve(cp1252.size());
  for (size_t i = 0; i < cp1252.size(); ++i) {
    if (cp1252[i] == '\r') {
      lf += '\n';
      if (i + 1 < cp1252.size() && cp1252[i + 1] == '\n') ++i;
    } else {
      lf += cp1252[i];
    }
  }
  return KPlat::Cp1252ToUtf8(lf);
}

// The error reply (xeus 2.4's create_error_reply swaps the name and the value).
nl::json ErrorReply(const std::string& ename, const std::string& evalue, const std::vector<std::string>& trace) {
  return {{"status", "error"}, {"ename", ename}, {"evalue", evalue}, {"traceback", trace}};
}

std::vector<std::string> Lines(const std::string& utf8) {
  std::vector<std::string> out;
  size_t a = 0;
  while (a <= utf8.size()) {
    size_t b = utf8.find('\n', a);
    if (b == std::string::npos) b = utf8.size();
    out.push_back(utf8.substr(a, b - a));
    a = b + 1;
  }
  return out;
}

}  // namespace

// ------------------------------------------------------------------ sink

void StreamSink::AppendLine(const std::string& line) {
  Write(line.data(), line.size());
  EndLine();
}

void StreamSink::Write(const char* piece, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const char c = piece[i];
    if (c == '\n' && afterCR_) {
      afterCR_ = false;
      continue;
    }
    afterCR_ = c == '\r';
    pending_ += afterCR_ ? '\n' : c;
    if (pending_.size() >= kBatchBytes) Flush();
  }
}

void StreamSink::EndLine() {
  pending_ += '\n';
  afterCR_ = false;
  if (pending_.size() >= kBatchBytes) Flush();
  else FlushIfDue();
}

void StreamSink::FlushIfDue() {
  if (!pending_.empty() && std::chrono::steady_clock::now() - last_ >= kBatchWait) Flush();
}

void StreamSink::Flush() {
  last_ = std::chrono::steady_clock::now();
  if (pending_.empty()) return;
  std::string text = KPlat::Cp1252ToUtf8(pending_);
  pending_.clear();
  publish_("stdout", text);
}

// ------------------------------------------------------------------ interpreter

Interpreter::Interpreter()
    : sink_([this](const std::string& name, const std::string& text) { publish_stream(name, text); }) {
  session_.SetSink(&sink_);
  session_.SetBreathe(&Interpreter::Breathe, this);
  session_.echoResult = false;
  session_.keepResult = true;
}

Interpreter::~Interpreter() { session_.SetSink(nullptr); }

void Interpreter::Breathe(void* self) {
  auto* k = static_cast<Interpreter*>(self);
  if (gInterrupt.exchange(false)) k->session_.stop = true;
  k->sink_.FlushIfDue();
}

// The kernel's own commands on a cell's first line: ")help [TOPIC]" and
// ")apropos WORD" open the pager; ")plot" and ")bar" draw the value of the
// rest of the cell.
nl::json Interpreter::execute_request_impl(int execution_counter, const std::string& cell, bool silent, bool,
                                           nl::json, bool) {
  gInterrupt = false;
  const size_t first = cell.find_first_not_of(" \t\r\n");
  const size_t lineEnd = cell.find('\n', first == std::string::npos ? 0 : first);
  std::string command = first == std::string::npos ? std::string() : cell.substr(first, lineEnd == std::string::npos ? std::string::npos : lineEnd - first);
  while (!command.empty() && (command.back() == ' ' || command.back() == '\r' || command.back() == '\t')) command.pop_back();
  if (command.compare(0, 5, ")help") == 0 || command.compare(0, 8, ")apropos") == 0) {
    const bool apropos = command[1] == 'a';
    std::string topic = command.substr(apropos ? 8 : 5);
    topic.erase(0, topic.find_first_not_of(' '));
    topic = TarqText::FromUtf8(topic).text;
    std::string text = apropos ? TarqHelp::Apropos(topic) : topic.empty() ? TarqHelp::Topics() : TarqHelp::HelpFor(topic);
    if (text.empty()) text = "No help for " + topic;
    nl::json page = {{"source", "page"}, {"data", {{"text/plain", ToUtf8(text)}}}, {"start", 0}};
    return xeus::create_successful_reply(nl::json::array({page}));
  }
  TarqRich::Chart chart = TarqRich::Chart::line;
  bool drawn = false;
  std::string code = cell;
  std::ptrdiff_t shift = 0;  // characters of the cell before the text run
  if (command == ")plot" || command == ")bar") {
    drawn = true;
    chart = command == ")bar" ? TarqRich::Chart::bar : TarqRich::Chart::line;
    code = lineEnd == std::string::npos ? std::string() : cell.substr(lineEnd + 1);
    for (size_t i = 0; i < cell.size() - code.size(); ++i)
      if ((static_cast<unsigned char>(cell[i]) & 0xC0) != 0x80) ++shift;  // UTF-8 lead bytes
  }
  TarqText::Decoded d = TarqText::FromUtf8(code);
  if (d.invalid) {
    std::vector<std::string> trace = Lines(ToUtf8(d.error));
    publish_execution_error("Syntax error", "Invalid character", trace);
    return ErrorReply("Syntax error", "Invalid character", trace);
  }
  if (d.replaced) publish_stream("stderr", std::string("tarq: ") + TarqText::kReplacedWarning + "\n");

  KRunOutcome outcome = session_.Run(d.text);
  sink_.Flush();
  if (!outcome.ok) {
    const KRunError& e = outcome.error;
    std::string ename = e.outOfMemory ? "System error" : e.unknown ? "Unknown Error" : e.codeName;
    std::string evalue = e.outOfMemory ? "Out of memory" : e.unknown ? "" : e.detail;
    std::string text = e.outOfMemory ? KSession::kOutOfMemoryText : e.unknown ? KSession::kUnknownText : e.text;
    std::vector<std::string> trace = Lines(ToUtf8(text));
    std::string note = TarqText::FenceNote(text);
    if (!note.empty()) trace.push_back(ToUtf8(note));
    publish_execution_error(ename, evalue, trace);
    nl::json reply = ErrorReply(ename, evalue, trace);
    // Where the error stands in the cell, in characters [start, end), for
    // a front end that marks it (beside the protocol's fields).
    if (e.start >= 0) reply["tarq_range"] = {e.start + shift, e.end + shift};
    return reply;
  }
  if (!silent && session_.Result()) {
    std::string text;
    try {
      KA shown(session_.Result());
      text = ToUtf8(shown.AsString(session_.verbose));
    } catch (...) {
      text.clear();
    }
    std::vector<std::vector<double>> series;
    if (drawn && TarqRich::Series(session_.Result(), series)) {
      nl::json data;
      data["image/svg+xml"] = TarqRich::Svg(series, chart);
      data["text/plain"] = text;
      display_data(std::move(data), nl::json::object(), nl::json::object());
      text.clear();
    }
    // A dictionary's text form is empty: its table still shows it.
    std::string html = drawn && !series.empty() ? std::string() : TarqRich::Html(session_.Result());
    session_.ClearResult();
    if (!text.empty() || !html.empty()) {
      nl::json data;
      data["text/plain"] = text;
      if (!html.empty()) data["text/html"] = html;
      publish_execution_result(execution_counter, std::move(data), nl::json::object());
    }
  }
  return xeus::create_successful_reply();
}

nl::json Interpreter::Complete(const std::string& code, int cursor) {
  const std::string text = TarqText::FromUtf8(code).text;
  size_t pos = cursor < 0 ? 0 : std::min(static_cast<size_t>(cursor), text.size());
  size_t start = KComplete::WordStart(text, pos);
  nl::json matches = nl::json::array();
  for (const std::string& c : KComplete::Candidates(session_, text.substr(0, start), text.substr(start, pos - start)))
    matches.push_back(KPlat::Cp1252ToUtf8(c));
  return xeus::create_complete_reply(matches, static_cast<int>(start), static_cast<int>(pos));
}

nl::json Interpreter::Inspect(const std::string& code, int cursor) {
  const std::string text = TarqText::FromUtf8(code).text;
  size_t pos = cursor < 0 ? 0 : std::min(static_cast<size_t>(cursor), text.size());
  size_t lineStart = text.rfind('\n', pos > 0 ? pos - 1 : 0);
  lineStart = lineStart == std::string::npos || lineStart >= pos ? 0 : lineStart + 1;
  size_t lineEnd = text.find('\n', pos);
  std::string line = text.substr(lineStart, (lineEnd == std::string::npos ? text.size() : lineEnd) - lineStart);
  size_t at = pos - lineStart;
  // The cursor stands after the word it names as often as on it.
  std::string topic = TarqHelp::TopicAt(line, at);
  if (topic.empty() && at > 0) topic = TarqHelp::TopicAt(line, at - 1);
  std::string help = TarqHelp::HelpFor(topic);
  if (help.empty()) return xeus::create_inspect_reply(false);
  nl::json data;
  data["text/plain"] = ToUtf8(help);
  return xeus::create_inspect_reply(true, data);
}

nl::json Interpreter::IsComplete(const std::string& code) {
  const std::string text = TarqText::FromUtf8(code).text;
  if (TarqText::HasUnopenedClose(text)) return xeus::create_is_complete_reply("invalid");
  if (TarqText::IsOpen(text) || TarqText::NeedsBody(text)) return xeus::create_is_complete_reply("incomplete", "  ");
  return xeus::create_is_complete_reply("complete");
}

nl::json Interpreter::kernel_info_request_impl() {
  nl::json reply = xeus::create_info_reply("5.3", "tarq-kernel", TARQ_VERSION, "tarq", TARQ_VERSION, "text/x-tarq",
                                           ".tq", "", "", "", std::string("Tarq ") + TARQ_VERSION);
  reply["status"] = "ok";
  return reply;
}

// ------------------------------------------------------------------ history

// Lines are numbered here: xeus 2.4 hands every cell the same number.
void History::store_inputs_impl(int session, int, const std::string& input, const std::string& output) {
  entries_.push_back({session, static_cast<int>(entries_.size()) + 1, input, output});
}

nl::json History::Row(const Entry& e, bool output) {
  if (output) return nl::json::array({e.session, e.line, nl::json::array({e.input, e.output})});
  return nl::json::array({e.session, e.line, e.input});
}

nl::json History::get_tail_impl(int n, bool, bool output) const {
  nl::json rows = nl::json::array();
  size_t from = n < 0 || static_cast<size_t>(n) >= entries_.size() ? 0 : entries_.size() - static_cast<size_t>(n);
  for (size_t i = from; i < entries_.size(); ++i) rows.push_back(Row(entries_[i], output));
  return {{"status", "ok"}, {"history", rows}};
}

nl::json History::get_range_impl(int session, int start, int stop, bool, bool output) const {
  nl::json rows = nl::json::array();
  for (const Entry& e : entries_)
    if (e.session == session && e.line >= start && (stop <= 0 || e.line < stop)) rows.push_back(Row(e, output));
  return {{"status", "ok"}, {"history", rows}};
}

nl::json History::search_impl(const std::string& pattern, bool, bool output, int n, bool unique) const {
  std::vector<const Entry*> found;
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (fnmatch(pattern.c_str(), it->input.c_str(), 0) != 0) continue;
    if (unique && std::any_of(found.begin(), found.end(), [&](const Entry* f) { return f->input == it->input; }))
      continue;
    found.push_back(&*it);
    if (n > 0 && static_cast<int>(found.size()) >= n) break;
  }
  nl::json rows = nl::json::array();
  for (auto it = found.rbegin(); it != found.rend(); ++it) rows.push_back(Row(**it, output));
  return {{"status", "ok"}, {"history", rows}};
}

// ------------------------------------------------------------------ interrupts

void ControlServer::send_control_impl(xeus::xmessage message) {
  const nl::json& header = message.header();
  auto type = header.find("msg_type");
  if (type != header.end() && type->is_string() && *type == "interrupt_reply") gInterrupt = true;
  xeus::xserver_control_main::send_control_impl(std::move(message));
}

std::unique_ptr<xeus::xserver> MakeServer(xeus::xcontext& context, const xeus::xconfiguration& config,
                                          nl::json::error_handler_t eh) {
  return std::make_unique<ControlServer>(context.get_wrapped_context<zmq::context_t>(), config, eh);
}

}  // namespace TarqKernel
