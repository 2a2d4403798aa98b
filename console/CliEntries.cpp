#include "CliEntries.h"

#include "../platform/CFileFind.h"
#include "../platform/PathMatch.h"

namespace {
bool IsSeparator(char c) {
    return c == '/' || (kPathSeparator == '\\' && c == '\\');
}

// "C:" alone, what is left of "C:\" without its separator.
bool IsDriveOnly(const std::string& text) {
    return kPathSeparator == '\\' && text.size() == 2 && text[1] == ':';
}

const char kNoSuchEntry[] = "no such file or directory";
const char kRoot[] = "a root directory is never searched";
}  // namespace

std::string EntryPaths::Display(const std::string& path) const {
    if (path == anchor) return typed;
    std::string prefix = anchor;
    if (!prefix.empty() && prefix.back() != kPathSeparator) prefix += kPathSeparator;
    if (anchor.empty() || path.compare(0, prefix.size(), prefix) != 0) return path;
    std::string shown = typed;
    if (!shown.empty() && !IsSeparator(shown.back())) shown += kPathSeparator;
    return shown + path.substr(prefix.size());
}

ResolvedEntry ResolveEntry(const CString& entry, FileSystem& fs) {
    ResolvedEntry resolved;
    const std::string& text = entry.str();
    resolved.run = entry;
    if (text.empty()) {
        resolved.problem = kNoSuchEntry;
        return resolved;
    }
    size_t end = text.size();
    while (end > 0 && IsSeparator(text[end - 1])) --end;
    std::string stripped = text.substr(0, end);
    if (stripped.empty() || IsDriveOnly(stripped)) {
        resolved.problem = kRoot;
        return resolved;
    }
    FileFacts facts;
    FileError error;
    if (end != text.size()) {
        // The walk itself takes a trailing separator for a name of nothing.
        if (!fs.Identify(CString(stripped), facts, error)) {
            resolved.problem = kNoSuchEntry;
            return resolved;
        }
        if (!(facts.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            resolved.problem = "not a directory";
            return resolved;
        }
        resolved.run = CString(stripped);
    }
    size_t cut = stripped.find_last_of(kPathSeparator == '\\' ? "\\/" : "/");
    std::string dirPart = cut == std::string::npos ? "" : text.substr(0, cut + 1);
    bool wildcard = HasWildcards(stripped.substr(dirPart.size()));
    CFileFind finder(fs);
    if (!finder.FindFile(resolved.run)) {
        // A search that failed is the walk's to report.
        if (finder.SearchError().code != 0) return resolved;
        if (wildcard)
            resolved.problem = "matches nothing";
        else if (fs.Identify(resolved.run, facts, error) && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY))
            resolved.problem = kRoot;  // a directory that the search will not name
        else
            resolved.problem = kNoSuchEntry;
        return resolved;
    }
    if (wildcard) {
        resolved.paths.anchor = finder.GetRoot().str();
        resolved.paths.typed = dirPart;
    } else {
        finder.FindNextFile();
        resolved.paths.anchor = finder.GetFilePath().str();
        resolved.paths.typed = text;
    }
    return resolved;
}
