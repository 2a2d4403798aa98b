#include "CliMain.h"

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "../platform/CFileException.h"
#include "../sorting/RecordSorter.h"
#include "../sorting/RecordText.h"
#include "CliEntries.h"
#include "CliOptions.h"
#include "ConsoleSink.h"
#include "MergeCommand.h"
#include "lsp/LspServer.h"
#include "TervaloVersion.h"

namespace {

const char kUsage[] =
    "usage: tervalo-cli [-k | --keep-going] [--changed-only] [-l | --list] [--no-sync] [--format=github] [--literal]\n"
    "                   [--] ENTRY...\n"
    "       tervalo-cli (--check | --diff [--color=WHEN]) [-k] [--format=github] [--literal] [--] ENTRY...\n"
    "       tervalo-cli [--check | --diff] [--stdin-filename NAME] -\n"
    "       tervalo-cli merge [--marker-size N] [--diff3] BASE OURS THEIRS [PATHNAME]\n"
    "       tervalo-cli merge --install\n"
    "       tervalo-cli lsp\n"
    "       tervalo-cli --help | --version";
const char kVersion[] = "tervalo-cli " TERVALO_VERSION_TEXT;

const char kHelp[] =
    "Sorts record files (.dbr) in place: the templateName line first, then every\n"
    "other line in byte order; blank lines and lines with an empty value go.\n"
    "\n"
    "Each ENTRY is a file, a directory (searched all the way down) or a wildcard\n"
    "pattern, and is run on its own, in order, exactly as the dialog runs it.\n"
    "A run stops at the first file that cannot be read, holds a bad line or\n"
    "cannot be written; no entry after it is run. An entry that names nothing\n"
    "is a failure too. A trailing separator (recs/) names the directory; a root\n"
    "(/, C:\\) is never searched. Paths are shown starting with the entry as typed.\n"
    "\n"
    "Options:\n"
    "  --check         Write nothing and change nothing. Name on standard output\n"
    "                  every record file that a run would change, one path per\n"
    "                  line, and nothing else. A file that cannot be read or\n"
    "                  holds a bad line is reported on standard error and the\n"
    "                  check goes on. Exit status 0 when every file is already in\n"
    "                  normal order and nothing failed, otherwise 1.\n"
    "  --diff          A check that shows, instead of the names, a unified diff of\n"
    "                  each file that a run would change (patch -p0 --binary\n"
    "                  applies it). Nothing else goes to standard output.\n"
    "  --color=WHEN    Colour the diff: auto (on a terminal; the default), always\n"
    "                  or never.\n"
    "  -k, --keep-going\n"
    "                  Go on past every failure: every good file is rewritten and\n"
    "                  every failure reported. Exit status 1 if anything failed.\n"
    "                  A check and a diff always go on.\n"
    "  --changed-only  Run as usual, but leave a file that already is in normal\n"
    "                  order exactly as it is: not written, its attributes,\n"
    "                  permissions and modification time unchanged.\n"
    "  -l, --list      Name on standard output each record file whose content\n"
    "                  the run changed, before the run's \"Complete!\".\n"
    "  --no-sync       Do not wait for new content to reach the disk before it\n"
    "                  replaces the old (faster; for scratch trees and CI\n"
    "                  checkouts: a power cut may then empty rewritten files).\n"
    "  --format=github Also write GitHub Actions annotations on standard output:\n"
    "                  one per bad line, one per file a check would change, one\n"
    "                  per entry that names nothing.\n"
    "  --literal       Each ENTRY names one file or directory: * and ? in it are\n"
    "                  part of the name, never a pattern (for hooks that pass\n"
    "                  the names of staged files).\n"
    "  -               Read one record file from standard input and write its\n"
    "                  normal form to standard output (nothing when it is bad).\n"
    "                  With --check or --diff, only check it.\n"
    "  --stdin-filename NAME\n"
    "                  The name that diagnostics give standard input.\n"
    "  --              Every argument after it is an entry.\n"
    "  -h, --help      Show this text.\n"
    "  --version       Show the version.\n"
    "\n"
    "tervalo-cli merge, as the first argument, merges three versions of a record\n"
    "file key by key, as a git merge driver, into OURS in normal order; a key\n"
    "changed differently on the two sides is a conflict, marked at its place.\n"
    "  --marker-size N Conflict markers N characters long (default 7).\n"
    "  --diff3         Conflicts show the base's lines too.\n"
    "  --install       Set up the current git repository: the .gitattributes line\n"
    "                  *.dbr merge=tervalo and the merge.tervalo git config.\n"
    "Exit status of a merge: 0 merged, 1 conflicts, 2 usage error, 3 no keyed\n"
    "merge (a bad version: OURS gets git's line merge with conflict markers; an\n"
    "unreadable one: OURS keeps its bytes).\n"
    "\"tervalo-cli merge --help\" shows more.\n"
    "\n"
    "tervalo-cli lsp, as the first argument, is a language server for editors\n"
    "(diagnostics, formatting, fix-all, outline) on standard input and output.\n"
    "\n"
    "Messages go to standard error, each followed by where the file is bad:\n"
    "PATH:LINE:COL: error: REASON (or PATH: error: REASON). \"Complete!\" ends\n"
    "each run on standard output. When standard error is a terminal, a run that\n"
    "lasts more than a second shows its progress there on one line.\n"
    "Exit status: 0 all runs finished, 1 a failure was reported (or, with --check\n"
    "or --diff, a file would change), 2 usage error.\n";

int UsageError(std::ostream& err, const std::string& words) {
    err << "tervalo-cli: " << words << '\n' << kUsage << '\n';
    return kCliUsage;
}

struct Entry {
    CString text;
    bool exact;  // the characters came through the code page unchanged
};

// Runs every entry; the exit status.
int RunEntries(const std::vector<Entry>& entries, const CliOptions& options, std::ostream& out,
               std::ostream& err, FileSystem& fs, const CliConsole& console) {
    if (options.diff && console.binaryStreams) console.binaryStreams();
    ConsoleSink sink(out, err, options, console, fs);
    CRecordSorter sorter(sink, fs);
    sorter.SetMode(options.Checking()      ? SortMode::Check
                   : options.changedOnly ? SortMode::ChangedOnly
                                         : SortMode::RewriteAlways);
    sorter.SetDurable(!options.noSync);
    sorter.SetKeepGoing(options.keepGoing);
    sorter.SetLiteral(options.literal);
    for (const Entry& entry : entries) {
        ResolvedEntry resolved;
        try {
            if (entry.exact) resolved = ResolveEntry(entry.text, fs, options.literal, options.diff);
            if (!resolved.problem.empty()) {
                // A run of it, as the dialog's, finds nothing and is complete.
                sink.EntryFailed(entry.text.str(), resolved.problem);
                sink.ShowMessage(kCompleteMessage, MessageKind::Complete);
            } else {
                sink.SetEntry(&resolved.paths);
                if (entry.exact)
                    sorter.Run(resolved.run);
                else
                    sorter.RunUnnamable(entry.text);
            }
        } catch (const CFileException& e) {
            ReportFileException(sink, e);
        } catch (const std::bad_alloc&) {
            sink.SetEntry(nullptr);
            sink.OutOfMemory(entry.text.str());
        }
        sink.SetEntry(nullptr);
        if (sink.Failed() && !options.GoesOn()) break;
    }
    sink.End();
    return sink.Failed() || (options.Checking() && sink.Changed()) ? kCliFailure : kCliOk;
}

// "-": one record file from standard input; its normal form, or a check of it.
int RunFilter(const CliOptions& options, std::ostream& out, std::ostream& err, FileSystem& fs,
              const CliConsole& console) {
    if (console.binaryStreams) console.binaryStreams();
    if (!console.in) return UsageError(err, "no standard input to read");
    std::string bytes;
    for (std::streamsize got = 1; got > 0;) {
        const std::streamsize kStep = 1 << 16;
        size_t at = bytes.size();
        bytes.resize(at + static_cast<size_t>(kStep));
        got = console.in->rdbuf()->sgetn(&bytes[at], kStep);
        bytes.resize(at + static_cast<size_t>(got > 0 ? got : 0));
    }
    ConsoleSink sink(out, err, options, console, fs);
    if (options.Checking()) {
        sink.CheckBytes(options.stdinName, bytes, options.stdinName);
    } else {
        std::string normal;
        if (NormalFormOf(bytes, normal) == NormalFormResult::Bad)
            sink.ReportBadBytes(options.stdinName, bytes);
        else
            out.write(normal.data(), static_cast<std::streamsize>(normal.size()));
    }
    sink.End();
    return sink.Failed() || (options.Checking() && sink.Changed()) ? kCliFailure : kCliOk;
}

// The value of an option given as "--name=VALUE" or "--name VALUE".
bool OptionValue(const std::string& arg, const char* name, int& i, int argc, const char* const* argv,
                 std::string& value) {
    std::string prefix = std::string(name) + "=";
    if (arg.compare(0, prefix.size(), prefix) == 0) {
        value = arg.substr(prefix.size());
        return true;
    }
    if (arg != name || i + 1 >= argc || !argv[i + 1]) return false;
    value = argv[++i];
    return true;
}

int ParseAndRun(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                FileSystem& fs, const CliConsole& console, const std::vector<bool>* exact) {
    std::vector<Entry> entries;
    CliOptions options;
    bool optionsDone = false;
    bool fromStdin = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i] ? argv[i] : "";
        std::string value;
        if (!optionsDone && arg == "-") {
            fromStdin = true;
        } else if (!optionsDone && arg.size() > 1 && arg[0] == '-') {
            if (arg == "--") {
                optionsDone = true;
            } else if (arg == "--help") {
                out << kUsage << "\n\n" << kHelp;
                return kCliOk;
            } else if (arg == "--version") {
                out << kVersion << '\n';
                return kCliOk;
            } else if (arg == "--check") {
                options.check = true;
            } else if (arg == "--diff") {
                options.diff = true;
            } else if (arg == "--changed-only") {
                options.changedOnly = true;
            } else if (arg == "--list") {
                options.list = true;
            } else if (arg == "--keep-going") {
                options.keepGoing = true;
            } else if (arg == "--no-sync") {
                options.noSync = true;
            } else if (arg == "--literal") {
                options.literal = true;
            } else if (arg[1] != '-' && arg.find_first_not_of("klh", 1) == std::string::npos) {
                // Short options, one or several together ("-kl").
                if (arg.find('h') != std::string::npos) {
                    out << kUsage << "\n\n" << kHelp;
                    return kCliOk;
                }
                options.keepGoing = options.keepGoing || arg.find('k') != std::string::npos;
                options.list = options.list || arg.find('l') != std::string::npos;
            } else if (OptionValue(arg, "--format", i, argc, argv, value)) {
                if (value != "github" && value != "text")
                    return UsageError(err, "--format takes github or text, not '" + value + "'");
                options.github = value == "github";
            } else if (OptionValue(arg, "--color", i, argc, argv, value)) {
                if (value == "auto") options.color = CliOptions::Color::Auto;
                else if (value == "always") options.color = CliOptions::Color::Always;
                else if (value == "never") options.color = CliOptions::Color::Never;
                else return UsageError(err, "--color takes auto, always or never, not '" + value + "'");
            } else if (OptionValue(arg, "--stdin-filename", i, argc, argv, value)) {
                options.stdinName = value;
                options.stdinNameGiven = true;
            } else {
                return UsageError(err, "unknown option '" + arg + "'");
            }
            continue;
        } else {
            bool fits = !exact || static_cast<size_t>(i) >= exact->size() || (*exact)[static_cast<size_t>(i)];
            entries.push_back(Entry{CString(arg.c_str(), static_cast<int>(arg.size())), fits});
        }
    }
    if (options.Checking() && (options.changedOnly || options.list || options.noSync))
        return UsageError(err, "--check and --diff write nothing: they take none of --changed-only, --list and --no-sync");
    if (options.stdinNameGiven && !fromStdin) return UsageError(err, "--stdin-filename names the entry '-'");
    if (fromStdin) {
        if (!entries.empty()) return UsageError(err, "'-' (standard input) must be the only entry");
        if (options.list || options.keepGoing) return UsageError(err, "'-' takes neither --list nor --keep-going");
        return RunFilter(options, out, err, fs, console);
    }
    if (entries.empty()) return UsageError(err, "no entry given");
    return RunEntries(entries, options, out, err, fs, console);
}

}  // namespace

int TervaloCliMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   FileSystem& fs, const CliConsole& console, const std::vector<bool>* exact) {
    // "merge" is a command only as the first argument: "-- merge" is an entry.
    bool merge = argc > 1 && argv[1] && std::string(argv[1]) == "merge";
    bool lsp = argc > 1 && argv[1] && std::string(argv[1]) == "lsp";
    if (lsp && console.binaryStreams) console.binaryStreams();
    int status;
    try {
        status = merge ? TervaloMergeMain(argc - 1, argv + 1, out, err, fs)
                 : lsp ? TervaloLspMain(argc - 1, argv + 1, console.in, out, err)
                       : ParseAndRun(argc, argv, out, err, fs, console, exact);
    } catch (const std::bad_alloc&) {
        // Out of memory outside a run (reading standard input, say).
        err << "tervalo-cli: out of memory\n";
        status = kCliFailure;
    }
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
