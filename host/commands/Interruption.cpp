#include "commands/Interruption.h"

#include <atomic>
#include <csignal>

#include "DDImageHost/OpControl.h"
#include "runtime/LiveTemporaries.h"

#include <cstdlib>

namespace render_command {
namespace {

std::atomic<int> firstSignal{0};

extern "C" void onInterruption(int signal)
{
  int expected = 0;
  if (firstSignal.compare_exchange_strong(expected, signal)) {
    DD::Image::host::requestAbortAll();
#if defined(_WIN32)
    std::signal(signal, onInterruption); // reset to the default on delivery there
#endif
    return;
  }
  host_runtime::removeOwnTemporariesNow();
  std::_Exit(exitStatusForSignal(expected)); // async-signal-safe, as exit() is not
}

} // namespace

void handleInterruptions()
{
#if defined(_WIN32)
  for (int s : {SIGINT, SIGTERM})
    std::signal(s, onInterruption);
#else
  struct sigaction action {};
  action.sa_handler = onInterruption;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP})
    sigaction(s, &action, nullptr);
#endif
}

int interruptingSignal()
{
  return firstSignal.load();
}

} // namespace render_command
