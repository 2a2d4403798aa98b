#include <iostream>

#include "../platform/Terminal.h"
#include "CliMain.h"

int main(int argc, char** argv) {
    CliConsole console;
    console.errIsTerminal = IsTerminal(2);
    return TervaloCliMain(argc, argv, std::cout, std::cerr, GetRealFileSystem(), console);
}
