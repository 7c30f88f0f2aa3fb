/*
 * interrupt_handling.cpp - the signal handlers. Only async-signal-safe calls
 * run in them: the unlink of the registered temporary file, write(2) of a
 * fixed line, and re-raising the signal with its default action.
 */
#include "cli/interrupt_handling.h"

#include <csignal>
#include <cstring>

#include "cli/console.h"
#include "pyramid/temporary_file.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace nvx::cli {

namespace {

constexpr int kEndingSignals[] = {
    SIGINT,
    SIGTERM,
#if defined(_WIN32)
    SIGBREAK,
#else
    SIGHUP, SIGQUIT, SIGPIPE,
#endif
};

void EndOnSignal(int signal) {
    pyramid::RemoveTemporaryOnInterrupt();
    const char* line = console::InterruptedLine(signal);
#if defined(_WIN32)
    _write(2, line, static_cast<unsigned>(std::strlen(line)));
#else
    // Nothing can be done here if standard error is gone.
    [[maybe_unused]] const auto written = write(STDERR_FILENO, line, std::strlen(line));
#endif
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

void InstallInterruptHandling() {
#if defined(_WIN32)
    for (const int signal : kEndingSignals) std::signal(signal, EndOnSignal);
#else
    for (const int signal : kEndingSignals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
        struct sigaction handling {};
        handling.sa_handler = EndOnSignal;
        sigemptyset(&handling.sa_mask);
        // A second signal while the first is handled waits for the default action.
        sigaction(signal, &handling, nullptr);
    }
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

}  // namespace nvx::cli
