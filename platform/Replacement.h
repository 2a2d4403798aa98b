// New content for a file that was read. It is written to a temporary file
// beside the file, and put in its place only by Commit, while the name still
// leads to the file as it was read. Until then, and whatever fails, the file
// keeps its old content; the temporary file is removed on every failure,
// when the object goes uncommitted, and on an interrupt.
//
// Where a rename would change what the file is (more names than one, or an
// owner, ACL or extended attribute the new file cannot be given), Commit
// writes the content into the file itself instead, once the temporary file
// is complete and on the disk as a copy; if that write fails, the copy stays
// (KeptCopy) and the file may hold part of the new content.
#pragma once

#include <memory>
#include <vector>

#include "FileSystem.h"

// The error of a commit that found the file changed since it was read.
constexpr long kChangedSinceRead = -1;

class Replacement {
public:
    // name: the path the file was opened by; read: that open, which is kept
    // until the commit, so that no other file can take its identity. Null on
    // failure, with the reason in error.
    // The files of ours that a replacement gave up on and could not remove,
    // in that order, since they were last taken: the run names them. Kept
    // here, not in the file system, whose calls keep nothing between them.
    static std::vector<Leftover> TakeLeftovers();
    static std::unique_ptr<Replacement> Create(FileSystem& fs, const CString& name, std::unique_ptr<InputFile> read,
                                               FileError& error);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    bool Write(const void* data, size_t size, FileError& error);
    // Every byte is written: the temporary file holds all of the new content.
    void Finish() { m_whole = true; }
    // Starts the new content on its way to the disk, for a flush to come (a
    // run that does not wait for the disk skips it). Advice only: where it
    // fails, the flush does all the work.
    void StartWriteback();
    // The temporary file, for a flush of many at once; Flushed says that one
    // has put it on the disk.
    OutputFile& Output() { return *m_out; }
    void Flushed() { m_flushed = true; }
    // A flush of it failed: its content on the disk is not known.
    void FlushFailed() { m_whole = false; }
    uint64_t Size() const { return m_size; }

    enum class Result {
        Placed,       // the file holds the new content
        NotPlaced,    // it does not: error says why ("Cannot write file")
        WriteFailed,  // the new content could not be finished (an I/O error)
    };
    // The attributes step, then the new content in place: by a rename of
    // the temporary file as it stands (whoever wants it on the disk first
    // flushes it before), or by a write into the file, which is always
    // flushed, as its copy is before it.
    Result Commit(FileError& error);
    // The complete copy of the new content that a failed write in place
    // left beside the file; empty when there is none.
    const CString& KeptCopy() const { return m_kept; }
    const CString& Name() const { return m_name; }
    const FileFacts& Facts() const { return m_facts; }

private:
    Replacement(FileSystem& fs, const CString& name, std::unique_ptr<InputFile> read, CString temp,
                std::unique_ptr<OutputFile> out);
    Result Rename(FileError& error);
    Result WriteInPlace(FileError& error);
    // The temporary file, complete and on the disk, under a name that says so.
    void NameAsCopy();
    // Removes the temporary file; one that stays is noted as holding kind.
    void Discard(LeftoverKind kind) noexcept;
    // Copies the temporary file's content into out.
    bool CopyInto(OutputFile& out, FileError& error);
    void Forget();

    FileSystem& m_fs;
    CString m_name;
    std::unique_ptr<InputFile> m_read;
    FileFacts m_facts;  // of the read, kept up to date by the attributes step
    CString m_temp;
    std::unique_ptr<OutputFile> m_out;
    uint64_t m_size = 0;
    bool m_flushed = false;  // the temporary file is on the disk
    bool m_whole = false;    // every byte of the new content reached the temporary file
    bool m_done = false;  // placed, or kept as a copy: not to be removed
    CString m_kept;
};
