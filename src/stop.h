// Stopping on a signal without leaving a display garbled.
//
// SIGHUP asks for a repaint (a reload under systemd, which starts a new run
// once this one has died by SIGHUP); SIGTERM and SIGINT ask for a stop. Any
// of them lets the command being sent finish, sends nothing more, drains and
// closes the port, prints the report's stop line and ends the process by the
// signal, so that the shell or the service manager sees a stop rather than
// an exit. Requests come in pairs in ordinary use (a closing terminal sends
// SIGHUP twice; a reload then a stop is SIGHUP then SIGTERM), so a further
// request never cuts a command:
// - a repeated SIGHUP, or a stop after a stop, changes nothing;
// - a stop after a SIGHUP turns the repaint into a stop: the run ends by the
//   stop's signal, and systemd does not start it again;
// - only a person's second Ctrl-C (SIGINT after SIGINT) ends the run at
//   once, inside a command if need be; SIGKILL is always there.
// No request is lost at the end: one that comes after the run's last look
// at StopSignal(), up to the end of the process, still ends it by its signal.
#ifndef MARQUELL_STOP_H
#define MARQUELL_STOP_H

// Catches SIGTERM, SIGINT and SIGHUP, except those ignored from the start
// (nohup, a background job), which stay ignored, and lets through those
// that the parent left blocked.
void CatchStopSignals();

// The signal the run is to end by, 0 while none has asked.
int StopSignal();

// Name of a stop signal, for the report ("SIGTERM").
const char* StopSignalName(int sig);

// Holds requests back from here on, and takes in those that came so far:
// StopSignal() then tells how the run ends, for its closing line.
void HoldStopSignals();

// After HoldStopSignals and the closing line: ends the process by the
// signal of any request that came, before or since. A request that came
// since and changes that signal (a stop after a repaint, or any request
// after none) is first handed to say_end, so that the report can name the
// signal the run ends by. Returns when none has come; one that comes later,
// up to the end of the process, still ends it.
void EndByStopSignal(void (*say_end)(int sig));

#endif
