// tarq-kernel: the Jupyter kernel for Tarq. Started by Jupyter as
// `tarq-kernel -f CONNECTION_FILE`; prints nothing on standard output.
//
// Interrupts: SIGINT is blocked before any thread starts (so no thread of
// xeus or ZeroMQ ever receives it) and taken by a thread of its own with
// sigwait; an interrupt_request on the control channel, read by xeus's
// control thread while a cell runs, does the same. Either stops the running
// cell; while idle it changes nothing.
//
// The kernel ends with its parent: Jupyter's short-lived clients (`jupyter
// run`) would otherwise leave it behind.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <xeus/xeus_context.hpp>
#include <xeus/xhelper.hpp>
#include <xeus/xkernel.hpp>
#include <xeus/xkernel_configuration.hpp>
#include <xeus/xserver_control_main.hpp>

#include "TarqKernel.h"

namespace {

void TakeSignals(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (sig == SIGINT) TarqKernel::gInterrupt = true;
  }
}

}  // namespace

int main(int argc, char* argv[]) {
  if (xeus::should_print_version(argc, argv)) {
    std::printf("tarq-kernel %s\n", TARQ_VERSION);
    return 0;
  }
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) return 0;  // the parent died before the request

  sigset_t interrupts;
  sigemptyset(&interrupts);
  sigaddset(&interrupts, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupts, nullptr);
  std::thread(TakeSignals, interrupts).detach();

  std::string file = xeus::extract_filename(argc, argv);
  if (file.empty()) {
    std::fprintf(stderr, "usage: tarq-kernel -f CONNECTION_FILE\n");
    return 2;
  }
  xeus::xconfiguration config = xeus::load_configuration(file);
  // Standard output carries nothing of the kernel's (xeus prints a banner
  // there): it goes where standard error goes.
  std::fflush(stdout);
  dup2(STDERR_FILENO, STDOUT_FILENO);
  auto context = xeus::make_context<zmq::context_t>();
  auto interpreter = std::make_unique<TarqKernel::Interpreter>();
  auto history = std::make_unique<TarqKernel::History>();
  xeus::xkernel kernel(config, xeus::get_user_name(), std::move(context), std::move(interpreter),
                       TarqKernel::MakeServer, std::move(history));
  kernel.start();
  return 0;
}
