// The system calls that the Windows file system backend makes, gathered in
// one table: the backend calls through it, and a test may put wrappers in
// its place (to count the calls, or to make one of them fail).
#pragma once

#include "WindowsHeaders.h"
// After windows.h, which it needs.
#include <aclapi.h>

// NtFlushBuffersFileEx (ntdll, Windows 8 and later): an NTSTATUS, and the
// I/O status block as two pointer-sized words.
using FlushBuffersFileExCall = LONG(WINAPI*)(HANDLE file, ULONG flags, PVOID parameters, ULONG size, PVOID status);
// NtQueryInformationFile and NtQueryVolumeInformationFile (ntdll): an
// NTSTATUS; the I/O status block, the buffer, its size and the class asked.
using QueryFileCall = LONG(WINAPI*)(HANDLE file, PVOID status, PVOID buffer, ULONG size, ULONG what);

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
    QueryFileCall NtQueryInformationFile;
    QueryFileCall NtQueryVolumeInformationFile;
    decltype(&::ReadFile) ReadFile;
    decltype(&::WriteFile) WriteFile;
    decltype(&::FlushFileBuffers) FlushFileBuffers;
    FlushBuffersFileExCall NtFlushBuffersFileEx;  // null where the system has none
    decltype(&::CloseHandle) CloseHandle;
    decltype(&::GetFileAttributesW) GetFileAttributesW;
    decltype(&::SetFileAttributesW) SetFileAttributesW;
    decltype(&::SetFileInformationByHandle) SetFileInformationByHandle;
    decltype(&::DeleteFileW) DeleteFileW;
    decltype(&::ReplaceFileW) ReplaceFileW;  // null where the move alone replaces
    decltype(&::MoveFileExW) MoveFileExW;
    decltype(&::GetSecurityInfo) GetSecurityInfo;
    decltype(&::SetSecurityInfo) SetSecurityInfo;
};

// The table that the backend calls through; it starts out with the system's
// own functions.
Win32Calls& SystemCalls();
