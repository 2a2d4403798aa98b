// Interrupts that end the process while a temporary file exists: a signal
// (POSIX) or a console control event (Windows) first removes every file
// registered here. The registry is shared code; each backend provides Hold
// and the handler, which calls RemoveRegistered.
#pragma once

#include "FileSystem.h"

namespace Interrupts {

// While one lives, a handled interrupt waits (POSIX: the signal is noted and
// acted on when the last Hold goes; Windows: the control handler waits for
// the lock). The backend installs its handler with the first one.
class Hold {
public:
    Hold();
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

// How many files may be registered at once: two batches' worth and a few
// more.
constexpr int kMaxRegistered = 144;

// Registers file for removal on an interrupt; false when every slot is
// taken (the file is then not to be made). Call both with a Hold alive.
bool Register(OutputFile* file);
void Unregister(OutputFile* file);

// True once an interrupt has begun to end the process: nothing may be put
// in place after it.
bool Arrived();

// For the backend's handler: marks the interrupt as arrived and removes
// every registered file. Async-signal-safe.
void RemoveRegistered() noexcept;

// What a handled interrupt does, for a front end that is about to end the
// process itself (the end of a Windows session): waits for any Hold to go,
// then removes every registered file; nothing is put in place after it.
void InterruptNow() noexcept;

}  // namespace Interrupts
