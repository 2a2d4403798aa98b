// The file system services on Windows, over the ANSI functions.
#include <atomic>
#include <cstdio>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "../FileSystem.h"
#include "../PathMatch.h"

namespace {

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

FindEntry EntryFrom(const WIN32_FIND_DATAA& data) {
    FindEntry entry;
    entry.name = data.cFileName;
    entry.attributes = data.dwFileAttributes;
    return entry;
}

class Win32Search : public FileSearch {
public:
    explicit Win32Search(HANDLE h) : m_handle(h) {}
    ~Win32Search() override { FindClose(m_handle); }
    bool Next(FindEntry& entry) override {
        WIN32_FIND_DATAA data;
        if (!FindNextFileA(m_handle, &data)) return false;
        entry = EntryFrom(data);
        return true;
    }

private:
    HANDLE m_handle;
};

class Win32InputFile : public InputFile {
public:
    explicit Win32InputFile(HANDLE h) : m_handle(h) {}
    ~Win32InputFile() override { CloseHandle(m_handle); }
    bool Read(void* buffer, size_t size, size_t& got, FileError& error) override {
        DWORD n = 0;
        DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        if (!ReadFile(m_handle, buffer, want, &n, nullptr)) {
            error = ErrorFrom(GetLastError());
            return false;
        }
        got = n;
        return true;
    }

private:
    HANDLE m_handle;
};

class Win32ReplacementFile : public ReplacementFile {
public:
    Win32ReplacementFile(HANDLE h, std::string temp, std::string target)
        : m_handle(h), m_temp(std::move(temp)), m_target(std::move(target)) {}
    ~Win32ReplacementFile() override {
        if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
        if (!m_replaced) DeleteFileA(m_temp.c_str());
    }
    bool Write(const void* data, size_t size, FileError& error) override {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            DWORD n = 0;
            if (!WriteFile(m_handle, p, want, &n, nullptr)) {
                error = ErrorFrom(GetLastError());
                return false;
            }
            p += n;
            size -= n;
        }
        return true;
    }
    bool Close(FileError& error) override {
        HANDLE h = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        if (!CloseHandle(h)) {
            error = ErrorFrom(GetLastError());
            return false;
        }
        return true;
    }
    bool Replace(FileError& error) override {
        if (!MoveFileExA(m_temp.c_str(), m_target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            error = ErrorFrom(GetLastError());
            return false;
        }
        m_replaced = true;
        return true;
    }

private:
    HANDLE m_handle;
    std::string m_temp;
    std::string m_target;
    bool m_replaced = false;
};

class Win32FileSystem : public FileSystem {
public:
    std::unique_ptr<FileSearch> FindFirst(const CString& pattern, FindEntry& first,
                                          CString& root, FileError& error) override {
        error = FileError();
        WIN32_FIND_DATAA data;
        HANDLE h = FindFirstFileA(pattern.GetString(), &data);
        if (h == INVALID_HANDLE_VALUE) return nullptr;
        // The root is the absolute form of the pattern without its last
        // component.
        char full[MAX_PATH * 4];
        char* namePart = nullptr;
        DWORD n = GetFullPathNameA(pattern.GetString(), sizeof full, full, &namePart);
        std::string r = (n > 0 && n < sizeof full) ? std::string(full, n) : pattern.str();
        size_t cut = r.find_last_of("\\/");
        if (cut != std::string::npos) {
            // Keep the separator of a drive's root ("C:\").
            r.erase(cut == 2 && r.size() > 1 && r[1] == ':' ? cut + 1 : cut);
        }
        root = CString(r);
        first = EntryFrom(data);
        return std::make_unique<Win32Search>(h);
    }

    std::unique_ptr<InputFile> OpenRead(const CString& path, FileError& error) override {
        HANDLE h = CreateFileA(path.GetString(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            error = ErrorFrom(GetLastError());
            return nullptr;
        }
        if (GetFileType(h) != FILE_TYPE_DISK) {
            error = ErrorFrom(ERROR_ACCESS_DENIED);
            CloseHandle(h);
            return nullptr;
        }
        return std::make_unique<Win32InputFile>(h);
    }

    std::unique_ptr<ReplacementFile> CreateReplacement(const CString& path, FileError& error) override {
        if (GetFileAttributesA(path.GetString()) == INVALID_FILE_ATTRIBUTES) {
            error = ErrorFrom(GetLastError());
            return nullptr;
        }
        static std::atomic<unsigned> counter{0};
        // The temporary path must stay below MAX_PATH even where the file's
        // own path reaches it.
        size_t cut = path.str().find_last_of("\\/");
        std::string dir = cut == std::string::npos ? std::string() : path.str().substr(0, cut + 1);
        std::string base = path.str().substr(dir.size());
        size_t limit = MAX_PATH - 1 > dir.size() ? MAX_PATH - 1 - dir.size() : 1;
        for (int attempt = 0; attempt < 100; ++attempt) {
            unsigned number = counter++;
            std::string temp = dir + TemporaryName(base, "." + std::to_string(GetCurrentProcessId()) + "-" +
                                                             std::to_string(number) + ".tvtmp",
                                                   limit, number);
            HANDLE h = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                DWORD code = GetLastError();
                if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
                error = ErrorFrom(code);
                return nullptr;
            }
            return std::make_unique<Win32ReplacementFile>(h, temp, path.str());
        }
        error = ErrorFrom(ERROR_FILE_EXISTS);
        return nullptr;
    }

    BOOL SetFileAttributesA(const CString& path, DWORD attributes) override {
        return ::SetFileAttributesA(path.GetString(), attributes);
    }

    bool GetDirectoryId(const CString& path, DirectoryId& id) override {
        HANDLE h = CreateFileA(path.GetString(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        BY_HANDLE_FILE_INFORMATION info;
        bool ok = GetFileInformationByHandle(h, &info) != 0;
        CloseHandle(h);
        if (!ok || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
        id.volume = info.dwVolumeSerialNumber;
        id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        return true;
    }
};

}  // namespace

FileSystem& GetRealFileSystem() {
    static Win32FileSystem fs;
    return fs;
}
