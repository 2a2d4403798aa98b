#include "WideText.h"

#include "WindowsHeaders.h"

namespace {

std::string Convert(UINT codePage, DWORD flags, const std::wstring& wide, const char* defaultChar,
                    BOOL* usedDefault) {
    int n = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, defaultChar,
                                usedDefault);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), &text[0], n, defaultChar,
                            usedDefault);
    return text;
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

bool ToWide(const std::string& text, std::wstring& wide) {
    wide.clear();
    if (text.empty()) return true;
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return false;
    wide.resize(static_cast<size_t>(n));
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0],
                               n) == n;
}

bool ToNarrow(std::wstring wide, std::string& text) {
    bool exact = true;
    if (GetACP() == CP_UTF8) {
        // UTF-8 holds every character; only a lone surrogate (NTFS allows
        // it in names) has no form.
        for (size_t i = 0; i < wide.size(); ++i) {
            if (IsHighSurrogate(wide[i]) && i + 1 < wide.size() && IsLowSurrogate(wide[i + 1])) {
                ++i;
            } else if (IsHighSurrogate(wide[i]) || IsLowSurrogate(wide[i])) {
                wide[i] = L'?';
                exact = false;
            }
        }
        text = Convert(CP_UTF8, 0, wide, nullptr, nullptr);
        return exact;
    }
    BOOL usedDefault = FALSE;
    text = Convert(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, "?", &usedDefault);
    if (text.empty() && !wide.empty()) {
        // The few code pages that take no flags: the round trip tells.
        text = Convert(CP_ACP, 0, wide, nullptr, nullptr);
        std::wstring back;
        if (!ToWide(text, back) || back != wide) {
            if (text.find('?') == std::string::npos) text += '?';
            return false;
        }
        return true;
    }
    return !usedDefault;
}
