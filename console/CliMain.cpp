#include "CliMain.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "../platform/CFileException.h"
#include "../sorting/RecordSorter.h"
#include "TervaloVersion.h"

namespace {

const char kUsage[] =
    "usage: tervalo-cli [--check | [--changed-only] [-l | --list] [--no-sync]] [--] ENTRY...\n"
    "       tervalo-cli --help | --version";
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
    "Options:\n"
    "  --check         Write nothing and change nothing. Name on standard output\n"
    "                  every record file that a run would change, one path per\n"
    "                  line, and nothing else. A file that cannot be read or\n"
    "                  holds a bad line is reported on standard error and the\n"
    "                  check goes on. Exit status 0 when every file is already in\n"
    "                  normal order and nothing failed, otherwise 1.\n"
    "  --changed-only  Run as usual, but leave a file that already is in normal\n"
    "                  order exactly as it is: not written, its attributes,\n"
    "                  permissions and modification time unchanged.\n"
    "  -l, --list      Name on standard output each record file whose content\n"
    "                  the run changed, before the run's \"Complete!\".\n"
    "  --no-sync       Do not wait for new content to reach the disk before it\n"
    "                  replaces the old (faster; for scratch trees and CI\n"
    "                  checkouts: a power cut may then empty rewritten files).\n"
    "  --              Every argument after it is an entry.\n"
    "  -h, --help      Show this text.\n"
    "  --version       Show the version.\n"
    "\n"
    "Messages go to standard error; \"Complete!\" ends each run on standard output.\n"
    "When standard error is a terminal, a run that lasts more than a second shows\n"
    "its progress there on one line.\n"
    "Exit status: 0 all runs finished, 1 a failure was reported (or, with --check,\n"
    "a file would change), 2 usage error.\n";

// Message box text has its path on a second line after CR LF; a terminal
// wants a plain line break there.
std::string AsLines(const CString& text) {
    CString lines = text;
    lines.Replace("\r\n", "\n");
    return lines.str();
}

double SteadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// One status line on a terminal: shown once the work has taken a second,
// redrawn at most ten times a second, and wiped before anything else is
// written to that terminal.
class ProgressLine {
public:
    ProgressLine(std::ostream& err, const CliConsole& console)
        : m_err(err), m_on(console.errIsTerminal), m_clock(console.clock ? console.clock : SteadySeconds),
          m_start(m_on ? m_clock() : 0) {}

    void Update(unsigned long done, unsigned long changed, const char* changedWords) {
        if (!m_on) return;
        double now = m_clock();
        if (now - m_start < 1.0 || now - m_drawn < 0.1) return;
        m_drawn = now;
        char text[128];
        int n = std::snprintf(text, sizeof text, "%lu record files, %lu %s, %.0f s", done, changed,
                              changedWords, now - m_start);
        size_t width = n > 0 ? static_cast<size_t>(n) : 0;
        m_err << '\r' << text;
        if (width < m_width) m_err << std::string(m_width - width, ' ');
        m_err << std::flush;
        m_width = width;
    }

    void Clear() {
        if (m_width == 0) return;
        m_err << '\r' << std::string(m_width, ' ') << '\r' << std::flush;
        m_width = 0;
    }

private:
    std::ostream& m_err;
    bool m_on;
    std::function<double()> m_clock;
    double m_start;
    double m_drawn = -1;  // when the line was last drawn
    size_t m_width = 0;  // of the line on the screen; 0 when none is
};

struct CliOptions {
    bool check = false;
    bool changedOnly = false;
    bool list = false;
    bool noSync = false;
};

class ConsoleSink : public IMessageSink {
public:
    ConsoleSink(std::ostream& out, std::ostream& err, const CliOptions& options, const CliConsole& console)
        : m_out(out), m_err(err), m_options(options), m_progress(err, console),
          m_outIsTerminal(console.outIsTerminal) {}

    void ShowMessage(const CString& text, MessageKind kind) override {
        if (kind == MessageKind::Complete) {
            // A check has no runs to complete: its standard output is paths.
            if (!m_options.check) Print(AsLines(text));
        } else {
            m_failed = true;
            ++m_done;
            m_progress.Clear();
            m_err << AsLines(text) << '\n' << std::flush;
        }
    }

