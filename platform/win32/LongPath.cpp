#include "LongPath.h"

#include <cwchar>

#include "WideText.h"
#include "Win32Calls.h"

namespace {

bool StartsWith(const std::wstring& s, const wchar_t* prefix) { return s.compare(0, wcslen(prefix), prefix) == 0; }

// Paths of the \\?\ and \\.\ kinds are taken as they are; an absolute path
// without "/" and without "." or ".." components only gets the prefix, so
// that a name found on disk reaches the system exactly; everything else is
// made absolute first, as the system would (the current directory, "..",
// trailing dots and spaces of what a user typed).
bool NeedsFullPath(const std::wstring& path, bool pattern) {
    bool drive = path.size() >= 3 && path[1] == L':' && path[2] == L'\\';
    bool unc = StartsWith(path, L"\\\\");
    if (!drive && !unc) return true;
    if (path.find(L'/') != std::wstring::npos) return true;
    size_t start = drive ? 3 : 2;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring part = path.substr(start, end - start);
        if (part == L"." || part == L"..") return true;
        if (part.empty() && end < path.size()) return true;
        if (end == path.size() && pattern && !part.empty() && (part.back() == L'.' || part.back() == L' '))
            return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

bool LongPath(const std::string& path, std::wstring& result, DWORD& code, bool pattern) {
    std::wstring wide;
    if (path.empty() || !ToWide(path, wide)) {
        code = path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_NO_UNICODE_TRANSLATION;
        return false;
    }
    if (StartsWith(wide, L"\\\\?\\") || StartsWith(wide, L"\\\\.\\")) {
        result = wide;
        return true;
    }
    if (NeedsFullPath(wide, pattern)) {
        std::wstring full(MAX_PATH, L'\0');
        for (;;) {
            DWORD n = SystemCalls().GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
            if (n == 0) {
                code = GetLastError();
                return false;
            }
            if (n < full.size()) {
                full.resize(n);
                break;
            }
            full.resize(n);
        }
        wide = full;
    }
    if (StartsWith(wide, L"\\\\"))
        result = L"\\\\?\\UNC\\" + wide.substr(2);
    else
        result = L"\\\\?\\" + wide;
    return true;
}

std::wstring ShortForm(const std::wstring& path) {
    if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    if (StartsWith(path, L"\\\\?\\") && path.size() >= 6 && path[5] == L':') return path.substr(4);
    return path;
}
