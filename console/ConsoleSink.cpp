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
            ShowFaults(name, bytes);
        } else {
            std::string reason = ReasonOf(error, FallbackReason(m_kind));
            PrintError(m_err, name, reason);
            if (m_options.github) AnnotateFile(m_out, name, reason);
        }
    }
    m_err << std::flush;
}

void ConsoleSink::ShowFaults(const std::string& name, const std::string& bytes) {
    // A plain run needs only the first; a check or a run that goes on
    // shows them all, as far as is useful.
    FaultList faults = LocateFaults(bytes, m_options.GoesOn() ? kFaultsListed : 1);
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

void ConsoleSink::OldCopyLeft(const CString& path, const CString& copy) {
    m_progress.Clear();
    m_err << "tervalo-cli: " << Shown(path) << " was rewritten in full; its old content is left in " << Shown(copy)
          << ", which may be deleted\n";
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
                CheckBytes(name, bytes);
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
    ShowFaults(name, bytes);
    m_err << std::flush;
}

void ConsoleSink::CheckBytes(const std::string& name, const std::string& bytes) {
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
            AppendUnifiedDiff(diff, bytes, normal, name, name, DiffStyle{m_color});
            Print(diff);
        }
        m_lineEndsOnly = m_lineEndsOnly || lineEndsOnly;
    }
}

void ConsoleSink::EntryFailed(const std::string& entry, const std::string& problem) {
    m_failed = true;
    m_progress.Clear();
    PrintError(m_err, entry.empty() ? "\"\"" : entry, problem);
    m_err << std::flush;
}

void ConsoleSink::End() {
    m_progress.Clear();
    if (m_lineEndsOnly && m_options.Checking()) {
        m_err << "tervalo-cli: note: some record files differ from their normal form only in their line ends\n"
                 "(LF where CR LF belongs). Where git checks them out with LF, as a \"* text=auto\" line in\n"
                 ".gitattributes makes it do, add \"*.dbr -text\" (or \"*.dbr text eol=crlf\") to\n"
                 ".gitattributes, then check them out again.\n"
              << std::flush;
    }
}