    void CopyKept(const CString& path, const CString& copy) override {
        m_progress.Clear();
        m_err << "tervalo-cli: " << path.str() << " was not fully written; all of its new content is in "
              << copy.str() << '\n';
    }

    void RecordFileDone(const CString& path, bool changed) override {
        ++m_done;
        if (changed || !(m_options.check || m_options.changedOnly)) ++m_written;
        if (changed) {
            m_changed = true;
            if (m_options.check || m_options.list) Print(path.str());
        }
        m_progress.Update(m_done, m_written, m_options.check ? "to rewrite" : "rewritten");
    }

    void EndProgress() { m_progress.Clear(); }
    bool Failed() const { return m_failed; }
    bool Changed() const { return m_changed; }

private:
    void Print(const std::string& line) {
        if (m_outIsTerminal) m_progress.Clear();
        m_out << line << '\n' << std::flush;
    }

    std::ostream& m_out;
    std::ostream& m_err;
    const CliOptions& m_options;
    ProgressLine m_progress;
    bool m_outIsTerminal;
    bool m_failed = false;
    bool m_changed = false;
    unsigned long m_done = 0;
    unsigned long m_written = 0;
};

int UsageError(std::ostream& err, const std::string& words) {
    err << "tervalo-cli: " << words << '\n' << kUsage << '\n';
    return kCliUsage;
}

// Runs every entry; the exit status.
struct Entry {
    CString text;
    bool exact;
};

int RunEntries(const std::vector<Entry>& entries, const CliOptions& options, std::ostream& out,
               std::ostream& err, FileSystem& fs, const CliConsole& console) {
    ConsoleSink sink(out, err, options, console);
    CRecordSorter sorter(sink, fs);
    sorter.SetMode(options.check         ? SortMode::Check
                   : options.changedOnly ? SortMode::ChangedOnly
                                         : SortMode::RewriteAlways);
    sorter.SetDurable(!options.noSync);
    int status = kCliOk;
    for (const Entry& entry : entries) {
        try {
            if (entry.exact)
                sorter.Run(entry.text);
            else
                sorter.RunUnnamable(entry.text);
        } catch (const CFileException& e) {
            sink.EndProgress();
            err << AsLines(e.GetErrorMessage()) << '\n';
            status = kCliFailure;
        } catch (const std::bad_alloc&) {
            sink.EndProgress();
            err << "Out of memory while running " << entry.text.str() << '\n';
            status = kCliFailure;
        }
        if (sink.Failed()) status = kCliFailure;
        // A check goes on with the next entry whatever happened.
        if (status != kCliOk && !options.check) break;
    }
    sink.EndProgress();
    if (options.check && sink.Changed()) status = kCliFailure;
    return status;
}

int ParseAndRun(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                FileSystem& fs, const CliConsole& console, const std::vector<bool>* exact) {
    std::vector<Entry> entries;
    CliOptions options;
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
            } else if (arg == "--check") {
                options.check = true;
            } else if (arg == "--changed-only") {
                options.changedOnly = true;
            } else if (arg == "--list" || arg == "-l") {
                options.list = true;
            } else if (arg == "--no-sync") {
                options.noSync = true;
            } else {
                return UsageError(err, "unknown option '" + arg + "'");
            }
            continue;
        }
        bool fits = !exact || static_cast<size_t>(i) >= exact->size() || (*exact)[static_cast<size_t>(i)];
        entries.push_back(Entry{CString(arg.c_str(), static_cast<int>(arg.size())), fits});
    }
    if (entries.empty()) return UsageError(err, "no entry given");
    if (options.check && (options.changedOnly || options.list || options.noSync))
        return UsageError(err, "--check writes nothing: it takes none of --changed-only, --list and --no-sync");
    return RunEntries(entries, options, out, err, fs, console);
}

}  // namespace

int TervaloCliMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   FileSystem& fs, const CliConsole& console, const std::vector<bool>* exact) {
    int status = ParseAndRun(argc, argv, out, err, fs, console, exact);
    // Output that did not arrive (a full disk, a closed pipe) is a failure.
    out.flush();
    if (!out) {
        err << "tervalo-cli: cannot write to standard output\n";
        if (status == kCliOk) status = kCliFailure;
    }
    err.flush();
    if (!err && status == kCliOk) status = kCliFailure;
    return status;
}
