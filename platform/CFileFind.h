// Directory search. FindFile starts it; every FindNextFile makes the next
// match current and returns FALSE when that match is the last one, or when
// the listing broke off after it (SearchError() then says why).
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
    // The directory that the matches are in.
    const CString& GetRoot() const { return m_root; }
    // What the search said of the current match.
    const FileFacts& GetFacts() const { return m_current.facts; }
    BOOL IsDots() const;
    BOOL IsDirectory() const { return MatchesMask(FILE_ATTRIBUTE_DIRECTORY); }
    BOOL MatchesMask(DWORD mask) const { return (m_current.facts.attributes & mask) != 0; }

private:
    // Steps the listing into m_next; false at its end or on an error.
    bool Advance();

    FileSystem& m_fs;
    std::unique_ptr<DirectoryListing> m_listing;
    CString m_root;
    FileError m_error;
    FoundEntry m_current;
    FoundEntry m_next;
    bool m_hasNext = false;
};
