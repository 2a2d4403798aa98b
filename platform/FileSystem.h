// The one seam between the program and the file system. The real backends
// (posix/, win32/) and the test doubles implement it; everything above it
// (CFileFind, CStdioFile, the replace in Replacement.h, the walk and the
// sorter) is shared code.
//
// The seam keeps nothing between calls: what a search found and what an open
// read come back as facts, and the calls that act on a file are given them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "CString.h"

// What an operation that failed leaves behind: the system's error code and
// its description, for messages. exists: a create failed because the name
// is taken. keepNew: a replace failed half way, and the new file now holds
// the only complete copy of the content: it must not be removed. oldCopy: a
// replace that put the new content in place left the old content beside it
// under this name, which could not be removed.
struct FileError {
    long code = 0;
    CString reason;
    bool exists = false;
    bool keepNew = false;
    CString oldCopy = CString();
};

// What tells one file from every other while it exists: device and inode on
// POSIX; on Windows the volume serial and the 128-bit file id, or the 64-bit
// file index where the system or the file system has no such id. known is
// false where the system gives none (a share that reports index 0).
struct FileId {
    uint64_t volume = 0;
    uint64_t high = 0;
    uint64_t low = 0;
    bool known = false;
    bool operator==(const FileId& o) const {
        return known && o.known && volume == o.volume && high == o.high && low == o.low;
    }
    bool operator!=(const FileId& o) const { return !(*this == o); }
};

// What the system says of one file at one moment.
struct FileFacts {
    DWORD attributes = 0;  // FILE_ATTRIBUTE_*; FILE_ATTRIBUTE_DIRECTORY for directories
    uint64_t size = 0;
    int64_t lastWrite = 0;  // in the system's own units (ns since 1970, or a FILETIME)
    // The last change of anything about the file, content or metadata
    // (owner, mode, links, ACL, attributes): st_ctim on POSIX, ChangeTime on
    // Windows, in the same units. 0 where the system does not tell.
    int64_t changeTime = 0;
    FileId id;
    // POSIX only (0 elsewhere): the permission bits, owner, group and count
    // of names of the file.
    uint32_t mode = 0;
    uint32_t owner = 0;
    uint32_t group = 0;
    uint32_t links = 1;
    // Opened files only: the path that the name led to when it was opened,
    // links resolved; the file that new content replaces.
    CString target;
    // Opened files only: while the open lasts, no other program can write,
    // replace, move or delete the file, and the name led to it directly (no
    // link on the way, a local volume). The name then still leads to the
    // file as it was read until the open is let go: nothing is left for a
    // look before the replace to find.
    bool nameHeld = false;
};

// The same file, unchanged: the same identity, size, last write and change
// time (another program that writes in place keeps the identity; one that
// changes the mode, owner, links or attributes moves the change time), and
// the same bits, owner, group and count of names, which a change time of
// coarse resolution may not tell. Without an identity, or a change time on
// either side, the rest decides.
inline bool SameFileUnchanged(const FileFacts& a, const FileFacts& b) {
    if ((a.id.known || b.id.known) && a.id != b.id) return false;
    if (a.changeTime != 0 && b.changeTime != 0 && a.changeTime != b.changeTime) return false;
    return a.size == b.size && a.lastWrite == b.lastWrite && a.mode == b.mode && a.owner == b.owner &&
           a.group == b.group && a.links == b.links;
}

// One entry that a directory search yields, with what the search said of it
// (the identity only where the search gives it).
struct FoundEntry {
    CString name;
    FileFacts facts;
};

// The entries of one search, one step at a time.
class DirectoryListing {
public:
    enum class Step { Entry, End, Error };
    virtual ~DirectoryListing() = default;
    // Entry: entry holds the next match. End: there is none. Error: the
    // listing broke off (error says why); what it held after is unknown.
    virtual Step Next(FoundEntry& entry, FileError& error) = 0;
};

// A file opened for reading.
class InputFile {
public:
    virtual ~InputFile() = default;
    // Reads up to size bytes; got == 0 at the end of the file.
    virtual bool Read(void* buffer, size_t size, size_t& got, FileError& error) = 0;
    // The open file's facts, taken at the open (target included).
    virtual const FileFacts& Facts() const = 0;
};

// A file written from its start: a new one (CreateExclusive), or one written
// in place (OpenInPlace).
class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual bool Write(const void* data, size_t size, FileError& error) = 0;
    // Starts writing what was written so far out to the disk, without
    // waiting for it (a flush that follows then has less to wait for).
    virtual bool StartWriteback(FileError& error) = 0;
    // Returns once everything written is on the disk.
    virtual bool Flush(FileError& error) = 0;
    // Ends the file where the writing stands (after writing in place).
    virtual bool Truncate(FileError& error) = 0;
    // Hands everything to the system and closes; false where the system
    // says the data did not all arrive. Nothing is written after it.
    virtual bool Close(FileError& error) = 0;
    // Removes the file at once: called from a signal handler or the
    // console's control handler, so it only makes async-signal-safe calls
    // and allocates nothing.
    virtual void RemoveOnInterrupt() noexcept = 0;
};

