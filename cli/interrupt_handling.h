/*
 * interrupt_handling.h - what happens when a run is stopped from outside.
 *
 * SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE, and the signals whose default
 * is to end the process that limits, timers and users send: SIGXCPU
 * (ulimit -t), SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF (Ctrl-C,
 * Ctrl-Break and closing the console on Windows) remove the output's
 * temporary file, print one line on standard error and end the process as
 * the signal itself would (a shell then shows 128 + the signal number). A
 * signal the caller set to be ignored, as nohup does, stays ignored.
 *
 * A crash (SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL) removes the temporary
 * file too, and then goes on as it would have without us (a core dump, or
 * a sanitizer's report).
 *
 * SIGXFSZ is ignored, so that a write past the file size limit fails like
 * any other write and the run can say so.
 */
#pragma once

namespace nvx::cli {

// Installs the handling; call once at start-up, before the output exists.
void InstallInterruptHandling();

}  // namespace nvx::cli
