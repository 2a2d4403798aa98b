#include "PathMatch.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {
unsigned char Fold(char c) { return static_cast<unsigned char>(FoldAscii(c)); }

int CompareFolded(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = Fold(a[i]);
        unsigned char y = Fold(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return 0;
}
}  // namespace

bool HasWildcards(const std::string& name) {
    return name.find_first_of("*?") != std::string::npos;
}

bool MatchesWildcard(const std::string& pattern, const std::string& name) {
    if (pattern == "*.*" || pattern == "*") return true;
    // Iterative matcher with one backtrack point for the last star.
    size_t p = 0, n = 0, starP = std::string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || Fold(pattern[p]) == Fold(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

void SortLikeWindows(std::vector<FoundEntry>& entries) {
    std::sort(entries.begin(), entries.end(), [](const FoundEntry& a, const FoundEntry& b) {
        int r = CompareFolded(a.name.str(), b.name.str());
        return r != 0 ? r < 0 : a.name.Compare(b.name) < 0;
    });
}

std::string TemporaryName(const std::string& stem, const std::string& suffix, size_t limit, unsigned number) {
    if (stem.size() + suffix.size() <= limit) return stem + suffix;
    if (suffix.size() < limit) {
        // Not inside a character: names are UTF-8 on POSIX and, where the
        // process code page is UTF-8, on Windows (whose limit, in UTF-16
        // units, this byte count stays within).
        size_t cut = limit - suffix.size();
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
        return stem.substr(0, cut) + suffix;
    }
    return ("~" + std::to_string(number)).substr(0, limit > 0 ? limit : 1);
}

bool ParseOwnFileName(const std::string& name, OwnFileName& parsed) {
    const size_t prefix = sizeof kTemporaryPrefix - 1;
    const size_t ending = sizeof kTemporaryEnding - 1;
    if (name.size() < prefix + ending + 5 || name.compare(0, prefix, kTemporaryPrefix) != 0) return false;
    auto endsWith = [&](const char* end) { return name.compare(name.size() - ending, ending, end) == 0; };
    if (endsWith(kTemporaryEnding))
        parsed.kind = LeftoverKind::PartialNew;
    else if (endsWith(kCopyEnding))
        parsed.kind = LeftoverKind::CompleteNew;
    else if (endsWith(kAsideEnding))
        parsed.kind = LeftoverKind::OldContent;
    else
        return false;
    // NAME . PID - N . ENDING, read from the right.
    size_t at = name.size() - ending;
    if (name[--at] != '.') return false;
    auto digits = [&](char before) {
        size_t last = at;
        while (at > prefix && std::isdigit(static_cast<unsigned char>(name[at - 1]))) --at;
        if (at == last || at <= prefix || name[at - 1] != before) return std::string::npos;
        return last;
    };
    if (digits('-') == std::string::npos) return false;
    --at;
    size_t pidEnd = digits('.');
    if (pidEnd == std::string::npos || pidEnd - at > 10) return false;
    uint64_t pid = 0;
    for (size_t i = at; i < pidEnd; ++i) pid = pid * 10 + static_cast<uint64_t>(name[i] - '0');
    if (pid > 0xFFFFFFFFu) return false;
    parsed.pid = static_cast<unsigned long>(pid);
    --at;
    if (at <= prefix) return false;
    parsed.stem = name.substr(prefix, at - prefix);
    return true;
}
