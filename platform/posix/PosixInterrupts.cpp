// Signals while a temporary file exists. Those that would end the process at
// once first remove the registered files; those that would end it because a
// write cannot go on (a closed pipe, the file size limit) are ignored, so
// that the write fails and the run reports it and cleans up as for any other
// failed write.
#include <signal.h>

#include <cerrno>
#include <mutex>

#include "../Interrupts.h"

namespace {

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2};

sigset_t EndingSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kEndingSignals) sigaddset(&set, sig);
    return set;
}

extern "C" void RemoveTemporariesAndEnd(int signal) {
    // Only async-signal-safe calls here. SA_RESETHAND has put back the
    // default action, which the raised signal takes once this returns.
    int saved = errno;
    Interrupts::RemoveRegistered();
    raise(signal);
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
            action.sa_handler = RemoveTemporariesAndEnd;
            action.sa_mask = EndingSignals();
            action.sa_flags = SA_RESETHAND;
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
    sigset_t set = EndingSignals();
    pthread_sigmask(SIG_BLOCK, &set, &m_saved);
}

Hold::~Hold() { pthread_sigmask(SIG_SETMASK, &m_saved, nullptr); }

}  // namespace Interrupts
