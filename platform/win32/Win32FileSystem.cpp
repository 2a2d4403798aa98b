// The file system services on Windows. The layers above speak narrow text in
// the process code page; here every path becomes a wide absolute one with
// the \\?\ prefix, so that no length limit and no silent rewriting of names
// applies, and a name found on disk goes back to narrow text only where the
// code page holds it exactly.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Win32Calls.h"

#include "../FileSystem.h"
#include "../PathMatch.h"

namespace {
bool RunsOnWine() {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}
}  // namespace

Win32Calls& SystemCalls() {
    // Wine's ReplaceFile moves the old file aside before it moves the new
    // one in (for a moment the name holds nothing, and a directory is moved
    // aside like a file): there the move alone is the sounder replace.
    static Win32Calls calls = {
        ::FindFirstFileExW, ::FindNextFileW, ::FindClose,      ::GetFullPathNameW,
        ::CreateFileW,      ::GetFileType,   ::GetFinalPathNameByHandleW,
        ::GetFileInformationByHandle,        ::ReadFile,       ::WriteFile,
        ::CloseHandle,      ::GetFileAttributesW, ::SetFileAttributesW,
        ::SetFileInformationByHandle,        ::DeleteFileW,
        RunsOnWine() ? nullptr : ::ReplaceFileW,
        ::MoveFileExW,
    };
    return calls;
}

namespace {

Win32Calls& Sys() { return SystemCalls(); }

FileError ErrorFrom(DWORD code) {
    FileError e;
    e.code = static_cast<long>(code);
    char* text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n && text) {
        std::string s(text, n);
        while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
        e.reason = CString(s);
        LocalFree(text);
    } else {
        char buf[64];
        std::snprintf(buf, sizeof buf, "System error %lu.", static_cast<unsigned long>(code));
        e.reason = buf;
    }
    return e;
}

// Owns a handle and gives it back to the system with Close (CloseHandle or
// FindClose), at the latest when the owner goes.
template <decltype(Win32Calls::CloseHandle) Win32Calls::*Closer>
class Owned {
public:
    explicit Owned(HANDLE h = INVALID_HANDLE_VALUE) : m_handle(h) {}
    ~Owned() { Close(); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    HANDLE Get() const { return m_handle; }
    bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    // Hands the handle over to another owner.
    HANDLE Release() {
        HANDLE h = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return h;
    }
    void Reset(HANDLE h) {
        Close();
        m_handle = h;
    }
    bool Close() {
        if (!Valid()) return true;
        HANDLE h = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return (Sys().*Closer)(h) != 0;
    }

private:
    HANDLE m_handle;
};
using FileHandle = Owned<&Win32Calls::CloseHandle>;
using SearchHandle = Owned<&Win32Calls::FindClose>;

bool StartsWith(const std::wstring& s, const wchar_t* prefix) { return s.compare(0, wcslen(prefix), prefix) == 0; }

// Text in the process code page as UTF-16; false for bytes that are no
// text in that code page.
bool ToWide(const std::string& text, std::wstring& wide) {
    wide.clear();
    if (text.empty()) return true;
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return false;
    wide.resize(static_cast<size_t>(n));
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0],
                               n) == n;
}

std::string Convert(UINT codePage, DWORD flags, const std::wstring& wide, const char* defaultChar, BOOL* usedDefault) {
    int n = WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), nullptr, 0, defaultChar,
                                usedDefault);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, flags, wide.data(), static_cast<int>(wide.size()), &text[0], n, defaultChar,
                            usedDefault);
    return text;
}

