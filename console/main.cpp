#include <iostream>

#include "../platform/Terminal.h"
#include "CliMain.h"
#ifdef _WIN32
#include "../platform/win32/ConsoleOutput.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    // Paths shown on a console come out right whatever its code page.
    ConsoleStandardStreams wideOutput;
#endif
    CliConsole console;
    console.errIsTerminal = IsTerminal(2);
    console.outIsTerminal = IsTerminal(1);
    return TervaloCliMain(argc, argv, std::cout, std::cerr, GetRealFileSystem(), console);
}
