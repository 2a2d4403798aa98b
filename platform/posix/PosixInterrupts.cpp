// Signals while a temporary file exists. Those that would end the process at
// once first remove the registered files; those that would end it because a
// write cannot go on (a closed pipe, the file size limit) are ignored, so
// that the write fails and the run reports it and cleans up as for any other
// failed write.
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "../Interrupts.h"

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2};

// While a Hold lives, a signal is only noted; the last Hold to go acts on it.
// Cheaper than blocking the signals, which costs two system calls a Hold.
std::atomic<int> g_holds{0};
volatile sig_atomic_t g_deferred = 0;

// Only async-signal-safe calls: removes the files, puts back the signal's
// default action and raises it again, to end as the signal would.
void RemoveTemporariesAndRaise(int signal) {
    Interrupts::RemoveRegistered();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
}

extern "C" void OnEndingSignal(int signal) {
    int saved = errno;
    if (g_holds.load() > 0) {
        if (!g_deferred) g_deferred = signal;
    } else {
        RemoveTemporariesAndRaise(signal);
    }
    errno = saved;
}

// Signals that the process ignores or handles itself are left as they are.
void InstallHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        for (int sig : kEndingSignals) {
            struct sigaction old;
            if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            struct sigaction action = {};
            action.sa_handler = OnEndingSignal;
            sigemptyset(&action.sa_mask);
            for (int other : kEndingSignals) sigaddset(&action.sa_mask, other);
            sigaction(sig, &action, nullptr);
        }
    });
}

}  // namespace

// Called once, when the real file system is first used.
void IgnoreWriteSignals() {
    for (int sig : {SIGPIPE, SIGXFSZ}) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction action = {};
        action.sa_handler = SIG_IGN;
        sigemptyset(&action.sa_mask);
        sigaction(sig, &action, nullptr);
    }
}

namespace Interrupts {

Hold::Hold() {
    InstallHandlers();
    g_holds.fetch_add(1);
}

Hold::~Hold() {
    if (g_holds.fetch_sub(1) == 1 && g_deferred) RemoveTemporariesAndRaise(g_deferred);
}

}  // namespace Interrupts
