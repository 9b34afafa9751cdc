// TarqKernel: the Jupyter kernel's interpreter (xeus 2.4) on the library
// session. A cell runs as one text: what it prints goes out as "stdout"
// stream messages, gathered into batches so that a cell printing hundreds of
// thousands of lines neither floods the client nor loses lines; warnings go
// out as "stderr"; the value as execute_result; an error as an error message
// with the code name, the detail and the host's text as traceback. Names
// live on across cells and errors. Text is UTF-8 outside, Windows-1252
// inside; positions are counted in characters, as the protocol counts them.
#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <xeus/xhistory_manager.hpp>
#include <xeus/xinterpreter.hpp>
#include <xeus/xeus_context.hpp>
#include <xeus/xserver_control_main.hpp>

#include "KParser.h"
#include "KSession.h"

namespace TarqKernel {

// Set by the signal thread (SIGINT) and by an interrupt_request on the
// control channel; the running cell's next breath turns it into the stop
// request. Cleared when a cell starts (an interrupt while idle is dropped).
extern std::atomic<bool> gInterrupt;

// Printed lines as stream messages: converted to UTF-8 with "\n" line ends
// and sent in batches (when a batch is large, when it has waited long
// enough, and at the end of the cell).
class StreamSink : public KOutSink {
 public:
  using Publish = std::function<void(const std::string& name, const std::string& utf8)>;
  explicit StreamSink(Publish publish) : publish_(std::move(publish)) {}
  void AppendLine(const std::string& line) override;
  void Write(const char* piece, size_t n) override;
  void EndLine() override;
  void Flush();
  // Sends the batch when it has waited longer than the interval.
  void FlushIfDue();

  static constexpr size_t kBatchBytes = size_t(1) << 16;
  static constexpr std::chrono::milliseconds kBatchWait{100};

 private:
  Publish publish_;
  std::string pending_;  // Windows-1252
  bool afterCR_ = false;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

class Interpreter : public xeus::xinterpreter {
 public:
  Interpreter();
  ~Interpreter() override;

  // Exposed for the tests of the kernel's parts.
  KSession& Session() { return session_; }
  nl::json Complete(const std::string& code, int cursor);
  nl::json Inspect(const std::string& code, int cursor);
  static nl::json IsComplete(const std::string& code);

 private:
  void configure_impl() override {}
  nl::json execute_request_impl(int execution_counter, const std::string& code, bool silent, bool store_history,
                                nl::json user_expressions, bool allow_stdin) override;
  nl::json complete_request_impl(const std::string& code, int cursor_pos) override {
    return Complete(code, cursor_pos);
  }
  nl::json inspect_request_impl(const std::string& code, int cursor_pos, int) override {
    return Inspect(code, cursor_pos);
  }
  nl::json is_complete_request_impl(const std::string& code) override { return IsComplete(code); }
  nl::json kernel_info_request_impl() override;
  void shutdown_request_impl() override {}

  static void Breathe(void* self);

  KSession session_;
  StreamSink sink_;
};

// The kernel's own history: every cell run with store_history, answered in
// the protocol's form (xeus 2.4's in-memory manager answers in another).
class History : public xeus::xhistory_manager {
 private:
  void configure_impl() override {}
  void store_inputs_impl(int session, int line, const std::string& input, const std::string& output) override;
  nl::json get_tail_impl(int n, bool raw, bool output) const override;
  nl::json get_range_impl(int session, int start, int stop, bool raw, bool output) const override;
  nl::json search_impl(const std::string& pattern, bool raw, bool output, int n, bool unique) const override;

  struct Entry {
    int session, line;
    std::string input, output;
  };
  static nl::json Row(const Entry& e, bool output);
  std::vector<Entry> entries_;
};

// xeus's server with the control channel in a thread of its own, so that
// control messages are read while a cell runs. xeus 2.4 answers an
// interrupt_request without telling the interpreter: its answer going out
// raises the interrupt.
class ControlServer : public xeus::xserver_control_main {
 public:
  using xeus::xserver_control_main::xserver_control_main;

 protected:
  void send_control_impl(xeus::xmessage message) override;
};
std::unique_ptr<xeus::xserver> MakeServer(xeus::xcontext& context, const xeus::xconfiguration& config,
                                          nl::json::error_handler_t eh);

}  // namespace TarqKernel
