// New files and their way into place: create, write, close, remove, and the
// replace of one file by another.
#include "../Interrupts.h"
#include "Win32Files.h"

namespace win32 {
namespace {

// The temporary file being written. The console's control handler may call
// RemoveOnInterrupt on a thread of its own at any time while the file is
// registered; it then holds the interrupt lock, so Close takes that lock
// over the close: the handler finds the handle open or the file closed.
class Win32OutputFile : public OutputFile {
public:
    explicit Win32OutputFile(std::wstring path) : m_path(std::move(path)) {}
    ~Win32OutputFile() override {
        if (m_handle != INVALID_HANDLE_VALUE) Sys().CloseHandle(m_handle);
    }

    // Makes the file, which must not exist yet.
    bool Create(FileError& error) {
        m_handle = Sys().CreateFileW(m_path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_handle != INVALID_HANDLE_VALUE) return true;
        DWORD code = GetLastError();
        error = ErrorFrom(code);
        error.exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        return false;
    }

    bool Write(const void* data, size_t size, FileError& error) override {
        const char* p = static_cast<const char*>(data);
        while (size > 0) {
            DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
            DWORD n = 0;
            if (!Sys().WriteFile(m_handle, p, want, &n, nullptr)) {
                error = ErrorFrom(GetLastError());
                return false;
            }
            p += n;
            size -= n;
        }
        return true;
    }

    bool Flush(FileError& error) override {
        if (Sys().FlushFileBuffers(m_handle)) return true;
        error = ErrorFrom(GetLastError());
        return false;
    }

    bool Close(FileError& error) override {
        DWORD code = 0;
        {
            Interrupts::Hold hold;
            if (m_handle == INVALID_HANDLE_VALUE) return true;
            if (!Sys().CloseHandle(m_handle)) code = GetLastError();
            m_handle = INVALID_HANDLE_VALUE;
        }
        if (code == 0) return true;
        error = ErrorFrom(code);
        return false;
    }

    void RemoveOnInterrupt() noexcept override {
        if (m_handle != INVALID_HANDLE_VALUE) {
            // Still open: gone once the process ends and closes it.
            FILE_DISPOSITION_INFO dispose = {TRUE};
            Sys().SetFileInformationByHandle(m_handle, FileDispositionInfo, &dispose, sizeof dispose);
        } else {
            Sys().DeleteFileW(m_path.c_str());
        }
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    const std::wstring m_path;  // for the handler, which allocates nothing
};

// Moves the closed file from over to; 0 or the system's error.
DWORD Move(const std::wstring& from, const std::wstring& to) {
    // A move would bring back a file that has gone since it was read, or
    // put one in place of a directory: ReplaceFile fails there, and so does
    // this.
    DWORD attributes = Sys().GetFileAttributesW(to.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return GetLastError();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
    return Sys().MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : GetLastError();
}

}  // namespace

std::unique_ptr<OutputFile> CreateExclusive(const std::wstring& wide, FileError& error) {
    // The object comes first: once the file exists, nothing is left that
    // could fail and leave it behind.
    auto file = std::make_unique<Win32OutputFile>(wide);
    if (!file->Create(error)) return nullptr;
    return file;
}

bool Replace(const std::wstring& from, const std::wstring& to, FileError& error) {
    // ReplaceFile keeps what belongs to the file rather than to its content:
    // ACL, creation time, streams. Where it cannot (some file systems, a
    // read-only target) or is not to be used, the move does the replace.
    DWORD code = 0;
    auto replaceFile = Sys().ReplaceFileW;
    if (replaceFile &&
        !replaceFile(to.c_str(), from.c_str(), nullptr,
                     REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS, nullptr, nullptr))
        code = GetLastError();
    if (!replaceFile || (code != 0 && !NothingThere(code))) code = Move(from, to);
    if (code == 0) return true;
    error = ErrorFrom(code);
    return false;
}

bool Remove(const std::wstring& wide, FileError& error) {
    if (Sys().DeleteFileW(wide.c_str())) return true;
    error = ErrorFrom(GetLastError());
    return false;
}

}  // namespace win32
