// Searches on POSIX, by the Windows rules that the program was made for: *
// and ? match in the last component without regard to ASCII letter case,
// "*.*" matches every name, entries come in case-folded name order, and a
// trailing separator matches nothing.
#include <dirent.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "../PathMatch.h"
#include "PosixFileSystem.h"

namespace {

// A search that finds nothing where the entry does not exist; every other
// failure (no permission, a name too long, an I/O error) is an error.
std::unique_ptr<DirectoryListing> NothingThereOrError(int code, FileError& error) {
    if (code != ENOENT && code != ENOTDIR) error = ErrorFrom(code);
    return nullptr;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// The current directory; false with the reason when the system cannot name
// it (it was removed, or lies out of reach).
bool CurrentDirectory(std::string& dir, FileError& error) {
    std::vector<char> buf(PATH_MAX);
    while (!getcwd(buf.data(), buf.size())) {
        if (errno != ERANGE) {
            error = ErrorFrom(errno);
            return false;
        }
        buf.resize(buf.size() * 2);
    }
    dir = buf.data();
    return true;
}

// The absolute form of path, with "." and ".." folded and repeated
// separators collapsed. Links are not resolved. False when path is relative
// and the current directory is unknown.
bool AbsolutePath(const std::string& path, std::string& out, FileError& error) {
    std::string full = path;
    if (path.empty() || path[0] != '/') {
        if (!CurrentDirectory(full, error)) return false;
        full += "/" + path;
    }
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= full.size()) {
        size_t slash = full.find('/', pos);
        if (slash == std::string::npos) slash = full.size();
        std::string part = full.substr(pos, slash - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = slash + 1;
    }
    out.clear();
    for (const std::string& p : parts) out += "/" + p;
    if (out.empty()) out = "/";
    return true;
}

bool StatEntry(const std::string& path, struct stat& st) {
    if (stat(path.c_str(), &st) == 0) return true;
    // A link that leads nowhere is still an entry: it is reported as a file,
    // whose open will fail.
    return lstat(path.c_str(), &st) == 0;
}

// The listing is read whole when the search starts, to give it the order
// that Windows gives.
class PosixListing : public DirectoryListing {
public:
    explicit PosixListing(std::vector<FoundEntry> entries) : m_entries(std::move(entries)) {}
    Step Next(FoundEntry& entry, FileError&) override {
        if (m_next >= m_entries.size()) return Step::End;
        entry = std::move(m_entries[m_next++]);
        return Step::Entry;
    }

private:
    std::vector<FoundEntry> m_entries;
    size_t m_next = 0;
};

FoundEntry Found(std::string name, bool directory) {
    FoundEntry entry;
    entry.name = CString(std::move(name));
    entry.facts.attributes = directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    return entry;
}

}  // namespace

std::unique_ptr<DirectoryListing> PosixFileSystem::FindFirst(const CString& patternText, CString& root,
                                                             FileError& error) {
    error = FileError();
    const std::string& pattern = patternText.str();
    if (pattern.empty() || pattern.back() == '/') return nullptr;
    size_t slash = pattern.rfind('/');
    std::string dirPart = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    std::vector<FoundEntry> entries;

    if (!HasWildcards(name)) {
        // A plain name names exactly that entry. Its folded absolute form
        // gives the name, so that "." or "dir/.." name a real directory.
        std::string full;
        if (!AbsolutePath(pattern, full, error)) return nullptr;
        struct stat st;
        if (full == "/") return nullptr;
        if (!StatEntry(full, st)) return NothingThereOrError(errno, error);
        size_t cut = full.rfind('/');
        FoundEntry entry = Found(full.substr(cut + 1), S_ISDIR(st.st_mode));
        entry.facts = FactsFrom(st);
        entries.push_back(std::move(entry));
        root = CString(cut == 0 ? std::string("/") : full.substr(0, cut));
    } else {
        std::string dir;
        if (!AbsolutePath(dirPart.empty() ? "." : dirPart, dir, error)) return nullptr;
        UniqueDir d(opendir(dir.c_str()));
        if (!d) return NothingThereOrError(errno, error);
        std::string prefix = dir == "/" ? dir : dir + "/";
        for (;;) {
            errno = 0;
            dirent* de = readdir(d.get());
            if (!de) {
                // Part of a listing is no listing: the rest may hold
                // record files.
                if (errno != 0) return NothingThereOrError(errno, error);
                break;
            }
            const char* n = de->d_name;
            if (!MatchesWildcard(name, n)) continue;
            bool isDir = de->d_type == DT_DIR;
            if (de->d_type == DT_UNKNOWN || de->d_type == DT_LNK) {
                struct stat st;
                isDir = StatEntry(prefix + n, st) && S_ISDIR(st.st_mode);
            }
            entries.push_back(Found(n, isDir));
        }
        if (entries.empty()) return nullptr;
        SortLikeWindows(entries);
        root = CString(dir);
    }
    return std::make_unique<PosixListing>(std::move(entries));
}