// A file of the program's own, beside a record file, that it leaves on the
// disk, and what it holds.
enum class LeftoverKind {
    PartialNew,   // maybe only part of the new content: of no use
    CompleteNew,  // all of the new content; the record file may hold only part of it
    UnplacedNew,  // all of the new content, never put in place: the record file is as it was
    PlacedNew,    // the same content as the record file, which was rewritten
    OldContent,   // the old content, put aside by a replace; the record file is complete
};

struct Leftover {
    CString path;    // the file left
    CString record;  // the record file it belongs to
    LeftoverKind kind = LeftoverKind::PartialNew;
    FileError error;  // why it could not be removed
    // Of a file that an earlier, interrupted run left, as a walk finds it:
    // the record file is not there; its name was cut short in the file's
    // name, so that record is only its beginning.
    bool interrupted = false;
    bool recordMissing = false;
    bool recordNameCut = false;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Starts a search for pattern (wildcards * and ? in the last component).
    // Null when nothing matches (error.code stays 0) or when the search
    // itself failed (error says why); otherwise root holds the absolute
    // directory that the matches are in and the listing yields them.
    virtual std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root,
                                                        FileError& error) = 0;

    // Opens an existing regular file for reading, for exclusive use where the
    // system allows it. Null on failure.
    virtual std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) = 0;

    // The facts of what path leads to now, links followed (target stays
    // empty). False where nothing is there or the system cannot tell.
    virtual bool Identify(const CString& path, FileFacts& facts, FileError& error) = 0;

    // FILE_ATTRIBUTE_NORMAL clears read-only, hidden, system and archive
    // (on POSIX: makes the file writable by its owner). The change is made
    // to the file that file was opened as (path is the name it was opened
    // by), and only while it is still as facts, what was read, say: a file
    // that another program has changed or put under the name since keeps
    // what it has. A change that facts show is not needed costs no call.
    // Afterwards facts hold the file's attributes and its change time as
    // the change left them, so that this change of our own does not make
    // the file look changed by another program.
    virtual bool SetAttributes(const CString& path, const InputFile& file, DWORD attributes, FileFacts& facts,
                               FileError& error) = 0;

    // Creates the file at path, which must not exist (error.exists when it
    // does), for writing. It gets the owner, group and permission bits of
    // like as far as the process may give them.
    virtual std::unique_ptr<OutputFile> CreateExclusive(const CString& path, const FileFacts& like,
                                                        FileError& error) = 0;

    // Moves the closed file at from over the existing file at to, in one
    // step; the file at to must still be there (nothing that has gone is
    // brought back). Where the system can, what belongs to the file rather
    // than to its content (its ACL, creation time, streams) is kept. A
    // failure that leaves the file at from as the only copy of the content
    // sets error.keepNew.
    virtual bool Replace(const CString& from, const CString& to, FileError& error) = 0;

    // Removes the file at path.
    virtual bool Remove(const CString& path, FileError& error) = 0;

    // Gives to, a file made by CreateExclusive, all that from has besides
    // its content: owner, group, permission bits, extended attributes and
    // ACL (of the facts given, which may be newer than from's own). False
    // when any of it cannot be given: a rename of to would then change
    // what the file is.
    virtual bool CopyIdentity(const InputFile& from, const FileFacts& facts, OutputFile& to, FileError& error) = 0;

    // Opens the file that read was opened as for writing from its start,
    // leaving its content as it is until written; fails unless the name
    // still leads to that file, as expected (read's facts, brought up to
    // date by SetAttributes) describes it. A system that cannot open a file
    // for writing while it is open for reading lets read go first (read is
    // then null).
    virtual std::unique_ptr<OutputFile> OpenInPlace(const CString& name, std::unique_ptr<InputFile>& read,
                                                    const FileFacts& expected, FileError& error) = 0;

    // Puts everything written to files on the disk, in one flush where the
    // system has one (for a batch of new files whose writeback has been
    // started); files is what was written.
    virtual bool FlushAll(const std::vector<OutputFile*>& files, FileError& error) = 0;

    // Puts the entry of path, a file made by CreateExclusive and flushed
    // since, in its directory on the disk.
    virtual bool FlushDirectoryOf(const CString& path, FileError& error) = 0;

    // The process's own number, for names that no other process picks.
    virtual unsigned long ProcessId() = 0;

    // Whether a process of that number is running on this machine.
    virtual bool ProcessRunning(unsigned long pid) { return pid == ProcessId(); }

    // Gives the closed file at from the name to, which must not exist
    // (error.exists when it does). False where the system cannot.
    virtual bool Rename(const CString& from, const CString& to, FileError& error) {
        (void)from;
        (void)to;
        error = FileError{0, "not supported"};
        return false;
    }

    // How many files this process may hold open at once besides those it
    // holds now; SIZE_MAX where the system sets no such limit.
    virtual size_t OpenFilesLeft() { return SIZE_MAX; }

    // Whether two threads may call it at once: true where the calls keep
    // nothing between them but what the system keeps.
    virtual bool Concurrent() { return false; }
};

// The file system of the machine the program runs on.
FileSystem& GetRealFileSystem();
