// The system calls that the Windows file system backend makes, gathered in
// one table: the backend calls through it, and a test may put wrappers in
// its place (to count the calls, or to make one of them fail).
#pragma once

#include "WindowsHeaders.h"

struct Win32Calls {
    decltype(&::FindFirstFileExW) FindFirstFileExW;
    decltype(&::FindNextFileW) FindNextFileW;
    decltype(&::FindClose) FindClose;
    decltype(&::GetFullPathNameW) GetFullPathNameW;
    decltype(&::CreateFileW) CreateFileW;
    decltype(&::GetFileType) GetFileType;
    decltype(&::GetFinalPathNameByHandleW) GetFinalPathNameByHandleW;
    decltype(&::GetFileInformationByHandle) GetFileInformationByHandle;
    decltype(&::GetFileInformationByHandleEx) GetFileInformationByHandleEx;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::SetFileAttributesW) SetFileAttributesW;
    decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::ReplaceFileW) ReplaceFileW;  // null where the move alone replaces
    decltype(&::MoveFileExW) MoveFileExW;
};

// The table that the backend calls through; it starts out with the system's
// own functions.
Win32Calls& SystemCalls();
