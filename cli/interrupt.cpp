#include "cli/interrupt.h"

#include <pthread.h>

#include <csignal>

#include "scan/scan_state.h"

namespace cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;
// Taken before the handler is installed: the handler may only store into
// the state's lock-free flag, not run the state's first construction.
scan::ScanState* g_state = nullptr;

void OnSignal(int) {
  g_interrupted = 1;
  g_state->setStopRequested(1);
}

}  // namespace

void StopScanOnInterrupt(scan::ScanState& state) {
  static_assert(std::atomic<int32_t>::is_always_lock_free);
  g_state = &state;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // SA_RESTART: reads and writes in progress go on rather than fail;
  // SA_RESETHAND: the second signal takes its default course and ends us.
  action.sa_flags = static_cast<int>(SA_RESTART | SA_RESETHAND);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

bool ScanInterrupted() { return g_interrupted != 0; }

sigset_t BlockStopSignals() {
  sigset_t stopping;
  sigset_t previous;
  sigemptyset(&stopping);
  sigaddset(&stopping, SIGINT);
  sigaddset(&stopping, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopping, &previous);
  return previous;
}

void RestoreStopSignals(const sigset_t& previous) {
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace cli
