#include "CliMain.h"

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "../platform/CFileException.h"
#include "../sorting/RecordSorter.h"
#include "TervaloVersion.h"

namespace {

const char kUsage[] = "usage: tervalo-cli [--help] [--version] [--] ENTRY...";
const char kVersion[] = "tervalo-cli " TERVALO_VERSION_TEXT;

const char kHelp[] =
    "Sorts record files (.dbr) in place: the templateName line first, then every\n"
    "other line in byte order; blank lines and lines with an empty value go.\n"
    "\n"
    "Each ENTRY is a file, a directory (searched all the way down) or a wildcard\n"
    "pattern, and is run on its own, in order, exactly as the dialog runs it.\n"
    "A run stops at the first file that cannot be read, holds a bad line or\n"
    "cannot be written; no entry after it is run.\n"
    "\n"
    "Messages go to standard error; \"Complete!\" ends each run on standard output.\n"
    "Exit status: 0 all runs finished, 1 a failure was reported, 2 usage error.\n";

// Message box text has its path on a second line after CR LF; a terminal
// wants a plain line break there.
std::string AsLines(const CString& text) {
    CString lines = text;
    lines.Replace("\r\n", "\n");
    return lines.str();
}

class ConsoleSink : public IMessageSink {
public:
    ConsoleSink(std::ostream& out, std::ostream& err) : m_out(out), m_err(err) {}
    void ShowMessage(const CString& text, MessageKind kind) override {
        if (kind == MessageKind::Complete) {
            m_out << AsLines(text) << '\n' << std::flush;
        } else {
            m_failed = true;
            m_err << AsLines(text) << '\n' << std::flush;
        }
    }
    bool Failed() const { return m_failed; }

private:
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_failed = false;
};

}  // namespace

int TervaloCliMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   FileSystem& fs) {
    std::vector<CString> entries;
    bool optionsDone = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] ? argv[i] : "";
        if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsDone = true;
            } else if (arg == "--help" || arg == "-h") {
                out << kUsage << "\n\n" << kHelp;
                return kCliOk;
            } else if (arg == "--version") {
                out << kVersion << '\n';
                return kCliOk;
            } else {
                err << "tervalo-cli: unknown option '" << arg << "'\n" << kUsage << '\n';
                return kCliUsage;
            }
            continue;
        }
        entries.emplace_back(arg.c_str(), static_cast<int>(arg.size()));
    }
    if (entries.empty()) {
        err << "tervalo-cli: no entry given\n" << kUsage << '\n';
        return kCliUsage;
    }

    ConsoleSink sink(out, err);
    CRecordSorter sorter(sink, fs);
    for (const CString& entry : entries) {
        try {
            sorter.Run(entry);
        } catch (const CFileException& e) {
            err << AsLines(e.GetErrorMessage()) << '\n';
            return kCliFailure;
        } catch (const std::bad_alloc&) {
            err << "Out of memory while running " << entry.str() << '\n';
            return kCliFailure;
        }
        if (sink.Failed()) return kCliFailure;
    }
    return kCliOk;
}
