// Interrupts on Windows: Ctrl+C, Ctrl+Break and the console's close come to a
// control handler on a thread of their own. The handler removes every
// registered temporary file and lets the process end; a Hold keeps it
// waiting while the main thread creates, registers, closes or puts in place
// such a file.
#include "../Interrupts.h"
#include "WindowsHeaders.h"

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;

BOOL WINAPI OnConsoleEvent(DWORD) {
    AcquireSRWLockExclusive(&g_lock);
    Interrupts::RemoveRegistered();
    ReleaseSRWLockExclusive(&g_lock);
    return FALSE;  // the next handler ends the process as usual
}

}  // namespace

namespace Interrupts {

Hold::Hold() {
    // Installed with the first Hold, before the first file that it is to
    // remove can exist.
    static const bool installed = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
    (void)installed;
    AcquireSRWLockExclusive(&g_lock);
}

Hold::~Hold() { ReleaseSRWLockExclusive(&g_lock); }

}  // namespace Interrupts
