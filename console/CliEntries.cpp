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

// Absolute ("/x", "C:\x", "\x") or climbing with a ".." component.
bool PatchRefuses(const std::string& typed) {
    if (typed.empty()) return false;
    if (IsSeparator(typed[0]) || (kPathSeparator == '\\' && typed.size() > 1 && typed[1] == ':')) return true;
    for (size_t start = 0; start < typed.size();) {
        size_t end = start;
        while (end < typed.size() && !IsSeparator(typed[end])) ++end;
        if (typed.compare(start, end - start, "..") == 0) return true;
        start = end + 1;
    }
    return false;
}

// The path of an absolute place from the current directory, when it lies
// below it or is it ("").
bool FromCurrentDirectory(const std::string& absolute, FileSystem& fs, std::string& relative) {
    CFileFind here(fs);
    if (!here.FindFile(CString("."))) return false;
    here.FindNextFile();
    std::string current = here.GetFilePath().str();
    if (absolute == current) {
        relative.clear();
        return true;
    }
    if (!current.empty() && current.back() != kPathSeparator) current += kPathSeparator;
    if (absolute.compare(0, current.size(), current) != 0) return false;
    relative = absolute.substr(current.size());
    return true;
}
}  // namespace

std::string EntryPaths::Display(const std::string& path, bool inDiff) const {
    const std::string& typed = inDiff ? diffTyped : this->typed;
    if (path == anchor) return typed;
    std::string prefix = anchor;
    if (!prefix.empty() && prefix.back() != kPathSeparator) prefix += kPathSeparator;
    if (anchor.empty() || path.compare(0, prefix.size(), prefix) != 0) return path;
    std::string shown = typed;
    if (!shown.empty() && !IsSeparator(shown.back())) shown += kPathSeparator;
    return shown + path.substr(prefix.size());
}

ResolvedEntry ResolveEntry(const CString& entry, FileSystem& fs, bool literal, bool diff) {
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
    std::string name = stripped.substr(dirPart.size());
    bool wildcard = HasWildcards(name);
    CFileFind finder(fs);
    // A literal name with wildcard characters is looked for among all the
    // names of its directory, as the walk looks for it.
    bool found = finder.FindFile(literal && wildcard ? CString(dirPart + "*") : resolved.run);
    while (found && literal && wildcard) {
        bool more = finder.FindNextFile();
        if (finder.GetFileName().str() == name) break;
        if (!more) found = false;
    }
    if (!found) {
        // A search that failed is the walk's to report.
        if (finder.SearchError().code != 0) return resolved;
        if (wildcard && !literal)
            resolved.problem = "matches nothing";
        else if (fs.Identify(resolved.run, facts, error) && (facts.attributes & FILE_ATTRIBUTE_DIRECTORY))
            resolved.problem = kRoot;  // a directory that the search will not name
        else
            resolved.problem = kNoSuchEntry;
        return resolved;
    }
    if (wildcard && !literal) {
        resolved.paths.anchor = finder.GetRoot().str();
        resolved.paths.typed = dirPart;
    } else {
        if (!literal || !wildcard) finder.FindNextFile();
        resolved.paths.anchor = finder.GetFilePath().str();
        resolved.paths.typed = text;
    }
    resolved.paths.diffTyped = resolved.paths.typed;
    std::string relative;
    if (diff && PatchRefuses(resolved.paths.typed) && FromCurrentDirectory(resolved.paths.anchor, fs, relative))
        resolved.paths.diffTyped = relative;
    return resolved;
}
