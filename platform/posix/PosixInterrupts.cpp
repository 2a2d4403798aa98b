// Signals while a temporary file exists. Those that would end the process at
// once first remove the registered files; those that would end it because a
// write cannot go on (a closed pipe, the file size limit) are ignored, so
// that the write fails and the run reports it and cleans up as for any other
// failed write.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "../Interrupts.h"

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2};

// While a Hold lives, a signal is only noted; the last Hold to go acts on it.
// Cheaper than blocking the signals, which costs two system calls a Hold.
// Holds are taken on more than one thread (the run's, and the one that puts
// files in place): whoever acts first waits for every other Hold to go, and
// no Hold begins once it has.
std::atomic<int> g_holds{0};
std::atomic<int> g_deferred{0};
std::atomic<bool> g_acting{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "used by a signal handler");

// Only async-signal-safe calls: removes the files, puts back the signal's
// default action and raises it again, to end as the signal would.
void RemoveTemporariesAndRaise(int signal) {
    g_acting.store(true);
    // Another thread's Hold is a create, close or rename under way: it ends
    // soon, and the file it held is then registered or gone.
    while (g_holds.load() > 0) {
    }
    Interrupts::RemoveRegistered();
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
}

// The note is taken by exactly one: the last Hold to go, or the handler that
// finds it gone after all.
void ActOnDeferred() {
    int signal = g_deferred.exchange(0);
    if (signal) RemoveTemporariesAndRaise(signal);
}

extern "C" void OnEndingSignal(int signal) {
    int saved = errno;
    if (g_holds.load() > 0) {
        int none = 0;
        g_deferred.compare_exchange_strong(none, signal);
        if (g_holds.load() == 0) ActOnDeferred();
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
    if (g_acting.load()) {
        // The process is ending and its files are being removed: this
        // thread waits for the end.
        g_holds.fetch_sub(1);
        for (;;) pause();
    }
}

Hold::~Hold() {
    if (g_holds.fetch_sub(1) == 1) ActOnDeferred();
}

}  // namespace Interrupts
