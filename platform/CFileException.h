// An input or output error in the middle of a file.
#pragma once

#include <exception>

#include "CString.h"

class CFileException : public std::exception {
public:
    enum Cause { genericException = 1, readError = 2, writeError = 3 };

    CFileException(Cause cause, const CString& fileName, long osError, const CString& reason)
        : m_cause(cause), m_lOsError(osError), m_strFileName(fileName), m_strReason(reason) {}

    // The words, the file's path on the next line, and the system's reason.
    CString GetErrorMessage() const;
    const char* what() const noexcept override { return "file error"; }

    Cause m_cause;
    long m_lOsError;
    CString m_strFileName;
    CString m_strReason;
};
