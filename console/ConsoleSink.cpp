#include "ConsoleSink.h"

#include <chrono>
#include <cstdio>

#include "Diagnostics.h"
#include "UnifiedDiff.h"

namespace {
double SteadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

const char* FallbackReason(FailureKind kind) {
    switch (kind) {
    case FailureKind::CannotOpen: return "cannot open";
    case FailureKind::CannotWrite: return "cannot write";
    case FailureKind::ReadError: return "read error";
    case FailureKind::WriteError: return "write error";
    case FailureKind::Bad: break;
    }
    return "bad record file";
}
// What a file of ours that stays holds, and what to do with it; {} stands
// for its record file. One that an interrupted run left is named only by
// the walk, which knows no more than its name says.
struct LeftoverNote {
    LeftoverKind kind;
    bool interrupted;
    bool missing;  // the record file is not there
    const char* text;
};

const LeftoverNote kLeftoverNotes[] = {
    {LeftoverKind::PartialNew, false, false, "it holds part of the new content of {} and is of no use: delete it"},
    {LeftoverKind::CompleteNew, false, false,
     "it holds all of the new content of {}, which may hold only part of it: copy it over {} and delete it"},
    {LeftoverKind::UnplacedNew, false, false,
     "it holds all of the new content of {}, which was not put in place ({} is as it was): delete it"},
    {LeftoverKind::PlacedNew, false, false, "it holds the same content as {}, which was rewritten: delete it"},
    {LeftoverKind::OldContent, false, false, "it holds the old content of {}, which is complete: delete it"},
    {LeftoverKind::PartialNew, true, false,
     "it holds new content for {} that may be partial: compare the two before using it, and delete it once no "
     "Tervalo is running"},
    {LeftoverKind::CompleteNew, true, false,
     "it holds all of the new content of {}, which may hold only part of it: once no Tervalo is running, copy it "
     "over that file and delete it"},
    {LeftoverKind::OldContent, true, false,
     "it holds the old content of {}, which is complete: delete it once no Tervalo is running"},
    {LeftoverKind::PartialNew, true, true,
     "{} is missing, and this holds new content for it that may be partial: make sure it is whole before you "
     "rename it to {}, once no Tervalo is running"},
    {LeftoverKind::CompleteNew, true, true,
     "{} is missing, and this holds all of its new content: once no Tervalo is running, rename it to {}"},
    {LeftoverKind::OldContent, true, true,
     "{} is missing, and this holds its old content: once no Tervalo is running, rename it to {} (or the new "
     "content beside it, once you have made sure it is whole)"},
};

std::string NoteOnLeftover(LeftoverKind kind, bool interrupted, bool missing) {
    for (const LeftoverNote& n : kLeftoverNotes)
        if (n.kind == kind && n.interrupted == interrupted && n.missing == missing) return n.text;
    return missing ? NoteOnLeftover(kind, interrupted, false) : kLeftoverNotes[0].text;
}
}  // namespace

ProgressLine::ProgressLine(std::ostream& err, const CliConsole& console)
    : m_err(err), m_on(console.errIsTerminal), m_clock(console.clock ? console.clock : SteadySeconds),
      m_start(m_on ? m_clock() : 0) {}

void ProgressLine::Update(unsigned long done, unsigned long changed, const char* changedWords) {
    if (!m_on) return;
    double now = m_clock();
    if (now - m_start < 1.0 || now - m_drawn < 0.1) return;
    m_drawn = now;
    char text[128];
    int n = std::snprintf(text, sizeof text, "%lu record files, %lu %s, %.0f s", done, changed, changedWords,
                          now - m_start);
    size_t width = n > 0 ? static_cast<size_t>(n) : 0;
    m_err << '\r' << text;
    if (width < m_width) m_err << std::string(m_width - width, ' ');
    m_err << std::flush;
    m_width = width;
}

void ProgressLine::Clear() {
    if (m_width == 0) return;
    m_err << '\r' << std::string(m_width, ' ') << '\r' << std::flush;
    m_width = 0;
}

ConsoleSink::ConsoleSink(std::ostream& out, std::ostream& err, const CliOptions& options,
                         const CliConsole& console, FileSystem& fs)
    : m_out(out), m_err(err), m_options(options), m_fs(fs), m_progress(err, console),
      m_outIsTerminal(console.outIsTerminal),
      m_color(options.color == CliOptions::Color::Always ||
              (options.color == CliOptions::Color::Auto && console.outIsTerminal)) {}

std::string ConsoleSink::Shown(const CString& path) const {
    return m_paths ? m_paths->Display(path.str()) : path.str();
}

void ConsoleSink::Print(const std::string& text) {
    if (m_outIsTerminal) m_progress.Clear();
    m_out << text << std::flush;
}

void ConsoleSink::ShowMessage(const CString& text, MessageKind kind) {
    if (kind == MessageKind::Complete) {
        // A check has no runs to complete: its standard output is its findings.
        if (!m_options.Checking()) Print(text.str() + '\n');
        return;
    }
    m_failed = true;
    ++m_done;
    m_progress.Clear();
    // The words, then on the next line the path, shown as the entry was
    // typed, and any reason after it.
    CString message = text;
    message.Replace("\r\n", "\n");
    std::string& lines = message.str();
    size_t at = lines.find('\n');
    const std::string& path = m_failingPath.str();
    if (m_failing && at != std::string::npos && lines.compare(at + 1, path.size(), path) == 0)
        lines.replace(at + 1, path.size(), Shown(m_failingPath));
    m_err << lines << '\n';
    if (m_failing) {
        m_failing = false;
        std::string name = Shown(m_failingPath);
        std::string bytes;
        FileError error = m_error;
        if (m_kind == FailureKind::Bad && ReadWholeFile(m_fs, m_failingPath, bytes, error)) {
            // A plain run needs only the first; a check or a run that goes
            // on shows them all, as far as is useful.
            ShowFaults(name, bytes, m_options.GoesOn() ? kFaultsListed : 1);
        } else {
            std::string reason = ReasonOf(error, FallbackReason(m_kind));
            PrintError(m_err, name, reason);
            if (m_options.github) AnnotateFile(m_out, name, reason);
        }
    }
    m_err << std::flush;
}

