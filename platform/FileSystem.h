// The one seam between the program and the file system. The real backends
// (posix/, win32/) and the test doubles implement it; everything above it
// (CFileFind, CStdioFile, the walk and the sorter) is shared code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "CString.h"

// What an operation that failed leaves behind: the system's error code and
// its description, for messages.
struct FileError {
    long code = 0;
    CString reason;
};

// One entry that a directory search yields.
struct FindEntry {
    CString name;
    DWORD attributes = 0;  // FILE_ATTRIBUTE_DIRECTORY for directories
};

// Identifies a directory on its volume, to recognise it when a link leads
// back to it.
struct DirectoryId {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const DirectoryId& o) const { return volume == o.volume && index == o.index; }
};

class FileSearch {
public:
    virtual ~FileSearch() = default;
    // The next entry; false once there is none.
    virtual bool Next(FindEntry& entry) = 0;
};

// A file opened for reading.
class InputFile {
public:
    virtual ~InputFile() = default;
    // Reads up to size bytes; got == 0 at the end of the file.
    virtual bool Read(void* buffer, size_t size, size_t& got, FileError& error) = 0;
};

// New content for an existing file. It is written to a temporary file beside
// the target, and only Replace puts it in place, in one step. Destroying an
// object that was not replaced removes the temporary file and leaves the
// target as it was.
class ReplacementFile {
public:
    virtual ~ReplacementFile() = default;
    virtual bool Write(const void* data, size_t size, FileError& error) = 0;
    // Finishes the temporary file: all data handed to the system, handle
    // closed. It is not flushed to the disk: the one-step replace keeps the
    // old or the new content, never a mix, for as long as the system runs.
    virtual bool Close(FileError& error) = 0;
    // Moves the closed temporary file over the target.
    virtual bool Replace(FileError& error) = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Starts a search for pattern (wildcards * and ? in the last component).
    // Returns null when nothing matches (error.code stays 0) or when the
    // search itself failed (error says why); otherwise first holds the first
    // match and root the absolute directory that the matches are in.
    virtual std::unique_ptr<FileSearch> FindFirst(const CString& pattern, FindEntry& first,
                                                  CString& root, FileError& error) = 0;

    // Opens an existing regular file for reading, for exclusive use where the
    // system allows it. Null on failure.
    virtual std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) = 0;

    // Prepares new content for the existing file at path (see ReplacementFile).
    // Null on failure; the target is not touched either way.
    virtual std::unique_ptr<ReplacementFile> CreateReplacement(const CString& path,
                                                               FileError& error) = 0;

    // FILE_ATTRIBUTE_NORMAL clears read-only, hidden, system and archive
    // (on POSIX: makes the file writable by its owner).
    virtual BOOL SetFileAttributesA(const CString& path, DWORD attributes) = 0;

    // The identity of the directory at path (links followed).
    virtual bool GetDirectoryId(const CString& path, DirectoryId& id) = 0;
};

// The file system of the machine the program runs on.
FileSystem& GetRealFileSystem();
