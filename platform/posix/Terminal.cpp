#include "../Terminal.h"

#include <unistd.h>

bool IsTerminal(int fd) { return isatty(fd) == 1; }
