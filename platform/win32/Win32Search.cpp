// Directory searches. A listing keeps only its search handle and the entry
// that the system handed over last; what it says of an entry goes out with
// the entry.
#include "../PathMatch.h"
#include "LongPath.h"
#include "WideText.h"
#include "Win32Files.h"

namespace win32 {
namespace {

void EntryFrom(const WIN32_FIND_DATAW& data, FoundEntry& entry) {
    std::string name;
    // A name that the code page cannot hold keeps its "?": it opens nothing.
    ToNarrow(data.cFileName, name);
    entry.name = CString(std::move(name));
    entry.facts = FileFacts();
    entry.facts.attributes = data.dwFileAttributes;
    entry.facts.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    entry.facts.lastWrite = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                                 data.ftLastWriteTime.dwLowDateTime);
}

class Win32Listing : public DirectoryListing {
public:
    // first: what FindFirstFileExW gave, the first entry to yield.
    Win32Listing(HANDLE h, const WIN32_FIND_DATAW& first) : m_handle(h), m_data(first) {}

    Step Next(FoundEntry& entry, FileError& error) override {
        if (m_over) return Step::End;
        if (m_started && !SystemCalls().FindNextFileW(m_handle.Get(), &m_data)) {
            DWORD code = GetLastError();
            m_over = true;
            if (code == ERROR_NO_MORE_FILES) return Step::End;
            error = ErrorFrom(code);
            return Step::Error;
        }
        m_started = true;
        EntryFrom(m_data, entry);
        return Step::Entry;
    }

private:
    SearchHandle m_handle;
    WIN32_FIND_DATAW m_data;
    bool m_started = false;
    bool m_over = false;
};

}  // namespace

std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root, FileError& error) {
    error = FileError();
    const std::string& text = pattern.str();
    size_t cut = text.find_last_of("\\/");
    // "dir\" and "" name nothing, as on every Windows.
    if (text.empty() || cut == text.size() - 1) return nullptr;
    // Wildcards belong in the last component only; in a directory that a
    // search built from a name found on disk, a "?" stands for a character
    // that the code page could not hold, and no such path names a file.
    if (cut != std::string::npos && HasWildcards(text.substr(0, cut))) {
        error = ErrorFrom(ERROR_INVALID_NAME);
        return nullptr;
    }
    std::wstring wide;
    DWORD code = 0;
    if (!LongPath(text, wide, code, true)) {
        if (!NothingThere(code)) error = ErrorFrom(code);
        return nullptr;
    }
    WIN32_FIND_DATAW data;
    SearchHandle h(SystemCalls().FindFirstFileExW(wide.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                          FIND_FIRST_EX_LARGE_FETCH));
    if (!h.Valid()) {
        code = GetLastError();
        if (!NothingThere(code)) error = ErrorFrom(code);
        return nullptr;
    }
    // The root: the absolute directory part, with the separator of a drive's
    // root ("C:\").
    std::wstring dir = ShortForm(wide);
    size_t last = dir.find_last_of(L'\\');
    dir.erase(last == 2 && dir[1] == L':' ? last + 1 : last);
    std::string narrowRoot;
    ToNarrow(dir, narrowRoot);
    root = CString(std::move(narrowRoot));
    auto listing = std::make_unique<Win32Listing>(h.Get(), data);
    h.Release();
    return listing;
}

}  // namespace win32
