#include "CFileFind.h"

BOOL CFileFind::FindFile(const CString& pattern) {
    Close();
    m_error = FileError();
    m_listing = m_fs.FindFirst(pattern, m_root, m_error);
    if (!m_listing) return FALSE;
    // A listing that yields nothing, or breaks off at once, is a search that
    // found nothing or failed.
    if (!Advance()) {
        m_listing.reset();
        return FALSE;
    }
    return TRUE;
}

bool CFileFind::Advance() {
    switch (m_listing->Next(m_next, m_error)) {
    case DirectoryListing::Step::Entry: m_hasNext = true; break;
    case DirectoryListing::Step::End: m_hasNext = false; break;
    case DirectoryListing::Step::Error:
        m_hasNext = false;
        if (m_error.code == 0) m_error.code = -1;  // an error is never "nothing there"
        break;
    }
    return m_hasNext;
}

BOOL CFileFind::FindNextFile() {
    if (!m_hasNext) return FALSE;
    m_current = std::move(m_next);
    return Advance();
}

void CFileFind::Close() {
    m_listing.reset();
    m_hasNext = false;
}

CString CFileFind::GetFilePath() const {
    CString path = m_root;
    if (path.IsEmpty() || path[path.GetLength() - 1] != kPathSeparator) path += kPathSeparator;
    return path + m_current.name;
}

BOOL CFileFind::IsDots() const {
    return m_current.name == "." || m_current.name == "..";
}