// A name from the disk in the process code page, without look-alike
// letters. False when the code page cannot hold it exactly; the text then
// holds "?" for what does not fit, a name that no file can have, so that it
// fails to open rather than opening some other file.
bool ToNarrow(std::wstring wide, std::string& text) {
    bool exact = true;
    UINT codePage = GetACP();
    if (codePage == CP_UTF8) {
        // UTF-8 holds every character; only a lone surrogate (NTFS allows
        // it in names) has no form.
        for (size_t i = 0; i < wide.size(); ++i) {
            wchar_t c = wide[i];
            bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
            if (high && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
                ++i;
            } else if (high || low) {
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

// The wide \\?\ form of path; false with the reason in code.
bool LongPath(const std::string& path, std::wstring& result, DWORD& code, bool pattern = false) {
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
            DWORD n = Sys().GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
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

// The plain form of a \\?\ path, for the layers above.
std::wstring ShortForm(const std::wstring& path) {
    if (StartsWith(path, L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    if (StartsWith(path, L"\\\\?\\") && path.size() >= 6 && path[5] == L':') return path.substr(4);
    return path;
}

// A path that a search built from a name found on disk holds a wildcard only
// where the name did not fit the code page: no such path names a file.
bool HoldsWildcard(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

bool NothingThere(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_NO_MORE_FILES ||
           code == ERROR_DIRECTORY;
}

// What a search said of one entry, kept while the walk may still ask.
struct FoundEntry {
    std::string name;
    DWORD attributes = 0;
    uint64_t size = 0;
};

class Win32Search;

// The innermost open search: the file that the walk treats is one of the
// last two entries that it yielded.
Win32Search* g_innermost = nullptr;

FoundEntry EntryFrom(const WIN32_FIND_DATAW& data) {
    FoundEntry e;
    ToNarrow(data.cFileName, e.name);
    e.attributes = data.dwFileAttributes;
    e.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return e;
}

class Win32Search : public FileSearch {
public:
    Win32Search(HANDLE h, std::string root, const FoundEntry& first)
        : m_handle(h), m_root(std::move(root)), m_outer(g_innermost) {
        Remember(first);
        g_innermost = this;
    }
    ~Win32Search() override { g_innermost = m_outer; }
    bool Next(FindEntry& entry) override {
        WIN32_FIND_DATAW data;
        if (!Sys().FindNextFileW(m_handle.Get(), &data)) return false;
        FoundEntry found = EntryFrom(data);
        entry.name = found.name;
        entry.attributes = found.attributes;
        Remember(found);
        return true;
    }
    // What the search said of the file at path, if it is one of its last two.
    const FoundEntry* Find(const std::string& path) const {
        if (path.size() <= m_root.size() || path.compare(0, m_root.size(), m_root) != 0) return nullptr;
        size_t at = m_root.size();
        if (path[at] == '\\') ++at;
        else if (m_root.empty() || m_root.back() != '\\') return nullptr;
        for (const FoundEntry& e : m_last)
            if (path.compare(at, std::string::npos, e.name) == 0) return &e;
        return nullptr;
    }

private:
    void Remember(const FoundEntry& e) {
        m_last[0] = std::move(m_last[1]);
        m_last[1] = e;
    }
    SearchHandle m_handle;
    std::string m_root;
    FoundEntry m_last[2];
    Win32Search* m_outer;
};

const FoundEntry* FoundBySearch(const std::string& path) {
    return g_innermost ? g_innermost->Find(path) : nullptr;
}

class Win32InputFile : public InputFile {
public:
    Win32InputFile(HANDLE h, const FoundEntry* found) : m_handle(h) {
        if (found) m_size = static_cast<int64_t>(found->size);
    }
    bool Read(void* buffer, size_t size, size_t& got, FileError& error) override {
        if (m_atEnd) {
            got = 0;
            return true;
        }
        DWORD n = 0;
        DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!Sys().ReadFile(m_handle.Get(), buffer, want, &n, nullptr)) {
            error = ErrorFrom(GetLastError());
            return false;
        }
        got = n;
        m_read += n;
        // A disk file gives less than asked only at its end; with the size
        // that the search saw reached as well, there is no need to ask once
        // more for nothing.
        if (n < want && m_read == m_size) m_atEnd = true;
        return true;
    }

private:
    FileHandle m_handle;
    int64_t m_size = -1;
    int64_t m_read = 0;
    bool m_atEnd = false;
};

// The temporary file being written, for the console's Ctrl+C, Ctrl+Break and
// close handler, which runs on a thread of its own: it removes the file and
// lets the process end; no replace starts after it.
struct PendingTemporary {
    SRWLOCK lock = SRWLOCK_INIT;
    HANDLE handle = INVALID_HANDLE_VALUE;
    const wchar_t* path = nullptr;
    bool interrupted = false;
};
PendingTemporary g_pending;

struct PendingLock {
    PendingLock() { AcquireSRWLockExclusive(&g_pending.lock); }
    ~PendingLock() { ReleaseSRWLockExclusive(&g_pending.lock); }
};

BOOL WINAPI OnConsoleEvent(DWORD) {
    PendingLock hold;
    if (g_pending.path) {
        if (g_pending.handle != INVALID_HANDLE_VALUE) {
            // Still open: gone once the process ends and closes it.
            FILE_DISPOSITION_INFO dispose = {TRUE};
            SetFileInformationByHandle(g_pending.handle, FileDispositionInfo, &dispose, sizeof dispose);
        } else {
            DeleteFileW(g_pending.path);
        }
        g_pending.path = nullptr;
    }
    g_pending.interrupted = true;
    return FALSE;  // the next handler ends the process as usual
}

class Win32ReplacementFile : public ReplacementFile {
public:
    // Called with the pending lock held.
    Win32ReplacementFile(HANDLE h, std::wstring temp, std::wstring target)
        : m_handle(h), m_temp(std::move(temp)), m_target(std::move(target)) {
        g_pending.handle = h;
        g_pending.path = m_temp.c_str();
    }
    ~Win32ReplacementFile() override {
        PendingLock hold;
        Forget();
        m_handle.Close();
        if (!m_replaced) Sys().DeleteFileW(m_temp.c_str());
    }
    bool Write(const void* data, size_t size, FileError& error) override {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            DWORD n = 0;
            if (!Sys().WriteFile(m_handle.Get(), p, want, &n, nullptr)) {
                error = ErrorFrom(GetLastError());
                return false;
            }
            p += n;
            size -= n;
        }
        return true;
    }
    bool Close(FileError& error) override {
        // Where the move alone replaces, the open handle does it (one call
        // rather than an open, a move and a close): the data has all been
        // handed to the system, and the handle goes once it is in place.
        if (!Sys().ReplaceFileW) return true;
        PendingLock hold;
        if (g_pending.path == m_temp.c_str()) g_pending.handle = INVALID_HANDLE_VALUE;
        if (!m_handle.Close()) {
            error = ErrorFrom(GetLastError());
            return false;
        }
        return true;
    }
    bool Replace(FileError& error) override {
        PendingLock hold;
        DWORD code = ERROR_OPERATION_ABORTED;
        // ReplaceFile keeps what belongs to the file rather than to its
        // content: ACL, creation time, streams. Where it cannot (some file
        // systems, a read-only target) or is not to be used, the move does
        // the replace. Either goes to the link's target, so that a link
        // stays a link.
        auto replaceFile = Sys().ReplaceFileW;
        if (!g_pending.interrupted) {
            code = 0;
            if (replaceFile && !replaceFile(m_target.c_str(), m_temp.c_str(), nullptr,
                                            REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr,
                                            nullptr))
                code = GetLastError();
            if (!replaceFile || (code != 0 && !NothingThere(code))) code = Move();
        }
        if (code != 0) {
            error = ErrorFrom(code);
            return false;
        }
        m_replaced = true;
        Forget();
        return true;
    }

private:
    // Moves the temporary file over the target; 0 or the system's error.
    DWORD Move() {
        // A move would bring back a file that has gone since it was read,
        // or put one in place of a directory: ReplaceFile fails there, and
        // so does this.
        DWORD attributes = Sys().GetFileAttributesW(m_target.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
        if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
        if (!m_handle.Valid()) {
            return Sys().MoveFileExW(m_temp.c_str(), m_target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
                       ? 0
                       : GetLastError();
        }
        // The handle takes the system's own form of the name: \??\ for \\?\.
        std::wstring name = L"\\??\\" + m_target.substr(4);
        std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t));
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
        info->ReplaceIfExists = TRUE;
        info->RootDirectory = nullptr;
        info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
        std::memcpy(info->FileName, name.data(), info->FileNameLength);
        if (!Sys().SetFileInformationByHandle(m_handle.Get(), FileRenameInfo, info, static_cast<DWORD>(buffer.size())))
            return GetLastError();
        g_pending.handle = INVALID_HANDLE_VALUE;
        m_handle.Close();  // in place already: what the close might say changes nothing
        return 0;
    }
    void Forget() {
        if (g_pending.path == m_temp.c_str()) {
            g_pending.path = nullptr;
            g_pending.handle = INVALID_HANDLE_VALUE;
        }
    }
    FileHandle m_handle;
    std::wstring m_temp;
    std::wstring m_target;
    bool m_replaced = false;
};

// The file that an open handle reaches, links followed; empty where the
// system cannot tell.
std::wstring FinalPath(HANDLE h) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = Sys().GetFinalPathNameByHandleW(h, &path[0], static_cast<DWORD>(path.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(n);
    }
}

class Win32FileSystem : public FileSystem {
public:
    std::unique_ptr<FileSearch> FindFirst(const CString& pattern, FindEntry& first, CString& root,
                                          FileError& error) override {
        error = FileError();
        const std::string& text = pattern.str();
        size_t cut = text.find_last_of("\\/");
        // "dir\" and "" name nothing, as on every Windows.
        if (text.empty() || cut == text.size() - 1) return nullptr;
        if (cut != std::string::npos && HoldsWildcard(text.substr(0, cut))) {
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
        SearchHandle h(Sys().FindFirstFileExW(wide.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                              FIND_FIRST_EX_LARGE_FETCH));
        if (!h.Valid() && GetLastError() == ERROR_INVALID_PARAMETER)  // before Windows 7
            h.Reset(Sys().FindFirstFileExW(wide.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0));
        if (!h.Valid()) {
            code = GetLastError();
            if (!NothingThere(code)) error = ErrorFrom(code);
            return nullptr;
        }
        // The root: the absolute directory part, with the separator of a
        // drive's root ("C:\").
        std::wstring dir = ShortForm(wide);
        size_t last = dir.find_last_of(L'\\');
        dir.erase(last == 2 && dir[1] == L':' ? last + 1 : last);
        std::string narrowRoot;
        ToNarrow(dir, narrowRoot);
        root = CString(narrowRoot);
        FoundEntry found = EntryFrom(data);
        first.name = found.name;
        first.attributes = found.attributes;
        return std::make_unique<Win32Search>(h.Release(), narrowRoot, found);
    }

    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        std::wstring wide;
        if (!WidePath(path, wide, error)) return nullptr;
        FileHandle h(Sys().CreateFileW(wide.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (!h.Valid()) {
            error = ErrorFrom(GetLastError());
            return nullptr;
        }
        if (Sys().GetFileType(h.Get()) != FILE_TYPE_DISK) {
            error = ErrorFrom(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        const FoundEntry* found = FoundBySearch(path.str());
        // The file that a replace is to put new content into: the link's
        // target for a link. Windows marks links; Wine does not mark a host
        // link to a file, so there every file is asked.
        m_lastRead = wide;
        m_lastTarget.clear();
        if (!found || (found->attributes & FILE_ATTRIBUTE_REPARSE_POINT) || RunsOnWine())
            m_lastTarget = FinalPath(h.Get());
        if (m_lastTarget.empty()) m_lastTarget = wide;
        return std::make_unique<Win32InputFile>(h.Release(), found);
    }

    std::unique_ptr<ReplacementFile> CreateReplacement(const CString& path, FileError& error) override {
        std::wstring wide;
        if (!WidePath(path, wide, error)) return nullptr;
        std::wstring target;
        if (wide == m_lastRead) {
            target = m_lastTarget;
        } else {
            FileHandle h(Sys().CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, 0, nullptr));
            if (!h.Valid()) {
                error = ErrorFrom(GetLastError());
                return nullptr;
            }
            target = FinalPath(h.Get());
            if (target.empty()) target = wide;
        }
        InstallConsoleHandler();
        static std::atomic<unsigned> counter{0};
        size_t cut = target.find_last_of(L'\\');
        std::wstring dir = target.substr(0, cut + 1);
        std::string base = Convert(CP_UTF8, 0, target.substr(cut + 1), nullptr, nullptr);
        for (int attempt = 0; attempt < 100; ++attempt) {
            unsigned number = counter++;
            // A name stays within the 255 characters that a component may have.
            std::string name = TemporaryName(
                base, "." + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(number) + ".tvtmp", 255,
                number);
            std::wstring temp = dir + FromUtf8(name);
            PendingLock hold;
            if (g_pending.interrupted) {
                error = ErrorFrom(ERROR_OPERATION_ABORTED);
                return nullptr;
            }
            HANDLE h = Sys().CreateFileW(temp.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                DWORD code = GetLastError();
                if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
                error = ErrorFrom(code);
                return nullptr;
            }
            return std::make_unique<Win32ReplacementFile>(h, temp, target);
        }
        error = ErrorFrom(ERROR_FILE_EXISTS);
        return nullptr;
    }

    BOOL SetFileAttributesA(const CString& path, DWORD attributes) override {
        // Nothing to clear where the search saw nothing to clear. (Wine
        // shows every file as one to archive and keeps no such mark, so
        // there that bit tells nothing.)
        const FoundEntry* found = FoundBySearch(path.str());
        DWORD marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                      (RunsOnWine() ? 0 : FILE_ATTRIBUTE_ARCHIVE);
        if (attributes == FILE_ATTRIBUTE_NORMAL && found && !(found->attributes & marks)) return TRUE;
        std::wstring wide;
        FileError error;
        if (!WidePath(path, wide, error)) {
            SetLastError(static_cast<DWORD>(error.code));
            return FALSE;
        }
        return Sys().SetFileAttributesW(wide.c_str(), attributes);
    }

    bool GetDirectoryId(const CString& path, DirectoryId& id) override {
        std::wstring wide;
        FileError error;
        if (!WidePath(path, wide, error)) return false;
        FileHandle h(Sys().CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!h.Valid()) return false;
        BY_HANDLE_FILE_INFORMATION info;
        if (!Sys().GetFileInformationByHandle(h.Get(), &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return false;
        id.volume = info.dwVolumeSerialNumber;
        id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        // Some network file systems give every directory the index 0: that
        // names none of them, and taking it for an identity would pass over
        // every directory after the first.
        return id.index != 0;
    }

private:
    // The wide form of a path that the walk built.
    static bool WidePath(const CString& path, std::wstring& wide, FileError& error) {
        DWORD code = ERROR_INVALID_NAME;
        if (HoldsWildcard(path.str()) || !LongPath(path.str(), wide, code)) {
            error = ErrorFrom(code);
            return false;
        }
        return true;
    }

    static std::wstring FromUtf8(const std::string& text) {
        int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
        std::wstring wide(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
        if (n > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
        return wide;
    }

    static void InstallConsoleHandler() {
        static const bool installed = SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
        (void)installed;
    }

    std::wstring m_lastRead;
    std::wstring m_lastTarget;
};

}  // namespace

FileSystem& GetRealFileSystem() {
    static Win32FileSystem fs;
    return fs;
}
