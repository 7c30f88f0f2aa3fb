/*
 * interrupt_handling.cpp - the signal handlers. Only async-signal-safe calls
 * run in them: the removal of the registered temporary (unlinkat, and for a
 * folder its entries read by getdents64), write(2) of a fixed line,
 * sigaction, and re-raising the signal with its default action (or, for a
 * crash, with what was there before us).
 */
#include "common/interrupt_handling.h"

#include <atomic>
#include <csignal>
#include <cstring>

#include "common/publishing_temporary.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace nvx {

namespace {

std::atomic<InterruptionNotice> gNotice = nullptr;

constexpr int kEndingSignals[] = {
    SIGINT,
    SIGTERM,
#if defined(_WIN32)
    SIGBREAK,
#else
    SIGHUP, SIGQUIT, SIGPIPE, SIGXCPU, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
#endif
};

constexpr int kCrashSignals[] = {
    SIGSEGV, SIGABRT, SIGFPE, SIGILL,
#if !defined(_WIN32)
    SIGBUS,
#endif
};

void EndOnSignal(int signal) {
    const bool published = RemoveTemporaryOnInterrupt();
    if (const InterruptionNotice notice = gNotice.load()) notice(signal, published);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

#if defined(_WIN32)

void EndOnCrash(int signal) {
    RemoveTemporaryOnInterrupt();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

#else

// What each crash signal did before us: the default, or a sanitizer's
// report, which the crash then goes on to.
struct sigaction gBeforeUs[NSIG];

void EndOnCrash(int signal, siginfo_t* info, void*) {
    RemoveTemporaryOnInterrupt();
    sigaction(signal, &gBeforeUs[signal], nullptr);
    // A fault comes back by itself when its instruction runs again, with
    // its own details for whoever handles it; a sent signal is sent again,
    // delivered once this handler returns.
    if (info == nullptr || info->si_code <= 0) raise(signal);
}

#endif

}  // namespace

void WriteToStandardError(const char* text) {
#if defined(_WIN32)
    _write(2, text, static_cast<unsigned>(std::strlen(text)));
#else
    // Nothing can be done here if standard error is gone.
    [[maybe_unused]] const auto written = write(STDERR_FILENO, text, std::strlen(text));
#endif
}

void InstallInterruptHandling(InterruptionNotice notice) {
    gNotice = notice;
#if defined(_WIN32)
    for (const int signal : kEndingSignals) std::signal(signal, EndOnSignal);
    for (const int signal : kCrashSignals) std::signal(signal, EndOnCrash);
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
    for (const int signal : kCrashSignals) {
        struct sigaction handling {};
        handling.sa_sigaction = EndOnCrash;
        sigemptyset(&handling.sa_mask);
        // On its own stack where a sanitizer set one up (a stack overflow).
        handling.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigaction(signal, &handling, &gBeforeUs[signal]);
    }
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

}  // namespace nvx
