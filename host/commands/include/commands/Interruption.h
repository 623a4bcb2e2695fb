// Ctrl-C and a farm's cancel or preemption (SIGINT, SIGTERM, SIGHUP) end magnifex-render the same
// way: the first one aborts the render at its next abort point, every temporary file goes, and
// the program exits 128 + the signal's number (130, 143, 129). A second one ends the program at
// once, its temporaries removed first.
#pragma once

namespace render_command {

// Installs the handlers (a program's main does, before it renders).
void handleInterruptions();

// The first interrupting signal received, 0 for none.
int interruptingSignal();

// The exit status for a run ended by `signal`.
inline int exitStatusForSignal(int signal)
{
  return 128 + signal;
}

} // namespace render_command
