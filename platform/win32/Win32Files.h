// The parts of the Windows file system backend, for its own files. Paths come
// in the wide \\?\ form (LongPath.h); the class in Win32FileSystem.cpp turns
// the narrow paths of the layers above into it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "../FileSystem.h"
#include "Win32Calls.h"

namespace win32 {

// Wine, which differs from Windows in what it marks and how it replaces.
bool RunsOnWine();

// The system's error code and its description.
FileError ErrorFrom(DWORD code);

// The error of a name that leads nowhere.
bool NothingThere(DWORD code);

// Owns a handle and gives it back to the system (CloseHandle or FindClose)
// at the latest when the owner goes.
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
        return (SystemCalls().*Closer)(h) != 0;
    }

private:
    HANDLE m_handle;
};
using FileHandle = Owned<&Win32Calls::CloseHandle>;
using SearchHandle = Owned<&Win32Calls::FindClose>;

// Win32Search.cpp: the search, with the rules for what a pattern names.
std::unique_ptr<DirectoryListing> FindFirst(const CString& pattern, CString& root, FileError& error);

// Win32Files.cpp: files as they are. name is the path in the layers' own
// form, wide its \\?\ form.
std::unique_ptr<InputFile> OpenRead(const CString& name, const std::wstring& wide, FileError& error);
bool Identify(const std::wstring& wide, FileFacts& facts, FileError& error);
bool SetAttributes(const std::wstring& wide, DWORD attributes, FileFacts& facts, FileError& error);
// The facts of the file that h is open on; false with the system's code.
// all, when given, is the buffer of the query, with room for the name.
bool FactsOf(HANDLE h, FileFacts& facts, DWORD& code, std::vector<char>* all = nullptr);
// The handle of a file that OpenRead opened.
HANDLE HandleOf(const InputFile& file);

// Win32Output.cpp: new files and their way into place. volume: the serial
// number of the volume that the new file is made on (0: unknown).
std::unique_ptr<OutputFile> CreateExclusive(const std::wstring& wide, uint64_t volume, FileError& error);
bool CopyIdentity(const InputFile& from, OutputFile& to, FileError& error);
std::unique_ptr<OutputFile> OpenInPlace(const std::wstring& wide, std::unique_ptr<InputFile>& read,
                                        const FileFacts& expected, FileError& error);
bool FlushAll(const std::vector<OutputFile*>& files, FileError& error);
bool Replace(const std::wstring& from, const std::wstring& to, FileError& error);
bool Remove(const std::wstring& wide, FileError& error);

}  // namespace win32