void ConsoleSink::ShowFaults(const std::string& name, const std::string& bytes, size_t limit) {
    FaultList faults = LocateFaults(bytes, limit);
    PrintFaults(m_err, name, faults);
    if (m_options.github) AnnotateFaults(m_out, name, faults);
}

void ConsoleSink::Failing(FailureKind kind, const CString& path, const FileError& error) {
    m_failing = true;
    m_kind = kind;
    m_failingPath = path;
    m_error = error;
}

void ConsoleSink::CopyKept(const CString& path, const CString& copy) {
    m_progress.Clear();
    m_err << "tervalo-cli: " << Shown(path) << " was not fully written; all of its new content is in "
          << Shown(copy) << '\n';
}

void ConsoleSink::FileLeft(const Leftover& leftover) {
    m_progress.Clear();
    const std::string path = Shown(leftover.path);
    std::string record = Shown(leftover.record);
    if (leftover.recordNameCut) record = "the file beside it whose name begins with " + record;
    std::string note = NoteOnLeftover(leftover.kind, leftover.interrupted, leftover.recordMissing);
    for (size_t at; (at = note.find("{}")) != std::string::npos;) note.replace(at, 2, record);
    m_err << path << ": warning: "
          << (leftover.interrupted ? std::string("left by an interrupted run")
                                   : "could not be removed: " + ReasonOf(leftover.error, "unknown reason"))
          << '\n'
          << path << ": note: " << note << '\n'
          << std::flush;
}

void ConsoleSink::RecordFileDone(const CString& path, bool changed) {
    ++m_done;
    if (changed || !(m_options.Checking() || m_options.changedOnly)) ++m_written;
    if (changed) {
        m_changed = true;
        std::string name = Shown(path);
        if (m_options.diff) {
            // Read again for the diff alone.
            std::string bytes;
            FileError error;
            if (ReadWholeFile(m_fs, path, bytes, error)) {
                CheckBytes(name, bytes, m_paths ? m_paths->Display(path.str(), true) : name);
            } else {
                Failing(FailureKind::CannotOpen, path, error);
                ShowMessage(CString(kCannotOpenMessage) + path, MessageKind::Failure);
            }
        } else if (m_options.check) {
            // The list of a check is its standard output.
            Print(name + '\n');
            if (m_options.github) AnnotateFile(m_out, name, "not in normal order");
        } else if (m_options.list) {
            Print(name + '\n');
        }
    }
    m_progress.Update(m_done, m_written, m_options.Checking() ? "to rewrite" : "rewritten");
}

void ConsoleSink::ReportBadBytes(const std::string& name, const std::string& bytes) {
    m_failed = true;
    m_progress.Clear();
    CString message = CString(kBadFileMessage) + CString(name.c_str(), static_cast<int>(name.size()));
    message.Replace("\r\n", "\n");
    m_err << message.str() << '\n';
    // Bytes in hand (a filter's, a check's) have all their faults shown.
    ShowFaults(name, bytes, kFaultsListed);
    m_err << std::flush;
}

void ConsoleSink::CheckBytes(const std::string& name, const std::string& bytes, const std::string& diffName) {
    std::string normal;
    bool lineEndsOnly = false;
    NormalFormResult result = NormalFormOf(bytes, normal, &lineEndsOnly);
    if (result == NormalFormResult::Bad) {
        ReportBadBytes(name, bytes);
    } else if (result == NormalFormResult::Changed) {
        m_changed = true;
        if (m_options.github) AnnotateFile(m_out, name, "not in normal order");
        if (m_options.diff) {
            std::string diff;
            AppendUnifiedDiff(diff, bytes, normal, diffName, diffName, DiffStyle{m_color});
            Print(diff);
        }
        m_lineEndsOnly = m_lineEndsOnly || lineEndsOnly;
    }
}

void ConsoleSink::EntryFailed(const std::string& entry, const std::string& problem) {
    m_failed = true;
    m_progress.Clear();
    const std::string shown = entry.empty() ? "\"\"" : entry;
    PrintError(m_err, shown, problem);
    if (m_options.github) AnnotateFile(m_out, shown, problem);
    m_err << std::flush;
}

void ConsoleSink::OutOfMemory(const std::string& entry) noexcept {
    m_failed = true;
    try {
        m_progress.Clear();
        const std::string& shown = entry.empty() ? std::string("\"\"") : entry;
        m_err << "Out of memory while running:\n" << shown << '\n' << shown << ": error: out of memory\n" << std::flush;
    } catch (...) {
        // Nothing more can be said.
    }
}

void ConsoleSink::End() {
    m_progress.Clear();
    if (m_lineEndsOnly && m_options.Checking()) {
        m_err << "tervalo-cli: note: some record files differ from their normal form only in their line ends\n"
                 "(LF where CR LF belongs). Where git stores them with LF, as a \"* text=auto\" line in\n"
                 ".gitattributes makes it do, add \"*.dbr text eol=crlf\" to .gitattributes, commit it and\n"
                 "check them out again (git rm --cached -r -q . && git reset --hard); or add \"*.dbr -text\",\n"
                 "rewrite them (tervalo-cli --changed-only --keep-going .) and commit them.\n"
              << std::flush;
    }
}
