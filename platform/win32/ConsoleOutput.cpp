#include "ConsoleOutput.h"

#include <algorithm>
#include <iostream>
#include <vector>

#include "../Terminal.h"

namespace {

// Bytes from which the console is sent text at once rather than collected.
const size_t kFlushAt = 4096;

// The length of the longest head of text that ends with a whole character of
// code page codePage.
size_t WholeCharacters(UINT codePage, const std::string& text) {
    size_t n = text.size();
    if (codePage == CP_UTF8) {
        // Back over continuation bytes to the last lead byte; keep it only
        // when all the bytes it announces are there.
        for (size_t back = 1; back <= 4 && back <= n; ++back) {
            unsigned char ch = static_cast<unsigned char>(text[n - back]);
            if ((ch & 0xC0) == 0x80) continue;
            size_t need = ch >= 0xF0 ? 4 : ch >= 0xE0 ? 3 : ch >= 0xC0 ? 2 : 1;
            return need > back ? n - back : n;
        }
        return n;
    }
    size_t at = 0;
    while (at < n) {
        size_t step = ::IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[at])) ? 2 : 1;
        if (at + step > n) break;
        at += step;
    }
    return at;
}

}  // namespace

ConsoleOutputBuf::ConsoleOutputBuf(HANDLE console) : m_console(console), m_codePage(::GetACP()) {}

ConsoleOutputBuf::~ConsoleOutputBuf() { Flush(true); }

ConsoleOutputBuf::int_type ConsoleOutputBuf::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return sync() == 0 ? traits_type::not_eof(ch) : ch;
    m_pending.push_back(traits_type::to_char_type(ch));
    if ((ch == '\n' || m_pending.size() >= kFlushAt) && !Flush(false)) return traits_type::eof();
    return ch;
}

std::streamsize ConsoleOutputBuf::xsputn(const char* text, std::streamsize count) {
    m_pending.append(text, static_cast<size_t>(count));
    bool line = count > 0 && text[count - 1] == '\n';
    if ((line || m_pending.size() >= kFlushAt) && !Flush(false)) return 0;
    return count;
}

int ConsoleOutputBuf::sync() { return Flush(false) ? 0 : -1; }

bool ConsoleOutputBuf::Flush(bool all) {
    size_t whole = all ? m_pending.size() : WholeCharacters(m_codePage, m_pending);
    if (whole == 0) return true;
    int bytes = static_cast<int>(whole);
    int length = ::MultiByteToWideChar(m_codePage, 0, m_pending.data(), bytes, nullptr, 0);
    std::vector<wchar_t> wide(static_cast<size_t>(length > 0 ? length : 0));
    if (length > 0) ::MultiByteToWideChar(m_codePage, 0, m_pending.data(), bytes, wide.data(), length);
    m_pending.erase(0, whole);
    // In pieces: older consoles refuse very long writes.
    for (size_t at = 0; at < wide.size();) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(wide.size() - at, 8192));
        DWORD written = 0;
        if (!::WriteConsoleW(m_console, wide.data() + at, piece, &written, nullptr) || written == 0) return false;
        at += written;
    }
    return true;
}

ConsoleStandardStreams::ConsoleStandardStreams() {
    if (IsTerminal(1)) {
        std::cout.flush();
        m_out.reset(new ConsoleOutputBuf(::GetStdHandle(STD_OUTPUT_HANDLE)));
        m_oldOut = std::cout.rdbuf(m_out.get());
    }
    if (IsTerminal(2)) {
        std::cerr.flush();
        m_err.reset(new ConsoleOutputBuf(::GetStdHandle(STD_ERROR_HANDLE)));
        m_oldErr = std::cerr.rdbuf(m_err.get());
    }
}

ConsoleStandardStreams::~ConsoleStandardStreams() {
    if (m_out) {
        std::cout.flush();
        std::cout.rdbuf(m_oldOut);
    }
    if (m_err) {
        std::cerr.flush();
        std::cerr.rdbuf(m_oldErr);
    }
}
