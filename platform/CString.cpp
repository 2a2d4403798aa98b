#include "CString.h"

#include <cstring>

CString::CString(const char* text) : m_text(text ? text : "") {}

CString::CString(const char* data, int length)
    : m_text(data, length > 0 ? static_cast<size_t>(length) : 0) {}

CString& CString::operator=(const char* text) {
    m_text = text ? text : "";
    return *this;
}

CString& CString::operator+=(const char* text) {
    if (text) m_text += text;
    return *this;
}

int CString::ReverseFind(char ch) const {
    size_t at = m_text.rfind(ch);
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

CString CString::Left(int count) const {
    if (count <= 0) return CString();
    return CString(m_text.substr(0, static_cast<size_t>(count)));
}

CString CString::Right(int count) const {
    if (count <= 0) return CString();
    if (count >= GetLength()) return *this;
    return CString(m_text.substr(m_text.size() - static_cast<size_t>(count)));
}

CString CString::Mid(int first) const {
    return Mid(first, GetLength());
}

CString CString::Mid(int first, int count) const {
    if (first < 0) first = 0;
    if (first >= GetLength() || count <= 0) return CString();
    return CString(m_text.substr(static_cast<size_t>(first), static_cast<size_t>(count)));
}

CString& CString::MakeLower() {
    for (char& c : m_text) c = FoldAscii(c);
    return *this;
}

int CString::Compare(const CString& other) const {
    size_t n = m_text.size() < other.m_text.size() ? m_text.size() : other.m_text.size();
    int r = n ? std::memcmp(m_text.data(), other.m_text.data(), n) : 0;
    if (r != 0) return r < 0 ? -1 : 1;
    if (m_text.size() == other.m_text.size()) return 0;
    return m_text.size() < other.m_text.size() ? -1 : 1;
}

void CString::Replace(const char* from, const char* to) {
    std::string f(from ? from : ""), t(to ? to : "");
    if (f.empty()) return;
    std::string out;
    size_t pos = 0, at;
    while ((at = m_text.find(f, pos)) != std::string::npos) {
        out.append(m_text, pos, at - pos);
        out += t;
        pos = at + f.size();
    }
    out.append(m_text, pos, std::string::npos);
    m_text.swap(out);
}
