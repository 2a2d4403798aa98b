// New content for a file that was read. It is written to a temporary file
// beside the file and put in its place in one step, and only while the name
// still leads to the file as it was read. Until then, and whatever fails,
// the file keeps its old content; the temporary file is removed on every
// failure, when the object goes uncommitted, and on an interrupt.
#pragma once

#include <memory>

#include "FileSystem.h"

// The error of a commit that found the file changed since it was read.
constexpr long kChangedSinceRead = -1;

class Replacement {
public:
    // name: the path the file was opened by; read: the facts of that open
    // (target included). Null on failure, with the reason in error.
    static std::unique_ptr<Replacement> Create(FileSystem& fs, const CString& name, const FileFacts& read,
                                               FileError& error);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    bool Write(const void* data, size_t size, FileError& error);
    // Finishes the temporary file; its close is checked.
    bool Close(FileError& error);
    // Puts the closed temporary file in place of the file, once the name is
    // found to lead to the same file, unchanged. held is the open read of
    // the file: kept open over that check, so that no other file can take
    // its identity, and let go before the replace.
    bool Commit(std::unique_ptr<InputFile>& held, FileError& error);

private:
    Replacement(FileSystem& fs, const CString& name, const FileFacts& read, CString temp,
                std::unique_ptr<OutputFile> out);

    FileSystem& m_fs;
    CString m_name;
    FileFacts m_read;
    CString m_temp;
    std::unique_ptr<OutputFile> m_out;
    bool m_closed = false;
    bool m_placed = false;
};
