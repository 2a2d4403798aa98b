// What tervalo-cli shows of a run: messages and their located diagnostics on
// standard error, "Complete!", lists, diffs and annotations on standard
// output, and a progress line on a terminal.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "../sorting/RecordSorter.h"
#include "CliEntries.h"
#include "CliMain.h"
#include "CliOptions.h"

// One status line on a terminal: shown once the work has taken a second,
// redrawn at most ten times a second, and wiped before anything else is
// written to that terminal.
class ProgressLine {
public:
    ProgressLine(std::ostream& err, const CliConsole& console);
    void Update(unsigned long done, unsigned long changed, const char* changedWords);
    void Clear();

private:
    std::ostream& m_err;
    bool m_on;
    std::function<double()> m_clock;
    double m_start;
    double m_drawn = -1;  // when the line was last drawn
    size_t m_width = 0;   // of the line on the screen; 0 when none is
};

class ConsoleSink : public IMessageSink {
public:
    ConsoleSink(std::ostream& out, std::ostream& err, const CliOptions& options, const CliConsole& console,
                FileSystem& fs);

    // How the paths of the entry being run are shown; none: as they come.
    void SetEntry(const EntryPaths* paths) { m_paths = paths; }

    void ShowMessage(const CString& text, MessageKind kind) override;
    void Failing(FailureKind kind, const CString& path, const FileError& error) override;
    void CopyKept(const CString& path, const CString& copy) override;
    void OldCopyLeft(const CString& path, const CString& copy) override;
    void RecordFileDone(const CString& path, bool changed) override;
    void LineEndsDiffer(const CString&) override { m_lineEndsOnly = true; }

    // An entry that names nothing: "ENTRY: error: PROBLEM".
    void EntryFailed(const std::string& entry, const std::string& problem);
    // The bytes of one record file, shown under name: its diff, annotations
    // and line-end note as a check of a file gives them; bad bytes are
    // reported as ReportBadBytes does.
    void CheckBytes(const std::string& name, const std::string& bytes);
    // Bad bytes under name: the message and their located faults.
    void ReportBadBytes(const std::string& name, const std::string& bytes);
    // Ends the output: the progress line goes, and the note on line ends
    // comes once.
    void End();
    bool Failed() const { return m_failed; }
    bool Changed() const { return m_changed; }

private:
    std::string Shown(const CString& path) const;
    void Print(const std::string& text);
    void ShowFaults(const std::string& name, const std::string& bytes);

    std::ostream& m_out;
    std::ostream& m_err;
    const CliOptions& m_options;
    FileSystem& m_fs;
    ProgressLine m_progress;
    bool m_outIsTerminal;
    bool m_color;
    const EntryPaths* m_paths = nullptr;
    // The failure that the next message reports.
    bool m_failing = false;
    FailureKind m_kind = FailureKind::Bad;
    CString m_failingPath;
    FileError m_error;
    bool m_failed = false;
    bool m_changed = false;
    bool m_lineEndsOnly = false;  // a file differs from its normal form only in line ends
    unsigned long m_done = 0;
    unsigned long m_written = 0;
};
