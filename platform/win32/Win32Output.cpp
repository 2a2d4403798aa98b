// New files: create, write, close; what a new file is given so that a
// rename keeps the file as it was; the write of a file in place; the flush
// of a batch.
#include <algorithm>
#include <cwchar>
#include <mutex>
#include <string>
#include <utility>

#include "../Interrupts.h"
#include "../Replacement.h"
#include "Win32Files.h"

namespace win32 {
namespace {

// NtFlushBuffersFileEx: the file's data and metadata written out to the
// device, without the flush of the device's own cache.
constexpr ULONG kWriteoutOnly = 0x2;  // FLUSH_FLAGS_NO_SYNC

// What a rename must keep of a file besides its content.
constexpr SECURITY_INFORMATION kSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// A file being written: a new one (path names it, for its removal on an
// interrupt), or one written in place (no path: never removed). The
// console's control handler may call RemoveOnInterrupt on a thread of its
// own at any time while a new file is registered; it then holds the
// interrupt lock, so Close takes that lock over the close: the handler finds
// the handle open or the file closed.
class Win32OutputFile : public OutputFile {
public:
    // A new file, made by Create on volume (its serial number; 0: unknown).
    Win32OutputFile(std::wstring path, uint64_t volume) : m_path(std::move(path)), m_volume(volume) {}
    // A file opened for writing in place.
    explicit Win32OutputFile(HANDLE h) : m_handle(h) {}
    ~Win32OutputFile() override {
        if (m_handle != INVALID_HANDLE_VALUE) SystemCalls().CloseHandle(m_handle);
    }

    // Makes the file, which must not exist yet, with the rights to give it
    // the security of the file it replaces (CopyIdentity). Windows gives the
    // maker of a file what it asks for; where it does not, the file is made
    // without them, and its security cannot be set (nor a rename keep the
    // file as it was).
    bool Create(FileError& error) {
        const DWORD access = GENERIC_WRITE | DELETE;
        m_handle = SystemCalls().CreateFileW(m_path.c_str(), access | WRITE_DAC | WRITE_OWNER, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
            m_handle =
                SystemCalls().CreateFileW(m_path.c_str(), access, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
            if (!SystemCalls().WriteFile(m_handle, p, want, &n, nullptr)) {
                error = ErrorFrom(GetLastError());
                return false;
            }
            p += n;
            size -= n;
            m_written += n;
        }
        return true;
    }

    // Windows has no call that starts a writeback without waiting for it;
    // its lazy writer starts on its own. FlushAll writes the batch out.
    bool StartWriteback(FileError&) override { return true; }

    bool Flush(FileError& error) override {
        if (SystemCalls().FlushFileBuffers(m_handle)) return true;
        error = ErrorFrom(GetLastError());
        return false;
    }

    bool Truncate(FileError& error) override {
        FILE_END_OF_FILE_INFO end;
        end.EndOfFile.QuadPart = static_cast<LONGLONG>(m_written);
        if (SystemCalls().SetFileInformationByHandle(m_handle, FileEndOfFileInfo, &end, sizeof end)) return true;
        error = ErrorFrom(GetLastError());
        return false;
    }

    bool Close(FileError& error) override {
        DWORD code = 0;
        {
            Interrupts::Hold hold;
            if (m_handle == INVALID_HANDLE_VALUE) return true;
            if (!SystemCalls().CloseHandle(m_handle)) code = GetLastError();
            m_handle = INVALID_HANDLE_VALUE;
        }
        if (code == 0) return true;
        error = ErrorFrom(code);
        return false;
    }

    void RemoveOnInterrupt() noexcept override {
        if (m_path.empty()) return;
        if (m_handle != INVALID_HANDLE_VALUE) {
            // Still open: gone once the process ends and closes it.
            FILE_DISPOSITION_INFO dispose = {TRUE};
            SystemCalls().SetFileInformationByHandle(m_handle, FileDispositionInfo, &dispose, sizeof dispose);
        } else {
            SystemCalls().DeleteFileW(m_path.c_str());
        }
    }

    HANDLE Handle() const { return m_handle; }
    uint64_t Volume() const { return m_volume; }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    const std::wstring m_path;  // for the handler, which allocates nothing
    const uint64_t m_volume = 0;
    uint64_t m_written = 0;  // the end of the file once the writing is over
};

// The owner, group and DACL of a file, as one self-relative descriptor.
class Security {
public:
    ~Security() { LocalFree(m_descriptor); }
    bool Read(HANDLE h, DWORD& code) {
        code = SystemCalls().GetSecurityInfo(h, SE_FILE_OBJECT, kSecurity, &m_owner, &m_group, &m_dacl, nullptr,
                                             &m_descriptor);
        if (code != ERROR_SUCCESS) return false;
        DWORD revision = 0;
        GetSecurityDescriptorControl(m_descriptor, &m_control, &revision);
        return true;
    }
    // The same descriptor, byte for byte.
    bool operator==(const std::string& other) const { return Bytes() == other; }
    std::string Bytes() const {
        return std::string(static_cast<const char*>(m_descriptor), GetSecurityDescriptorLength(m_descriptor));
    }
    // What a new file in the same directory gets of its own: an owner that
    // is the process's own, and a DACL that holds only what the directory
    // hands down (not protected from it).
    bool WhatANewFileGets() const {
        if (!m_owner || !m_dacl || (m_control & SE_DACL_PROTECTED) || m_dacl->AceCount == 0) return false;
        for (WORD i = 0; i < m_dacl->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(m_dacl, i, &ace) || !(static_cast<ACE_HEADER*>(ace)->AceFlags & INHERITED_ACE)) return false;
        }
        const std::string& own = OwnerOfNewFiles();
        return !own.empty() && EqualSid(m_owner, const_cast<char*>(own.data()));
    }
    // Gives them to the file open as h, with the same protection from
    // inheritance; where the DACL inherits, the file gets what its directory
    // hands down (as the old file did from the same directory). Fails where
    // the process may not give that owner.
    bool Give(HANDLE h, DWORD& code) const {
        const SECURITY_INFORMATION inheritance = (m_control & SE_DACL_PROTECTED)
                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION;
        code = SystemCalls().SetSecurityInfo(h, SE_FILE_OBJECT, kSecurity | inheritance, m_owner, m_group, m_dacl,
                                             nullptr);
        return code == ERROR_SUCCESS;
    }

private:
    // The owner that the process gives the files it makes (its token's).
    static const std::string& OwnerOfNewFiles() {
        static const std::string owner = [] {
            std::string sid;
            HANDLE token = nullptr;
            if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return sid;
            alignas(8) char buffer[256];
            DWORD n = 0;
            if (GetTokenInformation(token, TokenOwner, buffer, sizeof buffer, &n)) {
                PSID owner = reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
                sid.assign(static_cast<const char*>(owner), GetLengthSid(owner));
            }
            CloseHandle(token);
            return sid;
        }();
        return owner;
    }

