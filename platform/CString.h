// Narrow, byte-counted text. Every byte is an ordinary character: a NUL or a
// byte >= 0x80 is kept, counted and compared like any other.
#pragma once

#include <cstddef>
#include <string>

#include "Types.h"

// An ASCII capital letter as its small letter; every other byte as it is.
// The one letter-case rule of the program: names, patterns, the record-file
// suffix and the template key all fold with it.
inline char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

class CString {
public:
    CString() = default;
    CString(const char* text);  // NULL gives the empty text
    CString(const char* data, int length);
    CString(std::string text) : m_text(std::move(text)) {}

    int GetLength() const { return static_cast<int>(m_text.size()); }
    BOOL IsEmpty() const { return m_text.empty(); }
    void Empty() { m_text.clear(); }

    char GetAt(int index) const { return m_text[static_cast<size_t>(index)]; }
    char operator[](int index) const { return GetAt(index); }

    // Index of the last occurrence, or -1.
    int ReverseFind(char ch) const;

    CString Left(int count) const;
    CString Right(int count) const;  // the whole text when it is shorter
    CString Mid(int first) const;
    CString Mid(int first, int count) const;

    // ASCII letters only; every other byte stays as it is.
    CString& MakeLower();

    // Byte-wise (unsigned) comparison: <0, 0 or >0.
    int Compare(const CString& other) const;

    void Replace(const char* from, const char* to);

    const char* GetString() const { return m_text.c_str(); }
    operator const char*() const { return m_text.c_str(); }

    CString& operator=(const char* text);
    CString& operator+=(const CString& other) { m_text += other.m_text; return *this; }
    CString& operator+=(const char* text);
    CString& operator+=(char ch) { m_text += ch; return *this; }

    const std::string& str() const { return m_text; }
    std::string& str() { return m_text; }

#ifdef _WIN32
    // Loads a string resource of the module that holds the resources.
    BOOL LoadString(UINT id);
#endif

    friend CString operator+(const CString& a, const CString& b) { return CString(a.m_text + b.m_text); }
    friend CString operator+(const CString& a, const char* b) { return a + CString(b); }
    friend CString operator+(const char* a, const CString& b) { return CString(a) + b; }
    friend CString operator+(const CString& a, char b) { return CString(a.m_text + b); }

    friend bool operator==(const CString& a, const CString& b) { return a.m_text == b.m_text; }
    friend bool operator==(const CString& a, const char* b) { return a == CString(b); }
    friend bool operator==(const char* a, const CString& b) { return CString(a) == b; }
    friend bool operator!=(const CString& a, const CString& b) { return !(a == b); }
    friend bool operator!=(const CString& a, const char* b) { return !(a == b); }
    friend bool operator!=(const char* a, const CString& b) { return !(a == b); }
    friend bool operator<(const CString& a, const CString& b) { return a.Compare(b) < 0; }

private:
    std::string m_text;
};
