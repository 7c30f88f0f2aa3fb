/*
 * interrupt_handling.h - what happens when a run that writes a file (the
 * converter's, nvxmake's) is stopped from outside.
 *
 * SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, and the signals whose default
 * is to end the process that limits, timers and users send: SIGXCPU
 * (ulimit -t), SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF (Ctrl-C,
 * Ctrl-Break and closing the console on Windows) remove the output's
 * temporary file or folder, have the program say in one line how the run
 * ended, and end the process as the signal itself would (a shell then
 * shows 128 + the signal number). A signal the caller set to be ignored, as nohup does,
 * stays ignored.
 *
 * A crash (SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL) removes the temporary
 * too, and then goes on as it would have without us (a core dump, or a
 * sanitizer's report).
 *
 * SIGXFSZ is ignored, so that a write past the file size limit fails like
 * any other write and the run can say so.
 */
#pragma once

namespace nvx {

// Says how a run ended on `signal`, from inside the signal handler: only
// async-signal-safe calls (write(2) of fixed texts, WriteToStandardError).
// `published`: the new file had already been renamed into place.
using InterruptionNotice = void (*)(int signal, bool published);

// Installs the handling; call once at start-up, before the output exists.
void InstallInterruptHandling(InterruptionNotice notice);

// Writes `text` to standard error as it is; async-signal-safe.
void WriteToStandardError(const char* text);

}  // namespace nvx
