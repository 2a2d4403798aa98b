// tervalo-cli: the run of the dialog's OK button, for scripts.
#pragma once

#include <ostream>

#include "../platform/FileSystem.h"

// Exit statuses.
enum CliStatus { kCliOk = 0, kCliFailure = 1, kCliUsage = 2 };

int TervaloCliMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   FileSystem& fs = GetRealFileSystem());
