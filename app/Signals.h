#pragma once
// Stopping a repair from outside. SIGINT, SIGTERM, SIGHUP and SIGQUIT all ask the running
// repair to stop; the repair then removes its partial output and the program exits with
// 128 + the signal (130 for Ctrl-C). A second signal does not wait for the repair: it
// removes the partial output at once and ends the program with the same status.
#include <string>

namespace vr::cli {

// Installs the handlers. Called before anything is created on disk.
void installStopSignals();
// The first stop signal received, 0 while none has arrived.
int stopSignal();
// The exit status for a stop by that signal.
int exitStatusForSignal(int signal);

// Creates an empty, uniquely named hidden file beside the destination and records it as the
// partial output a second signal removes; with signals held off in between, so that no
// signal finds a file it does not know of. Empty on failure (errno says why).
std::string createPartialOutput(const std::string& destination);
// Removes the partial output (if it still exists) and forgets it.
void removePartialOutput();
// Forgets the partial output once it has been moved into place.
void keepPartialOutput();

}  // namespace vr::cli
