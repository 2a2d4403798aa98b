// Directory search. FindFile starts it; every FindNextFile makes the next
// match current and returns FALSE when that match is the last one.
#pragma once

#include <memory>

#include "FileSystem.h"

class CFileFind {
public:
    explicit CFileFind(FileSystem& fs = GetRealFileSystem()) : m_fs(fs) {}
    ~CFileFind() { Close(); }
    CFileFind(const CFileFind&) = delete;
    CFileFind& operator=(const CFileFind&) = delete;

    // FALSE when nothing matches or the search failed; then SearchError()
    // tells the two apart (code 0: nothing there).
    BOOL FindFile(const CString& pattern);
    const FileError& SearchError() const { return m_error; }
    BOOL FindNextFile();
    void Close();

    CString GetFileName() const { return m_current.name; }
    // The search root, a separator and the name.
    CString GetFilePath() const;
    BOOL IsDots() const;
    BOOL IsDirectory() const { return MatchesMask(FILE_ATTRIBUTE_DIRECTORY); }
    BOOL MatchesMask(DWORD mask) const { return (m_current.attributes & mask) != 0; }

private:
    FileSystem& m_fs;
    std::unique_ptr<FileSearch> m_search;
    CString m_root;
    FileError m_error;
    FindEntry m_current;
    FindEntry m_next;
    bool m_hasNext = false;
};
