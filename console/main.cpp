#include <iostream>
#include <string>
#include <vector>

#include "../platform/Terminal.h"
#include "CliMain.h"
#ifdef _WIN32
#include "../platform/win32/ConsoleOutput.h"
#include "../platform/win32/WideText.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#endif

#ifdef _WIN32
// The arguments come as the system keeps them, in wide characters, and go on
// in the process code page only where it holds them exactly: the runtime's
// own narrow arguments would turn a character that does not fit into "?" (a
// wildcard) or a look-alike letter, and so name other files.
int main() {
    // Paths shown on a console come out right whatever its code page.
    ConsoleStandardStreams wideOutput;
    CliConsole console;
    console.errIsTerminal = IsTerminal(2);
    console.outIsTerminal = IsTerminal(1);
    console.in = &std::cin;
    console.binaryStreams = [] {
        std::cout.flush();
        _setmode(_fileno(stdin), _O_BINARY);
        _setmode(_fileno(stdout), _O_BINARY);
    };
    int argc = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!wide) {
        std::cerr << "tervalo-cli: cannot read the command line\n";
        return kCliFailure;
    }
    std::vector<std::string> args(static_cast<size_t>(argc));
    std::vector<bool> exact(args.size());
    for (size_t i = 0; i < args.size(); ++i) exact[i] = ToNarrow(wide[i], args[i]);
    LocalFree(wide);
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    return TervaloCliMain(argc, argv.data(), std::cout, std::cerr, GetRealFileSystem(), console, &exact);
}
#else
int main(int argc, char** argv) {
    CliConsole console;
    console.errIsTerminal = IsTerminal(2);
    console.outIsTerminal = IsTerminal(1);
    console.in = &std::cin;
    return TervaloCliMain(argc, argv, std::cout, std::cerr, GetRealFileSystem(), console);
}
#endif
