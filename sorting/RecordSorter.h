// The run: the tree walk that finds record files (".dbr") and the sorter that
// checks each one and rewrites it in normal order. No GUI here: messages go
// through an IMessageSink, which the dialog shows in message boxes, the
// console front end prints, and tests record.
#pragma once

#include <unordered_set>

#include "../platform/CFileException.h"
#include "../platform/CString.h"
#include "../platform/FileSystem.h"
#include "../platform/ReplaceBatch.h"

extern const char kCompleteMessage[];      // "Complete!"
extern const char kCannotOpenMessage[];    // "Cannot open file:\r\n"
extern const char kBadFileMessage[];       // "Error detected within file:\r\n"
extern const char kCannotWriteMessage[];   // "Cannot write file:\r\n"
// Why an entry that RunUnnamable is given cannot be opened.
extern const char kUnnamableReason[];

class CFileFind;

enum class MessageKind { Failure, Complete };

// What a failure was, for a front end that says more than the message.
enum class FailureKind { CannotOpen, Bad, CannotWrite, ReadError, WriteError };

class IMessageSink {
public:
    virtual ~IMessageSink() = default;
    // Shows text and returns once the user has seen it.
    virtual void ShowMessage(const CString& text, MessageKind kind) = 0;
    // A record file passed. changed: its bytes differ from its normal form,
    // so that it was rewritten with other content (or, when checking, would
    // be). The dialog has no use for this.
    virtual void RecordFileDone(const CString& path, bool changed) {
        (void)path;
        (void)changed;
    }
    // A record file that passed differs from its normal form only in its
    // line breaks (LF for CR LF, a last line without one); its
    // RecordFileDone follows. The dialog has no use for this.
    virtual void LineEndsDiffer(const CString& path) { (void)path; }
    // The file at path, which is about to be reported as not written, may
    // hold part of its new content, or be gone: a write into it, or a
    // replace of it, failed half way. copy holds all of its new content.
    virtual void CopyKept(const CString& path, const CString& copy) {
        (void)path;
        (void)copy;
    }
    // A file of the program's own beside a record file that stays on the
    // disk: one that this run could not remove, or one that an interrupted
    // run left, met by the walk. The dialog has no use for this.
    virtual void FileLeft(const Leftover& leftover) { (void)leftover; }
    // Comes just before a failure's message: what failed, where, and the
    // system's reason where there is one. The dialog has no use for this.
    virtual void Failing(FailureKind kind, const CString& path, const FileError& error) {
        (void)kind;
        (void)path;
        (void)error;
    }
    // Asked before each entry of a walk (record file or directory), from
    // the thread that runs it. Once true it stays true: the walk puts what
    // is pending in place and ends there, and Run shows no "Complete!".
    virtual bool StopRequested() { return false; }
};

// Reports an I/O error in the middle of a file through sink, as a walk that
// goes on after one does.
void ReportFileException(IMessageSink& sink, const CFileException& e);

// What becomes of a record file whose lines all pass.
enum class SortMode {
    RewriteAlways,  // rewritten in normal order (the dialog's run)
    ChangedOnly,    // the same, but a file already in normal form is not touched
    Check,          // nothing written; a failure is reported and the walk goes on
};

class CRecordSorter {
public:
    explicit CRecordSorter(IMessageSink& sink, FileSystem& fs = GetRealFileSystem())
        : m_sink(sink), m_fs(fs), m_batch(fs) {}

    void SetMode(SortMode mode) { m_mode = mode; }
    // A walk goes on after every failure, as a check does, and rewrites
    // every good file; each failure is reported.
    void SetKeepGoing(bool keepGoing) { m_keepGoing = keepGoing; }
    // A literal entry names one file or directory: its "*" and "?" are
    // characters of the name, never wildcards.
    void SetLiteral(bool literal) { m_literal = literal; }
    // Durable (the default): new content is on the disk before it replaces
    // the old, flushed once for each batch of files.
    void SetDurable(bool durable) { m_batch.SetDurable(durable); }

    // One run over the entry: the walk, then "Complete!". An I/O error in the
    // middle of a file (CFileException) leaves it before "Complete!"; so does
    // a stop that the sink asked for.
    void Run(const CString& entry);
    // The run of an entry that cannot be searched as it was given (its
    // characters do not fit the code page): "Cannot open file:" with the
    // entry, then "Complete!". Nothing is searched under another name.
    void RunUnnamable(const CString& entry);

    // Sorts every record file that pattern names or that lies below a
    // directory it names, each directory once. FALSE once a failure has been
    // reported: a file's, or a directory found on the way that cannot be
    // listed (the pattern itself when it cannot be searched); FALSE too when
    // the sink asked to stop before the walk was through.
    BOOL WalkPattern(CString pattern);

    // Checks one record file and rewrites it in normal order. FALSE once a
    // failure has been reported; the file then keeps its content. When
    // checking, nothing is written and the result is always TRUE (an I/O
    // error is reported as a failure too).
    BOOL SortRecordFile(CString path);

    // The order of record lines: unsigned bytes, the first difference
    // decides, a prefix sorts first; -1, 0 or +1.
    static int CompareLines(const char* a, size_t aLength, const char* b, size_t bLength);
    // The same order in the shape that qsort takes: a and b point at CStrings.
    static int CompareLines(const void* a, const void* b);

private:
    // Walks what pattern finds; a failed search is reported under name.
    // entry: pattern is the run's own entry.
    BOOL WalkSearch(const CString& pattern, const CString& name, bool entry);
    BOOL WalkDirectory(const CString& path);
    void Report(const char* words, const CString& path, const FileError& error = FileError());
    // Reports a failure of the file at path; returns the continue flag.
    BOOL Fail(const char* words, const CString& path, const FileError& error = FileError());
    BOOL GoesOn() const { return m_mode == SortMode::Check || m_keepGoing; }
    BOOL SortOrCheck(const CString& path);
    // Puts the batch in place and reports its files as done; FALSE once a
    // failure has been reported (an I/O error throws). all: every file
    // waiting; else those that the batch has to tell now (the last full
    // batch may stay with its thread).
    BOOL CommitPending(bool all = true);
    // Names the files of ours that could not be removed since the last call.
    void ReportLeftovers();
    // A file found by the walk whose name is one of ours, left by a run that
    // is over: named, unless the process that made it still runs.
    void ReportFoundLeftover(const CFileFind& finder);

    IMessageSink& m_sink;
    FileSystem& m_fs;
    SortMode m_mode = SortMode::RewriteAlways;
    bool m_keepGoing = false;
    bool m_literal = false;
    // Rewritten files on their way into place, and what to report of each.
    struct Done {
        CString path;
        bool changed;
    };
    ReplaceBatch m_batch;
    std::vector<Done> m_done;
    bool m_walking = false;
    struct FileIdHash {
        size_t operator()(const FileId& id) const {
            return std::hash<uint64_t>()((id.low * 31 + id.high) * 31 + id.volume);
        }
    };
    // The directories that this walk has entered.
    std::unordered_set<FileId, FileIdHash> m_walked;
};
