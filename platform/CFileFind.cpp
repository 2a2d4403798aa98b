#include "CFileFind.h"

BOOL CFileFind::FindFile(const CString& pattern) {
    Close();
    m_search = m_fs.FindFirst(pattern, m_next, m_root, m_error);
    m_hasNext = m_search != nullptr;
    return m_hasNext;
}

BOOL CFileFind::FindNextFile() {
    if (!m_hasNext) return FALSE;
    m_current = m_next;
    m_hasNext = m_search->Next(m_next);
    return m_hasNext;
}

void CFileFind::Close() {
    m_search.reset();
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
