// tervalo-cli: the run of the dialog's OK button, for scripts.
#pragma once

#include <functional>
#include <istream>
#include <ostream>
#include <vector>

#include "../platform/FileSystem.h"

// Exit statuses.
enum CliStatus { kCliOk = 0, kCliFailure = 1, kCliUsage = 2 };

// Where the program's standard error goes, for the progress line.
struct CliConsole {
    // Standard error is a terminal: a long run shows its progress there.
    bool errIsTerminal = false;
    // So is standard output: the line is wiped before anything goes there.
    bool outIsTerminal = false;
    // Seconds from any fixed point; the steady clock when empty.
    std::function<double()> clock;
    // Standard input, for the entry "-".
    std::istream* in = nullptr;
    // Makes standard input and output carry bytes unchanged (Windows turns
    // LF into CR LF and stops at a Ctrl-Z otherwise); called before either is
    // used for record file content.
    std::function<void()> binaryStreams;
};

// exact, where given, tells for each argument whether it came through the
// conversion to the process code page unchanged (Windows takes its command
// line as wide text); an entry that did not is reported, never searched.
int TervaloCliMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   FileSystem& fs = GetRealFileSystem(), const CliConsole& console = CliConsole(),
                   const std::vector<bool>* exact = nullptr);