    PSID m_owner = nullptr, m_group = nullptr;
    PACL m_dacl = nullptr;
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
    SECURITY_DESCRIPTOR_CONTROL m_control = 0;
};

// Under Wine a file's DACL is a picture of its permission bits (which it
// cannot show in full: the group's are left out), and a DACL given to a file
// sets them (to 0775, whatever it held). The security that Wine shows for a
// new file, taken from the first one made; empty until then.
std::mutex g_newFileLock;
std::string g_newFileSecurity;

bool LooksLikeANewFile(const Security& old, HANDLE made, DWORD& code) {
    std::lock_guard<std::mutex> lock(g_newFileLock);
    if (g_newFileSecurity.empty()) {
        Security fresh;
        if (!fresh.Read(made, code)) return false;
        g_newFileSecurity = fresh.Bytes();
    }
    return old == g_newFileSecurity;
}

}  // namespace

std::unique_ptr<OutputFile> CreateExclusive(const std::wstring& wide, uint64_t volume, FileError& error) {
    // The object comes first: once the file exists, nothing is left that
    // could fail and leave it behind.
    auto file = std::make_unique<Win32OutputFile>(wide, volume);
    if (!file->Create(error)) return nullptr;
    return file;
}

bool CopyIdentity(const InputFile& from, OutputFile& to, FileError& error) {
    // Renamed into place, by ReplaceFile or by the move that stands in for
    // it, the new file must have the old one's owner, group and DACL: the
    // move would leave it with what the directory hands down, and the owner
    // of the process. Where that is what the old file has, nothing is to be
    // given. ReplaceFile carries over the named streams (a downloaded file's
    // zone among them); the move, which Windows uses only where ReplaceFile
    // fails, looks for them first, and Wine keeps none.
    auto& out = static_cast<Win32OutputFile&>(to);
    Security old;
    DWORD code = 0;
    if (old.Read(HandleOf(from), code)) {
        // Under Wine, a file whose bits a new file would not get is written
        // in place, which keeps them: the DACL cannot carry them over.
        if (RunsOnWine()) {
            if (LooksLikeANewFile(old, out.Handle(), code)) return true;
            if (code == 0) code = ERROR_NOT_SUPPORTED;
        } else if (old.WhatANewFileGets() || old.Give(out.Handle(), code)) {
            return true;
        }
    }
    error = ErrorFrom(code);
    return false;
}

std::unique_ptr<OutputFile> OpenInPlace(const std::wstring& wide, std::unique_ptr<InputFile>& read,
                                        const FileFacts& expected, FileError& error) {
    // The read shares nothing, not even with this process: it goes first,
    // and what the name leads to now is compared with what it saw.
    const FileFacts seen = expected;
    read.reset();
    FileHandle h(SystemCalls().CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                   nullptr));
    FileFacts now;
    DWORD code = 0;
    if (!h.Valid()) {
        code = GetLastError();
    } else if (FactsOf(h.Get(), now, code)) {
        if (!SameFileUnchanged(now, seen)) {
            error = FileError{kChangedSinceRead, "The file was changed by another program after it was read."};
            return nullptr;
        }
        auto file = std::make_unique<Win32OutputFile>(h.Get());
        h.Release();
        return file;
    }
    error = ErrorFrom(code);
    return nullptr;
}

bool FlushAll(const std::vector<OutputFile*>& files, FileError& error) {
    // Each file's data and metadata are written out to the disk, without the
    // flush of the disk's cache; then, after all of them, a full flush of one
    // file on each volume has the disk put its cache on the medium, for all
    // of that volume's files at once. Where the system has no such writeout
    // (Windows 7, Wine), or the file system does not take it (ReFS, shares),
    // the file is flushed in full, as is one of an unknown volume.
    const FlushBuffersFileExCall writeout = SystemCalls().NtFlushBuffersFileEx;
    std::vector<std::pair<uint64_t, Win32OutputFile*>> volumes;  // each with one of its files written out
    for (OutputFile* f : files) {
        auto* file = static_cast<Win32OutputFile*>(f);
        const uint64_t volume = file->Volume();
        ULONG_PTR status[2] = {};
        if (writeout && volume != 0 && writeout(file->Handle(), kWriteoutOnly, nullptr, 0, status) >= 0) {
            if (std::none_of(volumes.begin(), volumes.end(), [&](const auto& v) { return v.first == volume; }))
                volumes.emplace_back(volume, file);
        } else if (!file->Flush(error)) {
            return false;
        }
    }
    for (const auto& v : volumes)
        if (!v.second->Flush(error)) return false;
    return true;
}

}  // namespace win32
