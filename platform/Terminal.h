// Whether an output of the process goes to a terminal (a console window on
// Windows) rather than to a file or a pipe.
#pragma once

// fd: 1 for standard output, 2 for standard error, or any open descriptor.
bool IsTerminal(int fd);
