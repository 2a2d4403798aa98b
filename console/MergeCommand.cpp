#include "MergeCommand.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "../platform/CFileException.h"
#include "../platform/CStdioFile.h"
#include "../platform/ReplaceBatch.h"
#include "../sorting/RecordMerge.h"
#include "../sorting/RecordText.h"
#include "Diagnostics.h"

namespace {

const char kMergeUsageText[] =
    "usage: tervalo-cli merge [--marker-size N] [--diff3] BASE OURS THEIRS [PATHNAME]\n"
    "       tervalo-cli merge --install | --help";

const char kMergeHelp[] =
    "Merges three versions of a record file key by key, as a git merge driver:\n"
    "BASE is the common ancestor, OURS and THEIRS the two sides; the result is\n"
    "written into OURS in normal order. A key changed on one side only takes that\n"
    "change, the same change on both sides is taken once, and a key changed in\n"
    "different ways on the two sides (or deleted on one and changed on the other)\n"
    "is a conflict: its lines from both sides stand between conflict markers, at\n"
    "the key's place in the file. PATHNAME names the file in messages.\n"
    "\n"
    "Options:\n"
    "  --marker-size N  Conflict markers N characters long (default 7).\n"
    "  --diff3          Show the base's lines in conflicts too.\n"
    "  --install        Set the repository up to merge *.dbr files this way: the\n"
    "                   .gitattributes line and the merge.tervalo git config.\n"
    "  -h, --help       Show this text.\n"
    "\n"
    "The result has the line ends of OURS: LF where OURS ends every line with\n"
    "LF, otherwise CR LF. Run by git, the merge honours merge.conflictStyle=diff3.\n"
    "\n"
    "Exit status: 0 merged, 1 merged with conflicts, 2 usage error, 3 no keyed\n"
    "merge. When a version holds a bad line, its bad lines are named and OURS\n"
    "gets git's own line merge (git merge-file), with conflict markers where the\n"
    "versions differ; where git cannot be run, and when a version cannot be read\n"
    "or OURS cannot be written, OURS is left exactly as it was.\n";

const char* const kSideNames[] = {"base", "ours", "theirs"};
const size_t kMaxMarkerSize = 4096;

int MergeUsageError(std::ostream& err, const std::string& words) {
    err << "tervalo-cli merge: " << words << '\n' << kMergeUsageText << '\n';
    return kMergeUsage;
}

// Puts text in place of the file at path, whose bytes were read with the
// facts given: byte for byte, flushed before it replaces the file, and only
// while the file is still as it was read.
// An empty text on success; otherwise why not.
std::string WriteMerge(FileSystem& fs, const std::string& path, const FileFacts& read, const std::string& text) {
    CStdioFile file(fs);
    FileError error;
    if (!file.Open(CString(path), CFile::modeRead | CFile::typeText, &error)) return ReasonOf(error, "cannot open");
    if (!SameFileUnchanged(file.ReadFacts(), read)) return "changed while it was being merged";
    if (!file.Open(CString(path), CFile::modeCreate | CFile::modeWrite | CFile::typeText, &error))
        return ReasonOf(error, "cannot write");
    ReplaceBatch batch(fs);
    try {
        file.WriteBytes(text);
        batch.Add(file.Detach());
    } catch (const CFileException& e) {
        return e.m_strReason.IsEmpty() ? "cannot write" : e.m_strReason.str();
    }
    ReplaceBatch::Failure failure;
    if (batch.Commit([](size_t, const FileError&) {}, failure)) return std::string();
    std::string why = ReasonOf(failure.error, "cannot write");
    if (!failure.keptCopy.IsEmpty()) why += "; all of the merge is in " + failure.keptCopy.str();
    return why;
}

struct MergeArgs {
    MergeOptions options;
    std::vector<std::string> paths;  // base, ours and theirs and maybe the name
};

// The line end that git keeps the file in, as OURS shows it: LF where OURS
// ends every line with a bare LF, otherwise (CR LF, none, or both) CR LF.
std::string_view LineEndOf(const std::string& ours) {
    size_t lf = ours.find('\n');
    if (lf == std::string::npos) return "\r\n";
    for (; lf != std::string::npos; lf = ours.find('\n', lf + 1))
        if (lf > 0 && ours[lf - 1] == '\r') return "\r\n";
    return "\n";
}

// Run by git (which hands its children GIT_EXEC_PATH), the merge shows
// conflicts as the user's merge.conflictStyle asks.
bool GitAsksForDiff3() {
    const char* byGit = std::getenv("GIT_EXEC_PATH");
    if (!byGit || !*byGit) return false;
    std::string style, failure;
    if (RunProgram({"git", "config", "--get", "merge.conflictStyle"}, &style, failure) != 0) return false;
    while (!style.empty() && (style.back() == '\n' || style.back() == '\r')) style.pop_back();
    return style == "diff3" || style == "zdiff3";
}

// git's own line merge of the three files, labelled ours, base and theirs;
// false when git cannot be run or cannot merge them.
bool LineMerge(const MergeArgs& args, const MergeOptions& options, std::string& text) {
    std::vector<std::string> command = {"git", "merge-file", "-p", "--marker-size",
                                        std::to_string(options.markerSize)};
    if (options.diff3) command.push_back("--diff3");
    for (const char* label : {"ours", "base", "theirs"}) command.insert(command.end(), {"-L", label});
    command.insert(command.end(), {"--", args.paths[1], args.paths[0], args.paths[2]});
    std::string failure;
    int status = RunProgram(command, &text, failure);
    // Its status counts the conflicts; a failure is negative, seen as 255.
    return status >= 0 && status < 128;
}

int Merge(const MergeArgs& args, std::ostream& err, FileSystem& fs) {
    const std::string& name = args.paths.size() > 3 ? args.paths[3] : args.paths[1];
    std::string files[3];
    FileFacts oursRead;
    bool read = true;
    for (int side = 0; side < 3; ++side) {
        FileError error;
        if (!ReadWholeFile(fs, CString(args.paths[static_cast<size_t>(side)]), files[side], error,
                           side == 1 ? &oursRead : nullptr)) {
            PrintError(err, name + " (" + kSideNames[side] + ")", ReasonOf(error, "cannot be read"));
            read = false;
        }
    }
    if (!read) return kMergeFailed;

    MergeOptions options = args.options;
    options.diff3 = options.diff3 || GitAsksForDiff3();
    options.lineEnd = LineEndOf(files[1]);
    MergeOutcome merged = MergeRecordFiles(files[0], files[1], files[2], options);
    bool bad = false;
    for (int side = 0; side < 3; ++side) {
        if (!merged.bad[side]) continue;
        bad = true;
        PrintFaults(err, name + " (" + kSideNames[side] + ")", LocateFaults(files[side], kFaultsListed));
    }
    if (bad) {
        // Left as it was, the file would show no conflict, and a commit of it
        // would drop the other side's changes without a word.
        std::string lines;
        std::string failure = LineMerge(args, options, lines) ? WriteMerge(fs, args.paths[1], oursRead, lines)
                                                              : "git merge-file cannot be run";
        if (failure.empty())
            err << name << ": not merged by key; git's line merge is in the file, with conflict markers where "
                           "the versions differ: mend the bad lines and the conflicts, then stage the file\n";
        else
            err << name << ": not merged (" << failure << "); the file is as it was (ours): "
                           "mend the bad lines, merge the changes by hand, then stage the file\n";
        return kMergeFailed;
    }
    std::string failure = WriteMerge(fs, args.paths[1], oursRead, merged.text);
    if (!failure.empty()) {
        err << name << " (ours): error: " << failure << '\n';
        return kMergeFailed;
    }
    if (merged.conflicts == 0) return kMergeClean;
    err << name << ": " << merged.conflicts << (merged.conflicts == 1 ? " key" : " keys") << " in conflict\n";
    return kMergeConflicts;
}

// Parses the arguments; -1 when they call for a merge, else the status.
int Parse(int argc, const char* const* argv, std::ostream& out, std::ostream& err, MergeArgs& args) {
    bool install = false;
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i] ? argv[i] : "";
        if (arg.size() < 2 || arg[0] != '-') break;
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg == "--help" || arg == "-h") {
            out << kMergeUsageText << "\n\n" << kMergeHelp;
            return kMergeClean;
        } else if (arg == "--diff3") {
            args.options.diff3 = true;
        } else if (arg == "--install") {
            install = true;
        } else if (arg == "--marker-size" || arg.compare(0, 14, "--marker-size=") == 0) {
            std::string value;
            if (arg.size() > 13) {
                value = arg.substr(14);
            } else if (i + 1 < argc && argv[i + 1]) {
                value = argv[++i];
            }
            char* end = nullptr;
            unsigned long n = value.empty() || value[0] == '-' ? 0 : std::strtoul(value.c_str(), &end, 10);
            if (n < 1 || n > kMaxMarkerSize || !end || *end)
                return MergeUsageError(err, "--marker-size takes a number from 1 to 4096");
            args.options.markerSize = n;
        } else {
            return MergeUsageError(err, "unknown option '" + arg + "'");
        }
    }
    for (; i < argc; ++i) args.paths.push_back(argv[i] ? argv[i] : "");
    if (install) {
        if (!args.paths.empty()) return MergeUsageError(err, "--install takes no files");
        return InstallMergeDriver(out, err);
    }
    if (args.paths.size() < 3 || args.paths.size() > 4)
        return MergeUsageError(err, "BASE, OURS and THEIRS are needed, and PATHNAME may follow");
    return -1;
}

}  // namespace

int TervaloMergeMain(int argc, const char* const* argv, std::ostream& out, std::ostream& err, FileSystem& fs) {
    MergeArgs args;
    int status;
    try {
        status = Parse(argc, argv, out, err, args);
        if (status < 0) status = Merge(args, err, fs);
    } catch (const std::bad_alloc&) {
        err << "tervalo-cli merge: out of memory\n";
        status = kMergeFailed;
    }
    out.flush();
    if (!out && status == kMergeClean) {
        err << "tervalo-cli: cannot write to standard output\n";
        status = 1;
    }
    err.flush();
    return status;
}
