// The file system services on Windows. The layers above speak narrow text in
// the process code page; here every path becomes a wide absolute one with
// the \\?\ prefix (LongPath.h), so that no length limit and no silent
// rewriting of names applies, and a name found on disk goes back to narrow
// text only where the code page holds it exactly (WideText.h).
#include <cstdio>

#include "../PathMatch.h"
#include "LongPath.h"
#include "Win32Files.h"

namespace {

// A function of ntdll that only some versions of Windows have; null where
// this one has none.
template <typename Call>
Call FromNtdll(const char* name) {
    // By way of the type that any function pointer may pass through.
    auto any = reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), name));
    return reinterpret_cast<Call>(any);
}

}  // namespace

Win32Calls& SystemCalls() {
    // Wine's ReplaceFile moves the old file aside before it moves the new
    // one in (for a moment the name holds nothing, and a directory is moved
    // aside like a file): there the move alone is the sounder replace.
    static Win32Calls calls = {
        ::FindFirstFileExW,
        ::FindNextFileW,
        ::FindClose,
        ::GetFullPathNameW,
        ::CreateFileW,
        ::GetFileType,
        ::GetFinalPathNameByHandleW,
        ::GetFileInformationByHandle,
        ::GetFileInformationByHandleEx,
        FromNtdll<QueryFileCall>("NtQueryInformationFile"),
        FromNtdll<QueryFileCall>("NtQueryVolumeInformationFile"),
        ::ReadFile,
        ::WriteFile,
        ::FlushFileBuffers,
        FromNtdll<FlushBuffersFileExCall>("NtFlushBuffersFileEx"),
        ::CloseHandle,
        ::GetFileAttributesW,
        ::SetFileAttributesW,
        ::SetFileInformationByHandle,
        ::DeleteFileW,
        win32::RunsOnWine() ? nullptr : ::ReplaceFileW,
        ::MoveFileExW,
        ::GetSecurityInfo,
        ::SetSecurityInfo,
    };
    return calls;
}

namespace win32 {

bool RunsOnWine() {
    static const bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

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

bool NothingThere(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_NO_MORE_FILES ||
           code == ERROR_DIRECTORY;
}

}  // namespace win32

namespace {

class Win32FileSystem : public FileSystem {
public:
    std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root, FileError& error) override {
        return win32::FindFirst(pattern, root, error);
    }

    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        std::wstring wide;
        return WidePath(path, wide, error) ? win32::OpenRead(path, wide, error) : nullptr;
    }

    bool Identify(const CString& path, FileFacts& facts, FileError& error) override {
        std::wstring wide;
        return WidePath(path, wide, error) && win32::Identify(wide, facts, error);
    }

    bool SetAttributes(const CString& path, const InputFile&, DWORD attributes, FileFacts& facts,
                       FileError& error) override {
        // The facts of an open file are those of where its name led: the
        // marks are changed there, on the file that new content replaces,
        // and not on a link on the way. (The read shares nothing, so the
        // name leads to the file that was read.)
        std::wstring wide;
        return WidePath(facts.target.IsEmpty() ? path : facts.target, wide, error) &&
               win32::SetAttributes(wide, attributes, facts, error);
    }

    std::unique_ptr<OutputFile> CreateExclusive(const CString& path, const FileFacts& like, FileError& error) override {
        // Made beside the file that like describes: on its volume.
        std::wstring wide;
        return WidePath(path, wide, error) ? win32::CreateExclusive(wide, like.id.volume, error) : nullptr;
    }

    bool CopyIdentity(const InputFile& from, const FileFacts&, OutputFile& to, FileError& error) override {
        return win32::CopyIdentity(from, to, error);
    }

    std::unique_ptr<OutputFile> OpenInPlace(const CString& name, std::unique_ptr<InputFile>& read,
                                            const FileFacts& expected, FileError& error) override {
        std::wstring wide;
        return WidePath(name, wide, error) ? win32::OpenInPlace(wide, read, expected, error) : nullptr;
    }

    bool FlushAll(const std::vector<OutputFile*>& files, FileError& error) override {
        return win32::FlushAll(files, error);
    }

    bool FlushDirectoryOf(const CString&, FileError&) override {
        // Nothing is left to do once the new file itself has been flushed,
        // as it is before anything asks for its entry to be on the disk. On
        // NTFS the entry's making is in the journal, which that flush writes
        // out up to its latest record before the device's cache is flushed;
        // FAT and exFAT write the file's entry with the file; ReFS keeps it
        // with the file's metadata. A directory handle, besides, opens only
        // with the right to write to the directory, and not every file
        // system takes its flush (shares may refuse it).
        return true;
    }

    bool Replace(const CString& from, const CString& to, FileError& error) override {
        std::wstring wideFrom, wideTo;
        return WidePath(from, wideFrom, error) && WidePath(to, wideTo, error) &&
               win32::Replace(wideFrom, wideTo, error);
    }

    bool Remove(const CString& path, FileError& error) override {
        std::wstring wide;
        return WidePath(path, wide, error) && win32::Remove(wide, error);
    }

    unsigned long ProcessId() override { return GetCurrentProcessId(); }

    bool Concurrent() override { return true; }

    bool ProcessRunning(unsigned long pid) override {
        if (pid == ProcessId()) return true;
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
        if (!process) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to look at
        DWORD code = 0;
        bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
        CloseHandle(process);
        return running;
    }

    bool Rename(const CString& from, const CString& to, FileError& error) override {
        // Without MOVEFILE_REPLACE_EXISTING: a name in use is not taken.
        std::wstring wideFrom, wideTo;
        if (!WidePath(from, wideFrom, error) || !WidePath(to, wideTo, error)) return false;
        if (SystemCalls().MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_WRITE_THROUGH)) return true;
        error = win32::ErrorFrom(GetLastError());
        error.exists = error.code == ERROR_ALREADY_EXISTS || error.code == ERROR_FILE_EXISTS;
        return false;
    }

private:
    // The wide form of a path that the walk built. A wildcard in it stands
    // for a character of a name found on disk that the code page could not
    // hold: such a path names no file, whatever the system would match.
    static bool WidePath(const CString& path, std::wstring& wide, FileError& error) {
        DWORD code = ERROR_INVALID_NAME;
        if (HasWildcards(path.str()) || !LongPath(path.str(), wide, code)) {
            error = win32::ErrorFrom(code);
            return false;
        }
        return true;
    }
};

}  // namespace

FileSystem& GetRealFileSystem() {
    static Win32FileSystem fs;
    return fs;
}
