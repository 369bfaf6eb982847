// Stopping on SIGTERM, SIGINT or SIGHUP without leaving a display garbled:
// the command in flight is finished, nothing more is sent, the port is
// drained and closed, and the run then ends by the same signal.
#ifndef MARQUELL_STOP_H
#define MARQUELL_STOP_H

// Catches SIGTERM, SIGINT and SIGHUP. The first only asks the run to stop;
// a second one, during that clean-up, ends the process at once.
void CatchStopSignals();

// The signal that asked the run to stop, 0 while none has.
int StopSignal();

// Name of a stop signal, for the report ("SIGTERM").
const char* StopSignalName(int sig);

// Ends the process by the stop signal, with its default action, so that the
// shell or the service manager sees a stop rather than an exit.
void EndByStopSignal();

#endif
