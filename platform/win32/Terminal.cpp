#include "../Terminal.h"

#include <io.h>

#include "WindowsHeaders.h"

// _isatty also says yes for NUL and the other character devices; only a
// console has a console mode.
bool IsTerminal(int fd) {
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}
